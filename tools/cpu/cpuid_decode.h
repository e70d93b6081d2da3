// Explains the registers of one CPUID function as text (lines end in CR LF).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/cpu/cpuid_record.h"

namespace kvt {

// Chooses the decoder by the record's vendor and the function's range; empty text when no
// decoder explains the function.
std::string DecodeCpuidFunction(const CpuidRecord& record, uint32_t function);

// A bit (high == low) or bit field of a CPUID register, named as the decoder explains it.
struct CpuidFieldName {
    int high = 0, low = 0;
    std::string name;
};

// The fields the decoder of `vendor` names in register `reg` (0 EAX, 1 EBX, 2 ECX, 3 EDX) of
// `function`, reserved bits left out; empty when the decoder names none there.
std::vector<CpuidFieldName> CpuidFieldNames(uint32_t vendor, uint32_t function, int reg);

}  // namespace kvt
