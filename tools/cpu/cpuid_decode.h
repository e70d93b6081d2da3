// Explains the registers of one CPUID function as text (lines end in CR LF).
#pragma once

#include <cstdint>
#include <string>

#include "tools/cpu/cpuid_record.h"

namespace kvt {

// Chooses the decoder by the record's vendor and the function's range; empty text when no
// decoder explains the function.
std::string DecodeCpuidFunction(const CpuidRecord& record, uint32_t function);

}  // namespace kvt
