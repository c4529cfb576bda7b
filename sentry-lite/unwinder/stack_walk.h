#pragma once

#include <cstddef>
#include <cstdint>

// The crashed thread's stack, frame by frame, on x86-64: when the walk ends. Runs on the crash
// path, so it takes no memory and no lock; the unwinding itself is the platform's.
namespace sentry_lite {

// A frame's instruction and stack pointer.
struct StackFrame {
    uint64_t ip = 0;
    uint64_t sp = 0;
};

class FrameUnwinder {
  public:
    // Moves `frame` to its caller's with the unwind data of the image that holds frame.ip; false,
    // leaving `frame` as it was, when there is none there (a leaf function, code outside any
    // image).
    virtual bool UnwindWithTable(StackFrame& frame) = 0;
    // The 8 bytes at `address`; false when they cannot be read.
    virtual bool ReadStackWord(uint64_t address, uint64_t& value) = 0;

  protected:
    ~FrameUnwinder() = default;
};

// Writes the instructions of the frames from `start`, innermost first, into `frames`, and gives
// how many. The walk ends at `capacity`, at an instruction of 0, after a frame whose stack
// pointer is outside [stack_limit, stack_base), when a leaf's return address cannot be read, or
// when a step does not go towards the base.
size_t WalkStack(StackFrame start, uint64_t stack_limit, uint64_t stack_base,
                 FrameUnwinder& unwinder, uint64_t* frames, size_t capacity);

}  // namespace sentry_lite
