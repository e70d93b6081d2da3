// PCI bus enumeration: the configuration-mechanism-#1 address form, the record of one found
// function, the listing (driver list request, or a bus scan on the consumer request form) and
// the PCI / PCI Express kind of a function. Shared by the PCI and SMBus tools.
#pragma once

#include <cstdint>
#include <vector>

#include "hwaccess/driver_client.h"

namespace kvt {

constexpr uint32_t PciConfigAddress(uint32_t bus, uint32_t device, uint32_t function,
                                    uint32_t reg = 0) {
    return 0x80000000u + bus * 0x10000u + device * 0x800u + function * 0x100u + reg;
}

enum PciDeviceKind : uint32_t { kPciKind = 1, kPciExpressKind = 2 };

struct PciFunctionRecord {
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    uint32_t deviceId = 0;
    uint32_t vendorId = 0;
    uint32_t classCode = 0;  // register 08h >> 8
    uint32_t kind = kPciKind;
};

// Room of the function table; enumeration stops there.
inline constexpr size_t kMaxPciFunctions = 1024;
// Most capability entries the kind walk follows (a 256-byte space holds at most 48).
inline constexpr int kMaxCapabilityWalk = 48;

// 1 (PCI) or 2 (PCI Express) for the function at configAddress (register 0). A list without
// the PCI Express entry, a read of all ones, a failed read or a cycle gives 1.
uint32_t GetPciDeviceKind(DriverClient& client, uint32_t configAddress);

// Fills table with every function found, in the driver's order (or the scan's), at most
// kMaxPciFunctions. A function whose 00h or 08h read fails is not listed. Returns the count;
// 0 when the listing request fails.
uint32_t EnumeratePciFunctions(DriverClient& client, std::vector<PciFunctionRecord>& table);

}  // namespace kvt
