// The profile's "smbus" section: SMBus host controller models and their slave devices.
//
// Each entry names the PCI function that carries the controller's I/O base register, the
// register model (intel and via: the Intel-style interface with the byte-done handshake;
// ati: its buffered block variant; nvidia: the ACPI SMBus host interface of NVIDIA/AMD) and
// the slaves on its bus (SPD and other EEPROMs, block devices, devices that refuse every
// command). A model claims its ports at the base the register holds and follows later
// writes of that register. The loader calls AttachSmbusControllers after the PCI functions
// exist and before the board is served.
#pragma once

#include "driver/board/board.h"
#include "driver/board/profile_json.h"

namespace kvt::driver::board {

bool AttachSmbusControllers(const ProfileNode& section, Board& board);

}  // namespace kvt::driver::board
