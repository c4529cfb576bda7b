#include "envelope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

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

TEST(UnixMillisecondsOfFileTime, TicksSince1601) {
    const struct {
        uint64_t ticks;
        int64_t unix_ms;
    } cases[] = {
        {116444736000000000, 0},
        {116444736000000000 + 17092100967890000, 1709210096789},  // both halves in use
        {116444736000000000 + 9999, 0},                           // under a millisecond
        {0, -11644473600000},                                     // 1601
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ticks);
        EXPECT_EQ(UnixMillisecondsOfFileTime(static_cast<uint32_t>(c.ticks >> 32),
                                             static_cast<uint32_t>(c.ticks)),
                  c.unix_ms);
    }
}

TEST(ReportFileName, TimeAndProcessId) {
    EXPECT_EQ(ReportFileName(1709210096789, 908), "20240229T123456789Z-908.envelope");
    EXPECT_EQ(ReportFileName(0, 4294967295u), "19700101T000000000Z-4294967295.envelope");
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

TEST(FormatUtcTime, YearsBeyondFourDigitsAreHeldAtTheEnds) {
    EXPECT_EQ(FormatUtcTime(-62167219200000), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(-62167219200001), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(INT64_MIN), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(253402300800000), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(FormatUtcTime(INT64_MAX), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(ReportFileName(INT64_MAX, 1), "99991231T235959999Z-1.envelope");
}

// The service reads an envelope as its header line, then items of exactly `length` bytes.
struct ReadEnvelope {
    nlohmann::json header;
    std::vector<std::pair<nlohmann::json, std::string>> items;
};

ReadEnvelope Read(const std::string& text) {
    ReadEnvelope read;
    size_t end = text.find('\n');
    read.header = nlohmann::json::parse(text.substr(0, end));
    size_t pos = end + 1;
    while (pos < text.size()) {
        end = text.find('\n', pos);
        const nlohmann::json item = nlohmann::json::parse(text.substr(pos, end - pos));
        pos = end + 1;
        const size_t length = item.at("length").get<size_t>();
        EXPECT_LE(pos + length, text.size());
        read.items.emplace_back(item, text.substr(pos, length));
        pos += length;
        if (pos < text.size()) {
            EXPECT_EQ(text[pos], '\n');
            ++pos;
        }
    }
    return read;
}

CrashContext FullContext() {
    CrashContext context;
    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.dsn = "https://key@reports.example/7";
    context.release = "TavroStudio 1.5.27";
    context.environment = "production";
    context.installation_id = "6ef5a2e3-fd53-4550-9708-b2481ae82cd0";
    context.os_version = "10.0.19045";
    context.session = {SessionStatus::kOpen, "afeba90f-e3e1-49f1-9c5f-c940d2a8b198", 1709210000000};
    context.tags = {{"PID", "908"}, {"computer_name", "VIEWER-PC"}, {"mac_address", ""}};
    return context;
}

std::string CrashPart(const CrashException& exception, const std::vector<ImageInfo>& images,
                      size_t capacity = 1 << 16) {
    std::string buffer(capacity, '\0');
    FixedText out(buffer.data(), buffer.size());
    EXPECT_TRUE(BeginCrashPart(out, exception));
    for (size_t i = 0; i < images.size(); ++i) {
        AppendImage(out, images[i], i == 0);
    }
    EndCrashPart(out);
    EXPECT_FALSE(out.Overflowed());
    return buffer.substr(0, out.Size());
}

ImageInfo Image(uint64_t base, uint32_t size, uint32_t stamp, std::u16string_view path) {
    ImageInfo image;
    image.base = base;
    image.size = size;
    image.time_date_stamp = stamp;
    image.path = reinterpret_cast<const uint16_t*>(path.data());
    image.path_length = path.size();
    return image;
}

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

TEST(Envelope, TheCrashIsNamedAsWindowsNamesIt) {
    const struct {
        uint32_t code;
        bool abort;
        bool has_access;
        uint64_t access_kind;
        const char* type;
        const char* signal;
        uint64_t number;
    } cases[] = {
        {0xC0000005, false, true, 0, "EXCEPTION_ACCESS_VIOLATION_READ",
         "EXCEPTION_ACCESS_VIOLATION_READ", 0xC0000005},
        {0xC0000005, false, true, 8, "EXCEPTION_ACCESS_VIOLATION_EXEC",
         "EXCEPTION_ACCESS_VIOLATION_EXEC", 0xC0000005},
        {0xC0000005, false, false, 0, "EXCEPTION_ACCESS_VIOLATION", "EXCEPTION_ACCESS_VIOLATION",
         0xC0000005},
        {0xC00000FD, false, false, 0, "EXCEPTION_STACK_OVERFLOW", "EXCEPTION_STACK_OVERFLOW",
         0xC00000FD},
        {0xC0000094, false, false, 0, "EXCEPTION_INT_DIVIDE_BY_ZERO",
         "EXCEPTION_INT_DIVIDE_BY_ZERO", 0xC0000094},
        {0xE0A1B2C3, false, false, 0, "0xE0A1B2C3", "0xE0A1B2C3", 0xE0A1B2C3},
        {0x40000015, true, false, 0, "SIGABRT", "SIGABRT", 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        CrashException exception;
        exception.code = c.code;
        exception.abort = c.abort;
        exception.has_access = c.has_access;
        exception.access_kind = c.access_kind;
        const nlohmann::json value =
            nlohmann::json::parse("{\"a\":0" + CrashPart(exception, {}))["exception"]["values"][0];
        EXPECT_EQ(value["type"], c.type);
        EXPECT_EQ(value["mechanism"]["meta"]["signal"]["name"], c.signal);
        EXPECT_EQ(value["mechanism"]["meta"]["signal"]["number"], c.number);
    }
}

// Image paths come from the loader as UTF-16, any units at all.
TEST(FixedText, Utf16PathsBecomeUtf8JsonStrings) {
    const struct {
        const char* name;
        std::u16string text;
        std::string json;
    } cases[] = {
        {"plain", u"C:\\x.dll", "\"C:\\\\x.dll\""},
        {"quote and control", u"a\"b\x01", "\"a\\\"b\\u0001\""},
        {"two and three bytes", u"\u00fc\u5370", "\"\xC3\xBC\xE5\x8D\xB0\""},
        {"a pair", u"\U0001F600", "\"\xF0\x9F\x98\x80\""},
        {"lone high, lone low", std::u16string{0xD800, u'x', 0xDC00},
         "\"\xEF\xBF\xBDx\xEF\xBF\xBD\""},
        {"high at the end", std::u16string{u'x', 0xDBFF}, "\"x\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[64];
        FixedText out(buffer, sizeof buffer);
        out.AppendJsonUtf16(reinterpret_cast<const uint16_t*>(c.text.data()), c.text.size());
        EXPECT_EQ(std::string(out.Data(), out.Size()), c.json);
    }
}

TEST(FixedText, WhatDoesNotFitIsMarkedAndRolledBack) {
    char buffer[8];
    FixedText out(buffer, sizeof buffer);
    out.AppendHex(0xABC);
    out.AppendDecimal(0);
    EXPECT_EQ(std::string(out.Data(), out.Size()), "0xabc0");
    const size_t mark = out.Mark();
    out.Append("xyz");
    EXPECT_TRUE(out.Overflowed());
    out.RollBack(mark);
    EXPECT_FALSE(out.Overflowed());
    out.Append("!!");
    EXPECT_EQ(std::string(out.Data(), out.Size()), "0xabc0!!");
}

// With many images and little room, the images that fit are kept whole, and the event still
// closes.
TEST(Envelope, ImagesThatDoNotFitAreLeftOutWhole) {
    CrashException exception;
    exception.code = 0xC0000005;
    std::vector<ImageInfo> images(200, Image(0x10000, 4096, 1, u"C:\\windows\\system32\\a.dll"));
    const std::string part = CrashPart(exception, images, 4096);
    const nlohmann::json event = nlohmann::json::parse("{\"a\":0" + part);
    const size_t kept = event["debug_meta"]["images"].size();
    EXPECT_GT(kept, 5u);
    EXPECT_LT(kept, 200u);
}

// Reads a text piecewise, as a file is, noting the bytes that were read.
struct PiecewiseReader {
    const std::string& text;
    std::vector<bool> touched = std::vector<bool>(text.size(), false);

    size_t operator()(uint64_t offset, char* out, size_t size) {
        if (offset >= text.size()) {
            return 0;
        }
        const size_t count = std::min<size_t>(size, text.size() - offset);
        std::copy_n(text.data() + offset, count, out);
        std::fill_n(touched.begin() + static_cast<std::ptrdiff_t>(offset), count, true);
        return count;
    }
};

TEST(FindEnvelopeSession, TheSessionOfACrashOrAnEndWithoutReadingTheRest) {
    CrashException exception;
    exception.code = 0xC0000005;
    const std::string dump = "MDMP" + std::string(200000, '\x7f');
    const std::string crash = FormatEnvelope(PrepareEnvelope(FullContext()), 1709210096789,
                                             CrashPart(exception, {}), &dump);
    PiecewiseReader reader{crash};
    const std::optional<EnvelopeSession> crashed = FindEnvelopeSession(std::ref(reader));
    ASSERT_TRUE(crashed);
    EXPECT_EQ(crashed->sid, "afeba90f-e3e1-49f1-9c5f-c940d2a8b198");
    EXPECT_EQ(crashed->status, "crashed");
    // The event and the minidump are skipped by their lengths: what is read is a few lines,
    // not the 200 kB of the minidump.
    EXPECT_LT(std::count(reader.touched.begin(), reader.touched.end(), true), 4096);

    for (const SessionEndStatus status : {SessionEndStatus::kExited, SessionEndStatus::kAbnormal}) {
        const std::string end = SessionEndEnvelope(FullContext(), 1709210096789, status);
        PiecewiseReader end_reader{end};
        const std::optional<EnvelopeSession> ended = FindEnvelopeSession(std::ref(end_reader));
        ASSERT_TRUE(ended);
        EXPECT_EQ(ended->sid, "afeba90f-e3e1-49f1-9c5f-c940d2a8b198");
        EXPECT_EQ(ended->status, status == SessionEndStatus::kExited ? "exited" : "abnormal");
    }

    // Another writer's spacing, and a "sid" that is a value before it is a name.
    const std::string payload = R"({"note": "sid", "sid" : "x-1", "status": "crashed"})";
    const std::string spaced = "{\"event_id\": \"\"}\n{\"type\": \"session\", \"length\": " +
                               std::to_string(payload.size()) + "}\n" + payload + "\n";
    PiecewiseReader spaced_reader{spaced};
    const std::optional<EnvelopeSession> other = FindEnvelopeSession(std::ref(spaced_reader));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->sid, "x-1");
    EXPECT_EQ(other->status, "crashed");
}

TEST(FindEnvelopeSession, NoneWithoutAWholeSessionItem) {
    CrashContext no_session = FullContext();
    no_session.session = {};
    CrashException exception;
    const std::string dump = "MDMP";
    const std::string crash =
        FormatEnvelope(PrepareEnvelope(FullContext()), 1, CrashPart(exception, {}), &dump);
    const size_t session_at = crash.find("{\"type\":\"session\"");
    const size_t sid_at = crash.find("\"sid\"", session_at);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"no session",
         FormatEnvelope(PrepareEnvelope(no_session), 1, CrashPart(exception, {}), &dump)},
        {"cut before the session", crash.substr(0, session_at)},
        {"cut inside its header", crash.substr(0, session_at + 10)},
        {"cut inside its payload", crash.substr(0, sid_at + 20)},
        {"empty", ""},
        {"a header line alone", "{}\n"},
        {"an item without a length", "{}\n{\"type\":\"session\"}\n{\"sid\":\"x\"}\n"},
        {"a session without a sid", "{}\n{\"type\":\"session\",\"length\":2}\n{}\n"},
        {"no line feed anywhere", std::string(100000, '{')},
    };
    for (const auto& c : cases) {
        PiecewiseReader reader{c.text};
        EXPECT_FALSE(FindEnvelopeSession(std::ref(reader))) << c.what;
    }
}

// An image with a CodeView record names its debug file for the service; one without names
// nothing, rather than a made-up id.
TEST(Envelope, ImagesCarryTheDebugIdsTheirRecordsGive) {
    CrashException exception;
    exception.code = 0xC0000005;
    ImageInfo with_file = Image(0x140000000, 0x5C000, 0x6B1AD38E, u"Z:\\v\\a.exe");
    with_file.debug_id = "378992c6-b687-6315-344e-d66a9f7c9c87-1";
    with_file.debug_id_length = std::strlen(with_file.debug_id);
    with_file.debug_file = "C:\\b\\\"a\".pdb\xFF";
    with_file.debug_file_length = std::strlen(with_file.debug_file);
    ImageInfo id_only = with_file;
    id_only.debug_file_length = 0;
    ImageInfo none = Image(0x7b000000, 0x1000, 1, u"C:\\windows\\system32\\ntdll.dll");
    const nlohmann::json images = nlohmann::json::parse(
        "{\"a\":0" + CrashPart(exception, {with_file, id_only, none}))["debug_meta"]["images"];
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0]["debug_id"], "378992c6-b687-6315-344e-d66a9f7c9c87-1");
    EXPECT_EQ(images[0]["debug_file"], "C:\\b\\\"a\".pdb\uFFFD");
    EXPECT_EQ(images[0]["code_id"], "6B1AD38E5C000") << "the code id stays as it was";
    EXPECT_EQ(images[1]["debug_id"], images[0]["debug_id"]);
    EXPECT_FALSE(images[1].contains("debug_file"));
    EXPECT_FALSE(images[2].contains("debug_id"));
    EXPECT_FALSE(images[2].contains("debug_file"));
}

