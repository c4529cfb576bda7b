#include "viewer_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace gcode {
namespace {

struct Row {
    std::vector<const wchar_t*> args;
    std::wstring file;
    std::wstring screenshot;
    int width;
    int height;
    bool error;
};

TEST(ViewerOptions, Table) {
    const Row rows[] = {
        {{L"viewer.exe", L"--gcodeviewer"}, L"", L"", 1024, 768, false},
        {{L"viewer.exe", L"--gcodeviewer", L"C:\\a b\\cube.gcode"},
         L"C:\\a b\\cube.gcode",
         L"",
         1024,
         768,
         false},
        {{L"viewer.exe", L"--gcodeviewer", L"--sw-renderer", L"a.gcode", L"b.gcode"},
         L"a.gcode",
         L"",
         1024,
         768,
         false},
        {{L"viewer.exe", L"--gcodeviewer", L"--screenshot", L"out.png", L"a.gcode"},
         L"a.gcode",
         L"out.png",
         1024,
         768,
         false},
        {{L"viewer.exe", L"--gcodeviewer", L"--size", L"640x480", L"--screenshot", L"o.png"},
         L"",
         L"o.png",
         640,
         480,
         false},
        {{L"viewer.exe", L"--gcodeviewer", L"a.gcode", L"--size", L"10X20"},
         L"a.gcode",
         L"",
         10,
         20,
         false},
        // The value after --screenshot is never the file, even when it looks like one.
        {{L"viewer.exe", L"--screenshot", L"a.gcode"}, L"", L"a.gcode", 1024, 768, false},
        {{L"viewer.exe", L"--gcodeviewer", L"-"}, L"-", L"", 1024, 768, false},
        {{L"viewer.exe", L"--screenshot"}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--screenshot", L""}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--size", L"640"}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--size", L"0x480"}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--size", L"640x480x3"}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--size", L"99999999999x2"}, L"", L"", 1024, 768, true},
        {{L"viewer.exe", L"--size", L"-5x2"}, L"", L"", 1024, 768, true},
    };
    for (const Row& row : rows) {
        std::vector<const wchar_t*> argv = row.args;
        argv.push_back(nullptr);
        const ViewerOptions o =
            ParseViewerArguments(static_cast<int>(row.args.size()), argv.data());
        const std::string label = std::to_string(&row - rows);
        EXPECT_EQ(!o.error.empty(), row.error) << label;
        if (row.error) {
            continue;
        }
        EXPECT_EQ(o.file, row.file) << label;
        EXPECT_EQ(o.screenshot, row.screenshot) << label;
        EXPECT_EQ(o.width, row.width) << label;
        EXPECT_EQ(o.height, row.height) << label;
    }
}

}  // namespace
}  // namespace gcode
