#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "crash/database_folder.h"
#include "crash/machine_identity.h"
#include "crash/release_version.h"
#include "support/stdio_capture.h"
#include "tavro/tavro_plugin.h"
#include "telemetry/plugin_loader.h"

// A version resource as the fake source holds it; each step can be made to fail.
class FakeVersionSource final : public VersionSource {
  public:
    std::wstring path = L"D:\\Apps\\Viewer\\tavro-gcodeviewer.exe";
    uint32_t size = 1024;
    bool reads = true;
    bool queries = true;
    ProductVersion version{0x00010005, 0x001B0000};
    unsigned long error = 0;
    // Where the failure line goes, so LastError can see what was written before it.
    const StdioCapture* out = nullptr;
    std::string written_before_last_error;
    std::vector<std::string> steps;

    std::wstring ModulePath() override;
    uint32_t VersionInfoSize(const std::wstring& module_path) override;
    bool ReadVersionInfo(const std::wstring& module_path, std::vector<uint8_t>& block) override;
    bool QueryProductVersion(const std::vector<uint8_t>& block, ProductVersion& result) override;
    unsigned long LastError() override;
};

// The first adapter query's answer, the list the second one fills, and its first record.
class FakeAdapterSource final : public AdapterSource {
  public:
    uint32_t size_result = 111;
    uint32_t required_size = 640;
    uint32_t list_result = 0;
    AdapterAddress first;
    int queries = 0;

    uint32_t QueryAdapters(unsigned char* list, uint32_t& size) override;
    AdapterAddress FirstAdapterAddress(const unsigned char* list, uint32_t size) override;
};

// Folders as a set of paths: those that exist, those that can be made, those a file can be
// written in. Records each question.
class FakeDatabaseFolders final : public DatabaseFolderSystem {
  public:
    std::set<std::wstring> existing;
    std::set<std::wstring> makeable;
    std::set<std::wstring> writable;
    std::wstring local_app_data;
    // Every folder exists and takes files: a launcher in a folder of its user's, as most are.
    bool all_writable = true;
    std::vector<std::string> steps;

    bool MakeFolder(const std::wstring& path) override;
    bool CanWriteIn(const std::wstring& folder) override;
    std::wstring LocalAppData() override;
};

class FakePlugin final : public TavroPlugin {
  public:
    std::string dsn;
    bool throws = false;
    struct Event {
        std::string name;
        EventProperties properties;
        bool flag;
    };
    std::vector<Event> events;

    void SetRequestHeaders(const std::vector<std::string>&) override {}
    void Initialize(const std::string&, const std::string&, const std::string&,
                    const std::string&) override {}
    void GetCrashReportDsn(std::string& out) override;
    RequestRes Get(const std::string&) override { return {}; }
    RequestRes Post(const std::string&, const std::string&) override { return {}; }
    void SendEvent(const std::string& name, const EventProperties& properties, bool flag) override;
    void SetUserId(const std::string&) override {}
    void SetLanguage(const std::string&) override {}
    void SetCountry(const std::string&) override {}
    RequestRes Download(const std::string&, const std::string&) override { return {}; }
    RequestRes Upload(const std::string&, const std::string&) override { return {}; }
    void SetProxy(const std::string&) override {}
    void Flush() override {}
    void Shutdown() override {}
};

// What the link-time seams of this test program give: the module path, the process id, the
// host name (none: the query raises), the version and adapter sources, and the plugin
// library (never found; a test installs a loaded plugin itself).
struct FakeMachine {
    std::wstring module_path = L"D:\\Apps\\Viewer\\tavro-gcodeviewer.exe";
    uint32_t process_id = 908;
    std::optional<std::string> host_name = std::string("VIEWER-PC");
    FakeVersionSource version;
    FakeAdapterSource adapters;
    FakeDatabaseFolders folders;
    int plugin_loads = 0;
};
extern FakeMachine machine;

// A fresh machine, an empty log, sharing disabled and no plugin loaded: the state of a run.
void ResetMachine();
// Opens the sharing gate with the control event, as only a plugin's host would.
void AllowSharing();
// Makes the plugin count as loaded, so the loader hands it out without loading a library.
void InstallPlugin(FakePlugin& plugin);
