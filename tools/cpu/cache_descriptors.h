// Texts of the one-byte cache and TLB descriptors that CPUID function 2 reports.
#pragma once

#include <cstdint>
#include <string>

namespace kvt {

// The text of one descriptor byte; "Unsupported" for a value the table does not know
// (every value above 0xFF included).
const char* CacheDescriptorText(uint32_t descriptor);

// Appends the line "\t\tBit h:l\t\t0x<byte>\t<text>\r\n" for the descriptor held in bits
// high:low of the register value.
void DescribeCacheDescriptor(std::string& text, uint32_t value, int high, int low);

}  // namespace kvt
