// A run of events with any names and properties, through the gate open and closed, to a
// plugin that records what reaches it and a library that is there or not at each load. A
// control event sets the gate from its "current_bury_shared" value and never reaches the
// plugin; any other event reaches it, unchanged and once, exactly when the gate is open and
// the plugin is loaded; a closed gate never loads the plugin.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "telemetry/event_reporting.h"
#include "telemetry/plugin_loader.h"

namespace {

// The event the plugin must receive, if any; compared as it arrives, so nothing is copied.
struct ExpectedEvent {
    const std::string* name = nullptr;
    const EventProperties* properties = nullptr;
    bool flag = false;
};

class RecordingPlugin final : public TavroPlugin {
  public:
    ExpectedEvent expected;
    int events = 0;

    void SendEvent(const std::string& name, const EventProperties& properties, bool flag) override {
        ++events;
        FUZZ_CHECK(expected.name != nullptr);
        FUZZ_CHECK(name == *expected.name);
        FUZZ_CHECK(properties == *expected.properties);
        FUZZ_CHECK(flag == expected.flag);
    }
    void GetCrashReportDsn(std::string& dsn) override {
        dsn = "https://public@telemetry.example/7";
    }
    void SetRequestHeaders(const std::vector<std::string>&) override { Unexpected(); }
    void Initialize(const std::string&, const std::string&, const std::string&,
                    const std::string&) override {
        Unexpected();
    }
    RequestRes Get(const std::string&) override { Unexpected(); }
    RequestRes Post(const std::string&, const std::string&) override { Unexpected(); }
    void SetUserId(const std::string&) override { Unexpected(); }
    void SetLanguage(const std::string&) override { Unexpected(); }
    void SetCountry(const std::string&) override { Unexpected(); }
    RequestRes Download(const std::string&, const std::string&) override { Unexpected(); }
    RequestRes Upload(const std::string&, const std::string&) override { Unexpected(); }
    void SetProxy(const std::string&) override { Unexpected(); }
    void Flush() override { Unexpected(); }
    void Shutdown() override { Unexpected(); }

  private:
    [[noreturn]] static void Unexpected() { FuzzCheckFailed("no other call", __FILE__, __LINE__); }
};

RecordingPlugin plugin;

TavroPlugin* Factory() {
    return &plugin;
}

// The plugin library is there or not, as the input says for each load.
class FuzzedPluginLibrary final : public PluginLibrarySource {
  public:
    bool present = false;
    int loads = 0;

    ModuleHandle LoadFromDefaultDirectories(const wchar_t*) override {
        ++loads;
        return present ? &plugin : nullptr;
    }
    void RemoveCurrentDirectoryFromSearch() override {}
    void RestoreDefaultSearch() override {}
    ModuleHandle LoadByFullPath(const std::wstring&) override { return nullptr; }
    std::wstring LauncherPath() override { return {}; }
    ExportAddress FindExport(ModuleHandle, const char* name) override {
        return std::string(name) == "GetTavroPlugin" ? reinterpret_cast<ExportAddress>(&Factory)
                                                     : nullptr;
    }
    unsigned long LastError() override { return 126; }
};

FuzzedPluginLibrary library;

std::string EventName(FuzzedDataProvider& input) {
    static const char* const kNames[] = {"report_bury_shared", "start_soft", "opengl_version",
                                         "crash_report"};
    const size_t pick = input.ConsumeIntegralInRange<size_t>(0, std::size(kNames));
    return pick < std::size(kNames) ? kNames[pick] : input.ConsumeRandomLengthString(64);
}

std::string PropertyName(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? "current_bury_shared" : input.ConsumeRandomLengthString(32);
}

std::string PropertyValue(FuzzedDataProvider& input) {
    return input.ConsumeBool() ? "0" : input.ConsumeRandomLengthString(32);
}

}  // namespace

PluginLibrarySource& SystemPluginLibrarySource() {
    return library;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The loader's lines are not under test here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    // A fresh process as far as telemetry goes, with the gate as the input says.
    PluginLoaded = false;
    PluginInstance = nullptr;
    plugin.events = 0;
    library.loads = 0;
    bool disabled = input.ConsumeBool();
    SharingDisabled.store(disabled);
    bool loaded = false;

    // A few events an input: the gate and the loader have little state to reach.
    for (int event = 0; event < 8 && input.remaining_bytes() > 0; ++event) {
        const std::string name = EventName(input);
        EventProperties properties;
        const size_t count = input.ConsumeIntegralInRange<size_t>(0, 4);
        for (size_t i = 0; i < count; ++i) {
            properties.emplace(PropertyName(input), PropertyValue(input));
        }
        const bool flag = input.ConsumeBool();
        library.present = input.ConsumeBool();

        const int events_before = plugin.events;
        const int loads_before = library.loads;
        plugin.expected = {&name, &properties, flag};
        ReportEvent(name, properties, flag);
        const int sent = plugin.events - events_before;
        const int loads = library.loads - loads_before;

        if (name == "report_bury_shared") {
            const auto value = properties.find("current_bury_shared");
            disabled = value != properties.end() && value->second == "0";
            FUZZ_CHECK(sent == 0 && loads == 0);
        } else if (disabled) {
            FUZZ_CHECK(sent == 0 && loads == 0);
        } else {
            FUZZ_CHECK(loads == (loaded ? 0 : 1));
            loaded = loaded || library.present;
            FUZZ_CHECK(sent == (loaded ? 1 : 0));
        }
        FUZZ_CHECK(SharingDisabled.load() == disabled);
        FUZZ_CHECK(PluginLoaded == loaded);
    }
    return 0;
}
