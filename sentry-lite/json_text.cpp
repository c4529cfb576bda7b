#include "json_text.h"

namespace sentry_lite {

// The length of the valid UTF-8 sequence starting at `text[i]`, or 0 when it is not one:
// overlong forms, surrogates and values beyond U+10FFFF are not valid.
size_t Utf8SequenceLength(const char* text, size_t size, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > size || byte(i + 1) < low || byte(i + 1) > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) {
            return 0;
        }
    }
    return length;
}

void AppendJsonString(std::string& out, std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceLength(text.data(), text.size(), i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text.data() + i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            const char escaped[6] = {'\\', 'u', '0', '0', kDigits[c >> 4], kDigits[c & 0xF]};
            out.append(escaped, sizeof escaped);
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += '"';
}

std::string JsonString(const std::string& text) {
    std::string out;
    out.reserve(JsonStringCapacity(text));
    AppendJsonString(out, text);
    return out;
}

void AppendOptionalField(std::string& out, const char* name,
                         const std::optional<std::string>& value) {
    if (value) {
        out += ",\"";
        out += name;
        out += "\":";
        AppendJsonString(out, *value);
    }
}

size_t OptionalCapacity(const std::optional<std::string>& value) {
    return value ? JsonStringCapacity(*value) : 0;
}

}  // namespace sentry_lite
