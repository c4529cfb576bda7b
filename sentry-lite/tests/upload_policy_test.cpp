#include "upload_policy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "report_names.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

using Names = std::vector<std::string>;

TEST(IsEnvelopeName, OnlyWholeEnvelopeFiles) {
    EXPECT_TRUE(IsEnvelopeName("20240229T123456789Z-908.envelope"));
    EXPECT_TRUE(IsEnvelopeName("a.envelope"));
    EXPECT_FALSE(IsEnvelopeName(".envelope"));
    EXPECT_FALSE(IsEnvelopeName("20240229T123456789Z-908.tmp"));
    EXPECT_FALSE(IsEnvelopeName("20240229T123456789Z-908.json"));
    EXPECT_FALSE(IsEnvelopeName("20240229T123456789Z-908.envelope.tmp"));
    EXPECT_FALSE(IsEnvelopeName("x.ENVELOPE"));
    EXPECT_FALSE(IsEnvelopeName("sub\\a.envelope"));
}

// 2024-02-29 12:34:56.789 UTC.
constexpr int64_t kLeapDay = 1709210096789;

TEST(PlanQueue, SendsOldestFirstByTheStampInTheName) {
    // Written in another order than their stamps (copied, restored from a backup).
    const QueuePlan plan = PlanQueue({{"20240301T000000000Z-2.envelope", kLeapDay},
                                      {"20240229T235959999Z-9.envelope", kLeapDay + 5},
                                      {"20240229T000000000Z-1.envelope", kLeapDay + 9},
                                      {"20240229T000000000Z-1.json", 0},
                                      {"20240101T000000000Z-3.envelope.tmp", 0}},
                                     kKeptEnvelopes, kSentPerRun);
    EXPECT_EQ(plan.send, (Names{"20240229T000000000Z-1.envelope", "20240229T235959999Z-9.envelope",
                                "20240301T000000000Z-2.envelope"}));
    EXPECT_TRUE(plan.remove.empty());
}

TEST(PlanQueue, NamesWithoutAStampAgeByTheirLastWrite) {
    const QueuePlan plan = PlanQueue({{"f0e1d2c3.envelope", kLeapDay},
                                      {"20240229T123456790Z-1.envelope", 0},
                                      {"a9b8c7d6.envelope", kLeapDay - 1}},
                                     kKeptEnvelopes, kSentPerRun);
    EXPECT_EQ(plan.send,
              (Names{"a9b8c7d6.envelope", "f0e1d2c3.envelope", "20240229T123456790Z-1.envelope"}));
}

std::vector<PendingEnvelope> Numbered(int count) {
    std::vector<PendingEnvelope> found;
    for (int i = count - 1; i >= 0; --i) {
        char name[64];
        std::snprintf(name, sizeof name, "20240229T1200%02d000Z-%d.envelope", i, i);
        found.push_back({name, 0});
    }
    return found;
}

TEST(PlanQueue, KeepsTheNewestAndSendsAFewOfThem) {
    const QueuePlan plan = PlanQueue(Numbered(45), 30, 10);
    ASSERT_EQ(plan.remove.size(), 15u);
    EXPECT_EQ(plan.remove.front(), "20240229T120000000Z-0.envelope");
    EXPECT_EQ(plan.remove.back(), "20240229T120014000Z-14.envelope");
    ASSERT_EQ(plan.send.size(), 10u);
    EXPECT_EQ(plan.send.front(), "20240229T120015000Z-15.envelope");
    EXPECT_EQ(plan.send.back(), "20240229T120024000Z-24.envelope");
}

TEST(PlanQueue, AtTheCapNothingIsRemovedAndWithNoBudgetNothingSent) {
    EXPECT_TRUE(PlanQueue(Numbered(30), 30, 10).remove.empty());
    const QueuePlan plan = PlanQueue(Numbered(31), 30, 0);
    EXPECT_EQ(plan.remove, Names{"20240229T120000000Z-0.envelope"});
    EXPECT_TRUE(plan.send.empty());
}

