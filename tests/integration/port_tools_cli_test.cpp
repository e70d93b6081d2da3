// CMOS, Group I/O and OS Info reports from korvanta-cli against board daemons: every board's
// banks as its profile declares them, writes with the NMI mask left clear, and entry errors.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

using test::RunCli;

// The CMOS report of a bank's profile bytes (absent banks read FFh).
std::string ExpectedCmosReport(const std::string& profileBytes, size_t size) {
    std::vector<unsigned> bytes;
    std::istringstream in(profileBytes);
    for (std::string b; in >> b;) bytes.push_back(std::stoul(b, nullptr, 16));
    if (bytes.empty()) bytes.assign(128, 0xFF);
    std::string text =
        "========================= CMOS View Information==========================\r\n\r\n"
        "    Offset (Hex)      Data (Hex)   Data (Binary)\r\n";
    for (size_t i = 0; i < size; ++i) {
        unsigned v = bytes[i % 128];  // 80h-FFh alias 00h-7Fh on every bank
        std::string bits;
        for (int b = 7; b >= 0; --b) bits += (v >> b) & 1 ? '1' : '0';
        char line[64];
        std::snprintf(line, sizeof line, "%16.2zX%16.2X%16s\r\n", i, v, bits.c_str());
        text += line;
    }
    return text;
}

struct Board {
    test::PrivateDaemon daemon;
    std::string profile;
    explicit Board(const std::string& name) : profile(test::BoardProfile(name)) {
        test::DaemonOptions options;
        options.board = profile;
        std::string error;
        EXPECT_TRUE(daemon.Start(options, &error)) << error;
    }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile});
        return RunCli(daemon.runtimeDir(), args);
    }
};

TEST(PortToolsCli, EveryBoardsCmosBanksAreItsProfileBytes) {
    for (const char* name : {"ati", "intel-desktop", "nvidia-amd", "transmeta", "via"}) {
        SCOPED_TRACE(name);
        Board board(name);
        std::ifstream file(board.profile);
        nlohmann::json cmos = nlohmann::json::parse(file)["cmos"];
        const std::pair<const char*, const char*> banks[] = {
            {"70", "bank70"}, {"72", "bank72"}, {"74", "bank74"}};
        for (const auto& [port, key] : banks) {
            std::string bytes = cmos.value(key, std::string());
            for (size_t size : {128u, 256u}) {
                test::ProcessResult r =
                    board.Cli({"report", "cmos", "--bank", port, "--size", std::to_string(size)});
                ASSERT_EQ(r.status, 0) << r.err;
                EXPECT_EQ(r.out, ExpectedCmosReport(bytes, size)) << port << " " << size;
            }
        }
        EXPECT_EQ(board.Cli({"report", "cmos"}).out,
                  ExpectedCmosReport(cmos["bank70"].get<std::string>(), 128));
        // A write to 80h-FFh reaches 00h-7Fh and leaves the NMI mask clear.
        ASSERT_EQ(board.Cli({"cmos", "write", "BF", "5A"}).status, 0);
        EXPECT_EQ(board.Cli({"cmos", "read", "0x3f"}).out, "5A\n");
        test::ProcessResult port70 = board.Cli({"io", "read", "70"});
        EXPECT_EQ(std::stoul(port70.out, nullptr, 16) & 0x80, 0u) << port70.out;
    }
}

TEST(PortToolsCli, GroupIoRangesAndEntryErrors) {
    Board board("intel-desktop");
    test::ProcessResult r =
        board.Cli({"report", "groupio", "--index", "0x72", "73", "--width", "2", "0", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "========================= Group I/O Dump ==========================\r\n\r\n"
              "Group Index I/O:\r\n\tIndex Port Address = 72h\r\n\t Data Port Address = 73h\r\n"
              "\r\n            Offset (Hex)      Data (Hex)\r\n"
              "                      00            FF5A\r\n"
              "                      02            FF01\r\n");
    r = board.Cli({"report", "groupio", "FFFE", "FFFF", "--width", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("                    FFFE"), std::string::npos);
    // A double word at FFFEh runs past the port space: written, and refused.
    r = board.Cli({"report", "groupio", "FFFE", "FFFF", "--width", "4"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("          Failed\r\n"), std::string::npos);
    EXPECT_EQ(r.err, "korvanta-cli: the driver refused 1 request\n");
    r = board.Cli({"report", "groupio", "10", "0F"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvanta-cli: Error! Start Port address is bigger than end port address!\n");
    r = board.Cli({"report", "groupio", "--index", "70", "71", "0", "100"});
    EXPECT_EQ(r.err, "korvanta-cli: Error! Offset is too long!\n");
    r = board.Cli({"cmos", "write", "100", "1"});
    EXPECT_EQ(r.err, "korvanta-cli: Input CMOS Offset Error!\n");
}

TEST(PortToolsCli, OsReports) {
    Board transmeta("transmeta");
    test::ProcessResult r = transmeta.Cli({"report", "os"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "========================= Operating System "
              "Information==========================\r\n\r\n"
              "               No. of Processors\t1\r\n"
              "                      OS Version\tMicrosoft Windows 98 SE \r\n"
              "                     Platform ID\t1\r\n"
              "                   Major Version\t4\r\n"
              "                   Minor Version\t10\r\n"
              "                    Build Number\t2222\r\n"
              "                     CSD Version\t A \r\n");
    // The host needs no daemon.
    r = RunCli("/nonexistent-korvanta-runtime", {"report", "os"});
    ASSERT_EQ(r.status, 0) << r.err;
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    EXPECT_NE(r.out.find(std::string("(Kernel ") + u.release + ")\r\n"), std::string::npos);
    EXPECT_NE(r.out.find(std::string("                  Kernel Release\t") + u.release),
              std::string::npos);
    EXPECT_EQ(r.out.find("Windows"), std::string::npos);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\t'), 11);
}

}  // namespace
}  // namespace kvt
