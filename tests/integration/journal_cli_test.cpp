// The write journal and undo through korvanta-cli against a board daemon: what each kind of
// write records, undo walking back and never undoing an undo, a value changed since, refusals,
// rotation, and the bounds of --last.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"
#include "protocol/driver_request.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

using test::RunCli;

class JournalCli : public ::testing::Test {
  protected:
    void Start(std::vector<std::string> extraArgs = {}) {
        test::DaemonOptions options;
        options.board = profile_;
        options.extraArgs = std::move(extraArgs);
        std::string error;
        ASSERT_TRUE(daemon_.Start(options, &error)) << error;
    }
    void SetUp() override { Start(); }
    test::ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", profile_});
        return RunCli(daemon_.runtimeDir(), args);
    }
    // Writes four bytes of memory from a file.
    void WriteMemory(const std::string& address, const std::string& bytes) {
        std::string file = daemon_.runtimeDir() + "/bytes";
        std::ofstream(file, std::ios::binary) << bytes;
        test::ProcessResult r = Cli({"mem", "write", address, file});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string Memory(const std::string& address) {
        test::ProcessResult r = Cli({"mem", "read", address, "4"});
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    nlohmann::json Writes(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"journal", "--json"});
        test::ProcessResult r = Cli(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return nlohmann::json::parse(r.out)["writes"];
    }
    std::string profile_ = test::BoardProfile("intel-desktop");
    test::PrivateDaemon daemon_;
};

TEST_F(JournalCli, RecordsEachKindWithItsOldValue) {
    ASSERT_EQ(Cli({"pci", "write", "00:1f.3", "40", "A5A5A5A5"}).status, 0);
    ASSERT_EQ(Cli({"msr", "write", "1b", "0", "fee00800"}).status, 0);
    ASSERT_EQ(Cli({"io", "write", "80", "55"}).status, 0);
    ASSERT_EQ(Cli({"cmos", "write", "e", "42"}).status, 0);
    WriteMemory("1000", "ABCD");
    nlohmann::json all = Writes();
    // The CMOS write's dump writes indexes too: those are port writes of their own.
    std::vector<nlohmann::json> w;
    for (const auto& e : all)
        if (!(e["kind"] == "port" && e["address"] == 0x70)) w.push_back(e);
    ASSERT_EQ(w.size(), 5u) << all.dump();
    for (size_t i = 1; i < w.size(); ++i) EXPECT_GT(w[i]["id"], w[i - 1]["id"]);
    EXPECT_EQ(w[0]["kind"], "pci");
    EXPECT_EQ(w[0]["address"],
              (nlohmann::json{{"bus", 0}, {"device", 31}, {"function", 3}, {"offset", 0x40}}));
    EXPECT_EQ(w[0]["width"], 4);
    EXPECT_TRUE(w[0]["old"].is_number());
    EXPECT_EQ(w[0]["new"], 0xA5A5A5A5u);
    EXPECT_EQ(w[1]["kind"], "msr");
    EXPECT_EQ(w[1]["address"], (nlohmann::json{{"msr", 0x1B}, {"processor", 0}}));
    EXPECT_EQ(w[1]["new"], 0xFEE00800u);
    EXPECT_EQ(w[2]["kind"], "port");
    EXPECT_EQ(w[2]["address"], 0x80);
    EXPECT_TRUE(w[2]["old"].is_null());  // a port read may have effects
    EXPECT_EQ(w[3]["kind"], "cmos");
    EXPECT_EQ(w[3]["address"], (nlohmann::json{{"bank", 0x70}, {"offset", 0x0E}}));
    EXPECT_EQ(w[3]["new"], 0x42);
    EXPECT_TRUE(w[3]["old"].is_number());
    EXPECT_EQ(w[4]["kind"], "memory");
    EXPECT_EQ(w[4]["address"], 0x1000);
    EXPECT_EQ(w[4]["new"], 0x44434241u);  // the bytes, least significant first
    for (const auto& e : w) {
        EXPECT_FALSE(e["user"].get<std::string>().empty());
        EXPECT_EQ(e["time"].get<std::string>().back(), 'Z');
    }
    test::ProcessResult text = Cli({"journal", "--last", "1"});
    EXPECT_NE(text.out.find(" memory 00001000 4 old="), std::string::npos) << text.out;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 1);
}

