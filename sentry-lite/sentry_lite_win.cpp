// The lite crash reporter behind sentry.h: keeps the options, the tags and the session, and on
// an unhandled exception or an abort writes one envelope into the database folder (the event
// with the crashed thread's stack and the loaded images, the session the crash ended, and a
// minidump), then ends the process. It starts no handler process. A session's clean end is an
// envelope too; what waits in the folder (earlier runs' crashes, sessions' ends) is sent by the
// upload thread (upload_win.cpp), never by a crashed process.
//
// A crash may come with the heap damaged, the stack used up, a lock held, or on two threads at
// once. So the envelope is formatted, and its paths are built, whenever the options, the tags
// or the session change; the crash only fills in fixed-width fields and writes what it learns
// into memory set aside at sentry_init. The work of a crash runs on a thread started at
// sentry_init, with a stack of its own: the crashed thread only wakes it and waits.
//
// The report is whole or absent. It is written in versions, each into a file of its own under a
// temporary name that the system deletes when the process ends: first the event alone, then with
// the stack and images, then with the minidump, then (when symbolising is asked for) with the
// frames named, then with what the callback changed. A version is published once it is whole;
// whoever finishes the crash (the handler thread, or the crashed thread that stopped waiting for
// it) keeps the published one by renaming it into place. What fails or hangs later leaves the
// version before it.
//
// Files are written through the native file calls with paths made at sentry_init: the Win32
// calls turn each path into its native form in memory taken from the process heap, which is
// what a damaged process may no longer give.
// clang-format off
#include <sentry.h>
#include <windows.h>
#include <winternl.h>
#include <ntsecapi.h>
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
#include <vector>

#include "crash_facts_win.h"
#include "dsn.h"
#include "envelope.h"
#include "module_exports_win.h"
#include "symbolizer_win.h"
#include "upload.h"

struct sentry_options_s {
    std::optional<std::string> dsn;
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
// Where the installation's identifier is kept, in the database folder.
constexpr wchar_t kInstallationIdFile[] = L"installation_id";
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
// What a crash may write of its own: the exception, the stack and the images.
constexpr size_t kCrashPartCapacity = 1u << 20;
constexpr size_t kMaxFrames = 256;
// A temporary report older than this belongs to a process that has ended.
constexpr int64_t kStaleTempMs = 60 * 1000;

using SignalHandler = void(__cdecl*)(int);
using SignalFunction = SignalHandler(__cdecl*)(int, SignalHandler);

// The reporter's state between the calls of the interface; the mutex orders those calls. A
// crash never takes it: it reads only what is published through the atomics below.
std::mutex state_mutex;
sentry_options_t* running_options = nullptr;  // owned from sentry_init to sentry_shutdown
std::map<std::string, std::string> tags;
sentry_lite::Session session;
std::string event_id;
std::string installation_id;
std::string os_version;
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
bool symbolize_frames = false;
// The native file calls, found at sentry_init.
using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                              PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                              ULONG, PVOID, ULONG);
using NtWriteFileFunction = NTSTATUS(NTAPI*)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID,
                                             ULONG, PLARGE_INTEGER, PULONG);
using NtReadFileFunction = NtWriteFileFunction;
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, int);
using NtQueryInformationFileFunction = NtSetInformationFileFunction;
using NtFlushBuffersFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK);
struct NativeFileCalls {
    NtCreateFileFunction create = nullptr;
    NtWriteFileFunction write = nullptr;
    NtReadFileFunction read = nullptr;
    NtSetInformationFileFunction set_information = nullptr;
    NtQueryInformationFileFunction query_information = nullptr;
    NtFlushBuffersFileFunction flush = nullptr;
};
NativeFileCalls native;
constexpr int kFileRenameInformation = 10;
constexpr int kFileDispositionInformation = 13;
constexpr int kFileStandardInformation = 5;
constexpr int kFileEndOfFileInformation = 20;

// The report's names in native form: <folder>\<stamp>-<pid>.<n>.tmp for the versions and the
// minidump while they are written, <folder>\<stamp>-<pid>.envelope for the report. The stamp
// is filled in by the crash. The final name lives in the rename request, a
// FILE_RENAME_INFORMATION record.
constexpr size_t kVersionFiles = 2;
std::wstring version_names[kVersionFiles];
std::wstring dump_name;
std::unique_ptr<unsigned char[]> rename_request;
ULONG rename_request_size = 0;
size_t stamp_at = 0;  // in every name

