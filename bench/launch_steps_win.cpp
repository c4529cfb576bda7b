// The launcher's sequence with a timestamp after each step: the same calls, in the same order,
// as tavro-gcodeviewer.exe's wWinMain, built from the same sources and resources, so the time
// the launcher spends before it hands over can be split by step. Each step is recorded as
// "step_us <name>", its length in microseconds; "before the entry function" is the time from
// the creation of the process (process start, imports, runtime start-up), and the measuring
// orviStudio.dll records the entry of layrix_main. The marks are kept in memory and written
// only after the application has returned, so the record's file calls are in no step.
//
// With BENCH_DETAIL set, the parts of the crash set-up that touch the system (version
// resource, crash database folder, host name) are first timed on their own, cold, before the
// set-up runs.
// shellapi.h needs what windows.h declares, so the two must not be sorted.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdlib>
#include <string>

#include "bench_record.h"
#include "common/module_loader.h"
#include "common/module_path.h"
#include "crash/crash_reporting.h"
#include "crash/database_folder.h"
#include "crash/machine_identity.h"
#include "crash/release_version.h"
#include "launch/application_library.h"
#include "launch/argument_vector.h"
#include "launch/launcher_directory.h"
#include "renderer/opengl_probe.h"
#include "renderer/software_renderer.h"
#include "telemetry/start_event.h"
#include "telemetry/telemetry_setup.h"

namespace {

struct Step {
    const char* name;
    double microseconds;
};
Step steps[16];
int step_count = 0;
double last = 0;

// The first mark reads the time since process creation; the others only the performance
// counter, which costs no call into the system.
void Mark(const char* step) {
    const double now = bench::Microseconds();
    const double length = step_count == 0 ? bench::SinceProcessCreation() : now - last;
    if (step_count < 16) {
        steps[step_count++] = {step, length};
    }
    last = now;
}

void RecordSteps() {
    for (int i = 0; i < step_count; ++i) {
        bench::Record((std::string("step_us ") + steps[i].name).c_str(), steps[i].microseconds);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    Mark("before the entry function");
    int count = 0;
    wchar_t** command_line = CommandLineToArgvW(GetCommandLineW(), &count);
    if (command_line == nullptr) {
        return -1;
    }
    _set_error_mode(_OUT_TO_MSGBOX);
    Mark("command line");

    SetUpTelemetry();
    Mark("telemetry set-up");
    ReportStartEvent(CurrentTimeMilliseconds());
    Mark("start event");
    if (std::getenv("BENCH_DETAIL") != nullptr) {
        GetReleaseVersion();
        Mark("(alone) release version");
        ChooseDatabaseFolder(DirectoryOf(GetModulePath()), SystemDatabaseFolders());
        Mark("(alone) crash database folder");
        GetHostName();
        Mark("(alone) host name");
    }
    SetUpCrashReporting();
    Mark("crash set-up");

    LaunchArguments arguments = BuildArgumentVector(count, command_line);
    Mark("argument vector");
    OpenGLProbeResult probe;
    const bool software_renderer = UseSoftwareRenderer(arguments.switches, probe, SystemRenderer());
    Mark("renderer decision");
    const std::wstring launcher_directory = GetLauncherDirectory();
    Mark("launcher directory");
    if (software_renderer && !SwitchToSoftwareOpenGL(probe, launcher_directory, SystemRenderer())) {
        return -1;
    }
    Mark("software switch");

    const int result =
        RunApplicationLibrary(launcher_directory, arguments.vector, SystemModuleLoader());
    RecordSteps();
    EndCrashReporting();
    return result;
}
