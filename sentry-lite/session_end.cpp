#include "session_end.h"

#include <utility>

#include "envelope_header.h"
#include "fixed_fields.h"
#include "session_item.h"
#include "utc_time.h"

namespace sentry_lite {

namespace {

const char* StatusText(SessionEndStatus status) {
    return status == SessionEndStatus::kAbnormal ? "abnormal" : "exited";
}

}  // namespace

PreparedSessionEnd PrepareSessionEnd(const CrashContext& context, SessionEndStatus status) {
    PreparedSessionEnd prepared;
    if (context.session.status != SessionStatus::kOpen) {
        return prepared;
    }
    // Valid JSON even before it is completed.
    char zero[kDurationWidth];
    WriteDuration(0, zero);
    std::string& text = prepared.envelope;
    text.reserve(EnvelopeHeaderCapacity(context) + SessionItemCapacity(context));
    AppendEnvelopeHeader(text, context, false);
    const SessionFields fields = AppendSessionItem(text, context, StatusText(status), 0, zero);
    prepared.time_at = fields.time_at;
    prepared.duration_at = fields.duration_at;
    prepared.started_ms = context.session.started_ms;
    return prepared;
}

void CompleteSessionEnd(PreparedSessionEnd& prepared, int64_t ended_ms) {
    std::string& text = prepared.envelope;
    if (prepared.time_at + kUtcTimeLength > text.size() ||
        prepared.duration_at + kDurationWidth > text.size()) {
        return;
    }
    WriteUtcTime(ended_ms, text.data() + prepared.time_at);
    WriteDuration(ended_ms - prepared.started_ms, text.data() + prepared.duration_at);
}

std::string SessionEndEnvelope(const CrashContext& context, int64_t ended_ms,
                               SessionEndStatus status) {
    PreparedSessionEnd prepared = PrepareSessionEnd(context, status);
    CompleteSessionEnd(prepared, ended_ms);
    return std::move(prepared.envelope);
}

}  // namespace sentry_lite
