#include "gcode_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "toolpath.h"

namespace gcode {
namespace {

struct Read {
    ParseStats stats;
    std::uint64_t extrusions;
    std::vector<double> layers;
    Extent extent;
};

Read ReadText(const std::string& text, std::size_t chunk) {
    Toolpath toolpath;
    Parser parser(toolpath);
    for (std::size_t i = 0; i < text.size(); i += chunk) {
        parser.Feed(text.data() + i, std::min(chunk, text.size() - i));
    }
    parser.Finish();
    toolpath.Finish();
    return {parser.stats(), toolpath.extrusions(), toolpath.layers(), toolpath.extent()};
}

struct Case {
    const char* name;
    std::string text;
    std::uint64_t extrusions;
    std::vector<double> layers;
    Point min;
    Point max;
    std::uint64_t bad_lines = 0;
    std::uint64_t unknown_words = 0;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class ParserTable : public ::testing::TestWithParam<Case> {};

void ExpectPoint(const Point& actual, const Point& expected, const char* what) {
    // Arc ends fall on chord ends, a few hundredths from the exact extreme.
    EXPECT_NEAR(actual.x, expected.x, 0.05) << what;
    EXPECT_NEAR(actual.y, expected.y, 0.05) << what;
    EXPECT_NEAR(actual.z, expected.z, 0.05) << what;
}

TEST_P(ParserTable, ReadsMovesLayersAndExtent) {
    const Case& c = GetParam();
    const Read whole = ReadText(c.text, c.text.size() + 1);
    EXPECT_EQ(whole.extrusions, c.extrusions);
    EXPECT_EQ(whole.stats.extrusions, c.extrusions);
    EXPECT_EQ(whole.layers, c.layers);
    ExpectPoint(whole.extent.min, c.min, "min");
    ExpectPoint(whole.extent.max, c.max, "max");
    EXPECT_EQ(whole.stats.bad_lines, c.bad_lines);
    EXPECT_EQ(whole.stats.unknown_words, c.unknown_words);

    // The file arrives in blocks that split lines anywhere; the result must not change.
    for (std::size_t chunk : {1, 3, 7}) {
        const Read split = ReadText(c.text, chunk);
        EXPECT_EQ(split.extrusions, whole.extrusions) << "chunk " << chunk;
        EXPECT_EQ(split.layers, whole.layers) << "chunk " << chunk;
        EXPECT_EQ(split.stats.lines, whole.stats.lines) << "chunk " << chunk;
        EXPECT_EQ(split.stats.bad_lines, whole.stats.bad_lines) << "chunk " << chunk;
        EXPECT_EQ(split.extent.max.x, whole.extent.max.x) << "chunk " << chunk;
    }
}

// clang-format off
const Case kCases[] = {
    {"empty", "", 0, {}, {}, {}},
    {"only_comments_and_setup", "; generated\nM104 S200\nG28\nG21\n", 0, {}, {}, {}},
    {"straight_extrusions", "G1 Z0.2\nG1 X10 Y0 E1\nG1 X10 Y10 E2\n",
     2, {0.2}, {10, 0, 0.2}, {10, 10, 0.2}},
    {"travel_without_e_is_not_extrusion", "G0 X5 Y5\nG1 X6 Y5 F3000\n", 0, {}, {}, {}},
    {"g0_that_extrudes_counts", "G0 X5 Y5 E1\n", 1, {0}, {5, 5, 0}, {5, 5, 0}},
    {"retraction_and_unretraction_are_not_extrusions",
     "G1 X1 Y1 E1\nG1 E0.2\nG1 E1\nG1 X2 Y2 E1\nG1 X3 Y3 E1.5\n",
     2, {0}, {1, 1, 0}, {3, 3, 0}},
    {"e_only_growth_is_not_extrusion", "G1 E5\n", 0, {}, {}, {}},
    {"g92_resets_e", "G1 X1 E5\nG92 E0\nG1 X2 E1\n", 2, {0}, {1, 0, 0}, {2, 0, 0}},
    {"g92_sets_axes", "G92 X100 Y50\nG1 X101 E1\n", 1, {0}, {101, 50, 0}, {101, 50, 0}},
    {"g92_without_axes_zeroes_all", "G1 X5 Y5\nG92\nG1 X1 E1\n", 1, {0}, {1, 0, 0}, {1, 0, 0}},
    {"g28_homes", "G1 X50 Y50 Z3\nG28 X Y\nG1 X1 E1\n", 1, {3}, {1, 0, 3}, {1, 0, 3}},
    {"g28_homes_the_named_axes_to_zero_whatever_their_value",
     "G1 X50 Y50 Z3\nG28 X10\nG1 Y1 E1\n", 1, {3}, {0, 1, 3}, {0, 1, 3}},
    {"relative_e_m83", "M83\nG1 X1 E0.5\nG1 X2 E0.5\nG1 X3 E-0.5\nG1 X4 E0\n",
     2, {0}, {1, 0, 0}, {2, 0, 0}},
    {"m82_back_to_absolute_e", "M83\nG1 X1 E1\nM82\nG1 X2 E1\n", 1, {0}, {1, 0, 0}, {1, 0, 0}},
    {"relative_axes_g91", "G91\nG1 X1 Y1 E1\nG1 X1 Y1 E1\nG1 Z0.3\nG1 X-5 E1\n",
     3, {0, 0.3}, {-3, 1, 0}, {2, 2, 0.3}},
    {"g90_sets_e_absolute_too", "M83\nG90\nG1 X1 E1\nG1 X2 E1\n", 1, {0}, {1, 0, 0}, {1, 0, 0}},
    {"inches_g20_then_mm_g21", "G20\nG1 X1 Y2 E0.1\nG21\nG1 X30 Y2 E10\n",
     2, {0}, {25.4, 2, 0}, {30, 50.8, 0}},
    {"line_numbers_and_good_checksum", "N1 G1 X5 Y5 E1*124\n", 1, {0}, {5, 5, 0}, {5, 5, 0}},
    {"wrong_checksum_skips_the_line", "N2 G1 X5 Y5 E1*124\nN2 G1 X5 Y5 E1*127\n",
     1, {0}, {5, 5, 0}, {5, 5, 0}, 1},
    {"semicolon_and_parenthesis_comments",
     "G1 X5 (to the side) Y5 E1 ; G1 X99 E9\n; G1 X50 Y50 E50\n(G1 X60 E60\n",
     1, {0}, {5, 5, 0}, {5, 5, 0}},
    {"lower_case", "g1 z.4\ng1 x3 y4 e1\n", 1, {0.4}, {3, 4, 0.4}, {3, 4, 0.4}},
    {"number_forms", "G1 X.5 Y-0 E1\nG1 X1e1 Y+2. E2\nG1 X-.25 Y2 E2.5\n",
     3, {0}, {-0.25, 0, 0}, {10, 2, 0}},
    {"compact_words_keep_e_apart", "G1X10Y20E5\nG1X11Y20E5.5\n",
     2, {0}, {10, 20, 0}, {11, 20, 0}},
    {"spaces_inside_words_and_crlf", "G1 X 5 Y 6 E 1\r\nG1 X7 Y6 E2\r\n",
     2, {0}, {5, 6, 0}, {7, 6, 0}},
    {"cr_only_line_endings", "M83\rG1 Z0.2\rG1 X1 E1\rG1 X2 E1\r", 2, {0.2}, {1, 0, 0.2},
     {2, 0, 0.2}},
    {"mixed_line_endings", "G1 X1 E1\r\nG1 X2 E2\rG1 X3 E3\nG1 X4 E4\r\r\n",
     4, {0}, {1, 0, 0}, {4, 0, 0}},
    // Without the mark passed over, the M83 would be lost and the second move not extrude.
    {"utf8_byte_order_mark_before_the_first_line", "\xEF\xBB\xBFM83\nG1 X1 E1\nG1 X2 E1\n",
     2, {0}, {1, 0, 0}, {2, 0, 0}},
    {"byte_order_mark_past_the_start_is_a_bad_line", "G1 X1 E1\n\xEF\xBB\xBFG1 X2 E2\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}, 1},
    {"modal_move_without_g", "G1 X1 E1\nX2 E2\nY3 E3\n", 3, {0}, {1, 0, 0}, {2, 3, 0}},
    {"m_command_axes_are_not_positions", "M92 X80 Y80 E93\nG1 Y1 E1\n",
     1, {0}, {0, 1, 0}, {0, 1, 0}},
    {"m_command_text_is_not_read", "M117 Printing X5 (50%) \"cube\"\nG1 X1 E1\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}},
    {"dwell_parameters_are_not_moves", "G1 X1 E1\nG4 P500\nG4 S1 X9\nG1 X2 E2\n",
     2, {0}, {1, 0, 0}, {2, 0, 0}},
    {"layers_are_heights_of_extrusion_only",
     "G1 Z0.2\nG1 X1 E1\nG1 Z0.6\nG1 X2\nG1 Z0.2\nG1 X3 E2\nG1 Z0.4\nG1 X4 E3\n",
     3, {0.2, 0.4}, {1, 0, 0.2}, {4, 0, 0.4}},
    {"layer_heights_to_the_micrometre", "G1 Z0.2\nG1 X1 E1\nG1 Z0.2000001\nG1 X2 E2\n",
     2, {0.2}, {1, 0, 0.2}, {2, 0, 0.2}},
    {"arc_clockwise_ij_half_circle", "G2 X10 Y0 I5 J0 E1\n", 1, {0}, {0, 0, 0}, {10, 5, 0}},
    {"arc_counter_clockwise_ij_half_circle", "G3 X10 Y0 I5 J0 E1\n",
     1, {0}, {0, -5, 0}, {10, 0, 0}},
    {"arc_full_circle", "G1 X5 Y0\nG2 X5 Y0 I5 J0 E1\n", 1, {0}, {5, -5, 0}, {15, 5, 0}},
    {"arc_radius_negative_long_way", "G2 X5 Y5 R-5 E1\n", 1, {0}, {-5, 0, 0}, {5, 10, 0}},

    // Bad input: skipped and counted, the lines around it still read.
    {"binary_bytes", std::string("G1 X1 E1\nG1 X\x01\x02\xff E9\n\x00\x00\nG1 X2 E2\n", 32),
     2, {0}, {1, 0, 0}, {2, 0, 0}, 2},
    {"non_ascii_outside_comment_bad_inside_fine",
     "G1 X1 E1 ; \xc3\x9c" "berhang\nG1 X\xc3\x9c E2\n", 1, {0}, {1, 0, 0}, {1, 0, 0}, 1},
    {"nan_and_infinity", "G1 XNaN E1\nG1 X nan E1\nG1 Xinf E1\nG1 X1 E1\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}, 3},
    {"huge_numbers", "G1 X1e999 E1\nG1 X99999999999 E1\nG1 E1e300\nG1 X1 E1\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}, 3},
    {"more_digits_than_a_double_holds", "G1 X1.000000000000000000000000001 E1\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}},
    {"numbers_too_small_for_a_double_are_zero",
     "G1 X5 Y5 E1\nG1 X1e-400 Y-1e-99999999999999999999 E2\nG1 X0." + std::string(330, '0') +
         "1 Y3 E3\n",
     3, {0}, {0, 0, 0}, {5, 5, 0}},
    {"too_large_for_a_double_even_with_a_negative_exponent",
     "G1 X1 E1\nG1 X" + std::string(400, '9') + "e-10 E2\nG1 X0.00000000001e999 E3\n",
     1, {0}, {1, 0, 0}, {1, 0, 0}, 2},
    {"relative_steps_walking_out_of_range",
     "G91\nG1 X9000000 E1\nG1 X9000000 E1\nG1 X-9000000 E1\n",
     2, {0}, {0, 0, 0}, {9000000, 0, 0}, 1},
    {"unknown_words_are_counted_and_passed", "G1 X1 Q5 E1 W2\n", 1, {0}, {1, 0, 0}, {1, 0, 0},
     0, 2},
    {"axis_without_value_in_a_move", "G1 X1 Y E1\nG1 X2 E2\n", 1, {0}, {2, 0, 0}, {2, 0, 0}, 1},
    {"arc_without_centre_or_radius", "G2 X10 Y0 E1\nG2 X0 Y0 R5 E2\nG2 X1 Y0 R0.1 E3\n",
     0, {}, {}, {}, 3},
    {"stray_punctuation", "G1 X1 E1 #\n@@@\nG1 X2 E2\n", 1, {0}, {2, 0, 0}, {2, 0, 0}, 2},
    {"last_line_without_line_feed", "G1 X1 E1\nG1 X2 E2", 2, {0}, {1, 0, 0}, {2, 0, 0}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Gcode, ParserTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& row) {
                             return std::string(row.param.name);
                         });

TEST(Parser, HelicalArcHasOneLayerPerChordHeight) {
    const Read r = ReadText("G1 Z1\nG3 X0 Y0 Z2 I5 J0 E1\n", 64);
    EXPECT_EQ(r.extrusions, 1u);
    ASSERT_GT(r.layers.size(), 10u);
    EXPECT_GT(r.layers.front(), 1.0);
    EXPECT_DOUBLE_EQ(r.layers.back(), 2);
    ExpectPoint(r.extent.min, {0, -5, 1}, "min");
    ExpectPoint(r.extent.max, {10, 5, 2}, "max");
}

class Recorder : public MoveSink {
  public:
    void OnMove(const Point& start, const Point* ends, std::size_t count, bool extrusion) override {
        starts.push_back(start);
        moves.emplace_back(ends, ends + count);
        extrusions.push_back(extrusion);
    }
    std::vector<Point> starts;
    std::vector<std::vector<Point>> moves;
    std::vector<bool> extrusions;
};

struct ArcCase {
    const char* text;
    Point centre;
    double radius;
    Point passes;  // a point the arc runs through, which tells its direction
};

TEST(Parser, ArcChordsLieOnTheCircleAndEndExactly) {
    const ArcCase cases[] = {
        {"G2 X10 Y0 I5 J0 E1", {5, 0, 0}, 5, {5, 5, 0}},
        {"G3 X10 Y0 I5 J0 E1", {5, 0, 0}, 5, {5, -5, 0}},
        {"G2 X5 Y5 R5 E1", {5, 0, 0}, 5, {5 - 5 / std::sqrt(2.0), 5 / std::sqrt(2.0), 0}},
        {"G3 X5 Y5 R5 E1", {0, 5, 0}, 5, {5 / std::sqrt(2.0), 5 - 5 / std::sqrt(2.0), 0}},
        {"G2 X5 Y5 R-5 E1", {0, 5, 0}, 5, {-5, 5, 0}},
        {"G20\nG2 X1 Y0 I0.5 E1", {12.7, 0, 0}, 12.7, {12.7, 12.7, 0}},
    };
    for (const ArcCase& c : cases) {
        Recorder recorder;
        Parser parser(recorder);
        const std::string text = c.text;
        parser.Feed(text.data(), text.size());
        parser.Finish();
        ASSERT_EQ(recorder.moves.size(), 1u) << c.text;
        const std::vector<Point>& ends = recorder.moves[0];
        ASSERT_GT(ends.size(), 4u) << c.text;
        bool passed = false;
        for (const Point& p : ends) {
            EXPECT_NEAR(std::hypot(p.x - c.centre.x, p.y - c.centre.y), c.radius, 1e-9) << c.text;
            passed = passed || std::hypot(p.x - c.passes.x, p.y - c.passes.y) < 0.5;
        }
        EXPECT_TRUE(passed) << c.text << " goes the wrong way round";
        EXPECT_TRUE(recorder.extrusions[0]);
        // Chords stay close to the arc: none longer than a small share of the circle.
        Point previous = recorder.starts[0];
        for (const Point& p : ends) {
            EXPECT_LT(std::hypot(p.x - previous.x, p.y - previous.y), c.radius * 0.5) << c.text;
            previous = p;
        }
    }
}

TEST(Parser, OverLongLineIsSkippedWithoutBeingKept) {
    const std::string long_line = "G1 X1 E1 ;" + std::string(3 * Parser::kMaxLineLength, 'x');
    const std::string text = "G1 X1 E1\n" + long_line + "\nG1 X2 E2\n" +
                             std::string(Parser::kMaxLineLength + 5, 'Y') + "\nG1 X3 E3";
    for (std::size_t chunk : {std::size_t{1000}, std::size_t{1 << 20}, text.size()}) {
        const Read r = ReadText(text, chunk);
        EXPECT_EQ(r.stats.lines, 5u) << chunk;
        EXPECT_EQ(r.stats.bad_lines, 2u) << chunk;
        EXPECT_EQ(r.extrusions, 3u) << chunk;
        EXPECT_DOUBLE_EQ(r.extent.max.x, 3) << chunk;
    }
}

TEST(Parser, RandomBytesNeverStopTheReading) {
    std::string noise;
    unsigned state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 1103515245 + 12345;
        noise.push_back(static_cast<char>(state >> 16));
    }
    const Read r = ReadText(noise + "\nG21\nG90\nG92 E0\nG1 X7 Y7 E1\n", 4096);
    EXPECT_GT(r.stats.bad_lines, 0u);
    EXPECT_GE(r.extent.max.x, 7);
}

TEST(Parser, ReadsAFileInBlocks) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::string text;
    for (int layer = 1; layer <= 50; ++layer) {
        text += "G1 Z" + std::to_string(layer * 0.2) + "\n";
        for (int i = 0; i < 3000; ++i) {
            text += "G1 X" + std::to_string(i % 2 ? 10 : 0) + " Y" + std::to_string(i % 100) +
                    " E" + std::to_string(layer * 100000 + i) + "\n";
        }
    }
    std::fwrite(text.data(), 1, text.size(), file);
    std::rewind(file);
    Toolpath toolpath;
    Parser parser(toolpath);
    EXPECT_TRUE(ParseFile(file, parser));
    std::fclose(file);
    toolpath.Finish();
    EXPECT_EQ(parser.stats().lines, 50u * 3001);
    EXPECT_EQ(toolpath.layers().size(), 50u);
    // Only the very first move starts where it ends in X and Y.
    EXPECT_EQ(toolpath.extrusions(), 50u * 3000 - 1);
}

}  // namespace
}  // namespace gcode
