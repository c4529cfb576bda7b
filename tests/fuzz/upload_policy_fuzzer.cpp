// The lite crash reporter's upload policy on what a server and a folder may hold: a status
// and the two rate-limit headers of any bytes, and file names of any bytes.
//
// Input: two bytes of status, then NUL-separated texts: Retry-After, X-Sentry-Rate-Limits
// (an empty text is an absent header), then file names, each with the next byte as its age
// (a name met again is left out).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "envelope.h"
#include "fuzz_check.h"
#include "upload_policy.h"

namespace {

void CheckRateLimit(const sentry_lite::HttpOutcome& outcome) {
    sentry_lite::RateLimit limit;
    constexpr int64_t kNow = int64_t{1} << 40;
    limit.Note(outcome, kNow);
    for (size_t i = 0; i < sentry_lite::kCategoryCount; ++i) {
        const auto category = static_cast<sentry_lite::Category>(i);
        const int64_t seconds = sentry_lite::RateLimitSeconds(outcome, category);
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
    const std::string key = sentry_lite::AgeKey(envelope);
    const std::string marked_key = sentry_lite::AgeKey({marked, envelope.modified_ms});
    FUZZ_CHECK(key.compare(0, sentry_lite::kFileStampLength, marked_key, 0,
                           sentry_lite::kFileStampLength) == 0);
}

// The plan against a plain reading of the rules: of each kind (crash reports, session ends)
// the oldest beyond `keep` go, and the oldest of the rest are sent, up to the budget.
void CheckPlan(const std::vector<sentry_lite::PendingEnvelope>& found, size_t keep, size_t budget) {
    const sentry_lite::QueuePlan plan = sentry_lite::PlanQueue(found, keep, budget);
    std::vector<std::string> kinds[2];  // age keys, by IsSessionEndName
    std::map<std::string, std::string> key_of;
    for (const auto& envelope : found) {
        if (sentry_lite::IsEnvelopeName(envelope.name)) {
            const std::string key = sentry_lite::AgeKey(envelope);
            kinds[sentry_lite::IsSessionEndName(envelope.name) ? 1 : 0].push_back(key);
            key_of[envelope.name] = key;
        }
    }
    std::vector<std::string> removed;
    std::vector<std::string> rest;
    for (std::vector<std::string>& keys : kinds) {
        std::sort(keys.begin(), keys.end());
        const size_t beyond = keys.size() > keep ? keys.size() - keep : 0;
        removed.insert(removed.end(), keys.begin(), keys.begin() + static_cast<long>(beyond));
        rest.insert(rest.end(), keys.begin() + static_cast<long>(beyond), keys.end());
    }
    std::sort(removed.begin(), removed.end());
    std::sort(rest.begin(), rest.end());
    rest.resize(std::min(rest.size(), budget));
    const auto keys_of = [&](const std::vector<std::string>& names) {
        std::vector<std::string> keys;
        for (const std::string& name : names) {
            const auto found_at = key_of.find(name);
            FUZZ_CHECK(found_at != key_of.end());
            keys.push_back(found_at->second);
        }
        return keys;
    };
    FUZZ_CHECK(keys_of(plan.remove) == removed);
    FUZZ_CHECK(keys_of(plan.send) == rest);
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
    CheckDecision(outcome);

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
    for (const auto& envelope : found) {
        CheckFailureMark(envelope, 1 + static_cast<int>(envelope.modified_ms % 7));
    }
    CheckPlan(found, 4, 3);
    CheckPlan(found, sentry_lite::kKeptEnvelopes, sentry_lite::kSentPerRun);
    return 0;
}
