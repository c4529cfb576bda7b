#include "transports/send_loop.h"

#include <optional>
#include <string>
#include <utility>

#include "outgoing_envelope.h"

namespace sentry_lite {
namespace {

// What an envelope holds, as counted when it is dropped: its items' categories, or, when it
// cannot be read, what its kind always holds.
std::vector<Category> CategoriesOf(EnvelopeFile& file, const std::string& name) {
    std::string body;
    if (file.Bytes() <= kMaxEnvelopeBytes && file.Read(body)) {
        if (const std::optional<ParsedEnvelope> parsed = ParseEnvelope(body)) {
            std::vector<Category> categories;
            for (const EnvelopeItem& item : parsed->items) {
                if (item.category) {
                    categories.push_back(*item.category);
                }
            }
            return categories;
        }
    }
    return {IsSessionEndName(name) ? Category::kSession : Category::kError};
}

std::vector<Category> Joined(std::vector<Category> a, const std::vector<Category>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

SendLoop::SendLoop(EnvelopeFolder& folder, DiscardStore& discards, Transport* transport,
                   std::string public_dsn, SendTimer& timer, const StopRequest& stop,
                   const std::atomic<bool>& held)
    : folder_(folder),
      discards_(discards),
      transport_(transport),
      public_dsn_(std::move(public_dsn)),
      timer_(timer),
      stop_(stop),
      held_(held) {}

void SendLoop::Run(uint32_t backlog_delay_ms) {
    // The cap first, at once and whatever the DSN: a run that ends at once (a crash loop) still
    // keeps the folder from filling.
    Pass(false);
    if (transport_ == nullptr) {
        return;
    }
    // A viewer that crashes a second into every start would otherwise never send a report, and
    // the newest crash is the one a team wants to see first.
    SendLastRunsCrash();
    // The backlog waits for the launch to be over: loading WinHTTP (and the libraries it loads)
    // holds the loader lock, which the hand-off's own loads would wait for. The stop, or a new
    // envelope, ends the wait early.
    if (backlog_delay_ms > 0) {
        timer_.WaitForWake(backlog_delay_ms);
    }
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
    const int64_t now = timer_.UnixMs();
    std::vector<PendingEnvelope> live;
    for (PendingEnvelope& envelope : folder_.List()) {
        if (IsInFlightName(envelope.name)) {
            // Its process ended before the answer, which may have been a success; one still
            // running holds it open, and it stays.
            Drop(envelope.name, DiscardReason::kNone);
        } else if (IsEnvelopeName(envelope.name) && IsExpired(envelope, now)) {
            Drop(envelope.name, FailedStarts(envelope.name) > 0 ? DiscardReason::kNetworkError
                                                                : DiscardReason::kCacheOverflow);
        } else {
            live.push_back(std::move(envelope));
        }
    }
    // Every file may be offered: those that cannot be sent are passed over, and the run counts
    // its posts itself.
    const size_t offered = transport_ != nullptr && send ? live.size() : 0;
    const QueuePlan plan = PlanQueue(std::move(live), kKeptEnvelopes, offered);
    for (const std::string& name : plan.remove) {
        Drop(name, DiscardReason::kCacheOverflow);
    }
    for (const std::string& name : plan.send) {
        if (!run_.MayPost() || !SendFile(name)) {
            return;
        }
    }
}

void SendLoop::SendLastRunsCrash() {
    const std::optional<std::string> name = LastRunsCrash(folder_.List());
    if (name && run_.MayPost()) {
        SendFile(*name);
    }
}

void SendLoop::Drop(const std::string& name, DiscardReason reason) {
    const std::unique_ptr<EnvelopeFile> file = folder_.Open(name);
    if (file == nullptr) {
        return;
    }
    const std::vector<Category> categories =
        reason == DiscardReason::kNone ? std::vector<Category>() : CategoriesOf(*file, name);
    if (file->Remove()) {
        Count(categories, reason);
    }
}

void SendLoop::Count(const std::vector<Category>& categories, DiscardReason reason) {
    if (categories.empty() || reason == DiscardReason::kNone) {
        return;
    }
    discards_.Update([&](DiscardCounts& counts) {
        for (const Category category : categories) {
            counts.Add(reason, category);
        }
    });
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
    const std::optional<ParsedEnvelope> parsed = ParseEnvelope(body);
    if (!parsed) {
        file->Remove();  // not an envelope: the server would never take it
        return true;
    }
    const auto now = static_cast<int64_t>(timer_.NowMs());
    Outgoing outgoing = PrepareOutgoing(
        *parsed, public_dsn_, [&](Category category) { return run_.Limited(category, now); });
    if (outgoing.body.empty()) {
        if (file->Remove()) {
            Count(outgoing.limited, DiscardReason::kRateLimitBackoff);
        }
        return true;
    }
    DiscardCounts reported = discards_.Read();
    if (!reported.Empty()) {
        const std::string report = ClientReportItem(reported, timer_.UnixMs());
        if (outgoing.body.size() + report.size() <= kMaxEnvelopeBytes) {
            outgoing.body += report;
        } else {
            reported = DiscardCounts();
        }
    }
    const uint32_t left = stop_.LeftMs(timer_.NowMs());
    if (left < kStopRequestMinMs) {
        return false;  // the stop could not wait for its answer: it goes at the next start
    }
    if (held_.load()) {
        return false;  // the process is crashing: what it has not sent waits for the next start
    }
    // Should the process end before the answer, the file is found in flight and not sent again.
    file->Rename(InFlightName(name));
    const uint32_t within = left == kWaitForever ? kWaitForever : left - kStopMarginMs;
    const HttpOutcome outcome = transport_->Post(outgoing.body, within);
    const FileDecision decision = run_.Record(outcome, static_cast<int64_t>(timer_.NowMs()));
    if (within != kWaitForever && !outcome.answered && outcome.body_sent) {
        // Cut short by the stop after the server had it all: it may have been taken.
        file->Remove();
        return false;
    }
    return Settle(*file, name, decision, outgoing.sent, outgoing.limited, reported) &&
           decision.go_on;
}

bool SendLoop::Settle(EnvelopeFile& file, const std::string& name, const FileDecision& decision,
                      const std::vector<Category>& sent, const std::vector<Category>& limited,
                      const DiscardCounts& reported) {
    if (decision.network_failed) {
        const int failed = FailedStarts(name) + 1;
        if (failed < kMaxFailedStarts) {
            file.Rename(NameWithFailedStarts(name, failed));  // out of flight, too
        } else if (file.Remove()) {
            Count(Joined(sent, limited), DiscardReason::kNetworkError);
        }
        return true;
    }
    if (!decision.remove) {
        return true;
    }
    if (!file.Remove()) {
        run_.Halt();  // before anything else sends it again
        return false;
    }
    const bool counted = !limited.empty() || decision.discard != DiscardReason::kNone;
    if (!counted && (!decision.taken || reported.Empty())) {
        return true;
    }
    discards_.Update([&](DiscardCounts& counts) {
        if (decision.taken) {
            counts.Subtract(reported);  // before this answer's own counts are added
        }
        for (const Category category : limited) {
            counts.Add(DiscardReason::kRateLimitBackoff, category);
        }
        if (decision.discard != DiscardReason::kNone) {
            for (const Category category : sent) {
                counts.Add(decision.discard, category);
            }
        }
    });
    return true;
}

}  // namespace sentry_lite