// The report as it would be written now. Replaced whole when something in it changes; a
// replaced one is freed only when no crash may be reading it.
std::atomic<sentry_lite::PreparedEnvelope*> prepared_envelope{nullptr};

// The crash being handled. `crash_taken` is the one-shot that picks the one thread whose crash
// is reported; every other crashing thread waits for the end of the process.
std::atomic<bool> crash_taken{false};
std::atomic<DWORD> handling_thread{0};
// Where the handler thread is in the work of a crash, and how long a crashed thread waits for
// each step: for the thread to take the crash, for what it reads of the process (the minidump
// writer loads every image's symbols under Wine, which takes seconds), and for the callback,
// which runs in a process that may hold any lock.
enum class HandlerStep { kTaking, kGathering, kCallingBack };
std::atomic<HandlerStep> handler_step{HandlerStep::kTaking};
constexpr DWORD kTakingPatienceMs = 10000;
constexpr DWORD kGatheringPatienceMs = 60000;
constexpr DWORD kCallbackPatienceMs = 10000;

DWORD PatienceFor(HandlerStep step) {
    switch (step) {
        case HandlerStep::kGathering:
            return kGatheringPatienceMs;
        case HandlerStep::kCallingBack:
            return kCallbackPatienceMs;
        default:
            return kTakingPatienceMs;
    }
}
struct CrashRecord {
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
    sentry_ucontext_t ucontext;
    UINT exit_code;
    DWORD thread_id;
    bool abort;
    uintptr_t stack_limit;
    uintptr_t stack_base;
};
CrashRecord crash;  // static storage: the crashed thread's stack may have no room

// The files of the versions, created by the handler as it needs them; each is deleted when the
// process ends unless it is the one kept.
HANDLE version_files[kVersionFiles] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
// Which version is whole (its index + 1, or 0), and whether the crash is finished: one word, so
// keeping a version and publishing another can never both happen.
constexpr uint32_t kFinished = 0x100;
std::atomic<uint32_t> report_state{0};

// What the crash learns, written into memory set aside at sentry_init.
char* crash_part_memory = nullptr;
size_t crash_part_size = 0;
uint64_t frames[kMaxFrames];
sentry_lite::FrameSymbol frame_symbols[kMaxFrames];
unsigned char copy_buffer[64 * 1024];

// The thread that handles a crash, started at sentry_init.
struct Handler {
    HANDLE thread = nullptr;
    HANDLE start = nullptr;    // set by the crashed thread, or by sentry_shutdown to stop it
    HANDLE starter = nullptr;  // the thread that called sentry_init
    std::atomic<bool> stop{false};
};
Handler handler;
std::wstring database_folder;  // for the handler's sweep of reports left half done

void Assign(std::optional<std::string>& field, const char* value) {
    field = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

int64_t NowMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return sentry_lite::UnixMillisecondsOfFileTime(now.dwHighDateTime, now.dwLowDateTime);
}

std::string NewUuid() {
    unsigned char bytes[16] = {};
    if (!RtlGenRandom(bytes, sizeof bytes)) {
        // Still unique enough to tell two reports apart.
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        const uint64_t mixed[2] = {static_cast<uint64_t>(counter.QuadPart),
                                   (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                                       static_cast<uint64_t>(NowMilliseconds())};
        std::memcpy(bytes, mixed, sizeof bytes);
    }
    return sentry_lite::UuidText(bytes);
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

std::optional<std::string> ReadSmallFile(const std::wstring& path, size_t limit) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::optional<std::string> text;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
        static_cast<uint64_t>(size.QuadPart) <= limit) {
        std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (bytes.empty() ||
            (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
             read == bytes.size())) {
            text = std::move(bytes);
        }
    }
    CloseHandle(file);
    return text;
}

