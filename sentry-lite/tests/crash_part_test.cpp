#include "crash_part.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/envelope_samples.h"

namespace sentry_lite {
namespace {

TEST(CrashPart, TheCrashIsNamedAsWindowsNamesIt) {
    const struct {
        uint32_t code;
        bool abort;
        bool has_access;
        uint64_t access_kind;
        const char* type;
        const char* signal;
        uint64_t number;
    } cases[] = {
        {0xC0000005, false, true, 0, "EXCEPTION_ACCESS_VIOLATION_READ",
         "EXCEPTION_ACCESS_VIOLATION_READ", 0xC0000005},
        {0xC0000005, false, true, 8, "EXCEPTION_ACCESS_VIOLATION_EXEC",
         "EXCEPTION_ACCESS_VIOLATION_EXEC", 0xC0000005},
        {0xC0000005, false, false, 0, "EXCEPTION_ACCESS_VIOLATION", "EXCEPTION_ACCESS_VIOLATION",
         0xC0000005},
        {0xC00000FD, false, false, 0, "EXCEPTION_STACK_OVERFLOW", "EXCEPTION_STACK_OVERFLOW",
         0xC00000FD},
        {0xC0000094, false, false, 0, "EXCEPTION_INT_DIVIDE_BY_ZERO",
         "EXCEPTION_INT_DIVIDE_BY_ZERO", 0xC0000094},
        {0xE0A1B2C3, false, false, 0, "0xE0A1B2C3", "0xE0A1B2C3", 0xE0A1B2C3},
        {0x40000015, true, false, 0, "SIGABRT", "SIGABRT", 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        CrashException exception;
        exception.code = c.code;
        exception.abort = c.abort;
        exception.has_access = c.has_access;
        exception.access_kind = c.access_kind;
        const nlohmann::json value =
            nlohmann::json::parse("{\"a\":0" + CrashPart(exception, {}))["exception"]["values"][0];
        EXPECT_EQ(value["type"], c.type);
        EXPECT_EQ(value["mechanism"]["meta"]["signal"]["name"], c.signal);
        EXPECT_EQ(value["mechanism"]["meta"]["signal"]["number"], c.number);
    }
}

// With many images and little room, the images that fit are kept whole, and the event still
// closes.
TEST(CrashPart, ImagesThatDoNotFitAreLeftOutWhole) {
    CrashException exception;
    exception.code = 0xC0000005;
    std::vector<ImageInfo> images(200, Image(0x10000, 4096, 1, u"C:\\windows\\system32\\a.dll"));
    const std::string part = CrashPart(exception, images, 4096);
    const nlohmann::json event = nlohmann::json::parse("{\"a\":0" + part);
    const size_t kept = event["debug_meta"]["images"].size();
    EXPECT_GT(kept, 5u);
    EXPECT_LT(kept, 200u);
}

// An image with a CodeView record names its debug file for the service; one without names
// nothing, rather than a made-up id.
TEST(CrashPart, ImagesCarryTheDebugIdsTheirRecordsGive) {
    CrashException exception;
    exception.code = 0xC0000005;
    ImageInfo with_file = Image(0x140000000, 0x5C000, 0x6B1AD38E, u"Z:\\v\\a.exe");
    with_file.debug_id = "378992c6-b687-6315-344e-d66a9f7c9c87-1";
    with_file.debug_id_length = std::strlen(with_file.debug_id);
    with_file.debug_file = "C:\\b\\\"a\".pdb\xFF";
    with_file.debug_file_length = std::strlen(with_file.debug_file);
    ImageInfo id_only = with_file;
    id_only.debug_file_length = 0;
    ImageInfo none = Image(0x7b000000, 0x1000, 1, u"C:\\windows\\system32\\ntdll.dll");
    const nlohmann::json images = nlohmann::json::parse(
        "{\"a\":0" + CrashPart(exception, {with_file, id_only, none}))["debug_meta"]["images"];
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0]["debug_id"], "378992c6-b687-6315-344e-d66a9f7c9c87-1");
    EXPECT_EQ(images[0]["debug_file"], "C:\\b\\\"a\".pdb\uFFFD");
    EXPECT_EQ(images[0]["code_id"], "6B1AD38E5C000") << "the code id stays as it was";
    EXPECT_EQ(images[1]["debug_id"], images[0]["debug_id"]);
    EXPECT_FALSE(images[1].contains("debug_file"));
    EXPECT_FALSE(images[2].contains("debug_id"));
    EXPECT_FALSE(images[2].contains("debug_file"));
}

// A symbolised frame carries what the SDK's do: the image it is in and, where named, the
// function; a frame outside every image stays an address.
TEST(CrashPart, SymbolisedFramesNameTheirImageAndFunction) {
    const uint64_t frames[] = {0x3207e16ca, 0x1400013da, 0x17005dca8};  // innermost first
    const std::u16string library = u"Z:\\v\\orviStudio.dll";
    const std::u16string exe = u"Z:\\v\\t\u00e9.exe";
    FrameSymbol symbols[3];
    symbols[0] = {0x3207e0000,
                  reinterpret_cast<const uint16_t*>(library.data()),
                  library.size(),
                  "WriteThroughNull",
                  16,
                  0x3207e16b0};
    symbols[1] = {
        0x140000000, reinterpret_cast<const uint16_t*>(exe.data()), exe.size(), nullptr, 0, 0};
    CrashException exception;
    exception.code = 0xC0000005;
    exception.frames = frames;
    exception.frame_count = 3;
    exception.symbols = symbols;
    const nlohmann::json event = nlohmann::json::parse("{\"a\":0" + CrashPart(exception, {}));
    EXPECT_EQ(event["exception"]["values"][0]["stacktrace"]["frames"], nlohmann::json::parse(R"([
        {"instruction_addr":"0x17005dca8"},
        {"instruction_addr":"0x1400013da","package":"Z:\\v\\t\u00e9.exe",
         "image_addr":"0x140000000"},
        {"instruction_addr":"0x3207e16ca","package":"Z:\\v\\orviStudio.dll",
         "image_addr":"0x3207e0000","function":"WriteThroughNull",
         "symbol_addr":"0x3207e16b0"}])"));
}

}  // namespace
}  // namespace sentry_lite
