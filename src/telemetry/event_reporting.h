#pragma once

#include <atomic>
#include <string>

#include "tavro/tavro_plugin.h"

// windows.h maps ReportEvent to the event-log function ReportEventW; this one is ours.
#ifdef ReportEvent
#undef ReportEvent
#endif

// The sharing gate. It starts closed, and only the control event "report_bury_shared" opens
// or closes it; while it is closed no event reaches the plugin and no hardware address is read.
extern std::atomic<bool> SharingDisabled;

// The one way a telemetry event leaves the launcher. Applies a control event, forwards any
// other event to the plugin while sharing is allowed, and drops it otherwise.
void ReportEvent(std::string name, EventProperties properties, bool flag);
