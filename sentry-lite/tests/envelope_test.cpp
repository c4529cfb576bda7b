#include "envelope.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "crash_part.h"
#include "envelope_reading.h"
#include "tests/envelope_samples.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

TEST(Envelope, HoldsTheEventItsSessionAndTheMinidump) {
    const uint64_t frames[] = {0x3207e16ca, 0x1400013da, 0x17005dca8};  // innermost first
    CrashException exception;
    exception.code = 0xC0000005;
    exception.address = 0x3207e16ca;
    exception.has_access = true;
    exception.access_kind = 1;
    exception.access_address = 0;
    exception.registers[16] = 0x3207e16ca;
    exception.frames = frames;
    exception.frame_count = 3;
    const std::vector<ImageInfo> images = {
        Image(0x140000000, 376832, 0x6B1AD38E, u"Z:\\viewer\\tavro-gcodeviewer.exe"),
        Image(0x3207e0000, 516096, 0x6B1AD3B3, u"Z:\\viewer\\orviStudio.dll"),
    };
    const std::string dump = std::string("MDMP\0\n\x01", 7);
    const std::string text = FormatEnvelope(PrepareEnvelope(FullContext()), 1709210096789,
                                            CrashPart(exception, images), &dump);
    ASSERT_TRUE(IsWholeEnvelope(text.data(), text.size()));

    const ReadEnvelope read = Read(text);
    EXPECT_EQ(read.header["event_id"], "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b");
    EXPECT_EQ(read.header["dsn"], "https://key@reports.example/7");
    ASSERT_EQ(read.items.size(), 3u);

    EXPECT_EQ(read.items[0].first["type"], "event");
    const nlohmann::json event = nlohmann::json::parse(read.items[0].second);
    EXPECT_EQ(event["event_id"], read.header["event_id"]);
    EXPECT_EQ(event["timestamp"], "2024-02-29T12:34:56.789Z");
    EXPECT_EQ(event["level"], "fatal");
    EXPECT_EQ(event["platform"], "native");
    EXPECT_EQ(event["release"], "TavroStudio 1.5.27");
    EXPECT_EQ(event["environment"], "production");
    EXPECT_EQ(event["user"]["id"], "6ef5a2e3-fd53-4550-9708-b2481ae82cd0");
    EXPECT_EQ(event["tags"]["computer_name"], "VIEWER-PC");
    EXPECT_EQ(event["contexts"]["os"]["kernel_version"], "10.0.19045");
    const nlohmann::json& value = event["exception"]["values"][0];
    EXPECT_EQ(value["type"], "EXCEPTION_ACCESS_VIOLATION_WRITE");
    EXPECT_EQ(value["value"],
              "Fatal Error: EXCEPTION_ACCESS_VIOLATION_WRITE at 0x3207e16ca, writing 0x0");
    EXPECT_EQ(value["mechanism"]["handled"], false);
    EXPECT_EQ(value["mechanism"]["meta"]["signal"]["number"], 0xC0000005u);
    EXPECT_EQ(value["stacktrace"]["frames"],
              nlohmann::json::parse(R"([{"instruction_addr":"0x17005dca8"},
                  {"instruction_addr":"0x1400013da"},{"instruction_addr":"0x3207e16ca"}])"));
    EXPECT_EQ(value["stacktrace"]["registers"]["rip"], "0x3207e16ca");
    EXPECT_EQ(value["stacktrace"]["registers"].size(), kRegisterCount);
    EXPECT_EQ(event["debug_meta"]["images"], nlohmann::json::parse(R"([
        {"type":"pe","arch":"x86_64","image_addr":"0x140000000","image_size":376832,
         "code_file":"Z:\\viewer\\tavro-gcodeviewer.exe","code_id":"6B1AD38E5C000"},
        {"type":"pe","arch":"x86_64","image_addr":"0x3207e0000","image_size":516096,
         "code_file":"Z:\\viewer\\orviStudio.dll","code_id":"6B1AD3B37E000"}])"));

    EXPECT_EQ(read.items[1].first["type"], "session");
    EXPECT_EQ(nlohmann::json::parse(read.items[1].second), nlohmann::json::parse(R"({
        "sid":"afeba90f-e3e1-49f1-9c5f-c940d2a8b198",
        "did":"6ef5a2e3-fd53-4550-9708-b2481ae82cd0","init":true,
        "started":"2024-02-29T12:33:20.000Z","timestamp":"2024-02-29T12:34:56.789Z",
        "status":"crashed","errors":1,"duration":96.789,
        "attrs":{"release":"TavroStudio 1.5.27","environment":"production"}})"));

    EXPECT_EQ(read.items[2].first, nlohmann::json::parse(R"({"type":"attachment","length":7,
        "filename":"minidump.dmp","attachment_type":"event.minidump"})"));
    EXPECT_EQ(read.items[2].second, dump);
}

