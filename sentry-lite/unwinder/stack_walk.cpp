#include "unwinder/stack_walk.h"

namespace sentry_lite {

size_t WalkStack(StackFrame frame, uint64_t stack_limit, uint64_t stack_base,
                 FrameUnwinder& unwinder, uint64_t* frames, size_t capacity) {
    size_t count = 0;
    while (count < capacity && frame.ip != 0) {
        frames[count++] = frame.ip;
        if (frame.sp < stack_limit || frame.sp >= stack_base) {
            break;
        }
        const uint64_t previous_sp = frame.sp;
        if (!unwinder.UnwindWithTable(frame)) {
            // A leaf function keeps nothing but its return address on the stack.
            uint64_t return_address = 0;
            if (!unwinder.ReadStackWord(frame.sp, return_address)) {
                break;
            }
            frame.ip = return_address;
            frame.sp += 8;
        }
        // A stack only unwinds towards its base; anything else is a frame the data misread.
        if (frame.sp <= previous_sp && count > 1) {
            break;
        }
    }
    return count;
}

}  // namespace sentry_lite
