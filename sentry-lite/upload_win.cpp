// The upload thread: sends the envelopes of the database folder with WinHTTP, oldest first,
// and removes each the server has taken. WinHTTP is loaded from System32 the first time an
// envelope is sent, so sentry.dll does not import it and a start with nothing to send never
// loads it.
//
// An envelope is opened with no sharing for as long as it is sent: another process of the
// viewer that lists the same folder cannot open it meanwhile, and finds it gone afterwards
// when the server took it, so no two processes send one file. It is removed through that
// handle right after a 2xx, before anything else happens to it.
// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dsn.h"
#include "envelope.h"
#include "module_exports_win.h"
#include "upload.h"
#include "upload_policy.h"

namespace sentry_lite {
namespace {

// How long after the start the first envelope waits, unless the run ends sooner: the launch
// and the viewer's own start are over by then.
constexpr DWORD kSendDelayMs = 2000;
// Set by a crash, for the rest of the process.
std::atomic<bool> held{false};

// Every step of a request is bounded, so the thread of a long run never hangs on a server.
constexpr int kResolveTimeoutMs = 5000;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 10000;
constexpr int kReceiveTimeoutMs = 10000;

struct WinHttp {
    decltype(&WinHttpOpen) open = nullptr;
    decltype(&WinHttpConnect) connect = nullptr;
    decltype(&WinHttpOpenRequest) open_request = nullptr;
    decltype(&WinHttpSetTimeouts) set_timeouts = nullptr;
    decltype(&WinHttpSetOption) set_option = nullptr;
    decltype(&WinHttpSendRequest) send_request = nullptr;
    decltype(&WinHttpReceiveResponse) receive_response = nullptr;
    decltype(&WinHttpQueryHeaders) query_headers = nullptr;
    decltype(&WinHttpCloseHandle) close_handle = nullptr;
    bool loaded = false;
};

// From System32 only: a winhttp.dll beside the launcher or in the current folder must never
// be the one that sees the reports. A Windows without the safe-search flags takes the full
// path instead.
HMODULE LoadFromSystem32(const wchar_t* name) {
    const HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) {
        return module;
    }
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    const std::wstring path = std::wstring(folder, length) + L"\\" + name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

WinHttp LoadWinHttp() {
    WinHttp api;
    const HMODULE module = LoadFromSystem32(L"winhttp.dll");
    api.loaded = FindExport(module, "WinHttpOpen", api.open) &&
                 FindExport(module, "WinHttpConnect", api.connect) &&
                 FindExport(module, "WinHttpOpenRequest", api.open_request) &&
                 FindExport(module, "WinHttpSetTimeouts", api.set_timeouts) &&
                 FindExport(module, "WinHttpSetOption", api.set_option) &&
                 FindExport(module, "WinHttpSendRequest", api.send_request) &&
                 FindExport(module, "WinHttpReceiveResponse", api.receive_response) &&
                 FindExport(module, "WinHttpQueryHeaders", api.query_headers) &&
                 FindExport(module, "WinHttpCloseHandle", api.close_handle);
    return api;
}

// Loaded once, by whichever upload thread first needs it; never freed.
const WinHttp& Api() {
    static const WinHttp api = LoadWinHttp();
    return api;
}

class InternetHandle {
  public:
    explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    InternetHandle& operator=(InternetHandle&& other) noexcept {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~InternetHandle() {
        if (handle_ != nullptr) {
            Api().close_handle(handle_);
        }
    }
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    HINTERNET handle_;
};

// A file's or an event's handle: the calls that make them fail with INVALID_HANDLE_VALUE and
// null respectively, and neither is closed.
class KernelHandle {
  public:
    explicit KernelHandle(HANDLE handle) : handle_(handle) {}
    KernelHandle(const KernelHandle&) = delete;
    KernelHandle& operator=(const KernelHandle&) = delete;
    ~KernelHandle() {
        if (*this) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE handle_;
};

// The DSN's parts are ASCII (the parser takes nothing else), and so are the names of the
// envelopes this reporter writes.
std::wstring WidenAscii(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::optional<std::string> NarrowAscii(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        if (*text >= 0x80) {
            return std::nullopt;
        }
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

// What the thread works with. The caller's side keeps one reference, the thread another, so
// a thread left behind by StopUploads still has its state when it comes back.
struct Uploader {
    std::wstring folder;
    std::optional<Dsn> dsn;
    std::wstring user_agent;
    std::wstring host;
    std::wstring path;
    std::wstring headers;
    KernelHandle wake{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    // Set by StopUploads: what is pending goes in one last pass, until the deadline (on
    // GetTickCount64), which is stored first.
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> stop_deadline_ms{0};
    // The thread's alone.
    SendRun run;
    InternetHandle session;
    InternetHandle connection;
};

std::vector<PendingEnvelope> ListEnvelopes(const std::wstring& folder) {
    std::vector<PendingEnvelope> found;
    WIN32_FIND_DATAW data;
    const HANDLE search =
        FindFirstFileExW((folder + L"\\*.envelope").c_str(), FindExInfoBasic, &data,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (search == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        const std::optional<std::string> name = NarrowAscii(data.cFileName);
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name) {
            found.push_back(
                {*name, UnixMillisecondsOfFileTime(data.ftLastWriteTime.dwHighDateTime,
                                                   data.ftLastWriteTime.dwLowDateTime)});
        }
    } while (FindNextFileW(search, &data) != 0);
    FindClose(search);
    return found;
}

bool Connect(Uploader& uploader) {
    if (uploader.connection) {
        return true;
    }
    const WinHttp& api = Api();
    if (!api.loaded) {
        return false;
    }
    if (!uploader.session) {
        uploader.session =
            InternetHandle(api.open(uploader.user_agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!uploader.session ||
            !api.set_timeouts(uploader.session.get(), kResolveTimeoutMs, kConnectTimeoutMs,
                              kSendTimeoutMs, kReceiveTimeoutMs)) {
            return false;
        }
    }
    uploader.connection = InternetHandle(
        api.connect(uploader.session.get(), uploader.host.c_str(), uploader.dsn->port, 0));
    return static_cast<bool>(uploader.connection);
}

std::optional<std::string> QueryHeader(HINTERNET request, DWORD query, const wchar_t* name) {
    DWORD size = 0;
    Api().query_headers(request, query, name, WINHTTP_NO_OUTPUT_BUFFER, &size,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return std::nullopt;
    }
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (!Api().query_headers(request, query, name, value.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    std::string narrow;
    for (size_t i = 0; i < size / sizeof(wchar_t); ++i) {
        narrow += value[i] < 0x80 ? static_cast<char>(value[i]) : '?';
    }
    return narrow;
}

HttpOutcome Post(Uploader& uploader, std::string& body) {
    HttpOutcome outcome;
    if (!Connect(uploader)) {
        return outcome;
    }
    const WinHttp& api = Api();
    const InternetHandle request(api.open_request(
        uploader.connection.get(), L"POST", uploader.path.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, uploader.dsn->secure ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return outcome;
    }
    // A redirect would take the report somewhere the DSN does not name.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    api.set_option(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    const auto size = static_cast<DWORD>(body.size());
    if (!api.send_request(request.get(), uploader.headers.c_str(),
                          static_cast<DWORD>(uploader.headers.size()), body.data(), size, size,
                          0) ||
        !api.receive_response(request.get(), nullptr)) {
        uploader.connection = InternetHandle();  // may be broken: a new one for the next
        return outcome;
    }
    DWORD status = 0;
    DWORD status_size = sizeof status;
    if (!api.query_headers(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &status_size,
                           WINHTTP_NO_HEADER_INDEX)) {
        return outcome;
    }
    outcome.answered = true;
    outcome.status = static_cast<int>(status);
    outcome.retry_after =
        QueryHeader(request.get(), WINHTTP_QUERY_RETRY_AFTER, WINHTTP_HEADER_NAME_BY_INDEX);
    outcome.rate_limits = QueryHeader(request.get(), WINHTTP_QUERY_CUSTOM, L"X-Sentry-Rate-Limits");
    return outcome;
}

bool ReadWhole(HANDLE file, uint64_t size, std::string& body) {
    body.resize(static_cast<size_t>(size));
    for (size_t done = 0; done < body.size();) {
        DWORD read = 0;
        const auto chunk = static_cast<DWORD>(std::min<size_t>(body.size() - done, 1u << 20));
        if (ReadFile(file, body.data() + done, chunk, &read, nullptr) == 0 || read == 0) {
            return false;
        }
        done += read;
    }
    return true;
}

bool Remove(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Sends one envelope; whether to go on with the next. A file that another process has open,
// that is gone, or that could not be removed after a success (read-only), is passed over
// without a request.
bool SendFile(Uploader& uploader, const std::wstring& path) {
    const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ | DELETE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!file || GetFileInformationByHandle(file.get(), &information) == 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return true;
    }
    const uint64_t size =
        (static_cast<uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    std::string body;
    if (size > kMaxEnvelopeBytes || !ReadWhole(file.get(), size, body)) {
        return true;
    }
    if (held.load()) {
        return false;  // the process is crashing: what it has not sent waits for the next start
    }
    const HttpOutcome outcome = Post(uploader, body);
    const FileDecision decision =
        uploader.run.Record(outcome, static_cast<int64_t>(GetTickCount64()));
    if (decision.remove && !Remove(file.get())) {
        uploader.run.Halt();  // before anything else sends it again
        return false;
    }
    return decision.go_on;
}

void RunPass(Uploader& uploader, bool send) {
    const size_t budget = uploader.dsn && send ? uploader.run.Budget() : 0;
    const QueuePlan plan = PlanQueue(ListEnvelopes(uploader.folder), kKeptEnvelopes, budget);
    for (const std::string& name : plan.remove) {
        DeleteFileW((uploader.folder + L"\\" + WidenAscii(name)).c_str());
    }
    for (const std::string& name : plan.send) {
        const uint64_t now = GetTickCount64();
        if ((uploader.stopping.load() && now >= uploader.stop_deadline_ms.load()) ||
            !uploader.run.MayPost(static_cast<int64_t>(now)) ||
            !SendFile(uploader, uploader.folder + L"\\" + WidenAscii(name))) {
            return;
        }
    }
}

DWORD WINAPI UploadThread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Uploader>> owned(
        static_cast<std::shared_ptr<Uploader>*>(parameter));
    Uploader& uploader = **owned;
    // Out of the way of the launch and the viewer, which want the processor now.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    try {
        // The cap first, at once and whatever the DSN: a run that ends at once (a crash loop)
        // still keeps the folder from filling.
        RunPass(uploader, false);
        if (!uploader.dsn) {
            return 0;
        }
        // Sending waits for the launch to be over: loading WinHTTP (and the libraries it
        // loads) holds the loader lock, which the hand-off's own loads would wait for. The
        // stop, or a new envelope, ends the wait early.
        WaitForSingleObject(uploader.wake.get(), kSendDelayMs);
        // A pass that started after the stop is the last: it sends what the end of the run
        // left (the session's end) while the stop waits for it.
        while (true) {
            const bool last = uploader.stopping.load();
            RunPass(uploader, true);
            if (last || uploader.run.Budget() == 0 ||
                WaitForSingleObject(uploader.wake.get(), INFINITE) != WAIT_OBJECT_0) {
                break;
            }
        }
    } catch (const std::bad_alloc&) {
        // What was not sent stays for the next start; this thread must not crash.
    }
    return 0;
}

std::mutex uploads_mutex;
std::shared_ptr<Uploader> running;
HANDLE running_thread = nullptr;

std::shared_ptr<Uploader> MakeUploader(const std::wstring& folder, const std::string& dsn_text) {
    auto uploader = std::make_shared<Uploader>();
    uploader->folder = folder;
    uploader->dsn = ParseDsn(dsn_text);
    uploader->user_agent = WidenAscii(ClientName());
    if (uploader->dsn) {
        uploader->host = WidenAscii(uploader->dsn->host);
        uploader->path = WidenAscii(EnvelopePath(*uploader->dsn));
        uploader->headers =
            WidenAscii("X-Sentry-Auth: " + AuthHeaderValue(*uploader->dsn, ClientName()) +
                       "\r\nContent-Type: application/x-sentry-envelope\r\n");
    }
    return uploader;
}

}  // namespace

bool StartUploads(const std::wstring& database_folder, const std::string& dsn) {
    const std::lock_guard<std::mutex> lock(uploads_mutex);
    if (running != nullptr || database_folder.empty()) {
        return false;
    }
    std::shared_ptr<Uploader> uploader;
    try {
        uploader = MakeUploader(database_folder, dsn);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!uploader->wake) {
        return false;
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
    if (running == nullptr) {
        return;
    }
    running->stop_deadline_ms = GetTickCount64() + kStopPatienceMs;
    running->stopping = true;
    SetEvent(running->wake.get());
    WaitForSingleObject(running_thread, kStopPatienceMs);
    CloseHandle(running_thread);
    running_thread = nullptr;
    running.reset();
}

}  // namespace sentry_lite
