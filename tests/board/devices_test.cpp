// Device models of a simulated board, driven through the Backend interface only.
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/board/board_test_util.h"

namespace kvt::test {
namespace {

using driver::Backend;

uint32_t In(Backend& b, uint16_t port, uint32_t width) {
    uint32_t v = 0x5A5A5A5A;
    EXPECT_TRUE(b.ReadPort(port, width, v));
    return v;
}

void Out(Backend& b, uint16_t port, uint32_t width, uint32_t value) {
    EXPECT_TRUE(b.WritePort(port, width, value));
}

TEST(BoardPorts, UnclaimedPortsReadAllOnesAndIgnoreWrites) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    Out(*b, 0x80, 1, 0x12);
    Out(*b, 0x3000, 4, 0);
    EXPECT_EQ(In(*b, 0x80, 1), 0xFFu);
    EXPECT_EQ(In(*b, 0x3000, 2), 0xFFFFu);
    EXPECT_EQ(In(*b, 0x3000, 4), 0xFFFFFFFFu);
    // 74h/75h is not decoded on this board; a dword at FFFEh runs off the end of the space.
    EXPECT_EQ(In(*b, 0x74, 2), 0xFFFFu);
    EXPECT_EQ(In(*b, 0xFFFE, 4), 0xFFFFFFFFu);
    // An access straddling devices and unclaimed ports is split per byte: 6Fh is unclaimed,
    // then the RTC index and data ports, then the upper bank's index port.
    Out(*b, 0x70, 1, 0x09);
    Out(*b, 0x72, 1, 0x11);
    EXPECT_EQ(In(*b, 0x6F, 4), 0xFFu | 0x09u << 8 | 0x26u << 16 | 0x11u << 24);
}

TEST(BoardCmos, NmiBitIsKeptAndIndexesAliasInEveryBank) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    Out(*b, 0x70, 1, 0x0B);
    EXPECT_EQ(In(*b, 0x71, 1), 0x02u);  // RTC register B of the profile
    Out(*b, 0x70, 1, 0x8B);             // same register, NMI masked
    EXPECT_EQ(In(*b, 0x71, 1), 0x02u);
    EXPECT_EQ(In(*b, 0x70, 1), 0x8Bu);  // the index port keeps the NMI bit

    Out(*b, 0x70, 1, 0xC0);  // write through the alias of 40h
    Out(*b, 0x71, 1, 0xA5);
    Out(*b, 0x70, 1, 0x40);
    EXPECT_EQ(In(*b, 0x71, 1), 0xA5u);

    // The upper bank is a separate 128 bytes with the same aliasing.
    Out(*b, 0x72, 1, 0x00);
    EXPECT_EQ(In(*b, 0x73, 1), 0x5Au);
    Out(*b, 0x72, 1, 0xC0);
    Out(*b, 0x73, 1, 0x3C);
    Out(*b, 0x72, 1, 0x40);
    EXPECT_EQ(In(*b, 0x73, 1), 0x3Cu);
    Out(*b, 0x70, 1, 0x40);
    EXPECT_EQ(In(*b, 0x71, 1), 0xA5u);
}

