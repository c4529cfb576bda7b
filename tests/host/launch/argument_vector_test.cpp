#include "launch/argument_vector.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    const char* name;
    std::vector<std::wstring> command_line;  // entry 0 is the program path
    std::vector<std::wstring> expected;      // the vector without its final null entry
    bool sw_renderer;
    bool no_sw_renderer;
};

const wchar_t kExe[] = L"C:\\Viewer\\tavro-gcodeviewer.exe";

std::vector<Case> Cases() {
    return {
        {"no arguments", {kExe}, {kExe, L"--gcodeviewer"}, false, false},
        {"one file", {kExe, L"a.gcode"}, {kExe, L"--gcodeviewer", L"a.gcode"}, false, false},
        {"software switch stays in place",
         {kExe, L"a.gcode", L"--sw-renderer"},
         {kExe, L"--gcodeviewer", L"a.gcode", L"--sw-renderer"},
         true,
         false},
        {"no-software switch",
         {kExe, L"--no-sw-renderer"},
         {kExe, L"--gcodeviewer", L"--no-sw-renderer"},
         false,
         true},
        {"both switches",
         {kExe, L"--sw-renderer", L"--no-sw-renderer"},
         {kExe, L"--gcodeviewer", L"--sw-renderer", L"--no-sw-renderer"},
         true,
         true},
        {"both switches reversed",
         {kExe, L"--no-sw-renderer", L"--sw-renderer"},
         {kExe, L"--gcodeviewer", L"--no-sw-renderer", L"--sw-renderer"},
         true,
         true},
        {"switch given twice",
         {kExe, L"--sw-renderer", L"--sw-renderer"},
         {kExe, L"--gcodeviewer", L"--sw-renderer", L"--sw-renderer"},
         true,
         false},
        {"near misses are ordinary arguments",
         {kExe, L"--sw-render", L"--sw-renderer=1", L"/sw-renderer", L"--SW-RENDERER",
          L"--no-sw-renderer ", L"-sw-renderer"},
         {kExe, L"--gcodeviewer", L"--sw-render", L"--sw-renderer=1", L"/sw-renderer",
          L"--SW-RENDERER", L"--no-sw-renderer ", L"-sw-renderer"},
         false,
         false},
        {"the user's own --gcodeviewer is kept",
         {kExe, L"--gcodeviewer", L"a.gcode"},
         {kExe, L"--gcodeviewer", L"--gcodeviewer", L"a.gcode"},
         false,
         false},
        {"program path equal to a switch sets nothing",
         {L"--sw-renderer"},
         {L"--sw-renderer", L"--gcodeviewer"},
         false,
         false},
        {"empty argument", {kExe, L""}, {kExe, L"--gcodeviewer", L""}, false, false},
    };
}

TEST(BuildArgumentVector, Table) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> storage = c.command_line;
        std::vector<wchar_t*> command_line;
        for (std::wstring& entry : storage) {
            command_line.push_back(entry.data());
        }

        LaunchArguments arguments =
            BuildArgumentVector(static_cast<int>(command_line.size()), command_line.data());

        ASSERT_EQ(arguments.vector.entries.size(), c.expected.size() + 1);
        EXPECT_EQ(arguments.vector.Count(), static_cast<int>(c.expected.size()));
        for (size_t i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(std::wstring(arguments.vector.entries[i]), c.expected[i]) << "entry " << i;
        }
        EXPECT_EQ(arguments.vector.entries.back(), nullptr);
        EXPECT_EQ(arguments.switches.sw_renderer, c.sw_renderer);
        EXPECT_EQ(arguments.switches.no_sw_renderer, c.no_sw_renderer);

        // No string is copied but the inserted switch: the rest point into the command line.
        EXPECT_EQ(arguments.vector.entries[0], command_line[0]);
        for (size_t i = 1; i < command_line.size(); ++i) {
            EXPECT_EQ(arguments.vector.entries[i + 1], command_line[i]);
        }
    }
}

TEST(BuildArgumentVector, InsertedSwitchIsWritableAndSurvivesAMove) {
    std::wstring exe = kExe;
    wchar_t* command_line[] = {exe.data()};
    LaunchArguments built = BuildArgumentVector(1, command_line);
    LaunchArguments moved = std::move(built);

    wchar_t* inserted = moved.vector.entries[1];
    EXPECT_EQ(inserted, moved.vector.gcodeviewer.get());
    EXPECT_EQ(std::wstring(inserted), L"--gcodeviewer");
    inserted[0] = L'-';  // the application may write to it
    EXPECT_EQ(moved.vector.Data(), moved.vector.entries.data());
}

}  // namespace
