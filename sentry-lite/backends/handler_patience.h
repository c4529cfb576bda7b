#pragma once

#include <cstdint>

// How long a crashed thread waits for the handler thread to do the crash's work. Each step of
// the work has its own patience: taking the crash, gathering what the report holds (the
// minidump writer loads every image's symbols under Wine, which takes seconds), and the
// callback, which runs in a process that may hold any lock; loading dbghelp for a crash in the
// first seconds, which waits for a loader lock the crashed thread may hold; naming the frames,
// which reads files through dbghelp, has a time of its own, so a look-up that hangs costs only its
// version. A step reached anew starts its own time; the clock decides, not the wait, which can come
// back early (under Wine it does when the minidump writer suspends and resumes the waiting thread).
namespace sentry_lite {

enum class HandlerStep : uint32_t { kTaking, kLoading, kGathering, kSymbolising, kCallingBack };

uint64_t PatienceFor(HandlerStep step);

class HandlerWait {
  public:
    HandlerWait(HandlerStep step, uint64_t now_ms);
    // Whether the crashed thread gives up waiting, given the step the handler has reached now.
    bool Expired(HandlerStep reached, uint64_t now_ms);

  private:
    HandlerStep step_;
    uint64_t deadline_ms_;
};

}  // namespace sentry_lite
