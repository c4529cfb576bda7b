#include "envelope_reading.h"

#include <cstring>
#include <string_view>

namespace sentry_lite {

namespace {

// Reads the decimal length of an item's header line, or gives false when it has none.
bool ItemLength(const char* line, size_t size, uint64_t& length) {
    static constexpr char kKey[] = "\"length\":";
    const std::string_view text(line, size);
    const size_t at = text.find(kKey);
    if (at == std::string_view::npos) {
        return false;
    }
    size_t i = at + sizeof kKey - 1;
    while (i < size && line[i] == ' ') {
        ++i;
    }
    size_t digits = 0;
    length = 0;
    for (; i < size && line[i] >= '0' && line[i] <= '9' && digits < 15; ++i, ++digits) {
        length = length * 10 + static_cast<uint64_t>(line[i] - '0');
    }
    return digits > 0 && (i == size || line[i] == ',' || line[i] == '}' || line[i] == ' ');
}

// Bounds on what a later start reads of an envelope to find its session: this writer's lines
// are far shorter, and a file that is not one of its envelopes is given up on early.
constexpr size_t kMaxLineLength = 64 * 1024;
constexpr size_t kMaxSessionLength = 64 * 1024;

// The line at `offset`, without its line feed; false when no line feed comes within the bound.
bool ReadLine(const ReadEnvelopeAt& read, uint64_t offset, std::string& line) {
    line.clear();
    char chunk[512];
    while (line.size() < kMaxLineLength) {
        const size_t got = read(offset + line.size(), chunk, sizeof chunk);
        const void* end = std::memchr(chunk, '\n', got);
        if (end != nullptr) {
            line.append(chunk, static_cast<size_t>(static_cast<const char*>(end) - chunk));
            return true;
        }
        if (got == 0) {
            return false;
        }
        line.append(chunk, got);
    }
    return false;
}

// A string field's value in a flat JSON object ("name":"value", with any spaces around the
// colon), escapes left as they are.
std::optional<std::string> StringField(std::string_view json, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\"";
    for (size_t at = json.find(key); at != std::string_view::npos; at = json.find(key, at + 1)) {
        size_t i = at + key.size();
        const auto skip_spaces = [&] {
            while (i < json.size() && (json[i] == ' ' || json[i] == '\t')) {
                ++i;
            }
        };
        skip_spaces();
        if (i >= json.size() || json[i] != ':') {
            continue;  // the name was a value
        }
        ++i;
        skip_spaces();
        if (i >= json.size() || json[i] != '"') {
            return std::nullopt;
        }
        const size_t end = json.find('"', i + 1);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        return std::string(json.substr(i + 1, end - i - 1));
    }
    return std::nullopt;
}

}  // namespace

std::optional<EnvelopeSession> FindEnvelopeSession(const ReadEnvelopeAt& read) {
    std::string line;
    if (!ReadLine(read, 0, line)) {
        return std::nullopt;
    }
    uint64_t pos = line.size() + 1;
    while (ReadLine(read, pos, line)) {
        uint64_t length = 0;
        if (line.empty() || line[0] != '{' || !ItemLength(line.data(), line.size(), length)) {
            return std::nullopt;
        }
        pos += line.size() + 1;
        if (StringField(line, "type") == "session") {
            if (length > kMaxSessionLength) {
                return std::nullopt;
            }
            std::string payload(static_cast<size_t>(length), '\0');
            if (read(pos, payload.data(), payload.size()) != payload.size()) {
                return std::nullopt;
            }
            std::optional<std::string> sid = StringField(payload, "sid");
            if (!sid) {
                return std::nullopt;
            }
            return EnvelopeSession{std::move(*sid), StringField(payload, "status").value_or("")};
        }
        pos += length + 1;
    }
    return std::nullopt;
}

bool IsWholeEnvelope(const char* data, size_t size) {
    const auto line_end = [&](size_t from) {
        const void* found = from < size ? std::memchr(data + from, '\n', size - from) : nullptr;
        return found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - data)
                                : size;
    };
    size_t end = line_end(0);
    if (end == size || end == 0 || data[0] != '{') {
        return false;
    }
    size_t pos = end + 1;
    size_t items = 0;
    while (pos < size) {
        end = line_end(pos);
        uint64_t length = 0;
        if (end == size || data[pos] != '{' || !ItemLength(data + pos, end - pos, length)) {
            return false;
        }
        pos = end + 1;
        if (length > size - pos) {
            return false;
        }
        pos += static_cast<size_t>(length);
        if (pos < size) {
            if (data[pos] != '\n') {
                return false;
            }
            ++pos;
        }
        ++items;
    }
    return items > 0;
}

}  // namespace sentry_lite
