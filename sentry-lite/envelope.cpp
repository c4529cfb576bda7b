#include "envelope.h"

#include <map>

#include "envelope_header.h"
#include "fixed_fields.h"
#include "fixed_text.h"
#include "json_text.h"
#include "session_item.h"
#include "utc_time.h"

namespace sentry_lite {

namespace {

constexpr char kLengthPlaceholder[] = "         0";
static_assert(sizeof kLengthPlaceholder - 1 == kLengthWidth);

size_t EventHeadCapacity(const CrashContext& context) {
    size_t capacity = kFixedRoom + JsonStringCapacity(context.event_id) +
                      OptionalCapacity(context.release) + OptionalCapacity(context.environment) +
                      JsonStringCapacity(context.installation_id) +
                      JsonStringCapacity(context.os_version);
    for (const auto& [key, value] : context.tags) {
        capacity += JsonStringCapacity(key) + JsonStringCapacity(value) + 2;
    }
    return capacity;
}

void AppendTags(std::string& out, const std::map<std::string, std::string>& tags) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : tags) {
        if (!first) {
            out += ',';
        }
        first = false;
        AppendJsonString(out, key);
        out += ':';
        AppendJsonString(out, value);
    }
    out += '}';
}

// The event's fields known ahead; gives where its time goes.
size_t AppendEventHead(std::string& out, const CrashContext& context) {
    out += "{\"event_id\":";
    AppendJsonString(out, context.event_id);
    out += ",\"platform\":\"native\",\"level\":\"fatal\"";
    AppendOptionalField(out, "release", context.release);
    AppendOptionalField(out, "environment", context.environment);
    out += ",\"sdk\":{\"name\":\"";
    out += kSdkName;
    out += "\",\"version\":\"";
    out += kSdkVersion;
    out += "\",\"integrations\":[\"lite\"]}";
    if (!context.installation_id.empty()) {
        out += ",\"user\":{\"id\":";
        AppendJsonString(out, context.installation_id);
        out += '}';
    }
    out += ",\"tags\":";
    AppendTags(out, context.tags);
    out += ",\"contexts\":{\"os\":{\"name\":\"Windows\"";
    if (!context.os_version.empty()) {
        out += ",\"kernel_version\":";
        AppendJsonString(out, context.os_version);
    }
    out += "}},\"timestamp\":\"";
    const size_t time_at = out.size();
    out.append(kUtcTimePlaceholder, kUtcTimeLength);
    out += '"';
    return time_at;
}

}  // namespace

PreparedEnvelope PrepareEnvelope(const CrashContext& context) {
    PreparedEnvelope prepared;
    prepared.header.reserve(EnvelopeHeaderCapacity(context));
    AppendEnvelopeHeader(prepared.header, context, true);

    static constexpr char kEventItemStart[] = "{\"type\":\"event\",\"length\":";
    std::string& item = prepared.event_item;
    item.reserve(sizeof kEventItemStart + kLengthWidth + 2);
    item = kEventItemStart;
    prepared.event_length_at = item.size();
    item += kLengthPlaceholder;
    item += "}\n";

    prepared.event_head.reserve(EventHeadCapacity(context));
    prepared.event_time_at = AppendEventHead(prepared.event_head, context);

    if (context.session.status == SessionStatus::kOpen) {
        // The time and the duration keep their width whatever they hold, so the length is
        // known now.
        static constexpr char kZeros[] = "00000000000000";
        static_assert(sizeof kZeros - 1 == kDurationWidth);
        prepared.session.reserve(SessionItemCapacity(context));
        const SessionFields fields =
            AppendSessionItem(prepared.session, context, "crashed", 1, kZeros);
        prepared.session_time_at = fields.time_at;
        prepared.session_duration_at = fields.duration_at;
        prepared.session_started_ms = context.session.started_ms;
    }
    return prepared;
}

void CompleteEnvelope(PreparedEnvelope& prepared, int64_t time_ms, size_t crash_part_size) {
    WriteUtcTime(time_ms, prepared.event_head.data() + prepared.event_time_at);
    WritePaddedDecimal(prepared.event_head.size() + crash_part_size, kLengthWidth,
                       prepared.event_item.data() + prepared.event_length_at);
    if (!prepared.session.empty()) {
        char* session = prepared.session.data();
        WriteUtcTime(time_ms, session + prepared.session_time_at);
        WriteDuration(time_ms - prepared.session_started_ms,
                      session + prepared.session_duration_at);
    }
}

size_t WriteAttachmentHeader(uint64_t dump_size, char* out, size_t capacity) {
    FixedText text(out, capacity);
    text.Append("{\"type\":\"attachment\",\"length\":");
    text.AppendDecimal(dump_size);
    text.Append(",\"filename\":\"minidump.dmp\",\"attachment_type\":\"event.minidump\"}\n");
    return text.Overflowed() ? 0 : text.Size();
}

std::string AttachmentHeader(uint64_t dump_size) {
    char line[kAttachmentHeaderCapacity];
    return std::string(line, WriteAttachmentHeader(dump_size, line, sizeof line));
}

void EnvelopePieces(const PreparedEnvelope& prepared, const char* crash_part,
                    size_t crash_part_size, const char* attachment, size_t attachment_size,
                    Piece (&pieces)[kPieceCount]) {
    pieces[0] = {prepared.header.data(), prepared.header.size()};
    pieces[1] = {prepared.event_item.data(), prepared.event_item.size()};
    pieces[2] = {prepared.event_head.data(), prepared.event_head.size()};
    pieces[3] = {crash_part, crash_part_size};
    pieces[4] = {"\n", 1};
    pieces[5] = {prepared.session.data(), prepared.session.size()};
    pieces[6] = {attachment, attachment_size};
}

std::string FormatEnvelope(PreparedEnvelope prepared, int64_t time_ms, std::string_view crash_part,
                           const std::string* minidump) {
    CompleteEnvelope(prepared, time_ms, crash_part.size());
    char attachment[kAttachmentHeaderCapacity];
    const size_t attachment_size =
        minidump != nullptr ? WriteAttachmentHeader(minidump->size(), attachment, sizeof attachment)
                            : 0;
    Piece pieces[kPieceCount];
    EnvelopePieces(prepared, crash_part.data(), crash_part.size(), attachment, attachment_size,
                   pieces);
    size_t size = minidump != nullptr ? minidump->size() + 1 : 0;
    for (const Piece& piece : pieces) {
        size += piece.size;
    }
    std::string text;
    text.reserve(size);
    for (const Piece& piece : pieces) {
        text.append(piece.data, piece.size);
    }
    if (minidump != nullptr) {
        text += *minidump;
        text += '\n';
    }
    return text;
}

}  // namespace sentry_lite
