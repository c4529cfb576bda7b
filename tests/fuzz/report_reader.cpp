// The judge of the envelope writer's fuzz target: a strict reading of JSON as RFC 8259 has it
// and nothing more (no trailing commas or comments; strings of well-formed UTF-8 without control
// characters; escapes, surrogate pairs and numbers as the grammar writes them), straight from
// the envelope's bytes and allocating only for the texts it keeps, so that a run's time goes to
// the writer rather than to the judge.
#include "report_reader.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// Deeper than any report nests; a text nested deeper is not read.
constexpr int kMaxDepth = 16;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// One JSON text, read front to back. Each reading function skips the white space before what
// it reads and fails on anything the grammar does not allow there.
class StrictJson {
  public:
    explicit StrictJson(std::string_view text) : at_(text.data()), end_(at_ + text.size()) {}

    // Any value, its texts checked and dropped.
    bool Value(int depth) {
        SkipSpace();
        if (at_ == end_) {
            return false;
        }
        switch (*at_) {
            case '{':
                return Object(depth,
                              [this, depth](const std::string&) { return Value(depth + 1); });
            case '[':
                return Array(depth);
            case '"':
                return String(nullptr);
            case 't':
                return Literal("true");
            case 'f':
                return Literal("false");
            case 'n':
                return Literal("null");
            default:
                return Number(nullptr);
        }
    }

    // An object; `member(key)` reads each member's value.
    template <typename Member>
    bool Object(int depth, Member&& member) {
        SkipSpace();
        if (depth >= kMaxDepth || at_ == end_ || *at_ != '{') {
            return false;
        }
        ++at_;
        SkipSpace();
        if (at_ != end_ && *at_ == '}') {
            ++at_;
            return true;
        }
        std::string key;
        while (true) {
            key.clear();
            if (!String(&key) || !Take(':') || !member(key)) {
                return false;
            }
            SkipSpace();
            if (at_ == end_) {
                return false;
            }
            const char next = *at_++;
            if (next == '}') {
                return true;
            }
            if (next != ',') {
                return false;
            }
        }
    }

    // A string, its value appended to `out` when one is given.
    bool String(std::string* out) {
        SkipSpace();
        if (at_ == end_ || *at_ != '"') {
            return false;
        }
        ++at_;
        while (true) {
            const char* run = at_;
            while (at_ != end_ && *at_ != '"' && *at_ != '\\' &&
                   static_cast<unsigned char>(*at_) >= 0x20) {
                ++at_;
            }
            const std::string_view plain(run, static_cast<size_t>(at_ - run));
            if (!IsValidUtf8(plain)) {
                return false;
            }
            if (out != nullptr) {
                out->append(plain);
            }
            if (at_ == end_ || static_cast<unsigned char>(*at_) < 0x20) {
                return false;
            }
            if (*at_++ == '"') {
                return true;
            }
            if (!Escape(out)) {
                return false;
            }
        }
    }

    // A number; `whole` takes its value when it is a whole number without fraction or exponent
    // (and is left as it was otherwise, or when the value does not fit).
    bool Number(uint64_t* whole) {
        SkipSpace();
        const bool negative = at_ != end_ && *at_ == '-';
        at_ += negative ? 1 : 0;
        if (at_ == end_ || !IsDigit(*at_)) {
            return false;
        }
        uint64_t value = 0;
        bool fits = true;
        if (*at_ == '0') {
            ++at_;
        } else {
            for (; at_ != end_ && IsDigit(*at_); ++at_) {
                const auto digit = static_cast<uint64_t>(*at_ - '0');
                fits = fits && value <= (UINT64_MAX - digit) / 10;
                value = value * 10 + digit;
            }
        }
        bool plain = true;
        if (at_ != end_ && *at_ == '.') {
            ++at_;
            plain = false;
            if (!Digits()) {
                return false;
            }
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            ++at_;
            plain = false;
            if (at_ != end_ && (*at_ == '+' || *at_ == '-')) {
                ++at_;
            }
            if (!Digits()) {
                return false;
            }
        }
        if (whole != nullptr && plain && fits && !negative) {
            *whole = value;
        }
        return true;
    }

    // Nothing but white space left.
    bool AtEnd() {
        SkipSpace();
        return at_ == end_;
    }

