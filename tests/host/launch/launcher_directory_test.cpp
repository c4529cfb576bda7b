#include "launch/launcher_directory.h"

#include <gtest/gtest.h>

namespace {

TEST(LauncherDirectoryFromModulePath, Table) {
    const struct {
        std::wstring module_path;
        std::wstring directory;
    } cases[] = {
        {L"D:\\Tools\\Viewer\\tavro-gcodeviewer.exe", L"D:\\Tools\\Viewer\\"},
        {L"E:\\tavro-gcodeviewer.exe", L"E:\\"},
        {L"D:/Tools/Viewer/tavro-gcodeviewer.exe", L"D:/Tools/Viewer/"},
        {L"\\\\server\\share\\viewer\\tavro-gcodeviewer.exe", L"\\\\server\\share\\viewer\\"},
        {L"\\\\?\\C:\\deep\\tavro-gcodeviewer.exe", L"\\\\?\\C:\\deep\\"},
        {L"E:tavro-gcodeviewer.exe", L"E:"},
        {L"tavro-gcodeviewer.exe", L""},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LauncherDirectoryFromModulePath(c.module_path), c.directory);
    }
}

TEST(LauncherDirectoryFromModulePath, LongPathsAreNeverCut) {
    std::wstring directory = L"C:\\";
    while (directory.size() < 600) {
        directory += L"a-rather-long-folder-name\\";
    }
    EXPECT_EQ(LauncherDirectoryFromModulePath(directory + L"tavro-gcodeviewer.exe"), directory);
}

}  // namespace
