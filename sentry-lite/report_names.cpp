#include "report_names.h"

#include "utc_time.h"

namespace sentry_lite {

namespace {

std::string StampedName(int64_t unix_ms, uint32_t process_id, std::string_view suffix) {
    std::string name(kFileStampLength, '\0');
    WriteFileStamp(unix_ms, name.data());
    return name + "-" + std::to_string(process_id) + std::string(suffix);
}

}  // namespace

std::string ReportFileName(int64_t unix_ms, uint32_t process_id) {
    return StampedName(unix_ms, process_id, kEnvelopeSuffix);
}

std::string SessionEndFileName(int64_t unix_ms, uint32_t process_id) {
    return StampedName(unix_ms, process_id, kSessionEndSuffix);
}

}  // namespace sentry_lite
