#pragma once

#include <cstdint>

// Milliseconds since 1970-01-01 00:00 UTC from the system clock's 100-ns tick count.
int64_t CurrentTimeMilliseconds();

// Reports "start_soft" with the given start time.
void ReportStartEvent(int64_t start_time_ms);
