// The lite crash reporter behind sentry.h: keeps the options, the tags and the session, and
// on an unhandled exception or an abort writes one JSON report into the database folder, then
// ends the process. It uploads nothing and starts no handler process.
//
// A crash may come with the heap damaged, the stack used up, a lock held, or on two threads at
// once. So the report is formatted, and its paths are built, whenever the options, the tags or
// the session change; the crash only fills in fixed-width fields in place. The work of a crash
// runs on a thread started at sentry_init, with a stack of its own: the crashed thread only
// wakes it and waits. The report goes to a temporary name first and is renamed into place, so
// no reader ever sees half a report.
//
// The file is written through the native file calls with paths made at sentry_init: the Win32
// calls turn each path into its native form in memory taken from the process heap, which is
// what a damaged process may no longer give.
// clang-format off
#include <sentry.h>
#include <windows.h>
#include <winternl.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "crash_report.h"
#include "upload.h"  // upload hook-up

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
// What an abort is reported as (the code Windows gives an application's fatal exit), and the
// exit code the runtime's abort gives the process.
constexpr DWORD kAbortCode = 0x40000015;
constexpr UINT kAbortExitCode = 3;
// The exceptions the GNU C++ runtime raises to unwind: one that reaches the unhandled filter
// is continued, so the runtime goes on to std::terminate, which aborts.
constexpr DWORD kGnuExceptionMask = 0x20FFFFFF;
constexpr DWORD kGnuExceptionMagic = 0x20474343;

using SignalHandler = void(__cdecl*)(int);
using SignalFunction = SignalHandler(__cdecl*)(int, SignalHandler);

// The reporter's state between the calls of the interface; the mutex orders those calls. A
// crash never takes it: it reads only what is published through the atomics below.
std::mutex state_mutex;
sentry_options_t* running_options = nullptr;  // owned from sentry_init to sentry_shutdown
std::map<std::string, std::string> tags;
sentry_lite::Session session;
LPTOP_LEVEL_EXCEPTION_FILTER previous_filter = nullptr;

// A runtime whose abort is caught, and the SIGABRT handler it had before.
struct AbortHook {
    SignalFunction set_handler = nullptr;
    SignalHandler previous = SIG_DFL;
};
AbortHook own_runtime_abort;  // the runtime this library is built with
AbortHook ucrt_abort;         // the Universal CRT, when it is loaded at sentry_init

// Set at sentry_init, cleared at shutdown; read by a crash.
std::atomic<bool> capturing{false};
sentry_crash_function_t crash_callback = nullptr;
void* crash_callback_data = nullptr;
// The native file calls, found at sentry_init.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtWriteFileFunction = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                             ULONG, PLARGE_INTEGER, PULONG);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using NtFlushBuffersFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK);
struct NativeFileCalls {
    NtCreateFileFunction create = nullptr;
    NtWriteFileFunction write = nullptr;
    NtSetInformationFileFunction set_information = nullptr;
    NtFlushBuffersFileFunction flush = nullptr;
};
NativeFileCalls native;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileEndOfFileInformation = 20;

// The report's names in native form: <folder>\<stamp>-<pid>.tmp while it is written, then the
// same with .json. The stamp is filled in by the crash. The final name lives in the rename
// request, a FILE_RENAME_INFORMATION record.
std::wstring temp_name;
std::unique_ptr<unsigned char[]> rename_request;
ULONG rename_request_size = 0;
size_t stamp_at = 0;  // in both names
// The temporary file, open from its creation to its rename or removal.
HANDLE temp_file = INVALID_HANDLE_VALUE;

// The report as it would be written now. Replaced whole when something in it changes; a
// replaced one is freed only when no crash may be reading it.
std::atomic<sentry_lite::PreparedReport*> prepared_report{nullptr};

// The crash being handled. `crash_taken` is the one-shot that picks the one thread whose crash
// is reported; every other crashing thread waits for the end of the process.
std::atomic<bool> crash_taken{false};
std::atomic<DWORD> handling_thread{0};
std::atomic<bool> temp_complete{false};
// How long a crashed thread waits for the handler thread and the callback it runs.
constexpr DWORD kCallbackPatienceMs = 10000;
struct CrashRecord {
    EXCEPTION_RECORD record;
    CONTEXT context;
    sentry_ucontext_t ucontext;
    UINT exit_code;
};
CrashRecord crash;  // static storage: the crashed thread's stack may have no room

