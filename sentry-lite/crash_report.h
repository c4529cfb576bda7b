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

// A report formatted before the crash it will describe: the time, the exception code and the
// exception address are fixed-width fields filled in place when the crash comes, so the crash
// itself formats nothing and allocates nothing.
struct PreparedReport {
    std::string text;
    size_t time_at = 0;     // kUtcTimeLength characters
    size_t code_at = 0;     // 8 hexadecimal digits
    size_t address_at = 0;  // 16 hexadecimal digits
};

// Everything of `report` but its time, code and address.
PreparedReport PrepareCrashReport(const CrashReport& report);

// Fills in the crash's fields. Allocates nothing and takes no lock.
void CompleteCrashReport(PreparedReport& prepared, int64_t time_ms, uint32_t code,
                         uint64_t address);

// Length of FormatUtcTime's text, and of a report file name's time stamp.
constexpr size_t kUtcTimeLength = 24;
constexpr size_t kFileStampLength = 19;

// FormatUtcTime and the stamp that starts ReportFileName, written into a buffer of their
// length without allocating. Years outside 0 to 9999 are written as the nearest of the two.
void WriteUtcTime(int64_t unix_ms, char* out);
void WriteFileStamp(int64_t unix_ms, char* out);

// A JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// ISO 8601 in UTC with milliseconds: 2026-03-04T05:06:07.089Z.
std::string FormatUtcTime(int64_t unix_ms);

// A report's file name, unique for a crash of one process: 20260304T050607089Z-908.json.
std::string ReportFileName(int64_t unix_ms, uint32_t process_id);

}  // namespace sentry_lite
