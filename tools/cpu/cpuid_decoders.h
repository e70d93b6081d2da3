// The per-vendor CPUID decoders behind DecodeCpuidFunction. Each returns the text of the
// functions it explains and an empty text for any other function, or for a function the
// record does not hold.
#pragma once

#include <cstdint>
#include <string>

#include "tools/cpu/cpuid_record.h"

namespace kvt {

std::string DecodeIntelStandard(const CpuidRecord& record, uint32_t function);
std::string DecodeAmdStandard(const CpuidRecord& record, uint32_t function);
std::string DecodeTransmetaStandard(const CpuidRecord& record, uint32_t function);

std::string DecodeIntelExtended(const CpuidRecord& record, uint32_t function);
std::string DecodeAmdExtended(const CpuidRecord& record, uint32_t function);
std::string DecodeTransmetaExtended(const CpuidRecord& record, uint32_t function);

std::string DecodeTransmetaFunction(const CpuidRecord& record, uint32_t function);

}  // namespace kvt
