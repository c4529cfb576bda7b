// The Windows side of the crash-reporting seams: adapter records as the platform lays them
// out, and the version resource of this very program (crash_sources_test.rc).
#include <windows.h>
#include <winsock2.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>
#include <iphlpapi.h>

#include <string>
#include <vector>

#include "captured_output.h"
#include "crash/machine_identity.h"
#include "crash/release_version.h"
#include "telemetry/event_reporting.h"

namespace {

// Lays the records out in one buffer and links them, as GetAdaptersInfo does; the first
// record is read by the real source.
class LaidOutAdapters final : public AdapterSource {
  public:
    std::vector<IP_ADAPTER_INFO> records;

    uint32_t QueryAdapters(unsigned char* list, uint32_t& size) override {
        const auto needed = static_cast<uint32_t>(records.size() * sizeof(IP_ADAPTER_INFO));
        if (records.empty()) {
            return ERROR_NO_DATA;
        }
        if (list == nullptr || size < needed) {
            size = needed;
            return ERROR_BUFFER_OVERFLOW;
        }
        auto* out = reinterpret_cast<IP_ADAPTER_INFO*>(list);
        for (size_t i = 0; i < records.size(); ++i) {
            out[i] = records[i];
            out[i].Next = i + 1 < records.size() ? &out[i + 1] : nullptr;
        }
        return ERROR_SUCCESS;
    }

    AdapterAddress FirstAdapterAddress(const unsigned char* list, uint32_t size) override {
        return SystemAdapterSource().FirstAdapterAddress(list, size);
    }
};

IP_ADAPTER_INFO Adapter(UINT type, UINT length, std::vector<BYTE> bytes) {
    IP_ADAPTER_INFO record{};
    record.Type = type;
    record.AddressLength = length;
    std::copy(bytes.begin(), bytes.end(), record.Address);
    return record;
}

class AdapterRecords : public ::testing::Test {
  protected:
    void SetUp() override { SharingDisabled.store(false); }
    void TearDown() override { SharingDisabled.store(true); }
};

TEST_F(AdapterRecords, FirstRecordOnly) {
    LaidOutAdapters source;
    source.records = {
        Adapter(MIB_IF_TYPE_LOOPBACK, 6, {0x02, 0x00, 0x4C, 0x4F, 0x4F, 0x50}),
        Adapter(MIB_IF_TYPE_ETHERNET, 6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}),
        Adapter(IF_TYPE_IEEE80211, 6, {0xA0, 0x0F, 0x01, 0x02, 0x03, 0x04}),
    };
    EXPECT_EQ(GetMacAddress(source), "02004C4F4F50");
    source.records.erase(source.records.begin());
    EXPECT_EQ(GetMacAddress(source), "001A2B3C4D5E");
}

TEST_F(AdapterRecords, AddressLengthOutsideTheArray) {
    LaidOutAdapters source;
    source.records = {Adapter(MIB_IF_TYPE_ETHERNET, 12, {1, 2, 3, 4, 5, 6, 7, 8})};
    EXPECT_EQ(GetMacAddress(source), "0102030405060708");
    source.records = {Adapter(MIB_IF_TYPE_ETHERNET, 0, {1, 2, 3, 4, 5, 6})};
    EXPECT_EQ(GetMacAddress(source), "");
    source.records.clear();
    EXPECT_EQ(GetMacAddress(source), "");
}

TEST_F(AdapterRecords, AListShorterThanOneRecordIsNotRead) {
    IP_ADAPTER_INFO record = Adapter(MIB_IF_TYPE_ETHERNET, 6, {1, 2, 3, 4, 5, 6});
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    EXPECT_EQ(SystemAdapterSource().FirstAdapterAddress(bytes, sizeof record).length, 6u);
    EXPECT_EQ(SystemAdapterSource().FirstAdapterAddress(bytes, sizeof record - 1).length, 0u);
}

// Whatever adapters this machine has: nothing, or two upper-case digits per address byte.
TEST_F(AdapterRecords, ThisMachine) {
    const std::string address = GetMacAddress(SystemAdapterSource());
    EXPECT_EQ(address.size() % 2, 0u);
    EXPECT_LE(address.size(), 16u);
    EXPECT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos) << address;
    SharingDisabled.store(true);
    EXPECT_EQ(GetMacAddress(SystemAdapterSource()), "");
}

TEST(VersionResource, ThisProgramsProductVersion) {
    CapturedOutput out;
    EXPECT_EQ(ReadReleaseVersion(SystemVersionSource(), out.stream()), "2.7.65535");
    EXPECT_EQ(out.Text(), "");
}

// The system source on another file.
class OtherFile final : public VersionSource {
  public:
    explicit OtherFile(std::wstring file) : path(std::move(file)) {}
    std::wstring ModulePath() override { return path; }
    uint32_t VersionInfoSize(const std::wstring& p) override {
        return SystemVersionSource().VersionInfoSize(p);
    }
    bool ReadVersionInfo(const std::wstring& p, std::vector<uint8_t>& block) override {
        return SystemVersionSource().ReadVersionInfo(p, block);
    }
    bool QueryProductVersion(const std::vector<uint8_t>& block, ProductVersion& v) override {
        return SystemVersionSource().QueryProductVersion(block, v);
    }
    unsigned long LastError() override { return SystemVersionSource().LastError(); }

  private:
    std::wstring path;
};

TEST(VersionResource, AFileWithoutOne) {
    wchar_t folder[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring file = std::wstring(folder) + L"crash-sources-test-no-version.txt";
    const HANDLE handle =
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(handle, "no resources here", 17, &written, nullptr);
    CloseHandle(handle);

    for (const std::wstring& path : {file, file + L".absent"}) {
        OtherFile source(path);
        CapturedOutput out;
        EXPECT_EQ(ReadReleaseVersion(source, out.stream()), "0.0.0");
        const std::string line = out.Text();
        const std::string prefix = "get version info fail about ";
        ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
        ASSERT_EQ(line.back(), '\n');
        const std::string code = line.substr(prefix.size(), line.size() - prefix.size() - 1);
        EXPECT_FALSE(code.empty());
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << line;
        EXPECT_NE(code, "0") << "the platform's error code";
    }
    DeleteFileW(file.c_str());
}

}  // namespace
