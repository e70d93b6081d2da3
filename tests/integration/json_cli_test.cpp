// Every --json output of korvanta-cli against its text twin, on a board through its daemon: the
// text report is rebuilt from the JSON document alone, so the document holds every fact.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/format.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

// Keys in the order the documents give them, as the text lists the fields.
using json = nlohmann::ordered_json;

std::string Hex(const json& value, int digits) {
    return Format("%0*llX", digits, static_cast<unsigned long long>(value.get<uint64_t>()));
}

struct JsonTwins : ::testing::Test {
    test::PrivateDaemon daemon;
    std::string profile = test::BoardProfile("intel-desktop");
    void SetUp() override {
        test::DaemonOptions options;
        options.board = profile;
        std::string error;
        ASSERT_TRUE(daemon.Start(options, &error)) << error;
    }
    // Runs the command as text and with --json: both end alike; returns the text and the
    // parsed document.
    std::pair<std::string, json> Twin(std::vector<std::string> args, int status = 0) {
        args.insert(args.begin(), {"--board", profile});
        test::ProcessResult text = test::RunCli(daemon.runtimeDir(), args);
        args.push_back("--json");
        test::ProcessResult doc = test::RunCli(daemon.runtimeDir(), args);
        EXPECT_EQ(text.status, status) << text.err;
        EXPECT_EQ(doc.status, status) << doc.err;
        EXPECT_EQ(doc.err, text.err);
        return {text.out, json::parse(doc.out)};
    }
};

TEST_F(JsonTwins, ProcessorReports) {
    auto [text, doc] = Twin({"report", "cpuid", "--cpu", "1"});
    EXPECT_EQ(doc["processor"], 1);
    ASSERT_GT(doc["functions"].size(), 4u);
    std::string rebuilt =
        "========================= CPUID Information==========================\r\n\r\n";
    for (const json& f : doc["functions"]) {
        rebuilt += Format("%32s\t%s\r\n", f["id"].get<std::string>().c_str(),
                          f["description"].get<std::string>().c_str());
        for (const json& line : f["explanation"]) rebuilt += line.get<std::string>() + "\r\n";
        rebuilt += "\r\n";
    }
    // The explanations end their lines in CR as well; the document's lines have no ends.
    std::erase(text, '\r');
    std::erase(rebuilt, '\r');
    EXPECT_EQ(rebuilt, text);
    // Function 0 carries the vendor in EBX, EDX, ECX.
    const json& f0 = doc["functions"][0];
    EXPECT_EQ(f0["function"], 0);
    EXPECT_EQ(f0["ebx"], 0x756E6547u);  // "Genu"

    // Registers that hold still between the two runs (no counters), two of them refused.
    std::string list = daemon.runtimeDir() + "/still.msr";
    std::ofstream(list) << "0 P5_MC_ADDR\n17 PLATFORM_ID\n1B APIC_BASE\n3A FEATURE_CONTROL\n"
                           "FE MTRRCAP\n";
    std::tie(text, doc) = Twin({"report", "msr", "--list", list});
    rebuilt = "========================= MSR Information==========================\r\n\r\n" +
              Format("%12s%12s%12s\t%s\r\n", "MSR (ECX)", "EAX", "EDX", "Description");
    size_t refused = 0;
    for (const json& m : doc["msrs"]) {
        const bool read = !m["eax"].is_null();
        refused += read ? 0 : 1;
        EXPECT_EQ(m.contains("reason"), !read);
        rebuilt +=
            Format("%12s%12s%12s\t%s\r\n", Hex(m["msr"], 8).c_str(),
                   read ? Hex(m["eax"], 8).c_str() : "N/A", read ? Hex(m["edx"], 8).c_str() : "N/A",
                   m["description"].get<std::string>().c_str());
    }
    EXPECT_EQ(rebuilt, text);
    EXPECT_GT(refused, 0u);
    EXPECT_LT(refused, doc["msrs"].size());
}

TEST_F(JsonTwins, PciReportsAndList) {
    auto [text, doc] = Twin({"report", "pci"});
    std::string rebuilt =
        "========================= All PCI Devices Information==========================\r\n\r\n";
    for (const json& f : doc["functions"]) {
        rebuilt += "  " + f["caption"].get<std::string>() + "\r\n\r\n" +
                   Format("%16s%16s\tDescription\r\n", "Offset (Hex)", "Value (Hex)");
        for (const json& r : f["registers"]) {
            rebuilt +=
                Format("%16s%16s\t%s\r\n", Hex(r["offset"], 3).c_str(), Hex(r["value"], 8).c_str(),
                       r["description"].get<std::string>().c_str());
        }
        rebuilt += "\r\n\r\n";
    }
    EXPECT_EQ(rebuilt, text);

    std::tie(text, doc) = Twin({"report", "pci", "--current", "00:1F.3"});
    const json& f = doc["function"];
    EXPECT_EQ(f["bus"], 0);
    EXPECT_EQ(f["device"], 0x1F);
    EXPECT_EQ(f["function"], 3);
    EXPECT_EQ(f["classCode"], 0x0C0500);
    rebuilt =
        "========================= Current PCI Device Information"
        "==========================\r\n\r\n" +
        f["caption"].get<std::string>() + "\r\n\r\n" +
        Format("%16s%16s\tDescription\r\n", "Offset (Hex)", "Value (Hex)");
    for (const json& r : doc["registers"]) {
        rebuilt += Format("%16s%16s\t%s\r\n", Hex(r["offset"], 3).c_str(),
                          Hex(r["value"], 8).c_str(), r["description"].get<std::string>().c_str());
    }
    EXPECT_EQ(rebuilt, text);

    std::tie(text, doc) = Twin({"pci", "list"});
    rebuilt.clear();
    for (const json& fn : doc["functions"]) {
        rebuilt += Format("%02X:%02X.%X\n", fn["bus"].get<unsigned>(), fn["device"].get<unsigned>(),
                          fn["function"].get<unsigned>());
    }
    EXPECT_EQ(rebuilt, text);
}