  private:
    void SkipSpace() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) {
            ++at_;
        }
    }

    bool Take(char c) {
        SkipSpace();
        if (at_ == end_ || *at_ != c) {
            return false;
        }
        ++at_;
        return true;
    }

    bool Literal(std::string_view word) {
        if (static_cast<size_t>(end_ - at_) < word.size() ||
            std::string_view(at_, word.size()) != word) {
            return false;
        }
        at_ += word.size();
        return true;
    }

    bool Digits() {
        const char* start = at_;
        while (at_ != end_ && IsDigit(*at_)) {
            ++at_;
        }
        return at_ != start;
    }

    bool Array(int depth) {
        if (depth >= kMaxDepth || !Take('[')) {
            return false;
        }
        SkipSpace();
        if (at_ != end_ && *at_ == ']') {
            ++at_;
            return true;
        }
        while (true) {
            if (!Value(depth + 1)) {
                return false;
            }
            SkipSpace();
            if (at_ == end_) {
                return false;
            }
            const char next = *at_++;
            if (next == ']') {
                return true;
            }
            if (next != ',') {
                return false;
            }
        }
    }

    bool Hex4(uint32_t& unit) {
        if (end_ - at_ < 4) {
            return false;
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = HexValue(*at_++);
            if (digit < 0) {
                return false;
            }
            unit = unit << 4 | static_cast<uint32_t>(digit);
        }
        return true;
    }

    // What follows a backslash.
    bool Escape(std::string* out) {
        if (at_ == end_) {
            return false;
        }
        const char kind = *at_++;
        char plain = 0;
        switch (kind) {
            case '"':
            case '\\':
            case '/':
                plain = kind;
                break;
            case 'b':
                plain = '\b';
                break;
            case 'f':
                plain = '\f';
                break;
            case 'n':
                plain = '\n';
                break;
            case 'r':
                plain = '\r';
                break;
            case 't':
                plain = '\t';
                break;
            case 'u':
                return Unicode(out);
            default:
                return false;
        }
        if (out != nullptr) {
            *out += plain;
        }
        return true;
    }

    // \uXXXX, a surrogate only as the first of a pair.
    bool Unicode(std::string* out) {
        uint32_t code = 0;
        if (!Hex4(code) || (code >= 0xDC00 && code <= 0xDFFF)) {
            return false;
        }
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (end_ - at_ < 2 || at_[0] != '\\' || at_[1] != 'u') {
                return false;
            }
            at_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) {
                return false;
            }
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (out != nullptr) {
            AppendUtf8(*out, code);
        }
        return true;
    }

    const char* at_;
    const char* end_;
};

}  // namespace

bool ReadReportBack(std::string_view text, ReadReport& report) {
    StrictJson json(text);
    bool release = false;
    bool environment = false;
    bool tags = false;
    const auto member = [&](const std::string& key) {
        if (key == "release") {
            report.release.clear();
            return release = json.String(&report.release);
        }
        if (key == "environment") {
            report.environment.clear();
            return environment = json.String(&report.environment);
        }
        if (key == "tags") {
            tags = true;
            // A tag given twice keeps its first value.
            return json.Object(1, [&](const std::string& name) {
                std::string value;
                return json.String(&value) && (report.tags.emplace(name, value), true);
            });
        }
        return json.Value(1);
    };
    return json.Object(0, member) && json.AtEnd() && release && environment && tags;
}

bool ReadEventItem(std::string_view envelope, std::string_view& event) {
    const size_t header_end = envelope.find('\n');
    if (header_end == std::string_view::npos) {
        return false;
    }
    const size_t item_end = envelope.find('\n', header_end + 1);
    if (item_end == std::string_view::npos) {
        return false;
    }
    StrictJson header(envelope.substr(0, header_end));
    if (!header.Value(0) || !header.AtEnd()) {
        return false;
    }
    StrictJson item(envelope.substr(header_end + 1, item_end - header_end - 1));
    bool is_event = false;
    uint64_t length = UINT64_MAX;
    const auto member = [&](const std::string& key) {
        if (key == "type") {
            std::string type;
            const bool read = item.String(&type);
            is_event = type == "event";
            return read;
        }
        if (key == "length") {
            length = UINT64_MAX;
            return item.Number(&length);
        }
        return item.Value(1);
    };
    if (!item.Object(0, member) || !item.AtEnd() || !is_event ||
        length > envelope.size() - item_end - 1) {
        return false;
    }
    event = envelope.substr(item_end + 1, length);
    return true;
}

bool IsValidUtf8(std::string_view text) {
    // For each lead byte, the length of its sequence and the range of its second byte; later
    // bytes are 80 to BF.
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        unsigned low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, low = 0xA0;
        } else if (lead == 0xED) {
            length = 3, high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4, low = 0x90;
        } else if (lead == 0xF4) {
            length = 4, high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}
