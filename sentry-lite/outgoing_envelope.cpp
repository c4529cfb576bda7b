#include "outgoing_envelope.h"

#include <utility>

#include "json_text.h"

namespace sentry_lite {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

void SkipSpaces(std::string_view text, size_t& at) {
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
}

// Past a string literal that starts at `at`; false when it does not end.
bool SkipString(std::string_view text, size_t& at) {
    for (++at; at < text.size(); ++at) {
        if (text[at] == '\\') {
            ++at;
        } else if (text[at] == '"') {
            ++at;
            return true;
        }
    }
    return false;
}

// Past one value: a string, an object or array (nested to any depth), or a bare word.
bool SkipValue(std::string_view text, size_t& at) {
    if (at >= text.size()) {
        return false;
    }
    if (text[at] == '"') {
        return SkipString(text, at);
    }
    if (text[at] == '{' || text[at] == '[') {
        size_t depth = 0;
        while (at < text.size()) {
            const char c = text[at];
            if (c == '"') {
                if (!SkipString(text, at)) {
                    return false;
                }
                continue;
            }
            depth += (c == '{' || c == '[') ? 1 : 0;
            depth -= (c == '}' || c == ']') ? 1 : 0;
            ++at;
            if (depth == 0) {
                return true;
            }
        }
        return false;
    }
    const size_t start = at;
    while (at < text.size() && text[at] != ',' && text[at] != '}' && !IsSpace(text[at])) {
        ++at;
    }
    return at > start;
}

struct Member {
    std::string_view key;    // with its quotes
    std::string_view whole;  // "key":value
    std::string_view value;
};

// The members of a JSON object's text, or nothing when it is not one.
std::optional<std::vector<Member>> Members(std::string_view object) {
    size_t at = 0;
    SkipSpaces(object, at);
    if (at >= object.size() || object[at] != '{') {
        return std::nullopt;
    }
    ++at;
    std::vector<Member> members;
    SkipSpaces(object, at);
    if (at < object.size() && object[at] == '}') {
        ++at;
    } else {
        while (true) {
            SkipSpaces(object, at);
            const size_t key_at = at;
            if (at >= object.size() || object[at] != '"' || !SkipString(object, at)) {
                return std::nullopt;
            }
            const std::string_view key = object.substr(key_at, at - key_at);
            SkipSpaces(object, at);
            if (at >= object.size() || object[at] != ':') {
                return std::nullopt;
            }
            ++at;
            SkipSpaces(object, at);
            const size_t value_at = at;
            if (!SkipValue(object, at)) {
                return std::nullopt;
            }
            members.push_back(
                {key, object.substr(key_at, at - key_at), object.substr(value_at, at - value_at)});
            SkipSpaces(object, at);
            if (at < object.size() && object[at] == ',') {
                ++at;
                continue;
            }
            if (at < object.size() && object[at] == '}') {
                ++at;
                break;
            }
            return std::nullopt;
        }
    }
    SkipSpaces(object, at);
    if (at != object.size()) {
        return std::nullopt;
    }
    return members;
}

std::optional<uint64_t> ReadLength(std::string_view value) {
    if (value.empty() || value.size() > 19) {
        return std::nullopt;
    }
    uint64_t length = 0;
    for (const char c : value) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        length = length * 10 + static_cast<uint64_t>(c - '0');
    }
    return length;
}

std::optional<Category> CategoryOfType(std::string_view type) {
    if (type == "\"event\"") {
        return Category::kError;
    }
    if (type == "\"session\"") {
        return Category::kSession;
    }
    if (type == "\"attachment\"") {
        return Category::kAttachment;
    }
    return std::nullopt;
}

std::string_view LineAt(std::string_view body, size_t at) {
    const size_t end = body.find('\n', at);
    return body.substr(at, end == std::string_view::npos ? body.size() - at : end - at);
}

}  // namespace

std::optional<ParsedEnvelope> ParseEnvelope(std::string_view body) {
    ParsedEnvelope envelope;
    envelope.header = LineAt(body, 0);
    size_t at = envelope.header.size() + 1;
    if (at > body.size()) {
        return std::nullopt;
    }
    while (at < body.size()) {
        const size_t item_at = at;
        const std::string_view line = LineAt(body, at);
        const std::optional<std::vector<Member>> members = Members(line);
        if (!members || at + line.size() >= body.size()) {
            return std::nullopt;
        }
        at += line.size() + 1;
        std::optional<Category> category;
        std::optional<uint64_t> length;
        bool has_length = false;
        for (const Member& member : *members) {
            if (member.key == "\"type\"") {
                category = CategoryOfType(member.value);
            } else if (member.key == "\"length\"") {
                has_length = true;
                length = ReadLength(member.value);
            }
        }
        if (has_length && (!length || *length > body.size() - at)) {
            return std::nullopt;
        }
        at += has_length ? static_cast<size_t>(*length) : LineAt(body, at).size();
        if (at < body.size()) {
            if (body[at] != '\n') {
                return std::nullopt;
            }
            ++at;
        }
        envelope.items.push_back({body.substr(item_at, at - item_at), category});
    }
    if (envelope.items.empty()) {
        return std::nullopt;
    }
    return envelope;
}

std::string HeaderForDsn(std::string_view header, std::string_view public_dsn) {
    std::string out = "{";
    if (!public_dsn.empty()) {
        out += "\"dsn\":" + JsonString(std::string(public_dsn));
    }
    if (const std::optional<std::vector<Member>> members = Members(header)) {
        for (const Member& member : *members) {
            if (member.key != "\"dsn\"") {
                out += (out.size() > 1 ? "," : "") + std::string(member.whole);
            }
        }
    }
    return out + "}";
}

Outgoing PrepareOutgoing(const ParsedEnvelope& envelope, std::string_view public_dsn,
                         const std::function<bool(Category)>& limited) {
    Outgoing outgoing;
    std::string items;
    for (const EnvelopeItem& item : envelope.items) {
        if (item.category && limited(*item.category)) {
            outgoing.limited.push_back(*item.category);
            continue;
        }
        if (item.category) {
            outgoing.sent.push_back(*item.category);
        }
        items += item.text;
        // The last item may end without a line feed; one more item may follow it.
        if (!items.empty() && items.back() != '\n') {
            items += '\n';
        }
    }
    if (!items.empty()) {
        outgoing.body = HeaderForDsn(envelope.header, public_dsn) + "\n" + items;
    }
    return outgoing;
}

}  // namespace sentry_lite
