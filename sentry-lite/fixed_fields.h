#pragma once

#include <cstddef>
#include <cstdint>

// Numbers written into fields whose width is fixed when the text around them is made, so a
// crash or an end fills them in place without moving anything.
namespace sentry_lite {

// How many fixed-width characters the session's duration has: seconds with milliseconds,
// padded with spaces before the number so the JSON still reads as a number.
constexpr size_t kDurationWidth = 14;
// The width of an item's length that is filled in later.
constexpr size_t kLengthWidth = 10;

// Exactly `digits` digits, with leading zeros; upper-case for hexadecimal.
void WriteDecimal(uint64_t value, size_t digits, char* out);
void WriteHex(uint64_t value, size_t digits, char* out);
// A number right-aligned in a field of spaces: still a JSON number, of a width fixed ahead.
void WritePaddedDecimal(uint64_t value, size_t width, char* out);
// Seconds with three decimals, right-aligned in kDurationWidth characters: "        12.345".
// A negative duration is written as 0.
void WriteDuration(int64_t milliseconds, char* out);

}  // namespace sentry_lite
