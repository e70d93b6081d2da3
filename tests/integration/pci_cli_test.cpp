// The PCI commands of korvanta-cli: every board's report against its golden file, the list,
// register and find commands, and this machine's report against its sysfs files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using test::RunCli;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class BoardReports : public ::testing::TestWithParam<const char*> {};

TEST_P(BoardReports, AllDevicesReportMatchesTheGoldenFile) {
    const std::string board = test::BoardProfile(GetParam());
    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.board = board;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    const fs::path out = fs::path(daemon.runtimeDir()) / "pci.log";
    test::ProcessResult result =
        RunCli(daemon.runtimeDir(), {"--board", board, "report", "pci", "-o", out.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    const fs::path golden = fs::path(KORVANTA_SOURCE_DIR) / "tests/integration/golden" /
                            (std::string("pci-") + GetParam() + ".log");
    EXPECT_TRUE(ReadFile(out) == ReadFile(golden))
        << "report differs from " << golden << "; see " << out;
}

INSTANTIATE_TEST_SUITE_P(Pci, BoardReports,
                         ::testing::Values("intel-desktop", "nvidia-amd", "ati", "via",
                                           "transmeta"));

struct PciCli : ::testing::Test {
    test::PrivateDaemon daemon;
    void SetUp() override {
        std::string error;
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        ASSERT_TRUE(daemon.Start(options, &error)) << error;
    }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", test::BoardProfile("intel-desktop")});
        return RunCli(daemon.runtimeDir(), args);
    }
};

TEST_F(PciCli, DevicesRegistersFindAndCurrentReport) {
    test::ProcessResult devices = Cli({"pci", "devices", "--filter", "pcie"});
    ASSERT_EQ(devices.status, 0) << devices.err;
    std::vector<std::string> rows = Lines(devices.out);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows.back(),
              "Ethernet controller (VendorID=10EC (Realtek Semiconductor Co., Ltd.), "
              "DeviceID=8168, Bus 2, Device 0, Function 0)");

    test::ProcessResult regs = Cli({"pci", "regs", "00:1f.3"});
    ASSERT_EQ(regs.status, 0) << regs.err;
    std::vector<std::string> lines = Lines(regs.out);
    ASSERT_EQ(lines.size(), 65u);
    EXPECT_EQ(lines[0], "Register List (82801I (ICH9 Family) SMBus Controller)");
    EXPECT_EQ(lines[1], "000\t29308086\tVendor ID (15:0), Device ID (31:16)");
    test::ProcessResult bad = Cli({"pci", "regs", "02:00.0", "--base", "auto"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "korvanta-cli: Input PCI Express memory mapped base address error!\n");

    EXPECT_EQ(Lines(Cli({"pci", "find", "10ec"}).out), std::vector<std::string>{rows.back()});
    EXPECT_EQ(Lines(Cli({"pci", "find", "8086", "2930"}).out).size(), 1u);
    EXPECT_EQ(Lines(Cli({"pci", "find", "8086"}).out).size(), 17u);
    EXPECT_EQ(Cli({"pci", "find", "xyz"}).err,
              "korvanta-cli: Input Device ID or Vendor ID Error!\n");

    test::ProcessResult current = Cli({"report", "pci", "--current", "00:1F.3"});
    ASSERT_EQ(current.status, 0) << current.err;
    std::vector<std::string> report = Lines(current.out);
    ASSERT_EQ(report.size(), 69u);
    EXPECT_EQ(report[2],
              "SMBus (VendorID=8086 (Intel Corporation), DeviceID=2930, Bus 0, Device 1F, "
              "Function 3)\r");
    EXPECT_EQ(report[4], "    Offset (Hex)     Value (Hex)\tDescription\r");
    EXPECT_EQ(Cli({"report", "pci", "--current", "09:00.0"}).status, 1);
    // Without a function: the first row, as right after Scan.
    EXPECT_EQ(Lines(Cli({"report", "pci", "--current"}).out)[2].substr(0, 12), "Host bridge ");
}

// Hexadecimal entries take a 0x prefix; an ID longer than DID/VID is refused; a read that
// fails ends the command with status 1.
TEST_F(PciCli, PrefixedEntriesLongIdsAndFailedReads) {
    EXPECT_EQ(Lines(Cli({"pci", "find", "0x10ec"}).out), Lines(Cli({"pci", "find", "10ec"}).out));
    test::ProcessResult wide = Cli({"pci", "find", "180868086"});
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(wide.out, "");
    EXPECT_EQ(wide.err, "korvanta-cli: Input Device ID or Vendor ID Error!\n");
    test::ProcessResult based = Cli({"pci", "regs", "02:00.0", "--base", "0xE0000000"});
    ASSERT_EQ(based.status, 0) << based.err;
    EXPECT_EQ(Lines(based.out).size(), 1025u);
    EXPECT_EQ(Cli({"report", "pci", "--base", "0XE0000000"}).status, 0);
    test::ProcessResult unmapped = Cli({"pci", "regs", "02:00.0", "--base", "F0000000"});
    EXPECT_EQ(unmapped.status, 1);
    EXPECT_EQ(unmapped.out, "");
    EXPECT_NE(unmapped.err.find("cannot read the configuration space of 02:00.0"),
              std::string::npos);
}

// This machine: the register values of the current-device report are the sysfs bytes.
TEST(HostPciReport, CurrentDeviceValuesAreTheSysfsBytes) {
    if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.readOnly = true;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    test::ProcessResult all = RunCli(daemon.runtimeDir(), {"report", "pci"});
    ASSERT_EQ(all.status, 0) << all.err;
    int checked = 0;
    for (const auto& entry : fs::directory_iterator("/sys/bus/pci/devices")) {
        std::string name = entry.path().filename().string();
        if (name.rfind("0000:", 0) != 0) continue;
        std::string config = ReadFile(entry.path() / "config");
        test::ProcessResult current =
            RunCli(daemon.runtimeDir(), {"report", "pci", "--current", name.substr(5)});
        ASSERT_EQ(current.status, 0) << name << current.err;
        std::vector<std::string> lines = Lines(current.out);
        // A PCI Express function outside any window this machine offers shows no registers.
        ASSERT_TRUE(lines.size() == 5u || lines.size() >= 5u + 64u) << name;
        if (lines.size() == 5u) continue;
        for (size_t row = 0; row + 5 < lines.size() && row * 4 + 4 <= config.size(); ++row) {
            uint32_t expected;
            std::memcpy(&expected, config.data() + row * 4, 4);
            char value[9];
            std::snprintf(value, sizeof value, "%08X", expected);
            ASSERT_EQ(lines[row + 5].substr(16, 16), std::string(8, ' ') + value)
                << name << " row " << row;
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

// This machine: pci regs reads a function's configuration file once for its 256 bytes, in one
// request frame (strace of the daemon).
TEST(HostPciReport, RegistersOfAFunctionInOneReadAndOneFrame) {
    if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is not installed";
    std::string name;
    for (const auto& entry : fs::directory_iterator("/sys/bus/pci/devices"))
        if (entry.path().filename().string().rfind("0000:", 0) == 0)
            name = entry.path().filename().string();
    if (name.empty()) GTEST_SKIP() << "no PCI function on this machine";
    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.readOnly = true;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    ASSERT_EQ(RunCli(daemon.runtimeDir(), {"driver", "status"}).status, 0);  // settled
    const std::string trace = daemon.runtimeDir() + "/strace.txt";
    const std::string command = "strace -qq -f -p " + std::to_string(daemon.pid()) +
                                " -e trace=openat,pread64,recvfrom,recvmsg,read -o " + trace +
                                " & echo $! > " + trace + ".pid";
    ASSERT_EQ(std::system(command.c_str()), 0);
    usleep(500 * 1000);  // attached
    test::ProcessResult regs = RunCli(daemon.runtimeDir(), {"pci", "regs", name.substr(5)});
    usleep(200 * 1000);
    std::system(("kill $(cat " + trace + ".pid); sleep 0.3").c_str());
    ASSERT_EQ(regs.status, 0) << regs.err;
    int opens = 0, reads = 0, frames = 0;
    const std::string file = "/" + name + "/config";
    for (const std::string& line : Lines(ReadFile(trace))) {
        if (line.find("openat(") != std::string::npos && line.find(file) != std::string::npos)
            ++opens;
        if (line.find("pread64(") != std::string::npos &&
            (line.find(", 256, 0)") != std::string::npos ||
             line.find(", 4096, 0)") != std::string::npos))
            ++reads;
        if (line.find("\"KTVD") != std::string::npos) ++frames;
    }
    EXPECT_LE(opens, 1);
    // The 256 bytes once (and a PCI Express function's 4 KiB through its window).
    EXPECT_GE(reads, 1);
    EXPECT_LE(reads, 2);
    // The capabilities asked on connecting and the block of 256 bytes (a PCI Express function
    // adds its window and the 4 KiB read of the window).
    EXPECT_LE(frames, 4);
    EXPECT_GE(frames, 2);
}

}  // namespace
}  // namespace kvt
