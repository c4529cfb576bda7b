#include "unwinder/stack_walk.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace sentry_lite {
namespace {

using Frames = std::vector<uint64_t>;

// The thread's stack in every case: [kLimit, kBase).
constexpr uint64_t kLimit = 0x7000;
constexpr uint64_t kBase = 0x8000;

// Code whose caller the images' data give, and the words on the stack a leaf's step reads.
// Any other code is a leaf; any other word cannot be read.
struct SyntheticStack final : FrameUnwinder {
    std::map<uint64_t, StackFrame> callers;
    std::map<uint64_t, uint64_t> words;

    bool UnwindWithTable(StackFrame& frame) override {
        const auto found = callers.find(frame.ip);
        if (found == callers.end()) {
            return false;
        }
        frame = found->second;
        return true;
    }
    bool ReadStackWord(uint64_t address, uint64_t& value) override {
        const auto found = words.find(address);
        if (found == words.end()) {
            value = 0xbad0bad0;  // what a failed read leaves is no return address
            return false;
        }
        value = found->second;
        return true;
    }
};

struct WalkCase {
    const char* what;
    StackFrame start;
    std::map<uint64_t, StackFrame> callers;
    std::map<uint64_t, uint64_t> words;
    size_t capacity;
    Frames frames;
};

TEST(WalkStack, EndsWhereTheStackOrItsDataEnd) {
    const std::vector<WalkCase> cases = {
        {"through the images' data and a leaf to the thread's first frame",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, 0x7200}}, {0xa3, {0, 0x7300}}},
         {{0x7200, 0xa3}},
         16,
         {0xa1, 0xa2, 0xa3}},
        {"a leaf's step takes its return address and goes past it",
         {0xa1, 0x7100},
         {{0xa2, {0, 0x7200}}},
         {{0x7100, 0xa2}, {0x7108, 0xa9}},
         16,
         {0xa1, 0xa2}},
        {"a frame whose stack pointer is below the limit is the last",
         {0xa1, kLimit - 8},
         {{0xa1, {0xa2, 0x7200}}},
         {},
         16,
         {0xa1}},
        {"a frame whose stack pointer is at the base is the last",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, kBase}}, {0xa2, {0xa3, kBase + 0x100}}},
         {},
         16,
         {0xa1, 0xa2}},
        {"the limit itself is on the stack",
         {0xa1, kLimit},
         {{0xa1, {0xa2, 0x7200}}, {0xa2, {0, 0x7300}}},
         {},
         16,
         {0xa1, 0xa2}},
        {"a step that stays in place ends the walk before its frame",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, 0x7200}}, {0xa2, {0xa3, 0x7200}}, {0xa3, {0xa4, 0x7300}}},
         {},
         16,
         {0xa1, 0xa2}},
        {"a step back down the stack ends the walk before its frame",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, 0x7200}}, {0xa2, {0xa3, 0x7180}}, {0xa3, {0xa4, 0x7300}}},
         {},
         16,
         {0xa1, 0xa2}},
        {"the crashed frame's own step is not held to that",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, 0x7100}}, {0xa2, {0xa3, 0x7200}}, {0xa3, {0, 0x7300}}},
         {},
         16,
         {0xa1, 0xa2, 0xa3}},
        {"a return address of 0 ends the walk", {0xa1, 0x7100}, {}, {{0x7100, 0}}, 16, {0xa1}},
        {"a return address that is no code is the last frame: nothing above it reads",
         {0xa1, 0x7100},
         {},
         {{0x7100, 0xdeadbeef}},
         16,
         {0xa1, 0xdeadbeef}},
        {"a leaf whose return address cannot be read is the last",
         {0xa1, 0x7100},
         {},
         {},
         16,
         {0xa1}},
        {"an instruction of 0 gives no frame", {0, 0x7100}, {{0, {0xa2, 0x7200}}}, {}, 16, {}},
        {"no more frames than the capacity",
         {0xa1, 0x7100},
         {{0xa1, {0xa2, 0x7200}}, {0xa2, {0xa3, 0x7300}}, {0xa3, {0xa4, 0x7400}}},
         {},
         2,
         {0xa1, 0xa2}},
        {"a capacity of 0 takes none", {0xa1, 0x7100}, {{0xa1, {0xa2, 0x7200}}}, {}, 0, {}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(c.what);
        SyntheticStack stack;
        stack.callers = c.callers;
        stack.words = c.words;
        // One slot past the capacity shows whether the walk writes beyond it.
        constexpr uint64_t kUntouched = 0x5a5a5a5a;
        Frames frames(c.capacity + 1, kUntouched);
        const size_t count = WalkStack(c.start, kLimit, kBase, stack, frames.data(), c.capacity);
        EXPECT_EQ(Frames(frames.begin(), frames.begin() + static_cast<long>(count)), c.frames);
        EXPECT_EQ(frames[c.capacity], kUntouched);
    }
}

}  // namespace
}  // namespace sentry_lite
