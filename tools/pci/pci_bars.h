// The base address registers of a PCI function: what each decodes (memory or I/O, 32 or 64
// bits, prefetchable, the base it holds) from the configuration bytes, with the sizes the
// daemon reads from the kernel (or a board's size bits).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvt {

struct PciBar {
    uint32_t index = 0;   // 0-5; a 64-bit BAR takes index + 1 as its upper half
    uint32_t offset = 0;  // 10h + 4 × index
    bool io = false;
    uint32_t width = 32;  // 32 or 64 (I/O BARs 32)
    bool prefetchable = false;
    uint64_t address = 0;          // the base the register holds, flag bits cleared
    std::optional<uint64_t> size;  // none when the daemon cannot tell

    // Whether the BAR reaches past the first 4 GiB (its base, or its end when the size is
    // known).
    bool AboveFourGiB() const;
};

// The sizes by index as the daemon answers them: 0 no BAR, UINT64_MAX unknown.
using PciBarSizeList = std::array<uint64_t, 6>;

// The BARs of the function whose first `length` configuration bytes are `config`: six for a
// type 0 header, two for a bridge, one for a CardBus bridge. A register is listed when it
// holds a value or has a size; the upper half of a 64-bit BAR is part of it. Without sizes
// (or for an index sized "unknown") `size` stays empty. An absent function (vendor FFFFh) has
// none.
std::vector<PciBar> DecodePciBars(const uint8_t* config, uint32_t length,
                                  const PciBarSizeList* sizes);

// "memory, 64-bit, prefetchable" / "I/O".
std::string PciBarKindText(const PciBar& bar);
// A size as "4 KiB", "256 MiB", "32 bytes" (a power of two), else "%llXh bytes"; "unknown".
std::string PciBarSizeText(const std::optional<uint64_t>& size);
// One line per BAR: "BAR0 (10h): memory, 64-bit, prefetchable at 00000004C0000000, 16 MiB",
// each after `indent`.
std::string PciBarsText(const std::vector<PciBar>& bars, const std::string& indent = "");

}  // namespace kvt