// The installation's identifier: the same for every run that keeps its reports in this folder,
// made at the first. The session counts its users by it.
std::string InstallationId(const std::wstring& folder) {
    const std::wstring path = folder + L"\\" + kInstallationIdFile;
    if (const std::optional<std::string> kept = ReadSmallFile(path, 64)) {
        std::string id = *kept;
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r' || id.back() == ' ')) {
            id.pop_back();
        }
        if (id.size() == 36) {
            return id;
        }
    }
    const std::string id = NewUuid();
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, id.data(), static_cast<DWORD>(id.size()), &written, nullptr);
        CloseHandle(file);
    }
    return id;
}

std::string OsVersion() {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    RtlGetVersionFunction get_version = nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!sentry_lite::FindExport(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion", get_version) ||
        get_version(&info) != 0) {
        return {};
    }
    return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
           std::to_string(info.dwBuildNumber);
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

// Marks a file to go when its last handle closes, or to stay.
bool SetDeleteOnClose(HANDLE file, bool remove) {
    IO_STATUS_BLOCK io{};
    BOOLEAN disposition = remove ? TRUE : FALSE;
    return Succeeded(native.set_information(file, &io, &disposition, sizeof disposition,
                                            kFileDispositionInformation));
}

// A file that the system removes when the process ends, unless it is told otherwise.
HANDLE CreateTemporary(std::wstring& native_name) {
    UNICODE_STRING name;
    name.Buffer = native_name.data();
    name.Length = static_cast<USHORT>(native_name.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &name;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    IO_STATUS_BLOCK io{};
    HANDLE file = nullptr;
    const NTSTATUS created =
        native.create(&file, GENERIC_READ | GENERIC_WRITE | DELETE | SYNCHRONIZE, &attributes, &io,
                      nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                      FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (!Succeeded(created)) {
        return INVALID_HANDLE_VALUE;
    }
    if (!SetDeleteOnClose(file, true)) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool WriteAt(HANDLE file, uint64_t offset, const void* data, size_t size) {
    for (size_t done = 0; done < size;) {
        const auto chunk = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 20));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset + done);
        IO_STATUS_BLOCK io{};
        const NTSTATUS written = native.write(
            file, nullptr, nullptr, nullptr, &io,
            const_cast<char*>(static_cast<const char*>(data) + done), chunk, &at, nullptr);
        if (!Succeeded(written) || io.Information == 0) {
            return false;
        }
        done += io.Information;
    }
    return true;
}

uint64_t FileSize(HANDLE file) {
    struct {
        LARGE_INTEGER allocation_size;
        LARGE_INTEGER end_of_file;
        ULONG number_of_links;
        BOOLEAN delete_pending;
        BOOLEAN directory;
    } standard{};
    IO_STATUS_BLOCK io{};
    if (!Succeeded(native.query_information(file, &io, &standard, sizeof standard,
                                            kFileStandardInformation))) {
        return 0;
    }
    return static_cast<uint64_t>(standard.end_of_file.QuadPart);
}

// Copies `size` bytes of `from` to `to` at `offset`, through a buffer set aside beforehand.
bool CopyInto(HANDLE to, uint64_t offset, HANDLE from, uint64_t size) {
    for (uint64_t done = 0; done < size;) {
        const auto chunk = static_cast<ULONG>(std::min<uint64_t>(size - done, sizeof copy_buffer));
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(done);
        IO_STATUS_BLOCK io{};
        if (!Succeeded(native.read(from, nullptr, nullptr, nullptr, &io, copy_buffer, chunk, &at,
                                   nullptr)) ||
            io.Information == 0) {
            return false;
        }
        if (!WriteAt(to, offset + done, copy_buffer, io.Information)) {
            return false;
        }
        done += io.Information;
    }
    return true;
}

// The one finish of a crash, whichever thread comes to it first: the whole version, when there
// is one, is kept under the report's name; every other file goes with the process.
void FinishReport() {
    const uint32_t state = report_state.exchange(kFinished);
    if ((state & kFinished) != 0 || state == 0 || state > kVersionFiles) {
        return;
    }
    const HANDLE file = version_files[state - 1];
    IO_STATUS_BLOCK io{};
    // Kept first, then named: a process ended between the two leaves a whole temporary report,
    // which the next start puts in place.
    SetDeleteOnClose(file, false);
    native.flush(file, &io);
    native.set_information(file, &io, rename_request.get(), rename_request_size,
                           kFileRenameInformation);
}

// Writes one version of the report into the file not published, then publishes it. False when
// it could not be written, or the crash was finished meanwhile (nothing may be published then).
bool WriteVersion(sentry_lite::PreparedEnvelope& prepared, int64_t time_ms, HANDLE dump,
                  uint64_t dump_size) {
    const uint32_t state = report_state.load();
    if ((state & kFinished) != 0) {
        return false;
    }
    const size_t index = state == 1 ? 1 : 0;
    if (version_files[index] == INVALID_HANDLE_VALUE) {
        version_files[index] = CreateTemporary(version_names[index]);
        if (version_files[index] == INVALID_HANDLE_VALUE) {
            return false;
        }
    }
    const HANDLE file = version_files[index];
    sentry_lite::CompleteEnvelope(prepared, time_ms, crash_part_size);
    char attachment[160];
    const size_t attachment_size =
        dump != INVALID_HANDLE_VALUE
            ? sentry_lite::WriteAttachmentHeader(dump_size, attachment, sizeof attachment)
            : 0;
    sentry_lite::Piece pieces[sentry_lite::kPieceCount];
    sentry_lite::EnvelopePieces(prepared, crash_part_memory, crash_part_size, attachment,
                                attachment_size, pieces);
    uint64_t offset = 0;
    for (const auto& piece : pieces) {
        if (!WriteAt(file, offset, piece.data, piece.size)) {
            return false;
        }
        offset += piece.size;
    }
    if (attachment_size > 0) {
        if (!CopyInto(file, offset, dump, dump_size) ||
            !WriteAt(file, offset + dump_size, "\n", 1)) {
            return false;
        }
        offset += dump_size + 1;
    }
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER end_of_file;
    end_of_file.QuadPart = static_cast<LONGLONG>(offset);
    if (!Succeeded(native.set_information(file, &io, &end_of_file, sizeof end_of_file,
                                          kFileEndOfFileInformation))) {
        return false;
    }
    uint32_t expected = state;
    return report_state.compare_exchange_strong(expected, static_cast<uint32_t>(index + 1));
}

// With the state mutex held and the reporter running.
sentry_lite::CrashContext CurrentContext() {
    sentry_lite::CrashContext context;
    context.event_id = event_id;
    context.dsn = running_options->dsn;
    context.release = running_options->release;
    context.environment = running_options->environment;
    context.installation_id = installation_id;
    context.os_version = os_version;
    context.session = session;
    context.tags = tags;
    return context;
}

// Called with the state mutex held, after anything the report shows has changed.
void PublishReport() {
    if (running_options == nullptr) {
        return;
    }
    auto* fresh = new (std::nothrow) sentry_lite::PreparedEnvelope();
    if (fresh == nullptr) {
        return;  // the one before stays: a report a little out of date beats none
    }
    try {
        *fresh = sentry_lite::PrepareEnvelope(CurrentContext());
    } catch (const std::bad_alloc&) {
        delete fresh;
        return;
    }
    sentry_lite::PreparedEnvelope* replaced = prepared_envelope.exchange(fresh);
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
        for (std::wstring& name : version_names) {
            name[stamp_at + i] = static_cast<wchar_t>(stamp[i]);
        }
        dump_name[stamp_at + i] = static_cast<wchar_t>(stamp[i]);
        FinalName()[stamp_at + i] = static_cast<wchar_t>(stamp[i]);
    }
}

