#pragma once

#include <sentry.h>

#include <string>
#include <vector>

// One log for the recording double of the crash reporter's functions and for the machine
// reads of the fakes, so a test sees their order.
extern std::vector<std::string> calls;

// What the recording double's functions give back.
extern int sentry_init_result;
extern sentry_options_t* const recorded_options;
extern sentry_crash_function_t recorded_on_crash;
extern void* recorded_on_crash_data;
