#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <cstddef>
#include <cstdint>

namespace sentry_lite {

// Walks the stack from `context` with the images' unwind data, innermost frame first, staying
// within the stack [stack_limit, stack_base). Gives the number of frames written. Takes no
// memory and no lock.
size_t WalkStack(const CONTEXT& context, uintptr_t stack_limit, uintptr_t stack_base,
                 uint64_t* frames, size_t capacity);

}  // namespace sentry_lite
