#include "database/open_session.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "envelope_reading.h"

namespace sentry_lite {
namespace {

constexpr char kSid[] = "afeba90f-e3e1-49f1-9c5f-c940d2a8b198";
constexpr int64_t kStarted = 1709210000000;  // 2024-02-29 12:33:20 UTC

CrashContext Context() {
    CrashContext context;
    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.dsn = "https://key@reports.example/7";
    context.release = "TavroStudio \"1.5.27\"\n";
    context.environment = "production";
    context.installation_id = "6ef5a2e3-fd53-4550-9708-b2481ae82cd0";
    context.session = {SessionStatus::kOpen, kSid, kStarted};
    context.tags = {{"PID", "908"}};
    return context;
}

// The session item of a one-item envelope.
nlohmann::json SessionOf(const std::string& envelope) {
    EXPECT_TRUE(IsWholeEnvelope(envelope.data(), envelope.size()));
    const size_t header_end = envelope.find('\n');
    EXPECT_EQ(nlohmann::json::parse(envelope.substr(0, header_end)),
              nlohmann::json::parse(R"({"dsn":"https://key@reports.example/7",
                  "sdk":{"name":"sentry.native.lite","version":"1.5.27"}})"));
    const size_t item_end = envelope.find('\n', header_end + 1);
    const nlohmann::json item =
        nlohmann::json::parse(envelope.substr(header_end + 1, item_end - header_end - 1));
    EXPECT_EQ(item["type"], "session");
    return nlohmann::json::parse(envelope.substr(item_end + 1, item["length"].get<size_t>()));
}

// What the record turns into: the session as it started, ended at the last moment its run was
// seen, never before it started.
TEST(OpenSessionRecord, BecomesTheAbnormalEndOfTheSessionItHolds) {
    const struct {
        const char* what;
        int64_t last_seen_ms;
        const char* timestamp;
        double duration;
    } cases[] = {
        {"seen a while after the start", kStarted + 96789, "2024-02-29T12:34:56.789Z", 96.789},
        {"seen only at the start", kStarted, "2024-02-29T12:33:20.000Z", 0.0},
        {"a clock set back", kStarted - 5000, "2024-02-29T12:33:20.000Z", 0.0},
    };
    const std::string record = OpenSessionRecord(Context());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::optional<OpenSession> read = ReadOpenSessionRecord(record);
        ASSERT_TRUE(read);
        EXPECT_EQ(read->sid, kSid);
        const nlohmann::json session = SessionOf(AbnormalEnd(std::move(*read), c.last_seen_ms));
        EXPECT_DOUBLE_EQ(session["duration"].get<double>(), c.duration);
        nlohmann::json expected = nlohmann::json::parse(R"({
            "sid":"afeba90f-e3e1-49f1-9c5f-c940d2a8b198",
            "did":"6ef5a2e3-fd53-4550-9708-b2481ae82cd0","init":true,
            "started":"2024-02-29T12:33:20.000Z","status":"abnormal","errors":0,
            "attrs":{"release":"TavroStudio \"1.5.27\"\n","environment":"production"}})");
        expected["timestamp"] = c.timestamp;
        expected["duration"] = session["duration"];
        EXPECT_EQ(session, expected);
    }
}

TEST(OpenSessionRecord, NoneWithoutAnOpenSession) {
    CrashContext context = Context();
    context.session = {};
    EXPECT_EQ(OpenSessionRecord(context), "");
}

// A run that ended while it wrote its record leaves a part of it: no part is taken for one
// (but for the envelope's last line feed, which is optional).
TEST(ReadOpenSessionRecord, EveryPartOfARecordIsNone) {
    const std::string record = OpenSessionRecord(Context());
    ASSERT_EQ(record.back(), '\n');
    for (size_t size = 0; size + 1 < record.size(); ++size) {
        EXPECT_FALSE(ReadOpenSessionRecord(std::string_view(record).substr(0, size))) << size;
    }
}

