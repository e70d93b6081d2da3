// A report file: in text mode every "\n" written becomes CR LF (on every platform); in
// binary mode bytes pass unchanged. Write errors are remembered, not thrown.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace kvt {

class ReportStream {
  public:
    // Wraps an open stdio stream; the caller opens and closes it.
    ReportStream(std::FILE* file, bool textMode) : file_(file), text_(textMode) {}

    void Write(std::string_view text);
    void WriteBytes(const void* data, size_t size);
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

    bool textMode() const { return text_; }
    bool failed() const { return failed_; }
    std::FILE* file() const { return file_; }

  private:
    std::FILE* file_;
    bool text_;
    bool failed_ = false;
};

// A report collected in memory, with the same line-end rule (for tests and the CLI).
class StringReport {
  public:
    explicit StringReport(bool textMode = true);
    ~StringReport();
    StringReport(const StringReport&) = delete;
    StringReport& operator=(const StringReport&) = delete;
    ReportStream& stream() { return stream_; }
    std::string str();

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_;
    ReportStream stream_;
};

}  // namespace kvt
