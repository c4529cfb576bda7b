#pragma once

#include <string>

#include "crash_context.h"

// The open session's record (database/open_session.h) on disk. The live run holds its record
// open from the session's start to its end, sharing it for reading only: another process can
// open a record to remove it only once the run that wrote it has ended, whatever became of the
// run's process id. Two viewers started from one folder so never take each other's session
// for one that ended unseen.
namespace sentry_lite {

// At a session's start, with the interface's mutex held: the record, written whole and held.
// False when it could not be kept (the session then goes uncounted should the run end unseen).
bool KeepOpenSession(const std::wstring& folder, const CrashContext& context);

// At the session's clean end, once that end is kept: the record goes.
void RemoveOpenSession();

// A crash's report, in place, carries the session: the record goes when the process ends. For
// the crash: it takes no lock and no memory.
void RemoveOpenSessionWithProcess();

// While the run lives, now and then: the record's last write is the last moment the run was
// known to be alive, which an abnormal end gives as its time.
void TouchOpenSession();

// At a start, off the launch's path: each record of a run that has ended becomes an abnormal
// end beside the other session ends (<stamp>-<pid>-session.envelope, sent by the same queue),
// or goes when a report in the folder already tells the session's end (FateOfOpenSession).
void SettleEndedSessions(const std::wstring& folder);

}  // namespace sentry_lite
