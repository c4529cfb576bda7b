#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The rules of the database folder, apart from the files themselves: which leftovers a start
// sweeps and what it names them, the session end's name, and the installation id's file.
namespace sentry_lite {

// A temporary report older than this belongs to a process that has ended.
constexpr int64_t kStaleTemporaryMs = 60 * 1000;

// Whether the sweep takes a file: one of the names this reporter writes while a report is
// unfinished (<stamp>-<pid>.<n>.tmp, <stamp>-<pid>.dmp.tmp, <stamp>-<pid>-session.tmp), not a
// folder, and old enough that its process has ended. `long_name` is the file's own name: a
// listing by pattern also matches short (8.3) names, which would take in a foreign file.
bool IsLeftOverReport(std::string_view long_name, bool directory, int64_t written_ms,
                      int64_t now_ms);

// Whether a file may carry the end of a session (a crash report, which ends one as crashed, or
// a session end): any envelope, or a report or session end still under its temporary name
// (<stamp>-<pid>.<n>.tmp, <stamp>-<pid>-session.tmp), which a sweep may yet put in place.
bool MayCarrySessionEnd(std::string_view long_name);

// The name a whole leftover is put in place under: <stem>.envelope for `attempt` 0, then names
// that keep its kind and its place in the queue when that one is taken. Empty past the last.
constexpr int kRestoreAttempts = 4;
std::string RestoredName(std::string_view temporary_name, int attempt);

// A session end is named for the millisecond it ended; two ends in one millisecond (two
// processes of one id cannot, one process may) take the next free millisecond's name.
enum class Placing { kPlaced, kNameTaken, kFailed };
constexpr int kSessionEndNameTries = 4;
// Calls `place` with each name in turn until one is placed or fails; true when placed.
bool PlaceSessionEnd(int64_t ended_ms, uint32_t process_id,
                     const std::function<Placing(const std::string& name)>& place);

// Where the installation's identifier is kept, in the database folder.
constexpr char kInstallationIdFileName[] = "installation_id";
constexpr size_t kInstallationIdFileLimit = 64;

// The identifier a kept file holds: a UUID's text, with any line end or spaces after it (an
// editor's, or an older writer's). Anything else reads as none.
std::optional<std::string> ParseInstallationId(std::string_view kept);

// The installation id's file, as the rules below see it.
enum class IdRead {
    kRead,
    kMissing,
    kTooLarge,    // not an id, whatever it holds
    kUnreadable,  // there, but not now (another start is writing it, a lock, a scanner)
};
class InstallationIdFile {
  public:
    virtual ~InstallationIdFile() = default;
    virtual IdRead Read(std::string& kept) = 0;
    // Puts `id` in place whole (written under another name, then renamed); over a file that is
    // there only with `replace`. False when it did not: the name was taken, or a failure.
    virtual bool Write(const std::string& id, bool replace) = 0;
};

// The id every run that keeps its reports in the folder goes with: the kept one; made once by
// the first start and written whole; a file that holds no id is replaced. A read that fails now
// is never answered by a write: that run goes with an id of its own, and the file stays. Starts
// that make it at once agree: whoever does not get the name reads the one that did.
std::string ResolveInstallationId(InstallationIdFile& file,
                                  const std::function<std::string()>& new_id);

}  // namespace sentry_lite
