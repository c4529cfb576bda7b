#include "database/open_session_win.h"

// clang-format off
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <atomic>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <vector>

#include "ascii_names.h"
#include "database/database_folder.h"
#include "database/database_folder_win.h"
#include "database/open_session.h"
#include "envelope_reading.h"
#include "file_handle_win.h"
#include "module_exports_win.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

// Far above any record: a larger file is not one.
constexpr DWORD kMaxRecordBytes = 1u << 20;

using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
constexpr int kFileDispositionInformation = 13;

// The record this run holds. The interface's calls and the handler thread's touch change or
// use it under the mutex; a crash only reads the handle, and only once it has claimed the
// session, after which no clean end closes it.
std::mutex holder_mutex;
std::atomic<HANDLE> held{nullptr};
NtSetInformationFileFunction set_information = nullptr;

bool MarkForRemoval(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) !=
               0 &&
           written == bytes.size();
}

// Up to `size` bytes at `offset`; how many were read.
size_t ReadAt(HANDLE file, uint64_t offset, char* out, size_t size) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (ReadFile(file, out, static_cast<DWORD>(size), &read, &at) == 0) {
        return 0;
    }
    return read;
}

// A record of an ended run, held with no sharing while this start decides on it.
struct EndedRecord {
    FileHandle file;
    std::string sid;  // as its name gives it
    std::optional<OpenSession> session;
    int64_t last_seen_ms = 0;
};

