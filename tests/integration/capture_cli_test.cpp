// board capture and board diff end to end: a machine captured through a real daemon, the
// capture served by a second daemon, and the reports of both compared byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using test::ProcessResult;
using test::RunCli;

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Drops the report lines whose first word, read as hexadecimal and masked, is one of `skip`.
std::string WithoutVolatile(const std::string& report, const std::set<uint64_t>& skip,
                            uint64_t mask) {
    std::istringstream in(report);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        char* end = nullptr;
        uint64_t v = first.empty() ? 0 : std::strtoull(first.c_str(), &end, 16);
        if (end && *end == '\0' && skip.count(v & mask)) continue;
        out += line + "\n";
    }
    return out;
}

// Drops the CPUID report blocks that carry the APIC ID of the core a processor runs on: a
// hypervisor may pass the host core's ID through, which changes as it moves the processor.
std::string WithoutApicIds(const std::string& report) {
    static const std::set<std::string> blocks = {"Standard Function 1", "Standard Function 11",
                                                 "Standard Function 31", "Ex-Function 0x8000001e"};
    std::istringstream in(report);
    std::string out;
    bool skipping = false;
    for (std::string line; std::getline(in, line);) {
        size_t from = line.find_first_not_of(' ');
        if (from != std::string::npos && line.find('\t', from) != std::string::npos &&
            (line.compare(from, 9, "Standard ") == 0 || line.compare(from, 3, "Ex-") == 0)) {
            skipping = blocks.count(line.substr(from, line.find('\t', from) - from)) != 0;
        }
        if (!skipping) out += line + "\n";
    }
    return out;
}

class Replay {
  public:
    // Starts a daemon on the captured profile; `source` is the daemon the capture came from
    // (empty board: the host).
    void Capture(const std::string& runtimeDir, const std::string& board) {
        sourceDir = runtimeDir;
        sourceBoard = board;
        profile =
            fs::path(::testing::TempDir()) / ("capture-" + std::to_string(getpid()) + ".json");
        ProcessResult r = Source({"board", "capture", "-o", profile.string()});
        ASSERT_EQ(r.status, 0) << r.err;
        json = nlohmann::json::parse(ReadText(profile));
        std::string error;
        test::DaemonOptions options;
        options.board = profile.string();
        ASSERT_TRUE(serveDaemon.Start(options, &error)) << error;
        for (const auto& m : json["processors"]["msrs"])
            if (m.value("volatile", false))
                volatileMsrs.insert(std::stoull(m["msr"].get<std::string>(), nullptr, 16));
        if (json.contains("cmos"))
            for (size_t i = 0; i + 1 < json["cmos"]["volatile"].get<std::string>().size(); i += 3)
                volatileCmos.insert(std::stoull(
                    json["cmos"]["volatile"].get<std::string>().substr(i, 2), nullptr, 16));
    }
    ~Replay() { fs::remove(profile); }

    ProcessResult Source(std::vector<std::string> args) {
        if (!sourceBoard.empty()) args.insert(args.begin(), {"--board", sourceBoard});
        return RunCli(sourceDir, args);
    }
    ProcessResult Served(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile.string()});
        return RunCli(serveDaemon.runtimeDir(), args);
    }
    // Both reports succeed and agree once volatile rows are dropped.
    void ExpectSame(const std::vector<std::string>& args, const std::set<uint64_t>& skip = {},
                    uint64_t mask = ~0ull) {
        ProcessResult a = Source(args), b = Served(args);
        std::string what = args[0] + " " + (args.size() > 1 ? args[1] : "");
        ASSERT_EQ(a.status, 0) << what << ": " << a.err;
        ASSERT_EQ(b.status, 0) << what << ": " << b.err;
        EXPECT_FALSE(a.out.empty()) << what;
        EXPECT_EQ(WithoutVolatile(a.out, skip, mask), WithoutVolatile(b.out, skip, mask)) << what;
    }

    std::string sourceDir, sourceBoard;
    fs::path profile;
    nlohmann::json json;
    test::PrivateDaemon serveDaemon;
    std::set<uint64_t> volatileMsrs, volatileCmos;
};

std::string MsrList() {
    return std::string(KORVANTA_SOURCE_DIR) + "/data/hwmsreg.msr";
}

