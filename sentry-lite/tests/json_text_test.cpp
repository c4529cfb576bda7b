#include "json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace sentry_lite {
namespace {

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

}  // namespace
}  // namespace sentry_lite