// Opening a record to remove it, with no sharing, succeeds only when no live run holds it and
// no other start is deciding on it.
std::optional<EndedRecord> TakeEndedRecord(const std::wstring& folder, const std::string& name,
                                           const std::string& sid) {
    FileHandle file(CreateFileW((folder + L"\\" + WidenAscii(name)).c_str(), GENERIC_READ | DELETE,
                                0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::nullopt;
    }
    EndedRecord record{std::move(file), sid, std::nullopt, 0};
    LARGE_INTEGER size;
    FILETIME written;
    if (GetFileSizeEx(record.file.get(), &size) == 0 ||
        GetFileTime(record.file.get(), nullptr, nullptr, &written) == 0) {
        return record;  // not whole as far as anyone can tell
    }
    record.last_seen_ms = UnixMillisecondsOfFileTime(written.dwHighDateTime, written.dwLowDateTime);
    if (size.QuadPart < 0 || size.QuadPart > kMaxRecordBytes) {
        return record;
    }
    std::string text(static_cast<size_t>(size.QuadPart), '\0');
    if (ReadAt(record.file.get(), 0, text.data(), text.size()) == text.size()) {
        record.session = ReadOpenSessionRecord(text);
        if (record.session && record.session->sid != sid) {
            record.session.reset();
        }
    }
    return record;
}

std::vector<EndedRecord> TakeEndedRecords(const std::wstring& folder) {
    std::vector<EndedRecord> records;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*.open-session").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return records;
    }
    do {
        const std::optional<std::string> name = NarrowAscii(found.cFileName);
        const std::optional<std::string> sid = name ? SidOfOpenSessionName(*name) : std::nullopt;
        if (!sid || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            continue;
        }
        if (std::optional<EndedRecord> record = TakeEndedRecord(folder, *name, *sid)) {
            records.push_back(std::move(*record));
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return records;
}

// The sessions whose ends the reports waiting in the folder tell.
struct ToldSessions {
    std::set<std::string> crashed;  // in a crash's report
    std::set<std::string> ended;    // in a session end of its own
    bool all_read = true;
};

void ReadToldSession(const std::wstring& path, ToldSessions& told) {
    // Shared every way: a writer or the upload thread of another process is never held up.
    const FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        // Gone (sent meanwhile) tells nothing; held by a sender with no sharing may be this
        // very crash.
        if (error != ERROR_FILE_NOT_FOUND) {
            told.all_read = false;
        }
        return;
    }
    const std::optional<EnvelopeSession> session =
        FindEnvelopeSession([&file](uint64_t offset, char* out, size_t size) {
            return ReadAt(file.get(), offset, out, size);
        });
    if (session) {
        (session->status == "crashed" ? told.crashed : told.ended).insert(session->sid);
    }
}

ToldSessions ReadToldSessions(const std::wstring& folder) {
    ToldSessions told;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        told.all_read = false;
        return told;
    }
    do {
        const std::optional<std::string> name = NarrowAscii(found.cFileName);
        if (name && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            MayCarrySessionEnd(*name)) {
            ReadToldSession(folder + L"\\" + found.cFileName, told);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return told;
}

void Settle(const std::wstring& folder, EndedRecord& record, const ToldSessions& told) {
    OpenSessionFacts facts;
    facts.run_ended = true;
    facts.whole = record.session.has_value();
    facts.reports_read = told.all_read;
    facts.crash_report = told.crashed.count(record.sid) != 0;
    facts.end_kept = told.ended.count(record.sid) != 0;
    switch (FateOfOpenSession(facts)) {
        case OpenSessionFate::kLeave:
            return;
        case OpenSessionFate::kDrop:
            MarkForRemoval(record.file.get());
            return;
        case OpenSessionFate::kReportAbnormal:
            // Its end first, then the record: a start ended between the two leaves both, and
            // the next one finds the end and only drops the record.
            if (KeepSessionEnd(folder, AbnormalEnd(std::move(*record.session), record.last_seen_ms),
                               record.last_seen_ms, GetCurrentProcessId())) {
                MarkForRemoval(record.file.get());
            }
            return;
    }
}

}  // namespace

bool KeepOpenSession(const std::wstring& folder, const CrashContext& context) {
    const std::lock_guard<std::mutex> lock(holder_mutex);
    if (held.load() != nullptr) {
        return false;
    }
    if (set_information == nullptr &&
        !FindExport(GetModuleHandleW(L"ntdll.dll"), "NtSetInformationFile", set_information)) {
        return false;
    }
    std::string record;
    try {
        record = OpenSessionRecord(context);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (record.empty()) {
        return false;
    }
    const std::wstring path = folder + L"\\" + WidenAscii(OpenSessionFileName(context.session.sid));
    // Readable by others, never removable by them while this handle lives. Not inherited: a
    // process the viewer starts must not keep the run alive in others' eyes.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!WriteAll(file, record)) {
        MarkForRemoval(file);
        CloseHandle(file);
        return false;
    }
    held = file;
    return true;
}

void RemoveOpenSession() {
    const std::lock_guard<std::mutex> lock(holder_mutex);
    const HANDLE file = held.exchange(nullptr);
    if (file != nullptr) {
        MarkForRemoval(file);
        CloseHandle(file);
    }
}

void RemoveOpenSessionWithProcess() {
    const HANDLE file = held.load();
    if (file == nullptr || set_information == nullptr) {
        return;
    }
    IO_STATUS_BLOCK io{};
    BOOLEAN remove = TRUE;
    set_information(file, &io, &remove, sizeof remove, kFileDispositionInformation);
}

void TouchOpenSession() {
    const std::lock_guard<std::mutex> lock(holder_mutex);
    const HANDLE file = held.load();
    if (file != nullptr) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        SetFileTime(file, nullptr, nullptr, &now);
    }
}

void SettleEndedSessions(const std::wstring& folder) {
    try {
        std::vector<EndedRecord> records = TakeEndedRecords(folder);
        if (records.empty()) {
            return;  // nearly every start: nothing more is read
        }
        const ToldSessions told = ReadToldSessions(folder);
        for (EndedRecord& record : records) {
            Settle(folder, record, told);
        }
    } catch (const std::bad_alloc&) {
        // What was not settled is settled by a later start.
    }
}

}  // namespace sentry_lite
