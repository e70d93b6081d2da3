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

    PciAddress address() const { return {bus, device, function}; }
};

// A function the tables name whose base register holds no I/O base: it reads 0 (the
// controller is not programmed or is disabled) or is a memory-space base (bit 0 clear).
// Taking it as a base would send the transactions to ports 00h-0Fh (the DMA controller).
struct SmbusRejected {
    uint32_t bus = 0, device = 0, function = 0;
    uint32_t vendorKind = 0;
    uint32_t baseRegister = 0;
    uint32_t value = 0;  // what the register read
};
// "no controller: base register 20h reads 00000000h (no I/O base)".
std::string SmbusRejectedReason(const SmbusRejected& rejected);

// Two passes over the enumerated functions: class 0C0500h by vendor (Intel 20h, ATI 10h,
// NVIDIA two controllers from R and R + 4), then VIA functions of any class by device ID.
// A function whose base register cannot be read is left out rather than given a base; one
// whose register holds no I/O base is left out and, when asked, listed in `rejected`.
std::vector<SmbusController> DetectSmbusControllers(DriverClient& client,
                                                    std::vector<SmbusRejected>* rejected = nullptr);

// "%s Smbus controller %d at PCI bus %X device %X function %X".
std::string SmbusControllerCaption(const SmbusController& controller, int index);

}  // namespace kvt
