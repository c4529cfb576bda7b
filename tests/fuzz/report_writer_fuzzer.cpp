// The lite crash reporter's envelope writer on any bytes in its texts: the envelope must be
// whole by the envelope rules, its event must parse as JSON, and a text that was valid UTF-8
// must read back unchanged. The same bytes, as a file found at start-up, go to the check that
// decides whether a report left behind is whole: it must never read past them.
//
// The input is split at its first NUL byte: release before it, then a tag's key and value
// split at the next NUL (the C interface never passes a NUL inside a text). The same bytes
// are also used as the environment.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "envelope.h"
#include "fuzz_check.h"
#include "report_reader.h"

namespace {

// Well-formed UTF-8 as the Unicode standard tables it: for each lead byte, the length of its
// sequence and the range of its second byte; later bytes are 80 to BF.
bool IsValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        unsigned low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3, low = 0xA0;
        } else if (lead == 0xED) {
            length = 3, high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            length = 3;
        } else if (lead == 0xF0) {
            length = 4, low = 0x90;
        } else if (lead == 0xF4) {
            length = 4, high = 0x8F;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Longer texts find nothing shorter ones do not: every byte is handled on its own or in a
    // sequence of at most four.
    if (size > 256) {
        return 0;
    }
    // Whatever a left-behind file holds, the check reads only its bytes, and calls whole only
    // what starts with a header line.
    if (sentry_lite::IsWholeEnvelope(reinterpret_cast<const char*>(data), size)) {
        Require(data[0] == '{' && std::memchr(data, '\n', size) != nullptr);
    }
    const std::string release = NextText(data, size);
    const std::string key = NextText(data, size);
    const std::string value = NextText(data, size);
    const bool release_valid = IsValidUtf8(release);
    const bool key_valid = IsValidUtf8(key);
    const bool value_valid = IsValidUtf8(value);

    sentry_lite::CrashContext context;
    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.dsn = key;
    context.release = release;
    context.environment = value;
    context.session.status = sentry_lite::SessionStatus::kOpen;
    context.session.sid = release;
    context.tags = {{key, value}, {"PID", "908"}};
    sentry_lite::CrashException exception;
    exception.code = 0xC0000005;
    char buffer[4096];
    sentry_lite::FixedText part(buffer, sizeof buffer);
    Require(sentry_lite::BeginCrashPart(part, exception));
    const std::u16string path(value.begin(), value.end());  // any units, lone surrogates too
    sentry_lite::ImageInfo image;
    image.path = reinterpret_cast<const uint16_t*>(path.data());
    image.path_length = path.size();
    sentry_lite::AppendImage(part, image, true);
    sentry_lite::EndCrashPart(part);
    Require(!part.Overflowed());

    const std::string dump = release;
    const std::string text = sentry_lite::FormatEnvelope(
        sentry_lite::PrepareEnvelope(context), static_cast<int64_t>(size) * 86400007 - 1000000,
        std::string(part.Data(), part.Size()), &dump);
    Require(sentry_lite::IsWholeEnvelope(text.data(), text.size()));
    Require(!sentry_lite::IsWholeEnvelope(text.data(), text.size() - dump.size() - 2));
    std::string event;
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
