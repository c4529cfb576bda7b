#include "viewer_options.h"

#include <cwchar>

namespace gcode {

namespace {

constexpr int kMaxSide = 16384;

bool ParseSide(const wchar_t*& p, int& side) {
    long value = 0;
    const wchar_t* start = p;
    while (*p >= L'0' && *p <= L'9') {
        value = value * 10 + (*p - L'0');
        if (value > kMaxSide) {
            return false;
        }
        ++p;
    }
    side = static_cast<int>(value);
    return p > start && value > 0;
}

bool ParseSize(const wchar_t* text, int& width, int& height) {
    const wchar_t* p = text;
    int w = 0;
    int h = 0;
    if (!ParseSide(p, w) || (*p != L'x' && *p != L'X')) {
        return false;
    }
    ++p;
    if (!ParseSide(p, h) || *p != L'\0') {
        return false;
    }
    width = w;
    height = h;
    return true;
}

}  // namespace

ViewerOptions ParseViewerArguments(int argc, const wchar_t* const* argv) {
    ViewerOptions options;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--screenshot" || arg == L"--size") {
            if (i + 1 >= argc || argv[i + 1] == nullptr) {
                options.error = arg + L" needs a value";
                return options;
            }
            const wchar_t* value = argv[++i];
            if (arg == L"--screenshot") {
                if (*value == L'\0') {
                    options.error = L"--screenshot needs a file name";
                    return options;
                }
                options.screenshot = value;
            } else if (!ParseSize(value, options.width, options.height)) {
                options.error = L"--size takes WIDTHxHEIGHT, not " + std::wstring(value);
                return options;
            }
        } else if (arg.size() > 1 && arg[0] == L'-') {
            continue;
        } else if (options.file.empty()) {
            options.file = arg;
        }
    }
    return options;
}

}  // namespace gcode
