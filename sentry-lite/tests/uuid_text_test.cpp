#include "uuid_text.h"

#include <gtest/gtest.h>

namespace sentry_lite {
namespace {

TEST(UuidText, Version4WithTheVariantBits) {
    const unsigned char bytes[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_EQ(UuidText(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    const unsigned char zeros[16] = {};
    EXPECT_EQ(UuidText(zeros), "00000000-0000-4000-8000-000000000000");
}

}  // namespace
}  // namespace sentry_lite