TEST_F(JsonTwins, PortReportsWithRefusedReads) {
    auto [text, doc] = Twin({"report", "cmos", "--bank", "72", "--size", "256"});
    EXPECT_EQ(doc["indexPort"], 0x72);
    ASSERT_EQ(doc["bytes"].size(), 256u);
    std::string rebuilt =
        "========================= CMOS View Information==========================\r\n\r\n" +
        Format("%16s%16s%16s\r\n", "Offset (Hex)", "Data (Hex)", "Data (Binary)");
    for (const json& b : doc["bytes"]) {
        std::string bits;
        for (int i = 7; i >= 0; --i) bits += (b["value"].get<unsigned>() >> i & 1) ? '1' : '0';
        rebuilt += Format("%16s%16s%16s\r\n", Hex(b["offset"], 2).c_str(),
                          Hex(b["value"], 2).c_str(), bits.c_str());
    }
    EXPECT_EQ(rebuilt, text);

    // Index mode (the two ports straight before START END), and a double word at FFFEh that
    // runs past the port space: refused.
    std::tie(text, doc) =
        Twin({"report", "groupio", "--width", "2", "--index", "72", "73", "0", "3"});
    EXPECT_EQ(doc["mode"], "index");
    EXPECT_EQ(doc["indexPort"], 0x72);
    EXPECT_EQ(doc["dataPort"], 0x73);
    rebuilt =
        "========================= Group I/O Dump ==========================\r\n\r\n"
        "Group Index I/O:\r\n\tIndex Port Address = 72h\r\n\t Data Port Address = 73h\r\n"
        "\r\n" +
        Format("%24s%16s\r\n", "Offset (Hex)", "Data (Hex)");
    for (const json& v : doc["values"]) {
        rebuilt += Format("%24s%16s\r\n", Hex(v["offset"], 2).c_str(), Hex(v["value"], 4).c_str());
    }
    EXPECT_EQ(rebuilt, text);
    std::tie(text, doc) = Twin({"report", "groupio", "FFFA", "FFFF", "--width", "4"}, 1);
    ASSERT_EQ(doc["values"].size(), 2u);
    EXPECT_EQ(doc["values"][0]["port"], 0xFFFA);
    EXPECT_EQ(text.substr(text.size() - 84),
              Format("%24s%16s\r\n%24s%16s\r\n", "FFFA", Hex(doc["values"][0]["value"], 8).c_str(),
                     "FFFE", "Failed"));
    EXPECT_TRUE(doc["values"][1]["value"].is_null());
    EXPECT_FALSE(doc["values"][1]["reason"].get<std::string>().empty());

    std::tie(text, doc) = Twin({"report", "os"});
    rebuilt =
        "========================= Operating System Information"
        "==========================\r\n\r\n";
    for (const auto& [field, detail] : doc["fields"].items()) {
        std::string value =
            detail.is_number() ? std::to_string(detail.get<int64_t>()) : detail.get<std::string>();
        rebuilt += Format("%32s\t%s\r\n", field.c_str(), value.c_str());
    }
    EXPECT_EQ(rebuilt, text);
    EXPECT_TRUE(doc["fields"]["No. of Processors"].is_number_integer());
}

TEST_F(JsonTwins, SmbusReportAndList) {
    auto [text, doc] = Twin({"report", "smbus", "--addr", "51", "--start", "F8", "--length", "8"});
    const json& c = doc["controller"];
    EXPECT_EQ(c["ioBase"], 0x400);
    EXPECT_EQ(doc["slaveAddress"], 0x51);
    std::string rebuilt =
        "========================= Current SMBUS Device Information "
        "=========================\r\n\r\n" +
        c["caption"].get<std::string>() + "\r\n\r\n" +
        Format("Smbus Device @Slave Address %02X", doc["slaveAddress"].get<unsigned>()) +
        "\r\n\r\n" + Format("%16s%16s\r\n", "#Offset (Hex)", "Value (Hex)");
    for (const json& b : doc["bytes"]) {
        // Offsets outside the range read are null with their reason, and blank in the text.
        EXPECT_EQ(b["value"].is_null(), b["offset"] < 0xF8);
        EXPECT_EQ(b.contains("reason"), b["value"].is_null());
        rebuilt += Format("%16s%16s\r\n", Hex(b["offset"], 2).c_str(),
                          b["value"].is_null() ? "" : Hex(b["value"], 2).c_str());
    }
    EXPECT_EQ(rebuilt, text);

    std::tie(text, doc) = Twin({"smbus", "list"});
    rebuilt.clear();
    for (const json& k : doc["controllers"]) {
        rebuilt += Format("%u %s %02X:%02X.%X %04X\n", k["index"].get<unsigned>(),
                          k["vendor"].get<std::string>().c_str(), k["bus"].get<unsigned>(),
                          k["device"].get<unsigned>(), k["function"].get<unsigned>(),
                          k["ioBase"].get<unsigned>());
        EXPECT_TRUE(k["kernelDriver"].is_null());
        EXPECT_TRUE(k["reason"].is_string());
    }
    EXPECT_EQ(rebuilt, text);
}

}  // namespace
}  // namespace kvt
