#include "recorded_events.h"

std::vector<RecordedEvent> recorded_events;

void ReportEvent(std::string name, EventProperties properties, bool flag) {
    recorded_events.push_back({std::move(name), std::move(properties), flag});
}
