#include "envelope_reading.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "crash_part.h"
#include "envelope.h"
#include "session_end.h"
#include "tests/envelope_samples.h"

namespace sentry_lite {
namespace {

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

}  // namespace
}  // namespace sentry_lite
