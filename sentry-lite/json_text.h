#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// JSON texts as the envelopes write them ahead of a crash, into strings: literals of any bytes,
// numbers, and the room to reserve so that a line is written into one block.
namespace sentry_lite {

// A JSON string literal, quotes included. Texts are taken as UTF-8; a byte that is not part of
// a valid UTF-8 sequence becomes U+FFFD, so the envelope always parses.
std::string JsonString(const std::string& text);
// The same, appended to `out`.
void AppendJsonString(std::string& out, std::string_view text);
// Room enough for any text's literal: a byte takes at most six characters (\ufffd, \u001f),
// and the quotes two.
constexpr size_t JsonStringCapacity(std::string_view text) {
    return text.size() * 6 + 2;
}

// `,"name":` and the value's literal, or nothing when there is no value; and the room it takes
// beside its name.
void AppendOptionalField(std::string& out, const char* name,
                         const std::optional<std::string>& value);
size_t OptionalCapacity(const std::optional<std::string>& value);

// Room for the fixed text around the fields of a line or payload: its names, punctuation,
// times and numbers. Reserving it with the fields' own room writes each text into one block.
constexpr size_t kFixedRoom = 512;

// The length of the valid UTF-8 sequence starting at `text[i]`, or 0 when it is not one:
// overlong forms, surrogates and values beyond U+10FFFF are not valid.
size_t Utf8SequenceLength(const char* text, size_t size, size_t i);

}  // namespace sentry_lite
