// The lite reporter's CodeView reader on any image bytes: it never reads outside the image's
// size (the bytes beyond it change nothing), and what it finds is a well-formed debug id and a
// debug file path without a NUL in it. The input: the image's size (4 bytes, little-endian),
// then its bytes as mapped.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "modulefinder/codeview.h"

namespace {

bool IsDebugId(const std::string& text) {
    if (text.size() < 38 || text.size() > 45 || text[36] != '-') {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23 || i == 36;
        const char c = text[i];
        if (dash != (c == '-') || (!dash && !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    uint32_t image_size = 0;
    for (int i = 3; i >= 0; --i) {
        image_size = (image_size << 8) | data[i];
    }
    data += 4;
    size -= 4;
    sentry_lite::CodeViewRecord record;
    const bool found =
        sentry_lite::ReadCodeView(sentry_lite::MemoryImageBytes(data, size), image_size, record);
    // Only the image's own bytes count: cut to its size, it reads the same.
    sentry_lite::CodeViewRecord within;
    const size_t own = image_size < size ? image_size : size;
    FUZZ_CHECK(sentry_lite::ReadCodeView(sentry_lite::MemoryImageBytes(data, own), image_size,
                                         within) == found);
    if (!found) {
        return 0;
    }
    FUZZ_CHECK(std::memcmp(record.guid, within.guid, sizeof record.guid) == 0);
    FUZZ_CHECK(record.age == within.age);
    char text[sentry_lite::kDebugIdCapacity];
    FUZZ_CHECK(IsDebugId(std::string(text, sentry_lite::WriteDebugId(record, text))));
    FUZZ_CHECK(record.debug_file_length < sentry_lite::kMaxDebugFileLength);
    FUZZ_CHECK(std::memchr(record.debug_file, '\0', record.debug_file_length) == nullptr);
    return 0;
}
