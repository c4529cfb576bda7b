#include <windows.h>

#include "crash/crash_reporting.h"

uint32_t CurrentProcessId() {
    return GetCurrentProcessId();
}
