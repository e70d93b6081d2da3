#include "platform/report_stream.h"

#include <cstdarg>
#include <cstdlib>

namespace kvt {

void ReportStream::Write(std::string_view text) {
    if (!text_) {
        WriteBytes(text.data(), text.size());
        return;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        WriteBytes(text.data() + start, end - start);
        if (nl == std::string_view::npos) break;
        WriteBytes("\r\n", 2);
        start = nl + 1;
    }
}

void ReportStream::WriteBytes(const void* data, size_t size) {
    if (size == 0) return;
    if (std::fwrite(data, 1, size, file_) != size) failed_ = true;
}

void ReportStream::Printf(const char* format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        failed_ = true;
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        Write(std::string_view(small, static_cast<size_t>(n)));
    } else {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, copy);
        big.resize(static_cast<size_t>(n));
        Write(big);
    }
    va_end(copy);
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
