#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>

#include "crash_report.h"

namespace sentry_lite {
namespace {

TEST(FormatUtcTime, CalendarDatesWithMilliseconds) {
    const struct {
        int64_t unix_ms;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
        {1709210096789, "2024-02-29T12:34:56.789Z"},
        {4102444800000, "2100-01-01T00:00:00.000Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatUtcTime(c.unix_ms), c.text);
    }
}

TEST(ReportFileName, TimeAndProcessId) {
    EXPECT_EQ(ReportFileName(1709210096789, 908), "20240229T123456789Z-908.json");
    EXPECT_EQ(ReportFileName(0, 4294967295u), "19700101T000000000Z-4294967295.json");
}

TEST(JsonString, EscapesWhatJsonRequiresAndKeepsValidUtf8) {
    const struct {
        const char* name;
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", "production", "\"production\""},
        {"empty", "", "\"\""},
        {"quote and backslash", "C:\\Apps\\\"x\"", "\"C:\\\\Apps\\\\\\\"x\\\"\""},
        {"control characters", "a\nb\tc\r\x01\x1F\x7F", "\"a\\nb\\tc\\r\\u0001\\u001f\x7F\""},
        {"UTF-8 kept", "M\xC3\xBCller \xE5\x8D\xB0 \xF0\x9F\x98\x80",
         "\"M\xC3\xBCller \xE5\x8D\xB0 \xF0\x9F\x98\x80\""},
        {"a byte of another code page",
         "K\xFC"
         "che",
         "\"K\\ufffdche\""},
        {"cut sequence at the end", "x\xE5\x8D", "\"x\\ufffd\\ufffd\""},
        {"overlong form", "\xC0\xAF", "\"\\ufffd\\ufffd\""},
        {"surrogate", "\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        {"embedded NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JsonString(c.text), c.json);
    }
}

TEST(FormatCrashReport, AllFields) {
    CrashReport report;
    report.time_ms = 1709210096789;
    report.release = "TavroStudio 1.5.27";
    report.environment = "production";
    report.exception_code = 0xC0000005;
    report.exception_address = 0x7FF6A1B2C3D4;
    report.session = {SessionStatus::kOpen, 1709210000000};
    report.tags = {{"PID", "908"}, {"computer_name", "VIEWER-PC"}, {"mac_address", ""}};
    EXPECT_EQ(FormatCrashReport(report), R"({
  "timestamp": "2024-02-29T12:34:56.789Z",
  "release": "TavroStudio 1.5.27",
  "environment": "production",
  "exception": {
    "code": "0xC0000005",
    "address": "0x00007FF6A1B2C3D4"
  },
  "session": {
    "status": "crashed",
    "started": "2024-02-29T12:33:20.000Z"
  },
  "tags": {
    "PID": "908",
    "computer_name": "VIEWER-PC",
    "mac_address": ""
  }
}
)");
}

TEST(FormatCrashReport, UnsetValuesNoSessionAndNoTags) {
    CrashReport report;
    report.exception_code = 0x80000003;
    EXPECT_EQ(FormatCrashReport(report), R"({
  "timestamp": "1970-01-01T00:00:00.000Z",
  "release": null,
  "environment": null,
  "exception": {
    "code": "0x80000003",
    "address": "0x0000000000000000"
  },
  "session": null,
  "tags": {}
}
)");
}

TEST(FormatCrashReport, ASessionEndedBeforeTheCrashAndTextsEscaped) {
    CrashReport report;
    report.release = "Tavro \"beta\"";
    report.session = {SessionStatus::kEnded, 0};
    report.tags = {{"computer_name",
                    "K\xFC"
                    "che"}};
    const std::string text = FormatCrashReport(report);
    EXPECT_NE(text.find("\"release\": \"Tavro \\\"beta\\\"\","), std::string::npos) << text;
    EXPECT_NE(text.find("\"status\": \"exited\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"computer_name\": \"K\\ufffdche\""), std::string::npos) << text;
}

TEST(FormatUtcTime, YearsBeyondFourDigitsAreHeldAtTheEnds) {
    EXPECT_EQ(FormatUtcTime(-62167219200000), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(-62167219200001), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(INT64_MIN), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(253402300800000), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(FormatUtcTime(INT64_MAX), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(ReportFileName(INT64_MAX, 1), "99991231T235959999Z-1.json");
}

// A report prepared before the crash and completed by it is the report formatted at once, and
// completing it again for a later crash leaves nothing of the first one behind.
TEST(PreparedReport, CompletedInPlaceGivesTheFormattedReport) {
    CrashReport report;
    report.release = "TavroStudio 1.5.27";
    report.session = {SessionStatus::kOpen, 1709210000000};
    report.tags = {{"PID", "908"}};
    PreparedReport prepared = PrepareCrashReport(report);
    const size_t size = prepared.text.size();

    for (const auto& [time_ms, code, address] :
         {std::tuple<int64_t, uint32_t, uint64_t>{1709210096789, 0xC0000005, 0x7FF6A1B2C3D4},
          {0, 0x40000015, 1},
          {253402300799999, 0xFFFFFFFF, UINT64_MAX}}) {
        CompleteCrashReport(prepared, time_ms, code, address);
        report.time_ms = time_ms;
        report.exception_code = code;
        report.exception_address = address;
        EXPECT_EQ(prepared.text, FormatCrashReport(report));
        EXPECT_EQ(prepared.text.size(), size);
    }
}

// Tags and release come from the application through a C interface: any bytes at all. The
// report must parse whatever they hold, and give back exactly the text that was valid UTF-8.
TEST(FormatCrashReport, ParsesWhateverBytesTheTextsHold) {
    const std::string replaced = "\xEF\xBF\xBD";  // U+FFFD
    const struct {
        const char* name;
        std::string text;
        std::string parsed;  // what a JSON parser reads back
    } cases[] = {
        {"quotes and backslashes", "\"}\\\"{\\", "\"}\\\"{\\"},
        {"every control character", std::string("\x01\x02\x08\x0B\x0C\x1B\x1F\x7F"),
         std::string("\x01\x02\x08\x0B\x0C\x1B\x1F\x7F")},
        {"JSON look-alike", "\", \"tags\": {}}", "\", \"tags\": {}}"},
        {"escape look-alike", "\\u0000\\ud800", "\\u0000\\ud800"},
        {"valid UTF-8 of every length", "\xC2\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF",
         "\xC2\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBF"},
        {"a lone continuation byte", "a\x80z", "a" + replaced + "z"},
        {"a lead byte at the end", "a\xF0", "a" + replaced},
        {"bytes never in UTF-8", "\xFE\xFF\xC0\xC1\xF5",
         replaced + replaced + replaced + replaced + replaced},
        {"an encoded surrogate", "\xED\xB0\x80", replaced + replaced + replaced},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CrashReport report;
        report.release = c.text;
        report.environment = c.text;
        report.tags = {{c.text, c.text}, {"PID", "908"}};
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(FormatCrashReport(report))) << c.text;
        const std::string& expected = c.parsed;
        EXPECT_EQ(parsed["release"], expected);
        EXPECT_EQ(parsed["environment"], expected);
        EXPECT_EQ(parsed["tags"][expected], expected);
        EXPECT_EQ(parsed["tags"]["PID"], "908");
    }
}

}  // namespace
}  // namespace sentry_lite
