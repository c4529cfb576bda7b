// The telemetry plugin contract: what the launcher hands a TavroPlugin.dll and calls on it.
// The launcher's own code and every plugin build against this one header; the plugin SDK
// installs it as include/tavro/tavro_plugin.h (docs/plugins.md). It must stay usable on its
// own, with the standard library alone.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The launcher exports the special members of these records and the plugin's dispatch table;
// a plugin library links against the launcher's import library for them.
#if defined(_WIN32) && defined(TAVRO_LAUNCHER_EXPORTS)
#define TAVRO_PLUGIN_API __declspec(dllexport)
#elif defined(_WIN32)
#define TAVRO_PLUGIN_API __declspec(dllimport)
#else
#define TAVRO_PLUGIN_API
#endif

// Property name to value, both byte strings. std::string orders byte-wise with bytes compared
// as unsigned, so a name that is a prefix of another sorts first; inserting a name that is
// already present keeps its value.
using EventProperties = std::map<std::string, std::string>;

// The answer of a plugin request; the launcher itself never makes or reads one.
struct TAVRO_PLUGIN_API RequestRes {
    int32_t result_code = -1;
    int32_t detail_code = 0;
    std::vector<uint8_t> data;

    RequestRes();
    RequestRes(const RequestRes& other);
    RequestRes(RequestRes&& other) noexcept;
    ~RequestRes();
    RequestRes& operator=(const RequestRes& other);
    RequestRes& operator=(RequestRes&& other) noexcept;
};

// The telemetry plugin's object, handed out by TavroPlugin.dll's GetTavroPlugin. The launcher
// calls it through the dispatch table, so the order of these declarations is part of the
// contract with every plugin and must never change. The object belongs to the plugin library.
class TAVRO_PLUGIN_API TavroPlugin {
  public:
    TavroPlugin();
    TavroPlugin(const TavroPlugin& other);
    TavroPlugin(TavroPlugin&& other) noexcept;
    TavroPlugin& operator=(const TavroPlugin& other);
    TavroPlugin& operator=(TavroPlugin&& other) noexcept;

    // 1: the request header lines describing this client; the list stays the caller's.
    virtual void SetRequestHeaders(const std::vector<std::string>& headers) = 0;
    // 2: an empty string, the region code, an empty string, the machine GUID.
    virtual void Initialize(const std::string& first, const std::string& region,
                            const std::string& third, const std::string& machine_guid) = 0;
    // 3: writes the crash-reporting endpoint into dsn, which is passed in empty.
    virtual void GetCrashReportDsn(std::string& dsn) = 0;
    // 4, 5: never called by the launcher.
    virtual RequestRes Get(const std::string& path) = 0;
    virtual RequestRes Post(const std::string& path, const std::string& body) = 0;
    // 6: one telemetry event; the flag is true only for the crash event.
    virtual void SendEvent(const std::string& name, const EventProperties& properties,
                           bool flag) = 0;
    // 7 to 14: never called by the launcher.
    virtual void SetUserId(const std::string& user_id) = 0;
    virtual void SetLanguage(const std::string& language) = 0;
    virtual void SetCountry(const std::string& country) = 0;
    virtual RequestRes Download(const std::string& url, const std::string& path) = 0;
    virtual RequestRes Upload(const std::string& path, const std::string& url) = 0;
    virtual void SetProxy(const std::string& proxy) = 0;
    virtual void Flush() = 0;
    virtual void Shutdown() = 0;
};

// The factory that TavroPlugin.dll exports under the name GetTavroPlugin.
using GetTavroPluginFunction = TavroPlugin* (*)();
