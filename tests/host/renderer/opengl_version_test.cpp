#include "renderer/opengl_version.h"

#include <gtest/gtest.h>

#include "recorded_events.h"

namespace {

TEST(IsOpenGLVersionAtLeast, ReadsTheFirstTwoNumbersOfTheReleaseAndReportsThem) {
    const struct {
        std::string version;
        std::string major;
        std::string minor;
        bool at_least_2_0;
    } cases[] = {
        {"4.6.0 NVIDIA 531.61", "4", "6", true},
        {"2.1 Mesa 23.1.0", "2", "1", true},
        {"2.0", "2", "0", true},
        {"1.1.0", "1", "1", false},
        {"1.9", "1", "9", false},
        {"", "0", "0", false},
        {"3", "3", "0", true},
        {" 4.6", "0", "0", false},
        {"2.", "2", "0", true},
        {"2..1", "2", "1", true},
        {".5", "0", "5", false},
        {"OpenGL ES 3.2", "0", "0", false},
        {"-1.0", "4294967295", "0", true},
        // Runs of spaces count as one; a tab is ordinary text, so it stays in the release.
        {"1.5  Vendor", "1", "5", false},
        {"2.1\tMesa", "2", "1", true},
        {"\t3.0", "3", "0", true},
        {"4.5 (Compatibility Profile) Mesa 22.3.6", "4", "5", true},
        // A number past the int range saturates rather than being undefined.
        {"99999999999.0", "2147483647", "0", true},
        {"-99999999999.0", "2147483648", "0", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("version \"" + c.version + "\"");
        recorded_events.clear();
        EXPECT_EQ(IsOpenGLVersionAtLeast(c.version, 2, 0), c.at_least_2_0);
        ASSERT_EQ(recorded_events.size(), 1u) << "one event per call, whatever the result";
        EXPECT_EQ(recorded_events[0].name, "opengl_version");
        EXPECT_EQ(recorded_events[0].properties,
                  (EventProperties{{"major", c.major}, {"minor", c.minor}}));
        EXPECT_FALSE(recorded_events[0].flag);
    }
}

TEST(IsOpenGLVersionAtLeast, ComparesMajorFirstThenMinor) {
    EXPECT_TRUE(IsOpenGLVersionAtLeast("3.0", 2, 5));
    EXPECT_TRUE(IsOpenGLVersionAtLeast("2.5", 2, 5));
    EXPECT_FALSE(IsOpenGLVersionAtLeast("2.4", 2, 5));
    EXPECT_FALSE(IsOpenGLVersionAtLeast("1.9", 2, 0));
    EXPECT_TRUE(IsOpenGLVersionAtLeast("0.0", 0, 0));
    // The comparison is unsigned on both sides.
    EXPECT_FALSE(IsOpenGLVersionAtLeast("2.-1", 3, 0));
    EXPECT_TRUE(IsOpenGLVersionAtLeast("2.-1", 2, 4294967295u));
}

}  // namespace
