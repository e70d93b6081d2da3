// Byte and word data transactions of an SMBus host controller driven through its ports, for
// the daemon's own use: the old value of a journaled SMBus write, what it holds now, and its
// undo. Conservative: a controller that is busy is left alone (the transaction fails).
#pragma once

#include <cstdint>

#include "driver/backend.h"

namespace kvt::driver {

// style: SmbusPortsStyle. False when the transaction failed or could not start.
bool SmbusPortsRead(Backend& backend, uint32_t style, uint16_t base, uint8_t slave, uint8_t command,
                    bool word, uint16_t& value);
bool SmbusPortsWrite(Backend& backend, uint32_t style, uint16_t base, uint8_t slave,
                     uint8_t command, bool word, uint16_t value);

}  // namespace kvt::driver
