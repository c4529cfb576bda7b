#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crash_context.h"
#include "session_end.h"

// A session while its run lives: a record in the database folder, written whole when the
// session starts and removed by its end (a clean end, or a crash whose report carries it). A
// record left by a run that has ended is a session whose end nobody saw; a later start sends it
// as "abnormal". The record holds that end, prepared when the session started, so a later start
// only fills in when it ended.
namespace sentry_lite {

// <sid>.open-session. `long_name` is the file's own name (a listing by pattern also matches
// short 8.3 names); the sid it names, or none when it is not a record's name.
std::string OpenSessionFileName(std::string_view sid);
std::optional<std::string> SidOfOpenSessionName(std::string_view long_name);

// The record: one line "open-session 1 <sid> <started ms> <time at> <duration at>", then the
// session's abnormal end with a fixed-width time and duration at those offsets of it.
std::string OpenSessionRecord(const CrashContext& context);

struct OpenSession {
    std::string sid;
    PreparedSessionEnd end;
};
// None when the record is not whole (its run ended while writing it) or not a record at all.
std::optional<OpenSession> ReadOpenSessionRecord(std::string_view record);

// The session end a record becomes, ended at the last moment its run was known to be alive
// (never before it started).
std::string AbnormalEnd(OpenSession session, int64_t last_seen_ms);

// What a start does with a record it finds.
enum class OpenSessionFate {
    kLeave,           // its run is alive, or what became of it cannot be told yet
    kDrop,            // ended, and its end is told elsewhere (or it holds nothing to tell)
    kReportAbnormal,  // ended, and nothing else tells its end: kept as an abnormal end
};

struct OpenSessionFacts {
    bool run_ended = false;     // no live process holds the record
    bool whole = false;         // the record reads (ReadOpenSessionRecord)
    bool reports_read = false;  // every report waiting in the folder could be read
    bool crash_report = false;  // a waiting crash report carries the session (as crashed)
    bool end_kept = false;      // a waiting session end carries it (exited, or abnormal)
};
OpenSessionFate FateOfOpenSession(const OpenSessionFacts& facts);

}  // namespace sentry_lite
