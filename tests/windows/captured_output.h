#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

// A stdio stream into a file of its own in the temporary folder, for code that writes its lines
// through stdio; Text() reads back what was written. The file is removed at the end.
class CapturedOutput {
  public:
    CapturedOutput() {
        wchar_t folder[MAX_PATH + 1] = {};
        wchar_t name[MAX_PATH + 1] = {};
        if (GetTempPathW(MAX_PATH, folder) != 0 && GetTempFileNameW(folder, L"out", 0, name) != 0) {
            path_ = name;
            stream_ = _wfopen(name, L"w+b");
        }
    }
    ~CapturedOutput() {
        if (stream_ != nullptr) {
            std::fclose(stream_);
        }
        if (!path_.empty()) {
            DeleteFileW(path_.c_str());
        }
    }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    std::FILE* stream() const { return stream_; }

    std::string Text() const {
        std::string text;
        if (stream_ == nullptr) {
            return "<no output file>";
        }
        std::fflush(stream_);
        std::rewind(stream_);
        char buffer[512];
        size_t count = 0;
        while ((count = std::fread(buffer, 1, sizeof buffer, stream_)) > 0) {
            text.append(buffer, count);
        }
        return text;
    }

  private:
    std::wstring path_;
    std::FILE* stream_ = nullptr;
};
