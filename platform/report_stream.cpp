#include "platform/report_stream.h"

#include <cstdarg>
#include <cstdlib>
#include <string>

#include "platform/format.h"

namespace kvt {

void ReportStream::Write(std::string_view text) {
    if (!text_) {
        WriteBytes(text.data(), text.size());
        return;
    }
    // Converted in one buffer and written at once: a long report is many short lines.
    std::string converted;
    converted.reserve(text.size() + text.size() / 16);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        converted.append(text.data() + start, end - start);
        if (nl == std::string_view::npos) break;
        converted += "\r\n";
        start = nl + 1;
    }
    WriteBytes(converted.data(), converted.size());
}

void ReportStream::WriteBytes(const void* data, size_t size) {
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) failed_ = true;
}

void ReportStream::Printf(const char* format, ...) {
    std::string text;
    va_list args;
    va_start(args, format);
    AppendFormatV(text, format, args);
    va_end(args);
    Write(text);
}

StringReport::StringReport(bool textMode)
    : file_(open_memstream(&buffer_, &size_)), stream_(file_, textMode) {}

StringReport::~StringReport() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(buffer_);
}

std::string StringReport::str() {
    std::fflush(file_);
    return std::string(buffer_ == nullptr ? "" : buffer_, size_);
}

}  // namespace kvt
