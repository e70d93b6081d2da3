#include "tools/cpu/cache_descriptors.h"

#include <array>
#include <cstddef>

#include "tools/cpu/cpuid_decode_util.h"

namespace kvt {

using namespace cpuid_decode;

namespace {

struct DescriptorRow {
    uint8_t descriptor;
    const char* text;
};

constexpr DescriptorRow kDescriptorRows[] = {
    {0x00, "Null"},
    {0x01, "Instruction TLB: 4K-byte Pages, 4-way set associative, 32 entries"},
    {0x02, "Instruction TLB: 4M-byte Pages, fully associative, 2 entries"},
    {0x03, "Data TLB: 4K-byte Pages, 4-way set associative, 64 entries"},
    {0x04, "Data TLB: 4M-byte Pages, 4-way set associative, 8 entries"},
    {0x06, "1st-level instruction cache: 8K-bytes, 4-way set associative, 32 byte line size"},
    {0x08, "1st-level instruction cache: 16K-bytes, 4-way set associative, 32 byte line size"},
    {0x0A, "1st-level data cache: 8K-bytes, 2-way set associative, 32 byte line size"},
    {0x0C, "1st-level data cache: 16K-bytes, 4-way set associative, 32 byte line size"},
    {0x22, "3rd-level cache: 512K-bytes, 4-way set associative, sectored cache, 64-byte line size"},
    {0x23, "3rd-level cache: 1M-bytes, 8-way set associative, sectored cache, 64-byte line size"},
    {0x25, "3rd-level cache: 2MB, 8-way set associative, sectored cache, 64-byte line size"},
    {0x29, "3rd-level cache: 4MB, 8-way set associative, sectored cache, 64-byte line size"},
    {0x2C, "1st-level data cache: 32K-bytes, 8-way set associative, 64-byte line size"},
    {0x30, "1st-level instruction cache: 32K-bytes, 8-way set associative, 64-byte line size"},
    {0x39, "2nd-level cache: 128K-bytes, 4-way set associative, sectored cache, 64-byte line size"},
    {0x3B, "2nd-level cache: 128KB, 2-way set associative, sectored cache, 64-byte line size"},
    {0x3C, "2nd-level cache: 256K-bytes, 4-way set associative, sectored cache, 64-byte line size"},
    {0x40,
     "No 2nd-level cache or, if processor contains a valid 2nd-level cache, no3rd-level cache"},
    {0x41, "2nd-level cache: 128K-bytes, 4-way set associative, 32 byte line size"},
    {0x42, "2nd-level cache: 256K-bytes, 4-way set associative, 32 byte line size"},
    {0x43, "2nd-level cache: 512K-bytes, 4-way set associative, 32 byte line size"},
    {0x44, "2nd-level cache: 1M-bytes, 4-way set associative, 32 byte line size"},
    {0x45, "2nd-level cache: 2M-bytes, 4-way set associative, 32 byte line size"},
    {0x50, "Instruction TLB: 4K, 2M or 4M pages, fully associative, 64 entries"},
    {0x51, "Instruction TLB: 4K, 2M or 4M pages, fully associative, 128 entries"},
    {0x52, "Instruction TLB: 4K, 2M or 4M pages, fully associative, 256 entries"},
    {0x5B, "Data TLB: 4K or 4M pages, fully associative, 64 entries"},
    {0x5C, "Data TLB: 4K or 4M pages, fully associative, 128 entries"},
    {0x5D, "Data TLB: 4K or 4M pages, fully associative, 256 entries"},
    {0x60, "1st-level data cache: 16-KB, 8-way set associative, sectored cache, 64-byte line size"},
    {0x66,
     "1st-level data cache: 8K-bytes, 4-way set associative, sectored cache, 64-byte line size"},
    {0x67,
     "1st-level data cache: 16K-bytes, 4-way set associative, sectored cache, 64-byte line size"},
    {0x68,
     "1st-level data cache: 32K-bytes, 4 way set associative, sectored cache, 64-byte line size"},
    {0x70, "Trace cache: 12K-uops, 8-way set associative"},
    {0x71, "Trace cache: 16K-uops, 8-way set associative"},
    {0x72, "Trace cache: 32K-uops, 8-way set associative"},
    {0x78, "2nd-level cache: 1M-bytes, 4-way set associative, 64-byte line size"},
    {0x79, "2nd-level cache: 128K-bytes, 8-way set associative, sectored cache, 64-byte line size"},
    {0x7A, "2nd-level cache: 256K-bytes, 8-way set associative, sectored cache, 64-byte line size"},
    {0x7B, "2nd-level cache: 512K-bytes, 8-way set associative, sectored cache, 64-byte line size"},
    {0x7C, "2nd-level cache: 1M-bytes, 8-way set associative, sectored cache, 64-byte line size"},
    {0x7D, "2nd-level cache: 2M-bytes, 8-way set associative, 64-byte line size"},
    {0x7F, "2nd-level cache: 512K-bytes, 2-way set associative, 64 byte line size"},
    {0x82, "2nd-level cache: 256K-bytes, 8-way set associative, 32 byte line size"},
    {0x83, "2nd-level cache: 512K-bytes, 8-way set associative, 32 byte line size"},
    {0x84, "2nd-level cache: 1M-bytes, 8-way set associative, 32 byte line size"},
    {0x85, "2nd-level cache: 2M-bytes, 8-way set associative, 32 byte line size"},
    {0x86, "2nd-level cache: 512K-bytes, 4-way set associative, 64 byte line size"},
    {0x87, "2nd-level cache: 1M-bytes, 8-way set associative, 64 byte line size"},
    {0xB0, "Instruction TLB: 4K-byte Pages, 4-way set associative, 128 entries"},
    {0xB3, "Data TLB: 4K-byte Pages, 4-way set associative, 128 entries"},
    {0xF0, "64-byte Prefetching"},
    {0xF1, "128-byte Prefetching"},
};
static_assert(std::size(kDescriptorRows) == 54);

constexpr const char kUnsupported[] = "Unsupported";

// One text per byte value, so a lookup is a single index.
constexpr std::array<const char*, 256> kDescriptorTexts = [] {
    std::array<const char*, 256> texts{};
    texts.fill(kUnsupported);
    for (const DescriptorRow& row : kDescriptorRows) texts[row.descriptor] = row.text;
    return texts;
}();

}  // namespace

const char* CacheDescriptorText(uint32_t descriptor) {
    return descriptor < kDescriptorTexts.size() ? kDescriptorTexts[descriptor] : kUnsupported;
}

void DescribeCacheDescriptor(std::string& text, uint32_t value, int high, int low) {
    uint32_t descriptor = BitField(value, high, low);
    Appendf(text, "\t\tBit %d:%d\t\t0x%x\t%s\r\n", high, low, descriptor,
            CacheDescriptorText(descriptor));
}

}  // namespace kvt
