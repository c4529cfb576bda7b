// The benchmark's orviStudio.dll: at the entry of layrix_main it records the time since its
// process was created and the process's peak working set so far, under the name given by
// BENCH_LABEL ("entry_us <label>", "peak_kib <label>"), and returns at once.
#include <windows.h>
// After windows.h, whose types it uses; the kernel32 form, so the library imports no psapi.dll
// that the launcher and the reference would both load before the hand-off.
#define PSAPI_VERSION 2
#include <psapi.h>

#include <string>

#include "bench_record.h"

namespace {

std::string Label() {
    const char* label = std::getenv("BENCH_LABEL");
    return label != nullptr ? label : "run";
}

}  // namespace

extern "C" {

__declspec(dllexport) void TavroExceptionHandler() {}

__declspec(dllexport) int layrix_main(int, wchar_t**) {
    const double entry = bench::SinceProcessCreation();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    const double peak = K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)
                            ? static_cast<double>(memory.PeakWorkingSetSize) / 1024.0
                            : -1;
    const std::string label = Label();
    bench::Record(("entry_us " + label).c_str(), entry);
    bench::Record(("peak_kib " + label).c_str(), peak);
    return 0;
}

}  // extern "C"
