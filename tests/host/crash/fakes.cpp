#include "fakes.h"

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>
#include <stdexcept>

#include "common/module_path.h"
#include "common/wide_to_utf8.h"
#include "crash/crash_reporting.h"
#include "recorder.h"
#include "telemetry/event_reporting.h"

FakeMachine machine;

std::wstring FakeVersionSource::ModulePath() {
    steps.push_back("module path");
    calls.push_back("read version resource");
    return path;
}

uint32_t FakeVersionSource::VersionInfoSize(const std::wstring& module_path) {
    steps.push_back("size");
    return module_path == path ? size : 0;
}

bool FakeVersionSource::ReadVersionInfo(const std::wstring& module_path,
                                        std::vector<uint8_t>& block) {
    steps.push_back("read " + std::to_string(block.size()));
    if (!reads || module_path != path) {
        return false;
    }
    std::fill(block.begin(), block.end(), uint8_t{0x5A});
    return true;
}

bool FakeVersionSource::QueryProductVersion(const std::vector<uint8_t>& block,
                                            ProductVersion& result) {
    steps.push_back("query");
    if (!queries || block.size() != size || block.front() != 0x5A) {
        return false;
    }
    result = version;
    return true;
}

unsigned long FakeVersionSource::LastError() {
    steps.push_back("last error");
    if (out != nullptr) {
        written_before_last_error = out->Written();
    }
    return error;
}

uint32_t FakeAdapterSource::QueryAdapters(unsigned char* list, uint32_t& size) {
    ++queries;
    calls.push_back(list == nullptr ? "adapter list size" : "adapter list");
    if (list == nullptr) {
        size = required_size;
        return size_result;
    }
    // The second query must get a buffer of the size the first one reported.
    if (size != required_size) {
        return 87;
    }
    list[0] = 0xAD;
    list[size - 1] = 0xAD;
    return list_result;
}

AdapterAddress FakeAdapterSource::FirstAdapterAddress(const unsigned char* list, uint32_t size) {
    if (size != required_size || list[0] != 0xAD) {
        return {};
    }
    return first;
}

void FakePlugin::GetCrashReportDsn(std::string& out) {
    calls.push_back("GetCrashReportDsn(" + out + ")");
    out += dsn;
    if (throws) {
        throw std::runtime_error("no endpoint");
    }
}

bool FakeDatabaseFolders::MakeFolder(const std::wstring& path) {
    steps.push_back("make " + WideToUtf8(path));
    if (all_writable || makeable.count(path) != 0) {
        existing.insert(path);
    }
    return existing.count(path) != 0;
}

bool FakeDatabaseFolders::CanWriteIn(const std::wstring& folder) {
    steps.push_back("write in " + WideToUtf8(folder));
    return all_writable || (existing.count(folder) != 0 && writable.count(folder) != 0);
}

std::wstring FakeDatabaseFolders::LocalAppData() {
    steps.push_back("local app data");
    return local_app_data;
}

void FakePlugin::SendEvent(const std::string& name, const EventProperties& properties, bool flag) {
    if (throws) {
        throw std::runtime_error("plugin failed");
    }
    events.push_back({name, properties, flag});
}

void ResetMachine() {
    machine = FakeMachine();
    calls.clear();
    sentry_init_result = 0;
    recorded_on_crash = nullptr;
    recorded_on_crash_data = nullptr;
    SharingDisabled.store(true);
    PluginLoaded = false;
    PluginInstance = nullptr;
}

void AllowSharing() {
    ReportEvent("report_bury_shared", {{"current_bury_shared", "1"}}, false);
}

void InstallPlugin(FakePlugin& plugin) {
    PluginLoaded = true;
    PluginInstance = &plugin;
}

// The link-time seams.

std::wstring GetModulePath() {
    calls.push_back("module path");
    return machine.module_path;
}

uint32_t CurrentProcessId() {
    return machine.process_id;
}

std::string QueryHostName() {
    calls.push_back("host name");
    if (!machine.host_name) {
        throw boost::system::system_error(
            boost::system::errc::make_error_code(boost::system::errc::network_down));
    }
    return *machine.host_name;
}

VersionSource& SystemVersionSource() {
    return machine.version;
}

DatabaseFolderSystem& SystemDatabaseFolders() {
    return machine.folders;
}

AdapterSource& SystemAdapterSource() {
    return machine.adapters;
}

namespace {

class AbsentPluginLibrary final : public PluginLibrarySource {
  public:
    ModuleHandle LoadFromDefaultDirectories(const wchar_t*) override {
        ++machine.plugin_loads;
        return nullptr;
    }
    void RemoveCurrentDirectoryFromSearch() override {}
    void RestoreDefaultSearch() override {}
    ModuleHandle LoadByFullPath(const std::wstring&) override { return nullptr; }
    std::wstring LauncherPath() override { return {}; }
    ExportAddress FindExport(ModuleHandle, const char*) override { return nullptr; }
    unsigned long LastError() override { return 126; }
};

}  // namespace

PluginLibrarySource& SystemPluginLibrarySource() {
    static AbsentPluginLibrary source;
    return source;
}