TEST(BoardPci, MechanismOneMatchesConfigRequests) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    std::vector<std::pair<uint8_t, uint8_t>> list;
    ASSERT_TRUE(b->ListPciFunctions(list));
    ASSERT_FALSE(list.empty());
    for (auto [bus, devFn] : list) {
        uint32_t base = ConfigAddress(bus, devFn >> 3, devFn & 7);
        for (uint32_t reg = 0; reg < 0x100; reg += 4) {
            uint32_t direct = Config(*b, base + reg);
            Out(*b, 0xCF8, 4, base + reg);
            ASSERT_EQ(In(*b, 0xCFC, 4), direct) << std::hex << base + reg;
            ASSERT_EQ(In(*b, 0xCFE, 2), direct >> 16);
            ASSERT_EQ(In(*b, 0xCFD, 1), (direct >> 8) & 0xFF);
        }
    }
    // The address register reads back; without bit 31 the data port is not a config cycle.
    Out(*b, 0xCF8, 4, ConfigAddress(0, 0x1F, 3, 0x3C));
    EXPECT_EQ(In(*b, 0xCF8, 4), ConfigAddress(0, 0x1F, 3, 0x3C));
    Out(*b, 0xCFC, 1, 0x07);  // interrupt line, written through the data port
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1F, 3, 0x3C)) & 0xFF, 0x07u);
    Out(*b, 0xCF8, 4, ConfigAddress(0, 0x1F, 3) & 0x7FFFFFFF);
    EXPECT_EQ(In(*b, 0xCFC, 4), 0xFFFFFFFFu);
    // Absent functions read all ones both ways; a byte access to CF8h is no address write.
    EXPECT_EQ(Config(*b, ConfigAddress(0, 5, 0)), 0xFFFFFFFFu);
    EXPECT_EQ(Config(*b, ConfigAddress(0x80, 0, 0, 0x0C)), 0xFFFFFFFFu);
    Out(*b, 0xCF8, 4, ConfigAddress(0, 5, 0));
    EXPECT_EQ(In(*b, 0xCFC, 4), 0xFFFFFFFFu);
    Out(*b, 0xCF8, 1, 0x00);
    EXPECT_EQ(In(*b, 0xCF8, 4), ConfigAddress(0, 5, 0));
}

TEST(BoardPci, ListIsAscendingAndHeadersAreConsistent) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    std::vector<std::pair<uint8_t, uint8_t>> list;
    ASSERT_TRUE(b->ListPciFunctions(list));
    for (size_t i = 1; i < list.size(); ++i)
        EXPECT_LT(list[i - 1].first << 8 | list[i - 1].second, list[i].first << 8 | list[i].second);
    // Multi-function devices declare it in function 0; single-function ones do not.
    EXPECT_TRUE(Config(*b, ConfigAddress(0, 0x1C, 0, 0x0C)) & 0x00800000);
    EXPECT_TRUE(Config(*b, ConfigAddress(0, 0x1F, 0, 0x0C)) & 0x00800000);
    EXPECT_FALSE(Config(*b, ConfigAddress(0, 0x00, 0, 0x0C)) & 0x00800000);
    EXPECT_EQ((Config(*b, ConfigAddress(0, 0x1C, 0, 0x0C)) >> 16) & 0x7F, 1u);  // bridge header
    // IDs are read-only.
    uint32_t ids = Config(*b, ConfigAddress(0, 0x1F, 3));
    EXPECT_EQ(ids, 0x29308086u);
    EXPECT_TRUE(b->WritePciConfig(ConfigAddress(0, 0x1F, 3), 0x12345678));
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1F, 3)), ids);
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1F, 3, 0x08)) >> 8, 0x0C0500u);
}

