#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The names of the reporter's files in its database folder.
namespace sentry_lite {

// A report's file name, unique for a crash of one process: 20260304T050607089Z-908.envelope.
// Names sort as the reports' ages.
std::string ReportFileName(int64_t unix_ms, uint32_t process_id);
// A session's clean end, beside them: 20260304T050607089Z-908-session.envelope.
std::string SessionEndFileName(int64_t unix_ms, uint32_t process_id);
// How those names end: every whole envelope, and a session's end among them.
constexpr std::string_view kEnvelopeSuffix = ".envelope";
constexpr std::string_view kSessionEndSuffix = "-session.envelope";

}  // namespace sentry_lite
