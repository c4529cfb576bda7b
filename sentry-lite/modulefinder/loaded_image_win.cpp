#include "modulefinder/loaded_image_win.h"

// clang-format off
#include <windows.h>
// clang-format on

namespace sentry_lite {

bool LoadedImageBytes::Read(uint32_t offset, void* out, size_t size) const {
    SIZE_T read = 0;
    return base_ != 0 &&
           ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<const void*>(base_ + offset),
                             out, size, &read) != 0 &&
           read == size;
}

bool ReadLoadedCodeView(uintptr_t base, uint32_t size, CodeViewRecord& record) {
    return ReadCodeView(LoadedImageBytes(base), size, record);
}

}  // namespace sentry_lite
