#include "transports/discard_store_win.h"

#include "file_handle_win.h"

// clang-format off
#include <windows.h>
// clang-format on

namespace sentry_lite {
namespace {

// Another process holds the file for a few milliseconds at most.
constexpr int kOpenTries = 20;
constexpr DWORD kOpenRetryMs = 10;

HANDLE OpenShared(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    for (int attempt = 0;; ++attempt) {
        const HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION ||
            attempt + 1 == kOpenTries) {
            return file;
        }
        Sleep(kOpenRetryMs);
    }
}

// The file's text up to its limit; what is past it is not ours.
std::string ReadText(HANDLE file) {
    std::string text(kDiscardCountsFileLimit, '\0');
    DWORD read = 0;
    if (ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) == 0) {
        return {};
    }
    text.resize(read);
    return text;
}

}  // namespace

std::wstring Win32DiscardStore::Path() const {
    const std::string name = kDiscardCountsFileName;
    return folder_ + L"\\" + std::wstring(name.begin(), name.end());
}

DiscardCounts Win32DiscardStore::Read() {
    const FileHandle file(OpenShared(Path(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    return file ? ParseDiscardCounts(ReadText(file.get())) : DiscardCounts();
}

bool Win32DiscardStore::Update(const std::function<void(DiscardCounts&)>& change) {
    const FileHandle file(
        OpenShared(Path(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS));
    if (!file) {
        return false;
    }
    DiscardCounts counts = ParseDiscardCounts(ReadText(file.get()));
    change(counts);
    if (counts.Empty()) {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        return SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition,
                                          sizeof disposition) != 0;
    }
    const std::string text = FormatDiscardCounts(counts);
    DWORD written = 0;
    return SetFilePointer(file.get(), 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
           WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) !=
               0 &&
           written == text.size() && SetEndOfFile(file.get()) != 0;
}

}  // namespace sentry_lite
