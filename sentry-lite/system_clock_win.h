#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <cstdint>

#include "utc_time.h"

namespace sentry_lite {

// The system clock in milliseconds since 1970-01-01 00:00 UTC, as reports and file names give
// it. Takes no lock and no memory, so a crash may read it.
inline int64_t NowMilliseconds() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return UnixMillisecondsOfFileTime(now.dwHighDateTime, now.dwLowDateTime);
}

}  // namespace sentry_lite
