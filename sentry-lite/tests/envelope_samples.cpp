#include "tests/envelope_samples.h"

#include <gtest/gtest.h>

namespace sentry_lite {

ReadEnvelope Read(const std::string& text) {
    ReadEnvelope read;
    size_t end = text.find('\n');
    read.header = nlohmann::json::parse(text.substr(0, end));
    size_t pos = end + 1;
    while (pos < text.size()) {
        end = text.find('\n', pos);
        const nlohmann::json item = nlohmann::json::parse(text.substr(pos, end - pos));
        pos = end + 1;
        const size_t length = item.at("length").get<size_t>();
        EXPECT_LE(pos + length, text.size());
        read.items.emplace_back(item, text.substr(pos, length));
        pos += length;
        if (pos < text.size()) {
            EXPECT_EQ(text[pos], '\n');
            ++pos;
        }
    }
    return read;
}

CrashContext FullContext() {
    CrashContext context;
    context.event_id = "0e0d4a1b-9c2f-4e51-8a7b-3c4d5e6f7a8b";
    context.dsn = "https://key@reports.example/7";
    context.release = "TavroStudio 1.5.27";
    context.environment = "production";
    context.installation_id = "6ef5a2e3-fd53-4550-9708-b2481ae82cd0";
    context.os_version = "10.0.19045";
    context.session = {SessionStatus::kOpen, "afeba90f-e3e1-49f1-9c5f-c940d2a8b198", 1709210000000};
    context.tags = {{"PID", "908"}, {"computer_name", "VIEWER-PC"}, {"mac_address", ""}};
    return context;
}

std::string CrashPart(const CrashException& exception, const std::vector<ImageInfo>& images,
                      size_t capacity) {
    std::string buffer(capacity, '\0');
    FixedText out(buffer.data(), buffer.size());
    EXPECT_TRUE(BeginCrashPart(out, exception));
    for (size_t i = 0; i < images.size(); ++i) {
        AppendImage(out, images[i], i == 0);
    }
    EndCrashPart(out);
    EXPECT_FALSE(out.Overflowed());
    return buffer.substr(0, out.Size());
}

ImageInfo Image(uint64_t base, uint32_t size, uint32_t stamp, std::u16string_view path) {
    ImageInfo image;
    image.base = base;
    image.size = size;
    image.time_date_stamp = stamp;
    image.path = reinterpret_cast<const uint16_t*>(path.data());
    image.path_length = path.size();
    return image;
}

}  // namespace sentry_lite