TEST(BoardPci, BarSizingCommandAndStatusBits) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    const uint32_t smbus = ConfigAddress(0, 0x1F, 3);
    EXPECT_EQ(Config(*b, smbus + 0x20), 0x0401u);  // SMBus I/O base, I/O space indicator set
    EXPECT_TRUE(b->WritePciConfig(smbus + 0x20, 0xFFFFFFFF));
    EXPECT_EQ(Config(*b, smbus + 0x20), 0x0000FFE1u);  // 32 ports, 16 decoded address bits
    EXPECT_TRUE(b->WritePciConfig(smbus + 0x20, 0x1F01));
    EXPECT_EQ(Config(*b, smbus + 0x20), 0x1F01u);

    const uint32_t audio = ConfigAddress(0, 0x1B, 0);  // 64-bit BAR of 16 KiB
    EXPECT_TRUE(b->WritePciConfig(audio + 0x10, 0xFFFFFFFF));
    EXPECT_TRUE(b->WritePciConfig(audio + 0x14, 0xFFFFFFFF));
    EXPECT_EQ(Config(*b, audio + 0x10), 0xFFFFC004u);
    EXPECT_EQ(Config(*b, audio + 0x14), 0xFFFFFFFFu);
    EXPECT_TRUE(b->WritePciConfig(ConfigAddress(0, 0x1D, 0, 0x14), 0xFFFFFFFF));  // no BAR1
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1D, 0, 0x14)), 0u);

    // Command bits are writable; status error bits clear when written with 1.
    const uint32_t nic = ConfigAddress(2, 0, 0);
    EXPECT_TRUE(b->WritePciConfig(nic + 4, 0xFFFF0000));
    EXPECT_EQ(Config(*b, nic + 4), 0x00100000u);  // command cleared, capability bit stays
    EXPECT_TRUE(b->WritePciConfig(nic + 4, 0x0007));
    EXPECT_EQ(Config(*b, nic + 4) & 0xFFFF, 0x0007u);
}

TEST(BoardPci, CapabilityWalkFindsPciExpressOnlyWhereDeclared) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    auto rootPort = CapabilityIds(*b, ConfigAddress(0, 0x1C, 0));
    EXPECT_EQ(rootPort, (std::vector<uint32_t>{0x10, 0x05, 0x0D, 0x01}));
    auto audio = CapabilityIds(*b, ConfigAddress(0, 0x1B, 0));
    EXPECT_EQ(audio, (std::vector<uint32_t>{0x01, 0x05, 0x10}));
    // The host bridge has a 4 KiB space and a capability list without a PCI Express entry.
    auto host = CapabilityIds(*b, ConfigAddress(0, 0, 0));
    EXPECT_EQ(host, (std::vector<uint32_t>{0x09}));
    // The SMBus function has no capability list at all.
    EXPECT_TRUE(CapabilityIds(*b, ConfigAddress(0, 0x1F, 3)).empty());
    // The generated PCI Express capability names the port type.
    uint32_t pcie = Config(*b, ConfigAddress(0, 0x1C, 0, 0x40));
    EXPECT_EQ((pcie >> 20) & 0xF, 4u);  // root port
    EXPECT_EQ((pcie >> 16) & 0xF, 2u);  // capability version 2
}

TEST(BoardPci, EcamWindowMatchesConfigSpace) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    const uint32_t base = 0xE0000000;
    std::vector<std::pair<uint8_t, uint8_t>> list;
    ASSERT_TRUE(b->ListPciFunctions(list));
    std::vector<uint8_t> space(4096);
    for (auto [bus, devFn] : list) {
        uint32_t at = base + (uint32_t(bus) << 20) + (uint32_t(devFn) << 12);
        ASSERT_TRUE(b->ReadPhysical(at, space.data(), 4096));
        for (uint32_t reg = 0; reg < 0x100; reg += 4) {
            uint32_t v;
            std::memcpy(&v, &space[reg], 4);
            ASSERT_EQ(v, Config(*b, ConfigAddress(bus, devFn >> 3, devFn & 7, reg)));
        }
    }
    // Extended capabilities of the Ethernet function: AER at 100h, then VC, then serial.
    uint32_t nic = base + (2u << 20);
    std::vector<uint32_t> ext;
    for (uint32_t p = 0x100, steps = 0; p && steps < 16; ++steps) {
        uint32_t header;
        ASSERT_TRUE(b->ReadPhysical(nic + p, reinterpret_cast<uint8_t*>(&header), 4));
        ext.push_back(header & 0xFFFF);
        p = header >> 20;
    }
    EXPECT_EQ(ext, (std::vector<uint32_t>{0x0001, 0x0002, 0x0003}));
    // A write through the window is a configuration write.
    uint8_t line = 0x0E;
    ASSERT_TRUE(b->WritePhysical(nic + 0x3C, &line, 1));
    EXPECT_EQ(Config(*b, ConfigAddress(2, 0, 0, 0x3C)) & 0xFF, 0x0Eu);
    // An absent function reads all ones through the window.
    ASSERT_TRUE(b->ReadPhysical(base + (5u << 15), space.data(), 4096));
    for (uint8_t v : space) ASSERT_EQ(v, 0xFF);
}

