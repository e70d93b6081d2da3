// Extension point for SMBus host controllers.
//
// The profile key "smbus" is reserved for them: a list of controllers, each naming the
// PCI function that carries its I/O base register, its register model (the Intel-style
// host interface with busy bit and byte-done handshake, the ATI buffered block variant,
// the NVIDIA/AMD ACPI SMBus host interface) and the slave devices on its bus. A model is a
// PortDevice: it claims its 8 or 16 ports in board.ports() at the base read from the
// function's configuration space, and follows later writes of that register through
// PciFunction::SetWriteListener (Release, then Claim at the new base). The loader calls
// AttachSmbusControllers after the PCI functions exist and before the board is served.
#pragma once

#include "driver/board/board.h"
#include "driver/board/profile_json.h"

namespace kvt::driver::board {

bool AttachSmbusControllers(const ProfileNode& section, Board& board);

}  // namespace kvt::driver::board
