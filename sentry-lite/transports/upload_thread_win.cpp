// The upload thread: a thread of its own, below normal priority, that runs the send loop over
// the database folder with the Win32 files, WinHTTP, GetTickCount64 and an event that wakes it.
// clang-format off
#include <windows.h>
// clang-format on

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "database/database_folder_win.h"
#include "database/open_session_win.h"
#include "dsn.h"
#include "transports/discard_store_win.h"
#include "transports/envelope_folder_win.h"
#include "transports/send_loop.h"
#include "transports/winhttp_transport_win.h"
#include "upload.h"
#include "utc_time.h"

namespace sentry_lite {
namespace {

// Set by a crash, for the rest of the process.
std::atomic<bool> held{false};

// An event's handle: null when it could not be made; closed when destroyed.
class EventHandle {
  public:
    EventHandle() : handle_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}
    EventHandle(const EventHandle&) = delete;
    EventHandle& operator=(const EventHandle&) = delete;
    ~EventHandle() {
        if (handle_ != nullptr) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    HANDLE handle_;
};

class EventTimer final : public SendTimer {
  public:
    explicit EventTimer(HANDLE wake) : wake_(wake) {}
    uint64_t NowMs() override { return GetTickCount64(); }
    int64_t UnixMs() override {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return UnixMillisecondsOfFileTime(now.dwHighDateTime, now.dwLowDateTime);
    }
    bool WaitForWake(uint32_t timeout_ms) override {
        return WaitForSingleObject(wake_, timeout_ms == kWaitForever ? INFINITE : timeout_ms) ==
               WAIT_OBJECT_0;
    }

  private:
    HANDLE wake_;
};

// What the thread works with. The caller's side keeps one reference, the thread another, so
// a thread left behind by StopUploads still has its state when it comes back.
struct Uploader {
    Uploader(const std::wstring& database_folder, uint32_t delay_ms)
        : path(database_folder),
          folder(database_folder),
          discards(database_folder),
          backlog_delay_ms(delay_ms) {}

    std::wstring path;
    Win32EnvelopeFolder folder;
    Win32DiscardStore discards;
    std::unique_ptr<Transport> transport;  // none when the DSN does not read
    std::string public_dsn;
    uint32_t backlog_delay_ms;
    EventHandle wake;
    StopRequest stop;
};

DWORD WINAPI UploadThread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Uploader>> owned(
        static_cast<std::shared_ptr<Uploader>*>(parameter));
    Uploader& uploader = **owned;
    // Out of the way of the launch and the viewer, which want the processor now.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    try {
        // Before the listing that caps and sends: a report restored here is sent with the
        // rest, and a session that ended unseen is counted in this run.
        SweepLeftOverReports(uploader.path);
        SettleEndedSessions(uploader.path);
        EventTimer timer(uploader.wake.get());
        SendLoop(uploader.folder, uploader.discards, uploader.transport.get(), uploader.public_dsn,
                 timer, uploader.stop, held)
            .Run(uploader.backlog_delay_ms);
    } catch (const std::bad_alloc&) {
        // What was not sent stays for the next start; this thread must not crash.
    }
    return 0;
}

// What PrepareUploads was given, until the stop; empty when there is nothing to start.
struct Prepared {
    std::wstring folder;
    std::string dsn;
};

std::mutex uploads_mutex;
Prepared prepared;
std::shared_ptr<Uploader> running;
HANDLE running_thread = nullptr;

std::shared_ptr<Uploader> MakeUploader(uint32_t backlog_delay_ms) {
    auto uploader = std::make_shared<Uploader>(prepared.folder, backlog_delay_ms);
    if (const std::optional<Dsn> dsn = ParseDsn(prepared.dsn)) {
        uploader->transport = MakeWinHttpTransport(*dsn);
        uploader->public_dsn = PublicDsnText(*dsn);
    }
    return uploader;
}

// With uploads_mutex held. `stopping`: the run is ending, and the thread's first pass is its
// last.
bool StartThread(uint32_t backlog_delay_ms, bool stopping) {
    if (running != nullptr || prepared.folder.empty()) {
        return false;
    }
    std::shared_ptr<Uploader> uploader;
    try {
        uploader = MakeUploader(backlog_delay_ms);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!uploader->wake) {
        return false;
    }
    if (stopping) {
        uploader->stop.Stop(GetTickCount64());
    }
    auto* reference = new (std::nothrow) std::shared_ptr<Uploader>(uploader);
    if (reference == nullptr) {
        return false;
    }
    running_thread = CreateThread(nullptr, 256u << 10, &UploadThread, reference,
                                  STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (running_thread == nullptr) {
        delete reference;
        return false;
    }
    running = std::move(uploader);
    return true;
}

}  // namespace

void PrepareUploads(const std::wstring& database_folder, const std::string& dsn) {
    const std::lock_guard<std::mutex> lock(uploads_mutex);
    try {
        prepared = {database_folder, dsn};
    } catch (const std::bad_alloc&) {
        prepared = {};
    }
}

bool LastRunsCrashWaits() {
    std::wstring folder;
    {
        const std::lock_guard<std::mutex> lock(uploads_mutex);
        if (prepared.folder.empty() || !ParseDsn(prepared.dsn)) {
            return false;  // nothing could be sent
        }
        folder = prepared.folder;
    }
    try {
        return LastRunsCrash(Win32EnvelopeFolder(folder).List()).has_value();
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool StartUploads(uint32_t backlog_delay_ms) {
    const std::lock_guard<std::mutex> lock(uploads_mutex);
    return StartThread(backlog_delay_ms, false);
}

void HoldUploads() {
    held = true;
}

void WakeUploads() {
    const std::lock_guard<std::mutex> lock(uploads_mutex);
    if (running != nullptr) {
        SetEvent(running->wake.get());
    }
}

void StopUploads() {
    const std::lock_guard<std::mutex> lock(uploads_mutex);
    if (running == nullptr && !StartThread(0, true)) {
        prepared = {};
        return;
    }
    prepared = {};
    running->stop.Stop(GetTickCount64());
    SetEvent(running->wake.get());
    WaitForSingleObject(running_thread, kStopPatienceMs);
    CloseHandle(running_thread);
    running_thread = nullptr;
    running.reset();
}

}  // namespace sentry_lite
