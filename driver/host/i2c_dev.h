// SMBus transactions through the kernel: the i2c adapter a kernel driver registers for a PCI
// function's SMBus controller, and its i2c-dev node with the kernel's SMBus ioctl, which the
// kernel serialises with its own use of the controller.
#pragma once

#include <cstdint>
#include <string>

#include "driver/backend.h"

namespace kvt::driver {

// The adapter ("i2c-3") among the i2c-N entries of a PCI function's sysfs folder: the one
// whose name ends in the controller's I/O base in hexadecimal (the kernel's drivers name
// theirs "... adapter at 0400"), else the only one. "" when there is none.
std::string FindI2cAdapter(const std::string& functionDir, uint16_t ioBase);

// One transaction on the node (/dev/i2c-N): 0 or the errno of the failing call. A read may
// address a device a kernel driver has claimed (the kernel still serialises the transfer); a
// write to such a device is refused with EBUSY, so the driver's view of it stays true.
int I2cDevTransfer(const std::string& node, Backend::SmbusKernelTransfer& t);

}  // namespace kvt::driver
