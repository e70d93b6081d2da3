// SMBus host controller detection: the controllers of the chipset and the I/O base each is
// programmed at, found from the PCI function list with a fixed table of vendors and devices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"

namespace kvt {

enum SmbusVendorKind : uint32_t {
    kSmbusIntel = 1,
    kSmbusAmd = 2,
    kSmbusNvidia = 3,
    kSmbusVia = 4,
    kSmbusSis = 5,
    kSmbusAli = 6,
    kSmbusAti = 7,
};

// "INTEL ", "AMD ", "NVIDIA ", "VIA ", "SIS ", "ALI ", "ATI ", else "UNKNOWN " (one blank
// follows each word).
const char* SmbusVendorWord(uint32_t kind);

struct SmbusController {
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    uint32_t vendorKind = 0;
    uint16_t ioBase = 0;        // base register value AND FFFEh
    uint32_t baseRegister = 0;  // the configuration register the base was read from
};

// Two passes over the enumerated functions: class 0C0500h by vendor (Intel 20h, ATI 10h,
// NVIDIA two controllers from R and R + 4), then VIA functions of any class by device ID.
// A function whose base register cannot be read is left out rather than given a base.
std::vector<SmbusController> DetectSmbusControllers(DriverClient& client);

// "%s Smbus controller %d at PCI bus %X device %X function %X".
std::string SmbusControllerCaption(const SmbusController& controller, int index);

}  // namespace kvt
