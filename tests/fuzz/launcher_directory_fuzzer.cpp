// A module path of any length with any mix of separators, as UTF-16 units. The launcher
// directory is a prefix of the path that keeps its last separator, and what it leaves off
// (the file name) holds no separator; a path without one gives its drive or nothing.
#include <string>

#include "fuzz_check.h"
#include "launch/launcher_directory.h"

namespace {

bool IsSeparator(wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = WideUnits(data, size);
    const std::wstring directory = LauncherDirectoryFromModulePath(path);

    FUZZ_CHECK(directory.size() <= path.size());
    FUZZ_CHECK(path.compare(0, directory.size(), directory) == 0);
    const std::wstring file_name = path.substr(directory.size());
    for (const wchar_t unit : file_name) {
        FUZZ_CHECK(!IsSeparator(unit));
    }

    bool has_separator = false;
    for (const wchar_t unit : path) {
        has_separator = has_separator || IsSeparator(unit);
    }
    if (has_separator) {
        FUZZ_CHECK(!directory.empty() && IsSeparator(directory.back()));
    } else if (directory.empty()) {
        FUZZ_CHECK(path.size() < 2 || path[1] != L':');
    } else {
        FUZZ_CHECK(directory.size() == 2 && directory[1] == L':');
    }

    // The libraries are found by appending their names: the result names a file in the
    // directory, never one of another folder.
    const std::wstring library = directory + L"orviStudio.dll";
    FUZZ_CHECK(LauncherDirectoryFromModulePath(library) == directory);
    return 0;
}