// A symbolised frame carries what the SDK's do: the image it is in and, where named, the
// function; a frame outside every image stays an address.
TEST(Envelope, SymbolisedFramesNameTheirImageAndFunction) {
    const uint64_t frames[] = {0x3207e16ca, 0x1400013da, 0x17005dca8};  // innermost first
    const std::u16string library = u"Z:\\v\\orviStudio.dll";
    const std::u16string exe = u"Z:\\v\\t\u00e9.exe";
    FrameSymbol symbols[3];
    symbols[0] = {0x3207e0000,
                  reinterpret_cast<const uint16_t*>(library.data()),
                  library.size(),
                  "WriteThroughNull",
                  16,
                  0x3207e16b0};
    symbols[1] = {
        0x140000000, reinterpret_cast<const uint16_t*>(exe.data()), exe.size(), nullptr, 0, 0};
    CrashException exception;
    exception.code = 0xC0000005;
    exception.frames = frames;
    exception.frame_count = 3;
    exception.symbols = symbols;
    const nlohmann::json event = nlohmann::json::parse("{\"a\":0" + CrashPart(exception, {}));
    EXPECT_EQ(event["exception"]["values"][0]["stacktrace"]["frames"], nlohmann::json::parse(R"([
        {"instruction_addr":"0x17005dca8"},
        {"instruction_addr":"0x1400013da","package":"Z:\\v\\t\u00e9.exe",
         "image_addr":"0x140000000"},
        {"instruction_addr":"0x3207e16ca","package":"Z:\\v\\orviStudio.dll",
         "image_addr":"0x3207e0000","function":"WriteThroughNull",
         "symbol_addr":"0x3207e16b0"}])"));
}

