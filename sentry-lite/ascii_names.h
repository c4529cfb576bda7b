#pragma once

#include <optional>
#include <string>
#include <string_view>

// The names this reporter writes, and the DSN's parts, are ASCII (the parser takes nothing
// else): they cross between narrow and wide text unchanged. A wide name with anything else in
// it is not one of them.
namespace sentry_lite {

inline std::wstring WidenAscii(std::string_view text) {
    return std::wstring(text.begin(), text.end());
}

inline std::optional<std::string> NarrowAscii(std::wstring_view text) {
    std::string narrow;
    for (const wchar_t c : text) {
        if (static_cast<unsigned long>(c) >= 0x80) {
            return std::nullopt;
        }
        narrow += static_cast<char>(c);
    }
    return narrow;
}

}  // namespace sentry_lite
