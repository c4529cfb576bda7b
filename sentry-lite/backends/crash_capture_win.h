#pragma once

#include "lifecycle.h"

// Where a crash is caught: the unhandled-exception filter, a vectored handler for heap
// corruption alone, and the C runtimes' abort. The first crash of the process is taken (the
// lifecycle's one-shot) and handed to the crash handler; a thread that meets another goes no
// further.
namespace sentry_lite {

// Installs the filter, the vectored handler and the abort hooks. The lifecycle and the session's
// end claim live as long as the process.
void InstallCapture(Lifecycle& lifecycle, SessionEndClaim& session_end);
// Removes the vectored handler and puts back what was there before, where nothing was
// installed after ours (which then stays, and ours only passes crashes on).
void RemoveCapture();

}  // namespace sentry_lite
