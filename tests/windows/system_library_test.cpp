// The Windows side of the seams that call into libraries of Windows itself, run with a
// version.dll and an iphlpapi.dll planted beside this program and preferred over the builtin
// ones (native first, as Windows searches a program's folder first). The sources must take the
// libraries from System32 all the same: the planted ones record every call into them.
#include <windows.h>
// After windows.h, whose types it uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <string>
#include <vector>

#include "captured_output.h"
#include "common/module_path.h"
#include "crash/machine_identity.h"
#include "crash/release_version.h"
#include "telemetry/event_reporting.h"

namespace {

std::wstring Lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring SystemFile(const wchar_t* name) {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    EXPECT_GT(length, 0u);
    return Lower(std::wstring(folder, length) + L"\\" + name);
}

std::wstring LoadedFile(const wchar_t* name) {
    const HMODULE module = GetModuleHandleW(name);
    if (module == nullptr) {
        return L"<not loaded>";
    }
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size())));
    return Lower(path);
}

// What the planted libraries recorded in this process.
std::vector<std::string> PlantedRecord() {
    std::vector<std::string> lines;
    const char* path = std::getenv("TAVRO_TEST_PLANTED_RECORD");
    if (path == nullptr) {
        ADD_FAILURE() << "TAVRO_TEST_PLANTED_RECORD is not set";
        return lines;
    }
    std::ifstream file(path);
    const std::string prefix = std::to_string(GetCurrentProcessId()) + " ";
    for (std::string line; std::getline(file, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(prefix.size()));
        }
    }
    return lines;
}

std::vector<std::string> CallsInto(const std::string& library) {
    std::vector<std::string> calls;
    for (const std::string& line : PlantedRecord()) {
        if (line.compare(0, library.size() + 1, library + " ") == 0) {
            calls.push_back(line);
        }
    }
    return calls;
}

class PlantedBesideTheProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        // Without the planted files beside it this test would prove nothing.
        const std::wstring folder = DirectoryOf(GetModulePath());
        for (const wchar_t* name : {L"version.dll", L"iphlpapi.dll"}) {
            ASSERT_NE(GetFileAttributesW((folder + name).c_str()), INVALID_FILE_ATTRIBUTES)
                << "no planted library beside the program";
        }
    }
};

TEST_F(PlantedBesideTheProgram, AdapterQueryTakesIphlpapiFromSystem32) {
    SharingDisabled.store(false);
    const std::string address = GetMacAddress(SystemAdapterSource());
    SharingDisabled.store(true);

    EXPECT_EQ(address.find_first_not_of("0123456789ABCDEF"), std::string::npos) << address;
    EXPECT_EQ(LoadedFile(L"iphlpapi.dll"), SystemFile(L"iphlpapi.dll"));
    EXPECT_EQ(CallsInto("iphlpapi.dll"), std::vector<std::string>{});
}

TEST_F(PlantedBesideTheProgram, VersionReaderTakesVersionFromSystem32) {
    CapturedOutput out;
    EXPECT_EQ(ReadReleaseVersion(SystemVersionSource(), out.stream()), "2.7.65535");
    EXPECT_EQ(out.Text(), "");
    // The planted file may be in the process through another library's import; it must never
    // be asked anything.
    for (const std::string& line : CallsInto("version.dll")) {
        EXPECT_EQ(line, "version.dll attached");
    }
}

TEST_F(PlantedBesideTheProgram, HostNameTakesTheSocketsLayerFromSystem32) {
    EXPECT_FALSE(QueryHostName().empty());
    EXPECT_EQ(LoadedFile(L"ws2_32.dll"), SystemFile(L"ws2_32.dll"));
    // Asked again, the layer started once answers the same.
    EXPECT_EQ(QueryHostName(), QueryHostName());
}

}  // namespace
