#include "crash/crash_callback.h"

#include <gtest/gtest.h>

#include "fakes.h"
#include "telemetry/event_reporting.h"

namespace {

sentry_value_t Value(uint64_t bits) {
    sentry_value_t value;
    value._bits = bits;
    return value;
}

const EventProperties kCrashProperties = {
    {"error_code", "-1"},
    {"error_msg", "windows occur crash and the crash info please check server"},
};

class OnCrashTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetMachine(); }

    uint64_t Crash(uint64_t event_bits) {
        int closure = 0;
        return OnCrash(nullptr, Value(event_bits), &closure)._bits;
    }

    FakePlugin plugin;
};

TEST_F(OnCrashTest, SendsCrashReportWithTheFlagAndReturnsTheEvent) {
    InstallPlugin(plugin);
    AllowSharing();
    EXPECT_EQ(Crash(0x0123456789ABCDEFu), 0x0123456789ABCDEFu);
    ASSERT_EQ(plugin.events.size(), 1u);
    EXPECT_EQ(plugin.events[0].name, "crash_report");
    EXPECT_EQ(plugin.events[0].properties, kCrashProperties);
    EXPECT_TRUE(plugin.events[0].flag);

    // The same event for every crash, whatever the crash reporter hands over.
    EXPECT_EQ(Crash(7), 7u);
    ASSERT_EQ(plugin.events.size(), 2u);
    EXPECT_EQ(plugin.events[1].properties, kCrashProperties);
}

TEST_F(OnCrashTest, SharingDisabledDropsTheEventButKeepsTheReport) {
    InstallPlugin(plugin);
    EXPECT_EQ(Crash(0xFEEDu), 0xFEEDu);
    EXPECT_TRUE(plugin.events.empty());
}

TEST_F(OnCrashTest, NoPluginToBeFound) {
    AllowSharing();
    EXPECT_EQ(Crash(0xFEEDu), 0xFEEDu);
    EXPECT_EQ(machine.plugin_loads, 1);
}

TEST_F(OnCrashTest, APluginThatThrowsDoesNotLoseTheReport) {
    plugin.throws = true;
    InstallPlugin(plugin);
    AllowSharing();
    EXPECT_EQ(Crash(0xFEEDu), 0xFEEDu);
}

}  // namespace
