#pragma once

#include <sentry.h>

// The crash reporter's on-crash callback: reports "crash_report" through the telemetry and
// hands the crash event back unchanged, so the report goes on as usual.
sentry_value_t OnCrash(const sentry_ucontext_t* context, sentry_value_t event, void* closure);
