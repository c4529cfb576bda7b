#include "client_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace sentry_lite {
namespace {

TEST(DiscardCounts, KeptAsTextThatReadsBackAndSkipsWhatDoesNot) {
    DiscardCounts counts;
    counts.Add(DiscardReason::kSendError, Category::kError, 2);
    counts.Add(DiscardReason::kCacheOverflow, Category::kSession);
    counts.Add(DiscardReason::kCacheOverflow, Category::kSession);
    const std::string text = FormatDiscardCounts(counts);
    EXPECT_EQ(text, "send_error error 2\ncache_overflow session 2\n");
    EXPECT_EQ(ParseDiscardCounts(text), counts);
    // A torn write, another writer's line, an unknown reason or category: passed over.
    const DiscardCounts read = ParseDiscardCounts(
        "send_error error 2\ncache_overflow session 2\nsend_error transaction 5\n"
        "bogus error 1\nsend_error error\nsend_error error -3\nsend_error error 1x\n"
        "send_error error 99999999999999999999\nnetwork_err");
    EXPECT_EQ(read, counts);
    EXPECT_TRUE(ParseDiscardCounts("").Empty());
}

TEST(DiscardCounts, SubtractingWhatWasSentNeverGoesBelowZero) {
    DiscardCounts kept;
    kept.Add(DiscardReason::kSendError, Category::kError, 3);
    DiscardCounts sent;
    sent.Add(DiscardReason::kSendError, Category::kError, 2);
    sent.Add(DiscardReason::kNetworkError, Category::kSession, 4);  // sent by another process
    kept.Subtract(sent);
    EXPECT_EQ(kept.Count(DiscardReason::kSendError, Category::kError), 1u);
    EXPECT_EQ(kept.Count(DiscardReason::kNetworkError, Category::kSession), 0u);
}

TEST(ClientReportItem, AnItemOfItsLengthWithTheServicesFields) {
    DiscardCounts counts;
    counts.Add(DiscardReason::kRateLimitBackoff, Category::kAttachment, 3);
    counts.Add(DiscardReason::kNetworkError, Category::kError);
    const std::string item = ClientReportItem(counts, 1709294400123);
    const size_t line_end = item.find('\n');
    const auto header = nlohmann::json::parse(item.substr(0, line_end));
    EXPECT_EQ(header["type"], "client_report");
    const std::string payload = item.substr(line_end + 1);
    ASSERT_EQ(payload.back(), '\n');
    EXPECT_EQ(header["length"], payload.size() - 1);
    const auto report = nlohmann::json::parse(payload);
    EXPECT_EQ(report["timestamp"], "2024-03-01T12:00:00.123Z");
    EXPECT_EQ(report["discarded_events"], nlohmann::json::parse(R"([
                  {"reason": "ratelimit_backoff", "category": "attachment", "quantity": 3},
                  {"reason": "network_error", "category": "error", "quantity": 1}])"));
}

}  // namespace
}  // namespace sentry_lite