// Runs of a long time offline each end a session; those never push a crash report out, and
// both kinds go oldest first together.
TEST(PlanQueue, SessionEndsAreCappedApartFromCrashReports) {
    std::vector<PendingEnvelope> found;
    for (int i = 0; i < 40; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "20240301T1200%02d000Z-%d-session.envelope", i, i);
        found.push_back({name, 0});
    }
    found.push_back({"20240229T000000000Z-1.envelope", 0});
    found.push_back({"20240302T000000000Z-2.envelope", 0});
    const QueuePlan plan = PlanQueue(found, 30, 3);
    ASSERT_EQ(plan.remove.size(), 10u);
    EXPECT_EQ(plan.remove.front(), "20240301T120000000Z-0-session.envelope");
    EXPECT_EQ(plan.remove.back(), "20240301T120009000Z-9-session.envelope");
    EXPECT_EQ(plan.send,
              (Names{"20240229T000000000Z-1.envelope", "20240301T120010000Z-10-session.envelope",
                     "20240301T120011000Z-11-session.envelope"}));
}

// The newest crash report no start has tried goes first; session ends, tried reports, files in
// flight and names of other kinds never do.
TEST(LastRunsCrash, TheNewestUntriedCrashReport) {
    const struct {
        const char* what;
        std::vector<PendingEnvelope> found;
        std::optional<std::string> first;
    } cases[] = {
        {"empty folder", {}, std::nullopt},
        {"newest of two by the stamp, not by the list's order",
         {{"20240302T000000000Z-2.envelope", 0}, {"20240229T000000000Z-1.envelope", 0}},
         "20240302T000000000Z-2.envelope"},
        {"a newer one already tried is passed over",
         {{"20240229T000000000Z-1.envelope", 0}, {"20240302T000000000Z-2~1.envelope", 0}},
         "20240229T000000000Z-1.envelope"},
        {"only tried ones: none",
         {{"20240229T000000000Z-1~4.envelope", 0}, {"20240302T000000000Z-2~1.envelope", 0}},
         std::nullopt},
        {"a session end is no crash",
         {{"20240303T000000000Z-3-session.envelope", 0}, {"20240229T000000000Z-1.envelope", 0}},
         "20240229T000000000Z-1.envelope"},
        {"in flight or of another kind: none",
         {{"20240303T000000000Z-3.envelope.inflight", 0}, {"20240303T000000000Z-4.tmp", 0}},
         std::nullopt},
        {"a name without a stamp ages by its last write",
         {{"f0e1d2c3.envelope", kLeapDay + 86400000}, {"20240229T000000000Z-1.envelope", 0}},
         "f0e1d2c3.envelope"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LastRunsCrash(c.found), c.first) << c.what;
    }
}

// The names the reporter writes are told apart, and both are envelopes of the queue.
TEST(IsSessionEndName, TellsTheReportersTwoNamesApart) {
    EXPECT_EQ(SessionEndFileName(1709294400000, 9), "20240301T120000000Z-9-session.envelope");
    EXPECT_EQ(ReportFileName(1709294400000, 9), "20240301T120000000Z-9.envelope");
    const struct {
        const char* name;
        bool envelope;
        bool session_end;
    } cases[] = {
        {"20240301T120000000Z-9-session.envelope", true, true},
        {"20240301T120000000Z-9.envelope", true, false},
        {"x-session.envelope", true, true},
        {"-session.envelope", true, false},  // the suffix alone names nothing
        {"20240301T120000000Z-9session.envelope", true, false},
        {"20240301T120000000Z-9-Session.envelope", true, false},
        {"20240301T120000000Z-9-session.envelope.tmp", false, false},
        {"20240301T120000000Z-9-session.json", false, false},
        {"session-9.envelope", true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsEnvelopeName(c.name), c.envelope);
        EXPECT_EQ(IsSessionEndName(c.name), c.session_end);
    }
}

HttpOutcome Answer(int status, const char* retry_after = nullptr,
                   const char* rate_limits = nullptr) {
    HttpOutcome outcome;
    outcome.answered = true;
    outcome.status = status;
    if (retry_after != nullptr) {
        outcome.retry_after = retry_after;
    }
    if (rate_limits != nullptr) {
        outcome.rate_limits = rate_limits;
    }
    return outcome;
}

