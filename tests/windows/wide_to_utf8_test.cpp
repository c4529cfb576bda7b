#include "common/wide_to_utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(WideToUtf8, Conversions) {
    const struct {
        const char* name;
        std::wstring input;  // UTF-16 here
        std::string expected;
    } cases[] = {
        {"empty", L"", ""},
        {"ascii", L"D:\\Apps\\Viewer\\dump", "D:\\Apps\\Viewer\\dump"},
        {"non-ascii", L"C:\\Programme\\M\u00fcller\\\u5370\u5237",
         "C:\\Programme\\M\xC3\xBCller\\\xE5\x8D\xB0\xE5\x88\xB7"},
        {"surrogate pair", std::wstring(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80"},
        {"embedded NUL ends the text", std::wstring(L"abc\0def", 7), "abc"},
        {"lone high surrogate", std::wstring(L"a\xD800z"), "a\xEF\xBF\xBDz"},
        {"lone low surrogate", std::wstring(L"\xDC00"), "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string result = WideToUtf8(c.input.c_str());
        EXPECT_EQ(result, c.expected);
        EXPECT_EQ(result.size(), c.expected.size()) << "no terminator inside the string";
    }
}

}  // namespace
