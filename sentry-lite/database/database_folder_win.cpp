#include "database/database_folder_win.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <optional>

#include "ascii_names.h"
#include "database/database_folder.h"
#include "database/folder_paths.h"
#include "envelope_reading.h"
#include "system_clock_win.h"
#include "upload_policy.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

std::wstring Widen(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
    wide.resize(static_cast<size_t>(size) - 1);
    return wide;
}

std::wstring AbsolutePath(const std::wstring& path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return {};
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return {};
    }
    full.resize(length);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
        full.pop_back();
    }
    return full;
}

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Looked up before it is made: the folder is there on nearly every start, and a look-up is
// cheaper than a creation the system refuses.
bool EnsureFolder(const std::wstring& folder) {
    return IsFolder(folder) || CreateDirectoryW(folder.c_str(), nullptr) != 0 || IsFolder(folder);
}

// A folder that exists but takes no file (one in Program Files, for a user) would swallow
// every report: only a file written there tells.
bool CanWriteIn(const std::wstring& folder) {
    const std::wstring probe = folder + L"\\.write-probe-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

enum class ReadResult { kRead, kMissing, kTooLarge, kUnreadable };

ReadResult ReadSmallFile(const std::wstring& path, size_t limit, std::string& text) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? ReadResult::kMissing : ReadResult::kUnreadable;
    }
    ReadResult result = ReadResult::kUnreadable;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) == 0 || size.QuadPart < 0) {
        result = ReadResult::kUnreadable;
    } else if (static_cast<uint64_t>(size.QuadPart) > limit) {
        result = ReadResult::kTooLarge;
    } else {
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (bytes.empty() ||
            (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
             read == bytes.size())) {
            text = std::move(bytes);
            result = ReadResult::kRead;
        }
    }
    CloseHandle(file);
    return result;
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool whole =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
        written == bytes.size() && FlushFileBuffers(file) != 0;
    CloseHandle(file);
    if (!whole) {
        DeleteFileW(path.c_str());
        SetLastError(ERROR_WRITE_FAULT);
    }
    return whole;
}

// Writes `bytes` under a temporary name and renames it to `path`: the file is whole or absent.
// With `replace` false, a file already there wins (ERROR_ALREADY_EXISTS).
bool WriteWhole(const std::wstring& path, const std::wstring& temporary, const std::string& bytes,
                bool replace) {
    if (!WriteNewFile(temporary, bytes)) {
        return false;
    }
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (MoveFileExW(temporary.c_str(), path.c_str(), flags) != 0) {
        return true;
    }
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(error);
    return false;
}

// The sweep lists by pattern; the rules read each file's own long name.
void SweepOne(const std::wstring& folder, const WIN32_FIND_DATAW& found, int64_t now) {
    const std::optional<std::string> name = NarrowAscii(found.cFileName);
    const int64_t written_ms = UnixMillisecondsOfFileTime(found.ftLastWriteTime.dwHighDateTime,
                                                          found.ftLastWriteTime.dwLowDateTime);
    if (!name || !IsLeftOverReport(*name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                   written_ms, now)) {
        return;
    }
    const std::wstring path = folder + L"\\" + found.cFileName;
    std::string bytes;
    // Larger than the send limit, it could never leave: it goes like a broken one.
    if (ReadSmallFile(path, static_cast<size_t>(kMaxEnvelopeBytes), bytes) != ReadResult::kRead ||
        !IsWholeEnvelope(bytes.data(), bytes.size())) {
        DeleteFileW(path.c_str());
        return;
    }
    for (int attempt = 0; attempt < kRestoreAttempts; ++attempt) {
        const std::wstring restored = folder + L"\\" + WidenAscii(RestoredName(*name, attempt));
        if (MoveFileExW(path.c_str(), restored.c_str(), 0) != 0) {
            return;
        }
    }
    // Whole, but no name would take it: it stays for a later start rather than go.
}

class InstallationIdOnDisk final : public InstallationIdFile {
  public:
    explicit InstallationIdOnDisk(const std::wstring& folder)
        : path_(folder + L"\\" + WidenAscii(kInstallationIdFileName)) {}

    IdRead Read(std::string& kept) override {
        switch (ReadSmallFile(path_, kInstallationIdFileLimit, kept)) {
            case ReadResult::kRead:
                return IdRead::kRead;
            case ReadResult::kMissing:
                return IdRead::kMissing;
            case ReadResult::kTooLarge:
                return IdRead::kTooLarge;
            case ReadResult::kUnreadable:
                break;
        }
        return IdRead::kUnreadable;
    }

    // The temporary is named for the id it holds: one that a start ended halfway left behind
    // never stands in the way of a later start's.
    bool Write(const std::string& id, bool replace) override {
        return WriteWhole(path_, path_ + L"." + WidenAscii(id) + L".new", id, replace);
    }

  private:
    std::wstring path_;
};

}  // namespace

std::wstring PrepareDatabaseFolder(const std::string& utf8_path) {
    const std::wstring path = Widen(utf8_path);
    if (path.empty()) {
        return {};
    }
    const std::wstring folder = LongPathForm(AbsolutePath(path));
    if (folder.empty() || !EnsureFolder(folder) || !CanWriteIn(folder)) {
        return {};
    }
    return folder;
}

std::string InstallationId(const std::wstring& folder, std::string (*new_id)()) {
    InstallationIdOnDisk file(folder);
    return ResolveInstallationId(file, new_id);
}

void SweepLeftOverReports(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const int64_t now = NowMilliseconds();
    do {
        SweepOne(folder, found, now);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool KeepSessionEnd(const std::wstring& folder, const std::string& envelope, int64_t ended_ms,
                    uint32_t process_id) {
    return PlaceSessionEnd(ended_ms, process_id, [&](const std::string& name) {
        const std::wstring path = folder + L"\\" + WidenAscii(name);
        // <stem>.tmp: the sweep of a later start renames a whole one to <stem>.envelope.
        const std::wstring temporary = path.substr(0, path.rfind(L'.')) + L".tmp";
        if (WriteWhole(path, temporary, envelope, false)) {
            return Placing::kPlaced;
        }
        const DWORD error = GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? Placing::kNameTaken
                                                                           : Placing::kFailed;
    });
}

}  // namespace sentry_lite