TEST(FixedText, Utf8TextsBecomeJsonStrings) {
    const struct {
        const char* name;
        std::string text;
        std::string json;
    } cases[] = {
        {"plain", "ns::f(int)", "\"ns::f(int)\""},
        {"quote, backslash, control", "a\"\\\x01", "\"a\\\"\\\\\\u0001\""},
        {"valid multi-byte kept", "\xC3\xBC\xF0\x9F\x98\x80", "\"\xC3\xBC\xF0\x9F\x98\x80\""},
        {"stray bytes replaced", "x\xFF\xC3", "\"x\xEF\xBF\xBD\xEF\xBF\xBD\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[64];
        FixedText out(buffer, sizeof buffer);
        out.AppendJsonUtf8(c.text.data(), c.text.size());
        EXPECT_EQ(std::string(out.Data(), out.Size()), c.json);
    }
}

TEST(IsWholeEnvelope, OnlyAnEnvelopeWrittenToItsEnd) {
    CrashException exception;
    exception.code = 0xC0000005;
    const std::string dump = "MDMP....";
    const std::string text =
        FormatEnvelope(PrepareEnvelope(FullContext()), 1, CrashPart(exception, {}), &dump);
    ASSERT_TRUE(IsWholeEnvelope(text.data(), text.size()));
    // Cut anywhere, it is whole only where an item ends: what was written so far, whole.
    std::vector<size_t> item_ends;
    for (size_t pos = text.find('\n') + 1; pos < text.size();) {
        const size_t end = text.find('\n', pos);
        pos = end + 1 + nlohmann::json::parse(text.substr(pos, end - pos))["length"].get<size_t>();
        item_ends.push_back(pos);
        item_ends.push_back(pos + 1);
        ++pos;
    }
    for (size_t cut = 0; cut < text.size(); ++cut) {
        const bool at_item_end =
            std::find(item_ends.begin(), item_ends.end(), cut) != item_ends.end();
        EXPECT_EQ(IsWholeEnvelope(text.data(), cut), at_item_end) << cut;
    }
    const std::string broken[] = {
        "",
        "{}\n",
        "{}\n{\"type\":\"event\"}\n{}",
        "{}\n{\"type\":\"event\",\"length\":3}\n{}}x",
        "{}\n{\"type\":\"event\",\"length\":-3}\n{}",
        "{}\n{\"type\":\"event\",\"length\":99999999999999999999}\n{}",
        "no header\n{\"type\":\"event\",\"length\":2}\n{}",
    };
    for (const std::string& b : broken) {
        EXPECT_FALSE(IsWholeEnvelope(b.data(), b.size())) << b;
    }
}

TEST(UuidText, Version4WithTheVariantBits) {
    const unsigned char bytes[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(UuidText(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    const unsigned char zeros[16] = {};
    EXPECT_EQ(UuidText(zeros), "00000000-0000-4000-8000-000000000000");
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
