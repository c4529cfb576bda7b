#include "transports/envelope_folder_win.h"

// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <optional>
#include <vector>

#include "ascii_names.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

class Win32EnvelopeFile final : public EnvelopeFile {
  public:
    // Opened here rather than handed a handle, so the handle is owned from its first moment.
    Win32EnvelopeFile(const Win32EnvelopeFolder& folder, const std::wstring& path)
        : folder_(folder),
          file_(CreateFileW(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr)) {}
    Win32EnvelopeFile(const Win32EnvelopeFile&) = delete;
    Win32EnvelopeFile& operator=(const Win32EnvelopeFile&) = delete;
    ~Win32EnvelopeFile() override {
        if (file_ != INVALID_HANDLE_VALUE) {
            CloseHandle(file_);
        }
    }

    // Whether the file is open and its facts read.
    bool ReadFacts() {
        BY_HANDLE_FILE_INFORMATION information;
        if (file_ == INVALID_HANDLE_VALUE || GetFileInformationByHandle(file_, &information) == 0) {
            return false;
        }
        bytes_ =
            (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
        read_only_ = (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        return true;
    }

    uint64_t Bytes() const override { return bytes_; }
    bool ReadOnly() const override { return read_only_; }

    bool Read(std::string& body) override {
        body.resize(static_cast<size_t>(bytes_));
        for (size_t done = 0; done < body.size();) {
            DWORD read = 0;
            const auto chunk = static_cast<DWORD>(std::min<size_t>(body.size() - done, 1u << 20));
            if (ReadFile(file_, body.data() + done, chunk, &read, nullptr) == 0 || read == 0) {
                return false;
            }
            done += read;
        }
        return true;
    }

    bool Rename(const std::wstring& path) {
        const size_t name_bytes = path.size() * sizeof(wchar_t);
        std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + name_bytes);
        auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        rename->ReplaceIfExists = FALSE;
        rename->RootDirectory = nullptr;
        rename->FileNameLength = static_cast<DWORD>(name_bytes);
        std::copy(path.begin(), path.end(), rename->FileName);
        return SetFileInformationByHandle(file_, FileRenameInfo, rename,
                                          static_cast<DWORD>(buffer.size())) != 0;
    }

    bool Remove() override {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        return SetFileInformationByHandle(file_, FileDispositionInfo, &disposition,
                                          sizeof disposition) != 0;
    }

    bool Rename(const std::string& name) override { return Rename(folder_.PathOf(name)); }

  private:
    const Win32EnvelopeFolder& folder_;
    HANDLE file_;
    uint64_t bytes_ = 0;
    bool read_only_ = false;
};

}  // namespace

std::vector<PendingEnvelope> Win32EnvelopeFolder::List() {
    std::vector<PendingEnvelope> found;
    WIN32_FIND_DATAW data;
    const HANDLE search =
        FindFirstFileExW((folder_ + L"\\*.envelope*").c_str(), FindExInfoBasic, &data,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        const std::optional<std::string> name = NarrowAscii(data.cFileName);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name &&
            (IsEnvelopeName(*name) || IsInFlightName(*name))) {
            found.push_back(
                {*name, UnixMillisecondsOfFileTime(data.ftLastWriteTime.dwHighDateTime,
                                                   data.ftLastWriteTime.dwLowDateTime)});
        }
    } while (FindNextFileW(search, &data) != 0);
    FindClose(search);
    return found;
}

std::unique_ptr<EnvelopeFile> Win32EnvelopeFolder::Open(const std::string& name) {
    auto file = std::make_unique<Win32EnvelopeFile>(*this, PathOf(name));
    if (!file->ReadFacts()) {
        return nullptr;
    }
    return file;
}

// The names are ASCII (List takes no other), so each char is one wide one.
std::wstring Win32EnvelopeFolder::PathOf(const std::string& name) const {
    return folder_ + L"\\" + std::wstring(name.begin(), name.end());
}

}  // namespace sentry_lite