TEST(BoardMemory, RamRoundTripRomAndHoles) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    std::vector<uint8_t> data(10000), back(10000, 0);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7 + 3);
    ASSERT_TRUE(b->WritePhysical(0x12345678, data.data(), uint32_t(data.size())));
    ASSERT_TRUE(b->ReadPhysical(0x12345678, back.data(), uint32_t(back.size())));
    EXPECT_EQ(back, data);
    // Adjacent regions read as one range (conventional memory and the EBDA).
    ASSERT_TRUE(b->WritePhysical(0x9FBFE, data.data(), 4));
    ASSERT_TRUE(b->ReadPhysical(0x9FBFE, back.data(), 4));
    EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 4),
              std::vector<uint8_t>(data.begin(), data.begin() + 4));
    // The BIOS data area and the reset vector come from the profile.
    uint8_t bda[2] = {};
    ASSERT_TRUE(b->ReadPhysical(0x400, bda, 2));
    EXPECT_EQ(bda[0] | bda[1] << 8, 0x3F8);
    uint8_t reset[5] = {};
    ASSERT_TRUE(b->ReadPhysical(0xFFFF0, reset, 5));
    EXPECT_EQ(reset[0], 0xEA);
    // ROM takes a write and keeps its contents.
    uint8_t zero = 0;
    EXPECT_TRUE(b->WritePhysical(0xFFFF0, &zero, 1));
    ASSERT_TRUE(b->ReadPhysical(0xFFFF0, reset, 1));
    EXPECT_EQ(reset[0], 0xEA);
    // Nothing is mapped at A0000h: a read there, or one running into it, fails whole and
    // leaves the buffer alone; so does a write.
    std::vector<uint8_t> guard(64, 0xCC);
    EXPECT_FALSE(b->ReadPhysical(0xA0000, guard.data(), 16));
    EXPECT_FALSE(b->ReadPhysical(0x9FFF0, guard.data(), 64));
    EXPECT_EQ(guard, std::vector<uint8_t>(64, 0xCC));
    EXPECT_FALSE(b->WritePhysical(0x9FFF0, data.data(), 64));
    ASSERT_TRUE(b->ReadPhysical(0x9FFF0, back.data(), 16));
    EXPECT_EQ(back[0], 0);
    EXPECT_FALSE(b->ReadPhysical(0xFFFFFFF0, guard.data(), 32));  // past 4 GiB
}

