#include "upload_policy.h"

#include <algorithm>
#include <utility>

#include "report_names.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool StartsWithStamp(std::string_view name) {
    if (name.size() < kFileStampLength) {
        return false;
    }
    for (size_t i = 0; i < kFileStampLength; ++i) {
        const bool ok = i == 8 ? name[i] == 'T' : i == 18 ? name[i] == 'Z' : IsDigit(name[i]);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// More than the suffix: a bare suffix names nothing.
bool EndsWith(std::string_view name, std::string_view suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Whole seconds, a fraction rounded up; nothing for text that is not a plain number (an HTTP
// date in Retry-After included: the default is near enough for a run).
std::optional<int64_t> ReadSeconds(std::string_view text) {
    text = Trim(text);
    int64_t seconds = 0;
    size_t i = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i) {
        seconds = std::min(seconds * 10 + (text[i] - '0'), kMaxRetryAfterSeconds);
    }
    if (i == 0) {
        return std::nullopt;
    }
    if (i < text.size() && text[i] == '.') {
        bool fraction = false;
        for (++i; i < text.size() && IsDigit(text[i]); ++i) {
            fraction = fraction || text[i] != '0';
        }
        seconds = std::min(seconds + (fraction ? 1 : 0), kMaxRetryAfterSeconds);
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    return seconds;
}

// The categories a limit's list names that are ours; "default" holds events too.
bool GroupHolds(std::string_view categories, Category category) {
    if (Trim(categories).empty()) {
        return true;
    }
    const std::string_view ours = CategoryName(category);
    while (true) {
        const size_t semicolon = categories.find(';');
        const std::string_view name = Trim(categories.substr(0, semicolon));
        if (name == ours || (category == Category::kError && name == "default")) {
            return true;
        }
        if (semicolon == std::string_view::npos) {
            return false;
        }
        categories.remove_prefix(semicolon + 1);
    }
}

// The longest limit the header's groups set on `category`; nothing when none names it.
std::optional<int64_t> SentryRateLimitSeconds(std::string_view header, Category category) {
    std::optional<int64_t> longest;
    while (!header.empty()) {
        const size_t comma = header.find(',');
        const std::string_view group = Trim(header.substr(0, comma));
        header.remove_prefix(comma == std::string_view::npos ? header.size() : comma + 1);
        if (group.empty()) {
            continue;
        }
        const size_t colon = group.find(':');
        const std::string_view rest =
            colon == std::string_view::npos ? std::string_view() : group.substr(colon + 1);
        const std::string_view categories = rest.substr(0, rest.find(':'));
        if (GroupHolds(categories, category)) {
            longest =
                std::max(longest.value_or(0),
                         ReadSeconds(group.substr(0, colon)).value_or(kDefaultRetryAfterSeconds));
        }
    }
    return longest;
}

bool HeaderLimitsAnyOfOurs(std::string_view header) {
    for (size_t i = 0; i < kCategoryCount; ++i) {
        if (SentryRateLimitSeconds(header, static_cast<Category>(i))) {
            return true;
        }
    }
    return false;
}

// Where a name's kind suffix starts: "-session.envelope" or ".envelope".
size_t KindSuffixAt(std::string_view name) {
    return name.size() - (IsSessionEndName(name) ? kSessionEndSuffix : kEnvelopeSuffix).size();
}

// Where a "~N" failure mark starts before the kind suffix, or npos for none.
size_t FailureMarkAt(std::string_view name) {
    if (!IsEnvelopeName(name)) {
        return std::string_view::npos;
    }
    const size_t suffix = KindSuffixAt(name);
    size_t digits = suffix;
    while (digits > 0 && IsDigit(name[digits - 1])) {
        --digits;
    }
    if (digits == suffix || suffix - digits > 3 || digits == 0 || name[digits - 1] != '~') {
        return std::string_view::npos;
    }
    return digits - 1;
}

}  // namespace

bool IsEnvelopeName(std::string_view name) {
    return EndsWith(name, kEnvelopeSuffix) && name.find_first_of("/\\") == std::string_view::npos;
}

std::string AgeKey(const PendingEnvelope& envelope) {
    if (StartsWithStamp(envelope.name)) {
        return envelope.name.substr(0, kFileStampLength) + envelope.name;
    }
    char stamp[kFileStampLength];
    WriteFileStamp(envelope.modified_ms, stamp);
    return std::string(stamp, sizeof stamp) + envelope.name;
}

bool IsSessionEndName(std::string_view name) {
    return EndsWith(name, kSessionEndSuffix);
}

bool IsExpired(const PendingEnvelope& envelope, int64_t now_ms) {
    char cutoff[kFileStampLength];
    WriteFileStamp(now_ms - kMaxEnvelopeAgeMs, cutoff);
    return AgeKey(envelope).compare(0, kFileStampLength, cutoff, kFileStampLength) < 0;
}

int FailedStarts(std::string_view name) {
    const size_t mark = FailureMarkAt(name);
    if (mark == std::string_view::npos) {
        return 0;
    }
    int failed = 0;
    for (size_t i = mark + 1; i < KindSuffixAt(name); ++i) {
        failed = failed * 10 + (name[i] - '0');
    }
    return failed;
}

std::string NameWithFailedStarts(std::string_view name, int failed) {
    const size_t suffix = KindSuffixAt(name);
    const size_t mark = FailureMarkAt(name);
    const std::string_view stem = name.substr(0, mark == std::string_view::npos ? suffix : mark);
    return std::string(stem) + "~" + std::to_string(failed) + std::string(name.substr(suffix));
}

std::string InFlightName(std::string_view name) {
    return std::string(name) + std::string(kInFlightSuffix);
}

bool IsInFlightName(std::string_view name) {
    return EndsWith(name, kInFlightSuffix) &&
           IsEnvelopeName(name.substr(0, name.size() - kInFlightSuffix.size()));
}

const char* CategoryName(Category category) {
    switch (category) {
        case Category::kError:
            return "error";
        case Category::kSession:
            return "session";
        case Category::kAttachment:
            return "attachment";
    }
    return "default";
}

const char* DiscardReasonName(DiscardReason reason) {
    switch (reason) {
        case DiscardReason::kSendError:
            return "send_error";
        case DiscardReason::kRateLimitBackoff:
            return "ratelimit_backoff";
        case DiscardReason::kNetworkError:
            return "network_error";
        case DiscardReason::kCacheOverflow:
            return "cache_overflow";
        case DiscardReason::kNone:
            break;
    }
    return "";
}

QueuePlan PlanQueue(std::vector<PendingEnvelope> found, size_t keep, size_t send_at_most) {
    struct Aged {
        std::string key;
        std::string name;
        bool session_end;
    };
    std::vector<Aged> aged;
    size_t session_ends = 0;
    for (PendingEnvelope& envelope : found) {
        if (IsEnvelopeName(envelope.name)) {
            const bool session_end = IsSessionEndName(envelope.name);
            session_ends += session_end ? 1 : 0;
            aged.push_back({AgeKey(envelope), std::move(envelope.name), session_end});
        }
    }
    std::sort(aged.begin(), aged.end(), [](const Aged& a, const Aged& b) { return a.key < b.key; });
    const auto beyond = [keep](size_t count) { return count > keep ? count - keep : 0; };
    size_t remove_reports = beyond(aged.size() - session_ends);
    size_t remove_session_ends = beyond(session_ends);
    QueuePlan plan;
    for (Aged& envelope : aged) {
        size_t& to_remove = envelope.session_end ? remove_session_ends : remove_reports;
        if (to_remove > 0) {
            --to_remove;
            plan.remove.push_back(std::move(envelope.name));
        } else if (plan.send.size() < send_at_most) {
            plan.send.push_back(std::move(envelope.name));
        }
    }
    return plan;
}

std::optional<std::string> LastRunsCrash(const std::vector<PendingEnvelope>& found) {
    std::optional<std::string> newest;
    std::string newest_key;
    for (const PendingEnvelope& envelope : found) {
        if (!IsEnvelopeName(envelope.name) || IsSessionEndName(envelope.name) ||
            FailedStarts(envelope.name) > 0) {
            continue;
        }
        std::string key = AgeKey(envelope);
        if (!newest || key > newest_key) {
            newest = envelope.name;
            newest_key = std::move(key);
        }
    }
    return newest;
}

FileDecision DecideFile(const HttpOutcome& outcome) {
    FileDecision decision;
    if (!outcome.answered || outcome.status == 407 || outcome.status == 408) {
        decision.network_failed = true;
        return decision;
    }
    decision.remove = true;
    decision.go_on = true;
    decision.taken = outcome.status >= 200 && outcome.status < 300;
    if (!decision.taken && outcome.status != 429) {
        decision.discard = DiscardReason::kSendError;
    }
    return decision;
}

int64_t RateLimitSeconds(const HttpOutcome& outcome, Category category) {
    if (!outcome.answered) {
        return 0;
    }
    if (outcome.rate_limits && !Trim(*outcome.rate_limits).empty()) {
        if (outcome.status != 429 || HeaderLimitsAnyOfOurs(*outcome.rate_limits)) {
            return SentryRateLimitSeconds(*outcome.rate_limits, category).value_or(0);
        }
    }
    if (outcome.status != 429) {
        return 0;
    }
    const std::optional<int64_t> seconds =
        outcome.retry_after ? ReadSeconds(*outcome.retry_after) : std::nullopt;
    return seconds.value_or(kDefaultRetryAfterSeconds);
}

void RateLimit::Note(const HttpOutcome& outcome, int64_t now_ms) {
    for (size_t i = 0; i < kCategoryCount; ++i) {
        const int64_t seconds = RateLimitSeconds(outcome, static_cast<Category>(i));
        if (seconds > 0) {
            until_ms_[i] = std::max(until_ms_[i], now_ms + seconds * 1000);
        }
    }
}

FileDecision SendRun::Record(const HttpOutcome& outcome, int64_t now_ms) {
    ++posted_;
    limit_.Note(outcome, now_ms);
    const FileDecision decision = DecideFile(outcome);
    halted_ = halted_ || !decision.go_on;
    return decision;
}

}  // namespace sentry_lite
