#pragma once

#include <array>
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
// would refuse it, and reading it costs memory the viewer needs. What is sent, a client report
// added, stays within it too.
constexpr uint64_t kMaxEnvelopeBytes = 64u << 20;
// A file the network failed (no connection, a time-out, a proxy's 407 or 408) on this many
// starts is given up: an outage long enough for that is one the service should not see a
// backlog from when it ends.
constexpr int kMaxFailedStarts = 5;
// An envelope older than this is given up whatever happened to it: the service drops events
// this old on arrival anyway.
constexpr int64_t kMaxEnvelopeAgeMs = int64_t{30} * 24 * 60 * 60 * 1000;
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
// AgeKey's first kFileStampLength characters, the stamp alone, into `out`.
void WriteAgeStamp(const PendingEnvelope& envelope, char* out);

// A session's clean end, written at the end of a run (SessionEndFileName). Every other
// envelope is a crash report.
bool IsSessionEndName(std::string_view name);

struct QueuePlan {
    std::vector<std::string> remove;  // beyond the newest `keep` of each kind, oldest first
    std::vector<std::string> send;    // the rest, oldest first, at most `send_at_most`
};

// Envelopes that are not IsEnvelopeName are left out of both lists.
QueuePlan PlanQueue(std::vector<PendingEnvelope> found, size_t keep, size_t send_at_most);

// The crash report sent first at a start, before the backlog and at once: the newest one no
// start has tried yet, which is the last run's crash (a crash loop at start-up sends each one
// in the next run's first second). None when every crash report waiting has been tried.
std::optional<std::string> LastRunsCrash(const std::vector<PendingEnvelope>& found);

// Whether an envelope is older than kMaxEnvelopeAgeMs at `now_ms` (by AgeKey's time).
bool IsExpired(const PendingEnvelope& envelope, int64_t now_ms);

// How many starts the network failed a file on, kept in its name (a "~N" before the kind's
// suffix), so it survives restarts, and a rename through the open file keeps it one process's.
int FailedStarts(std::string_view name);
// The name of a file that has now failed on `failed` starts; the stamp, the kind and so the
// place in the queue stay.
std::string NameWithFailedStarts(std::string_view name, int failed);

// The name of an envelope while its request is in flight. A file left so by a process that
// ended (a request the stop could not wait for, a crash, a kill) may have reached the server:
// it is removed, never sent again. No listing of envelopes takes it.
std::string InFlightName(std::string_view name);
bool IsInFlightName(std::string_view name);
constexpr std::string_view kInFlightSuffix = ".inflight";

// What this reporter's envelopes carry, as the service counts and limits them. A limit on the
// "default" category holds events too.
enum class Category { kError, kSession, kAttachment };
constexpr size_t kCategoryCount = 3;
const char* CategoryName(Category category);

// What came back for one envelope.
struct HttpOutcome {
    bool answered = false;   // false: no connection, a time-out, no status line
    bool body_sent = false;  // the whole body went out, whether or not an answer came
    int status = 0;
    std::optional<std::string> retry_after;  // the Retry-After header
    std::optional<std::string> rate_limits;  // the X-Sentry-Rate-Limits header
};

// Why what was not taken was dropped, as a client report names it.
enum class DiscardReason { kNone, kSendError, kRateLimitBackoff, kNetworkError, kCacheOverflow };
constexpr size_t kDiscardReasonCount = 5;
const char* DiscardReasonName(DiscardReason reason);

struct FileDecision {
    bool remove = false;  // sent, or dropped: the file goes
    bool go_on = false;   // whether to post the next envelope now
    // Why a removed file was dropped unsent (counted in a client report); kNone when it was
    // taken, or when the server has counted it itself (a 429).
    DiscardReason discard = DiscardReason::kNone;
    bool network_failed = false;  // kept: one more failed start for the file
    bool taken = false;           // a 2xx: the server has what was sent
};

// 2xx: sent, removed. 429: removed, not counted (the server has), its limits held. 407, 408
// (a proxy's, not the server's) and no answer: kept for a later start, stop (each try would
// cost a time-out). Anything else, 4xx or 5xx: removed and counted as a send error, since the
// service asks that nothing it refused be sent again.
FileDecision DecideFile(const HttpOutcome& outcome);

// Seconds for which the server asks that nothing of `category` be sent, 0 for none.
// X-Sentry-Rate-Limits (retry_after:categories:scope:..., groups by commas, categories by
// semicolons, none for all), on any answer, wins over Retry-After; a 429 whose header limits
// none of ours, or that has none, holds every category for Retry-After, or for
// kDefaultRetryAfterSeconds when that does not read.
int64_t RateLimitSeconds(const HttpOutcome& outcome, Category category);
// The same for every category at once, by Category's value: one reading of the headers.
using RateLimits = std::array<int64_t, kCategoryCount>;
RateLimits RateLimitsOf(const HttpOutcome& outcome);

// The rate limits of one run, on a caller's monotonic clock in milliseconds.
class RateLimit {
  public:
    void Note(const HttpOutcome& outcome, int64_t now_ms);
    bool Holds(Category category, int64_t now_ms) const {
        return now_ms < until_ms_[static_cast<size_t>(category)];
    }

  private:
    int64_t until_ms_[kCategoryCount] = {INT64_MIN, INT64_MIN, INT64_MIN};
};

// The sending of one run: what it has posted, its rate limit, and whether the server has
// stopped taking envelopes. Times are on the caller's monotonic clock in milliseconds.
class SendRun {
  public:
    // Envelopes the run may still post.
    size_t Budget() const { return kSentPerRun - posted_; }
    // Whether the next envelope may be posted.
    bool MayPost() const { return !halted_ && posted_ < kSentPerRun; }
    // Whether what is of `category` is held back by the server's limits now.
    bool Limited(Category category, int64_t now_ms) const { return limit_.Holds(category, now_ms); }
    // The answer to one post, counted, its limits noted. No answer, or a proxy's, halts the run,
    // since each later try would cost a time-out or the same answer.
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
