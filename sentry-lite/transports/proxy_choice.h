#pragma once

#include <optional>
#include <string>

// How the upload's WinHTTP session finds its proxy, from the Windows version and the user's own
// settings, apart from WinHTTP itself.
namespace sentry_lite {

struct WindowsVersion {
    unsigned major = 0;
    unsigned minor = 0;
};

// The current user's proxy settings, as WinHttpGetIEProxyConfigForCurrentUser gives them.
struct UserProxySettings {
    bool auto_detect = false;     // "Automatically detect settings" (WPAD)
    std::string auto_config_url;  // a PAC script's address, or empty
    std::string proxy;            // a named proxy ("host:port", or per scheme), or empty
    std::string bypass;           // the hosts it is not used for
};

enum class SessionProxy {
    kAutomatic,  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: Windows applies the user's settings
    kDefault,    // WINHTTP_ACCESS_TYPE_DEFAULT_PROXY: WinHTTP's own setting (netsh), or none
    kNamed,      // WINHTTP_ACCESS_TYPE_NAMED_PROXY with `proxy` and `bypass`
};

struct ProxyPlan {
    SessionProxy session = SessionProxy::kDefault;
    std::string proxy;
    std::string bypass;
    // Looked up for the envelope URL (WinHttpGetProxyForUrl) before the first request; the
    // session's own choice stands when that finds nothing.
    bool auto_detect = false;
    std::string auto_config_url;
};

// Windows 8.1 and later apply the user's settings themselves (automatic proxy). Before, they are
// read and applied here: detection and a PAC script looked up per URL, a named proxy as the
// session's, with the named proxy (or WinHTTP's own setting) where a lookup finds nothing;
// settings that cannot be read leave WinHTTP's own. `automatic_failed`: the session could not be
// opened with automatic proxy (a system that only claims 8.1), so the settings are applied here.
ProxyPlan ChooseProxy(WindowsVersion version, bool automatic_failed,
                      const std::optional<UserProxySettings>& settings);

// Whether WinHTTP must be asked for TLS 1.2 (WINHTTP_OPTION_SECURE_PROTOCOLS): before Windows
// 8.1 it offers TLS 1.0 alone unless asked, and the service takes nothing older than 1.2.
bool AsksForTls12(WindowsVersion version);

}  // namespace sentry_lite
