#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "upload_policy.h"

// An envelope from the database folder as it is sent: its header made to carry the DSN in
// force now, without a secret, and the items the server's limits hold left out. The file
// itself stays as it was written.
namespace sentry_lite {

struct EnvelopeItem {
    std::string_view text;             // header line, payload and the line feed after it
    std::optional<Category> category;  // none for an item of a type this reporter never sends
};

struct ParsedEnvelope {
    std::string_view header;  // the header line, without its line feed
    std::vector<EnvelopeItem> items;
};

// Nothing when `body` is not a whole envelope: a header line, then items, each a JSON header
// line with the item's "type" and its "length" (or, with no length, a payload to the next line
// feed), and at least one item.
std::optional<ParsedEnvelope> ParseEnvelope(std::string_view body);

// The header's members but "dsn", which becomes `public_dsn` (none when that is empty); a
// header that does not read as a JSON object is sent as one with the DSN alone. A report
// written under an older, empty or malformed DSN goes under the current one, which the
// server checks against the request's own.
std::string HeaderForDsn(std::string_view header, std::string_view public_dsn);

struct Outgoing {
    std::string body;               // empty when every item was left out
    std::vector<Category> sent;     // the categories of the items in `body`
    std::vector<Category> limited;  // those of the items left out
};

Outgoing PrepareOutgoing(const ParsedEnvelope& envelope, std::string_view public_dsn,
                         const std::function<bool(Category)>& limited);

}  // namespace sentry_lite
