// Named bits and fields of the architectural and widely documented model-specific registers,
// for explaining what changed in a register rather than only its 64-bit value.
#pragma once

#include <cstdint>
#include <vector>

namespace kvt {

// Bits high:low (high == low for a flag) of an MSR and their name.
struct MsrFieldName {
    int high = 0, low = 0;
    const char* name = "";
};

// The fields known for `msr` on a processor of `vendor` (a CpuVendor); empty when none are.
std::vector<MsrFieldName> MsrFieldNames(uint32_t vendor, uint32_t msr);

}  // namespace kvt
