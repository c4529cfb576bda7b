#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crash_context.h"

// A session's end in an envelope of its own, when no crash ends it.
namespace sentry_lite {

// How a session ends in an envelope of its own: cleanly (sentry_end_session, sentry_shutdown),
// or unobserved (its run ended without an end and without a crash report naming it).
enum class SessionEndStatus { kExited, kAbnormal };

// The envelope that ends the context's open session at `ended_ms` with `status` (no errors,
// its duration): a header without an event, and one session item. Empty when no session is
// open.
std::string SessionEndEnvelope(const CrashContext& context, int64_t ended_ms,
                               SessionEndStatus status = SessionEndStatus::kExited);

// The same, written before the end is known: the time and the duration have a fixed width and
// are filled in later (CompleteSessionEnd), so what is kept ahead has its final length.
struct PreparedSessionEnd {
    std::string envelope;  // empty when no session is open
    size_t time_at = 0;
    size_t duration_at = 0;
    int64_t started_ms = 0;
};
PreparedSessionEnd PrepareSessionEnd(const CrashContext& context, SessionEndStatus status);
// An end before the start (a clock set back) gives a duration of 0.
void CompleteSessionEnd(PreparedSessionEnd& prepared, int64_t ended_ms);

}  // namespace sentry_lite
