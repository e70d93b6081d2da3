// SMBus detection, transactions and the tool model against the boards' host controller
// models, served in-process by the daemon's request handler.
#include <gtest/gtest.h>

#include <chrono>

#include "board_client.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/smbus/smbus_tool.h"

namespace kvt::test {
namespace {

void NoSleep(unsigned) {}

struct Ctl {
    uint16_t base;
    uint32_t kind;
};

TEST(SmbusDetect, FindsEachBoardsControllersWithCaptions) {
    struct Case {
        const char* board;
        std::vector<std::string> captions;
        std::vector<uint16_t> bases;
    } cases[] = {
        {"intel-desktop", {"INTEL  Smbus controller 0 at PCI bus 0 device 1F function 3"}, {0x400}},
        {"nvidia-amd",
         {"NVIDIA  Smbus controller 0 at PCI bus 0 device 1 function 1",
          "NVIDIA  Smbus controller 1 at PCI bus 0 device 1 function 1"},
         {0x4C00, 0x4D00}},
        {"via", {"VIA  Smbus controller 0 at PCI bus 0 device 11 function 0"}, {0x400}},
        {"ati", {"ATI  Smbus controller 0 at PCI bus 0 device 14 function 0"}, {0xB00}},
        {"transmeta", {}, {}},
    };
    for (const Case& c : cases) {
        BoardClient b(c.board);
        std::vector<SmbusController> found = DetectSmbusControllers(b.client());
        std::vector<std::string> captions;
        std::vector<uint16_t> bases;
        for (size_t i = 0; i < found.size(); ++i) {
            captions.push_back(SmbusControllerCaption(found[i], int(i)));
            bases.push_back(found[i].ioBase);
        }
        EXPECT_EQ(captions, c.captions) << c.board;
        EXPECT_EQ(bases, c.bases) << c.board;
    }
}

TEST(SmbusDetect, BaseRegisterRulesAndRewrites) {
    // The I/O flag is dropped; the model follows the rewritten register.
    BoardClient b("intel-desktop");
    ASSERT_TRUE(b.client().WritePciConfig(0x8000FB20, 0x1F01));
    std::vector<SmbusController> found = DetectSmbusControllers(b.client());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].ioBase, 0x1F00);
    SmbusPorts io(b.client(), NoSleep);
    uint8_t v = 0;
    EXPECT_EQ(SmbusReadByte(io, 0x1F00, 0x50, 2, v, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(v, 0x08);
    uint32_t old = 0;
    b.client().ReadPort(0x400, old, 1);
    EXPECT_EQ(old, 0xFFu);

    // NVIDIA: register 50h, when it holds a base, moves both controllers to 50h/54h.
    nlohmann::json p = ShippedProfile("nvidia-amd");
    for (auto& f : p["pci"]["functions"])
        if (f["address"] == "00:01.1") f["bytes"]["0x50"] = "01 50 00 00 01 51 00 00";
    for (auto& s : p["smbus"]) s["base_register"] = s["base_register"] == "0x20" ? "0x50" : "0x54";
    BoardClient n(p);
    found = DetectSmbusControllers(n.client());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].ioBase, 0x5000);
    EXPECT_EQ(found[1].ioBase, 0x5100);
    SmbusPorts nio(n.client(), NoSleep);
    EXPECT_EQ(SmbusReadByte(nio, 0x5000, 0x50, 2, v, kSmbusNvidia), kSmbusOk);
    EXPECT_EQ(v, 0x07);
}

TEST(SmbusDetect, NoControllerWithoutAnIoBase) {
    // A base register that holds no I/O base (0 but the I/O flag), or a memory-space base, is
    // no controller: its transactions would go to ports 00h-0Fh.
    nlohmann::json memoryBar = ShippedProfile("intel-desktop");
    for (auto& f : memoryBar["pci"]["functions"])
        if (f["address"] == "00:1F.3")
            f["bars"][1] = {
                {"index", 4}, {"kind", "mem32"}, {"address", "0xFEB00000"}, {"size", 256}};
    struct Case {
        nlohmann::json profile;
        const char* reason;
    } cases[] = {
        {ShippedProfile("intel-desktop"), "base register 20h reads 00000001h (no I/O base)"},
        {memoryBar, "base register 20h reads FEB00000h (a memory-space base, not an I/O one)"},
    };
    for (const Case& c : cases) {
        BoardClient b(c.profile);
        ASSERT_TRUE(b.client().WritePciConfig(0x8000FB20, 0));
        if (c.profile == memoryBar) ASSERT_TRUE(b.client().WritePciConfig(0x8000FB20, 0xFEB00000));
        std::vector<SmbusRejected> rejected;
        EXPECT_TRUE(DetectSmbusControllers(b.client(), &rejected).empty());
        ASSERT_EQ(rejected.size(), 1u);
        EXPECT_EQ(SmbusRejectedReason(rejected[0]), std::string("no controller: ") + c.reason);
        RecordedMessages m;
        SmbusTool tool(b.client(), m, NoSleep);
        tool.Start();
        EXPECT_EQ(m.texts, std::vector<std::string>{"No Supported SMBUS controller found!"});
    }
}

