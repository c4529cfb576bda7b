#include "toolpath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "gcode_parser.h"
#include "view.h"

namespace gcode {
namespace {

Toolpath Read(const std::string& text) {
    Toolpath toolpath;
    Parser parser(toolpath);
    parser.Feed(text.data(), text.size());
    parser.Finish();
    toolpath.Finish();
    return toolpath;
}

TEST(Toolpath, TravelsAndRetractionsSplitRunsAndStraightPointsMerge) {
    const Toolpath t = Read(
        "G1 X1 Y0 E1\nG1 X2 Y0 E2\nG1 X3 Y0 E3\nG1 X3 Y1 E4\n"  // three in line, then a turn
        "G1 E3\nG1 X3 Y2 E4\n"                                  // retraction splits
        "G0 X5 Y5\nG1 X6 Y5 E5\n");                             // travel splits
    ASSERT_EQ(t.runs().size(), 3u);
    EXPECT_EQ(t.runs()[0].count, 3u);  // (0,0) (3,0) (3,1)
    EXPECT_EQ(t.runs()[1].count, 2u);
    EXPECT_EQ(t.runs()[2].count, 2u);
    const Vertex& corner = t.vertices()[t.runs()[0].first + 1];
    EXPECT_FLOAT_EQ(corner.x, 3);
    EXPECT_FLOAT_EQ(corner.y, 0);
    EXPECT_EQ(t.extrusions(), 6u);
}

TEST(Toolpath, BackAndForthOnOneLineIsNotMerged) {
    const Toolpath t = Read("G1 X10 E1\nG1 X0 E2\nG1 X10 E3\n");
    ASSERT_EQ(t.runs().size(), 1u);
    EXPECT_EQ(t.runs()[0].count, 4u);
}

TEST(Toolpath, RunTopIsItsHighestPoint) {
    const Toolpath t = Read("G1 Z0.2\nG1 X1 E1\nG1 X2 Z0.5 E2\n");
    ASSERT_EQ(t.runs().size(), 1u);
    EXPECT_FLOAT_EQ(t.runs()[0].top, 0.5f);
}

TEST(Toolpath, ManyObjectsPrintedInTurnGiveTheDistinctLayers) {
    // Four objects one after another, each 400 layers: heights come back again and again.
    std::string text;
    double e = 0;
    for (int object = 0; object < 4; ++object) {
        for (int layer = 1; layer <= 400; ++layer) {
            text += "G1 Z" + std::to_string(layer * 0.1) + "\n";
            for (int side = 0; side < 4; ++side) {
                e += 1;
                text += "G1 X" + std::to_string(object * 30 + (side % 2) * 10) + " Y" +
                        std::to_string(side / 2 * 10 + layer % 2) + " E" + std::to_string(e) + "\n";
            }
        }
    }
    const Toolpath t = Read(text);
    ASSERT_EQ(t.layers().size(), 400u);
    EXPECT_DOUBLE_EQ(t.layers().front(), 0.1);
    EXPECT_DOUBLE_EQ(t.layers().back(), 40.0);
}

TEST(Summary, Format) {
    struct Row {
        const char* gcode;
        const char* renderer;
        const char* version;
        const char* expected;
    };
    const Row rows[] = {
        {"", "", "",
         "summary: layers=0 extrusions=0 min=0.00,0.00,0.00 max=0.00,0.00,0.00 renderer=\"\" "
         "version=\"\""},
        {"G1 X10 Y5 Z0.3 E1\nG1 X-0.004 Y20.127 E2\n", "llvmpipe (LLVM 15.0.6, 256 bits)",
         "4.5 (Compatibility Profile) Mesa 22.3.6",
         "summary: layers=1 extrusions=2 min=0.00,5.00,0.30 max=10.00,20.13,0.30 "
         "renderer=\"llvmpipe (LLVM 15.0.6, 256 bits)\" version=\"4.5 (Compatibility Profile) "
         "Mesa 22.3.6\""},
        {"G1 X-12.5 Y-3 Z-1 E1\nG1 X1 E2\nG1 E1\n", "r", "v",
         "summary: layers=1 extrusions=2 min=-12.50,-3.00,-1.00 max=1.00,-3.00,-1.00 "
         "renderer=\"r\" version=\"v\""},
        {"G1 X1 E-1\nG1 E0\n", "r", "v",
         "summary: layers=0 extrusions=0 min=0.00,0.00,0.00 max=0.00,0.00,0.00 renderer=\"r\" "
         "version=\"v\""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(FormatSummary(Read(row.gcode), row.renderer, row.version), row.expected);
    }
}

// Where a point lands in normalised device coordinates.
std::array<double, 3> Project(const Matrix& m, double x, double y, double z) {
    return {m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
            m[2] * x + m[6] * y + m[10] * z + m[14]};
}

TEST(View, FitsTheWholeExtentAndKeepsDepthInRange) {
    const Extent cube{{100, 100, 0}, {120, 120, 20}};
    const Extent flat{{0, 0, 0.2}, {200, 10, 0.2}};
    const Extent point{{5, 5, 5}, {5, 5, 5}};
    for (const Extent& e : {cube, flat, point}) {
        for (auto size : {std::pair{1024, 768}, std::pair{300, 900}}) {
            const Matrix m = FitView(e, ViewAngles{}, size.first, size.second);
            double reach_x = 0, reach_y = 0;
            for (int corner = 0; corner < 8; ++corner) {
                const auto p =
                    Project(m, corner & 1 ? e.max.x : e.min.x, corner & 2 ? e.max.y : e.min.y,
                            corner & 4 ? e.max.z : e.min.z);
                EXPECT_LE(std::fabs(p[0]), kFitMargin + 1e-9);
                EXPECT_LE(std::fabs(p[1]), kFitMargin + 1e-9);
                EXPECT_LT(std::fabs(p[2]), 1);
                reach_x = std::max(reach_x, std::fabs(p[0]));
                reach_y = std::max(reach_y, std::fabs(p[1]));
            }
            if (!(e.min == e.max)) {
                // One side of the print touches the margin.
                EXPECT_NEAR(std::max(reach_x, reach_y), kFitMargin, 1e-9);
            }
        }
    }
}

TEST(View, LooksFromTheFrontAndAbove) {
    const Extent cube{{0, 0, 0}, {10, 10, 10}};
    const Matrix m = FitView(cube, ViewAngles{}, 800, 800);
    // The top is above the bottom on the screen; the front is nearer than the back.
    EXPECT_GT(Project(m, 5, 5, 10)[1], Project(m, 5, 5, 0)[1]);
    EXPECT_LT(Project(m, 5, 0, 5)[2], Project(m, 5, 10, 5)[2]);
    // Zoom scales about the centre.
    ViewAngles zoomed;
    zoomed.zoom = 2;
    const Matrix z = FitView(cube, zoomed, 800, 800);
    EXPECT_NEAR(Project(z, 10, 0, 0)[0], 2 * Project(m, 10, 0, 0)[0], 1e-9);
}

}  // namespace
}  // namespace gcode
