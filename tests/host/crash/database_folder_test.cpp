#include "crash/database_folder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "fakes.h"

namespace {

const std::wstring kBeside = L"C:\\Program Files\\Tavro\\dump";
const std::wstring kLocal = L"C:\\Users\\Ada\\AppData\\Local";
const std::wstring kProduct = kLocal + L"\\TavroStudio";
const std::wstring kFallback = kProduct + L"\\dump";

TEST(ChooseDatabaseFolder, BesideTheLauncherWhenItCanBeWrittenOtherwiseThePerUserFolder) {
    using Paths = std::set<std::wstring>;
    const struct {
        const char* name;
        Paths existing, makeable, writable;
        std::wstring local_app_data;
        std::wstring chosen;
        bool writable_result;
        std::string line;
    } cases[] = {
        {"beside exists and takes files", {kBeside}, {}, {kBeside}, kLocal, kBeside, true, ""},
        {"beside is made and takes files", {}, {kBeside}, {kBeside}, kLocal, kBeside, true, ""},
        {"beside refuses files: the per-user folder is made",
         {kBeside, kLocal},
         {kProduct, kFallback},
         {kFallback},
         kLocal,
         kFallback,
         true,
         "crash reports are kept in C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump\n"},
        {"beside cannot be made (a file is in the way): the per-user folder exists",
         {kProduct, kFallback},
         {},
         {kFallback},
         kLocal,
         kFallback,
         true,
         "crash reports are kept in C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump\n"},
        {"local application data given with a closing separator",
         {kProduct, kFallback},
         {},
         {kFallback},
         kLocal + L"\\",
         kFallback,
         true,
         "crash reports are kept in C:\\Users\\Ada\\AppData\\Local\\TavroStudio\\dump\n"},
        {"no local application data",
         {kBeside},
         {},
         {},
         L"",
         kBeside,
         false,
         "crash reports cannot be kept: C:\\Program Files\\Tavro\\dump cannot be written\n"},
        {"the product folder cannot be made",
         {kBeside},
         {},
         {kFallback},
         kLocal,
         kBeside,
         false,
         "crash reports cannot be kept: C:\\Program Files\\Tavro\\dump cannot be written\n"},
        {"the per-user folder refuses files too",
         {kBeside, kProduct, kFallback},
         {},
         {},
         kLocal,
         kBeside,
         false,
         "crash reports cannot be kept: C:\\Program Files\\Tavro\\dump cannot be written\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDatabaseFolders folders;
        folders.all_writable = false;
        folders.existing = c.existing;
        folders.makeable = c.makeable;
        folders.writable = c.writable;
        folders.local_app_data = c.local_app_data;

        testing::internal::CaptureStdout();
        const DatabaseFolder chosen = ChooseDatabaseFolder(L"C:\\Program Files\\Tavro\\", folders);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line);
        EXPECT_EQ(chosen.path, c.chosen);
        EXPECT_EQ(chosen.writable, c.writable_result);
    }
}

// Nothing beyond the one folder is touched when it can be written: a launcher in a writable
// folder behaves as it always has.
TEST(ChooseDatabaseFolder, AWritableFolderBesideTheLauncherIsAllThatIsAskedAbout) {
    FakeDatabaseFolders folders;
    folders.all_writable = false;
    folders.existing = folders.writable = {L"D:\\Apps\\Viewer\\dump"};
    EXPECT_EQ(ChooseDatabaseFolder(L"D:\\Apps\\Viewer\\", folders).path, L"D:\\Apps\\Viewer\\dump");
    EXPECT_EQ(folders.steps, (std::vector<std::string>{"make D:\\Apps\\Viewer\\dump",
                                                       "write in D:\\Apps\\Viewer\\dump"}));
}

// A launcher path without a directory keeps the relative "dump" as before.
TEST(ChooseDatabaseFolder, WithoutADirectoryTheFolderIsRelative) {
    FakeDatabaseFolders folders;
    folders.all_writable = false;
    folders.makeable = folders.writable = {L"dump"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(ChooseDatabaseFolder(L"", folders).path, L"dump");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
