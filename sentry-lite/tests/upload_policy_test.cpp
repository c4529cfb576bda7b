#include "upload_policy.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "envelope.h"

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

TEST(DecideFile, SentOrRefusedForGoodGoesAnythingElseStays) {
    const struct {
        HttpOutcome outcome;
        bool remove;
        bool go_on;
    } cases[] = {
        {HttpOutcome{}, false, false},  // refused connection, time-out
        {Answer(200), true, true},     {Answer(204), true, true},   {Answer(299), true, true},
        {Answer(429), false, false},   {Answer(400), true, true},   {Answer(413), true, true},
        {Answer(499), true, true},     {Answer(500), false, false}, {Answer(503), false, false},
        {Answer(302), false, false},  // redirects are not followed
        {Answer(100), false, false},   {Answer(0), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome.status);
        const FileDecision decision = DecideFile(c.outcome);
        EXPECT_EQ(decision.remove, c.remove);
        EXPECT_EQ(decision.go_on, c.go_on);
    }
}

TEST(RateLimitSeconds, ReadsTheServersFiguresLeniently) {
    const struct {
        const char* name;
        HttpOutcome outcome;
        int64_t seconds;
    } cases[] = {
        {"no answer", HttpOutcome{}, 0},
        {"plain success", Answer(200), 0},
        {"429 without a figure", Answer(429), 60},
        {"Retry-After", Answer(429, "120"), 120},
        {"Retry-After with spaces", Answer(429, " 7 "), 7},
        {"Retry-After fraction rounds up", Answer(429, "1.2"), 2},
        {"Retry-After zero", Answer(429, "0"), 0},
        {"Retry-After as a date", Answer(429, "Wed, 21 Oct 2015 07:28:00 GMT"), 60},
        {"Retry-After negative", Answer(429, "-5"), 60},
        {"Retry-After huge", Answer(429, "99999999999999999999999"), kMaxRetryAfterSeconds},
        {"Retry-After only counts on a 429", Answer(503, "30"), 0},
        {"rate limits win", Answer(429, "5", "60:error:key"), 60},
        {"all categories", Answer(429, nullptr, "30::organization"), 30},
        {"bare figure", Answer(429, nullptr, "45"), 45},
        {"longest group that holds us", Answer(429, nullptr, "10:error:key, 90:session:key"), 90},
        {"one of several categories", Answer(429, nullptr, "20:transaction;attachment:key"), 20},
        {"limits on what we never send", Answer(200, nullptr, "300:transaction:key"), 0},
        {"on a success too", Answer(200, nullptr, "40:error:key"), 40},
        {"a 429 with only others limited falls back", Answer(429, "8", "300:profile:key"), 8},
        {"malformed figure", Answer(429, nullptr, "soon:error:key"), 60},
        {"garbage on a success", Answer(200, nullptr, "garbage"), 60},
        {"empty groups", Answer(200, nullptr, " , ,"), 0},
        {"empty header on a 429", Answer(429, "3", ""), 3},
        {"with reason and namespaces", Answer(429, nullptr, "15:error:org:quota_exceeded:ns"), 15},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RateLimitSeconds(c.outcome), c.seconds);
    }
}

TEST(RateLimit, HoldsUntilItsEndAndKeepsTheLongest) {
    RateLimit limit;
    EXPECT_FALSE(limit.Holds(0));
    limit.Note(Answer(429, "10"), 1000);
    EXPECT_TRUE(limit.Holds(10999));
    EXPECT_FALSE(limit.Holds(11000));
    limit.Note(Answer(200), 2000);  // a success lifts nothing
    EXPECT_TRUE(limit.Holds(10999));
    limit.Note(Answer(429, "1"), 2000);  // a shorter one later does not shorten it
    EXPECT_TRUE(limit.Holds(10999));
}

// What one answer leaves the rest of the run able to do: post again at once, after the
// server's limit, or never.
TEST(SendRun, AnAnswerLetsTheRunGoOnWaitOrStop) {
    constexpr int64_t kNever = -1;
    const struct {
        const char* name;
        HttpOutcome outcome;
        bool go_on;
        int64_t posts_again_after_ms;  // kNever: the run is over
    } cases[] = {
        {"taken", Answer(200), true, 0},
        {"refused for good", Answer(400), true, 0},
        {"taken, with a limit on sessions", Answer(200, nullptr, "30:session:key"), true, 30000},
        {"429 for a while", Answer(429, "5"), false, 5000},
        {"429 without a figure", Answer(429), false, 60000},
        {"429 that asks for no wait", Answer(429, "0"), false, kNever},
        {"server error", Answer(503), false, kNever},
        {"no answer", HttpOutcome{}, false, kNever},
    };
    constexpr int64_t kSent = 1000;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SendRun run;
        EXPECT_EQ(run.Record(c.outcome, kSent).go_on, c.go_on);
        EXPECT_EQ(run.Budget(), kSentPerRun - 1);
        if (c.posts_again_after_ms == kNever) {
            EXPECT_FALSE(run.MayPost(kSent + kMaxRetryAfterSeconds * 1000));
        } else {
            EXPECT_EQ(run.MayPost(kSent + c.posts_again_after_ms - 1), c.posts_again_after_ms == 0);
            EXPECT_TRUE(run.MayPost(kSent + c.posts_again_after_ms));
        }
    }
}

TEST(SendRun, EndsAtItsBudgetOrWhenHalted) {
    SendRun run;
    for (size_t i = 0; i < kSentPerRun; ++i) {
        EXPECT_TRUE(run.MayPost(0));
        run.Record(Answer(200), 0);
    }
    EXPECT_EQ(run.Budget(), 0u);
    EXPECT_FALSE(run.MayPost(0));

    SendRun halted;
    halted.Halt();
    EXPECT_FALSE(halted.MayPost(0));
    EXPECT_EQ(halted.Budget(), kSentPerRun);
}

}  // namespace
}  // namespace sentry_lite
