#pragma once

#include <cstddef>
#include <cstdint>

#include "fixed_text.h"

// The crash's own part of the event, written at the crash into a buffer given in advance: the
// exception with its stack and registers, then the loaded images with their debug ids. It
// allocates nothing and takes no lock.
namespace sentry_lite {

// The registers the event shows, in this order.
constexpr size_t kRegisterCount = 17;
extern const char* const kRegisterNames[kRegisterCount];

// What the machine could tell of one frame, when the report is symbolised: the image that holds
// it and, where its symbols name one, the function.
struct FrameSymbol {
    uint64_t image_addr = 0;            // 0: in no image the reporter knows
    const uint16_t* package = nullptr;  // the image's path, UTF-16 as the loader keeps it
    size_t package_length = 0;          // 0: the path is not known
    const char* function = nullptr;     // UTF-8, or null when unnamed
    size_t function_length = 0;
    uint64_t symbol_addr = 0;  // where the function starts
};

struct CrashException {
    uint32_t code = 0;
    uint64_t address = 0;
    bool abort = false;  // abort() rather than an exception: code is what it is reported as
    // For an access violation: 0 read, 1 write, 8 execute, and the address it touched.
    bool has_access = false;
    uint64_t access_kind = 0;
    uint64_t access_address = 0;
    uint64_t registers[kRegisterCount] = {};
    // The crashed thread's frames, innermost first: frames[0] is where it crashed.
    const uint64_t* frames = nullptr;
    size_t frame_count = 0;
    // One per frame, in the frames' order, or null for frames given by address alone.
    const FrameSymbol* symbols = nullptr;
};

struct ImageInfo {
    uint64_t base = 0;
    uint32_t size = 0;
    uint32_t time_date_stamp = 0;
    const uint16_t* path = nullptr;  // UTF-16, as the loader keeps it
    size_t path_length = 0;
    // From the image's CodeView record, when it has one: the debug id's text and the path of
    // its debug file (UTF-8; length 0 when the record names none).
    const char* debug_id = nullptr;
    size_t debug_id_length = 0;
    const char* debug_file = nullptr;
    size_t debug_file_length = 0;
};

// The crash's part of the event: the exception with its stack, then the loaded images. Room
// for the closing brackets is kept back, so EndCrashPart always fits once BeginCrashPart did;
// an image that does not fit is left out.
constexpr size_t kCrashPartReserve = 64;
bool BeginCrashPart(FixedText& out, const CrashException& exception);
void AppendImage(FixedText& out, const ImageInfo& image, bool first);
void EndCrashPart(FixedText& out);

// How Windows names an exception code: "EXCEPTION_ACCESS_VIOLATION", or null when it has no
// name of its own.
const char* ExceptionName(uint32_t code);

}  // namespace sentry_lite
