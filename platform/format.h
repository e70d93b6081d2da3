// printf-style formatting into std::string.
#pragma once

#include <cstdarg>
#include <string>

namespace kvt {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends the formatted text to out.
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormatV(std::string& out, const char* format, va_list args);

}  // namespace kvt
