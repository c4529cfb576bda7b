#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "upload_policy.h"

// What the reporter dropped without the service taking it, counted until a client report
// carries the counts to the service with the next envelope that goes.
namespace sentry_lite {

class DiscardCounts {
  public:
    void Add(DiscardReason reason, Category category, uint64_t quantity = 1);
    // Takes away what `sent` holds (what went in a client report the server took); never
    // below zero, since another process may have sent some of the same counts meanwhile.
    void Subtract(const DiscardCounts& sent);
    uint64_t Count(DiscardReason reason, Category category) const {
        return counts_[static_cast<size_t>(reason)][static_cast<size_t>(category)];
    }
    bool Empty() const;
    bool operator==(const DiscardCounts& other) const;

  private:
    uint64_t counts_[kDiscardReasonCount][kCategoryCount] = {};
};

// The counts as kept in the database folder: a line "<reason> <category> <quantity>" each.
std::string FormatDiscardCounts(const DiscardCounts& counts);
// Lines that do not read (another writer's, a torn write) are passed over.
DiscardCounts ParseDiscardCounts(std::string_view text);
// Where the counts are kept, in the database folder.
constexpr char kDiscardCountsFileName[] = "client_reports";
constexpr size_t kDiscardCountsFileLimit = 4096;

// The client_report item (header line, payload, line feed) of the counts, at `now_ms`.
std::string ClientReportItem(const DiscardCounts& counts, int64_t now_ms);

}  // namespace sentry_lite
