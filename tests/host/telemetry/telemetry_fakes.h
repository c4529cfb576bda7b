#pragma once

// Fakes behind the telemetry seams, shared by the telemetry test program: a plugin object
// that records what it is asked, the plugin library source and the registry value (both
// link-time seams, defined in telemetry_fakes.cpp), and a capture of std::cout that shows
// where the stream was flushed.

#include <cstdint>
#include <string>
#include <vector>

#include "support/stdio_capture.h"
#include "telemetry/plugin_loader.h"
#include "telemetry/telemetry_setup.h"

struct PluginCall {
    std::string operation;
    std::vector<std::string> arguments;

    bool operator==(const PluginCall& other) const {
        return operation == other.operation && arguments == other.arguments;
    }
};
std::ostream& operator<<(std::ostream& out, const PluginCall& call);

// Records every call in order. SendEvent's arguments are the name, each property as
// "name=value" in the order the plugin sees them, then "flag=true" or "flag=false".
class FakePlugin final : public TavroPlugin {
  public:
    enum class Dsn { kWrite, kThrowStandard, kThrowOther };
    Dsn dsn_behaviour = Dsn::kWrite;
    std::vector<PluginCall> calls;

    void SetRequestHeaders(const std::vector<std::string>& headers) override;
    void Initialize(const std::string& first, const std::string& region, const std::string& third,
                    const std::string& machine_guid) override;
    void GetCrashReportDsn(std::string& dsn) override;
    RequestRes Get(const std::string& path) override;
    RequestRes Post(const std::string& path, const std::string& body) override;
    void SendEvent(const std::string& name, const EventProperties& properties, bool flag) override;
    void SetUserId(const std::string& user_id) override;
    void SetLanguage(const std::string& language) override;
    void SetCountry(const std::string& country) override;
    RequestRes Download(const std::string& url, const std::string& path) override;
    RequestRes Upload(const std::string& path, const std::string& url) override;
    void SetProxy(const std::string& proxy) override;
    void Flush() override;
    void Shutdown() override;
};

// What the fake library layer finds and how its factory behaves.
struct FakeLibraries {
    enum class Factory { kReturnPlugin, kReturnNull, kThrowStandard, kThrowOther };

    // Found by the search that leaves out the current directory and PATH.
    bool in_default_directories = true;
    // The error of a failed search: 87 is what a system without the search flag gives.
    unsigned long default_directories_error = 126;
    // The launcher's path as the fallback reads it, and whether TavroPlugin.dll is in its folder.
    std::wstring launcher_path = L"C:\\Viewer\\tavro-gcodeviewer.exe";
    bool in_launcher_folder = false;
    bool has_factory = true;
    Factory factory = Factory::kReturnPlugin;
    // What GetLastError gives after the factory has run.
    unsigned long error_left_by_factory = 0;

    FakePlugin plugin;
    // Library-level calls in order, e.g. "LoadFromDefaultDirectories TavroPlugin.dll",
    // "LoadByFullPath C:\Viewer\TavroPlugin.dll",
    // "FindExport GetTavroPlugin", "GetTavroPlugin" (the factory itself).
    std::vector<std::string> calls;
    unsigned long last_error = 0;

    MachineGuidValue machine_guid;
    int machine_guid_reads = 0;

    int Count(const std::string& call) const;
};

FakeLibraries& Fakes();

// A fresh process as far as telemetry is concerned: no plugin loaded, sharing disabled, and
// default fakes (the plugin library present and working, no GUID).
void ResetTelemetry();

// The registry value as RegQueryValueExW returns it for the given UTF-16 code units, with a
// terminating NUL unless told otherwise. Its capacity is its size, so a read past the end
// is a heap overflow that the sanitizer build reports.
MachineGuidValue RegistryValue(const std::u16string& text, bool terminated = true);
MachineGuidValue RegistryBytes(const std::vector<uint8_t>& bytes);
