#include "database/open_session.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "envelope_reading.h"
#include "fixed_fields.h"
#include "session_end.h"
#include "uuid_text.h"

namespace sentry_lite {
namespace {

constexpr std::string_view kOpenSessionSuffix = ".open-session";
constexpr std::string_view kRecordMagic = "open-session 1 ";
constexpr std::string_view kUnfilledTime = "0000-00-00T00:00:00.000Z";

bool EndsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The next space-separated decimal of `line` from `at`; false when there is none.
template <typename Number>
bool ReadNumber(std::string_view line, size_t& at, Number& value) {
    const char* begin = line.data() + at;
    const char* end = line.data() + line.size();
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop == begin || (stop != end && *stop != ' ')) {
        return false;
    }
    at = static_cast<size_t>(stop - line.data()) + (stop != end ? 1 : 0);
    return true;
}

}  // namespace

std::string OpenSessionFileName(std::string_view sid) {
    return std::string(sid) + std::string(kOpenSessionSuffix);
}

std::optional<std::string> SidOfOpenSessionName(std::string_view long_name) {
    if (!EndsWith(long_name, kOpenSessionSuffix)) {
        return std::nullopt;
    }
    const std::string_view sid = long_name.substr(0, long_name.size() - kOpenSessionSuffix.size());
    return IsUuidText(sid) ? std::optional<std::string>(sid) : std::nullopt;
}

std::string OpenSessionRecord(const CrashContext& context) {
    const PreparedSessionEnd end = PrepareSessionEnd(context, SessionEndStatus::kAbnormal);
    if (end.envelope.empty()) {
        return {};
    }
    return std::string(kRecordMagic) + context.session.sid + " " + std::to_string(end.started_ms) +
           " " + std::to_string(end.time_at) + " " + std::to_string(end.duration_at) + "\n" +
           end.envelope;
}

std::optional<OpenSession> ReadOpenSessionRecord(std::string_view record) {
    const size_t line_end = record.find('\n');
    if (line_end == std::string_view::npos ||
        record.substr(0, kRecordMagic.size()) != kRecordMagic) {
        return std::nullopt;
    }
    const std::string_view line = record.substr(0, line_end);
    OpenSession session;
    size_t at = kRecordMagic.size();
    const size_t sid_end = line.find(' ', at);
    if (sid_end == std::string_view::npos || !IsUuidText(line.substr(at, sid_end - at))) {
        return std::nullopt;
    }
    session.sid = std::string(line.substr(at, sid_end - at));
    at = sid_end + 1;
    PreparedSessionEnd& end = session.end;
    if (!ReadNumber(line, at, end.started_ms) || !ReadNumber(line, at, end.time_at) ||
        !ReadNumber(line, at, end.duration_at) || at != line.size()) {
        return std::nullopt;
    }
    end.envelope = std::string(record.substr(line_end + 1));
    const std::string& text = end.envelope;
    // Whole, and the places to fill in are where the writer left them unfilled.
    if (!IsWholeEnvelope(text.data(), text.size()) ||
        end.time_at > text.size() - std::min(text.size(), kUnfilledTime.size()) ||
        text.compare(end.time_at, kUnfilledTime.size(), kUnfilledTime) != 0 ||
        end.duration_at > text.size() - std::min(text.size(), kDurationWidth)) {
        return std::nullopt;
    }
    const std::optional<EnvelopeSession> carried =
        FindEnvelopeSession([&text](uint64_t offset, char* out, size_t size) -> size_t {
            if (offset >= text.size()) {
                return 0;
            }
            const size_t count = std::min(size, text.size() - static_cast<size_t>(offset));
            std::memcpy(out, text.data() + offset, count);
            return count;
        });
    if (!carried || carried->sid != session.sid || carried->status != "abnormal") {
        return std::nullopt;
    }
    return session;
}

std::string AbnormalEnd(OpenSession session, int64_t last_seen_ms) {
    CompleteSessionEnd(session.end, std::max(last_seen_ms, session.end.started_ms));
    return std::move(session.end.envelope);
}

OpenSessionFate FateOfOpenSession(const OpenSessionFacts& facts) {
    if (!facts.run_ended) {
        return OpenSessionFate::kLeave;  // a viewer still running from the same folder
    }
    if (!facts.whole || facts.crash_report || facts.end_kept) {
        return OpenSessionFate::kDrop;
    }
    // A report that could not be read now (another process is sending it) may be this run's
    // crash: a later start decides, rather than count the session twice.
    return facts.reports_read ? OpenSessionFate::kReportAbnormal : OpenSessionFate::kLeave;
}

}  // namespace sentry_lite
