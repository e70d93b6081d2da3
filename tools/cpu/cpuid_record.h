// The CPUID results of one processor.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace kvt {

enum CpuVendor : uint32_t {
    kCpuVendorIntel = 1,
    kCpuVendorAmd = 2,
    kCpuVendorTransmeta = 4,
    kCpuVendorVia = 8,
    kCpuVendorUnknown = 0x80000000,
};

struct CpuidRecord {
    uint32_t vendor = kCpuVendorUnknown;
    int32_t highestStandard = -1;  // EAX of function 0; -1 while nothing was collected
    uint32_t extendedBase = 0x80000000;
    uint32_t highestExtended = 0;           // 0: no extended functions
    uint32_t transmetaBase = 0;             // 0x80860000 for Transmeta processors
    uint32_t highestTransmeta = 0;          // 0: no Transmeta functions
    std::vector<CpuidRegisters> standard;   // entry i: function i
    std::vector<CpuidRegisters> extended;   // entry i: function 0x80000000 + i
    std::vector<CpuidRegisters> transmeta;  // entry i: function 0x80860000 + i
};

}  // namespace kvt