// The thread that handles a crash, started at sentry_init.
struct Handler {
    HANDLE thread = nullptr;
    HANDLE start = nullptr;    // set by the crashed thread, or by sentry_shutdown to stop it
    HANDLE starter = nullptr;  // the thread that called sentry_init
    std::atomic<bool> stop{false};
};
Handler handler;

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
    if (full.size() >= MAX_PATH - 32 && full.compare(0, 4, L"\\\\?\\") != 0) {
        full =
            full.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
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

struct RenameRequest {  // FILE_RENAME_INFORMATION, as far as the name
    BOOLEAN replace_if_exists;
    HANDLE root_directory;
    ULONG name_length;  // in bytes
    WCHAR name[1];
};

wchar_t* FinalName() {
    return reinterpret_cast<RenameRequest*>(rename_request.get())->name;
}

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

// Creates the temporary file, or empties it, and writes the whole text from its start.
bool WriteTemp(const std::string& text) {
    IO_STATUS_BLOCK io{};
    if (temp_file == INVALID_HANDLE_VALUE) {
        UNICODE_STRING name;
        name.Buffer = temp_name.data();
        name.Length = static_cast<USHORT>(temp_name.size() * sizeof(wchar_t));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes{};
        attributes.Length = sizeof attributes;
        attributes.ObjectName = &name;
        attributes.Attributes = OBJ_CASE_INSENSITIVE;
        HANDLE file = nullptr;
        const NTSTATUS created =
            native.create(&file, GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &io, nullptr,
                          FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
        if (!Succeeded(created)) {
            return false;
        }
        temp_file = file;
    }
    LARGE_INTEGER end_of_file;
    end_of_file.QuadPart = static_cast<LONGLONG>(text.size());
    if (!Succeeded(native.set_information(temp_file, &io, &end_of_file, sizeof end_of_file,
                                          kFileEndOfFileInformation))) {
        return false;
    }
    for (size_t done = 0; done < text.size();) {
        const auto chunk = static_cast<ULONG>(std::min<size_t>(text.size() - done, 1u << 20));
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(done);
        io = {};
        const NTSTATUS written =
            native.write(temp_file, nullptr, nullptr, nullptr, &io,
                         const_cast<char*>(text.data() + done), chunk, &offset, nullptr);
        if (!Succeeded(written) || io.Information == 0) {
            return false;
        }
        done += io.Information;
    }
    return Succeeded(native.flush(temp_file, &io));
}

// The temporary file becomes the report, or goes; once, whichever thread gets there first
// (the handler thread, or the crashed thread that stopped waiting for it).
void FinishTemp(bool keep) {
    static std::atomic<bool> finished{false};
    if (finished.exchange(true) || temp_file == INVALID_HANDLE_VALUE) {
        return;
    }
    IO_STATUS_BLOCK io{};
    if (keep) {
        native.set_information(temp_file, &io, rename_request.get(), rename_request_size,
                               kFileRenameInformation);
    } else {
        BOOLEAN remove = TRUE;
        native.set_information(temp_file, &io, &remove, sizeof remove, kFileDispositionInformation);
    }
    CloseHandle(temp_file);
    temp_file = INVALID_HANDLE_VALUE;
}

// Called with the state mutex held, after anything the report shows has changed.
void PublishReport() {
    if (running_options == nullptr) {
        return;
    }
    sentry_lite::CrashReport report;
    report.release = running_options->release;
    report.environment = running_options->environment;
    report.session = session;
    report.tags = tags;
    auto* fresh = new (std::nothrow) sentry_lite::PreparedReport();
    if (fresh == nullptr) {
        return;  // the one before stays: a report a little out of date beats none
    }
    try {
        *fresh = sentry_lite::PrepareCrashReport(report);
    } catch (const std::bad_alloc&) {
        delete fresh;
        return;
    }
    sentry_lite::PreparedReport* replaced = prepared_report.exchange(fresh);
    // A crash marks itself before it reads the report; seeing no mark after the exchange
    // means any crash to come reads the new one.
    if (!crash_taken.load()) {
        delete replaced;
    }
}

void FillStamp(int64_t time_ms) {
    char stamp[sentry_lite::kFileStampLength];
    sentry_lite::WriteFileStamp(time_ms, stamp);
    for (size_t i = 0; i < sizeof stamp; ++i) {
        temp_name[stamp_at + i] = static_cast<wchar_t>(stamp[i]);
        FinalName()[stamp_at + i] = static_cast<wchar_t>(stamp[i]);
    }
}

bool WriteReport(sentry_lite::PreparedReport& report, int64_t time_ms) {
    const auto address = reinterpret_cast<uintptr_t>(crash.record.ExceptionAddress);
    sentry_lite::CompleteCrashReport(report, time_ms, crash.record.ExceptionCode, address);
    return WriteTemp(report.text);
}

// The handler thread and the crashed thread may both come to handle the one crash (the crashed
// thread when the handler thread has not taken it in time): whoever claims it first does.
bool ClaimCrash() {
    DWORD nobody = 0;
    return handling_thread.compare_exchange_strong(nobody, GetCurrentThreadId());
}

// The work of one crash: the report to its temporary name, the callback, then the report
// renamed into place, or removed when the callback discards it. Tags the callback sets are
// in the report; when the callback itself crashes, the report written before it is kept.
void HandleCrash() {
    const int64_t time_ms = NowMilliseconds();
    FillStamp(time_ms);
    sentry_lite::PreparedReport* before = prepared_report.load();
    temp_complete = before != nullptr && WriteReport(*before, time_ms);

    sentry_value_t event;
    event._bits = kCrashEventBits;
    if (crash_callback != nullptr) {
        event = crash_callback(&crash.ucontext, event, crash_callback_data);
    }
    if (event._bits == 0) {
        temp_complete = false;
        FinishTemp(false);
        return;
    }
    sentry_lite::PreparedReport* after = prepared_report.load();
    if (after != before && after != nullptr) {
        temp_complete = false;
        temp_complete = WriteReport(*after, time_ms);
    }
    FinishTemp(temp_complete.exchange(false));
}

[[noreturn]] void EndProcess(UINT exit_code) {
    TerminateProcess(GetCurrentProcess(), exit_code);
    for (;;) {
        Sleep(INFINITE);
    }
}

// What a thread does when it meets a crash while one is already being handled: the handling
// thread itself (its callback crashed) keeps the report written so far and ends the process;
// any other thread waits for the handling thread to end it.
[[noreturn]] void MeetAnotherCrash() {
    if (handling_thread.load() == GetCurrentThreadId()) {
        FinishTemp(temp_complete.exchange(false));
        EndProcess(crash.exit_code);
    }
    for (;;) {
        Sleep(INFINITE);
    }
}

// Runs on the crashed thread, with `crash` filled in: hands the work to the handler thread,
// whose stack is whole, which ends the process when it is done. Should this thread fault
// again while it waits, it waits on as any other crashed thread does.
[[noreturn]] void ReportAndEnd() {
    // A thread that has not yet begun to wait still finds the wake-up set when it does.
    if (handler.thread != nullptr && WaitForSingleObject(handler.thread, 0) == WAIT_TIMEOUT) {
        SetEvent(handler.start);
        // Back when the thread ended without the process (it went with the thread that started
        // the reporter before it took the crash, or the callback ended it), or when the work
        // has not been done in time: the callback runs in a process that may hold any lock,
        // the heap's among them, and a report written before it beats none.
        WaitForSingleObject(handler.thread, kCallbackPatienceMs);
    }
    if (ClaimCrash()) {
        HandleCrash();  // no handler thread took it: the crashed thread's stack it is
    } else {
        FinishTemp(temp_complete.exchange(false));
    }
    EndProcess(crash.exit_code);
}

// It never outlives the thread that started the reporter: a thread that goes without the
// process (as Wine ends one whose stack overflow leaves no room for the exception) must not be
// kept waiting for by this one, which would keep the process from ending. Crashes after that
// are handled on the crashed thread.
DWORD WINAPI HandlerThread(void*) {
    const HANDLE wakes[] = {handler.start, handler.starter};
    const DWORD woken = WaitForMultipleObjects(2, wakes, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0 || handler.stop.load()) {
        return 0;
    }
    if (!ClaimCrash()) {
        return 0;  // the crashed thread stopped waiting and handles it itself
    }
    HandleCrash();
    EndProcess(crash.exit_code);
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    if ((record->ExceptionCode & kGnuExceptionMask) == kGnuExceptionMagic &&
        (record->ExceptionFlags & EXCEPTION_NONCONTINUABLE) == 0) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (!capturing.load()) {
        // Shut down, but still chained by a filter installed after ours.
        return previous_filter != nullptr ? previous_filter(pointers) : EXCEPTION_CONTINUE_SEARCH;
    }
    if (crash_taken.exchange(true)) {
        MeetAnotherCrash();
    }
    crash.record = *record;
    crash.ucontext.exception_ptrs = *pointers;
    crash.exit_code = record->ExceptionCode;
    ReportAndEnd();
}

void __cdecl OnAbort(int) {
    if (!capturing.load()) {
        return;  // the runtime goes on with its own abort
    }
    // The runtime puts the default action back before it calls a handler; an abort in the
    // callback must come back here to keep the report.
    for (const AbortHook* hook : {&own_runtime_abort, &ucrt_abort}) {
        if (hook->set_handler != nullptr) {
            hook->set_handler(SIGABRT, &OnAbort);
        }
    }
    if (crash_taken.exchange(true)) {
        MeetAnotherCrash();
    }
    RtlCaptureContext(&crash.context);
    crash.record = {};
    crash.record.ExceptionCode = kAbortCode;
    crash.record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    crash.record.ExceptionAddress = reinterpret_cast<void*>(crash.context.Rip);
    crash.ucontext.exception_ptrs.ExceptionRecord = &crash.record;
    crash.ucontext.exception_ptrs.ContextRecord = &crash.context;
    crash.exit_code = kAbortExitCode;
    ReportAndEnd();
}

void HookAbort(AbortHook& hook, SignalFunction set_handler) {
    if (set_handler == nullptr) {
        return;
    }
    const SignalHandler previous = set_handler(SIGABRT, &OnAbort);
    if (previous != SIG_ERR) {
        hook.set_handler = set_handler;
        hook.previous = previous;
    }
}

void UnhookAbort(AbortHook& hook) {
    if (hook.set_handler == nullptr) {
        return;
    }
    const SignalHandler current = hook.set_handler(SIGABRT, hook.previous);
    if (current != &OnAbort) {
        hook.set_handler(SIGABRT, current);  // installed after ours: it stays
    }
    hook = {};
}

// The Universal CRT keeps its signal handlers in ucrtbase.dll, which an application built
// against it shares; a handler set through this library's own runtime would not see its abort.
SignalFunction LoadedUcrtSignal() {
    const HMODULE ucrt = GetModuleHandleW(L"ucrtbase.dll");
    if (ucrt == nullptr) {
        return nullptr;
    }
    const auto address = GetProcAddress(ucrt, "signal");
    SignalFunction function = nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function == &std::signal ? nullptr : function;
}

bool StartHandler() {
    handler.stop = false;
    handler.start = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, GetCurrentThread(), process, &handler.starter, SYNCHRONIZE, FALSE,
                        0) == 0) {
        handler.starter = nullptr;
    }
    if (handler.start != nullptr && handler.starter != nullptr) {
        // A stack of its own, as large as the callback may want: only reserved, not committed.
        handler.thread = CreateThread(nullptr, 1u << 20, &HandlerThread, nullptr,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    }
    return handler.thread != nullptr;
}

void StopHandler() {
    if (handler.thread != nullptr && !crash_taken.load()) {
        handler.stop = true;
        SetEvent(handler.start);
        WaitForSingleObject(handler.thread, 5000);
    }
    for (HANDLE* handle : {&handler.thread, &handler.start, &handler.starter}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
}

// The native form of an absolute Win32 path: \\?\C:\x and C:\x become \??\C:\x,
// \\?\UNC\s\x and \\s\x become \??\UNC\s\x.
std::wstring NativePath(const std::wstring& path) {
    if (path.compare(0, 4, L"\\\\?\\") == 0) {
        return L"\\??\\" + path.substr(4);
    }
    if (path.compare(0, 2, L"\\\\") == 0) {
        return L"\\??\\UNC\\" + path.substr(2);
    }
    return L"\\??\\" + path;
}

bool FindNativeFileCalls() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll == nullptr) {
        return false;
    }
    const auto find = [ntdll](auto& function, const char* name) {
        const FARPROC address = GetProcAddress(ntdll, name);
        static_assert(sizeof function == sizeof address);
        std::memcpy(&function, &address, sizeof function);
        return function != nullptr;
    };
    return find(native.create, "NtCreateFile") && find(native.write, "NtWriteFile") &&
           find(native.set_information, "NtSetInformationFile") &&
           find(native.flush, "NtFlushBuffersFile");
}

