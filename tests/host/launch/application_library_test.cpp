#include "launch/application_library.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

struct Received {
    int argc = 0;
    std::vector<std::wstring> argv;
    bool null_terminated = false;
};
Received received;
int layrix_result = 0;

int FakeLayrixMain(int argc, wchar_t** argv) {
    received.argc = argc;
    received.argv.assign(argv, argv + argc);
    received.null_terminated = argv[argc] == nullptr;
    return layrix_result;
}
void FakeExceptionHandler() {}

class FakeLoader final : public ModuleLoader {
  public:
    bool loads = true;
    unsigned long error = 0;
    std::map<std::string, ExportAddress> exports = {
        {"TavroExceptionHandler", &FakeExceptionHandler},
        {"layrix_main", reinterpret_cast<ExportAddress>(&FakeLayrixMain)},
    };
    std::vector<std::wstring> loaded;
    std::vector<std::string> looked_up;

    ModuleHandle Load(const std::wstring& path) override {
        loaded.push_back(path);
        return loads ? this : nullptr;
    }
    unsigned long LastError() override { return error; }
    ExportAddress FindExport(ModuleHandle module, const char* name) override {
        EXPECT_EQ(module, this);
        looked_up.push_back(name);
        auto found = exports.find(name);
        return found == exports.end() ? nullptr : found->second;
    }
};

class RunApplicationLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        received = {};
        layrix_result = 0;
        program = L"C:\\Viewer\\tavro-gcodeviewer.exe";
        file = L"a.gcode";
        wchar_t* command_line[] = {program.data(), file.data()};
        arguments = BuildArgumentVector(2, command_line);
    }

    int Run(const std::wstring& directory = L"C:\\Viewer\\") {
        testing::internal::CaptureStdout();
        const int result = RunApplicationLibrary(directory, arguments.vector, loader);
        output = testing::internal::GetCapturedStdout();
        return result;
    }

    std::wstring program, file;
    LaunchArguments arguments;
    FakeLoader loader;
    std::string output;
};

TEST_F(RunApplicationLibraryTest, HandsTheVectorToLayrixMainAndPassesItsResultThrough) {
    for (int code : {0, 3, -1, 255}) {
        layrix_result = code;
        EXPECT_EQ(Run(), code);
    }
    EXPECT_EQ(output, "");
    EXPECT_EQ(received.argc, 3);
    EXPECT_EQ(received.argv, (std::vector<std::wstring>{program, L"--gcodeviewer", L"a.gcode"}));
    EXPECT_TRUE(received.null_terminated);
}

TEST_F(RunApplicationLibraryTest, LoadsFromTheLauncherDirectoryAndLooksUpInOrder) {
    Run(L"D:\\Tools\\Viewer\\");
    EXPECT_EQ(loader.loaded, std::vector<std::wstring>{L"D:\\Tools\\Viewer\\orviStudio.dll"});
    EXPECT_EQ(loader.looked_up, (std::vector<std::string>{"TavroExceptionHandler", "layrix_main"}));

    loader.loaded.clear();
    Run(L"E:\\");
    EXPECT_EQ(loader.loaded, std::vector<std::wstring>{L"E:\\orviStudio.dll"});
}

TEST_F(RunApplicationLibraryTest, LibraryPathIsNeverCutShort) {
    std::wstring deep = L"C:\\";
    while (deep.size() < 400) {
        deep += L"folder\\";
    }
    Run(deep);
    EXPECT_EQ(loader.loaded, std::vector<std::wstring>{deep + L"orviStudio.dll"});
}

TEST_F(RunApplicationLibraryTest, Failures) {
    const struct {
        const char* name;
        bool loads;
        unsigned long error;
        std::vector<std::string> missing;
        std::string line;
        std::vector<std::string> looked_up;
    } cases[] = {
        {"library missing", false, 126, {}, "orviStudio.dll was not loaded, error: 126\n", {}},
        {"error code printed signed",
         false,
         0xC0000135UL,
         {},
         "orviStudio.dll was not loaded, error: -1073741515\n",
         {}},
        {"no exception handler",
         true,
         0,
         {"TavroExceptionHandler"},
         "could not locate the function tavroExceptionHandler in orviStudio.dll\n",
         {"TavroExceptionHandler"}},
        {"no entry point",
         true,
         0,
         {"layrix_main"},
         "could not locate the function layrix_main in orviStudio.dll\n",
         {"TavroExceptionHandler", "layrix_main"}},
        {"neither export: only the first line",
         true,
         0,
         {"TavroExceptionHandler", "layrix_main"},
         "could not locate the function tavroExceptionHandler in orviStudio.dll\n",
         {"TavroExceptionHandler"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLoader fresh;
        fresh.loads = c.loads;
        fresh.error = c.error;
        for (const std::string& name : c.missing) {
            fresh.exports.erase(name);
        }
        received = {};
        testing::internal::CaptureStdout();
        EXPECT_EQ(RunApplicationLibrary(L"C:\\Viewer\\", arguments.vector, fresh), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(fresh.looked_up, c.looked_up);
        EXPECT_EQ(received.argc, 0) << "layrix_main must not run";
    }
}

}  // namespace
