#include "fixed_fields.h"

#include <algorithm>

namespace sentry_lite {

void WriteDecimal(uint64_t value, size_t digits, char* out) {
    for (size_t i = digits; i > 0; --i) {
        out[i - 1] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

void WriteHex(uint64_t value, size_t digits, char* out) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = digits; i > 0; --i) {
        out[i - 1] = kDigits[value & 0xF];
        value >>= 4;
    }
}

// A number right-aligned in a field of spaces: still a JSON number, of a width fixed ahead.
void WritePaddedDecimal(uint64_t value, size_t width, char* out) {
    size_t i = width;
    do {
        out[--i] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && i > 0);
    while (i > 0) {
        out[--i] = ' ';
    }
}

// Seconds with three decimals, right-aligned: "        12.345".
void WriteDuration(int64_t milliseconds, char* out) {
    const uint64_t ms = milliseconds < 0 ? 0 : static_cast<uint64_t>(milliseconds);
    WriteDecimal(ms % 1000, 3, out + kDurationWidth - 3);
    out[kDurationWidth - 4] = '.';
    WritePaddedDecimal(std::min<uint64_t>(ms / 1000, 999999999), kDurationWidth - 4, out);
}

}  // namespace sentry_lite
