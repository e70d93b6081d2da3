// The PCI address forms and the hexadecimal parsers every layer shares.
#include "protocol/pci_address.h"

#include <gtest/gtest.h>

#include "platform/hex.h"

namespace kvt {
namespace {

TEST(PciAddress, FormsAgree) {
    const PciAddress a(0x3A, 0x1F, 3, 0x44);
    EXPECT_EQ(a.ConfigAddress(), 0x803AFB44u);
    EXPECT_EQ(PciAddress::FromConfigAddress(a.ConfigAddress()), a);
    EXPECT_EQ(a.WindowOffset(), 0x3AFB044u);
    EXPECT_EQ(PciAddress::FromWindowOffset(a.WindowOffset()), a);
    EXPECT_EQ(PciAddress::FromDevFn(0x3A, a.devFn(), 0x44), a);
    // An extended register keeps its offset in the window form; mechanism #1 carries its low byte
    // only and never spills into the function bits.
    EXPECT_EQ(a.At(0x104).ConfigAddress(), 0x803AFB04u);
    EXPECT_EQ(a.At(0x104).WindowOffset(), 0x3AFB104u);
    EXPECT_EQ(PciAddress(0, 31, 7).At(0xFFC).SysfsName(), "0000:00:1f.7");
    EXPECT_EQ(PciAddress(2, 3, 4, 0, 0x10).FunctionText(), "0010:02:03.4");
    EXPECT_EQ(PciAddress(2, 3, 4).FunctionText(true), "02:03.4");
}

TEST(PciAddress, ParsesOnlyWellFormedText) {
    EXPECT_EQ(ParsePciFunction("00:1f.3"), PciAddress(0, 0x1F, 3));
    EXPECT_EQ(ParsePciFunction("a:B.0"), PciAddress(0xA, 0xB, 0));
    EXPECT_EQ(ParsePciFunction("1:02:03.4"), PciAddress(2, 3, 4, 0, 1));
    EXPECT_EQ(ParsePciFunction("ffff:ff:1f.7"), PciAddress(0xFF, 0x1F, 7, 0, 0xFFFF));
    for (const char* bad :
         {"", "00:1f", "00.1f.3", "00:20.0", "00:1f.8", "100:00.0", "00:001.0", "00:1f.03",
          "0x0:1f.3", "00:1f.3 ", "1:2:3:4.0", "10000:00:00.0", "00:-1.0", ":1f.3"})
        EXPECT_FALSE(ParsePciFunction(bad)) << bad;
    EXPECT_FALSE(ParsePciFunction("1:02:03.4", false));
}

TEST(PciWindow, AddressesFromItsFirstBus) {
    const PciWindow w = PciWindow::FromBusZeroBase(0xE0000000u, 0x10, 0x1F);
    EXPECT_EQ(w.firstBusAddress, 0xE1000000u);
    EXPECT_EQ(w.BusZeroBase(), 0xE0000000u);
    EXPECT_EQ(w.End(), 0xE2000000u);
    EXPECT_EQ(w.AddressOf(PciAddress(0x11, 2, 1, 0x100)), 0xE1111100u);
    EXPECT_TRUE(w.Covers(PciAddress(0x1F, 0, 0)));
    EXPECT_FALSE(w.Covers(PciAddress(0x0F, 0, 0)));
    EXPECT_FALSE(w.Covers(PciAddress(0x10, 0, 0, 0, 1)));  // another segment
}

TEST(Hex, WholeTextWithinBound) {
    uint64_t v = 7;
    EXPECT_TRUE(ParseHex("0xfF", 0xFF, v));
    EXPECT_EQ(v, 0xFFu);
    EXPECT_TRUE(ParseHex("000000000000000000001", 1, v));  // leading zeros are not digits of size
    EXPECT_EQ(v, 1u);
    EXPECT_TRUE(ParseHex("FFFFFFFFFFFFFFFF", UINT64_MAX, v));
    v = 7;
    for (const char* bad : {"", "0x", "100", "1g", " 1", "-1", "+1"})
        EXPECT_FALSE(ParseHex(bad, 0xFF, v)) << bad;
    EXPECT_FALSE(ParseHex("10000000000000000", UINT64_MAX, v));  // 2^64 does not wrap to 0
    EXPECT_FALSE(ParseHex("0x10", 0xFF, v, HexPrefix::Refused));
    EXPECT_EQ(v, 7u);  // untouched by every refusal
    EXPECT_EQ(LeadingHexValue("1Bh"), 0x1Bu);
    EXPECT_EQ(LeadingHexValue("x1"), 0u);

    std::vector<uint8_t> bytes;
    std::string problem;
    EXPECT_TRUE(ParseHexBytes("55 aA\n40", bytes, problem));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x55, 0xAA, 0x40}));
    EXPECT_FALSE(ParseHexBytes("5 5", bytes, problem));
    EXPECT_FALSE(ParseHexBytes("55g0", bytes, problem));
    EXPECT_EQ(problem, "'g' is not a hexadecimal digit");
}

}  // namespace
}  // namespace kvt
