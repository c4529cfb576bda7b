#include "transports/winhttp_transport_win.h"

// clang-format off
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <optional>
#include <string>
#include <utility>

#include "ascii_names.h"
#include "module_exports_win.h"
#include "transports/proxy_choice.h"

namespace sentry_lite {
namespace {

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
    // Only for the proxy before Windows 8.1: a WinHTTP without them sends directly.
    decltype(&WinHttpGetIEProxyConfigForCurrentUser) user_proxy_config = nullptr;
    decltype(&WinHttpGetProxyForUrl) proxy_for_url = nullptr;
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
    FindExport(module, "WinHttpGetIEProxyConfigForCurrentUser", api.user_proxy_config);
    FindExport(module, "WinHttpGetProxyForUrl", api.proxy_for_url);
    return api;
}

// Loaded once, by whichever upload thread first needs it; never freed.
const WinHttp& Api() {
    static const WinHttp api = LoadWinHttp();
    return api;
}

// The version Windows really is: GetVersionEx answers 6.2 to a module without a manifest.
WindowsVersion RunningWindows() {
    using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
    RtlGetVersionFunction get_version = nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!FindExport(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion", get_version) ||
        get_version(&info) != 0) {
        return {};
    }
    return {info.dwMajorVersion, info.dwMinorVersion};
}

// A text WinHTTP allocated, taken and freed.
std::wstring TakeGlobal(wchar_t* text) {
    std::wstring taken = text != nullptr ? text : L"";
    if (text != nullptr) {
        GlobalFree(text);
    }
    return taken;
}

std::string NarrowText(const std::wstring& text) {
    std::string narrow;
    for (const wchar_t c : text) {
        narrow += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return narrow;
}

std::optional<UserProxySettings> ReadUserProxySettings() {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    if (Api().user_proxy_config == nullptr || !Api().user_proxy_config(&config)) {
        return std::nullopt;
    }
    UserProxySettings settings;
    settings.auto_detect = config.fAutoDetect != FALSE;
    settings.auto_config_url = NarrowText(TakeGlobal(config.lpszAutoConfigUrl));
    settings.proxy = NarrowText(TakeGlobal(config.lpszProxy));
    settings.bypass = NarrowText(TakeGlobal(config.lpszProxyBypass));
    return settings;
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

class WinHttpTransport final : public Transport {
  public:
    explicit WinHttpTransport(const Dsn& dsn)
        : url_(WidenAscii(EnvelopeUrl(dsn))),
          secure_(dsn.secure),
          port_(dsn.port),
          user_agent_(WidenAscii(ClientName())),
          host_(WidenAscii(dsn.host)),
          path_(WidenAscii(EnvelopePath(dsn))),
          headers_(WidenAscii("X-Sentry-Auth: " + AuthHeaderValue(dsn, ClientName()) +
                              "\r\nContent-Type: application/x-sentry-envelope\r\n")) {}

    HttpOutcome Post(std::string& body, uint32_t within_ms) override;

  private:
    bool Connect();
    bool OpenSession();
    void ApplyProxy(HINTERNET request);

    std::wstring url_;
    ProxyPlan proxy_;
    bool proxy_looked_up_ = false;
    std::optional<WINHTTP_PROXY_INFO> found_proxy_;
    std::wstring found_proxy_name_;
    std::wstring found_proxy_bypass_;
    bool secure_;
    INTERNET_PORT port_;
    std::wstring user_agent_;
    std::wstring host_;
    std::wstring path_;
    std::wstring headers_;
    InternetHandle session_;
    InternetHandle connection_;
};

bool WinHttpTransport::Connect() {
    if (connection_) {
        return true;
    }
    const WinHttp& api = Api();
    if (!api.loaded) {
        return false;
    }
    if (!session_ && !OpenSession()) {
        return false;
    }
    connection_ = InternetHandle(api.connect(session_.get(), host_.c_str(), port_, 0));
    return static_cast<bool>(connection_);
}

// With the user's proxy settings (ChooseProxy), and TLS 1.2 asked for where WinHTTP would not
// offer it.
bool WinHttpTransport::OpenSession() {
    const WinHttp& api = Api();
    const WindowsVersion version = RunningWindows();
    proxy_ = ChooseProxy(version, false, std::nullopt);
    if (proxy_.session == SessionProxy::kAutomatic) {
        session_ = InternetHandle(api.open(user_agent_.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                           WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
        if (!session_) {
            proxy_ = ChooseProxy(version, true, ReadUserProxySettings());
        }
    } else {
        proxy_ = ChooseProxy(version, false, ReadUserProxySettings());
    }
    if (!session_) {
        const std::wstring proxy(proxy_.proxy.begin(), proxy_.proxy.end());
        const std::wstring bypass(proxy_.bypass.begin(), proxy_.bypass.end());
        const bool named = proxy_.session == SessionProxy::kNamed;
        session_ = InternetHandle(
            api.open(user_agent_.c_str(),
                     named ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                     named ? proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                     named && !bypass.empty() ? bypass.c_str() : WINHTTP_NO_PROXY_BYPASS, 0));
    }
    if (!session_ || !api.set_timeouts(session_.get(), kResolveTimeoutMs, kConnectTimeoutMs,
                                       kSendTimeoutMs, kReceiveTimeoutMs)) {
        session_ = InternetHandle();
        return false;
    }
    if (AsksForTls12(version)) {
        // A Windows 7 without the update that knows the option refuses it: it sends as before.
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_1 |
                          WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        api.set_option(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                       sizeof protocols);
    }
    return true;
}

// Detection and a PAC script are looked up once a run (detection can take seconds); what they
// find is the proxy of every request, and the session's own stands when they find nothing.
void WinHttpTransport::ApplyProxy(HINTERNET request) {
    const WinHttp& api = Api();
    if (!proxy_looked_up_ && (proxy_.auto_detect || !proxy_.auto_config_url.empty()) &&
        api.proxy_for_url != nullptr) {
        proxy_looked_up_ = true;
        const std::wstring pac(proxy_.auto_config_url.begin(), proxy_.auto_config_url.end());
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = (proxy_.auto_detect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) |
                          (pac.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
        options.dwAutoDetectFlags =
            proxy_.auto_detect ? WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A : 0;
        options.lpszAutoConfigUrl = pac.empty() ? nullptr : pac.c_str();
        options.fAutoLogonIfChallenged = TRUE;
        WINHTTP_PROXY_INFO info{};
        if (api.proxy_for_url(session_.get(), url_.c_str(), &options, &info)) {
            found_proxy_name_ = TakeGlobal(info.lpszProxy);
            found_proxy_bypass_ = TakeGlobal(info.lpszProxyBypass);
            info.lpszProxy = found_proxy_name_.empty() ? nullptr : found_proxy_name_.data();
            info.lpszProxyBypass =
                found_proxy_bypass_.empty() ? nullptr : found_proxy_bypass_.data();
            found_proxy_ = info;
        }
    }
    if (found_proxy_) {
        api.set_option(request, WINHTTP_OPTION_PROXY, &*found_proxy_, sizeof *found_proxy_);
    }
}

HttpOutcome WinHttpTransport::Post(std::string& body, uint32_t within_ms) {
    HttpOutcome outcome;
    if (!Connect()) {
        return outcome;
    }
    const WinHttp& api = Api();
    const InternetHandle request(
        api.open_request(connection_.get(), L"POST", path_.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, secure_ ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        return outcome;
    }
    // A redirect would take the report somewhere the DSN does not name.
    DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    api.set_option(request.get(), WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never);
    if (within_ms != UINT32_MAX) {
        // The steps' time-outs add up to what the caller can wait.
        const int step = static_cast<int>(within_ms / 6);
        api.set_timeouts(request.get(), step, step, 2 * step, 2 * step);
    }
    ApplyProxy(request.get());
    const auto size = static_cast<DWORD>(body.size());
    if (!api.send_request(request.get(), headers_.c_str(), static_cast<DWORD>(headers_.size()),
                          body.data(), size, size, 0)) {
        connection_ = InternetHandle();  // may be broken: a new one for the next
        return outcome;
    }
    outcome.body_sent = true;
    if (!api.receive_response(request.get(), nullptr)) {
        connection_ = InternetHandle();
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

}  // namespace

std::unique_ptr<Transport> MakeWinHttpTransport(const Dsn& dsn) {
    return std::make_unique<WinHttpTransport>(dsn);
}

}  // namespace sentry_lite
