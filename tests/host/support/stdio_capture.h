#pragma once

#include <cstdio>
#include <string>

// A stdio stream that keeps what is written to it. Fully buffered, text reaches the record
// only when the stream is flushed, and each flush is marked "<flush>", so a test sees both
// the text and where a line was pushed out. Unbuffered, every write is kept at once and
// nothing is marked: what was written is visible before the next call.
class StdioCapture {
  public:
    enum class Buffering { kFull, kNone };

    explicit StdioCapture(Buffering buffering = Buffering::kFull);
    ~StdioCapture();
    StdioCapture(const StdioCapture&) = delete;
    StdioCapture& operator=(const StdioCapture&) = delete;

    std::FILE* stream() const { return stream_; }
    // What was written since the last call, what is still buffered included (unmarked).
    std::string Take();
    // What has been written so far, without taking it.
    const std::string& Written() const { return text_; }

  private:
    static ssize_t Write(void* cookie, const char* data, size_t size);

    std::FILE* stream_ = nullptr;
    std::string text_;
    bool mark_flushes_ = false;
    bool taking_ = false;
};

// Makes the process's standard output a capture while it lives. Keep it short: the test
// framework prints its failures through stdout too. Text never taken is passed on to the real
// standard output at the end, so nothing written meanwhile is lost.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    std::string Take() { return capture_.Take(); }

  private:
    StdioCapture capture_;
    std::FILE* previous_;
};

// What `action` writes to standard output, with "<flush>" where it flushed.
template <typename Action>
std::string StdoutOf(Action&& action) {
    StdoutCapture capture;
    action();
    return capture.Take();
}
