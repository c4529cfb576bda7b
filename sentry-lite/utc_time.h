#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The times the reports carry and their files are named by, written without allocating.
namespace sentry_lite {

// Length of WriteUtcTime's text, and of a report file name's time stamp.
constexpr size_t kUtcTimeLength = 24;
constexpr size_t kFileStampLength = 19;

// What stands where a time is filled in later: of the time's length.
inline constexpr char kUtcTimePlaceholder[] = "0000-00-00T00:00:00.000Z";
static_assert(sizeof kUtcTimePlaceholder - 1 == kUtcTimeLength);

// ISO 8601 in UTC with milliseconds, and the stamp that starts a report file's name, written
// into a buffer of their length without allocating. Years outside 0 to 9999 are written as
// the nearest of the two.
void WriteUtcTime(int64_t unix_ms, char* out);
void WriteFileStamp(int64_t unix_ms, char* out);

// 2026-03-04T05:06:07.089Z.
std::string FormatUtcTime(int64_t unix_ms);
// The same, appended to `out`.
void AppendUtcTime(std::string& out, int64_t unix_ms);

// Milliseconds since 1970-01-01 00:00 UTC of a Windows file time (100 ns ticks since 1601,
// in its two halves), as the system clock and the folder listings give it.
int64_t UnixMillisecondsOfFileTime(uint32_t high, uint32_t low);

}  // namespace sentry_lite
