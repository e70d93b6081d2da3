// printf-style formatting into std::string.
#pragma once

#include <string>

namespace kvt {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kvt
