#include "driver/board/smbus_section.h"

namespace kvt::driver::board {

// No controller models are built in yet: an empty list is accepted so profiles can keep
// the key; anything else is refused rather than silently ignored.
bool AttachSmbusControllers(const ProfileNode& section, Board& board) {
    (void)board;
    if (!section.json().is_array()) return section.Fail("must be a list");
    if (!section.json().empty())
        return section.Fail("SMBus controller models are not available in this daemon");
    return true;
}

}  // namespace kvt::driver::board