TEST(BoardMemory, WrittenPagesStayWithinTheBudget) {
    driver::board::MemoryMap map;
    map.budget().limitPages = 2;
    driver::board::RamRegion ram(1ull << 30, 0, map.budget());
    ASSERT_TRUE(map.Map(0, 1ull << 30, &ram, "ram", nullptr));
    uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_TRUE(map.Write(0x1000, bytes, 8));
    EXPECT_TRUE(map.Write(0x1008, bytes, 8));   // same page: no new one
    EXPECT_FALSE(map.Write(0x2FFC, bytes, 8));  // would need two more pages: nothing written
    uint8_t back[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(map.Read(0x2FFC, back, 8));
    EXPECT_EQ(back[0], 0);
    EXPECT_TRUE(map.Write(0x5000, bytes, 8));
    EXPECT_EQ(map.budget().usedPages, 2u);
    EXPECT_FALSE(map.Write(0x9000, bytes, 1));
    ASSERT_TRUE(map.Read(0x5000, back, 8));  // reads of untouched pages allocate nothing
    ASSERT_TRUE(map.Read(0x3000000, back, 8));
    EXPECT_EQ(map.budget().usedPages, 2u);
}

TEST(BoardProcessors, MsrAccessKinds) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    uint64_t v = 0;
    EXPECT_FALSE(b->ReadMsr(0, 0xC0000103, v));  // refuses access
    EXPECT_FALSE(b->WriteMsr(0, 0xC0000103, 1));
    EXPECT_FALSE(b->ReadMsr(0, 0x12345, v));  // not present
    ASSERT_TRUE(b->ReadMsr(0, 0xFE, v));
    EXPECT_EQ(v, 0x508u);
    EXPECT_FALSE(b->WriteMsr(0, 0xFE, 0));  // read-only
    ASSERT_TRUE(b->ReadMsr(0, 0xFE, v));
    EXPECT_EQ(v, 0x508u);
    // Per processor: the bootstrap processor's APIC base has bit 8 set, the others not;
    // a write changes only the writable bits of that one processor.
    ASSERT_TRUE(b->ReadMsr(0, 0x1B, v));
    EXPECT_EQ(v, 0xFEE00900u);
    ASSERT_TRUE(b->ReadMsr(1, 0x1B, v));
    EXPECT_EQ(v, 0xFEE00800u);
    EXPECT_TRUE(b->WriteMsr(1, 0x1B, 0xFED00000));
    ASSERT_TRUE(b->ReadMsr(1, 0x1B, v));
    EXPECT_EQ(v, 0xFED00000u);
    ASSERT_TRUE(b->ReadMsr(2, 0x1B, v));
    EXPECT_EQ(v, 0xFEE00800u);
    EXPECT_FALSE(b->ReadMsr(4, 0x1B, v));  // no such processor
    // MSR 10h is the time-stamp counter; writing it sets the counter.
    EXPECT_TRUE(b->WriteMsr(3, 0x10, 1000));
    uint64_t tsc = 0;
    ASSERT_TRUE(b->ReadTsc(3, tsc));
    EXPECT_GE(tsc, 1000u);
    EXPECT_LT(tsc, 1000u + 2666700000ull * 5);  // within a few seconds of the write
    ASSERT_TRUE(b->ReadMsr(3, 0x10, v));
    EXPECT_GE(v, tsc);
}

TEST(BoardProcessors, CpuidTablesPerProcessorAndSubLeaf) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->ProcessorCount(), 4u);
    driver::CpuidResult r;
    ASSERT_TRUE(b->Cpuid(0, 0, 0, r));
    char vendor[13] = {};
    std::memcpy(vendor, &r.ebx, 4);
    std::memcpy(vendor + 4, &r.edx, 4);
    std::memcpy(vendor + 8, &r.ecx, 4);
    EXPECT_STREQ(vendor, "GenuineIntel");
    // APIC IDs 0, 3, 2, 1 in leaf 1 EBX; the rest of the leaf is shared.
    const uint32_t apic[4] = {0, 3, 2, 1};
    for (uint32_t p = 0; p < 4; ++p) {
        ASSERT_TRUE(b->Cpuid(p, 1, 0, r));
        EXPECT_EQ(r.ebx >> 24, apic[p]);
        EXPECT_EQ(r.eax, 0x6F7u);
        EXPECT_EQ(r.edx, 0xBFEBFBFFu);
    }
    // Leaf 4 answers per sub-leaf; past the last cache it reports type 0.
    ASSERT_TRUE(b->Cpuid(0, 4, 2, r));
    EXPECT_EQ(r.eax, 0x0C004143u);
    ASSERT_TRUE(b->Cpuid(0, 4, 0, r));
    EXPECT_EQ(r.eax, 0x0C000121u);
    ASSERT_TRUE(b->Cpuid(0, 4, 3, r));
    EXPECT_EQ(r.eax, 0u);
    // A leaf without sub-leaves ignores ECX.
    driver::CpuidResult s;
    ASSERT_TRUE(b->Cpuid(0, 0x80000008, 0, r));
    ASSERT_TRUE(b->Cpuid(0, 0x80000008, 7, s));
    EXPECT_EQ(r.eax, 0x3024u);
    EXPECT_EQ(s.eax, r.eax);
    EXPECT_FALSE(b->Cpuid(4, 0, 0, r));
}

