#pragma once

#include <map>
#include <string>

// What the envelope writer's fuzz target reads back from a report: the texts it put in.
struct ReadReport {
    std::string release;
    std::string environment;
    std::map<std::string, std::string> tags;
};

// Parses a report with a JSON library; false when it is not JSON or a field has another type.
bool ReadReportBack(const std::string& text, ReadReport& report);

// The event item's payload of an envelope, read by its header line and length; false when the
// envelope does not start with a header and an event item.
bool ReadEventItem(const std::string& envelope, std::string& event);
