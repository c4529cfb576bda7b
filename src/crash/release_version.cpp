#include "crash/release_version.h"

#include <string>

namespace {

constexpr char kDefaultVersion[] = "0.0.0";

// The message is handed to the stream before the error code is read, as the platform's
// last-error value is read last.
std::string Fail(VersionSource& source, std::FILE* out, const char* message) {
    std::fputs(message, out);
    std::fprintf(out, "%lu\n", source.LastError());
    std::fflush(out);
    return kDefaultVersion;
}

}  // namespace

std::string ReadReleaseVersion(VersionSource& source, std::FILE* out) {
    const std::wstring path = source.ModulePath();
    if (path.empty()) {
        return Fail(source, out, "get exe info fail about ");
    }
    const uint32_t size = source.VersionInfoSize(path);
    if (size == 0) {
        return Fail(source, out, "get version info fail about ");
    }
    std::vector<uint8_t> block(size);
    if (!source.ReadVersionInfo(path, block)) {
        return Fail(source, out, "load version info fail about ");
    }
    ProductVersion version;
    if (!source.QueryProductVersion(block, version)) {
        return Fail(source, out, "get version info fail about ");
    }
    return std::to_string(version.most_significant >> 16) + "." +
           std::to_string(version.most_significant & 0xFFFFu) + "." +
           std::to_string(version.least_significant >> 16);
}

std::string GetReleaseVersion() {
    return ReadReleaseVersion(SystemVersionSource(), stdout);
}
