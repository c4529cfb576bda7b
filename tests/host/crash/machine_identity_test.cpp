#include "crash/machine_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes.h"
#include "telemetry/event_reporting.h"

namespace {

TEST(BytesToHex, TwoUpperCaseDigitsPerByteHighHalfFirst) {
    const struct {
        std::vector<uint8_t> bytes;
        std::wstring hex;
    } cases[] = {
        {{}, L""},
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, L"001A2B3C4D5E"},
        {{0x0F}, L"0F"},
        {{0xA0}, L"A0"},
        {{0xFF, 0x00, 0x9B}, L"FF009B"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BytesToHex(c.bytes.data(), c.bytes.size()), c.hex);
    }
}

class GetMacAddressTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetMachine(); }
};

TEST_F(GetMacAddressTest, SharingDisabledQueriesNoAdapter) {
    FakeAdapterSource source;
    source.first = {6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
    EXPECT_EQ(GetMacAddress(source), "");
    EXPECT_EQ(source.queries, 0);
}

TEST_F(GetMacAddressTest, SharingAllowed) {
    AllowSharing();
    const struct {
        const char* name;
        uint32_t size_result;
        uint32_t list_result;
        AdapterAddress first;
        std::string address;
        int queries;
    } cases[] = {
        {"one adapter", 111, 0, {6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}}, "001A2B3C4D5E", 2},
        {"a full 8-byte address", 111, 0, {8, {1, 2, 3, 4, 5, 6, 7, 0xF8}}, "01020304050607F8", 2},
        {"AddressLength 0", 111, 0, {0, {0x00, 0x1A}}, "", 2},
        {"AddressLength beyond the array: the array alone",
         111,
         0,
         {12, {0xDE, 0xAD, 0xBE, 0xEF, 0x00, 0x01, 0x02, 0x03}},
         "DEADBEEF00010203",
         2},
        {"no adapters", 232, 0, {6, {1, 2, 3, 4, 5, 6}}, "", 1},
        {"no network support", 50, 0, {6, {1, 2, 3, 4, 5, 6}}, "", 1},
        {"an empty list reported as success", 0, 0, {6, {1, 2, 3, 4, 5, 6}}, "", 1},
        {"second query fails (the list grew)", 111, 111, {6, {1, 2, 3, 4, 5, 6}}, "", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeAdapterSource source;
        source.size_result = c.size_result;
        source.list_result = c.list_result;
        source.first = c.first;
        EXPECT_EQ(GetMacAddress(source), c.address);
        EXPECT_EQ(source.queries, c.queries);
    }
}

TEST_F(GetMacAddressTest, UsesTheSystemSourceAndTheGate) {
    machine.adapters.first = {6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};
    EXPECT_EQ(GetMacAddress(), "");
    AllowSharing();
    EXPECT_EQ(GetMacAddress(), "001A2B3C4D5E");
    ReportEvent("report_bury_shared", {{"current_bury_shared", "0"}}, false);
    EXPECT_EQ(GetMacAddress(), "");
    EXPECT_EQ(machine.adapters.queries, 2);
}

TEST(GetHostName, TheQueriedNameOrEmptyWhenTheQueryRaises) {
    ResetMachine();
    machine.host_name = "WORKSHOP-PC-015";
    EXPECT_EQ(GetHostName(), "WORKSHOP-PC-015");
    EXPECT_EQ(GetHostName().size(), 15u);

    machine.host_name.reset();
    testing::internal::CaptureStdout();
    EXPECT_EQ(GetHostName(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