sentry_lite::CrashException ExceptionOfCrash() {
    sentry_lite::CrashException exception;
    exception.code = crash.record.ExceptionCode;
    exception.address = reinterpret_cast<uintptr_t>(crash.record.ExceptionAddress);
    exception.abort = crash.abort;
    if (crash.record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
        crash.record.NumberParameters >= 2) {
        exception.has_access = true;
        exception.access_kind = crash.record.ExceptionInformation[0];
        exception.access_address = crash.record.ExceptionInformation[1];
    }
    sentry_lite::ReadRegisters(crash.context, exception.registers);
    return exception;
}

// The crash's part of the event into the memory set aside for it: the exception, and, when
// asked for, the stack and the images (reading those is what may fault), the frames symbolised
// when asked for that too.
void WriteCrashPart(sentry_lite::CrashException& exception, bool with_stack_and_images,
                    bool symbolized = false) {
    sentry_lite::FixedText part(crash_part_memory, kCrashPartCapacity);
    if (with_stack_and_images) {
        exception.frames = frames;
        exception.frame_count = sentry_lite::WalkStack(crash.context, crash.stack_limit,
                                                       crash.stack_base, frames, kMaxFrames);
        if (symbolized) {
            sentry_lite::SymbolizeFrames(frames, exception.frame_count, frame_symbols);
            exception.symbols = frame_symbols;
        }
    }
    if (!sentry_lite::BeginCrashPart(part, exception)) {
        part.RollBack(0);
        exception.frame_count = 0;
        sentry_lite::BeginCrashPart(part, exception);
    }
    if (with_stack_and_images) {
        sentry_lite::AppendLoadedImages(part);
    }
    sentry_lite::EndCrashPart(part);
    crash_part_size = part.Size();
}

