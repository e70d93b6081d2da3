// korvanta-cli end to end: a real daemon over a real socket, on this machine and on boards.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "hwaccess/session.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using test::RunCli;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Domain-0 functions of this machine as "BB:DD.F", in ascending order.
std::vector<std::string> SysfsFunctions() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/sys/bus/pci/devices", ec)) {
        std::string name = entry.path().filename().string();
        if (name.rfind("0000:", 0) == 0) {
            std::string f = name.substr(5);
            for (char& c : f) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            names.push_back(f);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

struct BoardCli : ::testing::Test {
    test::PrivateDaemon daemon;
    std::string dir;
    void SetUp() override {
        std::string error;
        test::DaemonOptions options;
        options.board = test::BoardProfile("intel-desktop");
        ASSERT_TRUE(daemon.Start(options, &error)) << error;
        dir = daemon.runtimeDir();
    }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", test::BoardProfile("intel-desktop")});
        return RunCli(dir, args);
    }
};

TEST_F(BoardCli, PciListAndConfigurationReadsAndWrites) {
    test::ProcessResult list = Cli({"pci", "list"});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> functions = Lines(list.out);
    ASSERT_GE(functions.size(), 4u);
    EXPECT_EQ(functions[0], "00:00.0");
    for (const std::string& f : functions) EXPECT_EQ(f.size(), 7u) << f;

    test::ProcessResult id = Cli({"pci", "read", "00:00.0", "0"});
    ASSERT_EQ(id.status, 0) << id.err;
    EXPECT_EQ(id.out, "29C08086\n");
    // An absent function reads all ones and is no failure.
    EXPECT_EQ(Cli({"pci", "read", "FF:1F.7", "0x0"}).out, "FFFFFFFF\n");
    // Extended space goes through the PCI Express window and agrees with the low dwords.
    EXPECT_EQ(Cli({"pci", "read", "00:00.0", "100"}).status, 0);

    // The command register is writable; the IDs are not.
    ASSERT_EQ(Cli({"pci", "write", "00:00.0", "4", "0x00000007"}).status, 0);
    EXPECT_EQ(Cli({"pci", "read", "00:00.0", "4"}).out.substr(4), "0007\n");
    ASSERT_EQ(Cli({"pci", "write", "00:00.0", "0", "12345678"}).status, 0);
    EXPECT_EQ(Cli({"pci", "read", "00:00.0", "0"}).out, "29C08086\n");

    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"pci", "read", "00:20.0", "0"},     // device 20h does not exist
             {"pci", "read", "00:00.8", "0"},     // function 8 does not exist
             {"pci", "read", "00:00.0", "2"},     // not a double word
             {"pci", "read", "00:00.0", "1000"},  // past the 4 KiB space
             {"pci", "read", "00:00.0"}}) {
        test::ProcessResult r = Cli(bad);
        EXPECT_EQ(r.status, 1) << bad[2] << " " << (bad.size() > 3 ? bad[3] : "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST_F(BoardCli, PortsCmosAndWidths) {
    // CMOS index/data: write the index, read the byte; bit 7 of the index is the NMI mask.
    ASSERT_EQ(Cli({"io", "write", "70", "0E"}).status, 0);
    test::ProcessResult direct = Cli({"io", "read", "71"});
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(direct.out.size(), 3u);
    ASSERT_EQ(Cli({"io", "write", "70", "8E"}).status, 0);
    EXPECT_EQ(Cli({"io", "read", "71"}).out, direct.out);

    ASSERT_EQ(Cli({"io", "write", "71", "5A"}).status, 0);
    EXPECT_EQ(Cli({"io", "read", "71"}).out, "5A\n");

    // Nothing answers at port 0x2F0: all ones at every width.
    EXPECT_EQ(Cli({"io", "read", "2F0"}).out, "FF\n");
    EXPECT_EQ(Cli({"io", "read", "2F0", "--width", "2"}).out, "FFFF\n");
    EXPECT_EQ(Cli({"io", "read", "0x2F0", "--width", "4"}).out, "FFFFFFFF\n");

    // Configuration mechanism #1 through the ports agrees with the configuration request.
    ASSERT_EQ(Cli({"io", "write", "CF8", "80000000", "--width", "4"}).status, 0);
    EXPECT_EQ(Cli({"io", "read", "CFC", "--width", "4"}).out, "29C08086\n");

    EXPECT_EQ(Cli({"io", "read", "10000"}).status, 1);
    EXPECT_EQ(Cli({"io", "read", "70", "--width", "3"}).status, 1);
    EXPECT_EQ(Cli({"io", "write", "70", "100"}).status, 1);  // does not fit a byte
}

TEST_F(BoardCli, UsageErrorsHelpAndEmptyAnswers) {
    test::ProcessResult help = Cli({"io", "read", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--width"), std::string::npos) << help.out;
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {"frobnicate"}, {"pci"}}) {
        test::ProcessResult r = Cli(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"msr", "read", "1B", "--cpu", "0x1"},
                                               {"msr", "read", "1B", "--cpu", "-1"},
                                               {"io", "read", "70", "--width", "x"},
                                               {"io", "read", "7G"}}) {
        test::ProcessResult r = Cli(args);
        EXPECT_EQ(r.status, 1) << args[3];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST(CliDriverLoading, CpuidFunctionWithoutFieldsSaysSo) {
    char pattern[] = "/tmp/korvanta-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string board = test::BoardProfile("via");
    test::ProcessResult r = RunCli(pattern, {"--board", board, "cpuid", "--function", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "CPUID function 0x0 has no fields to explain\n");
    RunCli(pattern, {"--board", board, "driver", "stop"});
}

TEST_F(BoardCli, PhysicalMemoryRoundTripAndFailures) {
    fs::path tmp = fs::path(dir).parent_path() / ("mem-" + std::to_string(getpid()));
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    {
        std::ofstream out(tmp, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    ASSERT_EQ(Cli({"mem", "write", "10000", tmp.string()}).status, 0);
    fs::path back = tmp.string() + ".back";
    test::ProcessResult read = Cli({"mem", "read", "10000", "1388", "-o", back.string()});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(ReadBytes(back), bytes);
    // To standard output as raw bytes.
    test::ProcessResult raw = Cli({"mem", "read", "10000", "4"});
    EXPECT_EQ(raw.out, std::string("\x01\x08\x0f\x16", 4));

    // Memory nothing backs fails, and leaves no half-written file behind.
    fs::path none = tmp.string() + ".none";
    test::ProcessResult bad = Cli({"mem", "read", "C0000000", "10", "-o", none.string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("at C0000000 failed"), std::string::npos) << bad.err;
    EXPECT_FALSE(fs::exists(none));
    // The message names the refused chunk, not the one after it.
    bad = Cli({"mem", "read", "BFC00000", "400100", "-o", none.string()});
    EXPECT_EQ(bad.err, "korvanta-cli: the memory read at C0000000 failed\n");
    EXPECT_FALSE(fs::exists(none));

    // On a terminal: offset, sixteen bytes, their printable characters.
    std::string command = "KORVANTA_RUNTIME_DIR=" + dir + " " + KORVANTA_CLI_BIN + " --board " +
                          test::BoardProfile("intel-desktop") + " mem read 10000 12";
    test::ProcessResult tty = test::RunProcess({"/usr/bin/script", "-qec", command, "/dev/null"});
    ASSERT_EQ(tty.status, 0) << tty.err;
    EXPECT_EQ(tty.out,
              "00010000  01 08 0F 16 1D 24 2B 32 39 40 47 4E 55 5C 63 6A  .....$+29@GNU\\cj\r\n"
              "00010010  71 78                                            qx\r\n");
    EXPECT_EQ(Cli({"mem", "read", "FFFFFFFF", "2"}).status, 1);  // runs past 4 GiB
    fs::remove(tmp);
    fs::remove(back);
}

TEST_F(BoardCli, MsrsPerProcessor) {
    test::ProcessResult bsp = Cli({"msr", "read", "1B"});
    ASSERT_EQ(bsp.status, 0) << bsp.err;
    EXPECT_EQ(bsp.out, "00000000FEE00900\n");
    EXPECT_EQ(Cli({"msr", "read", "1B", "--cpu", "3"}).out, "00000000FEE00800\n");
    // A refused MSR is a failure, not a value.
    test::ProcessResult refused = Cli({"msr", "read", "C0000103"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("refused"), std::string::npos);
    EXPECT_EQ(Cli({"msr", "read", "1B", "--cpu", "4"}).status, 1);  // the board has 4

    ASSERT_EQ(Cli({"msr", "write", "199", "0", "0A20", "--cpu", "2"}).status, 0);
    EXPECT_EQ(Cli({"msr", "read", "199", "--cpu", "2"}).out, "0000000000000A20\n");
    EXPECT_EQ(Cli({"msr", "read", "199", "--cpu", "1"}).out, "0000000000000A2A\n");
    EXPECT_EQ(Cli({"msr", "write", "FE", "0", "0"}).status, 1);  // read-only
    // All ones that the board really holds is a value, not a refusal.
    ASSERT_EQ(Cli({"msr", "write", "199", "FFFFFFFF", "FFFFFFFF"}).status, 0);
    EXPECT_EQ(Cli({"msr", "read", "199"}).out, "FFFFFFFFFFFFFFFF\n");
}

// The consumer request forms return numbers for refused requests; no command prints them.
TEST(ConsumerFormCli, RefusedRequestsPrintNoValue) {
    test::PrivateDaemon daemon;
    test::DaemonOptions options;
    options.board = test::BoardProfile("transmeta");
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", test::BoardProfile("transmeta")});
        return RunCli(daemon.runtimeDir(), args);
    };
    for (std::vector<std::string> refused :
         {std::vector<std::string>{"msr", "read", "1B"}, {"io", "read", "FFFF", "--width", "4"}}) {
        test::ProcessResult result = cli(refused);
        EXPECT_EQ(result.status, 1) << refused[0];
        EXPECT_EQ(result.out, "") << refused[0];
    }
    EXPECT_EQ(cli({"msr", "read", "19A"}).out, "0000000000000002\n");
    EXPECT_EQ(cli({"io", "write", "FFFF", "0", "--width", "2"}).status, 1);
}

TEST_F(BoardCli, DriverStatusAndStop) {
    test::ProcessResult status = Cli({"driver", "status"});
    ASSERT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("board"), std::string::npos) << status.out;
    test::ProcessResult stop = Cli({"driver", "stop"});
    EXPECT_EQ(stop.status, 0) << stop.err;
    for (int i = 0; i < 100 && daemon.Running(); ++i) usleep(20000);
    EXPECT_FALSE(daemon.Running());
    EXPECT_EQ(Cli({"driver", "status"}).status, 1);
    EXPECT_EQ(Cli({"driver", "stop"}).out, "not running\n");
}

TEST(CliDriverLoading, BoardDaemonStartsOnDemandAndOutlivesTheClient) {
    char pattern[] = "/tmp/korvanta-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string dir = pattern;
    std::string board = test::BoardProfile("nvidia-amd");
    if (!fs::exists(board)) board = test::BoardProfile("intel-desktop");
    test::ProcessResult first = RunCli(dir, {"--board", board, "pci", "list"});
    EXPECT_EQ(first.status, 0) << first.err;
    // The daemon is still there for the next command, and `driver stop` ends it.
    EXPECT_EQ(RunCli(dir, {"--board", board, "driver", "status"}).status, 0);
    EXPECT_EQ(RunCli(dir, {"--board", board, "driver", "stop"}).out, "stopped\n");
    EXPECT_EQ(RunCli(dir, {"--board", board, "driver", "status"}).status, 1);

    test::ProcessResult missing = RunCli(dir, {"--board", "no-such-board", "pci", "list"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no-such-board"), std::string::npos);
    fs::remove_all(dir);
}

TEST(CliDriverLoading, FailureIsReportedWhenNoDaemonCanBeMadeReady) {
    // A runtime folder below a plain file: no daemon can listen there.
    char pattern[] = "/tmp/korvanta-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string blocker = std::string(pattern) + "/file";
    std::ofstream(blocker) << "x";
    test::ProcessResult r =
        RunCli(blocker, {"--board", test::BoardProfile("intel-desktop"), "io", "read", "80"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error! Load driver failed!"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    fs::remove_all(pattern);
}

// This machine for real, through a private read-only host daemon.
struct HostCli : ::testing::Test {
    test::PrivateDaemon daemon;
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
        std::string error;
        test::DaemonOptions options;
        options.readOnly = true;
        ASSERT_TRUE(daemon.Start(options, &error)) << error;
    }
};

TEST_F(HostCli, PciListIsTheSysfsListOfDomainZero) {
    test::ProcessResult list = RunCli(daemon.runtimeDir(), {"pci", "list"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(Lines(list.out), SysfsFunctions());
}

TEST_F(HostCli, ConfigurationReadsMatchTheSysfsFiles) {
    std::string error;
    std::unique_ptr<HardwareSession> session = HardwareSession::Create("", &error);
    ASSERT_TRUE(session);
    // The session must reach the private daemon.
    setenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
    session = HardwareSession::Create("", &error);
    unsetenv("KORVANTA_RUNTIME_DIR");
    ASSERT_TRUE(session->LoadDriver(&error)) << error;
    DriverClient& client = session->client();
    uint32_t base = 0;
    uint8_t firstBus = 0, lastBus = 0;
    bool window = client.PcieWindow(base, firstBus, lastBus).served();
    for (const std::string& name : SysfsFunctions()) {
        std::vector<uint8_t> config = ReadBytes("/sys/bus/pci/devices/0000:" + name + "/config");
        unsigned bus = 0, dev = 0, fn = 0;
        ASSERT_EQ(std::sscanf(name.c_str(), "%x:%x.%x", &bus, &dev, &fn), 3);
        for (uint32_t off = 0; off < std::min<size_t>(config.size(), 0x100); off += 4) {
            uint32_t value = 0, expected = 0;
            std::memcpy(&expected, &config[off], 4);
            ASSERT_EQ(
                client.ReadPciConfig(0x80000000u | bus << 16 | dev << 11 | fn << 8 | off, value),
                1);
            ASSERT_EQ(value, expected) << name << " offset " << off;
        }
        if (config.size() > 0x100 && window && bus >= firstBus && bus <= lastBus) {
            std::vector<uint8_t> ext(0x1000);
            uint32_t address = base + ((bus - firstBus) << 20) + (dev << 15) + (fn << 12);
            ASSERT_EQ(client.ReadPhysicalMemory(address, ext.data(), 0x1000), 1) << name;
            EXPECT_TRUE(std::equal(config.begin(), config.end(), ext.begin())) << name;
        }
    }
    // The command line prints the same double words, extended space included.
    std::string first = SysfsFunctions().front();
    std::vector<uint8_t> config = ReadBytes("/sys/bus/pci/devices/0000:" + first + "/config");
    for (uint32_t off : {0u, 8u, 0x3Cu}) {
        uint32_t expected = 0;
        std::memcpy(&expected, &config[off], 4);
        char text[16];
        std::snprintf(text, sizeof text, "%08X\n", expected);
        char offText[8];
        std::snprintf(offText, sizeof offText, "%X", off);
        EXPECT_EQ(RunCli(daemon.runtimeDir(), {"pci", "read", first, offText}).out, text);
    }
    if (config.size() > 0x100 && window) {
        uint32_t expected = 0;
        std::memcpy(&expected, &config[0xFFC], 4);
        char text[16];
        std::snprintf(text, sizeof text, "%08X\n", expected);
        EXPECT_EQ(RunCli(daemon.runtimeDir(), {"pci", "read", first, "FFC"}).out, text);
    }
}

TEST_F(HostCli, ReadOnlyDaemonRefusesWritesAndStatusExplainsEachKind) {
    EXPECT_EQ(RunCli(daemon.runtimeDir(), {"io", "write", "80", "0"}).status, 1);
    test::ProcessResult status = RunCli(daemon.runtimeDir(), {"driver", "status"});
    ASSERT_EQ(status.status, 0) << status.err;
    for (const char* kind :
         {"ports", "PCI configuration", "PCI Express window", "physical memory", "MSRs"}) {
        EXPECT_NE(status.out.find(kind), std::string::npos) << kind << " in\n" << status.out;
    }
}

}  // namespace
}  // namespace kvt

namespace kvt {
namespace {

TEST(BoardSession, UnpinnedThreadsSpeakForProcessorZeroOfTheBoard) {
    // The transmeta board has one processor; this machine may run us on any of its own.
    test::PrivateDaemon daemon;
    test::DaemonOptions options;
    options.board = test::BoardProfile("transmeta");
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    setenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str(), 1);
    std::unique_ptr<HardwareSession> session = HardwareSession::Create(options.board, &error);
    unsetenv("KORVANTA_RUNTIME_DIR");
    ASSERT_TRUE(session) << error;
    ASSERT_TRUE(session->LoadDriver(&error)) << error;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    for (long cpu = 0; cpu < cpus; ++cpu) {
        std::thread worker([&] {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            pthread_setaffinity_np(pthread_self(), sizeof set, &set);
            CpuidRegisters vendor = session->platform().Cpuid(0, 0);
            EXPECT_EQ(vendor.ebx, 0x756E6547u) << "host processor " << cpu;  // "Genu"
        });
        worker.join();
    }
}

}  // namespace
}  // namespace kvt
