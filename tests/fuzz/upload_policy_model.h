#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "upload_policy.h"

// What the upload policy's fuzz target checks the plans against. It is the judge, not the code
// under test: built without coverage tracing or sanitizer checks (tests/fuzz/CMakeLists.txt).

// A folder from the rest of a fuzz input: NUL-separated file names, each followed by a byte that
// is its age in days; a name met again is left out, as a folder holds each name once. At most
// `most` names.
struct Folder {
    std::vector<sentry_lite::PendingEnvelope> envelopes;
    // The same names in the input's own bytes, which outlive the envelopes a plan takes.
    std::vector<std::string_view> names;
};
Folder ReadFolder(const uint8_t* data, size_t size, size_t most);

// The folder's envelopes in age order, each kind (crash reports, session ends) apart. It refers
// to the input's bytes, which must outlive it.
class PlainQueue {
  public:
    explicit PlainQueue(const Folder& folder);

    // Whether `plan` is what a plain reading of the rules gives: of each kind the oldest
    // beyond `keep` go, and the oldest of the rest are sent, up to `budget`.
    bool Matches(const sentry_lite::QueuePlan& plan, size_t keep, size_t budget) const;

    // Whether `first` is the newest crash report with no failed start, or none when there is
    // no such report.
    bool IsLastRunsCrash(const std::optional<std::string>& first) const;

  private:
    struct Aged {
        std::string key;  // AgeKey
        std::string_view name;
    };
    std::vector<Aged> kinds_[2];  // by IsSessionEndName, oldest first
};
