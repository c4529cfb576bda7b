#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client_report.h"
#include "upload.h"
#include "upload_policy.h"

// The upload thread's work: the passes over the database folder that cap it and send its
// envelopes, oldest first, and the thread's sequence of them. The files, the requests, the clock
// and the waits are the platform's, behind the small classes below.
namespace sentry_lite {

// A wait without a time-out.
constexpr uint32_t kWaitForever = UINT32_MAX;
// A request that begins after the stop is bounded to end before its deadline, less this margin
// for the file's removal after it, so the stop always learns its answer; with less than
// kStopRequestMinMs left, none begins (it could not even connect).
constexpr uint32_t kStopMarginMs = 100;
constexpr uint32_t kStopRequestMinMs = 400;

// An envelope held open for sending, with no sharing: another process that lists the same
// folder cannot open it meanwhile, and finds it gone afterwards when the server took it, so no
// two processes send one file. Closed when destroyed.
class EnvelopeFile {
  public:
    virtual ~EnvelopeFile() = default;
    virtual uint64_t Bytes() const = 0;
    virtual bool ReadOnly() const = 0;
    // The whole file into `body`; false when it cannot be read.
    virtual bool Read(std::string& body) = 0;
    // Removes the file through this handle, so it is the file that was sent that goes.
    virtual bool Remove() = 0;
    // Gives the file another name in the folder through this handle, never over another file.
    virtual bool Rename(const std::string& name) = 0;
};

// The database folder's envelopes.
class EnvelopeFolder {
  public:
    virtual ~EnvelopeFolder() = default;
    // The files named *.envelope, and those in flight (IsInFlightName); a name that is not ASCII
    // is left out.
    virtual std::vector<PendingEnvelope> List() = 0;
    // Null when the file is gone, another process has it open, or its facts cannot be read.
    virtual std::unique_ptr<EnvelopeFile> Open(const std::string& name) = 0;
};

// The counts of what was dropped unsent, kept in the database folder until a client report
// carries them (client_report.h), for every process of the folder.
class DiscardStore {
  public:
    virtual ~DiscardStore() = default;
    // What is kept now; none when nothing is, or it cannot be read.
    virtual DiscardCounts Read() = 0;
    // Changes the kept counts, one process at a time; false when they could not be kept.
    virtual bool Update(const std::function<void(DiscardCounts&)>& change) = 0;
};

// Posts an envelope to the DSN's server. `body` is not changed. Every step of the request is
// bounded so that the whole of it ends within `within_ms` (kWaitForever: the transport's own
// time-outs).
class Transport {
  public:
    virtual ~Transport() = default;
    virtual HttpOutcome Post(std::string& body, uint32_t within_ms) = 0;
};

// The thread's clock and its wake-ups.
class SendTimer {
  public:
    virtual ~SendTimer() = default;
    // A monotonic clock, in milliseconds.
    virtual uint64_t NowMs() = 0;
    // The system clock: milliseconds since 1970-01-01 00:00 UTC.
    virtual int64_t UnixMs() = 0;
    // Waits for a wake (a new envelope, the stop) for at most `timeout_ms` (kWaitForever: no
    // time-out); true when woken, false on the time-out or when the wait failed.
    virtual bool WaitForWake(uint32_t timeout_ms) = 0;
};

// The stop of the uploads, set by the caller's side and read by the thread: what is pending goes
// in one last pass, until the deadline.
class StopRequest {
  public:
    // The deadline is stored first, so a pass that sees the stop sees its deadline.
    void Stop(uint64_t now_ms) {
        deadline_ms_ = now_ms + kStopPatienceMs;
        stopping_ = true;
    }
    bool Stopping() const { return stopping_.load(); }
    bool DeadlinePassed(uint64_t now_ms) const {
        return stopping_.load() && now_ms >= deadline_ms_.load();
    }
    // What is left of the stop's patience; kWaitForever before the stop.
    uint32_t LeftMs(uint64_t now_ms) const {
        if (!stopping_.load()) {
            return kWaitForever;
        }
        const uint64_t deadline = deadline_ms_.load();
        return now_ms >= deadline ? 0 : static_cast<uint32_t>(deadline - now_ms);
    }

  private:
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> deadline_ms_{0};
};

// One run's sending, on the upload thread.
class SendLoop {
  public:
    // `transport` is null when the DSN does not read: the loop only caps the folder.
    // `public_dsn` is the DSN sent in each envelope's header (PublicDsnText). `held` is set by a
    // crash, for the rest of the process.
    SendLoop(EnvelopeFolder& folder, DiscardStore& discards, Transport* transport,
             std::string public_dsn, SendTimer& timer, const StopRequest& stop,
             const std::atomic<bool>& held);

    // The thread's sequence: the cap at once, then the last run's crash at once, then the passes
    // that send, from `backlog_delay_ms` after the start (or the first wake), one a wake, until
    // the run's budget is spent or a pass that began after the stop is over.
    void Run(uint32_t backlog_delay_ms);

    // One pass over the folder: the cap's removals (by number and by age), then, when `send`,
    // the envelopes the run may still post, oldest first, until one says to stop. Files that
    // cannot be sent are passed over and take none of the run's places.
    void Pass(bool send);

  private:
    // The newest crash report no start has tried, before anything else is sent.
    void SendLastRunsCrash();
    // Whether to go on with the next envelope.
    bool SendFile(const std::string& name);
    // Removes a file unsent and counts what it held; one another process has open stays.
    void Drop(const std::string& name, DiscardReason reason);
    // After the answer: the file removed (and what was dropped counted), or kept with one
    // more failed start, or given up. False when the run must send nothing more.
    bool Settle(EnvelopeFile& file, const std::string& name, const FileDecision& decision,
                const std::vector<Category>& sent, const std::vector<Category>& limited,
                const DiscardCounts& reported);
    void Count(const std::vector<Category>& categories, DiscardReason reason);

    EnvelopeFolder& folder_;
    DiscardStore& discards_;
    Transport* transport_;
    std::string public_dsn_;
    SendTimer& timer_;
    const StopRequest& stop_;
    const std::atomic<bool>& held_;
    SendRun run_;
};

}  // namespace sentry_lite