// The report's two names, with room for the stamp each crash fills in.
bool PrepareNames(const std::wstring& folder) {
    const std::wstring stem = NativePath(folder) + L"\\";
    stamp_at = stem.size();
    const std::wstring name = stem + std::wstring(sentry_lite::kFileStampLength, L'0') + L"-" +
                              std::to_wstring(GetCurrentProcessId());
    const std::wstring final_name = name + L".json";
    temp_name = name + L".tmp";
    const size_t name_bytes = final_name.size() * sizeof(wchar_t);
    if (name_bytes > 0xFFFE) {
        return false;  // beyond what a native path holds
    }
    rename_request_size = static_cast<ULONG>(offsetof(RenameRequest, name) + name_bytes);
    rename_request.reset(new (std::nothrow) unsigned char[rename_request_size]());
    if (rename_request == nullptr) {
        return false;
    }
    auto* request = reinterpret_cast<RenameRequest*>(rename_request.get());
    request->replace_if_exists = FALSE;
    request->root_directory = nullptr;
    request->name_length = static_cast<ULONG>(name_bytes);
    std::memcpy(request->name, final_name.data(), name_bytes);
    return true;
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
    if (folder.empty() || !EnsureFolder(folder) || !FindNativeFileCalls() ||
        !PrepareNames(folder)) {
        return 1;
    }
    crash_callback = owned->on_crash;
    crash_callback_data = owned->on_crash_data;
    running_options = owned.release();
    PublishReport();
    StartHandler();
    previous_filter = SetUnhandledExceptionFilter(&OnUnhandledException);
    HookAbort(own_runtime_abort, &std::signal);
    HookAbort(ucrt_abort, LoadedUcrtSignal());
    capturing = true;
    // Upload hook-up: the folder is known good; returns at once, the thread does the rest.
    sentry_lite::StartUploads(folder, running_options->dsn.value_or(""));
    return 0;
}

