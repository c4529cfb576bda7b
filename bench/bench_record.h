#pragma once

// What the benchmark's programs write: one line per value, appended to the file that the
// environment variable BENCH_RECORD names (nothing when it is unset), so a script can read the
// values of many runs. Times are microseconds since the process was created (GetProcessTimes),
// read with the same clock Windows stamps the creation with.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

inline unsigned long long FileTimeValue(const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Microseconds from the creation of this process to now.
inline double SinceProcessCreation() {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
        return -1;
    }
    return static_cast<double>(FileTimeValue(now) - FileTimeValue(creation)) / 10.0;
}

// Microseconds on the performance counter, for spans inside the process.
inline double Microseconds() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// Appends "<key> <value>" to the record.
inline void Record(const char* key, double value) {
    const wchar_t* path = _wgetenv(L"BENCH_RECORD");
    if (path == nullptr) {
        return;
    }
    FILE* file = _wfopen(path, L"ab");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "%s %.1f\n", key, value);
    std::fclose(file);
}

}  // namespace bench
