// Any number of arbitrary wide strings as the split command line (UTF-16 units, a NUL unit
// ending each argument). The application receives the program path, "--gcodeviewer", then
// every user argument in order and by the same pointer, then a null entry; the switch flags
// are what an exact comparison of the user arguments gives.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "launch/argument_vector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One block holding every argument, each ending in its NUL, and pointers into it: the
    // form CommandLineToArgvW gives.
    std::wstring block = WideUnits(data, size);
    block += L'\0';
    std::vector<wchar_t*> entries;
    entries.reserve(static_cast<size_t>(std::count(block.begin(), block.end(), L'\0')));
    entries.push_back(block.data());
    for (size_t i = 0; i + 1 < block.size(); ++i) {
        if (block[i] == L'\0') {
            entries.push_back(block.data() + i + 1);
        }
    }
    const int count = static_cast<int>(entries.size());

    LaunchArguments built = BuildArgumentVector(count, entries.data());
    // The vector is handed around by value before the application runs; what it points at
    // must not move with it.
    LaunchArguments moved = std::move(built);
    ArgumentVector& vector = moved.vector;

    FUZZ_CHECK(vector.Count() == count + 1);
    FUZZ_CHECK(vector.entries.size() == static_cast<size_t>(count) + 2);
    FUZZ_CHECK(vector.Data() == vector.entries.data());
    FUZZ_CHECK(vector.entries[0] == entries[0]);
    FUZZ_CHECK(std::wcscmp(vector.entries[1], L"--gcodeviewer") == 0);
    // The application may write to its arguments.
    vector.entries[1][0] = L'-';
    for (int i = 1; i < count; ++i) {
        FUZZ_CHECK(vector.entries[static_cast<size_t>(i) + 1] == entries[static_cast<size_t>(i)]);
    }
    FUZZ_CHECK(vector.entries.back() == nullptr);

    bool sw_renderer = false;
    bool no_sw_renderer = false;
    for (size_t i = 1; i < entries.size(); ++i) {
        const std::wstring_view argument(entries[i]);
        sw_renderer = sw_renderer || argument == L"--sw-renderer";
        no_sw_renderer = no_sw_renderer || argument == L"--no-sw-renderer";
    }
    FUZZ_CHECK(moved.switches.sw_renderer == sw_renderer);
    FUZZ_CHECK(moved.switches.no_sw_renderer == no_sw_renderer);
    return 0;
}