// The work of one crash: the report in versions, each more complete than the one before, the
// callback, and the last whole version kept under the report's name, or none when the callback
// discards the report. Tags the callback sets are in the report; when the callback itself
// crashes, the version written before it is kept.
void HandleCrash() {
    const int64_t time_ms = NowMilliseconds();
    FillStamp(time_ms);
    sentry_lite::PreparedEnvelope* before = prepared_envelope.load();
    HANDLE dump = INVALID_HANDLE_VALUE;
    uint64_t dump_size = 0;
    handler_step = HandlerStep::kGathering;
    if (before != nullptr && crash_part_memory != nullptr) {
        sentry_lite::CrashException exception = ExceptionOfCrash();
        WriteCrashPart(exception, false);
        WriteVersion(*before, time_ms, INVALID_HANDLE_VALUE, 0);
        WriteCrashPart(exception, true);
        WriteVersion(*before, time_ms, INVALID_HANDLE_VALUE, 0);
        dump = CreateTemporary(dump_name);
        if (dump != INVALID_HANDLE_VALUE &&
            sentry_lite::WriteMinidump(dump, crash.thread_id, &crash.pointers)) {
            dump_size = FileSize(dump);
            WriteVersion(*before, time_ms, dump, dump_size);
        }
        if (symbolize_frames) {
            WriteCrashPart(exception, true, true);
            WriteVersion(*before, time_ms, dump_size > 0 ? dump : INVALID_HANDLE_VALUE, dump_size);
        }
    }

    handler_step = HandlerStep::kCallingBack;
    sentry_value_t event;
    event._bits = kCrashEventBits;
    if (crash_callback != nullptr) {
        event = crash_callback(&crash.ucontext, event, crash_callback_data);
    }
    if (event._bits == 0) {
        report_state.exchange(kFinished);  // every version goes with the process
        return;
    }
    sentry_lite::PreparedEnvelope* after = prepared_envelope.load();
    if (after != before && after != nullptr && crash_part_memory != nullptr) {
        WriteVersion(*after, time_ms, dump_size > 0 ? dump : INVALID_HANDLE_VALUE, dump_size);
    }
    FinishReport();
}

[[noreturn]] void EndProcess(UINT exit_code) {
    TerminateProcess(GetCurrentProcess(), exit_code);
    for (;;) {
        Sleep(INFINITE);
    }
}

// The handler thread and the crashed thread may both come to handle the one crash (the crashed
// thread when the handler thread has not taken it in time): whoever claims it first does.
bool ClaimCrash() {
    DWORD nobody = 0;
    return handling_thread.compare_exchange_strong(nobody, GetCurrentThreadId());
}

// What a thread does when it meets a crash while one is already being handled: the handling
// thread itself (its callback, or what it read of the crash, faulted) keeps the report written
// so far and ends the process; any other thread waits for the handling thread to end it.
[[noreturn]] void MeetAnotherCrash() {
    if (handling_thread.load() == GetCurrentThreadId()) {
        FinishReport();
        EndProcess(crash.exit_code);
    }
    for (;;) {
        Sleep(INFINITE);
    }
}

// The first crash of the process is the one reported; a thread that meets another goes no
// further. From here on no upload starts: the crashed process sends nothing of its own.
void TakeCrash() {
    if (crash_taken.exchange(true)) {
        MeetAnotherCrash();
    }
    sentry_lite::HoldUploads();
}

