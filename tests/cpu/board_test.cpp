// The processor tools against private board daemons over their real sockets: collection on
// every processor of every board profile, the board's clock, and the command line's reports
// against the windows' models (the MSR tool's writes on a board are in the GUI tests).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "hwaccess/board_platform.h"
#include "platform/report_stream.h"
#include "support/cpu_fixtures.h"
#include "support/daemon.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_tool.h"
#include "tools/cpu/msr_tool.h"

namespace kvt {
namespace {

using nlohmann::json;

uint32_t Hex(const json& value) {
    return value.is_string()
               ? static_cast<uint32_t>(std::stoul(value.get<std::string>(), nullptr, 16))
               : value.get<uint32_t>();
}

// A board daemon and what the tools are given to reach it.
struct BoardConnection {
    test::PrivateDaemon daemon;
    std::unique_ptr<SocketTransport> transport;
    std::unique_ptr<DriverClient> client;
    std::unique_ptr<Platform> platform;

    bool Start(const std::string& profile) {
        std::string error;
        test::DaemonOptions options;
        options.board = profile;
        if (!daemon.Start(options, &error)) {
            ADD_FAILURE() << profile << ": " << error;
            return false;
        }
        transport = std::make_unique<SocketTransport>(daemon.socketDir());
        client = std::make_unique<DriverClient>(*transport, [this] { return platform->Version(); });
        platform = MakeBoardPlatform(*client);
        return true;
    }
};

// Runs the command line against a daemon's runtime folder; returns its exit status.
int RunCli(const std::string& runtimeDir, const std::string& arguments) {
    std::string command = "KORVANTA_RUNTIME_DIR='" + runtimeDir + "' '" KORVANTA_CLI_BIN "' " +
                          arguments + " 2>/dev/null";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The standard-function leaf of a profile seen by one processor (its "each" entry first).
const json* ProfileLeaf(const json& processors, uint32_t processor, uint32_t leaf,
                        const char* reg) {
    auto find = [&](const json& list) -> const json* {
        for (const json& l : list) {
            if (Hex(l.at("leaf")) == leaf && l.value("sub", 0) == 0 && l.contains(reg))
                return &l[reg];
        }
        return nullptr;
    };
    if (processors.contains("each") && processor < processors["each"].size() &&
        processors["each"][processor].contains("cpuid")) {
        if (const json* v = find(processors["each"][processor]["cpuid"])) return v;
    }
    return find(processors.at("cpuid"));
}

TEST(BoardProcessors, EveryProfileCollectsOnEveryProcessor) {
    int profiles = 0;
    std::set<uint32_t> vendors;
    for (const auto& file : std::filesystem::directory_iterator(KORVANTA_SOURCE_DIR "/boards")) {
        if (file.path().extension() != ".json") continue;
        std::ifstream in(file.path());
        json profile = json::parse(in, nullptr, false);
        if (profile.is_discarded() || !profile.contains("processors")) continue;
        const json& processors = profile["processors"];
        SCOPED_TRACE(file.path().filename().string());
        BoardConnection board;
        if (!board.Start(file.path().string())) continue;
        ++profiles;
        uint32_t count = board.platform->ProcessorCount();
        EXPECT_EQ(count, processors.value("count", 1u));
        for (uint32_t p = 0; p < count; ++p) {
            CpuidRecord record;
            test::RecordedMessages messages;
            ASSERT_EQ(CollectCpuidOnProcessor(record, p, *board.platform, messages), 1);
            const json* maxStd = ProfileLeaf(processors, p, 0, "eax");
            ASSERT_NE(maxStd, nullptr);
            EXPECT_EQ(record.highestStandard, static_cast<int32_t>(Hex(*maxStd)));
            EXPECT_EQ(record.standard.size(), Hex(*maxStd) + 1);
            CpuidRegisters expected0{Hex(*maxStd), Hex(*ProfileLeaf(processors, p, 0, "ebx")),
                                     Hex(*ProfileLeaf(processors, p, 0, "ecx")),
                                     Hex(*ProfileLeaf(processors, p, 0, "edx"))};
            EXPECT_EQ(record.vendor, CpuVendorFromRegisters(expected0));
            if (const json* ebx1 = ProfileLeaf(processors, p, 1, "ebx")) {
                EXPECT_EQ(record.standard.at(1).ebx, Hex(*ebx1)) << "processor " << p;
            }
            const json* maxExt = ProfileLeaf(processors, p, 0x80000000, "eax");
            uint32_t ext = maxExt ? Hex(*maxExt) : 0;
            EXPECT_EQ(record.highestExtended, ext > 0x80000000 ? ext : 0u);
            EXPECT_EQ(record.transmeta.empty(), record.vendor != kCpuVendorTransmeta);
            if (record.vendor == kCpuVendorTransmeta) {
                const json* maxTm = ProfileLeaf(processors, p, 0x80860000, "eax");
                ASSERT_NE(maxTm, nullptr);
                EXPECT_EQ(record.highestTransmeta, Hex(*maxTm));
                EXPECT_EQ(record.transmeta.size(), Hex(*maxTm) - 0x80860000 + 1);
            }
            vendors.insert(record.vendor);
            // Function 4 was asked for its first cache (ECX = 0).
            if (const json* c4 = ProfileLeaf(processors, p, 4, "eax")) {
                EXPECT_EQ(record.standard.at(4).eax, Hex(*c4));
            }
        }
    }
    EXPECT_GE(profiles, 1);
    // The shipped boards cover Intel, AMD, Transmeta and a VIA processor (CentaurHauls,
    // which the vendor rule leaves unrecognised).
    if (profiles >= 5) {
        EXPECT_EQ(vendors, (std::set<uint32_t>{kCpuVendorIntel, kCpuVendorAmd, kCpuVendorTransmeta,
                                               kCpuVendorUnknown}));
    }
}

TEST(BoardProcessors, CpuidToolChangesProcessor) {
    BoardConnection board;
    ASSERT_TRUE(board.Start(test::BoardProfile("intel-desktop")));
    test::RecordedMessages messages;
    CpuidTool tool(*board.platform, *board.client, messages);
    tool.Open();
    EXPECT_EQ(tool.processors().size(), 4u);
    EXPECT_TRUE(tool.processorListEnabled());
    // The board's time-stamp counter runs at its own rate, measured over a tenth of a second.
    EXPECT_TRUE(tool.clockVisible());
    double mhz = std::atof(tool.clockText().c_str());
    EXPECT_NEAR(mhz, 2666.70, 2666.70 * 0.02) << tool.clockText();
    EXPECT_EQ(tool.record().standard.at(1).ebx >> 24, 0u);
    tool.SelectProcessor(1, false);
    EXPECT_EQ(tool.record().standard.at(1).ebx >> 24, 3u);  // APIC ID of processor 1
    tool.SelectRow(1);
    EXPECT_NE(tool.registerText().find("0x03040800"), std::string::npos);
    EXPECT_TRUE(messages.messages.empty());
}

TEST(BoardProcessors, CommandLineReportsMatchTheModels) {
    BoardConnection board;
    std::string profile = test::BoardProfile("intel-desktop");
    ASSERT_TRUE(board.Start(profile));
    test::TempFolder dir;
    test::RecordedMessages messages;

    CpuidTool cpuid(*board.platform, *board.client, messages);
    cpuid.Open(false);
    cpuid.SelectProcessor(3, false);
    StringReport cpuidReport;
    cpuid.WriteReport(cpuidReport.stream());
    ASSERT_EQ(RunCli(board.daemon.runtimeDir(),
                     "--board '" + profile + "' report cpuid --cpu 3 -o " + dir.Path("cpuid.log")),
              0);
    EXPECT_EQ(test::TempFolder::ReadFile(dir.Path("cpuid.log")), cpuidReport.str());
    EXPECT_NE(cpuidReport.str().find("\r\r\n"), std::string::npos);  // decoded lines keep CR

    std::string list = KORVANTA_SOURCE_DIR "/data/hwmsreg.msr";
    MsrTool msr(*board.platform, *board.client, messages);
    msr.Open();
    msr.SelectProcessor(1);
    ASSERT_TRUE(msr.LoadFile(list));
    StringReport msrReport;
    msr.WriteReport(msrReport.stream());
    ASSERT_EQ(RunCli(board.daemon.runtimeDir(), "--board '" + profile + "' report msr --list " +
                                                    list + " --cpu 1 -o " + dir.Path("msr.log")),
              0);
    std::string cliMsr = test::TempFolder::ReadFile(dir.Path("msr.log"));
    // The time-stamp counter moves between the two reads; every other line is the same.
    auto withoutTsc = [](std::string text) {
        size_t at = text.find("00000010 ");
        if (at != std::string::npos) text.erase(at, text.find('\n', at) - at);
        return text;
    };
    EXPECT_EQ(withoutTsc(cliMsr), withoutTsc(msrReport.str()));
    EXPECT_NE(cliMsr.find("    C0000103         N/A         N/A\tTSC_AUX"), std::string::npos);

    // Unknown processors and missing lists fail with a status.
    EXPECT_NE(RunCli(board.daemon.runtimeDir(), "--board '" + profile + "' report cpuid --cpu 4"),
              0);
    EXPECT_NE(RunCli(board.daemon.runtimeDir(),
                     "--board '" + profile + "' report msr --list /nonexistent.msr"),
              0);
    EXPECT_TRUE(messages.messages.empty());
}

}  // namespace
}  // namespace kvt
