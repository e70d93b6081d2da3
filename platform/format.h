// printf-style formatting into std::string.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace kvt {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Appends the formatted text to out.
void AppendFormat(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AppendFormatV(std::string& out, const char* format, va_list args);

// The text with every control character (C0, DEL, C1) and every byte that is not part of valid
// UTF-8 written as \xNN, so text from a file cannot send control sequences to a terminal.
std::string EscapeControls(std::string_view text);

}  // namespace kvt
