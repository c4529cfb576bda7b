#pragma once

#include <cstdint>
#include <string>

// Sending the envelopes waiting in the database folder, on a thread of its own. None of these
// calls waits for the network; none is for a crashed process, which sends nothing (its
// envelope goes at the next start).
namespace sentry_lite {

// How long after the start the backlog waits, unless the run ends sooner: the launch and the
// viewer's own start are over by then. The last run's crash does not wait (LastRunsCrash).
constexpr uint32_t kSendDelayMs = 2000;

// At sentry_init: the folder (an absolute path) and the DSN the uploads will use. Nothing
// starts here, no thread and no library: the launch is still loading the application's.
void PrepareUploads(const std::wstring& database_folder, const std::string& dsn);

// Whether a crash report no start has tried yet waits in the prepared folder (LastRunsCrash):
// one listing of it. The reporter's thread then starts the uploads at once.
bool LastRunsCrashWaits();

// Starts the upload thread, once after PrepareUploads and never after StopUploads. The thread
// sweeps what earlier runs left half done (reports, sessions that ended unseen), caps the
// folder (the newest kKeptEnvelopes envelopes of each kind stay, whatever the DSN), then, when
// the DSN reads, sends the last run's crash at once and the rest oldest first, from
// `backlog_delay_ms` after its start (or from the stop), at most kSentPerRun in the run.
// False when the thread could not be started, runs already, or the uploads were not prepared.
// Returns at once: listing the folder and every request are the thread's.
bool StartUploads(uint32_t backlog_delay_ms);

// A new envelope is in the folder (a finished session): the thread looks again. Nothing
// happens when uploads are not running.
void WakeUploads();

// A crash is being handled: no request starts from now on, so the crashed process never sends
// its own report (it goes at the next start, once). An atomic store only: no lock, no memory.
void HoldUploads();

// Ends the thread, started here first when the run ends before it was (a short run's session
// end still goes): it sends what is still pending (a session's end written just before) for
// at most kStopPatienceMs, each request bounded to end within it, and this waits that long at
// most, then leaves a request begun before the stop in flight to the end of the process (its
// file, named in flight, is removed at the next start: the server may have taken it).
void StopUploads();
constexpr unsigned kStopPatienceMs = 2000;

}  // namespace sentry_lite
