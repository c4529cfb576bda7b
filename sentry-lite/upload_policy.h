#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the lite crash reporter does with the envelopes waiting in its database folder: which
// to send at a start, which to remove, and what a server's answer means for a file.
namespace sentry_lite {

// The envelopes of each kind kept in the folder, newest first: a crash loop or a long time
// offline never holds more. Crash reports and session ends are counted apart, so the runs of a
// long time offline, each ending a session, never push a crash report out. The cap holds
// whatever the DSN, since crash reports are written without one.
constexpr size_t kKeptEnvelopes = 30;
// Envelopes posted at most in one run of the process, so a backlog costs a start no more than
// this many requests.
constexpr size_t kSentPerRun = 10;
// A larger file is not sent (and stays until newer ones push it out of the cap): the server
// would refuse it, and reading it costs memory the viewer needs.
constexpr uint64_t kMaxEnvelopeBytes = 64u << 20;
// How long a rate limit holds when the server gives no figure it can be read from.
constexpr int64_t kDefaultRetryAfterSeconds = 60;
// A longer limit reads as this: it outlasts any run, and keeps the arithmetic in range.
constexpr int64_t kMaxRetryAfterSeconds = 24 * 60 * 60;

// One envelope file in the database folder.
struct PendingEnvelope {
    std::string name;         // file name, no folder
    int64_t modified_ms = 0;  // last write, milliseconds since 1970-01-01 00:00 UTC
};

// Only whole envelopes: the writer renames a finished file to this name, so a file being
// written (under another name) is never taken. No separators, and more than the suffix.
bool IsEnvelopeName(std::string_view name);

// Age order of envelope files: the UTC stamp a name starts with (YYYYMMDDTHHMMSSmmmZ), or
// the time of the last write for a name without one, then the name.
std::string AgeKey(const PendingEnvelope& envelope);

// A session's clean end, written at the end of a run (SessionEndFileName). Every other
// envelope is a crash report.
bool IsSessionEndName(std::string_view name);

struct QueuePlan {
    std::vector<std::string> remove;  // beyond the newest `keep` of each kind, oldest first
    std::vector<std::string> send;    // the rest, oldest first, at most `send_at_most`
};

// Envelopes that are not IsEnvelopeName are left out of both lists.
QueuePlan PlanQueue(std::vector<PendingEnvelope> found, size_t keep, size_t send_at_most);

// What came back for one envelope.
struct HttpOutcome {
    bool answered = false;  // false: no connection, a time-out, no status line
    int status = 0;
    std::optional<std::string> retry_after;  // the Retry-After header
    std::optional<std::string> rate_limits;  // the X-Sentry-Rate-Limits header
};

struct FileDecision {
    bool remove = false;  // sent, or refused for good: the file goes
    bool go_on = false;   // whether to post the next envelope now
};

// 2xx: sent, removed. 429: kept, stop. Another 4xx: the server will never take it, removed.
// No answer, 5xx or anything else: kept for the next start, stop (the server is not taking
// envelopes now, and each try would cost a time-out).
FileDecision DecideFile(const HttpOutcome& outcome);

// Seconds for which the server asks that nothing more be sent, 0 for none. The categories
// this reporter sends are error (events), session and attachment; a limit on others is
// passed over, and any limit on one of them holds all envelopes (each is kept either way).
// X-Sentry-Rate-Limits, on any answer, wins over Retry-After; a 429 without either, or with
// figures that do not read, holds kDefaultRetryAfterSeconds.
int64_t RateLimitSeconds(const HttpOutcome& outcome);

// The rate limit of one run, on a caller's monotonic clock in milliseconds.
class RateLimit {
  public:
    void Note(const HttpOutcome& outcome, int64_t now_ms);
    bool Holds(int64_t now_ms) const { return now_ms < until_ms_; }

  private:
    int64_t until_ms_ = INT64_MIN;
};

// The sending of one run: what it has posted, its rate limit, and whether the server has
// stopped taking envelopes. Times are on the caller's monotonic clock in milliseconds.
class SendRun {
  public:
    // Envelopes the run may still post.
    size_t Budget() const { return kSentPerRun - posted_; }
    // Whether the next envelope may be posted now.
    bool MayPost(int64_t now_ms) const {
        return !halted_ && posted_ < kSentPerRun && !limit_.Holds(now_ms);
    }
    // The answer to one post, counted. A 429's limit says how long the run waits; a 5xx or no
    // answer halts it, since each later try would cost a time-out or the same answer.
    FileDecision Record(const HttpOutcome& outcome, int64_t now_ms);
    // The server took an envelope whose file could not be removed: it would go again, so the
    // run sends nothing more.
    void Halt() { halted_ = true; }

  private:
    size_t posted_ = 0;
    bool halted_ = false;
    RateLimit limit_;
};

}  // namespace sentry_lite
