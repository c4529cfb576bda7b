#include <windows.h>

#include <string>

#include "crash/database_folder.h"

namespace {

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class WindowsDatabaseFolders final : public DatabaseFolderSystem {
  public:
    // Looked up before it is made: on nearly every launch the folder is there, and a look-up
    // is cheaper than a creation the system refuses.
    bool MakeFolder(const std::wstring& path) override {
        return IsFolder(path) || CreateDirectoryW(path.c_str(), nullptr) != 0 || IsFolder(path);
    }

    // A folder can be made by an administrator yet refuse the user's files (Program Files):
    // only a file made in it tells. The probe is gone when its handle closes.
    bool CanWriteIn(const std::wstring& folder) override {
        const std::wstring probe =
            folder + L"\\.write-probe-" + std::to_wstring(GetCurrentProcessId());
        const HANDLE file = CreateFileW(
            probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(file);
        return true;
    }

    std::wstring LocalAppData() override {
        const DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
        if (size == 0) {
            return {};
        }
        std::wstring value(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), size);
        if (length == 0 || length >= size) {
            return {};
        }
        value.resize(length);
        return value;
    }
};

}  // namespace

DatabaseFolderSystem& SystemDatabaseFolders() {
    static WindowsDatabaseFolders folders;
    return folders;
}
