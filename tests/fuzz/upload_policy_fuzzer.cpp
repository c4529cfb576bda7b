// The lite crash reporter's upload policy on what a server and a folder may hold: a status
// and the two rate-limit headers of any bytes, and file names of any bytes, under the queue's
// own cap and budget or any other.
//
// Input: two bytes of status; one byte for the queue's cap and budget (0: the reporter's own,
// otherwise a cap of its high five bits and a budget of its low three); then NUL-separated
// texts: Retry-After, X-Sentry-Rate-Limits (an empty text is an absent header), then file
// names, each with the next byte as its age (a name met again is left out).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "upload_policy.h"
#include "upload_policy_model.h"
#include "utc_time.h"

namespace {

void CheckRateLimit(const sentry_lite::HttpOutcome& outcome) {
    sentry_lite::RateLimit limit;
    constexpr int64_t kNow = int64_t{1} << 40;
    limit.Note(outcome, kNow);
    const sentry_lite::RateLimits limits = sentry_lite::RateLimitsOf(outcome);
    for (size_t i = 0; i < sentry_lite::kCategoryCount; ++i) {
        const auto category = static_cast<sentry_lite::Category>(i);
        const int64_t seconds = limits[i];
        FUZZ_CHECK(seconds >= 0 && seconds <= sentry_lite::kMaxRetryAfterSeconds);
        if (!outcome.rate_limits && outcome.status != 429) {
            FUZZ_CHECK(seconds == 0);
        }
        if (!outcome.answered) {
            FUZZ_CHECK(seconds == 0);  // a status never received asks for nothing
        } else if (!outcome.rate_limits && !outcome.retry_after && outcome.status == 429) {
            FUZZ_CHECK(seconds == sentry_lite::kDefaultRetryAfterSeconds);
        }
        FUZZ_CHECK(limit.Holds(category, kNow) == (seconds > 0));
        FUZZ_CHECK(!limit.Holds(category, kNow + seconds * 1000));
    }
}

// The service's rules: only a network failure (or a proxy's 407, 408) keeps a file; of the
// rest, what was not taken and not rate limited is counted as a send error.
void CheckDecision(const sentry_lite::HttpOutcome& outcome) {
    const sentry_lite::FileDecision decision = sentry_lite::DecideFile(outcome);
    const bool network = !outcome.answered || outcome.status == 407 || outcome.status == 408;
    const bool taken = !network && outcome.status >= 200 && outcome.status < 300;
    FUZZ_CHECK(decision.remove == !network && decision.go_on == !network);
    FUZZ_CHECK(decision.network_failed == network && decision.taken == taken);
    FUZZ_CHECK((decision.discard == sentry_lite::DiscardReason::kSendError) ==
               (!network && !taken && outcome.status != 429));
    FUZZ_CHECK(decision.discard == sentry_lite::DiscardReason::kNone ||
               decision.discard == sentry_lite::DiscardReason::kSendError);
}

// A failed start marked in a name keeps its kind and its place in the queue.
void CheckFailureMark(const sentry_lite::PendingEnvelope& envelope, int failed) {
    if (!sentry_lite::IsEnvelopeName(envelope.name)) {
        return;
    }
    const std::string marked = sentry_lite::NameWithFailedStarts(envelope.name, failed);
    FUZZ_CHECK(sentry_lite::IsEnvelopeName(marked));
    FUZZ_CHECK(sentry_lite::FailedStarts(marked) == failed);
    FUZZ_CHECK(sentry_lite::IsSessionEndName(marked) ==
               sentry_lite::IsSessionEndName(envelope.name));
    char stamp[sentry_lite::kFileStampLength];
    char marked_stamp[sentry_lite::kFileStampLength];
    sentry_lite::WriteAgeStamp(envelope, stamp);
    sentry_lite::WriteAgeStamp({marked, envelope.modified_ms}, marked_stamp);
    FUZZ_CHECK(std::memcmp(stamp, marked_stamp, sizeof stamp) == 0);
}

// The queue's plan, and the report sent before it, against a plain reading of the rules
// (upload_policy_model.h).
void CheckPlan(Folder folder, size_t keep, size_t budget) {
    const PlainQueue queue(folder);
    FUZZ_CHECK(queue.IsLastRunsCrash(sentry_lite::LastRunsCrash(folder.envelopes)));
    FUZZ_CHECK(queue.Matches(sentry_lite::PlanQueue(std::move(folder.envelopes), keep, budget),
                             keep, budget));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Longer inputs find nothing shorter ones do not: more than the reporter's own cap of
    // stamped names of both kinds (30 each, 28 bytes and more a name) fits in this.
    if (size < 3 || size > 2048) {
        return 0;
    }
    sentry_lite::HttpOutcome outcome;
    outcome.answered = data[0] != 0xFF;
    outcome.status = (data[0] << 8 | data[1]) % 1000;
    const bool own_queue = data[2] == 0;
    const size_t keep = own_queue ? sentry_lite::kKeptEnvelopes : data[2] >> 3;
    const size_t budget = own_queue ? sentry_lite::kSentPerRun : data[2] & 7;
    data += 3;
    size -= 3;
    std::string retry_after = NextText(data, size);
    std::string rate_limits = NextText(data, size);
    if (!retry_after.empty()) {
        outcome.retry_after = std::move(retry_after);
    }
    if (!rate_limits.empty()) {
        outcome.rate_limits = std::move(rate_limits);
    }
    CheckRateLimit(outcome);
    CheckDecision(outcome);

    Folder folder = ReadFolder(data, size, 64);
    for (const auto& envelope : folder.envelopes) {
        CheckFailureMark(envelope, 1 + static_cast<int>(envelope.modified_ms % 7));
    }
    CheckPlan(std::move(folder), keep, budget);
    return 0;
}
