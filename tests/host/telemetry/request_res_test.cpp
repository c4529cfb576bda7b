#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tavro/tavro_plugin.h"

namespace {

RequestRes Filled() {
    RequestRes res;
    res.result_code = 200;
    res.detail_code = -7;
    res.data = {1, 2, 3};
    return res;
}

void ExpectFilled(const RequestRes& res) {
    EXPECT_EQ(res.result_code, 200);
    EXPECT_EQ(res.detail_code, -7);
    EXPECT_EQ(res.data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST(RequestRes, Defaults) {
    const RequestRes res;
    EXPECT_EQ(res.result_code, -1);
    EXPECT_EQ(res.detail_code, 0);
    EXPECT_TRUE(res.data.empty());
}

TEST(RequestRes, CopiesAreIndependent) {
    RequestRes source = Filled();
    RequestRes constructed(source);
    RequestRes assigned;
    assigned = source;
    source.data[0] = 9;
    ExpectFilled(constructed);
    ExpectFilled(assigned);
}

TEST(RequestRes, MovingTakesTheBytesAndLeavesTheSourceDataEmpty) {
    RequestRes source = Filled();
    const uint8_t* storage = source.data.data();
    RequestRes constructed(std::move(source));
    ExpectFilled(constructed);
    EXPECT_EQ(constructed.data.data(), storage);
    EXPECT_TRUE(source.data.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(source.result_code, 200);

    RequestRes assigned;
    assigned.data = {7, 7, 7, 7};
    assigned = std::move(constructed);
    ExpectFilled(assigned);
    EXPECT_EQ(assigned.data.data(), storage);
    EXPECT_TRUE(constructed.data.empty());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(constructed.detail_code, -7);
}

TEST(RequestRes, SelfAssignmentLeavesItUnchanged) {
    RequestRes res = Filled();
    // Through a reference, as self-assignment happens in real code.
    RequestRes& same = res;
    res = same;
    ExpectFilled(res);
    res = std::move(same);
    ExpectFilled(res);
}

}  // namespace
