#include "platform/format.h"

#include <cstdio>

namespace kvt {

void AppendFormatV(std::string& out, const char* format, va_list args) {
    char small[256];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, args);
    if (n > 0 && static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
    } else if (n > 0) {
        size_t old = out.size();
        out.resize(old + static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, copy);
        out.resize(old + static_cast<size_t>(n));
    }
    va_end(copy);
}

void AppendFormat(std::string& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(out, format, args);
    va_end(args);
}

std::string Format(const char* format, ...) {
    std::string out;
    va_list args;
    va_start(args, format);
    AppendFormatV(out, format, args);
    va_end(args);
    return out;
}

}  // namespace kvt
