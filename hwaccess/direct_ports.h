// IN/OUT instruction stand-ins of the consumer protocol form.
#pragma once

#include <memory>

#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"

namespace kvt {

// This machine: ioperm + in/out. Without port permission (not root, or a kernel that refuses
// ioperm) a read yields all ones for the width, as a port nothing answers, and a write is
// dropped; the consumer form has no way to report a failed instruction.
std::unique_ptr<DirectPortAccess> MakeHostDirectPorts();
// A simulated board: the board daemon's port space.
std::unique_ptr<DirectPortAccess> MakeBoardDirectPorts(DriverTransport& transport);

}  // namespace kvt
