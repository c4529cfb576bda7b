#include "telemetry/telemetry_setup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telemetry_fakes.h"

namespace {

const char kGuid[] = "5f2c8e1a-93b4-4d7e-a1c0-2b9f6d4e8a73";

std::vector<std::string> Headers(const std::string& openudid_line) {
    return {
        "App_name: TavroMake Studio",
        "Model_type: PC",
        "App_version: V1.5.27",
        "Country: ",
        "Language: ",
        "Expect:",
        openudid_line,
        "Os_version: ",
        "Os_type: Windows",
        "Content-Type:application/json;charset=UTF-8",
    };
}

TEST(SetUpTelemetry, Table) {
    const PluginCall kDsnAsked{"GetCrashReportDsn", {""}};
    const struct {
        const char* name;
        bool plugin_present;
        MachineGuidValue guid;
        std::vector<PluginCall> plugin_calls;
        std::string output;
    } cases[] = {
        {"with a GUID",
         true,
         RegistryValue(u"5f2c8e1a-93b4-4d7e-a1c0-2b9f6d4e8a73"),
         {kDsnAsked,
          {"SetRequestHeaders", Headers(std::string("Openudid: ") + kGuid)},
          {"Initialize", {"", "US", "", kGuid}}},
         "load plubgin success\n<flush>"},
        {"GUID unreadable",
         true,
         MachineGuidValue{},
         {kDsnAsked,
          {"SetRequestHeaders", Headers("Openudid: ")},
          {"Initialize", {"", "US", "", ""}}},
         "load plubgin success\n<flush>"},
        {"no plugin: nothing called, nothing written",
         false,
         RegistryValue(u"5f2c8e1a-93b4-4d7e-a1c0-2b9f6d4e8a73"),
         {},
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        Fakes().in_default_directories = c.plugin_present;
        Fakes().machine_guid = c.guid;
        EXPECT_EQ(StdoutOf(SetUpTelemetry), c.output);
        EXPECT_EQ(Fakes().plugin.calls, c.plugin_calls);
        EXPECT_EQ(Fakes().machine_guid_reads, 1) << "the registry is read with or without a plugin";
    }
    ResetTelemetry();
}

// The value is whatever bytes the registry returned; the text ends at the first NUL or at the
// last whole UTF-16 unit, never beyond.
TEST(GetMachineGuid, DecodesOnlyTheBytesRead) {
    std::vector<uint8_t> full_buffer;
    for (int i = 0; i < 1024; ++i) {
        full_buffer.insert(full_buffer.end(), {'A', 0});
    }
    const struct {
        const char* name;
        MachineGuidValue value;
        std::string guid;
    } cases[] = {
        {"unreadable", MachineGuidValue{}, ""},
        {"terminated", RegistryValue(u"5f2c8e1a-93b4"), "5f2c8e1a-93b4"},
        {"ends at the first NUL", RegistryValue(std::u16string(u"abc\0xyz", 7)), "abc"},
        {"no NUL", RegistryValue(u"abc", false), "abc"},
        {"odd byte count: the half unit is dropped", RegistryBytes({'a', 0, 'b', 0, 'c'}), "ab"},
        {"a single byte", RegistryBytes({'c'}), ""},
        {"no bytes", RegistryBytes({}), ""},
        {"the whole 2048-byte buffer without a NUL", RegistryBytes(full_buffer),
         std::string(1024, 'A')},
        {"little-endian UTF-16 to UTF-8", RegistryValue(u"\u00e9\u4e2d"), "\xc3\xa9\xe4\xb8\xad"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        Fakes().machine_guid = c.value;
        EXPECT_EQ(GetMachineGuid(), c.guid);
    }
    ResetTelemetry();
}

}  // namespace