int sentry_shutdown(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        sentry_lite::StopUploads();  // upload hook-up: waits at most 2 s for a request
        capturing = false;
        UnhookAbort(ucrt_abort);
        UnhookAbort(own_runtime_abort);
        const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(previous_filter);
        if (current != &OnUnhandledException) {
            // A filter installed after ours stays; ours now only passes exceptions on.
            SetUnhandledExceptionFilter(current);
        }
        StopHandler();
        delete running_options;
        running_options = nullptr;
        crash_callback = nullptr;
        crash_callback_data = nullptr;
        if (!crash_taken.load()) {
            delete prepared_report.exchange(nullptr);
        }
    }
    tags.clear();
    session = {};
    return 0;
}

void sentry_start_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    session.status = sentry_lite::SessionStatus::kOpen;
    session.started_ms = NowMilliseconds();
    PublishReport();
}

void sentry_end_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (session.status == sentry_lite::SessionStatus::kOpen) {
        session.status = sentry_lite::SessionStatus::kEnded;
        PublishReport();
    }
}

void sentry_set_tag(const char* key, const char* value) {
    if (key == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> lock(state_mutex);
    try {
        tags[key] = value != nullptr ? value : "";
    } catch (const std::bad_alloc&) {
        return;
    }
    PublishReport();
}

}  // extern "C"
