// The shipped board profiles: each loads and describes a consistent machine, with the
// SMBus host controllers the program's detection rules expect to find.
#include <cstring>
#include <map>

#include "tests/board/board_test_util.h"

namespace kvt::test {
namespace {

struct Expected {
    const char* name;
    const char* vendor;
    uint32_t processors;
    // (vendor word, I/O base) of each SMBus host controller, in detection order.
    std::vector<std::pair<std::string, uint32_t>> smbus;
};

const Expected kBoards[] = {
    {"intel-desktop", "GenuineIntel", 4, {{"INTEL", 0x0400}}},
    {"ddr3-desktop", "GenuineIntel", 4, {{"INTEL", 0x0400}}},
    {"ddr4-desktop", "GenuineIntel", 4, {{"INTEL", 0x0400}}},
    {"ddr5-desktop", "GenuineIntel", 4, {{"INTEL", 0x0400}}},
    {"nvidia-amd", "AuthenticAMD", 2, {{"NVIDIA", 0x4C00}, {"NVIDIA", 0x4D00}}},
    {"via", "CentaurHauls", 1, {{"VIA", 0x0400}}},
    {"ati", "GenuineIntel", 1, {{"ATI", 0x0B00}}},
    {"transmeta", "GenuineTMx86", 1, {}},
};

// The SMBus controller detection rules of the SMBus tool, applied to a board's PCI list.
std::vector<std::pair<std::string, uint32_t>> DetectSmbus(driver::Backend& b) {
    std::vector<std::pair<uint8_t, uint8_t>> list;
    EXPECT_TRUE(b.ListPciFunctions(list));
    std::vector<std::pair<std::string, uint32_t>> found;
    for (auto [bus, devFn] : list) {
        uint32_t a = ConfigAddress(bus, devFn >> 3, devFn & 7);
        uint32_t ids = Config(b, a), cls = Config(b, a + 8) >> 8;
        if (cls != 0x0C0500) continue;
        if ((ids & 0xFFFF) == 0x8086) found.push_back({"INTEL", Config(b, a + 0x20) & 0xFFFE});
        if ((ids & 0xFFFF) == 0x1002) found.push_back({"ATI", Config(b, a + 0x10) & 0xFFFE});
        if ((ids & 0xFFFF) == 0x10DE) {
            uint32_t r = (Config(b, a + 0x50) & 0xFFFE) ? 0x50 : 0x20;
            found.push_back({"NVIDIA", Config(b, a + r) & 0xFFFE});
            found.push_back({"NVIDIA", Config(b, a + r + 4) & 0xFFFE});
        }
    }
    static const std::map<uint32_t, uint32_t> kVia = {
        {0x3050, 0x90}, {0x3051, 0x90}, {0x3057, 0x90}, {0x3074, 0xD0}, {0x3109, 0xD0},
        {0x3147, 0xD0}, {0x3177, 0xD0}, {0x3227, 0xD0}, {0x8235, 0xD0}};
    for (auto [bus, devFn] : list) {
        uint32_t a = ConfigAddress(bus, devFn >> 3, devFn & 7);
        uint32_t ids = Config(b, a);
        auto it = kVia.find(ids >> 16);
        if ((ids & 0xFFFF) == 0x1106 && it != kVia.end())
            found.push_back({"VIA", Config(b, a + it->second) & 0xFFFE});
    }
    return found;
}

bool IsBcd(uint8_t v, uint8_t max) {
    return (v & 0x0F) <= 9 && (v >> 4) <= 9 && v <= max;
}

TEST(ShippedBoards, EachDescribesAConsistentMachine) {
    for (const Expected& e : kBoards) {
        SCOPED_TRACE(e.name);
        auto b = LoadShipped(e.name);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->Name(), std::string("board ") + e.name);
        EXPECT_EQ(b->ProcessorCount(), e.processors);
        PlatformFacts info;
        ASSERT_TRUE(b->PlatformInfo(info));
        EXPECT_EQ(info.board, e.name);

        for (uint32_t p = 0; p < e.processors; ++p) {
            driver::CpuidResult r;
            ASSERT_TRUE(b->Cpuid(p, 0, 0, r));
            char vendor[13] = {};
            std::memcpy(vendor, &r.ebx, 4);
            std::memcpy(vendor + 4, &r.edx, 4);
            std::memcpy(vendor + 8, &r.ecx, 4);
            EXPECT_STREQ(vendor, e.vendor);
            // Every leaf up to the highest standard and extended ones is declared with
            // the family signature in leaf 1, and the TSC counts.
            ASSERT_TRUE(b->Cpuid(p, 1, 0, r));
            EXPECT_NE(r.eax, 0u);
            uint64_t tsc = 0, msr = 0;
            EXPECT_TRUE(b->ReadTsc(p, tsc));
            EXPECT_TRUE(b->ReadMsr(p, 0x10, msr));
            EXPECT_GE(msr, tsc);
            EXPECT_FALSE(b->ReadMsr(p, 0xC0000103, msr));  // no board here has RDTSCP
        }

        // RTC time and date in BCD, 24-hour mode, the CMOS checksum over 10h-2Dh.
        uint8_t cmos[128];
        for (uint32_t i = 0; i < 128; ++i) {
            uint32_t v = 0;
            ASSERT_TRUE(b->WritePort(0x70, 1, i));
            ASSERT_TRUE(b->ReadPort(0x71, 1, v));
            cmos[i] = uint8_t(v);
        }
        EXPECT_TRUE(IsBcd(cmos[0], 0x59) && IsBcd(cmos[2], 0x59) && IsBcd(cmos[4], 0x23));
        EXPECT_TRUE(IsBcd(cmos[6], 7) && IsBcd(cmos[7], 0x31) && IsBcd(cmos[8], 0x12));
        EXPECT_TRUE(IsBcd(cmos[9], 0x99));
        EXPECT_EQ(cmos[0x0B] & 0x06, 0x02);  // 24-hour, BCD
        uint32_t sum = 0;
        for (int i = 0x10; i < 0x2E; ++i) sum += cmos[i];
        EXPECT_EQ(sum & 0xFFFF, uint32_t(cmos[0x2E] << 8 | cmos[0x2F]));

        // BIOS area, reset vector and the BIOS data area are readable.
        std::vector<uint8_t> bios(0x10000);
        ASSERT_TRUE(b->ReadPhysical(0xF0000, bios.data(), 0x10000));
        EXPECT_EQ(bios[0xFFF0], 0xEA);
        uint8_t bda[0x100];
        ASSERT_TRUE(b->ReadPhysical(0x400, bda, sizeof bda));
        EXPECT_EQ(bda[0] | bda[1] << 8, 0x3F8);

        // Every function: a valid header, a capability list that ends, and a 4 KiB space
        // where the list names PCI Express.
        std::vector<std::pair<uint8_t, uint8_t>> list;
        ASSERT_TRUE(b->ListPciFunctions(list));
        EXPECT_FALSE(list.empty());
        uint32_t window = 0;
        uint8_t first = 0, last = 0;
        bool hasWindow = b->PcieWindow(window, first, last);
        for (auto [bus, devFn] : list) {
            uint32_t a = ConfigAddress(bus, devFn >> 3, devFn & 7);
            EXPECT_LE((Config(*b, a + 0x0C) >> 16) & 0x7F, 1u);
            auto caps = CapabilityIds(*b, a);
            EXPECT_LT(caps.size(), 48u);
            bool express = std::find(caps.begin(), caps.end(), 0x10u) != caps.end();
            if (express && hasWindow && bus <= last) {
                uint32_t ext = 0;
                uint32_t at = window + (uint32_t(bus) << 20) + (uint32_t(devFn) << 12) + 0x100;
                EXPECT_TRUE(b->ReadPhysical(at, reinterpret_cast<uint8_t*>(&ext), 4));
                EXPECT_NE(ext, 0xFFFFFFFFu);
            }
        }
        EXPECT_EQ(DetectSmbus(*b), e.smbus);
    }
}

TEST(ShippedBoards, TransmetaBoardDeclaresLegacyVersionAndTransmetaLeaves) {
    auto b = LoadShipped("transmeta");
    ASSERT_TRUE(b);
    PlatformFacts info;
    ASSERT_TRUE(b->PlatformInfo(info));
    ASSERT_TRUE(info.hasVersion);
    EXPECT_EQ(std::vector<uint32_t>({info.major, info.minor, info.build, info.platform}),
              std::vector<uint32_t>({4, 10, 2222, 1}));
    EXPECT_EQ(info.csd, " A ");
    driver::CpuidResult r;
    ASSERT_TRUE(b->Cpuid(0, 0x80860000, 0, r));
    EXPECT_EQ(r.eax, 0x80860007u);
    // The information string of functions 80860003h-80860006h.
    std::string text;
    for (uint32_t f = 0x80860003; f <= 0x80860006; ++f) {
        ASSERT_TRUE(b->Cpuid(0, f, 0, r));
        for (uint32_t reg : {r.eax, r.ebx, r.ecx, r.edx})
            for (int i = 0; i < 4; ++i)
                if (char c = char(reg >> (8 * i))) text += c;
    }
    EXPECT_EQ(text, "20040723 20:41 official release 6.0.4#6");
    // No local APIC, no EFER: both refuse access.
    uint64_t v;
    EXPECT_FALSE(b->ReadMsr(0, 0x1B, v));
    EXPECT_FALSE(b->ReadMsr(0, 0xC0000080, v));
    // The other boards run a current system.
    auto intel = LoadShipped("intel-desktop");
    ASSERT_TRUE(intel);
    ASSERT_TRUE(intel->PlatformInfo(info));
    EXPECT_FALSE(info.hasVersion);
}

}  // namespace
}  // namespace kvt::test