// Every report of a board with every device model replays unchanged from its capture.
TEST(BoardCapture, EveryReportOfACapturedBoardIsTheBoards) {
    for (const char* name : {"intel-desktop", "nvidia-amd"}) {
        SCOPED_TRACE(name);
        test::PrivateDaemon source;
        std::string error;
        test::DaemonOptions options;
        options.board = test::BoardProfile(name);
        ASSERT_TRUE(source.Start(options, &error)) << error;
        Replay replay;
        replay.Capture(source.runtimeDir(), options.board);
        const auto& p = replay.json;
        EXPECT_EQ(p["pci"].contains("ecam"), std::string(name) == "intel-desktop");
        ASSERT_TRUE(p.contains("smbus"));
        EXPECT_TRUE(replay.volatileMsrs.count(0x10));

        uint32_t count = p["processors"]["count"].get<uint32_t>();
        for (uint32_t cpu : {0u, count - 1}) {
            replay.ExpectSame({"report", "cpuid", "--cpu", std::to_string(cpu)});
            replay.ExpectSame({"report", "msr", "--list", MsrList(), "--cpu", std::to_string(cpu)},
                              replay.volatileMsrs);
        }
        replay.ExpectSame({"report", "pci"});
        replay.ExpectSame({"report", "pci", "--current", "00:00.0"});
        replay.ExpectSame({"report", "cmos"}, replay.volatileCmos, 0x7F);
        replay.ExpectSame({"report", "cmos", "--size", "256"}, replay.volatileCmos, 0x7F);
        replay.ExpectSame({"report", "groupio", "--index", "70", "71", "0", "7F"},
                          replay.volatileCmos, 0x7F);
        replay.ExpectSame({"report", "groupio", "80", "8F"});
        replay.ExpectSame({"report", "smbus"});
        replay.ExpectSame({"smbus", "scan", "0"});
        replay.ExpectSame({"report", "os"});
        // Two captures of one machine differ only in volatile values.
        ProcessResult again = replay.Source({"board", "capture"});
        ASSERT_EQ(again.status, 0) << again.err;
        fs::path second = replay.profile.string() + ".2";
        std::ofstream(second) << again.out;
        ProcessResult diff =
            RunCli("", {"board", "diff", replay.profile.string(), second.string()});
        EXPECT_EQ(diff.status, 0) << diff.err;
        EXPECT_EQ(diff.out.substr(0, 14), "0 differences ") << diff.out;
        fs::remove(second);
    }
}

// This machine (PCI through sysfs, CPUID in-process) through a real host daemon.
TEST(BoardCapture, HostCaptureReplaysPciAndCpuid) {
    if (geteuid() != 0) GTEST_SKIP() << "the host daemon needs root";
    test::PrivateDaemon host;
    std::string error;
    test::DaemonOptions options;
    options.readOnly = true;
    ASSERT_TRUE(host.Start(options, &error)) << error;
    Replay replay;
    replay.Capture(host.runtimeDir(), "");
    ASSERT_FALSE(replay.json["pci"]["functions"].empty());
    replay.ExpectSame({"report", "pci"});
    std::string first = replay.json["pci"]["functions"][0]["address"].get<std::string>();
    replay.ExpectSame({"report", "pci", "--current", first});
    uint32_t count = replay.json["processors"]["count"].get<uint32_t>();
    for (uint32_t cpu : {0u, count - 1}) {
        std::vector<std::string> args = {"report", "cpuid", "--cpu", std::to_string(cpu)};
        ProcessResult a = replay.Source(args), b = replay.Served(args);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_NE(WithoutApicIds(a.out).find("Standard Function 0"), std::string::npos);
        EXPECT_EQ(WithoutApicIds(a.out), WithoutApicIds(b.out));
    }
    // What the read-only daemon refused is named in the profile.
    EXPECT_NE(replay.json.value("note", "").find("CMOS"), std::string::npos);
}

