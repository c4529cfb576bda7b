#include "crash/crash_reporting.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "crash/crash_callback.h"
#include "fakes.h"
#include "recorder.h"

namespace {

using Calls = std::vector<std::string>;

class SetUpCrashReportingTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetMachine(); }

    Calls SetUpAndRecord() {
        testing::internal::CaptureStdout();
        SetUpCrashReporting();
        output = testing::internal::GetCapturedStdout();
        return calls;
    }

    std::string output;
};

TEST_F(SetUpCrashReportingTest, RunsTheStepsInOrder) {
    FakePlugin plugin;
    plugin.dsn = "https://key@reports.example/42";
    InstallPlugin(plugin);
    AllowSharing();
    machine.adapters.first = {6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

    EXPECT_EQ(SetUpAndRecord(), (Calls{
                                    "sentry_options_new",
                                    "GetCrashReportDsn()",
                                    "sentry_options_set_dsn(\"https://key@reports.example/42\")",
                                    "module path",
                                    "sentry_options_set_handler_path("
                                    "\"D:\\Apps\\Viewer\\crashpad_handler.exe\")",
                                    "sentry_options_set_database_path(\"D:\\Apps\\Viewer\\dump\")",
                                    "read version resource",
                                    "sentry_options_set_release(\"TavroStudio 1.5.27\")",
                                    "sentry_options_set_debug(0)",
                                    "sentry_options_set_environment(\"production\")",
                                    "sentry_options_set_auto_session_tracking(0)",
                                    "sentry_options_set_symbolize_stacktraces(1)",
                                    "sentry_options_set_on_crash()",
                                    "sentry_init()",
                                    "sentry_start_session",
                                    "sentry_set_tag(\"PID\", \"908\")",
                                    "host name",
                                    "adapter list size",
                                    "adapter list",
                                    "sentry_set_tag(\"computer_name\", \"VIEWER-PC\")",
                                    "sentry_set_tag(\"mac_address\", \"001A2B3C4D5E\")",
                                }));
    EXPECT_EQ(recorded_on_crash, &OnCrash);
    EXPECT_EQ(recorded_on_crash_data, nullptr);
    EXPECT_EQ(output, "");
}

// The state of every real run: no plugin, sharing disabled.
TEST_F(SetUpCrashReportingTest, WithoutAPluginTheEndpointIsEmptyAndNoAdapterIsRead) {
    const Calls recorded = SetUpAndRecord();
    EXPECT_EQ(machine.plugin_loads, 1);
    EXPECT_EQ(recorded[1], "sentry_options_set_dsn(\"\")");
    EXPECT_EQ(machine.adapters.queries, 0);
    EXPECT_EQ(recorded.back(), "sentry_set_tag(\"mac_address\", \"\")");
}

// A plugin whose endpoint query threw during its load is still held; asking it again must not
// end the launch, and whatever it wrote before throwing is not used.
TEST_F(SetUpCrashReportingTest, APluginThatThrowsForTheEndpointLeavesItEmpty) {
    FakePlugin plugin;
    plugin.dsn = "half written";
    plugin.throws = true;
    PluginInstance = &plugin;  // the load did not complete

    const Calls recorded = SetUpAndRecord();
    const auto dsn = std::find(recorded.begin(), recorded.end(), "sentry_options_set_dsn(\"\")");
    EXPECT_NE(dsn, recorded.end());
    EXPECT_EQ(recorded.back(), "sentry_set_tag(\"mac_address\", \"\")");
}

// Nothing that fails stops set-up: every step still runs and every tag is set.
TEST_F(SetUpCrashReportingTest, GoesOnWhateverFails) {
    sentry_init_result = 1;
    machine.host_name.reset();
    machine.version.size = 0;
    machine.version.error = 1813;

    const Calls recorded = SetUpAndRecord();
    EXPECT_EQ(output, "get version info fail about 1813\n");
    EXPECT_EQ(recorded[0], "sentry_options_new");
    EXPECT_EQ(recorded[1], "sentry_options_set_dsn(\"\")");
    EXPECT_EQ(recorded[6], "sentry_options_set_release(\"TavroStudio 0.0.0\")");
    EXPECT_EQ(Calls(recorded.end() - 6, recorded.end()),
              (Calls{"sentry_init()", "sentry_start_session", "sentry_set_tag(\"PID\", \"908\")",
                     "host name", "sentry_set_tag(\"computer_name\", \"\")",
                     "sentry_set_tag(\"mac_address\", \"\")"}));
}

TEST_F(SetUpCrashReportingTest, HandlerAndDatabaseBesideTheLauncherAsUtf8) {
    std::wstring deep = L"C:\\";
    while (deep.size() < 400) {
        deep += L"folder\\";
    }
    const std::string deep_utf8(deep.begin(), deep.end());
    const struct {
        const char* name;
        std::wstring module_path;
        std::string handler;
        std::string database;
    } cases[] = {
        {"in a folder", L"D:\\Apps\\Viewer\\tavro-gcodeviewer.exe",
         "D:\\Apps\\Viewer\\crashpad_handler.exe", "D:\\Apps\\Viewer\\dump"},
        {"at the root of a drive", L"E:\\tavro-gcodeviewer.exe", "E:\\crashpad_handler.exe",
         "E:\\dump"},
        {"non-ASCII characters", L"C:\\Programme\\M\u00fcller \u5370\u5237\\tavro-gcodeviewer.exe",
         "C:\\Programme\\M\xC3\xBCller \xE5\x8D\xB0\xE5\x88\xB7\\crashpad_handler.exe",
         "C:\\Programme\\M\xC3\xBCller \xE5\x8D\xB0\xE5\x88\xB7\\dump"},
        {"a network share", L"\\\\server\\tools\\tavro-gcodeviewer.exe",
         "\\\\server\\tools\\crashpad_handler.exe", "\\\\server\\tools\\dump"},
        {"deeper than 260 characters, never cut", deep + L"tavro-gcodeviewer.exe",
         deep_utf8 + "crashpad_handler.exe", deep_utf8 + "dump"},
        {"no backslash: relative", L"tavro-gcodeviewer.exe", "crashpad_handler.exe", "dump"},
        {"a forward slash is no separator", L"C:/Apps/Viewer/tavro-gcodeviewer.exe",
         "crashpad_handler.exe", "dump"},
        {"the module path could not be read: relative", L"", "crashpad_handler.exe", "dump"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetMachine();
        machine.module_path = c.module_path;
        const Calls recorded = SetUpAndRecord();
        EXPECT_EQ(recorded[3], "sentry_options_set_handler_path(\"" + c.handler + "\")");
        EXPECT_EQ(recorded[4], "sentry_options_set_database_path(\"" + c.database + "\")");
    }
}

// Installed for all users, the launcher's folder refuses the user's files: the reports go to
// the per-user folder, which the crash reporter is given, and one line names it.
TEST_F(SetUpCrashReportingTest, AFolderBesideTheLauncherThatCannotBeWrittenGivesThePerUserOne) {
    machine.folders.all_writable = false;
    machine.folders.existing = {L"D:\\Apps\\Viewer\\dump", L"C:\\Users\\Ada\\AppData\\Local"};
    machine.folders.makeable = {L"C:\\Users\\Ada\\AppData\\Local\\TavroStudio",
                                L"C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump"};
    machine.folders.writable = {L"C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump"};
    machine.folders.local_app_data = L"C:\\Users\\Ada\\AppData\\Local";

    const Calls recorded = SetUpAndRecord();
    EXPECT_EQ(recorded[4],
              "sentry_options_set_database_path("
              "\"C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump\")");
    EXPECT_EQ(output,
              "crash reports are kept in C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump\n");

    // Neither can be written: the folder beside the launcher, as before, and a line saying so.
    ResetMachine();
    machine.folders.all_writable = false;
    const Calls unchanged = SetUpAndRecord();
    EXPECT_EQ(unchanged[4], "sentry_options_set_database_path(\"D:\\Apps\\Viewer\\dump\")");
    EXPECT_EQ(output, "crash reports cannot be kept: D:\\Apps\\Viewer\\dump cannot be written\n");
}

TEST_F(SetUpCrashReportingTest, ProcessIdIsWrittenUnsigned) {
    for (const auto& [id, text] :
         {std::pair<uint32_t, std::string>{908, "908"}, {0, "0"}, {4294967295u, "4294967295"}}) {
        ResetMachine();
        machine.process_id = id;
        const Calls recorded = SetUpAndRecord();
        const std::string tag = "sentry_set_tag(\"PID\", \"" + text + "\")";
        EXPECT_NE(std::find(recorded.begin(), recorded.end(), tag), recorded.end()) << tag;
    }
}

TEST(EndCrashReportingTest, EndsTheSessionThenShutsDown) {
    calls.clear();
    EndCrashReporting();
    EXPECT_EQ(calls, (Calls{"sentry_end_session", "sentry_shutdown"}));
}

}  // namespace
