// The lite crash reporter's upload policy on what a server and a folder may hold: a status
// and the two rate-limit headers of any bytes, and file names of any bytes.
//
// Input: two bytes of status, then NUL-separated texts: Retry-After, X-Sentry-Rate-Limits
// (an empty text is an absent header), then file names, each with the next byte as its age
// (a name met again is left out).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "upload_policy.h"

namespace {

std::string NextText(const uint8_t*& data, size_t& size) {
    size_t length = 0;
    while (length < size && data[length] != 0) {
        ++length;
    }
    std::string text(reinterpret_cast<const char*>(data), length);
    const size_t used = length < size ? length + 1 : length;
    data += used;
    size -= used;
    return text;
}

void CheckRateLimit(const sentry_lite::HttpOutcome& outcome) {
    const int64_t seconds = sentry_lite::RateLimitSeconds(outcome);
    FUZZ_CHECK(seconds >= 0 && seconds <= sentry_lite::kMaxRetryAfterSeconds);
    if (!outcome.rate_limits && outcome.status != 429) {
        FUZZ_CHECK(seconds == 0);
    }
    if (!outcome.rate_limits && !outcome.retry_after && outcome.status == 429) {
        FUZZ_CHECK(seconds == sentry_lite::kDefaultRetryAfterSeconds);
    }
    sentry_lite::RateLimit limit;
    constexpr int64_t kNow = int64_t{1} << 40;
    limit.Note(outcome, kNow);
    FUZZ_CHECK(limit.Holds(kNow) == (seconds > 0));
    FUZZ_CHECK(!limit.Holds(kNow + seconds * 1000));
}

void CheckPlan(const std::vector<sentry_lite::PendingEnvelope>& found, size_t keep, size_t budget) {
    const sentry_lite::QueuePlan plan = sentry_lite::PlanQueue(found, keep, budget);
    std::vector<std::string> keys;  // of the envelopes, oldest first
    std::multiset<std::string> names;
    for (const auto& envelope : found) {
        if (sentry_lite::IsEnvelopeName(envelope.name)) {
            keys.push_back(sentry_lite::AgeKey(envelope));
            names.insert(envelope.name);
        }
    }
    std::sort(keys.begin(), keys.end());
    const size_t removed = keys.size() > keep ? keys.size() - keep : 0;
    FUZZ_CHECK(plan.remove.size() == removed);
    FUZZ_CHECK(plan.send.size() == std::min(budget, keys.size() - removed));
    // Removed ones are the oldest, sent ones the next oldest, each a name that was found.
    size_t at = 0;
    for (const auto* list : {&plan.remove, &plan.send}) {
        for (const std::string& name : *list) {
            FUZZ_CHECK(names.count(name) > 0);
            const auto found_at = std::find_if(found.begin(), found.end(),
                                               [&](const auto& e) { return e.name == name; });
            FUZZ_CHECK(found_at != found.end());
            FUZZ_CHECK(sentry_lite::AgeKey(*found_at) == keys[at++]);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    sentry_lite::HttpOutcome outcome;
    outcome.answered = data[0] != 0xFF;
    outcome.status = (data[0] << 8 | data[1]) % 1000;
    data += 2;
    size -= 2;
    const std::string retry_after = NextText(data, size);
    const std::string rate_limits = NextText(data, size);
    if (!retry_after.empty()) {
        outcome.retry_after = retry_after;
    }
    if (!rate_limits.empty()) {
        outcome.rate_limits = rate_limits;
    }
    CheckRateLimit(outcome);
    const sentry_lite::FileDecision decision = sentry_lite::DecideFile(outcome);
    FUZZ_CHECK(!decision.remove || (outcome.answered && outcome.status >= 200 &&
                                    outcome.status < 500 && outcome.status != 429));

    std::vector<sentry_lite::PendingEnvelope> found;
    while (size > 0 && found.size() < 64) {
        std::string name = NextText(data, size);
        const int64_t age = size > 0 ? int64_t{data[0]} * 86400000 : 0;
        if (size > 0) {
            ++data;
            --size;
        }
        // A folder holds each name once.
        if (std::none_of(found.begin(), found.end(),
                         [&](const auto& e) { return e.name == name; })) {
            found.push_back({std::move(name), age});
        }
    }
    CheckPlan(found, 4, 3);
    CheckPlan(found, sentry_lite::kKeptEnvelopes, sentry_lite::kSentPerRun);
    return 0;
}
