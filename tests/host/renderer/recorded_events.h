#pragma once

#include <string>
#include <vector>

#include "telemetry/event_reporting.h"

// This test program's ReportEvent keeps every event instead of passing it to the plugin.
struct RecordedEvent {
    std::string name;
    EventProperties properties;
    bool flag = true;
};

extern std::vector<RecordedEvent> recorded_events;