// What the crash writes is sized ahead: completing the same prepared envelope for another
// crash leaves nothing of the first behind, and the fields keep their widths.
TEST(Envelope, CompletedAgainForAnotherCrashItReadsAsThatOne) {
    const PreparedEnvelope prepared = PrepareEnvelope(FullContext());
    for (const auto& [time_ms, part] : {std::pair<int64_t, std::string>{1709210000000, ""},
                                        {1709210096789, std::string(12345, ' ')},
                                        {1709210000000 + 3456000001, std::string(1000001, ' ')}}) {
        PreparedEnvelope completed = prepared;
        CompleteEnvelope(completed, time_ms, part.size());
        EXPECT_EQ(completed.event_item.size(), prepared.event_item.size());
        EXPECT_EQ(completed.session.size(), prepared.session.size());
        EXPECT_EQ(nlohmann::json::parse(completed.event_item)["length"],
                  completed.event_head.size() + part.size());
        const std::string session = completed.session.substr(completed.session.find('\n') + 1);
        const nlohmann::json parsed = nlohmann::json::parse(session);
        EXPECT_EQ(parsed["timestamp"], FormatUtcTime(time_ms));
        EXPECT_DOUBLE_EQ(parsed["duration"].get<double>(),
                         static_cast<double>(time_ms - 1709210000000) / 1000);
    }
}

TEST(Envelope, NoSessionNoDsnAndUnsetTextsAreLeftOut) {
    CrashContext context;
    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.dsn = "";
    CrashException exception;
    exception.code = 0x80000003;
    const std::string text =
        FormatEnvelope(PrepareEnvelope(context), 0, CrashPart(exception, {}), nullptr);
    const ReadEnvelope read = Read(text);
    EXPECT_FALSE(read.header.contains("dsn"));
    ASSERT_EQ(read.items.size(), 1u);
    const nlohmann::json event = nlohmann::json::parse(read.items[0].second);
    EXPECT_FALSE(event.contains("release"));
    EXPECT_FALSE(event.contains("environment"));
    EXPECT_FALSE(event.contains("user"));
    EXPECT_EQ(event["tags"], nlohmann::json::object());
    EXPECT_EQ(event["exception"]["values"][0]["type"], "EXCEPTION_BREAKPOINT");
    EXPECT_EQ(event["debug_meta"]["images"], nlohmann::json::array());
}

// Tags and release come from the application through a C interface: any bytes at all. The
// envelope must parse whatever they hold, and give back exactly the text that was valid UTF-8.
TEST(Envelope, ParsesWhateverBytesTheTextsHold) {
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
        {"an item header look-alike", "\n{\"type\":\"event\",\"length\":1}\n",
         "\n{\"type\":\"event\",\"length\":1}\n"},
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
        CrashContext context = FullContext();
        context.release = c.text;
        context.environment = c.text;
        context.dsn = c.text;
        context.tags = {{c.text, c.text}, {"PID", "908"}};
        CrashException exception;
        const std::string text =
            FormatEnvelope(PrepareEnvelope(context), 0, CrashPart(exception, {}), nullptr);
        ASSERT_TRUE(IsWholeEnvelope(text.data(), text.size()));
        const ReadEnvelope read = Read(text);
        EXPECT_EQ(read.header["dsn"], c.parsed);
        const nlohmann::json event = nlohmann::json::parse(read.items[0].second);
        EXPECT_EQ(event["release"], c.parsed);
        EXPECT_EQ(event["environment"], c.parsed);
        EXPECT_EQ(event["tags"][c.parsed], c.parsed);
        EXPECT_EQ(event["tags"]["PID"], "908");
        const nlohmann::json session = nlohmann::json::parse(read.items[1].second);
        EXPECT_EQ(session["attrs"]["release"], c.parsed);
    }
}

}  // namespace
}  // namespace sentry_lite
