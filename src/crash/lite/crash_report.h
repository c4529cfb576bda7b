#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// The report the lite crash reporter writes for a crash: one JSON object per file.
namespace sentry_lite {

enum class SessionStatus {
    kNone,   // never started
    kOpen,   // started and not ended: the crash ends it
    kEnded,  // ended before the crash
};

struct Session {
    SessionStatus status = SessionStatus::kNone;
    int64_t started_ms = 0;  // milliseconds since 1970-01-01 00:00 UTC
};

struct CrashReport {
    int64_t time_ms = 0;  // milliseconds since 1970-01-01 00:00 UTC
    std::optional<std::string> release;
    std::optional<std::string> environment;
    uint32_t exception_code = 0;
    uint64_t exception_address = 0;
    Session session;
    std::map<std::string, std::string> tags;
};

// The report as UTF-8 JSON. Texts are taken as UTF-8; a byte that is not part of a valid
// UTF-8 sequence becomes U+FFFD, so the file always parses.
std::string FormatCrashReport(const CrashReport& report);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// ISO 8601 in UTC with milliseconds: 2026-03-04T05:06:07.089Z.
std::string FormatUtcTime(int64_t unix_ms);

// A report's file name, unique for a crash of one process: 20260304T050607089Z-908.json.
std::string ReportFileName(int64_t unix_ms, uint32_t process_id);

}  // namespace sentry_lite
