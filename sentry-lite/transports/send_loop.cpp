#include "transports/send_loop.h"

namespace sentry_lite {

SendLoop::SendLoop(EnvelopeFolder& folder, Transport* transport, SendTimer& timer,
                   const StopRequest& stop, const std::atomic<bool>& held)
    : folder_(folder), transport_(transport), timer_(timer), stop_(stop), held_(held) {}

void SendLoop::Run() {
    // The cap first, at once and whatever the DSN: a run that ends at once (a crash loop) still
    // keeps the folder from filling.
    Pass(false);
    if (transport_ == nullptr) {
        return;
    }
    // Sending waits for the launch to be over: loading WinHTTP (and the libraries it loads)
    // holds the loader lock, which the hand-off's own loads would wait for. The stop, or a new
    // envelope, ends the wait early.
    timer_.WaitForWake(kSendDelayMs);
    // A pass that started after the stop is the last: it sends what the end of the run left
    // (the session's end) while the stop waits for it.
    while (true) {
        const bool last = stop_.Stopping();
        Pass(true);
        if (last || run_.Budget() == 0 || !timer_.WaitForWake(kWaitForever)) {
            return;
        }
    }
}

void SendLoop::Pass(bool send) {
    const size_t budget = transport_ != nullptr && send ? run_.Budget() : 0;
    const QueuePlan plan = PlanQueue(folder_.List(), kKeptEnvelopes, budget);
    for (const std::string& name : plan.remove) {
        folder_.Delete(name);
    }
    for (const std::string& name : plan.send) {
        const uint64_t now = timer_.NowMs();
        if (stop_.DeadlinePassed(now) || !run_.MayPost(static_cast<int64_t>(now)) ||
            !SendFile(name)) {
            return;
        }
    }
}

// A file that another process has open, that is gone, that could not be removed after a
// success (read-only), or that is too large to send, is passed over without a request.
bool SendLoop::SendFile(const std::string& name) {
    const std::unique_ptr<EnvelopeFile> file = folder_.Open(name);
    if (file == nullptr || file->ReadOnly() || file->Bytes() > kMaxEnvelopeBytes) {
        return true;
    }
    std::string body;
    if (!file->Read(body)) {
        return true;
    }
    if (held_.load()) {
        return false;  // the process is crashing: what it has not sent waits for the next start
    }
    const HttpOutcome outcome = transport_->Post(body);
    const FileDecision decision = run_.Record(outcome, static_cast<int64_t>(timer_.NowMs()));
    if (decision.remove && !file->Remove()) {
        run_.Halt();  // before anything else sends it again
        return false;
    }
    return decision.go_on;
}

}  // namespace sentry_lite
