#include "session_end.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "envelope_reading.h"
#include "tests/envelope_samples.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

// A clean end is an envelope of its own: no event, the session as exited with its duration.
TEST(SessionEndEnvelope, TheSessionExitedWithItsDuration) {
    const struct {
        const char* name;
        int64_t ended_ms;
        double duration;
    } cases[] = {
        {"seconds", 1709210096789, 96.789},
        {"at once", 1709210000000, 0.0},
        {"a clock set back", 1709209990000, 0.0},
        {"eleven days", 1709210000000 + 950400123, 950400.123},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = SessionEndEnvelope(FullContext(), c.ended_ms);
        ASSERT_TRUE(IsWholeEnvelope(text.data(), text.size()));
        const ReadEnvelope read = Read(text);
        EXPECT_EQ(read.header, nlohmann::json::parse(R"({"dsn":"https://key@reports.example/7",
            "sdk":{"name":"sentry.native.lite","version":"1.5.27"}})"));
        ASSERT_EQ(read.items.size(), 1u);
        EXPECT_EQ(read.items[0].first["type"], "session");
        nlohmann::json session = nlohmann::json::parse(read.items[0].second);
        EXPECT_DOUBLE_EQ(session["duration"].get<double>(), c.duration);
        session.erase("duration");
        nlohmann::json expected = nlohmann::json::parse(R"({
            "sid":"afeba90f-e3e1-49f1-9c5f-c940d2a8b198",
            "did":"6ef5a2e3-fd53-4550-9708-b2481ae82cd0","init":true,
            "started":"2024-02-29T12:33:20.000Z","status":"exited","errors":0,
            "attrs":{"release":"TavroStudio 1.5.27","environment":"production"}})");
        expected["timestamp"] = FormatUtcTime(c.ended_ms);
        EXPECT_EQ(session, expected);
    }
}

TEST(SessionEndEnvelope, AnAbnormalEndDiffersOnlyInItsStatus) {
    const std::string exited = SessionEndEnvelope(FullContext(), 1709210096789);
    const std::string abnormal =
        SessionEndEnvelope(FullContext(), 1709210096789, SessionEndStatus::kAbnormal);
    ASSERT_TRUE(IsWholeEnvelope(abnormal.data(), abnormal.size()));
    nlohmann::json exited_session = nlohmann::json::parse(Read(exited).items.at(0).second);
    nlohmann::json abnormal_session = nlohmann::json::parse(Read(abnormal).items.at(0).second);
    EXPECT_EQ(abnormal_session["status"], "abnormal");
    EXPECT_EQ(abnormal_session["errors"], 0);
    abnormal_session["status"] = "exited";
    EXPECT_EQ(abnormal_session, exited_session);
}

TEST(SessionEndEnvelope, NothingWithoutAnOpenSession) {
    CrashContext context = FullContext();
    context.session = {};
    EXPECT_EQ(SessionEndEnvelope(context, 1709210096789), "");
}

}  // namespace
}  // namespace sentry_lite
