// BAR decoding from configuration bytes, and the PCI tool's BARs with the daemon's sizes.
#include "tools/pci/pci_bars.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kvt {
namespace {

std::vector<uint8_t> Header(uint8_t headerType, std::initializer_list<uint32_t> bars) {
    std::vector<uint8_t> config(0x100, 0);
    const uint32_t id = 0x56781234;
    std::memcpy(config.data(), &id, 4);
    config[0x0E] = headerType;
    uint32_t at = 0x10;
    for (uint32_t bar : bars) {
        std::memcpy(config.data() + at, &bar, 4);
        at += 4;
    }
    return config;
}

TEST(PciBarsTest, DecodesKindsWidthsAndUpperHalves) {
    // BAR0 64-bit prefetchable above 4 GiB, BAR2 I/O, BAR3 32-bit, BAR4 unused, BAR5 64-bit
    // with no register left for its upper half.
    auto config = Header(0x80, {0x0000000C, 0x4, 0xE001, 0xF0000000, 0, 0xFEB00004});
    PciBarSizeList sizes = {0x10000000, 0, 0x20, UINT64_MAX, 0, 0x4000};
    std::vector<PciBar> bars = DecodePciBars(config.data(), 0x100, &sizes);
    ASSERT_EQ(bars.size(), 4u);
    EXPECT_EQ(bars[0].index, 0u);
    EXPECT_EQ(bars[0].width, 64u);
    EXPECT_TRUE(bars[0].prefetchable);
    EXPECT_EQ(bars[0].address, 0x400000000ull);
    EXPECT_EQ(bars[0].size, 0x10000000u);
    EXPECT_TRUE(bars[0].AboveFourGiB());
    EXPECT_TRUE(bars[1].io);
    EXPECT_EQ(bars[1].address, 0xE000u);
    EXPECT_EQ(bars[2].offset, 0x1Cu);
    EXPECT_FALSE(bars[2].size.has_value());  // the daemon cannot tell: never invented
    EXPECT_FALSE(bars[2].AboveFourGiB());
    EXPECT_EQ(bars[3].index, 5u);
    EXPECT_EQ(bars[3].address, 0xFEB00000u);
    EXPECT_EQ(PciBarsText(bars),
              "BAR0 (10h): memory, 64-bit, prefetchable at 0000000400000000, 256 MiB\n"
              "BAR2 (18h): I/O at 0000E000, 32 bytes\n"
              "BAR3 (1Ch): memory, 32-bit at F0000000, size unknown\n"
              "BAR5 (24h): memory, 64-bit at 00000000FEB00000, 16 KiB\n");
}

TEST(PciBarsTest, HeaderTypesAbsentFunctionsAndSizedEmptyRegisters) {
    // A bridge has two BARs: 18h onwards are bus numbers, not BARs.
    auto bridge = Header(0x01, {0, 0, 0x00010100, 0xF000});
    EXPECT_TRUE(DecodePciBars(bridge.data(), 0x100, nullptr).empty());
    // A BAR the kernel sized but that holds no address yet is listed.
    PciBarSizeList sizes = {0, 0x1000, 0, 0, 0, 0};
    std::vector<PciBar> bars = DecodePciBars(bridge.data(), 0x100, &sizes);
    ASSERT_EQ(bars.size(), 1u);
    EXPECT_EQ(bars[0].index, 1u);
    EXPECT_EQ(PciBarSizeText(bars[0].size), "4 KiB");
    // CardBus: one BAR.
    auto cardbus = Header(0x02, {0xFA001000, 0x2001});
    EXPECT_EQ(DecodePciBars(cardbus.data(), 0x100, nullptr).size(), 1u);
    std::vector<uint8_t> absent(0x100, 0xFF);
    EXPECT_TRUE(DecodePciBars(absent.data(), 0x100, nullptr).empty());
    EXPECT_EQ(PciBarSizeText(0x3000), "3000h bytes");
}

}  // namespace
}  // namespace kvt
