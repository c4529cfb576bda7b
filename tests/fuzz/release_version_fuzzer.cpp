// The release string from any version record, and from any point where the queries before it
// fail. A record gives three decimal numbers without leading zeros that read back as its
// product version's fields; a failure gives "0.0.0" and one line with the failed step and
// the error code, and no later step runs.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "crash/release_version.h"
#include "fuzz_check.h"

namespace {

// Answers from the fuzzer's bytes; records what the reader asked.
class FuzzedVersionSource final : public VersionSource {
  public:
    explicit FuzzedVersionSource(FuzzedDataProvider& input) : input_(input) {}

    std::wstring ModulePath() override {
        ++steps;
        return input_.ConsumeBool() ? std::wstring() : L"C:\\viewer\\tavro-gcodeviewer.exe";
    }
    uint32_t VersionInfoSize(const std::wstring& path) override {
        ++steps;
        FUZZ_CHECK(!path.empty());
        size = input_.ConsumeIntegralInRange<uint32_t>(0, 4096);
        return size;
    }
    bool ReadVersionInfo(const std::wstring& path, std::vector<uint8_t>& block) override {
        ++steps;
        FUZZ_CHECK(!path.empty());
        FUZZ_CHECK(block.size() == size);
        const std::vector<uint8_t> bytes = input_.ConsumeBytes<uint8_t>(block.size());
        std::copy(bytes.begin(), bytes.end(), block.begin());
        return input_.ConsumeBool();
    }
    bool QueryProductVersion(const std::vector<uint8_t>& block, ProductVersion& version) override {
        ++steps;
        FUZZ_CHECK(block.size() == size);
        version.most_significant = input_.ConsumeIntegral<uint32_t>();
        version.least_significant = input_.ConsumeIntegral<uint32_t>();
        record = version;
        return input_.ConsumeBool();
    }
    unsigned long LastError() override {
        error = input_.ConsumeIntegral<uint32_t>();
        return error;
    }

    int steps = 0;
    uint32_t size = 0;
    ProductVersion record;
    unsigned long error = 0;

  private:
    FuzzedDataProvider& input_;
};

// Reads one number of the release string: decimal digits, no leading zero but for 0 itself.
bool ReadField(const std::string& text, size_t& at, uint32_t& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6) {
        value = value * 10 + static_cast<uint32_t>(text[at] - '0');
        ++at;
    }
    return at > start && !(text[start] == '0' && at - start > 1);
}

}  // namespace

// The launcher's own source, which the reader is linked with; not reached here.
VersionSource& SystemVersionSource() {
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    FuzzedVersionSource source(input);
    char* written = nullptr;
    size_t written_size = 0;
    std::FILE* out = open_memstream(&written, &written_size);
    FUZZ_CHECK(out != nullptr);
    const std::string release = ReadReleaseVersion(source, out);
    std::fclose(out);
    const std::string line(written, written_size);
    std::free(written);

    static const char* const kMessages[] = {
        "get exe info fail about ",
        "get version info fail about ",
        "load version info fail about ",
        "get version info fail about ",
    };
    if (line.empty()) {
        FUZZ_CHECK(source.steps == 4);
        size_t at = 0;
        uint32_t fields[3] = {};
        for (int i = 0; i < 3; ++i) {
            FUZZ_CHECK(ReadField(release, at, fields[i]));
            FUZZ_CHECK(at == release.size() ? i == 2 : release[at++] == '.');
        }
        FUZZ_CHECK(at == release.size());
        FUZZ_CHECK(fields[0] == source.record.most_significant >> 16);
        FUZZ_CHECK(fields[1] == (source.record.most_significant & 0xFFFFu));
        FUZZ_CHECK(fields[2] == source.record.least_significant >> 16);
    } else {
        FUZZ_CHECK(release == "0.0.0");
        FUZZ_CHECK(source.steps >= 1 && source.steps <= 4);
        FUZZ_CHECK(line == kMessages[source.steps - 1] + std::to_string(source.error) + "\n");
    }
    return 0;
}
