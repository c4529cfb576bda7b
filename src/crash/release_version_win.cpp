#include <windows.h>

#include "common/module_path.h"
#include "crash/release_version.h"

namespace {

class WindowsVersionSource final : public VersionSource {
  public:
    // Read whole, however deep the launcher sits: a path cut to fit a fixed buffer would
    // name another file, or none.
    std::wstring ModulePath() override { return GetModulePath(); }

    uint32_t VersionInfoSize(const std::wstring& path) override {
        return GetFileVersionInfoSizeW(path.c_str(), nullptr);
    }

    bool ReadVersionInfo(const std::wstring& path, std::vector<uint8_t>& block) override {
        return GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()),
                                   block.data()) != 0;
    }

    bool QueryProductVersion(const std::vector<uint8_t>& block, ProductVersion& version) override {
        void* record = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block.data(), L"\\", &record, &length) == 0) {
            return false;
        }
        // A record shorter than its type would be read past its end.
        if (record == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
            return false;
        }
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(record);
        version.most_significant = fixed->dwProductVersionMS;
        version.least_significant = fixed->dwProductVersionLS;
        return true;
    }

    unsigned long LastError() override { return GetLastError(); }
};

}  // namespace

VersionSource& SystemVersionSource() {
    static WindowsVersionSource source;
    return source;
}
