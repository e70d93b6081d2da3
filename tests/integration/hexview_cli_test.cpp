// `mem dump`, `hex find` and `hex patch` end to end: a board daemon for the dumps, real
// files for the editor commands, and a save killed halfway.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/format.h"
#include "support/cpu_fixtures.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using test::RunCli;
using test::TempFolder;

struct HexCli : ::testing::Test {
    test::PrivateDaemon daemon;
    TempFolder tmp;
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

TEST_F(HexCli, MemDumpSavesTheBoardsBytesOrNothing) {
    // The board's video BIOS starts 55 AA 80 EB 4B; "IBM" at 1Eh.
    test::ProcessResult dump = Cli({"mem", "dump", "0xC0000", "21"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.out.size(), 0x21u);
    EXPECT_EQ(dump.out.substr(0, 5), std::string("\x55\xAA\x80\xEB\x4B", 5));
    EXPECT_EQ(dump.out.substr(0x1E, 3), "IBM");
    // Across a 4 MiB chunk: the same bytes `mem read` gives.
    std::string out = tmp.Path("dump.bin");
    // Into a hole at C0000000: the bytes before it are kept, and the status says it failed.
    ASSERT_EQ(Cli({"mem", "dump", "BFF00000", "400010", "-o", out}).status, 1);
    EXPECT_EQ(TempFolder::ReadFile(out), Cli({"mem", "read", "BFF00000", "100000"}).out);
    ASSERT_EQ(Cli({"mem", "dump", "100000", "400010", "-o", out}).status, 0);
    EXPECT_EQ(TempFolder::ReadFile(out), Cli({"mem", "read", "100000", "400010"}).out);

    struct Case {
        std::vector<std::string> args;
        std::string err;
    } failures[] = {
        {{"C0000", "0"}, "No Data To Save!"},
        {{"C0000", "123456789"}, "Input Memory Size Error!"},
        {{"FFFFFFF0", "11"}, "Input Memory Size Error!"},
        {{"C0000G", "1"}, "Input Memory Address Error!"},
        // Past 4 GiB: the board's memory lies below, so the read is refused, not cut to 32 bits.
        {{"100000000", "10"}, "Error! Read physical memory failed at 100000000!"},
        {{"FFFFFFFF00000000", "10"},
         "the range runs past FFFFFFFEFFFFFFFF, the last address a memory request reaches"},
    };
    for (const Case& c : failures) {
        std::string target = tmp.Path("fail.bin");
        test::ProcessResult r = Cli({"mem", "dump", c.args[0], c.args[1], "-o", target});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "korvanta-cli: " + c.err + "\n") << c.args[0];
        EXPECT_FALSE(fs::exists(target));
    }
}

// The output of korvanta-cli with a terminal as standard output, line ends as written.
std::string OnTerminal(const std::string& runtimeDir, std::vector<std::string> args) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no terminal";
    args.insert(args.begin(), KORVANTA_CLI_BIN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(slave, STDOUT_FILENO);
        close(master);
        close(slave);
        setenv("KORVANTA_RUNTIME_DIR", runtimeDir.c_str(), 1);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(slave);
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) out.append(buffer, n);
    close(master);
    waitpid(pid, nullptr, 0);
    std::string text;
    for (char c : out) {
        if (c != '\r') text += c;
    }
    return text;
}

