#pragma once

#include <cstddef>
#include <cstdint>

namespace sentry_lite {

// A text of fixed capacity, written at the crash: it never allocates. Appends that do not fit
// leave it marked as overflowed; callers roll back to a mark to drop a whole entry.
class FixedText {
  public:
    FixedText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Append(const char* text);
    void Append(const char* text, size_t length);
    void AppendHex(uint64_t value);  // 0x and lower-case digits, no leading zeros
    void AppendDecimal(uint64_t value);
    // A JSON string literal of UTF-16 text, quotes included, as UTF-8; a lone surrogate
    // becomes U+FFFD.
    void AppendJsonUtf16(const uint16_t* text, size_t length);
    // A JSON string literal of UTF-8 text, quotes included; a byte that is not part of a valid
    // sequence becomes U+FFFD.
    void AppendJsonUtf8(const char* text, size_t length);

    size_t Size() const { return size_; }
    size_t Capacity() const { return capacity_; }
    bool Overflowed() const { return overflowed_; }
    size_t Mark() const { return size_; }
    void RollBack(size_t mark) {
        size_ = mark;
        overflowed_ = false;
    }
    const char* Data() const { return buffer_; }

  private:
    char* buffer_;
    size_t capacity_;
    size_t size_ = 0;
    bool overflowed_ = false;
};

}  // namespace sentry_lite