TEST(ReadOpenSessionRecord, ARecordThatDoesNotHoldTogetherIsNone) {
    const std::string record = OpenSessionRecord(Context());
    const size_t line_end = record.find('\n');
    const std::string line = record.substr(0, line_end);
    const std::string rest = record.substr(line_end);
    const std::string other_sid = "0f8fad5b-d9cb-469f-a165-70867728950e";
    // The line's fields: "open-session 1 <sid> <started> <time at> <duration at>".
    const size_t sid_at = line.find(kSid);
    const size_t numbers_at = sid_at + sizeof kSid;
    const std::string numbers = line.substr(numbers_at);
    const size_t time_at = std::stoul(numbers.substr(numbers.find(' ') + 1));
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"another magic", "open-session 2" + record.substr(14)},
        {"the name's sid is not the session's",
         line.substr(0, sid_at) + other_sid + line.substr(sid_at + 36) + rest},
        {"no sid", line.substr(0, sid_at) + line.substr(numbers_at) + rest},
        {"a time past the end", line.substr(0, numbers_at) + "1709210000000 999999 10" + rest},
        {"a time that is not where the writer left it",
         line.substr(0, numbers_at) + "1709210000000 " + std::to_string(time_at + 1) + " " +
             numbers.substr(numbers.rfind(' ') + 1) + rest},
        {"a field too many", line + " 7" + rest},
        {"a number that is not one",
         line.substr(0, numbers_at) + "17092x0000000" + numbers.substr(numbers.find(' ')) + rest},
        {"a tail after the envelope", record + "{"},
        {"not a record", "installation_id\n"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(ReadOpenSessionRecord(c.text)) << c.what << "\n" << c.text;
    }
    EXPECT_TRUE(ReadOpenSessionRecord(line + rest));
}

TEST(SidOfOpenSessionName, OnlyARecordsOwnName) {
    const struct {
        const char* name;
        const char* sid;  // null: not a record
    } cases[] = {
        {"afeba90f-e3e1-49f1-9c5f-c940d2a8b198.open-session", kSid},
        {"AFEBA90F-E3E1-49F1-9C5F-C940D2A8B198.open-session",
         "AFEBA90F-E3E1-49F1-9C5F-C940D2A8B198"},
        {"afeba90f-e3e1-49f1-9c5f-c940d2a8b19.open-session", nullptr},
        {"afeba90f-e3e1-49f1-9c5f-c940d2a8b198.open-session.bak", nullptr},
        {"afeba90f-e3e1-49f1-9c5f-c940d2a8b198.open-sessions", nullptr},
        {"x.open-session", nullptr},
        {".open-session", nullptr},
        {"20240229T123456789Z-908-session.envelope", nullptr},
    };
    for (const auto& c : cases) {
        const std::optional<std::string> sid = SidOfOpenSessionName(c.name);
        EXPECT_EQ(sid.value_or("<none>"), c.sid != nullptr ? c.sid : "<none>") << c.name;
    }
    EXPECT_EQ(SidOfOpenSessionName(OpenSessionFileName(kSid)).value_or(""), kSid);
}

// What a start does with a record: the record of a live run stays whatever else is in the
// folder; an ended run's session is told once, by its crash's report, its end, or as abnormal.
TEST(FateOfOpenSession, OneEndPerSessionAndNoneForALiveRun) {
    using Fate = OpenSessionFate;
    const struct {
        bool ended, whole, reports_read, crash_report, end_kept;
        Fate fate;
    } cases[] = {
        // A viewer still running from the same folder.
        {false, true, true, false, false, Fate::kLeave},
        {false, true, true, true, false, Fate::kLeave},
        {false, true, true, false, true, Fate::kLeave},
        {false, false, false, false, false, Fate::kLeave},
        // Ended, and nothing tells its end: killed, a power cut, __fastfail, ExitProcess.
        {true, true, true, false, false, Fate::kReportAbnormal},
        // Ended, and told elsewhere: its crash's report, or its end kept before the record went.
        {true, true, true, true, false, Fate::kDrop},
        {true, true, true, false, true, Fate::kDrop},
        {true, true, true, true, true, Fate::kDrop},
        {true, true, false, true, false, Fate::kDrop},
        // A report that could not be read now may be its crash's: a later start decides.
        {true, true, false, false, false, Fate::kLeave},
        // Written in part by a run that ended at once: nothing to tell.
        {true, false, true, false, false, Fate::kDrop},
        {true, false, false, false, false, Fate::kDrop},
    };
    for (const auto& c : cases) {
        OpenSessionFacts facts;
        facts.run_ended = c.ended;
        facts.whole = c.whole;
        facts.reports_read = c.reports_read;
        facts.crash_report = c.crash_report;
        facts.end_kept = c.end_kept;
        EXPECT_EQ(FateOfOpenSession(facts), c.fate)
            << "ended " << c.ended << " whole " << c.whole << " read " << c.reports_read
            << " crash " << c.crash_report << " end " << c.end_kept;
    }
}

}  // namespace
}  // namespace sentry_lite
