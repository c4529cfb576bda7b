#include "fixed_text.h"

#include <cstring>

#include "json_text.h"

namespace sentry_lite {

void FixedText::Append(const char* text, size_t length) {
    if (overflowed_ || length > capacity_ - size_) {
        overflowed_ = true;
        return;
    }
    std::memcpy(buffer_ + size_, text, length);
    size_ += length;
}

void FixedText::Append(const char* text) {
    Append(text, std::strlen(text));
}

void FixedText::AppendHex(uint64_t value) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char digits[18];
    size_t i = sizeof digits;
    do {
        digits[--i] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    digits[--i] = 'x';
    digits[--i] = '0';
    Append(digits + i, sizeof digits - i);
}

void FixedText::AppendDecimal(uint64_t value) {
    char digits[20];
    size_t i = sizeof digits;
    do {
        digits[--i] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    Append(digits + i, sizeof digits - i);
}

void FixedText::AppendJsonUtf16(const uint16_t* text, size_t length) {
    Append("\"", 1);
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        char out[6];
        size_t n = 0;
        if (c == '"' || c == '\\') {
            out[n++] = '\\';
            out[n++] = static_cast<char>(c);
        } else if (c < 0x20) {
            static constexpr char kDigits[] = "0123456789abcdef";
            Append("\\u00", 4);
            out[n++] = kDigits[c >> 4];
            out[n++] = kDigits[c & 0xF];
        } else if (c < 0x80) {
            out[n++] = static_cast<char>(c);
        } else if (c < 0x800) {
            out[n++] = static_cast<char>(0xC0 | (c >> 6));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[n++] = static_cast<char>(0xE0 | (c >> 12));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out[n++] = static_cast<char>(0xF0 | (c >> 18));
            out[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[n++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        Append(out, n);
    }
    Append("\"", 1);
}

void FixedText::AppendJsonUtf8(const char* text, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    Append("\"", 1);
    for (size_t i = 0; i < length;) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t sequence = Utf8SequenceLength(text, length, i);
        if (sequence == 0) {
            Append("\xEF\xBF\xBD", 3);
            ++i;
            continue;
        }
        if (sequence > 1) {
            Append(text + i, sequence);
        } else if (c == '"' || c == '\\') {
            const char escaped[2] = {'\\', static_cast<char>(c)};
            Append(escaped, 2);
        } else if (c < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xF]};
            Append(escaped, 6);
        } else {
            Append(text + i, 1);
        }
        i += sequence;
    }
    Append("\"", 1);
}

}  // namespace sentry_lite
