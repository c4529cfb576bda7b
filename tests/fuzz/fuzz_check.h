#pragma once

// What every fuzz target shares: a check that stops the run with the broken property (the
// build has NDEBUG, so assert would be silent), texts and wide text made from raw bytes.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

[[noreturn]] inline void FuzzCheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : FuzzCheckFailed(#condition, __FILE__, __LINE__))

// The next NUL-ended text of a fuzz input (the rest when no NUL follows), taken off its front.
inline std::string NextText(const uint8_t*& data, size_t& size) {
    size_t length = 0;
    while (length < size && data[length] != 0) {
        ++length;
    }
    std::string text(reinterpret_cast<const char*>(data), length);
    const size_t used = length < size ? length + 1 : length;
    data += used;
    size -= used;
    return text;
}

// The bytes as UTF-16 code units, low byte first, as Windows hands wide text over; an odd
// last byte is no unit. Every unit value can occur, NUL and lone surrogates included.
inline std::wstring WideUnits(const uint8_t* data, size_t size) {
    std::wstring text;
    text.reserve(size / 2 + 1);
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    }
    return text;
}

// Decodes well-formed UTF-8 into code points; false for anything else (a stray continuation
// byte, a cut or overlong sequence, a surrogate, a value past U+10FFFF).
inline bool DecodeUtf8(const std::string& text, std::vector<uint32_t>& code_points) {
    code_points.clear();
    code_points.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 1;
        uint32_t code = lead;
        uint32_t minimum = 0;
        if (lead >= 0x80) {
            if ((lead & 0xE0) == 0xC0) {
                length = 2;
                minimum = 0x80;
            } else if ((lead & 0xF0) == 0xE0) {
                length = 3;
                minimum = 0x800;
            } else if ((lead & 0xF8) == 0xF0) {
                length = 4;
                minimum = 0x10000;
            } else {
                return false;
            }
            code = lead & (0x7Fu >> length);
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        code_points.push_back(code);
        i += length;
    }
    return true;
}
