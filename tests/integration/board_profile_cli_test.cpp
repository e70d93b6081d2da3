// Board profiles through the real command line and daemons: each board answers on its own
// socket, an edited profile is served at once, an idle board daemon ends, and the faults a
// profile asks for reach every command as failures, never as invented values.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::RunCli;

struct TempFolder {
    std::string path;
    TempFolder() {
        std::string pattern = fs::temp_directory_path().string() + "/korvanta-profile-XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

json IntelDesktop() {
    std::ifstream in(test::BoardProfile("intel-desktop"));
    return json::parse(in);
}

void WriteProfile(const std::string& path, const json& profile) {
    std::ofstream(path) << profile.dump(1);
}

TEST(BoardProfileCli, EachBoardHasItsSocketAndAnEditedProfileAnswersAtOnce) {
    TempFolder base;
    const std::string a = base.path + "/a.json", b = base.path + "/b.json";
    json profile = IntelDesktop();
    WriteProfile(a, profile);
    profile["pci"]["functions"][0]["device_id"] = "0x1234";
    WriteProfile(b, profile);
    auto vendorDevice = [&](const std::string& board) {
        return RunCli(base.path, {"--board", board, "pci", "read", "00:00.0", "0"}).out;
    };

    // Both daemons run under one runtime folder, each answering for its own profile.
    EXPECT_EQ(vendorDevice(a), "29C08086\n");
    EXPECT_EQ(vendorDevice(b), "12348086\n");
    EXPECT_EQ(vendorDevice(a), "29C08086\n");
    test::ProcessResult status = RunCli(base.path, {"--board", a, "driver", "status"});
    EXPECT_NE(status.out.find("profile: " + a + " ("), std::string::npos) << status.out;
    // The same as a typed record.
    json record = json::parse(RunCli(base.path, {"--board", b, "driver", "status", "--json"}).out);
    EXPECT_EQ(record["profile"], b);
    EXPECT_EQ(record["simulated"], true);
    EXPECT_EQ(record["processors"], 4);
    EXPECT_EQ(record["pcie_window"]["available"], true);
    EXPECT_EQ(record["cpuid_per_processor"], true);

    // An edit is served by the next command.
    profile["pci"]["functions"][0]["device_id"] = "0x29C1";
    WriteProfile(a, profile);
    EXPECT_EQ(vendorDevice(a), "29C18086\n");

    for (const std::string& board : {a, b})
        EXPECT_EQ(RunCli(base.path, {"--board", board, "driver", "stop"}).status, 0);
}

TEST(BoardProfileCli, AnIdleBoardDaemonEnds) {
    test::PrivateDaemon daemon;
    test::DaemonOptions options;
    options.board = test::BoardProfile("intel-desktop");
    options.extraArgs = {"--idle-exit", "300"};
    std::string error;
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    ASSERT_EQ(RunCli(daemon.runtimeDir(), {"--board", options.board, "io", "read", "80"}).status,
              0);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (daemon.Running() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(daemon.Running());
    EXPECT_FALSE(fs::exists(daemon.SocketPath()));
}

// A board whose profile refuses, or stalls, chosen requests.
struct FaultyBoard : ::testing::Test {
    TempFolder folder;
    std::string profilePath = folder.path + "/faulty.json";
    test::PrivateDaemon daemon;
    void SetUp() override {
        json profile = IntelDesktop();
        profile["faults"] = json::parse(R"([
            {"kind": "port", "first": "0x71", "every": 2},
            {"kind": "port", "first": "0x81"},
            {"kind": "pci", "first": "00:1f.3"},
            {"kind": "memory", "first": "0xF0000", "last": "0xF000F"},
            {"kind": "msr", "first": "0x1B"},
            {"kind": "msr", "first": "0x10", "action": "stall", "stall_ms": 1500}
        ])");
        WriteProfile(profilePath, profile);
        std::string error;
        test::DaemonOptions options;
        options.board = profilePath;
        ASSERT_TRUE(daemon.Start(options, &error)) << error;
    }
    test::ProcessResult Cli(std::vector<std::string> args, std::vector<std::string> env = {}) {
        args.insert(args.begin(), {KORVANTA_CLI_BIN, "--board", profilePath});
        env.push_back("KORVANTA_RUNTIME_DIR=" + daemon.runtimeDir());
        return test::RunProcess(args, env);
    }
};

TEST_F(FaultyBoard, RefusedRequestsAreFailedRowsAndPrintNoValue) {
    // Every second read of the CMOS data port fails: offsets 0 and 2.
    test::ProcessResult r = Cli({"report", "groupio", "--index", "70", "71", "0", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "korvanta-cli: the driver refused 2 requests\n");
    EXPECT_NE(r.out.find("                      00          Failed\r\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("                      01              00\r\n"), std::string::npos);
    EXPECT_NE(r.out.find("                      02          Failed\r\n"), std::string::npos);

    for (std::vector<std::string> refused : {std::vector<std::string>{"io", "read", "81"},
                                             {"io", "read", "80", "--width", "2"},
                                             {"pci", "read", "00:1F.3", "0"},
                                             {"msr", "read", "1B"},
                                             {"mem", "read", "F0008", "10"}}) {
        test::ProcessResult result = Cli(refused);
        EXPECT_EQ(result.status, 1) << refused[0] << " " << refused[2];
        EXPECT_EQ(result.out, "") << refused[0] << " " << refused[2];
        // A refusal is said as such, with no other reason added.
        EXPECT_EQ(result.err.find('('), std::string::npos) << result.err;
    }
    // Neighbours of a fault are served.
    EXPECT_EQ(Cli({"io", "read", "80"}).status, 0);
    EXPECT_EQ(Cli({"pci", "read", "00:1F.0", "0"}).status, 0);
    EXPECT_EQ(Cli({"msr", "read", "1A0"}).status, 0);
}

TEST_F(FaultyBoard, AStalledRequestEndsAtTheClientsTimeLimit) {
    auto start = std::chrono::steady_clock::now();
    test::ProcessResult r = Cli({"msr", "read", "10"}, {"KORVANTA_TIME_LIMIT_MS=300"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "korvanta-cli: the MSR read failed (the daemon did not answer within 300 ms)\n");
    EXPECT_LT(took, std::chrono::milliseconds(1400));
    // Once the stall is over the daemon serves again.
    EXPECT_EQ(Cli({"io", "read", "80"}).status, 0);
}

}  // namespace
}  // namespace kvt
