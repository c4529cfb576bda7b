#pragma once

// The CodeView record of a PE image: the GUID and age that name its debug information (a PDB,
// or with mingw the image's own DWARF and the .debug file split off it), as the crash
// reporting service matches debug files to an image. Read from the image as the loader mapped
// it, through a reader that may fail anywhere: an image can be damaged, foreign or half
// unloaded by the time a crash reads it.
#include <cstddef>
#include <cstdint>

namespace sentry_lite {

// The bytes of one mapped image, by their offset from its base (a relative virtual address).
class ImageBytes {
  public:
    virtual ~ImageBytes() = default;
    // Copies `size` bytes at `offset` into `out`; false when they cannot all be read.
    virtual bool Read(uint32_t offset, void* out, size_t size) const = 0;
};

// An image's bytes held in memory: a test's table, or a file laid out as loaded.
class MemoryImageBytes : public ImageBytes {
  public:
    MemoryImageBytes(const void* data, size_t size) : data_(data), size_(size) {}
    bool Read(uint32_t offset, void* out, size_t size) const override;

  private:
    const void* data_;
    size_t size_;
};

// Longest debug file path kept; a longer one is left out rather than cut.
constexpr size_t kMaxDebugFileLength = 1024;

struct CodeViewRecord {
    unsigned char guid[16] = {};  // as the record holds it: the first three fields little-endian
    uint32_t age = 0;
    char debug_file[kMaxDebugFileLength] = {};  // not NUL-ended: debug_file_length bytes
    size_t debug_file_length = 0;               // 0 when the record names none
};

// Finds the image's first CodeView "RSDS" record through its debug directory. Every read is
// checked against `image_size` (the mapped size) before the reader is asked. False when the
// image has none, or anything on the way is out of place.
bool ReadCodeView(const ImageBytes& image, uint32_t image_size, CodeViewRecord& record);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx-<age>", lower case, the age in hexadecimal without
// leading zeros: the GUID's first three fields read as little-endian numbers, the last eight
// bytes in their order. How the service and its tools write a PE image's debug id.
constexpr size_t kDebugIdCapacity = 36 + 1 + 8;
size_t WriteDebugId(const CodeViewRecord& record, char (&out)[kDebugIdCapacity]);

}  // namespace sentry_lite