TEST(BoardProcessors, TscRunsAtTheProfileRate) {
    nlohmann::json p = MinimalProfile();
    p["processors"]["tsc_hz"] = 500000000;
    p["processors"]["each"] = nlohmann::json::parse(R"([{}, {"tsc_offset": "0x100000000000"}])");
    auto b = LoadText(p);
    ASSERT_TRUE(b);
    using Clock = std::chrono::steady_clock;
    uint64_t a0 = 0, a1 = 0, b0 = 0;
    auto before = Clock::now();
    ASSERT_TRUE(b->ReadTsc(0, a0));
    auto inner0 = Clock::now();
    ASSERT_TRUE(b->ReadTsc(1, b0));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto inner1 = Clock::now();
    ASSERT_TRUE(b->ReadTsc(0, a1));
    auto after = Clock::now();
    auto ns = [](auto d) {
        return double(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
    };
    double ticks = double(a1 - a0);
    EXPECT_GE(ticks, 0.5 * ns(inner1 - inner0) * 0.99);
    EXPECT_LE(ticks, 0.5 * ns(after - before) * 1.01);
    // Processor 1 counts from its offset on the same time base.
    EXPECT_GE(b0, 0x100000000000ull + a0);
    EXPECT_LT(b0, 0x100000000000ull + a1);
}

TEST(BoardInfo, PlatformInfoAndStatus) {
    auto b = LoadShipped("intel-desktop");
    ASSERT_TRUE(b);
    PlatformFacts facts;
    ASSERT_TRUE(b->PlatformInfo(facts));
    EXPECT_EQ(facts.computer, "KVT-P35-ICH9");
    EXPECT_EQ(facts.processors, 4u);
    EXPECT_EQ(facts.tscHz, 2666700000u);
    EXPECT_EQ(facts.board, "intel-desktop");
    EXPECT_FALSE(facts.hasVersion);
    EXPECT_EQ(b->Name(), "board intel-desktop");
    uint32_t base = 0;
    uint8_t first = 1, last = 0;
    ASSERT_TRUE(b->PcieWindow(base, first, last));
    EXPECT_EQ(base, 0xE0000000u);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, 255);
    EXPECT_TRUE(b->DirectPortAccessAvailable());
    auto lines = b->StatusLines();
    ASSERT_EQ(lines.size(), 5u);
    for (const auto& line : lines) EXPECT_NE(line.find(": ok (simulated)"), std::string::npos);

    nlohmann::json p = MinimalProfile();
    p["version"] = {{"major", 4}, {"minor", 10}, {"build", 2222}, {"platform", 1}, {"csd", " A "}};
    auto legacy = LoadText(p);
    ASSERT_TRUE(legacy);
    ASSERT_TRUE(legacy->PlatformInfo(facts));
    ASSERT_TRUE(facts.hasVersion);
    EXPECT_EQ(std::vector<uint32_t>({facts.major, facts.minor, facts.build, facts.platform}),
              std::vector<uint32_t>({4, 10, 2222, 1}));
    EXPECT_EQ(facts.csd, " A ");
    // Without a window the status says so.
    EXPECT_FALSE(legacy->PcieWindow(base, first, last));
    lines = legacy->StatusLines();
    EXPECT_EQ(lines[2].rfind("PCI Express window: unavailable: ", 0), 0u);
}

