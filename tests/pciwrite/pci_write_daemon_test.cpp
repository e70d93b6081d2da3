// Sized configuration writes through a board daemon's real socket and korvanta-cli: the
// request's field checks, a byte write that changes its byte only, its journal entry and
// undo, status bits kept by a masked write, and `pci set` of a capability field.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "board/board_test_util.h"
#include "protocol/driver_request.h"
#include "protocol/pci_address.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

DriverRequest SizedWrite(uint32_t address, uint32_t width, uint32_t value, uint32_t domain = 0) {
    DriverRequest block;
    std::memset(&block, 0, sizeof block);
    block.configAddress = address;
    block.portWidth = width;
    block.configValue = value;
    block.ebx = domain;
    return block;
}

class PciWriteDaemon : public ::testing::Test {
  protected:
    void SetUp() override {
        test::DaemonOptions options;
        options.board = profile_;
        std::string error;
        ASSERT_TRUE(daemon_.Start(options, &error)) << error;
    }
    test::RawAnswer Call(const DriverRequest& block) {
        return test::RawExchange(daemon_.SocketPath(), test::MakeFrame(kExtWritePciConfig, block));
    }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile_});
        return test::RunCli(daemon_.runtimeDir(), args);
    }
    uint32_t Read(const std::string& function, const std::string& offset) {
        test::ProcessResult r = Cli({"pci", "read", function, offset});
        EXPECT_EQ(r.status, 0) << r.err;
        return uint32_t(std::stoul(r.out, nullptr, 16));
    }
    nlohmann::json LastWrite() {
        test::ProcessResult r = Cli({"journal", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out)["writes"].back();
    }

    std::string profile_ = test::BoardProfile("intel-desktop");
    test::PrivateDaemon daemon_;
};

TEST_F(PciWriteDaemon, RefusesEveryBadFieldAndServesAGoodOne) {
    const PciAddress smbus(0, 0x1F, 3);  // a conventional function: 256 bytes
    auto refused = [&](const DriverRequest& block) {
        test::RawAnswer a = Call(block);
        EXPECT_TRUE(a.answered);
        EXPECT_EQ(a.header.success, 0u);
        return std::string(a.payload.begin(), a.payload.end());
    };
    const uint32_t line = smbus.At(0x3C).ExtendedConfigAddress();
    for (uint32_t width : {0u, 3u, 8u, 0xFFFFFFFFu})
        EXPECT_EQ(refused(SizedWrite(line, width, 0)), "");
    EXPECT_EQ(refused(SizedWrite(smbus.At(0x3D).ExtendedConfigAddress(), 2, 0)), "");
    EXPECT_EQ(refused(SizedWrite(smbus.At(0x3E).ExtendedConfigAddress(), 4, 0)), "");
    EXPECT_EQ(refused(SizedWrite(line, 1, 0x100)), "");
    EXPECT_EQ(refused(SizedWrite(line, 2, 0x10000)), "");
    EXPECT_EQ(refused(SizedWrite(line & 0x7FFFFFFF, 1, 0)), "");  // enable bit clear
    EXPECT_EQ(refused(SizedWrite(line | 0x10000000, 1, 0)), "");  // offset 1000h and up
    EXPECT_EQ(refused(SizedWrite(line, 1, 0, 1)),
              "PCI domain 0001 is not served here (domain 0 only)");
    EXPECT_EQ(refused(SizedWrite(smbus.At(0x100).ExtendedConfigAddress(), 4, 0)),
              "00:1F.3 has no extended configuration space (offset 100h lies past its 256 bytes)");
    EXPECT_EQ(refused(SizedWrite(PciAddress(9, 0, 0, 0x3C).ExtendedConfigAddress(), 1, 0)),
              "no function 09:00.0 to write");

    // The extended space of a PCI Express function, and a byte of a conventional one.
    test::RawAnswer served = Call(SizedWrite(line, 1, 0x5A));
    ASSERT_EQ(served.header.success, 1u);
    EXPECT_EQ(served.block.edx, 1u);
    EXPECT_EQ(served.block.eax, 0x5Au);
    served = Call(SizedWrite(PciAddress(2, 0, 0, 0x108).ExtendedConfigAddress(), 4, 0));
    EXPECT_EQ(served.header.success, 1u);
    EXPECT_TRUE(daemon_.Running());
}

TEST_F(PciWriteDaemon, AByteWriteChangesItsByteAndUndoRestoresIt) {
    const uint32_t before = Read("00:1f.3", "3c");
    test::ProcessResult w = Cli({"pci", "write", "00:1f.3", "3c", "5a", "--width", "1"});
    ASSERT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, "");
    EXPECT_EQ(Read("00:1f.3", "3c"), (before & ~0xFFu) | 0x5A);
    // Interrupt Pin (3Dh) is read-only: the board ignores a byte written there.
    ASSERT_EQ(Cli({"pci", "write", "00:1f.3", "3d", "7", "--width", "1"}).status, 0);
    EXPECT_EQ(Read("00:1f.3", "3c"), (before & ~0xFFu) | 0x5A);

    nlohmann::json e = LastWrite();
    EXPECT_EQ(e["kind"], "pci");
    EXPECT_EQ(e["address"],
              (nlohmann::json{{"bus", 0}, {"device", 31}, {"function", 3}, {"offset", 0x3D}}));
    EXPECT_EQ(e["width"], 1);
    EXPECT_EQ(e["old"], (before >> 8) & 0xFF);
    ASSERT_EQ(Cli({"undo"}).status, 0);  // the write at 3Dh: nothing changed there
    test::ProcessResult undo = Cli({"undo"});
    ASSERT_EQ(undo.status, 0) << undo.err;
    EXPECT_EQ(Read("00:1f.3", "3c"), before);
    e = LastWrite();
    EXPECT_EQ(e["width"], 1);
    EXPECT_EQ(e["address"]["offset"], 0x3C);
    EXPECT_EQ(e["new"], before & 0xFF);
}

