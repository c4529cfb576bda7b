#pragma once

// The bytes of an image loaded in this process, read at a crash: through ReadProcessMemory, so
// a page that is gone (an image half unloaded) fails the read instead of faulting, and without
// the loader's lock or the heap, which the crash may hold or have damaged.
#include <cstddef>
#include <cstdint>

#include "modulefinder/codeview.h"

namespace sentry_lite {

class LoadedImageBytes : public ImageBytes {
  public:
    explicit LoadedImageBytes(uintptr_t base) : base_(base) {}
    bool Read(uint32_t offset, void* out, size_t size) const override;

  private:
    uintptr_t base_;
};

// The CodeView record of the image mapped at `base`, `size` bytes long (its size as the
// loader gives it).
bool ReadLoadedCodeView(uintptr_t base, uint32_t size, CodeViewRecord& record);

}  // namespace sentry_lite
