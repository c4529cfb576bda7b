#pragma once

#include <string>

// Sending the envelopes waiting in the database folder, on a thread of its own. None of these
// calls waits for the network; none is for a crashed process, which sends nothing (its
// envelope goes at the next start).
namespace sentry_lite {

// Starts the upload thread for `database_folder` (an absolute path). The thread caps the
// folder at once (the newest kKeptEnvelopes envelopes of each kind stay, whatever the DSN),
// then, when `dsn` reads, sends the oldest envelopes first, at most kSentPerRun in the run,
// from a moment after the start (or from the stop, when that comes first). Returns false when
// the thread could not be started, or uploads are already running. Returns at once: listing
// the folder and every request are the thread's.
bool StartUploads(const std::wstring& database_folder, const std::string& dsn);

// A new envelope is in the folder (a finished session): the thread looks again. Nothing
// happens when uploads are not running.
void WakeUploads();

// A crash is being handled: no request starts from now on, so the crashed process never sends
// its own report (it goes at the next start, once). An atomic store only: no lock, no memory.
void HoldUploads();

// Ends the thread: it sends what is still pending (a session's end written just before) for
// at most kStopPatienceMs, each request bounded to end within it, and this waits that long at
// most, then leaves a request begun before the stop in flight to the end of the process (its
// file, named in flight, is removed at the next start: the server may have taken it).
void StopUploads();
constexpr unsigned kStopPatienceMs = 2000;

}  // namespace sentry_lite
