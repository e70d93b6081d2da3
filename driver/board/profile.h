// Building a Board from a parsed profile.
#pragma once

#include "driver/board/board.h"
#include "driver/board/profile_json.h"

namespace kvt::driver::board {

// Fills an empty board from the profile's top-level object; false with the error set (by
// the node) when any value is missing, of the wrong type, out of range or contradictory.
bool BuildBoard(const ProfileNode& profile, Board& board);

}  // namespace kvt::driver::board
