#include "crash/release_version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "support/stdio_capture.h"

namespace {

TEST(ReadReleaseVersion, ProductVersionAsMajorMinorBuild) {
    const struct {
        uint32_t most_significant, least_significant;
        const char* text;
    } cases[] = {
        {0x00010005, 0x001B0000, "1.5.27"},
        {0x00010005, 0x001B0007, "1.5.27"},  // the fourth number is dropped
        {0xFFFFFFFF, 0xFFFFFFFF, "65535.65535.65535"},
        {0xFFFF0000, 0x00000000, "65535.0.0"},
        {0x0000FFFF, 0x00000000, "0.65535.0"},
        {0x00000000, 0xFFFF0000, "0.0.65535"},
        {0x00000000, 0x00000000, "0.0.0"},
        {0x000A0000, 0x0064FFFF, "10.0.100"},
    };
    for (const auto& c : cases) {
        FakeVersionSource source;
        source.version = {c.most_significant, c.least_significant};
        StdioCapture out;
        EXPECT_EQ(ReadReleaseVersion(source, out.stream()), c.text);
        EXPECT_EQ(out.Take(), "");
    }
}

TEST(ReadReleaseVersion, ReadsTheWholeBlockOfTheReportedSize) {
    FakeVersionSource source;
    source.size = 1337;
    StdioCapture out;
    EXPECT_EQ(ReadReleaseVersion(source, out.stream()), "1.5.27");
    EXPECT_EQ(source.steps,
              (std::vector<std::string>{"module path", "size", "read 1337", "query"}));
}

TEST(ReadReleaseVersion, EachFailureWritesOneFlushedLineAndGivesTheDefault) {
    const struct {
        const char* name;
        void (*fail)(FakeVersionSource&);
        unsigned long error;
        std::string line;
        std::vector<std::string> steps;
    } cases[] = {
        {"module path",
         [](FakeVersionSource& s) { s.path.clear(); },
         122,
         "get exe info fail about 122\n",
         {"module path", "last error"}},
        {"no version resource",
         [](FakeVersionSource& s) { s.size = 0; },
         1813,
         "get version info fail about 1813\n",
         {"module path", "size", "last error"}},
        {"block not read",
         [](FakeVersionSource& s) { s.reads = false; },
         5,
         "load version info fail about 5\n",
         {"module path", "size", "read 1024", "last error"}},
        {"root not found",
         [](FakeVersionSource& s) { s.queries = false; },
         1813,
         "get version info fail about 1813\n",
         {"module path", "size", "read 1024", "query", "last error"}},
        {"error code written unsigned",
         [](FakeVersionSource& s) { s.size = 0; },
         0xC0000005UL,
         "get version info fail about 3221225477\n",
         {"module path", "size", "last error"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeVersionSource source;
        c.fail(source);
        source.error = c.error;
        StdioCapture out;
        EXPECT_EQ(ReadReleaseVersion(source, out.stream()), "0.0.0");
        EXPECT_EQ(out.Take(), c.line + "<flush>");
        EXPECT_EQ(source.steps, c.steps);
    }
}

// The error code is read after the message text has gone to the stream.
TEST(ReadReleaseVersion, ErrorCodeIsReadAfterTheMessageIsWritten) {
    FakeVersionSource source;
    source.reads = false;
    StdioCapture out(StdioCapture::Buffering::kNone);
    source.out = &out;
    ReadReleaseVersion(source, out.stream());
    EXPECT_EQ(source.written_before_last_error, "load version info fail about ");
}

}  // namespace
