#include "tools/pci/pci_bars.h"

#include <cstring>

#include "platform/format.h"

namespace kvt {

namespace {

uint32_t Dword(const uint8_t* config, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, config + offset, 4);
    return value;
}

}  // namespace

bool PciBar::AboveFourGiB() const {
    constexpr uint64_t kFourGiB = 0x100000000ull;
    if (address >= kFourGiB) return true;
    return size && *size > kFourGiB - address;
}

std::vector<PciBar> DecodePciBars(const uint8_t* config, uint32_t length,
                                  const PciBarSizeList* sizes) {
    std::vector<PciBar> bars;
    if (length < 0x40 || Dword(config, 0) == 0xFFFFFFFFu) return bars;
    const uint32_t headerType = config[0x0E] & 0x7F;
    const uint32_t count = headerType == 0 ? 6 : headerType == 1 ? 2 : headerType == 2 ? 1 : 0;
    for (uint32_t i = 0; i < count; ++i) {
        PciBar bar;
        bar.index = i;
        bar.offset = 0x10 + 4 * i;
        const uint32_t low = Dword(config, bar.offset);
        const uint64_t size = sizes ? (*sizes)[i] : UINT64_MAX;
        bar.io = (low & 1) != 0;
        if (bar.io) {
            bar.address = low & 0xFFFFFFFCu;
        } else {
            bar.prefetchable = (low & 8) != 0;
            bar.address = low & 0xFFFFFFF0u;
            // Type 10b: the next register holds the upper half (a last register has none).
            if ((low & 6) == 4) {
                bar.width = 64;
                if (i + 1 < count) bar.address |= uint64_t(Dword(config, bar.offset + 4)) << 32;
            }
        }
        const bool holdsValue = low != 0 || bar.address != 0;
        if (holdsValue || (size != 0 && size != UINT64_MAX)) {
            if (size != 0 && size != UINT64_MAX) bar.size = size;
            bars.push_back(bar);
        }
        if (bar.width == 64) ++i;
    }
    return bars;
}

std::string PciBarKindText(const PciBar& bar) {
    if (bar.io) return "I/O";
    return Format("memory, %u-bit%s", bar.width, bar.prefetchable ? ", prefetchable" : "");
}

std::string PciBarSizeText(const std::optional<uint64_t>& size) {
    if (!size) return "size unknown";
    const uint64_t s = *size;
    if ((s & (s - 1)) != 0) return Format("%llXh bytes", static_cast<unsigned long long>(s));
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    uint64_t n = s;
    while (n >= 1024 && unit < 6) {
        n /= 1024;
        ++unit;
    }
    return Format("%llu %s", static_cast<unsigned long long>(n), kUnits[unit]);
}

std::string PciBarsText(const std::vector<PciBar>& bars, const std::string& indent) {
    std::string text;
    for (const PciBar& bar : bars) {
        text += indent;
        text +=
            Format("BAR%u (%02Xh): %s at %0*llX, %s\n", bar.index, bar.offset,
                   PciBarKindText(bar).c_str(), bar.width == 64 ? 16 : 8,
                   static_cast<unsigned long long>(bar.address), PciBarSizeText(bar.size).c_str());
    }
    return text;
}

}  // namespace kvt
