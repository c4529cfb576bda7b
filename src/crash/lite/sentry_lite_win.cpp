// The lite crash reporter behind sentry.h: keeps the options, the tags and the session, and
// on an unhandled exception writes one JSON report into the database folder, then ends the
// process with the exception code. It uploads nothing and starts no handler process.
#include <sentry.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "crash/lite/crash_report.h"

struct sentry_options_s {
    std::optional<std::string> dsn;  // kept: sending is the SDK's
    std::optional<std::string> release;
    std::optional<std::string> environment;
    std::optional<std::string> handler_path;  // kept: the lite reporter has no handler process
    std::optional<std::string> database_path;
    int debug = 0;
    int auto_session_tracking = 0;
    int symbolize_stacktraces = 0;
    sentry_crash_function_t on_crash = nullptr;
    void* on_crash_data = nullptr;
};

namespace {

// Relative to the current directory at sentry_init when no database path is given.
constexpr char kDefaultDatabasePath[] = ".sentry-lite";
// The event handed to the on-crash callback. It carries nothing readable, but is not null.
constexpr uint64_t kCrashEventBits = 1;

std::mutex state_mutex;
sentry_options_t* running_options = nullptr;  // owned from sentry_init to sentry_shutdown
std::wstring report_folder;
std::map<std::string, std::string> tags;
sentry_lite::Session session;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;
std::atomic<bool> capturing{false};
std::atomic<bool> handling_crash{false};

void Assign(std::optional<std::string>& field, const char* value) {
    field = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

int64_t NowMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const int64_t ticks =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    constexpr int64_t kTicksFrom1601To1970 = 116444736000000000;
    return (ticks - kTicksFrom1601To1970) / 10000;
}

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

// The folder as an absolute path, so a later change of the current directory does not move
// the reports; a long one gets the prefix that lifts the folder-name limit.
std::wstring AbsoluteFolder(const std::string& utf8_path) {
    const std::wstring path = Widen(utf8_path);
    if (path.empty()) {
        return {};
    }
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
    if (full.size() >= MAX_PATH - 12 && full.compare(0, 4, L"\\\\?\\") != 0) {
        full =
            full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
    }
    return full;
}

bool EnsureFolder(const std::wstring& folder) {
    if (CreateDirectoryW(folder.c_str(), nullptr) != 0) {
        return true;
    }
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool WriteWholeFile(const std::wstring& path, const std::string& text) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool written = true;
    for (size_t done = 0; done < text.size() && written;) {
        DWORD count = 0;
        const auto chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 20));
        written = WriteFile(file, text.data() + done, chunk, &count, nullptr) != 0 && count > 0;
        done += count;
    }
    FlushFileBuffers(file);
    CloseHandle(file);
    return written;
}

// What a crash needs from the shared state, copied while the lock is held.
struct CrashSnapshot {
    sentry_crash_function_t on_crash = nullptr;
    void* on_crash_data = nullptr;
    std::wstring folder;
    sentry_lite::CrashReport report;
};

// Another thread may hold the lock for a moment; the crashing thread itself may hold it too,
// when it crashed inside one of these functions, so it is never waited for without end.
bool TakeSnapshot(CrashSnapshot& snapshot) {
    std::unique_lock<std::mutex> lock(state_mutex, std::defer_lock);
    for (int attempt = 0; !lock.try_lock(); ++attempt) {
        if (attempt == 100) {
            return false;
        }
        Sleep(10);
    }
    if (running_options == nullptr) {
        return false;
    }
    snapshot.on_crash = running_options->on_crash;
    snapshot.on_crash_data = running_options->on_crash_data;
    snapshot.folder = report_folder;
    snapshot.report.release = running_options->release;
    snapshot.report.environment = running_options->environment;
    snapshot.report.session = session;
    snapshot.report.tags = tags;
    return true;
}

