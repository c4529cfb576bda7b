#include "session_item.h"

#include "fixed_fields.h"
#include "fixed_text.h"
#include "json_text.h"
#include "utc_time.h"

namespace sentry_lite {

namespace {

void AppendDecimal(std::string& out, uint64_t value) {
    char digits[20];
    FixedText text(digits, sizeof digits);
    text.AppendDecimal(value);
    out.append(text.Data(), text.Size());
}

// The session's payload, with the time and duration texts as given.
SessionFields AppendSessionPayload(std::string& out, const CrashContext& context,
                                   const char* status, int errors, const char* duration) {
    SessionFields fields;
    out += "{\"sid\":";
    AppendJsonString(out, context.session.sid);
    if (!context.installation_id.empty()) {
        out += ",\"did\":";
        AppendJsonString(out, context.installation_id);
    }
    // Only the end of a session is sent, so its one update is always the first.
    out += ",\"init\":true,\"started\":\"";
    AppendUtcTime(out, context.session.started_ms);
    out += "\",\"timestamp\":\"";
    fields.time_at = out.size();
    out.append(kUtcTimePlaceholder, kUtcTimeLength);
    out += "\",\"status\":\"";
    out += status;
    out += "\",\"errors\":";
    AppendDecimal(out, static_cast<uint64_t>(errors));
    out += ",\"duration\":";
    fields.duration_at = out.size();
    out.append(duration, kDurationWidth);
    out += ",\"attrs\":{\"release\":";
    AppendJsonString(out, context.release ? std::string_view(*context.release) : "");
    AppendOptionalField(out, "environment", context.environment);
    out += "}}";
    return fields;
}

}  // namespace

// The header's length is known only once the payload is written, so the payload goes first
// and the line is put in front of it, within the room already reserved.
SessionFields AppendSessionItem(std::string& out, const CrashContext& context, const char* status,
                                int errors, const char* duration) {
    const size_t item_at = out.size();
    SessionFields fields = AppendSessionPayload(out, context, status, errors, duration);
    char header[64];
    FixedText text(header, sizeof header);
    text.Append("{\"type\":\"session\",\"length\":");
    text.AppendDecimal(out.size() - item_at);
    text.Append("}\n");
    out.insert(item_at, text.Data(), text.Size());
    out += '\n';
    fields.time_at += text.Size();
    fields.duration_at += text.Size();
    return fields;
}

size_t SessionItemCapacity(const CrashContext& context) {
    return kFixedRoom + JsonStringCapacity(context.session.sid) +
           JsonStringCapacity(context.installation_id) + OptionalCapacity(context.release) +
           OptionalCapacity(context.environment);
}

}  // namespace sentry_lite
