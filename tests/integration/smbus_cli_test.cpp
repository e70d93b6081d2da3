// korvanta-cli smbus commands against board daemons over their sockets.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

using test::RunCli;

struct SmbusBoard {
    test::PrivateDaemon daemon;
    std::string profile;
    bool Start(const std::string& path) {
        profile = path;
        test::DaemonOptions options;
        options.board = path;
        std::string error;
        bool ok = daemon.Start(options, &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile});
        return RunCli(daemon.runtimeDir(), args);
    }
};

TEST(SmbusCli, ListOnEveryBoard) {
    struct Case {
        const char* board;
        const char* out;
    } cases[] = {
        {"intel-desktop", "0 INTEL 00:1F.3 0400\n"},
        {"nvidia-amd", "0 NVIDIA 00:01.1 4C00\n1 NVIDIA 00:01.1 4D00\n"},
        {"via", "0 VIA 00:11.0 0400\n"},
        {"ati", "0 ATI 00:14.0 0B00\n"},
    };
    for (const Case& c : cases) {
        SmbusBoard b;
        ASSERT_TRUE(b.Start(test::BoardProfile(c.board)));
        test::ProcessResult r = b.Cli({"smbus", "list"});
        EXPECT_EQ(r.out, c.out) << c.board;
        EXPECT_EQ(r.status, 0) << c.board;
    }
    // A board without a supported controller (the PCI list of the minimal test board).
    nlohmann::json p = nlohmann::json::parse(std::ifstream(test::BoardProfile("ati")));
    p.erase("smbus");
    for (auto& f : p["pci"]["functions"])
        if (f["class"] == "0x0C0500") f["class"] = "0x0C0501";
    std::string path = std::filesystem::temp_directory_path() /
                       ("kvt-smbus-none-" + std::to_string(getpid()) + ".json");
    std::ofstream(path) << p.dump();
    SmbusBoard none;
    ASSERT_TRUE(none.Start(path));
    test::ProcessResult r = none.Cli({"smbus", "list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "korvanta-cli: No Supported SMBUS controller found!\n");
    EXPECT_NE(
        none.Cli({"driver", "status"}).out.find("SMBus: No Supported SMBUS controller found!\n"),
        std::string::npos);
    std::filesystem::remove(path);
}

TEST(SmbusCli, TransactionsReportAndErrors) {
    SmbusBoard b;
    ASSERT_TRUE(b.Start(test::BoardProfile("intel-desktop")));
    EXPECT_EQ(b.Cli({"smbus", "scan", "0"}).out, "50\n51\n57\n69\n");
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "50", "2"}).out, "08\n");
    EXPECT_EQ(b.Cli({"smbus", "write", "0", "57", "10", "--block", "A1", "B2"}).status, 0);
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "57", "10", "--block"}).out, "A1 B2\n");
    EXPECT_EQ(b.Cli({"smbus", "write", "0", "57", "20", "BEEF", "--word"}).status, 0);
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "57", "20", "--word"}).out, "BEEF\n");
    test::ProcessResult absent = b.Cli({"smbus", "read", "0", "33", "0"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.out, "");
    EXPECT_EQ(absent.err, "korvanta-cli: Error! Access Smbus device error!\n");
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "80", "0"}).status, 1);
    EXPECT_EQ(b.Cli({"report", "smbus", "--addr", "33"}).status, 1);

    test::ProcessResult report =
        b.Cli({"report", "smbus", "--addr", "51", "--start", "F8", "--length", "8"});
    ASSERT_EQ(report.status, 0) << report.err;
    std::string want =
        "========================= Current SMBUS Device Information "
        "=========================\r\n\r\n"
        "INTEL  Smbus controller 0 at PCI bus 0 device 1F function 3\r\n\r\n"
        "Smbus Device @Slave Address 51\r\n\r\n"
        "   #Offset (Hex)     Value (Hex)\r\n";
    char line[40];
    for (int p = 0xF0; p < 0x100; ++p) {
        std::snprintf(line, sizeof line, "%16X%16s\r\n", p, p < 0xF8 ? "" : "FF");
        want += line;
    }
    EXPECT_EQ(report.out, want);
}

TEST(SmbusCli, KernelDriverBoundRefusesWithoutForce) {
    std::ifstream in(test::BoardProfile("intel-desktop"));
    nlohmann::json p = nlohmann::json::parse(in);
    p["smbus"][0]["kernel_driver"] = "i2c_i801";
    std::string path = std::filesystem::temp_directory_path() /
                       ("kvt-smbus-driver-" + std::to_string(getpid()) + ".json");
    std::ofstream(path) << p.dump();
    SmbusBoard b;
    ASSERT_TRUE(b.Start(path));
    EXPECT_EQ(b.Cli({"smbus", "list"}).out, "0 INTEL 00:1F.3 0400 kernel-driver i2c_i801\n");
    test::ProcessResult refused = b.Cli({"smbus", "read", "0", "50", "0"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("kernel driver i2c_i801"), std::string::npos);
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "50", "0", "--force"}).out, "80\n");
    EXPECT_NE(b.Cli({"driver", "status"}).out.find("SMBus: 00:1F.3 INTEL kernel driver i2c_i801\n"),
              std::string::npos);
    EXPECT_NE(b.Cli({"driver", "status"})
                  .out.find("SMBus: 00:1F.3 INTEL at 0400 path: none without --force (no "
                            "/dev/i2c node for i2c_i801's adapter: the i2c-dev module is not "
                            "loaded (modprobe i2c-dev))\n"),
              std::string::npos);
    EXPECT_EQ(b.Cli({"report", "smbus"}).status, 1);
    EXPECT_NE(b.Cli({"report", "smbus", "--force"}).out.find("Smbus Device @Slave Address 50"),
              std::string::npos);
    std::filesystem::remove(path);
}

TEST(SmbusCli, KernelDriverWithAnAdapterGoesThroughIt) {
    std::ifstream in(test::BoardProfile("intel-desktop"));
    nlohmann::json p = nlohmann::json::parse(in);
    p["smbus"][0]["kernel_driver"] = "i2c_i801";
    p["smbus"][0]["i2c_dev"] = true;
    std::string path = std::filesystem::temp_directory_path() /
                       ("kvt-smbus-adapter-" + std::to_string(getpid()) + ".json");
    std::ofstream(path) << p.dump();
    SmbusBoard b;
    ASSERT_TRUE(b.Start(path));
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "50", "0"}).out, "80\n");
    EXPECT_EQ(b.Cli({"smbus", "write", "0", "57", "10", "--block", "01", "02"}).status, 0);
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "57", "10", "--block"}).out, "01 02\n");
    EXPECT_EQ(b.Cli({"smbus", "read", "0", "57", "11", "--word"}).out, "0201\n");
    test::ProcessResult nak = b.Cli({"smbus", "read", "0", "33", "0"});
    EXPECT_EQ(nak.err,
              "korvanta-cli: through /dev/i2c-0 (board adapter of i2c_i801)\n"
              "korvanta-cli: Error! Access Smbus device error!\n");
    EXPECT_NE(b.Cli({"driver", "status"})
                  .out.find("SMBus: 00:1F.3 INTEL at 0400 path: the kernel's adapter /dev/i2c-0 "
                            "(board adapter of i2c_i801)\n"),
              std::string::npos);
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace kvt