TEST_F(PciWriteDaemon, DryRunAndPlainWritesAsBefore) {
    const uint32_t before = Read("00:1f.3", "4");
    test::ProcessResult dry =
        Cli({"pci", "write", "00:1f.3", "4", "0", "--mask", "1", "--dry-run"});
    ASSERT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out,
              "00:1F.3 offset 004 width 4 (dry run: nothing written)\n"
              "old: 02800103\n"
              "new: 02800102\n"
              "protected: F9000000 (write-1-to-clear bits of status sent as 0; --clear-status "
              "writes them)\n");
    EXPECT_EQ(Read("00:1f.3", "4"), before);
    // Without the new options: a double word, offsets in steps of 4, as always.
    EXPECT_EQ(Cli({"pci", "write", "00:1f.3", "3d", "0"}).err,
              "korvanta-cli: bad offset '3d' (a multiple of 4 up to FFC)\n");
    EXPECT_EQ(Cli({"pci", "write", "00:1f.3", "3d", "1", "--width", "2"}).err,
              "korvanta-cli: offset 03D is not a multiple of the width (2)\n");
    ASSERT_EQ(Cli({"pci", "write", "00:1f.3", "40", "A5A5A5A5"}).status, 0);
    EXPECT_EQ(LastWrite()["width"], 4);
}

TEST_F(PciWriteDaemon, SetWritesACapabilityFieldByName) {
    auto aspm = [&] {
        test::ProcessResult r = Cli({"pci", "caps", "02:00.0", "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        const nlohmann::json doc = nlohmann::json::parse(r.out);
        for (const auto& cap : doc["capabilities"])
            if (cap["id"] == 0x10 && !cap["extended"]) return cap["fields"]["aspm"];
        return nlohmann::json();
    };
    test::ProcessResult set = Cli({"pci", "set", "02:00.0", "pcie.link_control.aspm=3"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(aspm(), "l0s_l1");
    nlohmann::json e = LastWrite();
    EXPECT_EQ(e["width"], 1);
    EXPECT_EQ(e["address"]["offset"], 0x80);  // link control of the capability at 70h
    ASSERT_EQ(Cli({"pci", "set", "02:00.0", "pcie.link_control.aspm=0"}).status, 0);
    EXPECT_EQ(aspm(), "disabled");

    test::ProcessResult ro = Cli({"pci", "set", "02:00.0", "pcie.link_status.link_width=1"});
    EXPECT_EQ(ro.status, 1);
    EXPECT_EQ(ro.err, "korvanta-cli: 02:00.0: pcie.link_status.link_width is read-only\n");
    test::ProcessResult wide = Cli({"pci", "set", "02:00.0", "pcie.link_control.aspm=4"});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.err,
              "korvanta-cli: 02:00.0: pcie.link_control.aspm holds 2 bits: value 4 does not fit "
              "(0 to 3)\n");
    test::ProcessResult json =
        Cli({"pci", "set", "02:00.0", "pcie.device_control.max_read_request_size=1", "--dry-run",
             "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json plan = nlohmann::json::parse(json.out);
    EXPECT_EQ(plan["offset"], 0x79);
    EXPECT_EQ(plan["width"], 1);
    EXPECT_EQ(plan["written"], false);
}

TEST(PciWriteReadOnly, AReadOnlyDaemonRefusesSizedWrites) {
    test::DaemonOptions options;
    options.board = test::BoardProfile("intel-desktop");
    options.readOnly = true;
    test::PrivateDaemon daemon;
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    test::RawAnswer a = test::RawExchange(
        daemon.SocketPath(),
        test::MakeFrame(kExtWritePciConfig,
                        SizedWrite(PciAddress(0, 0x1F, 3, 0x3C).ExtendedConfigAddress(), 1, 1)));
    EXPECT_TRUE(a.answered);
    EXPECT_EQ(a.header.success, 0u);
    test::ProcessResult r = test::RunCli(
        daemon.runtimeDir(),
        {"--board", options.board, "pci", "write", "00:1f.3", "3c", "1", "--width", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("the configuration write failed"), std::string::npos) << r.err;
}

TEST(PciWriteStatusBits, AMaskedCommandWriteLeavesTheBoardsStatusBitsSet) {
    nlohmann::json profile = test::MinimalProfile();
    profile["pci"]["functions"][0]["command"] = "0x0006";
    profile["pci"]["functions"][0]["status"] = "0xF900";
    test::PrivateDaemon daemon;
    test::DaemonOptions options;
    std::string error;
    char folder[] = "/tmp/korvanta-pciwrite-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    options.board = std::string(folder) + "/status.json";
    std::ofstream(options.board) << profile.dump();
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", options.board});
        return test::RunCli(daemon.runtimeDir(), args);
    };
    ASSERT_EQ(cli({"pci", "write", "00:00.0", "4", "0", "--mask", "4"}).status, 0);
    EXPECT_EQ(cli({"pci", "read", "00:00.0", "4"}).out, "F9000002\n");
    // Asked for: the bit is cleared, the others stay.
    ASSERT_EQ(cli({"pci", "write", "00:00.0", "4", "20000000", "--mask", "20000000"}).status, 0);
    EXPECT_EQ(cli({"pci", "read", "00:00.0", "4"}).out, "D9000002\n");
    daemon.Stop();
    std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace kvt