TEST_F(JournalCli, UndoWalksBackAndNeverUndoesAnUndo) {
    const std::string before = Memory("1000");
    WriteMemory("1000", "AAAA");
    WriteMemory("1000", "BBBB");
    test::ProcessResult r = Cli({"undo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Memory("1000"), "AAAA");
    ASSERT_EQ(Cli({"undo"}).status, 0);
    EXPECT_EQ(Memory("1000"), before);
    r = Cli({"undo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no write left to undo"), std::string::npos) << r.err;
    nlohmann::json w = Writes();
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[2]["undo_of"], w[1]["id"]);
    EXPECT_EQ(w[3]["undo_of"], w[0]["id"]);
    EXPECT_EQ(w[2]["old"], w[1]["new"]);
    // An undone write is not undone twice; an undo given by id is undone (the write redone).
    r = Cli({"undo", std::to_string(w[1]["id"].get<int>())});
    EXPECT_NE(r.err.find("undone already"), std::string::npos) << r.err;
    ASSERT_EQ(Cli({"undo", std::to_string(w[3]["id"].get<int>())}).status, 0);
    EXPECT_EQ(Memory("1000"), "AAAA");

    // --last N, newest first; ports cannot be undone.
    WriteMemory("1004", "CCCC");
    WriteMemory("1008", "DDDD");
    r = Cli({"undo", "--last", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2);
    ASSERT_EQ(Cli({"io", "write", "80", "1"}).status, 0);
    r = Cli({"undo"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is a port write: its old value is unknown"), std::string::npos) << r.err;
}

TEST_F(JournalCli, AValueChangedSinceIsOverwrittenOnlyWithForce) {
    WriteMemory("2000", "AAAA");
    const std::string id = std::to_string(Writes()[0]["id"].get<int>());
    WriteMemory("2000", "ZZZZ");
    test::ProcessResult r = Cli({"undo", id});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("holds 0x5A5A5A5A now, not 0x41414141 as written"), std::string::npos)
        << r.err;
    EXPECT_EQ(Memory("2000"), "ZZZZ");
    r = Cli({"undo", id, "--force"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("overwritten (--force)"), std::string::npos) << r.out;
    EXPECT_NE(Memory("2000"), "ZZZZ");
    EXPECT_NE(Memory("2000"), "AAAA");
}

TEST_F(JournalCli, CmosWriteIsOneEntryThroughItsIndexAndUndoes) {
    test::ProcessResult old = Cli({"cmos", "read", "3f"});
    ASSERT_EQ(old.status, 0) << old.err;
    ASSERT_EQ(Cli({"cmos", "write", "bf", "5a"}).status, 0);  // 80h-FFh set the NMI mask bit
    nlohmann::json w = Writes();
    nlohmann::json cmos;
    for (const auto& e : w)
        if (e["kind"] == "cmos") cmos = e;
    ASSERT_FALSE(cmos.is_null()) << w.dump();
    EXPECT_EQ(cmos["address"]["offset"], 0xBF);
    EXPECT_EQ(cmos["old"], std::stoi(old.out, nullptr, 16));
    EXPECT_EQ(std::stoul(Cli({"io", "read", "70"}).out, nullptr, 16) & 0x80, 0u);
    test::ProcessResult r = Cli({"undo", std::to_string(cmos["id"].get<int>())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Cli({"cmos", "read", "3f"}).out, old.out);
    EXPECT_EQ(std::stoul(Cli({"io", "read", "70"}).out, nullptr, 16) & 0x80, 0u);
}

TEST_F(JournalCli, ExtendedConfigurationWritesArePciWritesAndUndo) {
    // 00:1C.0 with a writable double word at 108h of its extended space.
    nlohmann::json board = nlohmann::json::parse(std::ifstream(profile_));
    for (auto& f : board["pci"]["functions"])
        if (f["address"] == "00:1C.0") f["write_masks"]["0x108"] = "ff ff ff ff";
    daemon_.Stop();
    profile_ = daemon_.runtimeDir() + "/ext-board.json";
    std::ofstream(profile_) << board.dump();
    Start();
    const std::string old = Cli({"pci", "read", "00:1c.0", "108"}).out;
    ASSERT_EQ(Cli({"pci", "write", "00:1c.0", "108", "A5A5A5A5"}).status, 0);
    ASSERT_EQ(Cli({"pci", "read", "00:1c.0", "108"}).out, "A5A5A5A5\n");
    nlohmann::json w = Writes();
    ASSERT_EQ(w.size(), 1u) << w.dump();
    EXPECT_EQ(w[0]["kind"], "pci");
    EXPECT_EQ(w[0]["address"],
              (nlohmann::json{{"bus", 0}, {"device", 0x1C}, {"function", 0}, {"offset", 0x108}}));
    EXPECT_EQ(w[0]["width"], 4);
    EXPECT_EQ(w[0]["old"], std::stoul(old, nullptr, 16));
    EXPECT_EQ(w[0]["new"], 0xA5A5A5A5u);
    test::ProcessResult r = Cli({"undo"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("(pci 00:1C.0+108: "), std::string::npos) << r.out;
    EXPECT_EQ(Cli({"pci", "read", "00:1c.0", "108"}).out, old);
    w = Writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1]["kind"], "pci");
    EXPECT_EQ(w[1]["undo_of"], w[0]["id"]);
}

TEST_F(JournalCli, SmbusWritesThroughThePortsAreSmbusWritesAndUndo) {
    const std::string old = Cli({"smbus", "read", "0", "57", "20"}).out;
    ASSERT_EQ(Cli({"smbus", "write", "0", "57", "20", "5A"}).status, 0);
    ASSERT_EQ(Cli({"smbus", "write", "0", "57", "21", "BEEF", "--word"}).status, 0);
    ASSERT_EQ(Cli({"smbus", "write", "0", "57", "40", "01", "02", "03", "--block"}).status, 0);
    std::vector<nlohmann::json> w;
    for (const auto& e : Writes())
        if (e["kind"] == "smbus") w.push_back(e);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0]["address"], (nlohmann::json{{"bus", 0},
                                               {"device", 0x1F},
                                               {"function", 3},
                                               {"base", 0x400},
                                               {"slave", 0x57},
                                               {"command", 0x20}}));
    EXPECT_EQ(w[0]["width"], 1);
    EXPECT_EQ(w[0]["old"], std::stoi(old, nullptr, 16));
    EXPECT_EQ(w[0]["new"], 0x5A);
    EXPECT_EQ(w[1]["width"], 2);
    EXPECT_EQ(w[1]["new"], 0xBEEF);
    // A block's old bytes are the device's own matter: unknown, so not undoable.
    EXPECT_EQ(w[2]["width"], 3);
    EXPECT_EQ(w[2]["new"], 0x030201);
    EXPECT_TRUE(w[2]["old"].is_null());
    EXPECT_NE(Cli({"undo", std::to_string(w[2]["id"].get<int>())}).status, 0);
    // No port write of the write transactions is journaled beside them.
    for (const auto& e : Writes())
        EXPECT_TRUE(e["kind"] == "smbus" || e["id"] < w[0]["id"]) << e.dump();
    test::ProcessResult r = Cli({"undo", std::to_string(w[0]["id"].get<int>())});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Cli({"smbus", "read", "0", "57", "20"}).out, old);
}

// A bracket its caller never closed still leaves its port writes in the journal when the
// daemon stops.
TEST_F(JournalCli, AnOpenSmbusBracketIsJournaledWhenTheDaemonStops) {
    // A bare client: nothing else of this process may come between the bracket's requests.
    SocketTransport transport(daemon_.socketDir(), true);
    DriverClient client(transport, [] { return VersionRecord{5, 1, 2600, kPlatformNt, ""}; });
    ASSERT_TRUE(client
                    .SmbusPortsBegin(PciAddress(0, 0x1F, 3), 0x400, kSmbusOpWriteByte, 0x57, 0x20,
                                     0x5A, kSmbusPortsIntel)
                    .served());
    ASSERT_TRUE(client.TryWritePort(0x400, 0xFF, 1).served());  // clears the host status
    daemon_.Stop();
    Start();
    nlohmann::json w = Writes();
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.back()["kind"], "port") << w.dump();
    EXPECT_EQ(w.back()["address"], 0x400) << w.dump();
}