LONG WINAPI HandleCrash(EXCEPTION_POINTERS* pointers) {
    if (!capturing.load()) {
        // Shut down, but still chained by a filter installed after ours.
        return previous_filter != nullptr ? previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    // A crash inside the crash handling ends the process at once.
    if (handling_crash.exchange(true)) {
        TerminateProcess(GetCurrentProcess(), code);
        return EXCEPTION_EXECUTE_HANDLER;
    }
    CrashSnapshot snapshot;
    if (TakeSnapshot(snapshot)) {
        sentry_value_t event;
        event._bits = kCrashEventBits;
        if (snapshot.on_crash != nullptr) {
            sentry_ucontext_t context;
            context.exception_ptrs = *pointers;
            event = snapshot.on_crash(&context, event, snapshot.on_crash_data);
        }
        if (event._bits != 0) {
            sentry_lite::CrashReport& report = snapshot.report;
            report.time_ms = NowMilliseconds();
            report.exception_code = code;
            report.exception_address =
                reinterpret_cast<uintptr_t>(pointers->ExceptionRecord->ExceptionAddress);
            const std::string name =
                sentry_lite::ReportFileName(report.time_ms, GetCurrentProcessId());
            WriteWholeFile(snapshot.folder + L"\\" + Widen(name),
                           sentry_lite::FormatCrashReport(report));
        }
    }
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

extern "C" {

sentry_options_t* sentry_options_new(void) {
    return new (std::nothrow) sentry_options_t();
}

void sentry_options_set_dsn(sentry_options_t* opts, const char* dsn) {
    if (opts != nullptr) {
        Assign(opts->dsn, dsn);
    }
}

void sentry_options_set_release(sentry_options_t* opts, const char* release) {
    if (opts != nullptr) {
        Assign(opts->release, release);
    }
}

void sentry_options_set_environment(sentry_options_t* opts, const char* environment) {
    if (opts != nullptr) {
        Assign(opts->environment, environment);
    }
}

void sentry_options_set_handler_path(sentry_options_t* opts, const char* path) {
    if (opts != nullptr) {
        Assign(opts->handler_path, path);
    }
}

void sentry_options_set_database_path(sentry_options_t* opts, const char* path) {
    if (opts != nullptr) {
        Assign(opts->database_path, path);
    }
}

void sentry_options_set_debug(sentry_options_t* opts, int debug) {
    if (opts != nullptr) {
        opts->debug = debug;
    }
}

void sentry_options_set_auto_session_tracking(sentry_options_t* opts, int val) {
    if (opts != nullptr) {
        opts->auto_session_tracking = val;
    }
}

void sentry_options_set_symbolize_stacktraces(sentry_options_t* opts, int val) {
    if (opts != nullptr) {
        opts->symbolize_stacktraces = val;
    }
}

void sentry_options_set_on_crash(sentry_options_t* opts, sentry_crash_function_t func, void* data) {
    if (opts != nullptr) {
        opts->on_crash = func;
        opts->on_crash_data = data;
    }
}

int sentry_init(sentry_options_t* options) {
    std::unique_ptr<sentry_options_t> owned(options);
    if (owned == nullptr) {
        return 1;
    }
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        return 1;
    }
    const std::wstring folder = AbsoluteFolder(owned->database_path.value_or(kDefaultDatabasePath));
    if (folder.empty() || !EnsureFolder(folder)) {
        return 1;
    }
    report_folder = folder;
    running_options = owned.release();
    previous_filter = SetUnhandledExceptionFilter(&HandleCrash);
    capturing = true;
    return 0;
}

int sentry_shutdown(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        capturing = false;
        const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous_filter);
        if (current != &HandleCrash) {
            // A filter installed after ours stays; ours now only passes exceptions on.
            SetUnhandledExceptionFilter(current);
        }
        delete running_options;
        running_options = nullptr;
    }
    tags.clear();
    session = {};
    return 0;
}

void sentry_start_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    session.status = sentry_lite::SessionStatus::kOpen;
    session.started_ms = NowMilliseconds();
}

void sentry_end_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (session.status == sentry_lite::SessionStatus::kOpen) {
        session.status = sentry_lite::SessionStatus::kEnded;
    }
}

void sentry_set_tag(const char* key, const char* value) {
    if (key == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> lock(state_mutex);
    tags[key] = value != nullptr ? value : "";
}

}  // extern "C"
