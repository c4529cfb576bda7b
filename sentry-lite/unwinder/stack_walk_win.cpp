#include "unwinder/stack_walk_win.h"

#include "unwinder/stack_walk.h"

namespace sentry_lite {
namespace {

// The unwinding of the images' own data (RtlVirtualUnwind), on a copy of the crash's context:
// the registers a function saved come back with each step, so a later step reads the right
// ones.
class TableUnwinder final : public FrameUnwinder {
  public:
    explicit TableUnwinder(const CONTEXT& start) : context_(start) {}

    bool UnwindWithTable(StackFrame& frame) override {
        // A step the walk made itself (a leaf's) moved only these two.
        context_.Rip = frame.ip;
        context_.Rsp = frame.sp;
        DWORD64 image_base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context_.Rip, &image_base, nullptr);
        if (function == nullptr) {
            return false;
        }
        void* handler_data = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, image_base, context_.Rip, function, &context_,
                         &handler_data, &establisher, nullptr);
        frame = {context_.Rip, context_.Rsp};
        return true;
    }

    // Through ReadProcessMemory, so a stack pointer the data misread ends the walk instead of
    // faulting.
    bool ReadStackWord(uint64_t address, uint64_t& value) override {
        SIZE_T read = 0;
        return address != 0 &&
               ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(address),
                                 &value, sizeof value, &read) != 0 &&
               read == sizeof value;
    }

  private:
    CONTEXT context_;
};

}  // namespace

size_t WalkStack(const CONTEXT& context, uintptr_t stack_limit, uintptr_t stack_base,
                 uint64_t* frames, size_t capacity) {
    TableUnwinder unwinder(context);
    return WalkStack(StackFrame{context.Rip, context.Rsp}, stack_limit, stack_base, unwinder,
                     frames, capacity);
}

}  // namespace sentry_lite
