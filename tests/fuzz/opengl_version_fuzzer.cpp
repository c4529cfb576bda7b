// Any bytes as the driver's GL_VERSION string. The check reports exactly one "opengl_version"
// event holding the two numbers a plain reading of the string gives, and its answer is the
// comparison of those numbers with 2.0, the version the launcher asks for.
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "renderer/opengl_version.h"
#include "telemetry/event_reporting.h"

namespace {

struct Reported {
    int count = 0;
    std::string name;
    EventProperties properties;
    bool flag = true;
};
Reported reported;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi's reading, clamped to the int range, then taken as unsigned as the comparison does.
uint32_t PlainNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            value = static_cast<long long>(INT_MAX) + 1;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX) {
        value = INT_MAX;
    }
    return static_cast<uint32_t>(static_cast<int>(value));
}

// The release number is the text before the first space; major is what comes before its
// first dot, minor what follows the run of dots after it (0 without a dot).
void PlainVersion(std::string_view version, uint32_t& major, uint32_t& minor) {
    const std::string_view release = version.substr(0, version.find(' '));
    const size_t dot = release.find('.');
    major = PlainNumber(release.substr(0, dot));
    minor = 0;
    if (dot != std::string_view::npos) {
        const size_t start = release.find_first_not_of('.', dot);
        if (start != std::string_view::npos) {
            minor = PlainNumber(release.substr(start, release.find('.', start) - start));
        }
    }
}

}  // namespace

void ReportEvent(std::string name, EventProperties properties, bool flag) {
    ++reported.count;
    reported.name = std::move(name);
    reported.properties = std::move(properties);
    reported.flag = flag;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string version(reinterpret_cast<const char*>(data), size);
    reported.count = 0;
    const bool result = IsOpenGLVersionAtLeast(version, 2, 0);

    uint32_t major = 0;
    uint32_t minor = 0;
    PlainVersion(version, major, minor);
    FUZZ_CHECK(reported.count == 1);
    FUZZ_CHECK(reported.name == "opengl_version");
    FUZZ_CHECK(!reported.flag);
    FUZZ_CHECK(reported.properties.size() == 2);
    FUZZ_CHECK(reported.properties["major"] == std::to_string(major));
    FUZZ_CHECK(reported.properties["minor"] == std::to_string(minor));
    FUZZ_CHECK(result == (major >= 2));
    return 0;
}
