#include "telemetry/event_reporting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "telemetry/start_event.h"
#include "telemetry_fakes.h"

namespace {

TEST(EventProperties, NamesOrderByteWiseAndTheFirstValueStays) {
    EventProperties properties;
    for (const char* name : {"start_time", "start_status", "error_msg", "error_code", "ab", "b",
                             "a", "Z", "\x7f", "\xc3\xa9"}) {
        properties.emplace(name, "first");
    }
    properties.emplace("a", "second");
    properties.insert({"ab", "second"});
    properties.try_emplace("b", "second");

    std::vector<std::string> names;
    for (const auto& [name, value] : properties) {
        names.push_back(name);
        EXPECT_EQ(value, "first") << name;
    }
    // A prefix sorts first; bytes compare as unsigned, so 0xC3 comes after 0x7F.
    EXPECT_EQ(names, (std::vector<std::string>{"Z", "a", "ab", "b", "error_code", "error_msg",
                                               "start_status", "start_time", "\x7f", "\xc3\xa9"}));
}

struct Event {
    std::string name;
    EventProperties properties;
    bool flag = false;
};

Event Control(const char* value) {
    return {"report_bury_shared", {{"current_bury_shared", value}}};
}

const Event kStart{"start_soft",
                   {{"start_status", "start"},
                    {"start_time", "1700000000123"},
                    {"error_code", "0"},
                    {"error_msg", "start soft"}}};
const PluginCall kStartSent{"SendEvent",
                            {"start_soft", "error_code=0", "error_msg=start soft",
                             "start_status=start", "start_time=1700000000123", "flag=false"}};
const Event kOpenGl{"opengl_version", {{"major", "4"}, {"minor", "6"}}};
const PluginCall kOpenGlSent{"SendEvent", {"opengl_version", "major=4", "minor=6", "flag=false"}};
const std::string kSuccess = "load plubgin success\n<flush>";

TEST(ReportEvent, Table) {
    const struct {
        const char* name;
        bool disabled_before;
        bool plugin_present;
        std::vector<Event> events;
        bool disabled_after;
        std::vector<PluginCall> sent;
        int load_attempts;
        std::string output;
    } cases[] = {
        {"gate closed: dropped, the loader is not called", true, true, {kStart}, true, {}, 0, ""},
        {"\"0\" closes the gate", false, true, {Control("0")}, true, {}, 0, ""},
        {"\"1\" opens the gate", true, true, {Control("1")}, false, {}, 0, ""},
        {"\"00\" opens the gate", true, true, {Control("00")}, false, {}, 0, ""},
        {"\" 0\" opens the gate", true, true, {Control(" 0")}, false, {}, 0, ""},
        {"the empty string opens the gate", true, true, {Control("")}, false, {}, 0, ""},
        {"a missing property opens the gate",
         true,
         true,
         {{"report_bury_shared", {{"other", "0"}}}},
         false,
         {},
         0,
         ""},
        {"the last control event wins",
         true,
         true,
         {Control("1"), Control("0"), kStart},
         true,
         {},
         0,
         ""},
        {"the control event is not forwarded while the gate is open",
         false,
         true,
         {Control("1")},
         false,
         {},
         0,
         ""},
        {"a name differing in case is an ordinary event: dropped while closed",
         true,
         true,
         {{"Report_bury_shared", {{"current_bury_shared", "1"}}}},
         true,
         {},
         0,
         ""},
        {"a name with a trailing space is an ordinary event: dropped while closed",
         true,
         true,
         {{"report_bury_shared ", {{"current_bury_shared", "1"}}}},
         true,
         {},
         0,
         ""},
        {"a name differing in case is an ordinary event: forwarded while open",
         false,
         true,
         {{"REPORT_BURY_SHARED", {{"current_bury_shared", "0"}}}},
         false,
         {{"SendEvent", {"REPORT_BURY_SHARED", "current_bury_shared=0", "flag=false"}}},
         1,
         kSuccess},
        {"a name with a trailing space is an ordinary event: forwarded while open",
         false,
         true,
         {{"report_bury_shared ", {{"current_bury_shared", "0"}}}},
         false,
         {{"SendEvent", {"report_bury_shared ", "current_bury_shared=0", "flag=false"}}},
         1,
         kSuccess},
        {"a name with a NUL after the control name is an ordinary event",
         false,
         true,
         {{std::string("report_bury_shared\0", 19), {{"current_bury_shared", "0"}}}},
         false,
         {{"SendEvent",
           {std::string("report_bury_shared\0", 19), "current_bury_shared=0", "flag=false"}}},
         1,
         kSuccess},
        {"gate open: properties reach the plugin in byte order",
         false,
         true,
         {kStart},
         false,
         {kStartSent},
         1,
         kSuccess},
        {"the flag is passed as given",
         false,
         true,
         {kOpenGl,
          {"crash_report",
           {{"error_code", "-1"},
            {"error_msg", "windows occur crash and the crash info please check server"}},
           true}},
         false,
         {kOpenGlSent,
          {"SendEvent",
           {"crash_report", "error_code=-1",
            "error_msg=windows occur crash and the crash info please check server", "flag=true"}}},
         1,
         kSuccess},
        {"opened by a control event: the next event loads the plugin once",
         true,
         true,
         {Control("1"), kStart, kOpenGl},
         false,
         {kStartSent, kOpenGlSent},
         1,
         kSuccess},
        {"gate open, no plugin: dropped quietly, and each event tries again",
         false,
         false,
         {kStart, kOpenGl, kStart},
         false,
         {},
         3,
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ResetTelemetry();
        SharingDisabled = c.disabled_before;
        Fakes().in_default_directories = c.plugin_present;
        const std::string output = StdoutOf([&] {
            for (const Event& event : c.events) {
                ReportEvent(event.name, event.properties, event.flag);
            }
        });
        EXPECT_EQ(SharingDisabled.load(), c.disabled_after);
        std::vector<PluginCall> sent;
        for (const PluginCall& call : Fakes().plugin.calls) {
            if (call.operation == "SendEvent") {
                sent.push_back(call);
            }
        }
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(Fakes().Count("LoadFromDefaultDirectories TavroPlugin.dll"), c.load_attempts);
        EXPECT_EQ(output, c.output);
    }
    ResetTelemetry();
}

TEST(StartEvent, CarriesItsPropertiesAndTheStartTime) {
    for (const auto& [time, text] : std::vector<std::pair<int64_t, std::string>>{
             {1700000000123, "1700000000123"}, {0, "0"}, {-1500, "-1500"}}) {
        ResetTelemetry();
        SharingDisabled = false;
        EXPECT_EQ(StdoutOf([&] { ReportStartEvent(time); }), kSuccess);
        EXPECT_EQ(Fakes().plugin.calls.back(),
                  (PluginCall{"SendEvent",
                              {"start_soft", "error_code=0", "error_msg=start soft",
                               "start_status=start", "start_time=" + text, "flag=false"}}));
    }
    ResetTelemetry();
}

TEST(StartEvent, TimeIsMillisecondsSince1970) {
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    using std::chrono::system_clock;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    const int64_t now = CurrentTimeMilliseconds();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    EXPECT_LE(before.count(), now);
    EXPECT_LE(now, after.count());
}

}  // namespace
