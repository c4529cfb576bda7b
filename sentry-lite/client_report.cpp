#include "client_report.h"

#include <algorithm>

#include "utc_time.h"

namespace sentry_lite {
namespace {

template <typename Enum, size_t kCount, typename NameOf>
bool ReadName(std::string_view word, NameOf name_of, Enum& out) {
    for (size_t i = 0; i < kCount; ++i) {
        if (word == name_of(static_cast<Enum>(i))) {
            out = static_cast<Enum>(i);
            return true;
        }
    }
    return false;
}

bool ReadQuantity(std::string_view word, uint64_t& out) {
    if (word.empty() || word.size() > 18) {
        return false;
    }
    out = 0;
    for (const char c : word) {
        if (c < '0' || c > '9') {
            return false;
        }
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// The next space-separated word of a line.
std::string_view NextWord(std::string_view& line) {
    const size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    line.remove_prefix(space == std::string_view::npos ? line.size() : space + 1);
    return word;
}

}  // namespace

void DiscardCounts::Add(DiscardReason reason, Category category, uint64_t quantity) {
    uint64_t& count = counts_[static_cast<size_t>(reason)][static_cast<size_t>(category)];
    count = std::min(count + quantity, uint64_t{1} << 40);
}

void DiscardCounts::Subtract(const DiscardCounts& sent) {
    for (size_t r = 0; r < kDiscardReasonCount; ++r) {
        for (size_t c = 0; c < kCategoryCount; ++c) {
            counts_[r][c] -= std::min(counts_[r][c], sent.counts_[r][c]);
        }
    }
}

bool DiscardCounts::Empty() const {
    return *this == DiscardCounts();
}

bool DiscardCounts::operator==(const DiscardCounts& other) const {
    return std::equal(&counts_[0][0], &counts_[0][0] + kDiscardReasonCount * kCategoryCount,
                      &other.counts_[0][0]);
}

std::string FormatDiscardCounts(const DiscardCounts& counts) {
    std::string text;
    for (size_t r = 1; r < kDiscardReasonCount; ++r) {
        for (size_t c = 0; c < kCategoryCount; ++c) {
            const auto reason = static_cast<DiscardReason>(r);
            const auto category = static_cast<Category>(c);
            if (const uint64_t count = counts.Count(reason, category)) {
                text += std::string(DiscardReasonName(reason)) + " " + CategoryName(category) +
                        " " + std::to_string(count) + "\n";
            }
        }
    }
    return text;
}

DiscardCounts ParseDiscardCounts(std::string_view text) {
    DiscardCounts counts;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        DiscardReason reason = DiscardReason::kNone;
        Category category = Category::kError;
        uint64_t quantity = 0;
        if (ReadName<DiscardReason, kDiscardReasonCount>(NextWord(line), DiscardReasonName,
                                                         reason) &&
            reason != DiscardReason::kNone &&
            ReadName<Category, kCategoryCount>(NextWord(line), CategoryName, category) &&
            ReadQuantity(line, quantity)) {
            counts.Add(reason, category, quantity);
        }
    }
    return counts;
}

std::string ClientReportItem(const DiscardCounts& counts, int64_t now_ms) {
    std::string payload = "{\"timestamp\":\"" + FormatUtcTime(now_ms) + "\",\"discarded_events\":[";
    bool first = true;
    for (size_t r = 1; r < kDiscardReasonCount; ++r) {
        for (size_t c = 0; c < kCategoryCount; ++c) {
            const auto reason = static_cast<DiscardReason>(r);
            const auto category = static_cast<Category>(c);
            if (const uint64_t count = counts.Count(reason, category)) {
                payload += std::string(first ? "" : ",") + "{\"reason\":\"" +
                           DiscardReasonName(reason) + "\",\"category\":\"" +
                           CategoryName(category) + "\",\"quantity\":" + std::to_string(count) +
                           "}";
                first = false;
            }
        }
    }
    payload += "]}";
    return "{\"type\":\"client_report\",\"length\":" + std::to_string(payload.size()) + "}\n" +
           payload + "\n";
}

}  // namespace sentry_lite
