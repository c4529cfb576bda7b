#include "crash/crash_reporting.h"

#include <sentry.h>

#include <string>

#include "common/module_path.h"
#include "common/wide_to_utf8.h"
#include "crash/crash_callback.h"
#include "crash/database_folder.h"
#include "crash/machine_identity.h"
#include "crash/release_version.h"
#include "telemetry/plugin_loader.h"

namespace {

constexpr char kReleasePrefix[] = "TavroStudio ";
constexpr char kEnvironment[] = "production";

std::string CrashReportEndpoint() {
    std::string endpoint;
    LoadTelemetryPlugin();
    if (PluginInstance == nullptr) {
        return endpoint;
    }
    // A plugin whose endpoint query throws fails its load, yet its object stays in
    // PluginInstance; letting the same throw escape here would end every start of the viewer.
    try {
        PluginInstance->GetCrashReportDsn(endpoint);
    } catch (...) {
        endpoint.clear();
    }
    return endpoint;
}

}  // namespace

void SetUpCrashReporting() {
    sentry_options_t* options = sentry_options_new();
    sentry_options_set_dsn(options, CrashReportEndpoint().c_str());

    // A path without a backslash (a failed query included) makes both paths relative.
    const std::wstring directory = DirectoryOf(GetModulePath());
    const std::string handler_path = WideToUtf8(directory + L"crashpad_handler.exe");
    if (!handler_path.empty()) {
        sentry_options_set_handler_path(options, handler_path.c_str());
    }
    const std::string database_path =
        WideToUtf8(ChooseDatabaseFolder(directory, SystemDatabaseFolders()).path);
    if (!database_path.empty()) {
        sentry_options_set_database_path(options, database_path.c_str());
    }

    const std::string release = kReleasePrefix + GetReleaseVersion();
    sentry_options_set_release(options, release.c_str());
    sentry_options_set_debug(options, 0);
    sentry_options_set_environment(options, kEnvironment);
    // The run's one session is started explicitly below and ended after the hand-off.
    sentry_options_set_auto_session_tracking(options, 0);
    sentry_options_set_symbolize_stacktraces(options, 1);
    sentry_options_set_on_crash(options, &OnCrash, nullptr);
    sentry_init(options);
    sentry_start_session();

    sentry_set_tag("PID", std::to_string(CurrentProcessId()).c_str());
    const std::string host_name = GetHostName();
    const std::string mac_address = GetMacAddress();
    sentry_set_tag("computer_name", host_name.c_str());
    sentry_set_tag("mac_address", mac_address.c_str());
}

void EndCrashReporting() {
    sentry_end_session();
    sentry_shutdown();
}
