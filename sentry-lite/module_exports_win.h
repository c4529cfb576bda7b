#pragma once

// clang-format off
#include <windows.h>
// clang-format on

#include <cstring>

namespace sentry_lite {

// A function that a loaded module exports, as the type of `function`; false when the module is
// not loaded or has no such export. Copied rather than cast: a FARPROC converted to another
// function type draws a warning from both compilers.
template <typename Function>
bool FindExport(HMODULE module, const char* name, Function& function) {
    // A null module would make GetProcAddress search the executable.
    const FARPROC address = module != nullptr ? GetProcAddress(module, name) : nullptr;
    static_assert(sizeof function == sizeof address);
    std::memcpy(&function, &address, sizeof function);
    return function != nullptr;
}

}  // namespace sentry_lite
