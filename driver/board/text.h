// printf-style formatting for the board's messages (the driver does not link the core).
#pragma once

#include <string>

namespace kvt::driver::board {

std::string Text(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kvt::driver::board
