#include "upload_policy.h"

#include <algorithm>
#include <array>
#include <cstring>
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

// Per category, the longest limit the header's groups set on it; nothing where none names it.
// One reading of the header for all categories.
using HeaderLimits = std::array<std::optional<int64_t>, kCategoryCount>;
HeaderLimits SentryRateLimits(std::string_view header) {
    HeaderLimits longest;
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
        std::optional<int64_t> seconds;
        for (size_t i = 0; i < kCategoryCount; ++i) {
            if (GroupHolds(categories, static_cast<Category>(i))) {
                if (!seconds) {
                    seconds =
                        ReadSeconds(group.substr(0, colon)).value_or(kDefaultRetryAfterSeconds);
                }
                longest[i] = std::max(longest[i].value_or(0), *seconds);
            }
        }
    }
    return longest;
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

// A file's place in AgeKey's order without making the key: its stamp, then its name. The
// queue orders every file at every pass.
struct AgePlace {
    explicit AgePlace(const PendingEnvelope& envelope) : name(&envelope.name) {
        WriteAgeStamp(envelope, stamp);
    }
    bool operator<(const AgePlace& other) const {
        const int stamps = std::memcmp(stamp, other.stamp, kFileStampLength);
        return stamps != 0 ? stamps < 0 : *name < *other.name;
    }

    char stamp[kFileStampLength];
    const std::string* name;
};

}  // namespace

bool IsEnvelopeName(std::string_view name) {
    return EndsWith(name, kEnvelopeSuffix) && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos;
}

void WriteAgeStamp(const PendingEnvelope& envelope, char* out) {
    if (StartsWithStamp(envelope.name)) {
        std::memcpy(out, envelope.name.data(), kFileStampLength);
    } else {
        WriteFileStamp(envelope.modified_ms, out);
    }
}

std::string AgeKey(const PendingEnvelope& envelope) {
    char stamp[kFileStampLength];
    WriteAgeStamp(envelope, stamp);
    std::string key;
    key.reserve(kFileStampLength + envelope.name.size());
    key.append(stamp, sizeof stamp).append(envelope.name);
    return key;
}

bool IsSessionEndName(std::string_view name) {
    return EndsWith(name, kSessionEndSuffix);
}

bool IsExpired(const PendingEnvelope& envelope, int64_t now_ms) {
    char cutoff[kFileStampLength];
    WriteFileStamp(now_ms - kMaxEnvelopeAgeMs, cutoff);
    char stamp[kFileStampLength];
    WriteAgeStamp(envelope, stamp);
    return std::memcmp(stamp, cutoff, kFileStampLength) < 0;
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
    const std::string count = std::to_string(failed);  // short: kept in place, no allocation
    std::string marked;
    marked.reserve(stem.size() + 1 + count.size() + (name.size() - suffix));
    marked.append(stem).append(1, '~').append(count).append(name.substr(suffix));
    return marked;
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
        AgePlace age;
        size_t index;  // in `found`
        bool session_end;
    };
    std::vector<Aged> aged;
    aged.reserve(found.size());
    size_t session_ends = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        if (IsEnvelopeName(found[i].name)) {
            const bool session_end = IsSessionEndName(found[i].name);
            session_ends += session_end ? 1 : 0;
            aged.push_back({AgePlace(found[i]), i, session_end});
        }
    }
    std::sort(aged.begin(), aged.end(), [](const Aged& a, const Aged& b) { return a.age < b.age; });
    const auto beyond = [keep](size_t count) { return count > keep ? count - keep : 0; };
    size_t remove_reports = beyond(aged.size() - session_ends);
    size_t remove_session_ends = beyond(session_ends);
    QueuePlan plan;
    for (const Aged& envelope : aged) {
        std::string& name = found[envelope.index].name;
        size_t& to_remove = envelope.session_end ? remove_session_ends : remove_reports;
        if (to_remove > 0) {
            --to_remove;
            plan.remove.push_back(std::move(name));
        } else if (plan.send.size() < send_at_most) {
            plan.send.push_back(std::move(name));
        }
    }
    return plan;
}

std::optional<std::string> LastRunsCrash(const std::vector<PendingEnvelope>& found) {
    std::optional<AgePlace> newest;
    for (const PendingEnvelope& envelope : found) {
        if (!IsEnvelopeName(envelope.name) || IsSessionEndName(envelope.name) ||
            FailedStarts(envelope.name) > 0) {
            continue;
        }
        const AgePlace age(envelope);
        if (!newest || *newest < age) {
            newest = age;
        }
    }
    return newest ? std::optional<std::string>(*newest->name) : std::nullopt;
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

RateLimits RateLimitsOf(const HttpOutcome& outcome) {
    RateLimits seconds{};
    if (!outcome.answered) {
        return seconds;
    }
    if (outcome.rate_limits && !Trim(*outcome.rate_limits).empty()) {
        const HeaderLimits header = SentryRateLimits(*outcome.rate_limits);
        const bool any = std::any_of(header.begin(), header.end(),
                                     [](const std::optional<int64_t>& s) { return s.has_value(); });
        if (outcome.status != 429 || any) {
            for (size_t i = 0; i < kCategoryCount; ++i) {
                seconds[i] = header[i].value_or(0);
            }
            return seconds;
        }
    }
    if (outcome.status != 429) {
        return seconds;
    }
    const std::optional<int64_t> retry_after =
        outcome.retry_after ? ReadSeconds(*outcome.retry_after) : std::nullopt;
    seconds.fill(retry_after.value_or(kDefaultRetryAfterSeconds));
    return seconds;
}

int64_t RateLimitSeconds(const HttpOutcome& outcome, Category category) {
    return RateLimitsOf(outcome)[static_cast<size_t>(category)];
}

void RateLimit::Note(const HttpOutcome& outcome, int64_t now_ms) {
    const RateLimits seconds = RateLimitsOf(outcome);
    for (size_t i = 0; i < kCategoryCount; ++i) {
        if (seconds[i] > 0) {
            until_ms_[i] = std::max(until_ms_[i], now_ms + seconds[i] * 1000);
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
