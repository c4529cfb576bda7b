#pragma once

#include <cstdint>

// The process id: GetCurrentProcessId on Windows; the host tests link their own.
uint32_t CurrentProcessId();

// Configures and starts the crash reporter and its one session, with the plugin's endpoint,
// the handler and database beside the launcher, the release named after the launcher's
// version, and the process id, host name and hardware address as tags. Nothing it meets is
// reported back: the launch goes on whatever happened.
void SetUpCrashReporting();

// Ends the session and shuts the crash reporter down, after the hand-off whatever its outcome.
void EndCrashReporting();
