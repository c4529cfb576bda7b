#include "telemetry/plugin_loader.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "telemetry_fakes.h"

namespace {

using Factory = FakeLibraries::Factory;
using Dsn = FakePlugin::Dsn;

const std::string kLoad = "LoadFromDefaultDirectories TavroPlugin.dll";
const std::string kFind = "FindExport GetTavroPlugin";
const std::string kFactory = "GetTavroPlugin";
const PluginCall kDsnAsked{"GetCrashReportDsn", {""}};

class LoadTelemetryPluginTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetTelemetry(); }
    void TearDown() override { ResetTelemetry(); }
};

std::string LoadPluginOutput() {
    return StdoutOf(LoadTelemetryPlugin);
}

// Each failure leaves the plugin unloaded, so a second call goes through the same steps again
// and writes the same text; a line end is only where "\n<flush>" shows one.
TEST_F(LoadTelemetryPluginTest, FailuresAreWrittenExactlyAndTriedAgain) {
    enum class Instance { kNull, kPrevious, kFakePlugin };
    const struct {
        const char* name;
        std::function<void(FakeLibraries&)> arrange;
        std::string output;
        std::vector<std::string> library_calls;
        std::vector<PluginCall> plugin_calls;
        Instance instance;
    } cases[] = {
        {"library absent: nothing written",
         [](FakeLibraries& f) { f.in_default_directories = false; },
         "",
         {kLoad},
         {},
         Instance::kPrevious},
        {"no factory export",
         [](FakeLibraries& f) { f.has_factory = false; },
         "load plubgin fail:127\n<flush>",
         {kLoad, kFind},
         {},
         Instance::kPrevious},
        {"factory returns null: the null is kept",
         [](FakeLibraries& f) {
             f.factory = Factory::kReturnNull;
             f.error_left_by_factory = 1168;
         },
         "load plubgin fail:1168\n<flush>",
         {kLoad, kFind, kFactory},
         {},
         Instance::kNull},
        {"error code written as a signed number",
         [](FakeLibraries& f) {
             f.factory = Factory::kReturnNull;
             f.error_left_by_factory = 0xC0000135UL;
         },
         "load plubgin fail:-1073741515\n<flush>",
         {kLoad, kFind, kFactory},
         {},
         Instance::kNull},
        {"factory throws a standard exception: no line end",
         [](FakeLibraries& f) { f.factory = Factory::kThrowStandard; },
         "get plugin error: no telemetry today",
         {kLoad, kFind, kFactory},
         {},
         Instance::kPrevious},
        {"factory throws something else: no line end",
         [](FakeLibraries& f) { f.factory = Factory::kThrowOther; },
         "get plugin error",
         {kLoad, kFind, kFactory},
         {},
         Instance::kPrevious},
        {"GetCrashReportDsn throws a standard exception: the new object is kept",
         [](FakeLibraries& f) { f.plugin.dsn_behaviour = Dsn::kThrowStandard; },
         "get plugin error: dsn unavailable",
         {kLoad, kFind, kFactory},
         {kDsnAsked},
         Instance::kFakePlugin},
        {"GetCrashReportDsn throws something else",
         [](FakeLibraries& f) { f.plugin.dsn_behaviour = Dsn::kThrowOther; },
         "get plugin error",
         {kLoad, kFind, kFactory},
         {kDsnAsked},
         Instance::kFakePlugin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        c.arrange(Fakes());
        // What an earlier attempt left behind, to see which failures replace it.
        FakePlugin previous;
        PluginInstance = &previous;
        const TavroPlugin* expected_instance = c.instance == Instance::kNull ? nullptr
                                               : c.instance == Instance::kPrevious
                                                   ? &previous
                                                   : &Fakes().plugin;
        std::vector<std::string> library_calls;
        std::vector<PluginCall> plugin_calls;
        for (int attempt = 1; attempt <= 2; ++attempt) {
            SCOPED_TRACE(attempt);
            EXPECT_EQ(LoadPluginOutput(), c.output);
            EXPECT_FALSE(PluginLoaded);
            EXPECT_EQ(PluginInstance, expected_instance);
            library_calls.insert(library_calls.end(), c.library_calls.begin(),
                                 c.library_calls.end());
            plugin_calls.insert(plugin_calls.end(), c.plugin_calls.begin(), c.plugin_calls.end());
            EXPECT_EQ(Fakes().calls, library_calls);
            EXPECT_EQ(Fakes().plugin.calls, plugin_calls);
        }
        EXPECT_TRUE(previous.calls.empty());
    }
}

TEST_F(LoadTelemetryPluginTest, SuccessIsWrittenOnceAndTheDsnAskedOnce) {
    EXPECT_EQ(LoadPluginOutput(), "load plubgin success\n<flush>");
    EXPECT_TRUE(PluginLoaded);
    EXPECT_EQ(PluginInstance, &Fakes().plugin);
    EXPECT_EQ(Fakes().calls, (std::vector<std::string>{kLoad, kFind, kFactory}));
    EXPECT_EQ(Fakes().plugin.calls, std::vector<PluginCall>{kDsnAsked});

    for (int again = 0; again < 3; ++again) {
        EXPECT_EQ(LoadPluginOutput(), "");
    }
    EXPECT_EQ(Fakes().calls.size(), 3u) << "no further load, lookup or factory call";
    EXPECT_EQ(Fakes().plugin.calls.size(), 1u);
}

TEST_F(LoadTelemetryPluginTest, LoadsOnceTheFailureIsGone) {
    Fakes().factory = Factory::kThrowStandard;
    EXPECT_EQ(LoadPluginOutput(), "get plugin error: no telemetry today");
    Fakes().factory = Factory::kReturnPlugin;
    Fakes().plugin.dsn_behaviour = Dsn::kThrowOther;
    EXPECT_EQ(LoadPluginOutput(), "get plugin error");
    EXPECT_FALSE(PluginLoaded);

    Fakes().plugin.dsn_behaviour = Dsn::kWrite;
    EXPECT_EQ(LoadPluginOutput(), "load plubgin success\n<flush>");
    EXPECT_EQ(LoadPluginOutput(), "");
    EXPECT_TRUE(PluginLoaded);
    EXPECT_EQ(Fakes().Count(kLoad), 3);
    EXPECT_EQ(Fakes().Count(kFactory), 3);
    EXPECT_EQ(Fakes().plugin.calls, (std::vector<PluginCall>{kDsnAsked, kDsnAsked}));
}

// Only a system that rejects the safe search flag gets the fallback: TavroPlugin.dll by the full
// path of the launcher's folder, never a bare name that PATH could answer, with the current
// directory out of the search for that load only.
TEST_F(LoadTelemetryPluginTest, FallsBackToTheLauncherFolderOnlyWhenTheFlagIsRejected) {
    const std::string kPath = "LauncherPath";
    const std::string kRemove = "RemoveCurrentDirectoryFromSearch";
    const std::string kFullLoad = "LoadByFullPath C:\\Viewer\\TavroPlugin.dll";
    const std::string kRestore = "RestoreDefaultSearch";
    const struct {
        const char* name;
        unsigned long error;
        bool in_launcher_folder;
        std::vector<std::string> library_calls;
        std::string output;
    } cases[] = {
        {"flag rejected, found in the launcher folder",
         87,
         true,
         {kLoad, kPath, kRemove, kFullLoad, kRestore, kFind, kFactory},
         "load plubgin success\n<flush>"},
        {"flag rejected, not in the launcher folder either",
         87,
         false,
         {kLoad, kPath, kRemove, kFullLoad, kRestore},
         ""},
        {"not found: no fallback", 126, true, {kLoad}, ""},
        {"access denied: no fallback", 5, true, {kLoad}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        Fakes().in_default_directories = false;
        Fakes().default_directories_error = c.error;
        Fakes().in_launcher_folder = c.in_launcher_folder;
        EXPECT_EQ(LoadPluginOutput(), c.output);
        EXPECT_EQ(Fakes().calls, c.library_calls);
    }
    // Tried again at the next call, the same way.
    ResetTelemetry();
    Fakes().in_default_directories = false;
    Fakes().default_directories_error = 87;
    EXPECT_EQ(LoadPluginOutput() + LoadPluginOutput(), "");
    EXPECT_EQ(Fakes().Count(kFullLoad), 2);
}

// The fallback's path is the launcher's folder, up to its last backslash, however long, and
// the file name; a path with no folder in it loads nothing rather than a bare name.
TEST_F(LoadTelemetryPluginTest, FallbackPathIsBuiltFromTheLauncherFolder) {
    const std::wstring deep = L"D:\\" + std::wstring(40, L'x') + L"\\";
    std::wstring very_deep = deep;
    while (very_deep.size() < 33000) {
        very_deep += std::wstring(200, L'y') + L"\\";
    }
    const struct {
        const char* name;
        std::wstring launcher_path;
        std::vector<std::string> loads;
    } cases[] = {
        {"ordinary",
         L"C:\\Program Files\\Viewer\\tavro-gcodeviewer.exe",
         {"LoadByFullPath C:\\Program Files\\Viewer\\TavroPlugin.dll"}},
        {"root of a drive", L"E:\\tavro-gcodeviewer.exe", {"LoadByFullPath E:\\TavroPlugin.dll"}},
        {"deeper than MAX_PATH",
         very_deep + L"tavro-gcodeviewer.exe",
         {"LoadByFullPath " + std::string(very_deep.begin(), very_deep.end()) + "TavroPlugin.dll"}},
        {"no folder", L"tavro-gcodeviewer.exe", {}},
        {"path not read", L"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        Fakes().in_default_directories = false;
        Fakes().default_directories_error = 87;
        Fakes().launcher_path = c.launcher_path;
        EXPECT_EQ(LoadPluginOutput(), "");
        std::vector<std::string> loads;
        for (const std::string& call : Fakes().calls) {
            if (call.rfind("LoadByFullPath ", 0) == 0) {
                loads.push_back(call);
            }
        }
        EXPECT_EQ(loads, c.loads);
    }
}

}  // namespace
