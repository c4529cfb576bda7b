#pragma once

#include <string>
#include <string_view>

namespace sentry_lite {

// A UUID's text (8-4-4-4-12 lower-case hexadecimal digits) of 16 random bytes, made a version 4
// UUID.
std::string UuidText(const unsigned char (&bytes)[16]);
// True for the text of any UUID: 8-4-4-4-12 hexadecimal digits, either case.
bool IsUuidText(std::string_view text);

}  // namespace sentry_lite
