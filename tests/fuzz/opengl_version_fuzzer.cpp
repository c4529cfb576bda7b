// Any bytes as the driver's GL_VERSION string. Each check reports exactly one
// "opengl_version" event holding the two numbers a plain reading of the string gives, and
// its answer is the comparison of those numbers with the required version.
#include <climits>
#include <cstdint>
#include <string>

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
uint32_t PlainNumber(const std::string& text) {
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
void PlainVersion(const std::string& version, uint32_t& major, uint32_t& minor) {
    const std::string release = version.substr(0, version.find(' '));
    const size_t dot = release.find('.');
    major = PlainNumber(release.substr(0, dot));
    minor = 0;
    if (dot != std::string::npos) {
        const size_t start = release.find_first_not_of('.', dot);
        if (start != std::string::npos) {
            minor = PlainNumber(release.substr(start, release.find('.', start) - start));
        }
    }
}

bool Check(const std::string& version, uint32_t required_major, uint32_t required_minor) {
    reported = Reported{};
    const bool result = IsOpenGLVersionAtLeast(version, required_major, required_minor);
    uint32_t major = 0;
    uint32_t minor = 0;
    PlainVersion(version, major, minor);
    FUZZ_CHECK(reported.count == 1);
    FUZZ_CHECK(reported.name == "opengl_version");
    FUZZ_CHECK(!reported.flag);
    FUZZ_CHECK((reported.properties == EventProperties{{"major", std::to_string(major)},
                                                       {"minor", std::to_string(minor)}}));
    FUZZ_CHECK(result ==
               (major > required_major || (major == required_major && minor >= required_minor)));
    return result;
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
    Check(version, 2, 0);

    // The version read is at least itself and below the next one up.
    uint32_t major = 0;
    uint32_t minor = 0;
    PlainVersion(version, major, minor);
    FUZZ_CHECK(Check(version, major, minor));
    if (minor < UINT32_MAX) {
        FUZZ_CHECK(!Check(version, major, minor + 1));
    } else if (major < UINT32_MAX) {
        FUZZ_CHECK(!Check(version, major + 1, 0));
    } else {
        FUZZ_CHECK(Check(version, 0, 0));
    }
    return 0;
}
