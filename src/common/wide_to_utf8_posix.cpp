#include "common/wide_to_utf8.h"

// Host stand-in for WideCharToMultiByte(CP_UTF8): wchar_t holds UTF-32 code points here.
std::string WideToUtf8(const wchar_t* text) {
    std::string result;
    if (text == nullptr) {
        return result;
    }
    for (; *text != L'\0'; ++text) {
        auto code = static_cast<unsigned long>(*text);
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            result += static_cast<char>(code);
        } else if (code < 0x800) {
            result += static_cast<char>(0xC0 | (code >> 6));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            result += static_cast<char>(0xE0 | (code >> 12));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            result += static_cast<char>(0xF0 | (code >> 18));
            result += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            result += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            result += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return result;
}
