// The launcher's entry: prepares the process, then hands it to the application library.
// shellapi.h needs what windows.h declares, so the two must not be sorted.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/module_loader.h"
#include "crash/crash_reporting.h"
#include "launch/application_library.h"
#include "launch/argument_vector.h"
#include "launch/launcher_directory.h"
#include "telemetry/start_event.h"
#include "telemetry/telemetry_setup.h"

namespace {

// Never freed: the argument vector points into it, and the application may keep those
// pointers until it returns, right before the process ends.
wchar_t** SplitCommandLine(int& count) {
    return CommandLineToArgvW(GetCommandLineW(), &count);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** command_line = SplitCommandLine(count);
    if (command_line == nullptr) {
        std::printf("the command line could not be split, error: %lu\n", GetLastError());
        return -1;
    }
    _set_error_mode(_OUT_TO_MSGBOX);

    SetUpTelemetry();
    ReportStartEvent(CurrentTimeMilliseconds());
    SetUpCrashReporting();

    LaunchArguments arguments = BuildArgumentVector(count, command_line);
    const std::wstring launcher_directory = GetLauncherDirectory();

    const int result =
        RunApplicationLibrary(launcher_directory, arguments.vector, SystemModuleLoader());
    EndCrashReporting();
    return result;
}
