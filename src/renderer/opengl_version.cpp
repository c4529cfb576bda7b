#include "renderer/opengl_version.h"

#include <algorithm>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <climits>
#include <cstdlib>
#include <vector>

#include "telemetry/event_reporting.h"

namespace {

std::vector<std::string> Split(const std::string& text, const char* separators) {
    std::vector<std::string> tokens;
    boost::split(tokens, text, boost::is_any_of(separators), boost::token_compress_on);
    return tokens;
}

// atoi, except that a number past the int range saturates instead of being undefined: the
// text comes from a driver, and a Windows runtime's atoi saturates the same way.
std::uint32_t ReadNumber(const std::string& text) {
    const long value = std::clamp<long>(std::strtol(text.c_str(), nullptr, 10), INT_MIN, INT_MAX);
    // A negative number wraps, as it does when atoi's result meets an unsigned comparison.
    return static_cast<std::uint32_t>(static_cast<int>(value));
}

}  // namespace

bool IsOpenGLVersionAtLeast(const std::string& version, std::uint32_t required_major,
                            std::uint32_t required_minor) {
    // The release number comes before any vendor text; only its first two numbers count. It
    // is the first token of a split on spaces: the text before the first space, so the vendor
    // text, however long a driver makes it, is never split up.
    const std::string release = version.substr(0, version.find(' '));
    const std::vector<std::string> numbers = Split(release, ".");
    const std::uint32_t major = ReadNumber(numbers[0]);
    const std::uint32_t minor = numbers.size() >= 2 ? ReadNumber(numbers[1]) : 0;

    EventProperties properties;
    properties["major"] = std::to_string(major);
    properties["minor"] = std::to_string(minor);
    ReportEvent("opengl_version", properties, false);

    return major > required_major || (major == required_major && minor >= required_minor);
}
