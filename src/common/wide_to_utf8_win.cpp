#include <windows.h>

#include "common/wide_to_utf8.h"

std::string WideToUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    // The conversion wrote the terminator too; it is not part of the text.
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}
