#include "support/stdio_capture.h"

#include <cstdlib>

StdioCapture::StdioCapture(Buffering buffering) : mark_flushes_(buffering == Buffering::kFull) {
    const cookie_io_functions_t functions{nullptr, &StdioCapture::Write, nullptr, nullptr};
    stream_ = fopencookie(this, "w", functions);
    if (stream_ == nullptr) {
        std::abort();
    }
    // Larger than anything a test writes, so the buffer never fills and flushes by itself.
    std::setvbuf(stream_, nullptr, mark_flushes_ ? _IOFBF : _IONBF, 1 << 16);
}

StdioCapture::~StdioCapture() {
    taking_ = true;
    std::fclose(stream_);
}

std::string StdioCapture::Take() {
    taking_ = true;
    std::fflush(stream_);
    taking_ = false;
    std::string text;
    text.swap(text_);
    return text;
}

ssize_t StdioCapture::Write(void* cookie, const char* data, size_t size) {
    auto* self = static_cast<StdioCapture*>(cookie);
    self->text_.append(data, size);
    if (self->mark_flushes_ && !self->taking_) {
        self->text_ += "<flush>";
    }
    return static_cast<ssize_t>(size);
}

StdoutCapture::StdoutCapture() : previous_(stdout) {
    std::fflush(stdout);
    stdout = capture_.stream();
}

StdoutCapture::~StdoutCapture() {
    stdout = previous_;
    const std::string rest = capture_.Take();
    std::fwrite(rest.data(), 1, rest.size(), stdout);
    std::fflush(stdout);
}
