// The lite crash reporter's envelope writer on any bytes in its texts: the envelope must be
// whole by the envelope rules, its header lines and its event must read as strict JSON
// (report_reader.h), and a text that was valid UTF-8 must read back unchanged. The same bytes, as a
// file found at start-up, go to the check that decides whether a report left behind is whole: it
// must never read past them.
//
// The input is split at its first NUL byte: release before it, then a tag's key and value
// split at the next NUL (the C interface never passes a NUL inside a text). The same bytes
// are also used as the environment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "crash_part.h"
#include "envelope.h"
#include "envelope_reading.h"
#include "fuzz_check.h"
#include "report_reader.h"

namespace {

constexpr size_t kMaxInput = 256;

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Longer texts find nothing shorter ones do not: every byte is handled on its own or in a
    // sequence of at most four.
    if (size > kMaxInput) {
        return 0;
    }
    // Whatever a left-behind file holds, the check reads only its bytes, and calls whole only
    // what starts with a header line.
    if (sentry_lite::IsWholeEnvelope(reinterpret_cast<const char*>(data), size)) {
        Require(data[0] == '{' && std::memchr(data, '\n', size) != nullptr);
    }
    sentry_lite::CrashContext context;
    context.release = NextText(data, size);
    context.dsn = NextText(data, size);
    context.environment = NextText(data, size);
    const std::string& release = *context.release;
    const std::string& key = *context.dsn;
    const std::string& value = *context.environment;
    const bool release_valid = IsValidUtf8(release);
    const bool key_valid = IsValidUtf8(key);
    const bool value_valid = IsValidUtf8(value);

    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.session.status = sentry_lite::SessionStatus::kOpen;
    context.session.sid = release;
    // In this order, so a key "PID" keeps the input's value.
    context.tags.emplace(key, value);
    context.tags.emplace("PID", "908");
    sentry_lite::CrashException exception;
    exception.code = 0xC0000005;
    char buffer[4096];
    sentry_lite::FixedText part(buffer, sizeof buffer);
    Require(sentry_lite::BeginCrashPart(part, exception));
    // The value's bytes in pairs, low byte first, as the loader keeps a path: any units, lone
    // surrogates too.
    uint16_t path[kMaxInput / 2];
    size_t units = 0;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        path[units++] = static_cast<uint16_t>(static_cast<uint8_t>(value[i]) |
                                              static_cast<uint8_t>(value[i + 1]) << 8);
    }
    sentry_lite::ImageInfo image;
    image.path = path;
    image.path_length = units;
    sentry_lite::AppendImage(part, image, true);
    sentry_lite::EndCrashPart(part);
    Require(!part.Overflowed());

    const std::string& dump = release;
    const std::string text = sentry_lite::FormatEnvelope(
        sentry_lite::PrepareEnvelope(context), static_cast<int64_t>(size) * 86400007 - 1000000,
        std::string_view(part.Data(), part.Size()), &dump);
    Require(sentry_lite::IsWholeEnvelope(text.data(), text.size()));
    Require(!sentry_lite::IsWholeEnvelope(text.data(), text.size() - dump.size() - 2));
    std::string_view event;
    Require(ReadEventItem(text, event));
    ReadReport parsed;
    Require(ReadReportBack(event, parsed));
    if (release_valid) {
        Require(parsed.release == release);
    }
    if (value_valid) {
        Require(parsed.environment == value);
    }
    if (key_valid && value_valid && key != "PID") {
        Require(parsed.tags.size() == 2 && parsed.tags[key] == value);
    }
    if (key != "PID") {
        Require(parsed.tags["PID"] == "908");
    } else if (value_valid) {
        Require(parsed.tags["PID"] == value);  // a key given twice keeps its first value
    }
    return 0;
}
