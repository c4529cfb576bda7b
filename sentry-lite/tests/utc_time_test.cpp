#include "utc_time.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "report_names.h"

namespace sentry_lite {
namespace {

TEST(FormatUtcTime, CalendarDatesWithMilliseconds) {
    const struct {
        int64_t unix_ms;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00.000Z"},
        {951782400000, "2000-02-29T00:00:00.000Z"},
        {1709210096789, "2024-02-29T12:34:56.789Z"},
        {4102444800000, "2100-01-01T00:00:00.000Z"},
        {253402300799999, "9999-12-31T23:59:59.999Z"},
        {-1, "1969-12-31T23:59:59.999Z"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatUtcTime(c.unix_ms), c.text);
        // The file stamp is the same time without its separators.
        std::string stamp;
        for (const char* p = c.text; *p != '\0'; ++p) {
            if (*p != '-' && *p != ':' && *p != '.') {
                stamp += *p;
            }
        }
        char written[kFileStampLength];
        WriteFileStamp(c.unix_ms, written);
        EXPECT_EQ(std::string(written, sizeof written), stamp) << c.text;
    }
}

TEST(FormatUtcTime, YearsBeyondFourDigitsAreHeldAtTheEnds) {
    EXPECT_EQ(FormatUtcTime(-62167219200000), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(-62167219200001), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(INT64_MIN), "0000-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(253402300800000), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(FormatUtcTime(INT64_MAX), "9999-12-31T23:59:59.999Z");
    EXPECT_EQ(ReportFileName(INT64_MAX, 1), "99991231T235959999Z-1.envelope");
    EXPECT_EQ(ReportFileName(INT64_MIN, 1), "00000101T000000000Z-1.envelope");
}

TEST(UnixMillisecondsOfFileTime, TicksSince1601) {
    const struct {
        uint64_t ticks;
        int64_t unix_ms;
    } cases[] = {
        {116444736000000000, 0},
        {116444736000000000 + 17092100967890000, 1709210096789},  // both halves in use
        {116444736000000000 + 9999, 0},                           // under a millisecond
        {0, -11644473600000},                                     // 1601
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ticks);
        EXPECT_EQ(UnixMillisecondsOfFileTime(static_cast<uint32_t>(c.ticks >> 32),
                                             static_cast<uint32_t>(c.ticks)),
                  c.unix_ms);
    }
}

}  // namespace
}  // namespace sentry_lite
