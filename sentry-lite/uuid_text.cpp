#include "uuid_text.h"

#include <cstddef>

namespace sentry_lite {

std::string UuidText(const unsigned char (&bytes)[16]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < 16; ++i) {
        unsigned char byte = bytes[i];
        if (i == 6) {
            byte = static_cast<unsigned char>((byte & 0x0F) | 0x40);  // version 4
        } else if (i == 8) {
            byte = static_cast<unsigned char>((byte & 0x3F) | 0x80);  // the RFC's variant
        }
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

bool IsUuidText(std::string_view text) {
    constexpr size_t kUuidLength = 36;
    if (text.size() != kUuidLength) {
        return false;
    }
    for (size_t i = 0; i < kUuidLength; ++i) {
        const char c = text[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (dash ? c != '-' : !hex) {
            return false;
        }
    }
    return true;
}

}  // namespace sentry_lite