TEST(BoardDiff, NamesEachChangedRegisterAndSkipsVolatileValues) {
    nlohmann::json a = nlohmann::json::parse(ReadText(test::BoardProfile("via")));
    a["processors"]["msrs"] = {{{"msr", "0x10"}, {"value", "0x1"}, {"volatile", true}},
                               {{"msr", "0x1B"}, {"value", "0xFEE00900"}}};
    a["cmos"]["volatile"] = "00";
    nlohmann::json b = a;
    b["processors"]["msrs"][0]["value"] = "0x2";
    b["processors"]["msrs"][1]["access"] = "refused";
    b["cmos"]["bank70"] = "01" + a["cmos"]["bank70"].get<std::string>().substr(2);
    b["pci"]["functions"][0]["config"] = "8680";  // a written vendor ID over the fields
    b["pci"]["functions"].erase(b["pci"]["functions"].size() - 1);
    fs::path pa = fs::path(::testing::TempDir()) / "diff-a.json";
    fs::path pb = fs::path(::testing::TempDir()) / "diff-b.json";
    std::ofstream(pa) << a.dump();
    std::ofstream(pb) << b.dump();

    ProcessResult text = RunCli("", {"board", "diff", pa.string(), pb.string()});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("processor 0 MSR 0000001Bh: 00000000FEE00900 -> refused\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("register 0h: absent -> 8086\n"), std::string::npos) << text.out;
    std::string last = a["pci"]["functions"].back()["address"].get<std::string>();
    EXPECT_NE(text.out.find("pci " + last + ": present -> absent\n"), std::string::npos);
    EXPECT_EQ(text.out.find("MSR 00000010h"), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("cmos bank70 offset 0h"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("(2 volatile values skipped)"), std::string::npos) << text.out;

    ProcessResult json = RunCli("", {"board", "diff", "--json", pa.string(), pb.string()});
    ASSERT_EQ(json.status, 0) << json.err;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["count"].get<size_t>(), doc["differences"].size());
    EXPECT_EQ(doc["count"].get<size_t>() + 1,
              size_t(std::count(text.out.begin(), text.out.end(), '\n')));
    EXPECT_EQ(doc["skipped_volatile"], 2);
    bool found = false;
    for (const auto& d : doc["differences"])
        if (d["item"] == last) found = d["b"].is_null() && d["a"] == "present";
    EXPECT_TRUE(found) << json.out;

    EXPECT_EQ(RunCli("", {"board", "diff", pa.string(), "/nonexistent.json"}).status, 1);
    fs::remove(pa);
    fs::remove(pb);
}

// Writes made between two captures are named by the fields they changed: a PCI Express
// field through `pci set`, an MSR bit, a CPUID bit; a capability that went away is named
// alone, without its fields.
TEST(BoardDiff, NamesTheDecodedFieldsThatChanged) {
    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.board = test::BoardProfile("intel-desktop");
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", options.board});
        return RunCli(daemon.runtimeDir(), args);
    };
    fs::path dir = fs::path(::testing::TempDir());
    fs::path pa = dir / "fields-a.json", pb = dir / "fields-b.json", pc = dir / "fields-c.json";
    ASSERT_EQ(cli({"board", "capture", "-o", pa.string()}).status, 0);
    ASSERT_EQ(cli({"pci", "set", "00:1c.0", "pcie.link_control.aspm=3"}).status, 0);
    ProcessResult misc = cli({"msr", "read", "1a0"});
    ASSERT_EQ(misc.status, 0) << misc.err;
    uint64_t value = std::stoull(misc.out, nullptr, 16) ^ 1;  // fast strings
    char edx[9], eax[9];
    std::snprintf(edx, sizeof edx, "%08X", unsigned(value >> 32));
    std::snprintf(eax, sizeof eax, "%08X", unsigned(value));
    ASSERT_EQ(cli({"msr", "write", "1a0", edx, eax}).status, 0);
    ProcessResult b = cli({"board", "capture"});
    ASSERT_EQ(b.status, 0) << b.err;
    nlohmann::json profile = nlohmann::json::parse(b.out);
    for (auto& leaf : profile["processors"]["cpuid"])
        if (std::stoul(leaf["leaf"].get<std::string>(), nullptr, 16) == 1)
            leaf["ecx"] = "0x0";  // no SSE3 and none of the others
    std::ofstream(pb) << profile.dump();

    ProcessResult text = RunCli("", {"board", "diff", pa.string(), pb.string()});
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char* line :
         {"register 50h: 10110000 -> 10110003\n    pcie.link_control.aspm: disabled -> l0s_l1\n",
          "MSR 000001A0h: ", "\n    Fast-strings enable: 1 -> 0\n",
          "CPUID 00000001h ECX: 0000E3BD -> 00000000\n    Streaming SIMD Extensions (SSE3): 1 -> "
          "0\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
    ProcessResult json = RunCli("", {"board", "diff", "--json", pa.string(), pb.string()});
    ASSERT_EQ(json.status, 0) << json.err;
    bool found = false;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    for (const auto& d : doc["differences"])
        if (d["field"] == "register 50h")
            found = d["fields"] == nlohmann::json::parse(
                                       R"([{"name": "pcie.link_control.aspm", "a": "disabled",
                                            "b": "l0s_l1"}])");
    EXPECT_TRUE(found) << json.out;

    // Without the capability pointer the standard capabilities are gone, each named once.
    for (auto& f : profile["pci"]["functions"])
        if (f["address"] == "00:1c.0")
            f["config"] = f["config"].get<std::string>().replace(2 * 0x34, 2, "00");
    std::ofstream(pc) << profile.dump();
    text = RunCli("", {"board", "diff", pb.string(), pc.string()});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("register 34h: 00000040 -> 00000000\n    pcie: PCI Express at 40h -> "
                            "absent\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("pcie.link"), std::string::npos) << text.out;
    fs::remove(pa);
    fs::remove(pb);
    fs::remove(pc);
}

// Diff compares what the boards serve: an override that gives only a value leaves a refused
// MSR refused, and one that gives access read-write serves it again.
TEST(BoardDiff, ReadsEachProcessorsMsrsAsTheBoardServesThem) {
    nlohmann::json a = nlohmann::json::parse(ReadText(test::BoardProfile("via")));
    a["processors"]["msrs"] = {{{"msr", "0x1B"}, {"value", "0x5"}, {"access", "refused"}}};
    a["processors"]["each"] = {{{"msrs", {{{"msr", "0x1B"}, {"value", "0x6"}}}}}};
    nlohmann::json b = a;
    b["processors"]["each"][0]["msrs"][0]["access"] = "read-write";
    fs::path pa = fs::path(::testing::TempDir()) / "diff-msr-a.json";
    fs::path pb = fs::path(::testing::TempDir()) / "diff-msr-b.json";
    std::ofstream(pa) << a.dump();
    std::ofstream(pb) << b.dump();
    ProcessResult text = RunCli("", {"board", "diff", pa.string(), pb.string()});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "processor 0 MSR 0000001Bh: refused -> 0000000000000006\n1 difference\n");
    fs::remove(pa);
    fs::remove(pb);
}

}  // namespace
}  // namespace kvt
