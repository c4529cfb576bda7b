// The lite crash reporter behind sentry.h: keeps the options, the tags and the session, and on
// an unhandled exception or an abort writes one envelope into the database folder (the event
// with the crashed thread's stack and the loaded images, the session the crash ended, and a
// minidump), then ends the process. It starts no handler process. A session's clean end is an
// envelope too; while a session is open its record is in the folder, so a later start sends it
// as abnormal should the run end unseen. What waits in the folder (earlier runs' crashes,
// sessions' ends) is sent by the upload thread, never by a crashed process.
//
// A crash may come with the heap damaged, the stack used up, a lock held, or on two threads at
// once. So the envelope is formatted whenever the options, the tags or the session change; the
// crash only fills in fixed-width fields and writes what it learns into memory set aside at
// sentry_init (backends/).
// clang-format off
#include <sentry.h>
#include <windows.h>
#include <ntsecapi.h>
// clang-format on

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "backends/crash_capture_win.h"
#include "backends/crash_handler_win.h"
#include "database/database_folder_win.h"
#include "database/open_session_win.h"
#include "dsn.h"
#include "lifecycle.h"
#include "module_exports_win.h"
#include "reporter_state.h"
#include "session_end.h"
#include "system_clock_win.h"
#include "upload.h"
#include "uuid_text.h"

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

using sentry_lite::Lifecycle;

// Relative to the current directory at sentry_init when no database path is given.
constexpr char kDefaultDatabasePath[] = ".sentry-lite";

// The mutex orders the interface's calls. A crash never takes it: it reads only the published
// envelope and the atomics of the lifecycle.
std::mutex state_mutex;
sentry_options_t* running_options = nullptr;  // owned from sentry_init to sentry_shutdown
std::wstring database_folder;
sentry_lite::ReporterState state;
sentry_lite::Lifecycle lifecycle;
sentry_lite::SessionEndClaim session_end;
sentry_lite::PublishedEnvelope published;

void Assign(std::optional<std::string>& field, const char* value) {
    field = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::string NewUuid() {
    unsigned char bytes[16] = {};
    if (!RtlGenRandom(bytes, sizeof bytes)) {
        // Still unique enough to tell two reports apart.
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        const uint64_t mixed[2] = {static_cast<uint64_t>(counter.QuadPart),
                                   (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                                       static_cast<uint64_t>(sentry_lite::NowMilliseconds())};
        std::memcpy(bytes, mixed, sizeof bytes);
    }
    return sentry_lite::UuidText(bytes);
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

// A crash has been taken: the handler ends the process with the crash's code, and nothing this
// thread could still do (return, free, write a clean end) may happen before it. The lock is let
// go, for a callback that sets a tag.
[[noreturn]] void AwaitCrashEnd(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    for (;;) {
        Sleep(INFINITE);
    }
}

// Whether what the session's end would say could ever leave: the DSN gives an address.
bool SessionsCanBeSent() {
    return sentry_lite::ParseDsn(running_options->dsn.value_or("")).has_value();
}

// The session's clean end, unless a crash has claimed the session first: with the state mutex
// held. The end is kept for the upload thread only when it could ever leave; then the
// session's record goes (kept first, so no start in between takes the run for one that ended
// unseen).
void EndSession() {
    if (state.session.status != sentry_lite::SessionStatus::kOpen) {
        return;
    }
    if (!session_end.Claim(sentry_lite::SessionEnd::kExited)) {
        return;  // the crash ends it, in its report
    }
    if (SessionsCanBeSent()) {
        try {
            const int64_t ended_ms = sentry_lite::NowMilliseconds();
            sentry_lite::KeepSessionEnd(database_folder,
                                        sentry_lite::SessionEndEnvelope(state.Context(), ended_ms),
                                        ended_ms, GetCurrentProcessId());
        } catch (const std::bad_alloc&) {
            // The session goes uncounted; the run is not held up for it.
        }
    }
    sentry_lite::RemoveOpenSession();
    state.session = {};
    published.Publish(state, lifecycle);
    sentry_lite::WakeUploads();
}

void Publish() {
    published.Publish(state, lifecycle);
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
    if (running_options != nullptr || lifecycle.Now() != sentry_lite::Phase::kIdle) {
        return 1;
    }
    const std::wstring folder =
        sentry_lite::PrepareDatabaseFolder(owned->database_path.value_or(kDefaultDatabasePath));
    sentry_lite::CrashHandlerSetup setup;
    setup.folder = folder;
    setup.envelope = &published;
    setup.callback = owned->on_crash;
    setup.callback_data = owned->on_crash_data;
    setup.symbolize = owned->symbolize_stacktraces != 0;
    // Before the handler's thread, which starts the uploads when their time comes.
    sentry_lite::PrepareUploads(folder, owned->dsn.value_or(""));
    if (folder.empty() || !sentry_lite::StartCrashHandler(setup)) {
        sentry_lite::PrepareUploads({}, {});
        return 1;
    }
    database_folder = folder;
    state.event_id = NewUuid();
    state.dsn = owned->dsn;
    state.release = owned->release;
    state.environment = owned->environment;
    state.installation_id = sentry_lite::InstallationId(folder, &NewUuid);
    state.os_version = OsVersion();
    running_options = owned.release();
    Publish();
    lifecycle.Start();
    sentry_lite::InstallCapture(lifecycle, session_end);
    return 0;
}

int sentry_shutdown(void) {
    std::unique_lock<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        if (!lifecycle.BeginStop()) {
            AwaitCrashEnd(lock);
        }
        // A session still open ends here, as the SDK's shutdown ends it; its end is the last
        // thing the upload thread sends, in the time the stop gives it. A crash meanwhile is
        // still reported: nothing it uses is touched until the stop is finished.
        EndSession();
        sentry_lite::StopUploads();
        if (!lifecycle.FinishStop()) {
            AwaitCrashEnd(lock);
        }
        sentry_lite::RemoveCapture();
        sentry_lite::StopCrashHandler();
        published.Clear(lifecycle);
        delete running_options;
        running_options = nullptr;
    }
    state = {};
    return 0;
}

// Over an open session, the old one ends first, as the SDK's does. The session's record is in
// the folder before a crash can claim the session, so a crash that claims it always has the
// record to remove.
void sentry_start_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        EndSession();
    }
    state.session.status = sentry_lite::SessionStatus::kOpen;
    state.session.sid = NewUuid();
    state.session.started_ms = sentry_lite::NowMilliseconds();
    if (running_options != nullptr && SessionsCanBeSent()) {
        sentry_lite::KeepOpenSession(database_folder, state.Context());
    }
    Publish();
    session_end.Open();
}

// A crash after the end is no longer the session's: its report carries no session.
void sentry_end_session(void) {
    const std::lock_guard<std::mutex> lock(state_mutex);
    if (running_options != nullptr) {
        EndSession();
    } else {
        session_end.Claim(sentry_lite::SessionEnd::kExited);
        state.session = {};
    }
}

void sentry_set_tag(const char* key, const char* value) {
    if (key == nullptr) {
        return;
    }
    const std::lock_guard<std::mutex> lock(state_mutex);
    try {
        state.tags[key] = value != nullptr ? value : "";
    } catch (const std::bad_alloc&) {
        return;
    }
    Publish();
}

}  // extern "C"