TEST_F(HexCli, MemDumpKeepsTheBytesBeforeARefusalSkipsHolesOnRequestAndShowsATerminalLines) {
    // A refusal part-way: the bytes before it are saved, with the message and status 1.
    std::string out = tmp.Path("part.bin");
    test::ProcessResult r = Cli({"mem", "dump", "9F000", "2000", "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvanta-cli: Error! Read physical memory failed at 000A0000!\n");
    EXPECT_EQ(TempFolder::ReadFile(out), Cli({"mem", "read", "9F000", "1000"}).out);
    // --skip-holes reads the BIOS area whole: the refused pages are zeros, listed once.
    r = Cli({"mem", "dump", "9F000", "22000", "--skip-holes", "-o", out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "korvanta-cli: 000A0000-000BFFFF refused, filled with 00h\n");
    std::string whole = TempFolder::ReadFile(out);
    ASSERT_EQ(whole.size(), 0x22000u);
    EXPECT_EQ(whole.substr(0, 0x1000), Cli({"mem", "read", "9F000", "1000"}).out);
    EXPECT_EQ(whole.substr(0x1000, 0x20000), std::string(0x20000, '\0'));
    EXPECT_EQ(whole.substr(0x21000), Cli({"mem", "read", "C0000", "1000"}).out);
    // On a terminal: the lines `mem read` shows, not raw bytes.
    const std::vector<std::string> board = {"--board", test::BoardProfile("intel-desktop")};
    auto args = [&](std::vector<std::string> a) {
        a.insert(a.begin(), board.begin(), board.end());
        return a;
    };
    std::string lines = OnTerminal(daemon.runtimeDir(), args({"mem", "dump", "C0000", "21"}));
    EXPECT_EQ(lines, OnTerminal(daemon.runtimeDir(), args({"mem", "read", "C0000", "21"})));
    EXPECT_EQ(lines.substr(0, 24), "000C0000  55 AA 80 EB 4B");
}

TEST(HexFileCli, FindEqualsAPlainScanAndPatchTypesBytes) {
    TempFolder tmp;
    setenv("XDG_STATE_HOME", tmp.Path("state").c_str(), 1);  // the save journals
    std::mt19937 random(7);
    std::string data(300000, '\0');
    for (char& c : data) c = "aAbB\x00\xFF"[random() % 6];
    std::string path = tmp.Path("data.bin");
    TempFolder::WriteFile(path, data);
    chmod(path.c_str(), 0444);  // searching reads the file in place

    auto scan = [&](const std::string& pattern, bool fold) {
        std::string expected;
        auto low = [&](char c) { return fold ? static_cast<char>(std::tolower(c)) : c; };
        for (size_t i = 0; i + pattern.size() <= data.size(); ++i) {
            bool match = true;
            for (size_t k = 0; k < pattern.size() && match; ++k)
                match = low(data[i + k]) == low(pattern[k]);
            if (match) expected += Format("%08zX\n", i);
        }
        return expected;
    };
    test::ProcessResult r = RunCli("", {"hex", "find", path, "aaBa", "--text", "--all"});
    EXPECT_EQ(r.out, scan("aaBa", false));
    r = RunCli("", {"hex", "find", path, "aaBa", "--text", "--ignore-case", "--all"});
    EXPECT_EQ(r.out, scan("aaba", true));
    EXPECT_EQ(RunCli("", {"hex", "find", path, "FF00ff", "--all"}).out,
              scan(std::string("\xFF\x00\xFF", 3), false));
    r = RunCli("", {"hex", "find", path, "F00FF"});  // odd: 0F 00 FF
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvanta-cli: String not found!\n");
    r = RunCli("", {"hex", "find", path, "xyz"});
    EXPECT_EQ(r.err, "korvanta-cli: Input data invalid!\n");
    EXPECT_EQ(r.out, "");

    std::string edit = tmp.Path("edit.bin");
    TempFolder::WriteFile(edit, "0123456789");
    EXPECT_EQ(RunCli("", {"hex", "patch", edit, "4", "4142"}).status, 0);
    EXPECT_EQ(TempFolder::ReadFile(edit), "0123AB6789");
    r = RunCli("", {"hex", "patch", edit, "9", "4142"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(TempFolder::ReadFile(edit), "0123AB6789");
    r = RunCli("", {"hex", "patch", tmp.Path(""), "0", "00"});  // a folder
    EXPECT_EQ(r.err, "korvanta-cli: Error! Open File Error!\n");
    if (geteuid() != 0) {  // root may write a read-only file
        r = RunCli("", {"hex", "patch", path, "0", "00"});
        EXPECT_EQ(r.err, "korvanta-cli: Error! Open File Error!\n");
    }
}

TEST(HexFileCli, ASaveKilledHalfwayLeavesTheOldOrTheNewFile) {
    TempFolder tmp;
    setenv("XDG_STATE_HOME", tmp.Path("state").c_str(), 1);  // the save journals
    std::string path = tmp.Path("big.bin");
    const std::string old(24 << 20, 'o');
    std::string fresh = old;
    fresh[fresh.size() - 1] = 'N';
    for (int delayUs : {0, 2000, 5000, 10000, 20000, 40000, 80000}) {
        TempFolder::WriteFile(path, old);
        pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", tmp.Path("").c_str(), 1);  // its private folder dies with the test's
            execl(KORVANTA_CLI_BIN, KORVANTA_CLI_BIN, "hex", "patch", path.c_str(), "17FFFFF", "4E",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        usleep(static_cast<useconds_t>(delayUs));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        std::string now = TempFolder::ReadFile(path);
        EXPECT_TRUE(now == old || now == fresh) << "killed after " << delayUs << " us";
    }
}

}  // namespace
}  // namespace kvt
