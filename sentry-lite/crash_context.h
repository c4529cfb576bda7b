#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// What the reporter knows ahead of a crash, from sentry_init and the calls after it: what every
// envelope it writes is made of.
namespace sentry_lite {

enum class SessionStatus {
    kNone,  // never started, or ended before the crash: no session in the envelope
    kOpen,  // started and not ended: the crash ends it
};

struct Session {
    SessionStatus status = SessionStatus::kNone;
    std::string sid;         // a UUID
    int64_t started_ms = 0;  // milliseconds since 1970-01-01 00:00 UTC
};

// What the envelope says before the crash comes.
struct CrashContext {
    std::string event_id;  // a UUID
    std::optional<std::string> dsn;
    std::optional<std::string> release;
    std::optional<std::string> environment;
    std::string installation_id;  // the session's device and the event's user
    std::string os_version;       // major.minor.build
    Session session;
    std::map<std::string, std::string> tags;
};

}  // namespace sentry_lite
