#include "telemetry/start_event.h"

#include <chrono>
#include <string>

#include "telemetry/event_reporting.h"

int64_t CurrentTimeMilliseconds() {
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    const auto ticks =
        std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return ticks / 10000;
}

void ReportStartEvent(int64_t start_time_ms) {
    EventProperties properties;
    properties.emplace("start_status", "start");
    properties.emplace("start_time", std::to_string(start_time_ms));
    properties.emplace("error_code", "0");
    properties.emplace("error_msg", "start soft");
    ReportEvent("start_soft", properties, false);
}
