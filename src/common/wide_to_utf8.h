#pragma once

#include <string>

// Wide text is wchar_t throughout: UTF-16 on Windows, where it matters, and UTF-32 in the
// host build, where only the portable logic runs (docs/design.md, "Wide text").
// The result holds the text up to the first NUL, without a terminator; text that cannot
// be converted gives the empty string, and a lone surrogate becomes U+FFFD.
std::string WideToUtf8(const wchar_t* text);

inline std::string WideToUtf8(const std::wstring& text) {
    return WideToUtf8(text.c_str());
}
