#include "crash/crash_callback.h"

#include "telemetry/event_reporting.h"

sentry_value_t OnCrash(const sentry_ucontext_t*, sentry_value_t event, void*) {
    // The crash reporter calls this from C, inside the crash handling: nothing may leave it
    // by an exception (a plugin's, or an allocation failing in a damaged process), or the
    // crash report would be lost with it.
    try {
        EventProperties properties;
        properties.emplace("error_code", "-1");
        properties.emplace("error_msg",
                           "windows occur crash and the crash info please check server");
        ReportEvent("crash_report", properties, true);
    } catch (...) {
    }
    return event;
}