TEST(BoardPci, MultifunctionBitCanBeDeclaredAgainstTheSlot) {
    nlohmann::json p = MinimalProfile();
    auto& f = p["pci"]["functions"];
    f.push_back({{"address", "00:1f.0"},
                 {"vendor_id", "0x8086"},
                 {"device_id", "0x2918"},
                 {"multifunction", false}});
    f.push_back({{"address", "00:1f.3"}, {"vendor_id", "0x8086"}, {"device_id", "0x2930"}});
    f.push_back({{"address", "00:1e.2"}, {"vendor_id", "0x8086"}, {"device_id", "0x1234"}});
    auto b = LoadText(p);
    ASSERT_TRUE(b);
    EXPECT_FALSE(Config(*b, ConfigAddress(0, 0x1F, 0, 0x0C)) & 0x00800000);
    // Function 3 still answers, and a device without function 0 answers at function 2.
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1F, 3)), 0x29308086u);
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1E, 2)), 0x12348086u);
    EXPECT_EQ(Config(*b, ConfigAddress(0, 0x1E, 0)), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kvt::test

namespace kvt::test {
namespace {

// What a device model added after loading (as the SMBus host controllers will be) relies on:
// claiming ports beside the board's own devices, and hearing about configuration writes.
class Latch : public driver::board::PortDevice {
  public:
    uint32_t ReadPort(uint16_t port, uint32_t width) override {
        return (value_ + port) & (width == 4 ? 0xFFFFFFFF : (1u << (8 * width)) - 1);
    }
    void WritePort(uint16_t, uint32_t, uint32_t value) override { value_ = value; }

  private:
    uint32_t value_ = 0;
};

TEST(BoardExtension, DeviceModelsPlugIntoPortsAndConfigurationSpace) {
    auto backend = LoadShipped("intel-desktop");
    ASSERT_TRUE(backend);
    auto* board = dynamic_cast<driver::board::Board*>(backend.get());
    ASSERT_NE(board, nullptr);
    auto* latch = board->Own(std::make_unique<Latch>());
    std::string error;
    EXPECT_FALSE(board->ports().Claim(0x70, 4, latch, &error));  // the CMOS banks are there
    EXPECT_NE(error.find("overlap"), std::string::npos);
    EXPECT_FALSE(board->ports().Claim(0x400, 32, latch, &error));  // the SMBus host is there
    ASSERT_TRUE(board->ports().Claim(0x600, 32, latch, &error)) << error;
    EXPECT_TRUE(backend->WritePort(0x600, 1, 0x40));
    uint32_t v = 0;
    EXPECT_TRUE(backend->ReadPort(0x602, 1, v));
    EXPECT_EQ(v, 0x642u & 0xFF);

    // The SMBus function reports writes of its base register, through every path.
    driver::board::PciFunction* smbus = board->pci().Find(0, 0x1F << 3 | 3);
    ASSERT_NE(smbus, nullptr);
    std::vector<uint32_t> writes;
    smbus->SetWriteListener([&](uint32_t offset, uint32_t) { writes.push_back(offset); });
    EXPECT_TRUE(backend->WritePciConfig(ConfigAddress(0, 0x1F, 3, 0x20), 0x1F01));
    EXPECT_TRUE(backend->WritePort(0xCF8, 4, ConfigAddress(0, 0x1F, 3, 0x20)));
    EXPECT_TRUE(backend->WritePort(0xCFC, 4, 0x0401));
    uint32_t ecam = 0xE0000000 + (0x1Fu << 15) + (3u << 12) + 0x20;
    uint8_t bytes[4] = {0x01, 0x05, 0, 0};
    EXPECT_TRUE(backend->WritePhysical(ecam, bytes, 4));
    EXPECT_EQ(writes, (std::vector<uint32_t>{0x20, 0x20, 0x20}));
    EXPECT_EQ(smbus->Read(0x20, 4), 0x0501u);

    // Releasing gives the ports back to the unclaimed space.
    board->ports().Release(latch);
    EXPECT_TRUE(backend->ReadPort(0x602, 1, v));
    EXPECT_EQ(v, 0xFFu);
}

}  // namespace
}  // namespace kvt::test