TEST(SmbusHost, EverySpdReadsBackByteForByte) {
    for (const char* name : {"intel-desktop", "nvidia-amd", "via", "ati"}) {
        nlohmann::json p = ShippedProfile(name);
        BoardClient b(p);
        std::vector<SmbusController> found = DetectSmbusControllers(b.client());
        SmbusPorts io(b.client(), NoSleep);
        for (size_t ci = 0; ci < p["smbus"].size(); ++ci) {
            for (const auto& d : p["smbus"][ci]["devices"]) {
                if (d["kind"] != "spd") continue;
                uint8_t address = uint8_t(std::stoi(d["address"].get<std::string>(), nullptr, 16));
                std::vector<uint8_t> want = ProfileBytes(d), got(256);
                for (int c = 0; c < 256; ++c)
                    ASSERT_EQ(SmbusReadByte(io, found[ci].ioBase, address, uint8_t(c), got[c],
                                            found[ci].vendorKind),
                              kSmbusOk);
                EXPECT_EQ(got, want) << name << " " << d["address"];
            }
        }
    }
}

TEST(SmbusHost, PartEdgeCases) {
    BoardClient intel("intel-desktop");
    SmbusPorts io(intel.client(), NoSleep);
    uint8_t block[kSmbusBlockMax + 1];
    uint32_t count = 99;
    // The EEPROM's byte 0 is 0: a block read of command 0 gets count 0 and succeeds.
    EXPECT_EQ(SmbusReadBlock(io, 0x400, 0x57, 0, 32, block, count, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SmbusReadBlock(io, 0x400, 0x69, 0, 32, block, count, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(std::vector<uint8_t>(block, block + count),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x9B}));
    // Handshaken block write, then the bytes as byte data (byte c is the count on the wire).
    uint8_t bytes[3] = {0xA1, 0xB2, 0xC3};
    EXPECT_EQ(SmbusWriteBlock(io, 0x400, 0x57, 0x10, 3, bytes, kSmbusIntel), kSmbusOk);
    uint8_t v = 0;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(SmbusReadByte(io, 0x400, 0x57, uint8_t(0x10 + i), v, kSmbusIntel), kSmbusOk);
        EXPECT_EQ(v, i == 0 ? 3 : bytes[i - 1]);
    }
    uint16_t word = 0;
    EXPECT_EQ(SmbusWriteWord(io, 0x400, 0x57, 0x20, 0xBEEF, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(SmbusReadWord(io, 0x400, 0x57, 0x20, word, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(word, 0xBEEF);
    EXPECT_EQ(SmbusReadByte(io, 0x400, 0x33, 0, v, kSmbusIntel), kSmbusDeviceError);
    for (uint32_t r : {SmbusReadByte(io, 0x400, 0x50, 0, v, kSmbusSis),
                       SmbusWriteByte(io, 0x400, 0x57, 0, 1, kSmbusSis),
                       SmbusReadBlock(io, 0x400, 0x50, 0, 1, block, count, kSmbusSis),
                       SmbusWriteBlock(io, 0x400, 0x57, 0, 1, bytes, kSmbusSis)})
        EXPECT_EQ(r, uint32_t(kSmbusUnsupportedVendor));

    // ATI: the buffered block; more than its 32-byte buffer is a device error.
    BoardClient ati("ati");
    SmbusPorts aio(ati.client(), NoSleep);
    EXPECT_EQ(SmbusReadBlock(aio, 0xB00, 0x69, 0, 32, block, count, kSmbusAti), kSmbusOk);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(block[7], 0x9B);
    EXPECT_EQ(SmbusReadBlock(aio, 0xB00, 0x50, 0, 32, block, count, kSmbusAti),
              kSmbusDeviceError);  // the SPD's count is 80h
    EXPECT_EQ(SmbusWriteBlock(aio, 0xB00, 0x69, 1, 3, bytes, kSmbusAti), kSmbusOk);
    EXPECT_EQ(SmbusReadBlock(aio, 0xB00, 0x69, 1, 32, block, count, kSmbusAti), kSmbusOk);
    EXPECT_EQ(std::vector<uint8_t>(block, block + count), std::vector<uint8_t>(bytes, bytes + 3));

    // NVIDIA: nobody at the address gives 6 and FFh; block transactions are not available.
    BoardClient nv("nvidia-amd");
    SmbusPorts nio(nv.client(), NoSleep);
    v = 0;
    EXPECT_EQ(SmbusReadByte(nio, 0x4C00, 0x33, 0, v, kSmbusNvidia), kSmbusNoDevice);
    EXPECT_EQ(v, 0xFF);
    EXPECT_EQ(SmbusReadByte(nio, 0x4C00, 0x2E, 0, v, kSmbusNvidia), kSmbusDeviceError);
    EXPECT_EQ(SmbusReadBlock(nio, 0x4C00, 0x50, 0, 1, block, count, kSmbusNvidia),
              kSmbusModeNotSupported);
    EXPECT_EQ(SmbusWriteBlock(nio, 0x4C00, 0x50, 0, 1, bytes, kSmbusNvidia),
              kSmbusModeNotSupported);
    EXPECT_EQ(SmbusWriteByte(nio, 0x4D00, 0x57, 5, 0x5A, kSmbusNvidia), kSmbusOk);
    EXPECT_EQ(SmbusReadByte(nio, 0x4D00, 0x57, 5, v, kSmbusNvidia), kSmbusOk);
    EXPECT_EQ(v, 0x5A);
    EXPECT_STREQ(SmbusResultText(7), "Error! Current access mode is not supported!");
    EXPECT_STREQ(SmbusResultText(8), "Error! Unknown error code!");
}

// Raw port sequences of block transfers the chipset does not complete, run against the
// board's model of it: the model must refuse them as the chipset does.
struct RawPorts {
    DriverClient& c;
    uint16_t base;
    uint8_t In(int off) {
        uint32_t v = 0;
        c.ReadPort(uint16_t(base + off), v, 1);
        return uint8_t(v);
    }
    void Out(int off, uint8_t v) { c.WritePort(uint16_t(base + off), v, 1); }
    template <typename Pred>
    bool Poll(Pred met, uint8_t& s) {
        for (int i = 0; i < kSmbusPollLimit; ++i)
            if (met(s = In(0))) return true;
        return false;
    }
};

// The first release's block read: INTR awaited right after the start, then a bare 20h in
// host control before the last byte is read, each byte-done written back.
int OldBlockRead(RawPorts& p, uint8_t slave, uint8_t command, std::vector<uint8_t>& out) {
    uint8_t s = 0;
    p.Out(4, uint8_t(slave * 2 + 1)), p.Out(3, command), p.Out(2, 0x54);
    if (!p.Poll([](uint8_t v) { return !(v & 8) && (v & 6); }, s)) return kSmbusBusy;
    if ((s & 4) || !(s & 0x80)) return kSmbusDeviceError;
    uint8_t n = p.In(5);
    for (uint8_t k = 0; k < n; ++k) {
        if (!p.Poll([](uint8_t v) { return (v & 0x80) != 0; }, s)) return kSmbusDeviceError;
        if (k == n - 1) p.Out(2, 0x20);
        out.push_back(p.In(7));
        p.Out(0, s);
    }
    p.Out(0, 0x5E);
    return kSmbusOk;
}

TEST(SmbusHost, BlockSequencesTheChipsetWouldNotCompleteFail) {
    BoardClient b("intel-desktop");
    RawPorts p{b.client(), 0x400};
    SmbusPorts io(b.client(), NoSleep);
    std::vector<uint8_t> got;
    EXPECT_EQ(OldBlockRead(p, 0x69, 0, got), kSmbusBusy);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(p.In(0) & 1, 1);  // left busy: the next byte write finds it so
    EXPECT_EQ(SmbusWriteByte(io, 0x400, 0x57, 0, 1, kSmbusIntel), kSmbusBusy);

    // Every byte handed over with byte-done but no last-byte flag: the chipset keeps reading,
    // busy holds and INTR never comes.
    p.Out(2, 0x02), p.Out(2, 0), p.Out(0, 0xDE);
    p.Out(4, 0x69 * 2 + 1), p.Out(3, 0), p.Out(2, 0x54);
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(p.In(0) & 0x83, 0x81) << k;
        got.push_back(p.In(7));
        p.Out(0, 0x80);
    }
    EXPECT_EQ(got, (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x9B}));
    EXPECT_EQ(p.In(0) & 0x83, 0x81);

    // The first release's block write waited for INTR before handing over byte 1.
    p.Out(2, 0x02), p.Out(2, 0), p.Out(0, 0xDE);
    p.Out(4, 0x57 * 2), p.Out(3, 0x10), p.Out(5, 3), p.Out(7, 0xA1), p.Out(2, 0x54);
    uint8_t s = 0;
    EXPECT_FALSE(p.Poll([](uint8_t v) { return !(v & 8) && (v & 6); }, s));

    // The transactions recover the controller (kill, clear) and then do it right.
    uint8_t block[kSmbusBlockMax];
    uint32_t count = 0;
    EXPECT_EQ(SmbusReadBlock(io, 0x400, 0x69, 0, 32, block, count, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(std::vector<uint8_t>(block, block + count),
              std::vector<uint8_t>(got.begin(), got.begin() + 8));
    EXPECT_EQ(p.In(0), 0);
    // A failed block read leaves the controller idle with its status clear.
    EXPECT_EQ(SmbusReadBlock(io, 0x400, 0x33, 0, 32, block, count, kSmbusIntel), kSmbusDeviceError);
    EXPECT_EQ(p.In(0) & 0x9F, 0);
    for (uint8_t n : {uint8_t(1), uint8_t(2), uint8_t(32)}) {
        std::vector<uint8_t> bytes(n);
        for (uint8_t i = 0; i < n; ++i) bytes[i] = uint8_t(0x30 + i);
        ASSERT_EQ(SmbusWriteBlock(io, 0x400, 0x57, 0x40, n, bytes.data(), kSmbusIntel), kSmbusOk);
        ASSERT_EQ(SmbusReadBlock(io, 0x400, 0x57, 0x40, 32, block, count, kSmbusIntel), kSmbusOk);
        EXPECT_EQ(std::vector<uint8_t>(block, block + count), bytes) << int(n);
        EXPECT_EQ(p.In(0), 0);
    }
}

TEST(SmbusHost, StuckBusyEndsEveryActionWithBusy) {
    for (const char* name : {"intel-desktop", "nvidia-amd"}) {
        nlohmann::json p = ShippedProfile(name);
        p["smbus"][0]["stuck_busy"] = true;
        BoardClient b(p);
        RecordedMessages m;
        SmbusTool tool(b.client(), m, NoSleep);
        tool.Start();
        auto t0 = std::chrono::steady_clock::now();
        tool.Scan();
        EXPECT_EQ(m.texts, std::vector<std::string>{"Error! Smbus busy!"}) << name;
        EXPECT_TRUE(tool.found().empty());
        m.texts.clear();
        tool.readAddress = "50", tool.startOffset = "00", tool.length = "10";
        tool.ReadRange();
        tool.writeAddress = "57", tool.offset = "00", tool.data = "01";
        tool.WriteByte();
        EXPECT_EQ(m.texts, std::vector<std::string>(2, "Error! Smbus busy!")) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
        EXPECT_TRUE(tool.rows().size() == 1 && tool.rows()[0].cells[0].empty());
    }
    // A byte write on a stuck controller stops after wait-idle: no kill, nothing started.
    nlohmann::json p = ShippedProfile("intel-desktop");
    p["smbus"][0]["stuck_busy"] = true;
    BoardClient b(p);
    SmbusPorts io(b.client(), NoSleep);
    b.requests = 0;
    EXPECT_EQ(SmbusWriteByte(io, 0x400, 0x57, 0, 1, kSmbusIntel), kSmbusBusy);
    EXPECT_EQ(b.requests, 1 + 2 * kSmbusPollLimit);
}

TEST(SmbusHost, FailuresAreNotReportedAsSuccess) {
    // A refused handshaken block write to a read-only SPD is reported, not claimed done.
    BoardClient intel("intel-desktop");
    SmbusPorts io(intel.client(), NoSleep);
    uint8_t bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(SmbusWriteBlock(io, 0x400, 0x50, 0x40, 4, bytes, kSmbusIntel), kSmbusDeviceError);
    uint8_t v = 0;
    EXPECT_EQ(SmbusReadByte(io, 0x400, 0x50, 0x41, v, kSmbusIntel), kSmbusOk);
    EXPECT_NE(v, 1);
    EXPECT_EQ(SmbusWriteByte(io, 0x400, 0x50, 0x41, 1, kSmbusIntel), kSmbusReadIoError);

    // A daemon that refuses writes: the ACPI write fails with 4 even after a successful read
    // left 80h in the status port.
    BoardClient nv("nvidia-amd", true);
    SmbusPorts nio(nv.client(), NoSleep);
    EXPECT_EQ(SmbusWriteByte(nio, 0x4D00, 0x57, 5, 0x5A, kSmbusNvidia), kSmbusWriteIoError);
    EXPECT_EQ(SmbusReadByte(nio, 0x4D00, 0x57, 5, v, kSmbusNvidia), kSmbusWriteIoError);
}

class SmbusToolTest : public ::testing::Test {
  protected:
    BoardClient board{"intel-desktop"};
    RecordedMessages m;
    SmbusTool tool{board.client(), m, NoSleep};
    void SetUp() override { tool.Start(); }
    std::vector<std::string> Row(size_t i) {
        const auto& r = tool.rows().at(i);
        std::vector<std::string> out{r.label};
        out.insert(out.end(), r.cells.begin(), r.cells.end());
        return out;
    }
};

TEST_F(SmbusToolTest, ScanSelectAndReadRanges) {
    EXPECT_EQ(tool.baseText(), "0400");
    EXPECT_TRUE(tool.blockButtonsEnabled());
    tool.Scan();
    EXPECT_EQ(tool.found(), (std::vector<uint8_t>{0x50, 0x51, 0x57, 0x69}));
    EXPECT_EQ(tool.slaveRows()[0], "Smbus Device @Slave Address 50");
    EXPECT_EQ(tool.readAddress + tool.startOffset + tool.length + tool.writeAddress + tool.offset,
              "50001050"
              "00");
    tool.startOffset = "35", tool.length = "4";
    tool.ReadRange();
    ASSERT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(Row(0), (std::vector<std::string>{"30", "", "", "", "", "", "00", "00", "00", "00",
                                                "", "", "", "", "", "", ""}));
    tool.startOffset = "F8", tool.length = "8";
    tool.ReadRange();
    EXPECT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(tool.rows()[0].cells[15], "FF");
    tool.length = "9";
    tool.ReadRange();
    tool.startOffset = "00", tool.length = "0100";  // read by its first three characters
    tool.ReadRange();
    EXPECT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(m.texts, std::vector<std::string>{"Error! Input data range is too large!"});
    EXPECT_EQ(m.focus, std::vector<std::string>{SmbusTool::kFieldStartOffset});
    // A block of 8 bytes at FCh: rows past FFh get three digits.
    SmbusPorts io(board.client(), NoSleep);
    uint8_t block[8] = {1, 2, 3, 4, 5, 6, 7, 0x9B};
    ASSERT_EQ(SmbusWriteBlock(io, 0x400, 0x69, 0xFC, 8, block, kSmbusIntel), kSmbusOk);
    tool.readAddress = "69", tool.startOffset = "FC";
    tool.BlockRead();
    ASSERT_EQ(tool.rows().size(), 2u);
    EXPECT_EQ(tool.rows()[1].label, "100");
    EXPECT_EQ(tool.rows()[1].cells[3], "9B");
}

TEST_F(SmbusToolTest, InputChecksAndMendedFaults) {
    tool.readAddress = "80", tool.startOffset = "00", tool.length = "10";
    tool.ReadRange();
    tool.readAddress = "5G";
    tool.ReadRange();
    tool.writeAddress = "57", tool.offset = "", tool.data = "01";
    tool.WriteByte();
    tool.offset = "00", tool.data = "X";
    tool.WriteByte();
    EXPECT_EQ(m.texts,
              (std::vector<std::string>{"Input Smbus address error!", "Input Smbus address error!",
                                        "Input Smbus offset error!", "Input Smbus data error!"}));
    EXPECT_EQ(m.focus, (std::vector<std::string>{"readAddress", "readAddress", "offset", "data"}));
    m.texts.clear(), m.focus.clear();

    // Patch block: a block of 3 bytes cannot be patched at offset 3 or FFh; nothing is sent.
    SmbusPorts io(board.client(), NoSleep);
    uint8_t three[3] = {7, 8, 9};
    ASSERT_EQ(SmbusWriteBlock(io, 0x400, 0x57, 0, 3, three, kSmbusIntel), kSmbusOk);
    for (const char* off : {"03", "FF"}) {
        tool.offset = off, tool.data = "55";
        tool.PatchBlock();
    }
    EXPECT_EQ(m.texts, std::vector<std::string>(2, "Error! Input data range is too large!"));
    EXPECT_EQ(m.focus, std::vector<std::string>(2, "offset"));
    m.texts.clear();
    tool.offset = "01", tool.data = "08";  // equal to the byte there: nothing written
    board.requests = 0;
    tool.PatchBlock();
    int readOnly = board.requests;
    tool.data = "AA";
    tool.PatchBlock();
    EXPECT_GT(board.requests - readOnly, readOnly);
    uint8_t v = 0;
    EXPECT_EQ(SmbusReadByte(io, 0x400, 0x57, 2, v, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(v, 0xAA);
    // A failed block read patches nothing; a failed read shows no cells.
    tool.writeAddress = "2E";
    tool.PatchBlock();
    tool.readAddress = "2E", tool.startOffset = "00", tool.length = "10";
    tool.ReadRange();
    EXPECT_EQ(m.texts, std::vector<std::string>(2, "Error! Access Smbus device error!"));
    ASSERT_EQ(tool.rows().size(), 1u);
    EXPECT_EQ(tool.rows()[0].label, "00");
    for (const std::string& cell : tool.rows()[0].cells) EXPECT_EQ(cell, "");
}

TEST(SmbusTool, ScanEndsOnRefusedWritesAndReportNeedsAScan) {
    BoardClient b("intel-desktop", true);
    RecordedMessages m;
    SmbusTool tool(b.client(), m, NoSleep);
    tool.Start();
    StringReport none;
    tool.WriteReport(none.stream());
    EXPECT_EQ(none.str(), "");
    b.requests = 0;
    tool.Scan();
    EXPECT_EQ(m.texts, (std::vector<std::string>{"Error! There is no SMBUS device information "
                                                 "available!",
                                                 "Error! Write Smbus I/O error!"}));
    EXPECT_EQ(b.requests, 1);

    BoardClient t("transmeta");
    RecordedMessages tm;
    SmbusTool nothing(t.client(), tm, NoSleep);
    nothing.Start();
    EXPECT_EQ(tm.texts, std::vector<std::string>{"No Supported SMBUS controller found!"});
    EXPECT_FALSE(nothing.controlsEnabled());
    EXPECT_FALSE(nothing.blockButtonsEnabled());
}

TEST(SmbusTool, NvidiaDisablesBlocksAndKernelDriverWarns) {
    nlohmann::json p = ShippedProfile("nvidia-amd");
    p["smbus"][1]["kernel_driver"] = "i2c_nforce2";
    BoardClient b(p);
    RecordedMessages m;
    SmbusTool tool(b.client(), m, NoSleep);
    tool.Start();
    EXPECT_FALSE(tool.blockButtonsEnabled());
    // Both controllers live in the one function, so the driver is bound to both.
    EXPECT_EQ(m.texts, std::vector<std::string>{
                           "Warning! Kernel driver i2c_nforce2 is bound to this SMBus controller: "
                           "transactions may collide with it."});
}

TEST(SmbusTool, ControllersTheKernelOwnsGoThroughTheKernel) {
    nlohmann::json p = ShippedProfile("intel-desktop");
    p["smbus"][0]["kernel_driver"] = "i801_smbus";
    nlohmann::json adapter = p;
    adapter["smbus"][0]["i2c_dev"] = true;

    // The adapter is offered: one request per transaction, none of them to the ports.
    BoardClient k(adapter);
    RecordedMessages m;
    SmbusTool tool(k.client(), m, NoSleep);
    tool.Start();
    EXPECT_EQ(tool.path(), SmbusTool::Path::Kernel);
    EXPECT_EQ(tool.pathText(), "/dev/i2c-0 (board adapter of i801_smbus)");
    k.requests = 0;
    tool.Scan();
    EXPECT_EQ(k.requests, 0x7F);
    EXPECT_EQ(tool.found(), (std::vector<uint8_t>{0x50, 0x51, 0x57, 0x69}));
    tool.startOffset = "3E", tool.length = "3";
    tool.ReadRange();
    EXPECT_EQ(tool.rows().at(1).cells[0], "7F");
    SmbusPorts io(k.client(), NoSleep);
    io.RouteThroughKernel(0, 0x1F, 3);
    const uint8_t three[3] = {1, 2, 3};
    ASSERT_EQ(SmbusWriteBlock(io, 0x400, 0x57, 0, 3, three, kSmbusIntel), kSmbusOk);
    tool.writeAddress = "57", tool.offset = "02", tool.data = "A5";
    tool.PatchBlock();  // a block read and a block write through the kernel
    uint8_t v = 0;
    EXPECT_EQ(SmbusReadByte(io, 0x400, 0x57, 3, v, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(v, 0xA5);
    EXPECT_EQ(SmbusReadByte(io, 0x400, 0x33, 0, v, kSmbusIntel), kSmbusDeviceError);
    EXPECT_EQ(SmbusWriteByte(io, 0x400, 0x50, 0, 1, kSmbusIntel), kSmbusReadIoError);
    EXPECT_TRUE(m.texts.empty()) << m.texts[0];

    // No adapter: the controller is left alone unless the user confirms driving its ports.
    BoardClient b(p);
    RecordedMessages left;
    SmbusTool alone(b.client(), left, NoSleep);
    alone.Start();
    b.requests = 0;
    alone.Scan();
    alone.ReadRange();
    EXPECT_EQ(b.requests, 0);
    std::string why =
        "Error! Kernel driver i801_smbus owns this SMBus controller and its adapter cannot be "
        "used: no /dev/i2c node for i801_smbus's adapter: the i2c-dev module is not loaded "
        "(modprobe i2c-dev). The controller's ports are left alone.";
    EXPECT_EQ(left.texts,
              (std::vector<std::string>{"Warning! Kernel driver i801_smbus is bound to this SMBus "
                                        "controller: transactions may collide with it.",
                                        why, why}));
    std::vector<std::string> asked;
    SmbusTool forced(b.client(), left, NoSleep);
    forced.confirmRawPorts = [&](const std::string& q) {
        asked.push_back(q);
        return true;
    };
    forced.Start();
    forced.Scan();
    EXPECT_EQ(forced.path(), SmbusTool::Path::Ports);
    EXPECT_EQ(forced.found().size(), 4u);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_NE(asked[0].find("Drive the controller's ports directly anyway?"), std::string::npos);
}

TEST(SmbusTool, ReportOfAReadWindow) {
    BoardClient b("intel-desktop");
    RecordedMessages m;
    SmbusTool tool(b.client(), m, NoSleep);
    tool.Start();
    tool.Scan();
    tool.SelectSlave(3);
    tool.readAddress = "69", tool.startOffset = "40", tool.length = "2";
    tool.ReadRange();
    StringReport report;
    tool.WriteReport(report.stream());
    std::string want =
        "========================= Current SMBUS Device Information "
        "=========================\r\n\r\n"
        "INTEL  Smbus controller 0 at PCI bus 0 device 1F function 3\r\n\r\n"
        "Smbus Device @Slave Address 69\r\n\r\n"
        "   #Offset (Hex)     Value (Hex)\r\n"
        "              40              FF\r\n"
        "              41              FF\r\n";
    for (int c = 2; c < 16; ++c) want += Format("%16X%16s\r\n", 0x40 + c, "");
    EXPECT_EQ(report.str(), want);
}

}  // namespace
}  // namespace kvt::test

#include "tools/smbus/spd_decode.h"

namespace kvt::test {
namespace {

TEST(SpdDecode, Ddr2ModuleAndJedecBanks) {
    BoardClient b("via");
    SmbusPorts io(b.client(), NoSleep);
    std::vector<uint8_t> spd(256);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(SmbusReadByte(io, 0x400, 0x50, uint8_t(i), spd[i], kSmbusVia), kSmbusOk);
    EXPECT_EQ(DecodeSpd(spd),
              (std::vector<std::string>{"Memory type: DDR2 SDRAM", "Size: 1024 MB (1 rank)",
                                        "Maximum speed: DDR2-667 (PC2-5300), tCK 3.00 ns",
                                        "CAS latencies: 5 4 3", "Manufacturer: Kingston",
                                        "Part number: KVR667D2N5/1G", "Serial number: 22104507",
                                        "Checksum: ok (byte 63 B1h, bytes 0-62 add up to B1h)"}));
    const uint8_t corsair[8] = {0x7F, 0x7F, 0x9E, 0, 0, 0, 0, 0};
    const uint8_t samsung[8] = {0xCE, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t unknown[8] = {0x7F, 0x7F, 0x7F, 0x01, 0, 0, 0, 0};
    EXPECT_EQ(JedecManufacturer(corsair, 8), "Corsair");
    EXPECT_EQ(JedecManufacturer(samsung, 8), "Samsung");
    EXPECT_EQ(JedecManufacturer(unknown, 8), "Unknown (bank 4, code 01h)");
    spd[63] ^= 1;
    EXPECT_EQ(DecodeSpd(spd).back().rfind("Checksum: wrong", 0), 0u);
}

}  // namespace
}  // namespace kvt::test

#include "tools/smbus/spd_read.h"

namespace kvt::test {
namespace {

// The modules of the DDR3, DDR4 and DDR5 boards, decoded from their JEDEC bytes by hand:
// DDR3 KVR16N11/8: byte 4 = 04h (4 Gb chips), byte 7 = 09h (x8, 2 ranks), byte 8 = 03h
// (64 bits), MTB 1/8 ns: tCK 0Ah = 1.25 ns, tAA/tRCD/tRP 69h = 13.125 ns, tRAS 118h = 35 ns.
// DDR4 KVR24N17S8/8: byte 4 = 85h (8 Gb), byte 12 = 01h (x8, 1 rank), tCK 7 x 125 ps - 42 ps
// = 833 ps, tAA/tRCD/tRP 6Eh = 13.75 ns, tRAS 100h = 32 ns. DDR5 KVR48U40BS8-16: 16 Gb x8,
// 2 sub-channels of 32 bits, 1 rank: 2 x 4 x 2 GB; tCK 1A0h = 416 ps, tAA 3E80h = 16 ns.
TEST(SpdDecode, Ddr3Ddr4Ddr5BoardsAndTheirPages) {
    struct Case {
        const char* board;
        size_t size;
        std::vector<std::string> lines;
    } cases[] = {
        {"ddr3-desktop",
         256,
         {"Memory type: DDR3 SDRAM", "Module type: UDIMM", "Size: 8192 MB (2 ranks)",
          "Bus width: 64 bits", "Maximum speed: DDR3-1600 (PC3-12800), tCK 1.250 ns",
          "Timings: tAA 13.125 ns, tRCD 13.125 ns, tRP 13.125 ns, tRAS 35.000 ns",
          "Manufacturer: Kingston (bank 2, code 98h)", "Part number: KVR16N11/8",
          "Serial number: 4A1B2C3D", "CRC: ok (bytes 0-116 give 500Fh, as bytes 126-127 hold)"}},
        {"ddr4-desktop",
         512,
         {"Memory type: DDR4 SDRAM", "Module type: UDIMM", "Size: 8192 MB (1 rank)",
          "Bus width: 64 bits", "Maximum speed: DDR4-2400 (PC4-19200), tCK 0.833 ns",
          "Timings: tAA 13.750 ns, tRCD 13.750 ns, tRP 13.750 ns, tRAS 32.000 ns",
          "Manufacturer: Kingston (bank 2, code 98h)", "Part number: KVR24N17S8/8",
          "Serial number: 5B6C7D8E", "CRC: ok (bytes 0-125 give FB27h, as bytes 126-127 hold)"}},
        {"ddr5-desktop",
         1024,
         {"Memory type: DDR5 SDRAM", "Module type: UDIMM", "Size: 16384 MB (1 rank)",
          "Bus width: 2 x 32 bits", "Maximum speed: DDR5-4800 (PC5-38400), tCK 0.416 ns",
          "Timings: tAA 16.000 ns, tRCD 16.000 ns, tRP 16.000 ns, tRAS 32.000 ns",
          "Manufacturer: Kingston (bank 2, code 98h)", "Part number: KVR48U40BS8-16",
          "Serial number: 6A7B8C9D", "CRC: ok (bytes 0-509 give ED6Ah, as bytes 510-511 hold)"}},
    };
    for (const Case& c : cases) {
        BoardClient b(c.board);
        SmbusPorts io(b.client(), NoSleep);
        // Leave the module on a page other than 0: the read must put it back there.
        uint8_t v = 0;
        if (c.size == 512) ASSERT_EQ(SmbusWriteByte(io, 0x400, 0x37, 0, 0, kSmbusIntel), kSmbusOk);
        if (c.size == 1024) ASSERT_EQ(SmbusWriteByte(io, 0x400, 0x50, 0x0B, 5, kSmbusIntel), 0);
        std::vector<uint8_t> spd;
        ASSERT_EQ(ReadSpd(io, 0x400, 0x50, kSmbusIntel, spd), kSmbusOk) << c.board;
        ASSERT_EQ(spd.size(), c.size);
        EXPECT_EQ(DecodeSpd(spd), c.lines) << c.board;
        std::string hex = ShippedProfile(c.board)["smbus"][0]["devices"][0]["bytes"];
        std::vector<uint8_t> want;
        for (size_t i = 0; i + 1 < hex.size(); i += 3)
            want.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
        EXPECT_EQ(spd, want);
        if (c.size == 512) {
            EXPECT_EQ(SmbusReceiveByte(io, 0x400, 0x36, v, kSmbusIntel), kSmbusDeviceError);
            EXPECT_EQ(b.board().Name(), "board ddr4-desktop");
        }
        if (c.size == 1024) {
            ASSERT_EQ(SmbusReadByte(io, 0x400, 0x50, 0x0B, v, kSmbusIntel), kSmbusOk);
            EXPECT_EQ(v, 5);
        }
        // One corrupted byte fails the CRC, and the decode says so.
        spd[20] ^= 0x40;
        std::string crc = DecodeSpd(spd).back();
        EXPECT_EQ(crc.rfind("CRC: wrong (bytes 0-", 0), 0u) << crc;
        EXPECT_FALSE(DecodeSpdFacts(spd)->crcOk());
    }
}

TEST(SmbusTool, ScanProbesSpdAddressesWithoutAWritePhase) {
    // A byte-data read of command 0 addresses 37h with a write: that alone would switch the
    // DDR4 SPDs to page 1. The scan leaves the page as it was.
    BoardClient b("ddr4-desktop");
    RecordedMessages m;
    SmbusTool tool(b.client(), m, NoSleep);
    tool.Start();
    tool.Scan();
    EXPECT_EQ(tool.found(), (std::vector<uint8_t>{0x36, 0x50, 0x57, 0x69}));
    SmbusPorts io(b.client(), NoSleep);
    uint8_t type = 0;
    ASSERT_EQ(SmbusReadByte(io, 0x400, 0x50, 2, type, kSmbusIntel), kSmbusOk);
    EXPECT_EQ(type, 0x0C);  // still page 0
    EXPECT_TRUE(m.texts.empty());
}

}  // namespace
}  // namespace kvt::test
