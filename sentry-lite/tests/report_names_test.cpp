#include "report_names.h"

#include <gtest/gtest.h>

namespace sentry_lite {
namespace {

TEST(ReportFileName, TimeAndProcessId) {
    EXPECT_EQ(ReportFileName(1709210096789, 908), "20240229T123456789Z-908.envelope");
    EXPECT_EQ(ReportFileName(0, 4294967295u), "19700101T000000000Z-4294967295.envelope");
}

}  // namespace
}  // namespace sentry_lite
