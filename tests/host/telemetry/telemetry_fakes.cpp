#include "telemetry_fakes.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "telemetry/event_reporting.h"

std::ostream& operator<<(std::ostream& out, const PluginCall& call) {
    out << call.operation << "(";
    const char* separator = "";
    for (const std::string& argument : call.arguments) {
        out << separator << '"' << argument << '"';
        separator = ", ";
    }
    return out << ")";
}

void FakePlugin::SetRequestHeaders(const std::vector<std::string>& headers) {
    calls.push_back({"SetRequestHeaders", headers});
}

void FakePlugin::Initialize(const std::string& first, const std::string& region,
                            const std::string& third, const std::string& machine_guid) {
    calls.push_back({"Initialize", {first, region, third, machine_guid}});
}

void FakePlugin::GetCrashReportDsn(std::string& dsn) {
    calls.push_back({"GetCrashReportDsn", {dsn}});
    switch (dsn_behaviour) {
        case Dsn::kWrite:
            dsn = "https://public@telemetry.example/7";
            break;
        case Dsn::kThrowStandard:
            throw std::runtime_error("dsn unavailable");
        case Dsn::kThrowOther:
            throw 7;
    }
}

void FakePlugin::SendEvent(const std::string& name, const EventProperties& properties, bool flag) {
    PluginCall call{"SendEvent", {name}};
    for (const auto& [key, value] : properties) {
        call.arguments.push_back(key + "=" + value);
    }
    call.arguments.push_back(flag ? "flag=true" : "flag=false");
    calls.push_back(call);
}

// The launcher never calls these.
RequestRes FakePlugin::Get(const std::string&) {
    ADD_FAILURE() << "Get called";
    return {};
}
RequestRes FakePlugin::Post(const std::string&, const std::string&) {
    ADD_FAILURE() << "Post called";
    return {};
}
void FakePlugin::SetUserId(const std::string&) {
    ADD_FAILURE() << "SetUserId called";
}
void FakePlugin::SetLanguage(const std::string&) {
    ADD_FAILURE() << "SetLanguage called";
}
void FakePlugin::SetCountry(const std::string&) {
    ADD_FAILURE() << "SetCountry called";
}
RequestRes FakePlugin::Download(const std::string&, const std::string&) {
    ADD_FAILURE() << "Download called";
    return {};
}
RequestRes FakePlugin::Upload(const std::string&, const std::string&) {
    ADD_FAILURE() << "Upload called";
    return {};
}
void FakePlugin::SetProxy(const std::string&) {
    ADD_FAILURE() << "SetProxy called";
}
void FakePlugin::Flush() {
    ADD_FAILURE() << "Flush called";
}
void FakePlugin::Shutdown() {
    ADD_FAILURE() << "Shutdown called";
}

int FakeLibraries::Count(const std::string& call) const {
    int count = 0;
    for (const std::string& made : calls) {
        count += made == call ? 1 : 0;
    }
    return count;
}

FakeLibraries& Fakes() {
    static FakeLibraries fakes;
    return fakes;
}

void ResetTelemetry() {
    Fakes() = FakeLibraries{};
    PluginLoaded = false;
    PluginInstance = nullptr;
    SharingDisabled = true;
}

namespace {

// Stands in for the plugin library's GetTavroPlugin.
TavroPlugin* FakeGetTavroPlugin() {
    FakeLibraries& fakes = Fakes();
    fakes.calls.push_back("GetTavroPlugin");
    fakes.last_error = fakes.error_left_by_factory;
    switch (fakes.factory) {
        case FakeLibraries::Factory::kReturnPlugin:
            return &fakes.plugin;
        case FakeLibraries::Factory::kReturnNull:
            return nullptr;
        case FakeLibraries::Factory::kThrowStandard:
            throw std::runtime_error("no telemetry today");
        case FakeLibraries::Factory::kThrowOther:
            throw 42;
    }
    return nullptr;
}

// A handle the fake hands out; nothing dereferences it.
int fake_library;

std::string Narrow(const wchar_t* text) {
    std::string narrow;
    for (; *text != L'\0'; ++text) {
        narrow += static_cast<char>(*text);
    }
    return narrow;
}

class FakePluginLibrarySource final : public PluginLibrarySource {
  public:
    ModuleHandle LoadFromDefaultDirectories(const wchar_t* file_name) override {
        FakeLibraries& fakes = Fakes();
        fakes.calls.push_back("LoadFromDefaultDirectories " + Narrow(file_name));
        if (!fakes.in_default_directories) {
            fakes.last_error = fakes.default_directories_error;
            return nullptr;
        }
        return &fake_library;
    }
    void RemoveCurrentDirectoryFromSearch() override {
        Fakes().calls.push_back("RemoveCurrentDirectoryFromSearch");
    }
    void RestoreDefaultSearch() override { Fakes().calls.push_back("RestoreDefaultSearch"); }
    ModuleHandle LoadByFullPath(const std::wstring& path) override {
        FakeLibraries& fakes = Fakes();
        fakes.calls.push_back("LoadByFullPath " + Narrow(path.c_str()));
        if (!fakes.in_launcher_folder) {
            fakes.last_error = 126;
            return nullptr;
        }
        return &fake_library;
    }
    std::wstring LauncherPath() override {
        Fakes().calls.push_back("LauncherPath");
        return Fakes().launcher_path;
    }
    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        FakeLibraries& fakes = Fakes();
        EXPECT_EQ(module, &fake_library);
        fakes.calls.push_back(std::string("FindExport ") + name);
        if (!fakes.has_factory || std::string(name) != "GetTavroPlugin") {
            fakes.last_error = 127;
            return nullptr;
        }
        return reinterpret_cast<ExportAddress>(&FakeGetTavroPlugin);
    }
    unsigned long LastError() override { return Fakes().last_error; }
};

}  // namespace

PluginLibrarySource& SystemPluginLibrarySource() {
    static FakePluginLibrarySource source;
    return source;
}

MachineGuidValue ReadMachineGuidValue() {
    ++Fakes().machine_guid_reads;
    return Fakes().machine_guid;
}

MachineGuidValue RegistryBytes(const std::vector<uint8_t>& bytes) {
    MachineGuidValue value;
    value.read = true;
    value.bytes.reserve(bytes.size());
    value.bytes.assign(bytes.begin(), bytes.end());
    value.bytes.shrink_to_fit();
    return value;
}

MachineGuidValue RegistryValue(const std::u16string& text, bool terminated) {
    std::vector<uint8_t> bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (terminated) {
        bytes.insert(bytes.end(), {0, 0});
    }
    return RegistryBytes(bytes);
}
