#include <windows.h>

#include "common/module_loader.h"
#include "common/module_path.h"
#include "common/system_library.h"
#include "crash/release_version.h"

namespace {

using GetFileVersionInfoSizeWFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using GetFileVersionInfoWFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VerQueryValueWFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// version.dll is taken from System32 when the version is first asked for, not imported: as an
// import it would be looked for beside the launcher first, and a file planted there would
// answer. A library that cannot be loaded fails the first query, with the loader's error.
class WindowsVersionSource final : public VersionSource {
  public:
    // Read whole, however deep the launcher sits: a path cut to fit a fixed buffer would
    // name another file, or none.
    std::wstring ModulePath() override { return GetModulePath(); }

    uint32_t VersionInfoSize(const std::wstring& path) override {
        if (!Load()) {
            return 0;
        }
        return size_(path.c_str(), nullptr);
    }

    bool ReadVersionInfo(const std::wstring& path, std::vector<uint8_t>& block) override {
        return Load() &&
               read_(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()) != 0;
    }

    bool QueryProductVersion(const std::vector<uint8_t>& block, ProductVersion& version) override {
        if (!Load()) {
            return false;
        }
        void* record = nullptr;
        UINT length = 0;
        if (query_(block.data(), L"\\", &record, &length) == 0) {
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

  private:
    // Tried once; the library is never freed.
    bool Load() {
        if (!tried_) {
            tried_ = true;
            const ModuleHandle library = LoadSystemLibrary(L"version.dll");
            if (library != nullptr) {
                size_ = reinterpret_cast<GetFileVersionInfoSizeWFunction>(
                    SystemModuleLoader().FindExport(library, "GetFileVersionInfoSizeW"));
                read_ = reinterpret_cast<GetFileVersionInfoWFunction>(
                    SystemModuleLoader().FindExport(library, "GetFileVersionInfoW"));
                query_ = reinterpret_cast<VerQueryValueWFunction>(
                    SystemModuleLoader().FindExport(library, "VerQueryValueW"));
            }
        }
        return size_ != nullptr && read_ != nullptr && query_ != nullptr;
    }

    bool tried_ = false;
    GetFileVersionInfoSizeWFunction size_ = nullptr;
    GetFileVersionInfoWFunction read_ = nullptr;
    VerQueryValueWFunction query_ = nullptr;
};

}  // namespace

VersionSource& SystemVersionSource() {
    static WindowsVersionSource source;
    return source;
}