// Until the handler thread ends, or the step it is in has had its time: each step of the work
// has its own. A wait can come back early (under Wine it does when the minidump writer suspends
// and resumes the waiting thread), so the clock decides, not the wait.
void WaitForHandler() {
    HandlerStep step = handler_step.load();
    ULONGLONG deadline = GetTickCount64() + PatienceFor(step);
    for (;;) {
        if (WaitForSingleObject(handler.thread, 200) == WAIT_OBJECT_0) {
            return;
        }
        const ULONGLONG now = GetTickCount64();
        const HandlerStep reached = handler_step.load();
        if (reached != step) {
            step = reached;
            deadline = now + PatienceFor(step);
        } else if (now >= deadline) {
            return;
        }
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
        WaitForHandler();
    }
    if (ClaimCrash()) {
        HandleCrash();  // no handler thread took it: the crashed thread's stack it is
    } else {
        FinishReport();
    }
    EndProcess(crash.exit_code);
}

// Reports a crash of an earlier run left under a temporary name (its process ended between
// keeping and naming it, or before it could be renamed); anything less than whole goes.
void SweepTemporaryReports(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((folder + L"\\*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    const int64_t now = NowMilliseconds();
    do {
        const int64_t written_ms = sentry_lite::UnixMillisecondsOfFileTime(
            found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
            now - written_ms < kStaleTempMs) {
            continue;  // another process may be writing it now
        }
        const std::wstring name = found.cFileName;
        const std::wstring path = folder + L"\\" + name;
        const std::optional<std::string> bytes = ReadSmallFile(path, 512u << 20);
        const size_t stem = name.find(L'.');
        if (bytes && sentry_lite::IsWholeEnvelope(bytes->data(), bytes->size()) &&
            stem != std::wstring::npos &&
            MoveFileExW(path.c_str(),
                        (folder + L"\\" + name.substr(0, stem) + L".envelope").c_str(), 0)) {
            continue;
        }
        DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// It never outlives the thread that started the reporter: a thread that goes without the
// process (as Wine ends one whose stack overflow leaves no room for the exception) must not be
// kept waiting for by this one, which would keep the process from ending. Crashes after that
// are handled on the crashed thread.
DWORD WINAPI HandlerThread(void*) {
    // Off the launch's path: what a crash will need, and what earlier runs left half done.
    sentry_lite::PrepareMinidumps();
    sentry_lite::PrepareSymbolizer();
    SweepTemporaryReports(database_folder);
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

void RecordCrashedThread() {
    crash.thread_id = GetCurrentThreadId();
    sentry_lite::CurrentStackRange(crash.stack_limit, crash.stack_base);
    crash.pointers.ExceptionRecord = &crash.record;
    crash.pointers.ContextRecord = &crash.context;
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
    TakeCrash();
    crash.record = *record;
    crash.context = *pointers->ContextRecord;
    crash.abort = false;
    RecordCrashedThread();
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
    TakeCrash();
    RtlCaptureContext(&crash.context);
    crash.record = {};
    crash.record.ExceptionCode = kAbortCode;
    crash.record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
    crash.record.ExceptionAddress = reinterpret_cast<void*>(crash.context.Rip);
    crash.abort = true;
    RecordCrashedThread();
    crash.ucontext.exception_ptrs = crash.pointers;
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
    SignalFunction function = nullptr;
    if (!sentry_lite::FindExport(GetModuleHandleW(L"ucrtbase.dll"), "signal", function)) {
        return nullptr;
    }
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
    const auto find = [ntdll](auto& function, const char* name) {
        return sentry_lite::FindExport(ntdll, name, function);
    };
    return find(native.create, "NtCreateFile") && find(native.write, "NtWriteFile") &&
           find(native.read, "NtReadFile") &&
           find(native.set_information, "NtSetInformationFile") &&
           find(native.query_information, "NtQueryInformationFile") &&
           find(native.flush, "NtFlushBuffersFile");
}

// The report's names, with room for the stamp each crash fills in.
bool PrepareNames(const std::wstring& folder) {
    const std::wstring stem = NativePath(folder) + L"\\";
    stamp_at = stem.size();
    const std::wstring final_name =
        stem + Widen(sentry_lite::ReportFileName(0, GetCurrentProcessId()));
    const std::wstring name = final_name.substr(0, final_name.rfind(L'.'));
    for (size_t i = 0; i < kVersionFiles; ++i) {
        version_names[i] = name + L"." + std::to_wstring(i) + L".tmp";
    }
    dump_name = name + L".dmp.tmp";
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
    }
    return whole;
}

// The session's clean end waits in the database folder like a crash report, for the upload
// thread: <stamp>-<pid>-session.envelope, written under a temporary name and renamed whole so
// the queue never takes part of it (and the sweep puts a whole one left behind in place). A
// DSN that gives no address would never let it leave, so then none is written. With the state
// mutex held.
void KeepSessionEnd(int64_t ended_ms) {
    if (running_options == nullptr || session.status != sentry_lite::SessionStatus::kOpen ||
        !sentry_lite::ParseDsn(running_options->dsn.value_or(""))) {
        return;
    }
    try {
        const std::string envelope = sentry_lite::SessionEndEnvelope(CurrentContext(), ended_ms);
        // Two ends within a millisecond would share a name: the next millisecond's is taken.
        for (int64_t later = 0; later < 4; ++later) {
            const std::string name =
                sentry_lite::SessionEndFileName(ended_ms + later, GetCurrentProcessId());
            const std::wstring path = database_folder + L"\\" + Widen(name);
            // <stem>.tmp: the sweep of a later start renames a whole one to <stem>.envelope.
            const std::wstring temporary = path.substr(0, path.rfind(L'.')) + L".tmp";
            if (!WriteNewFile(temporary, envelope)) {
                if (GetLastError() == ERROR_FILE_EXISTS) {
                    continue;
                }
                return;
            }
            if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) != 0) {
                return;
            }
            const DWORD error = GetLastError();
            DeleteFileW(temporary.c_str());
            if (error != ERROR_ALREADY_EXISTS) {
                return;
            }
        }
    } catch (const std::bad_alloc&) {
        return;  // the session goes uncounted; the run is not held up for it
    }
}

// With the state mutex held.
void EndSession() {
    if (session.status != sentry_lite::SessionStatus::kOpen) {
        return;
    }
    KeepSessionEnd(NowMilliseconds());
    session = {};
    PublishReport();
    sentry_lite::WakeUploads();
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
    if (folder.empty() || !EnsureFolder(folder) || !CanWriteIn(folder) || !FindNativeFileCalls() ||
        !PrepareNames(folder)) {
        return 1;
    }
    if (crash_part_memory == nullptr) {
        // Outside the heap, which a crash may find damaged; only touched by a crash.
        crash_part_memory = static_cast<char*>(
            VirtualAlloc(nullptr, kCrashPartCapacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    database_folder = folder;
    event_id = NewUuid();
    installation_id = InstallationId(folder);
    os_version = OsVersion();
    crash_callback = owned->on_crash;
    crash_callback_data = owned->on_crash_data;
    symbolize_frames = owned->symbolize_stacktraces != 0;
    running_options = owned.release();
    PublishReport();
    StartHandler();
    previous_filter = SetUnhandledExceptionFilter(&OnUnhandledException);
    HookAbort(own_runtime_abort, &std::signal);
    HookAbort(ucrt_abort, LoadedUcrtSignal());
    capturing = true;
    // Returns at once: listing the folder and every request are the upload thread's.
    sentry_lite::StartUploads(folder, running_options->dsn.value_or(""));
    return 0;
}

int sentry_shutdown(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        // A session still open ends here, as the SDK's shutdown ends it; its end is the last
        // thing the upload thread sends, in the time the stop gives it.
        EndSession();
        sentry_lite::StopUploads();
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
        symbolize_frames = false;
        if (!crash_taken.load()) {
            delete prepared_envelope.exchange(nullptr);
        }
    }
    tags.clear();
    session = {};
    return 0;
}

void sentry_start_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    session.status = sentry_lite::SessionStatus::kOpen;
    session.sid = NewUuid();
    session.started_ms = NowMilliseconds();
    PublishReport();
}

// A crash after the end is no longer the session's: its report carries no session.
void sentry_end_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    EndSession();
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
