#pragma once

#include <atomic>
#include <cstdint>

// Where the reporter is in its life, as one word that the interface's calls and a crash change
// by compare-and-swap, so a crash and a shutdown can never both go ahead: once a crash is taken
// the shutdown never returns and frees nothing the crash uses; once the shutdown has begun a
// crash is still taken, and the shutdown gives up its end to it.
namespace sentry_lite {

enum class Phase : uint32_t {
    kIdle,      // before sentry_init, or after a shutdown that finished
    kRunning,   // between sentry_init and sentry_shutdown
    kStopping,  // sentry_shutdown is ending the session and the uploads
    kCrashing,  // a crash was taken: only the process's end follows
};

class Lifecycle {
  public:
    // idle → running.
    bool Start() { return Move(Phase::kIdle, Phase::kRunning); }
    // running → stopping: false when no reporter is running, or a crash was taken.
    bool BeginStop() { return Move(Phase::kRunning, Phase::kStopping); }
    // stopping → idle: the last step of a shutdown; false when a crash came meanwhile.
    bool FinishStop() { return Move(Phase::kStopping, Phase::kIdle); }
    // running or stopping → crashing, for the first crash of the process.
    enum class Take { kTaken, kAlreadyCrashing, kNotRunning };
    Take TakeCrash();
    Phase Now() const { return phase_.load(); }
    bool Crashing() const { return Now() == Phase::kCrashing; }

  private:
    bool Move(Phase from, Phase to) { return phase_.compare_exchange_strong(from, to); }
    std::atomic<Phase> phase_{Phase::kIdle};
};

// Which end a session gets: a clean one from sentry_end_session, or the crash's. The first to
// claim it has it, so a session is never reported twice, nor as both.
enum class SessionEnd : uint32_t { kNone, kOpen, kExited, kCrashed };

class SessionEndClaim {
  public:
    // A session was started (with the state mutex held): it is open until one end claims it.
    void Open() { end_.store(SessionEnd::kOpen); }
    // open → exited, or open → crashed: true for the one that got it.
    bool Claim(SessionEnd end) {
        SessionEnd open = SessionEnd::kOpen;
        return end_.compare_exchange_strong(open, end);
    }
    SessionEnd Now() const { return end_.load(); }

  private:
    std::atomic<SessionEnd> end_{SessionEnd::kNone};
};

// The one thread that does a crash's work: the handler thread, or the crashed thread when the
// handler has not taken the work in time. Thread ids are never 0.
class HandlerClaim {
  public:
    bool Claim(uint32_t thread_id) {
        uint32_t nobody = 0;
        return thread_.compare_exchange_strong(nobody, thread_id);
    }
    bool HeldBy(uint32_t thread_id) const { return thread_.load() == thread_id; }

  private:
    std::atomic<uint32_t> thread_{0};
};

}  // namespace sentry_lite
