#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crash_context.h"
#include "crash_part.h"

// What the envelope tests share: a context with every field set, a crash part written as a
// crash writes it, an image, and the service's reading of an envelope.
namespace sentry_lite {

// The service reads an envelope as its header line, then items of exactly `length` bytes.
struct ReadEnvelope {
    nlohmann::json header;
    std::vector<std::pair<nlohmann::json, std::string>> items;
};
ReadEnvelope Read(const std::string& text);

CrashContext FullContext();

std::string CrashPart(const CrashException& exception, const std::vector<ImageInfo>& images,
                      size_t capacity = 1 << 16);

// An image whose path is `path`, which must outlive it.
ImageInfo Image(uint64_t base, uint32_t size, uint32_t stamp, std::u16string_view path);

}  // namespace sentry_lite
