#include "boards/profile/processors.h"

namespace kvt::board_profile {

void ApplyCpuid(CpuidTable& table, const std::vector<CpuidEntry>& entries) {
    for (const CpuidEntry& e : entries) {
        std::array<uint32_t, 4>& regs = table[{e.leaf, e.sub}];
        for (size_t r = 0; r < 4; ++r)
            if (e.regs[r]) regs[r] = *e.regs[r];
    }
}

void ApplyMsrs(MsrTable& table, const std::vector<MsrEntry>& entries) {
    for (const MsrEntry& e : entries) {
        MsrState& m = table[e.number];
        if (e.value) m.value = *e.value;
        if (e.writeMask) m.writeMask = *e.writeMask;
        if (e.access) m.access = *e.access;
        if (e.isVolatile) m.isVolatile = *e.isVolatile;
    }
}

}  // namespace kvt::board_profile
