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
#include "renderer/opengl_probe.h"
#include "renderer/software_renderer.h"
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
    OpenGLProbeResult probe;
    const bool software_renderer = UseSoftwareRenderer(arguments.switches, probe, SystemRenderer());
    const std::wstring launcher_directory = GetLauncherDirectory();
    // The warning box has told the user to start again with "--sw-renderer"; running the
    // application on a system library that would not go is not an option.
    if (software_renderer && !SwitchToSoftwareOpenGL(probe, launcher_directory, SystemRenderer())) {
        return -1;
    }

    const int result =
        RunApplicationLibrary(launcher_directory, arguments.vector, SystemModuleLoader());
    EndCrashReporting();
    return result;
}
