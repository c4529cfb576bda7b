#include "fixed_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace sentry_lite {
namespace {

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

}  // namespace
}  // namespace sentry_lite