// The service's rules for an answer, with what the run's limits make of the same answer, per
// category: error (events), session, attachment.
TEST(DecideFile, TheServicesRulesForEachAnswer) {
    constexpr auto kKeep = DiscardReason::kNone;
    constexpr auto kSendError = DiscardReason::kSendError;
    const struct {
        const char* name;
        HttpOutcome outcome;
        bool remove;
        DiscardReason discard;
        bool network_failed;
        int64_t limits[kCategoryCount];  // seconds: error, session, attachment
    } cases[] = {
        {"no answer", HttpOutcome{}, false, kKeep, true, {0, 0, 0}},
        {"a proxy asks for credentials", Answer(407), false, kKeep, true, {0, 0, 0}},
        {"a proxy's time-out", Answer(408), false, kKeep, true, {0, 0, 0}},
        {"taken", Answer(200), true, kKeep, false, {0, 0, 0}},
        {"taken, other 2xx", Answer(204), true, kKeep, false, {0, 0, 0}},
        {"taken, last 2xx", Answer(299), true, kKeep, false, {0, 0, 0}},
        {"taken, with a limit",
         Answer(200, nullptr, "30:session:key"),
         true,
         kKeep,
         false,
         {0, 30, 0}},
        {"429 alone", Answer(429), true, kKeep, false, {60, 60, 60}},
        {"429 Retry-After", Answer(429, "120"), true, kKeep, false, {120, 120, 120}},
        {"429 per category",
         Answer(429, "5", "60:error;attachment:key"),
         true,
         kKeep,
         false,
         {60, 0, 60}},
        {"429 default holds events",
         Answer(429, nullptr, "10:default:key"),
         true,
         kKeep,
         false,
         {10, 0, 0}},
        {"400", Answer(400), true, kSendError, false, {0, 0, 0}},
        {"413", Answer(413), true, kSendError, false, {0, 0, 0}},
        {"499", Answer(499), true, kSendError, false, {0, 0, 0}},
        {"500", Answer(500), true, kSendError, false, {0, 0, 0}},
        {"503 with Retry-After is no limit", Answer(503, "30"), true, kSendError, false, {0, 0, 0}},
        {"a redirect, not followed", Answer(302), true, kSendError, false, {0, 0, 0}},
        {"1xx", Answer(100), true, kSendError, false, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FileDecision decision = DecideFile(c.outcome);
        EXPECT_EQ(decision.remove, c.remove);
        EXPECT_EQ(decision.go_on, c.remove) << "only a network failure halts the run";
        EXPECT_EQ(decision.discard, c.discard);
        EXPECT_EQ(decision.network_failed, c.network_failed);
        EXPECT_EQ(decision.taken, c.outcome.status / 100 == 2);
        for (size_t i = 0; i < kCategoryCount; ++i) {
            EXPECT_EQ(RateLimitSeconds(c.outcome, static_cast<Category>(i)), c.limits[i])
                << CategoryName(static_cast<Category>(i));
        }
    }
}

TEST(RateLimitSeconds, ReadsTheServersFiguresLeniently) {
    const struct {
        const char* name;
        HttpOutcome outcome;
        int64_t error_seconds;
        int64_t session_seconds;
    } cases[] = {
        {"no answer", HttpOutcome{}, 0, 0},
        {"Retry-After with spaces", Answer(429, " 7 "), 7, 7},
        {"Retry-After fraction rounds up", Answer(429, "1.2"), 2, 2},
        {"Retry-After zero", Answer(429, "0"), 0, 0},
        {"Retry-After as a date", Answer(429, "Wed, 21 Oct 2015 07:28:00 GMT"), 60, 60},
        {"Retry-After negative", Answer(429, "-5"), 60, 60},
        {"Retry-After huge", Answer(429, "99999999999999999999999"), kMaxRetryAfterSeconds,
         kMaxRetryAfterSeconds},
        {"rate limits win", Answer(429, "5", "60:error:key"), 60, 0},
        {"all categories", Answer(429, nullptr, "30::organization"), 30, 30},
        {"bare figure", Answer(429, nullptr, "45"), 45, 45},
        {"longest group per category", Answer(429, nullptr, "10:error:key, 90:session:key"), 10,
         90},
        {"longest of two groups", Answer(429, nullptr, "10:error:key, 90:error;session:key"), 90,
         90},
        {"spaces in the list", Answer(429, nullptr, "20: transaction ; session :key"), 0, 20},
        {"limits on what we never send", Answer(200, nullptr, "300:transaction:key"), 0, 0},
        {"on a success too", Answer(200, nullptr, "40:error:key"), 40, 0},
        {"a 429 with only others limited falls back", Answer(429, "8", "300:profile:key"), 8, 8},
        {"malformed figure", Answer(429, nullptr, "soon:error:key"), 60, 0},
        {"garbage on a success", Answer(200, nullptr, "garbage"), 60, 60},
        {"empty groups", Answer(200, nullptr, " , ,"), 0, 0},
        {"empty header on a 429", Answer(429, "3", ""), 3, 3},
        {"with reason and namespaces", Answer(429, nullptr, "15:error:org:quota_exceeded:ns"), 15,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RateLimitSeconds(c.outcome, Category::kError), c.error_seconds);
        EXPECT_EQ(RateLimitSeconds(c.outcome, Category::kSession), c.session_seconds);
    }
}

TEST(RateLimit, HoldsEachCategoryUntilItsEndAndKeepsTheLongest) {
    RateLimit limit;
    EXPECT_FALSE(limit.Holds(Category::kError, 0));
    limit.Note(Answer(429, nullptr, "10:error:key"), 1000);
    EXPECT_TRUE(limit.Holds(Category::kError, 10999));
    EXPECT_FALSE(limit.Holds(Category::kError, 11000));
    EXPECT_FALSE(limit.Holds(Category::kSession, 1000));
    limit.Note(Answer(200), 2000);  // a success lifts nothing
    EXPECT_TRUE(limit.Holds(Category::kError, 10999));
    limit.Note(Answer(429, "1"), 2000);  // a shorter one later does not shorten it
    EXPECT_TRUE(limit.Holds(Category::kError, 10999));
    EXPECT_TRUE(limit.Holds(Category::kSession, 2999));
    EXPECT_FALSE(limit.Holds(Category::kSession, 3000));
}

TEST(SendRun, OnlyANetworkFailureOrItsBudgetEndsTheRun) {
    const struct {
        const char* name;
        HttpOutcome outcome;
        bool goes_on;
    } cases[] = {
        {"taken", Answer(200), true},
        {"refused", Answer(500), true},
        {"rate limited", Answer(429, "3600"), true},
        {"a proxy's 407", Answer(407), false},
        {"no answer", HttpOutcome{}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SendRun run;
        EXPECT_EQ(run.Record(c.outcome, 1000).go_on, c.goes_on);
        EXPECT_EQ(run.Budget(), kSentPerRun - 1);
        EXPECT_EQ(run.MayPost(), c.goes_on);
    }
    SendRun run;
    for (size_t i = 0; i < kSentPerRun; ++i) {
        EXPECT_TRUE(run.MayPost());
        run.Record(Answer(200), 0);
    }
    EXPECT_EQ(run.Budget(), 0u);
    EXPECT_FALSE(run.MayPost());
    SendRun halted;
    halted.Halt();
    EXPECT_FALSE(halted.MayPost());
}

TEST(FailedStarts, KeptInTheNameWithItsKindAndStamp) {
    const struct {
        const char* name;
        int failed;
        const char* next;  // after one more failed start
    } cases[] = {
        {"20240301T120000000Z-9.envelope", 0, "20240301T120000000Z-9~1.envelope"},
        {"20240301T120000000Z-9~1.envelope", 1, "20240301T120000000Z-9~2.envelope"},
        {"20240301T120000000Z-9~12.envelope", 12, "20240301T120000000Z-9~13.envelope"},
        {"20240301T120000000Z-9-session.envelope", 0, "20240301T120000000Z-9~1-session.envelope"},
        {"20240301T120000000Z-9~4-session.envelope", 4, "20240301T120000000Z-9~5-session.envelope"},
        {"a~.envelope", 0, "a~~1.envelope"},
        {"a~1234.envelope", 0, "a~1234~1.envelope"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FailedStarts(c.name), c.failed);
        const std::string next = NameWithFailedStarts(c.name, c.failed + 1);
        EXPECT_EQ(next, c.next);
        EXPECT_EQ(FailedStarts(next), c.failed + 1);
        EXPECT_EQ(IsSessionEndName(next), IsSessionEndName(c.name));
        EXPECT_EQ(AgeKey({next, 5}).substr(0, kFileStampLength),
                  AgeKey({c.name, 5}).substr(0, kFileStampLength));
    }
}

TEST(IsExpired, ByTheStampInTheNameOrTheLastWrite) {
    const int64_t written = 1709294400000;  // 2024-03-01 12:00 UTC
    const std::string stamped = ReportFileName(written, 9);
    EXPECT_FALSE(IsExpired({stamped, 0}, written + kMaxEnvelopeAgeMs));
    EXPECT_TRUE(IsExpired({stamped, 0}, written + kMaxEnvelopeAgeMs + 1));
    EXPECT_FALSE(IsExpired({stamped, 0}, written - 1000)) << "a clock set back";
    EXPECT_FALSE(IsExpired({"a.envelope", written}, written + kMaxEnvelopeAgeMs));
    EXPECT_TRUE(IsExpired({"a.envelope", written}, written + kMaxEnvelopeAgeMs + 1));
}

}  // namespace
}  // namespace sentry_lite
