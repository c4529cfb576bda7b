#pragma once

#include <map>
#include <string>
#include <string_view>

// What the envelope writer's fuzz target reads back from a report: the texts it put in. The
// reading is the judge, not the code under test: it is built without coverage tracing or
// sanitizer checks (tests/fuzz/CMakeLists.txt).
struct ReadReport {
    std::string release;
    std::string environment;
    std::map<std::string, std::string> tags;
};

// Parses a report with a JSON library; false when it is not JSON or a field has another type.
bool ReadReportBack(std::string_view text, ReadReport& report);

// The event item's payload of an envelope, read by its header line and length, as a view into
// the envelope; false when the envelope does not start with a header and an event item.
bool ReadEventItem(std::string_view envelope, std::string_view& event);

// Well-formed UTF-8 as the Unicode standard tables it.
bool IsValidUtf8(std::string_view text);
