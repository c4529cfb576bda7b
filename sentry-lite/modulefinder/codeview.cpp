#include "modulefinder/codeview.h"

#include <cstring>

namespace sentry_lite {

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
constexpr uint32_t kRsdsSignature = 0x53445352;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kDebugDirectoryIndex = 6;
constexpr uint32_t kCodeViewType = 2;
constexpr uint32_t kDebugEntrySize = 28;
// More entries than any linker writes: a damaged size stops here instead of at every byte.
constexpr uint32_t kMaxDebugEntries = 32;
// The record's fixed part: signature, GUID, age.
constexpr uint32_t kRsdsFixedSize = 4 + 16 + 4;

// Reads within [0, image_size) only.
class BoundedReader {
  public:
    BoundedReader(const ImageBytes& image, uint32_t image_size)
        : image_(image), image_size_(image_size) {}

    bool Contains(uint32_t offset, size_t size) const {
        return size <= image_size_ && offset <= image_size_ - size;
    }

    bool Read(uint32_t offset, void* out, size_t size) const {
        return Contains(offset, size) && image_.Read(offset, out, size);
    }

    template <typename T>
    bool ReadLittleEndian(uint32_t offset, T& value) const {
        unsigned char bytes[sizeof(T)];
        if (!Read(offset, bytes, sizeof bytes)) {
            return false;
        }
        value = 0;
        for (size_t i = sizeof bytes; i > 0; --i) {
            value = static_cast<T>((value << 8) | bytes[i - 1]);
        }
        return true;
    }

  private:
    const ImageBytes& image_;
    uint32_t image_size_;
};

struct DataDirectory {
    uint32_t address = 0;
    uint32_t size = 0;
};

// Sums that would pass 4 GiB are no offset in an image.
bool Add(uint32_t a, uint32_t b, uint32_t& sum) {
    if (a > UINT32_MAX - b) {
        return false;
    }
    sum = a + b;
    return true;
}

bool Wraps(uint32_t at, uint32_t size) {
    return at > UINT32_MAX - size;
}

bool FindDebugDirectory(const BoundedReader& reader, DataDirectory& directory) {
    uint16_t dos_signature = 0;
    uint32_t nt_at = 0;
    if (!reader.ReadLittleEndian(0, dos_signature) || dos_signature != kDosSignature ||
        !reader.ReadLittleEndian(0x3C, nt_at)) {
        return false;
    }
    uint32_t nt_signature = 0;
    if (!reader.ReadLittleEndian(nt_at, nt_signature) || nt_signature != kNtSignature) {
        return false;
    }
    // The optional header follows the signature and the 20-byte file header.
    uint32_t optional_at = 0;
    uint16_t magic = 0;
    // As far as it reads: the debug directory's entry of a PE32+ header.
    if (!Add(nt_at, 24, optional_at) || Wraps(optional_at, 112 + 8 * (kDebugDirectoryIndex + 1)) ||
        !reader.ReadLittleEndian(optional_at, magic)) {
        return false;
    }
    uint32_t count_at = 0, directories_at = 0;
    if (magic == kPe32PlusMagic) {
        count_at = optional_at + 108;
        directories_at = optional_at + 112;
    } else if (magic == kPe32Magic) {
        count_at = optional_at + 92;
        directories_at = optional_at + 96;
    } else {
        return false;
    }
    uint32_t count = 0;
    if (!reader.ReadLittleEndian(count_at, count) || count <= kDebugDirectoryIndex) {
        return false;
    }
    const uint32_t entry_at = directories_at + 8 * kDebugDirectoryIndex;
    return reader.ReadLittleEndian(entry_at, directory.address) &&
           reader.ReadLittleEndian(entry_at + 4, directory.size) && directory.address != 0 &&
           directory.size >= kDebugEntrySize;
}

// The record at `at`, `size` bytes, when it is an RSDS one.
bool ReadRsds(const BoundedReader& reader, uint32_t at, uint32_t size, CodeViewRecord& record) {
    uint32_t signature = 0;
    if (size < kRsdsFixedSize || !reader.Contains(at, size) ||
        !reader.ReadLittleEndian(at, signature) || signature != kRsdsSignature ||
        !reader.Read(at + 4, record.guid, sizeof record.guid) ||
        !reader.ReadLittleEndian(at + 20, record.age)) {
        return false;
    }
    // The path runs to its NUL within the record; one that does not fit is left out.
    record.debug_file_length = 0;
    const uint32_t path_room = size - kRsdsFixedSize;
    const size_t readable = path_room < kMaxDebugFileLength ? path_room : kMaxDebugFileLength;
    if (readable == 0 || !reader.Read(at + kRsdsFixedSize, record.debug_file, readable)) {
        return true;
    }
    const void* end = std::memchr(record.debug_file, '\0', readable);
    if (end != nullptr) {
        record.debug_file_length =
            static_cast<size_t>(static_cast<const char*>(end) - record.debug_file);
    }
    return true;
}

}  // namespace

bool MemoryImageBytes::Read(uint32_t offset, void* out, size_t size) const {
    if (offset > size_ || size > size_ - offset) {
        return false;
    }
    std::memcpy(out, static_cast<const unsigned char*>(data_) + offset, size);
    return true;
}

bool ReadCodeView(const ImageBytes& image, uint32_t image_size, CodeViewRecord& record) {
    const BoundedReader reader(image, image_size);
    DataDirectory directory;
    if (!FindDebugDirectory(reader, directory)) {
        return false;
    }
    const uint32_t entries = directory.size / kDebugEntrySize;
    for (uint32_t i = 0; i < entries && i < kMaxDebugEntries; ++i) {
        uint32_t entry_at = 0;
        uint32_t type = 0, size = 0, address = 0;
        if (!Add(directory.address, i * kDebugEntrySize, entry_at) ||
            Wraps(entry_at, kDebugEntrySize) || !reader.ReadLittleEndian(entry_at + 12, type)) {
            return false;
        }
        // A record not mapped (address 0) lives in the file alone: nothing to read here.
        if (type != kCodeViewType || !reader.ReadLittleEndian(entry_at + 16, size) ||
            !reader.ReadLittleEndian(entry_at + 20, address) || address == 0) {
            continue;
        }
        if (ReadRsds(reader, address, size, record)) {
            return true;
        }
    }
    return false;
}

size_t WriteDebugId(const CodeViewRecord& record, char (&out)[kDebugIdCapacity]) {
    static constexpr char kDigits[] = "0123456789abcdef";
    // The GUID's bytes in the order they are written: Data1, Data2 and Data3 reversed.
    static constexpr size_t kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    size_t n = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            out[n++] = '-';
        }
        const unsigned char byte = record.guid[kOrder[i]];
        out[n++] = kDigits[byte >> 4];
        out[n++] = kDigits[byte & 0xF];
    }
    out[n++] = '-';
    size_t digits = 1;
    for (uint32_t rest = record.age >> 4; rest != 0; rest >>= 4) {
        ++digits;
    }
    for (size_t i = digits; i > 0; --i) {
        out[n + i - 1] = kDigits[(record.age >> (4 * (digits - i))) & 0xF];
    }
    return n + digits;
}

}  // namespace sentry_lite