// A second daemon on the same journal file leaves it to the first and says so.
TEST_F(JournalCli, ASecondDaemonLeavesTheJournalToTheFirst) {
    ASSERT_EQ(Cli({"io", "write", "80", "1"}).status, 0);
    test::PrivateDaemon second;
    test::DaemonOptions options;
    options.board = profile_;
    options.extraArgs = {"--journal", daemon_.runtimeDir() + "/journal/writes"};
    std::string error;
    ASSERT_TRUE(second.Start(options, &error)) << error;
    test::ProcessResult r = RunCli(second.runtimeDir(), {"--board", profile_, "journal"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("kept by another running daemon"), std::string::npos) << r.err;
    EXPECT_EQ(Writes().size(), 1u);
}

TEST_F(JournalCli, RotatesAndKeepsIdsIncreasingAcrossRestarts) {
    daemon_.Stop();
    Start({"--journal-limit", "3"});
    for (const char* v : {"1", "2", "3", "4", "5", "6", "7"})
        ASSERT_EQ(Cli({"io", "write", "80", v}).status, 0);
    nlohmann::json w = Writes();
    // The current file and the one before it: at most two files of three.
    ASSERT_EQ(w.size(), 4u) << w.dump();
    EXPECT_EQ(w[0]["id"], 4);
    EXPECT_EQ(w[3]["id"], 7);
    const std::string file = daemon_.runtimeDir() + "/journal/writes";
    EXPECT_TRUE(std::filesystem::exists(file + ".1"));
    daemon_.Stop();
    Start({"--journal-limit", "3"});
    ASSERT_EQ(Cli({"io", "write", "80", "8"}).status, 0);
    w = Writes({"--last", "1"});
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0]["id"], 8);
    // A torn last line (a crash while it was written) is skipped.
    daemon_.Stop();
    std::ofstream(file, std::ios::app) << "{\"id\": 9, \"ti";
    Start({"--journal-limit", "3"});
    ASSERT_EQ(Cli({"io", "write", "80", "9"}).status, 0);
    EXPECT_EQ(Writes({"--last", "1"})[0]["id"], 9);

    for (const char* bad : {"0", "20001", "-1"})
        EXPECT_NE(Cli({"journal", "--last", bad}).status, 0) << bad;
    EXPECT_NE(Cli({"undo", "abc"}).status, 0);
    EXPECT_NE(Cli({"undo", "5", "--last", "2"}).status, 0);
}

}  // namespace
}  // namespace kvt
