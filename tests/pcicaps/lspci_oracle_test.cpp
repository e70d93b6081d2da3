// `pci caps --json` through a real board daemon against lspci reading the same bytes: every
// capability's offset and ID (and an extended one's version), the power state, MSI and MSI-X
// state and sizes, and the PCI Express link's speeds and widths.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "pcicaps/caps_spaces.h"
#include "platform/format.h"
#include "support/daemon.h"
#include "support/process.h"

namespace kvt {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// What lspci shows of one capability, in the decoder's terms.
struct Seen {
    uint32_t offset = 0, id = 0, version = 0;
    bool extended = false;
    json fields = json::object();
};

// lspci names capabilities rather than numbering them; these are its headings' beginnings.
uint32_t IdOfHeading(const std::string& heading, bool extended) {
    static const std::vector<std::pair<std::string, uint32_t>> standard = {
        {"Power Management", 0x01},
        {"MSI-X:", 0x11},
        {"MSI:", 0x05},
        {"Express", 0x10},
        {"Vendor Specific", 0x09},
        {"PCI-X", 0x07},
        {"PCI Advanced Features", 0x13},
        {"Enhanced Allocation", 0x14},
        {"Subsystem:", 0x0D}};
    static const std::vector<std::pair<std::string, uint32_t>> ext = {
        {"Advanced Error Reporting", 0x01},
        {"Virtual Channel", 0x02},
        {"Device Serial Number", 0x03},
        {"Power Budgeting", 0x04},
        {"Multi-Function Virtual Channel", 0x08},
        {"Vendor Specific Information", 0x0B},
        {"Access Control Services", 0x0D},
        {"Alternative Routing-ID Interpretation", 0x0E},
        {"Address Translation Service", 0x0F},
        {"Single Root I/O Virtualization", 0x10},
        {"Physical Resizable BAR", 0x15},
        {"Latency Tolerance Reporting", 0x18},
        {"Secondary PCI Express", 0x19},
        {"Downstream Port Containment", 0x1D},
        {"L1 PM Substates", 0x1E},
        {"Precision Time Measurement", 0x1F},
        {"Designated Vendor-Specific", 0x23},
        {"Data Link Feature", 0x25},
        {"Physical Layer 16.0 GT/s", 0x26},
        {"Lane Margining at the Receiver", 0x27},
        {"Physical Layer 32.0 GT/s", 0x2A}};
    std::smatch m;
    if (std::regex_search(heading, m, std::regex("^Extended Capability ID 0x([0-9a-f]+)")))
        return uint32_t(std::stoul(m[1], nullptr, 16));
    for (const auto& [prefix, id] : extended ? ext : standard)
        if (heading.rfind(prefix, 0) == 0) return id;
    ADD_FAILURE() << "lspci heading not known to the test: " << heading;
    return 0xFFFF;
}

// Parses lspci -vvv: per function (address), its capabilities in order.
std::map<std::string, std::vector<Seen>> ParseLspci(const std::string& text) {
    std::map<std::string, std::vector<Seen>> out;
    const std::regex function("^([0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]) ");
    const std::regex cap("^\tCapabilities: \\[([0-9a-f]+)(?: v([0-9]+))?\\] (.*)$");
    const std::regex power("Status: (D[0-3](?:hot|cold)?) ");
    const std::regex msi("^MSI: Enable([+-]) Count=([0-9]+)/([0-9]+)");
    const std::regex msix("^MSI-X: Enable([+-]) Count=([0-9]+)");
    const std::regex lnkCap("LnkCap:\tPort #[0-9]+, Speed ([0-9.]+)GT/s, Width x([0-9]+)");
    const std::regex lnkSta("LnkSta:\tSpeed ([0-9.]+)GT/s[^,]*, Width x([0-9]+)");
    std::vector<Seen>* caps = nullptr;
    std::istringstream in(text);
    std::smatch m;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, m, function)) {
            caps = &out[m[1]];
        } else if (caps && std::regex_match(line, m, cap)) {
            Seen s;
            s.offset = uint32_t(std::stoul(m[1], nullptr, 16));
            s.extended = m[2].matched;
            s.version = s.extended ? uint32_t(std::stoul(m[2])) : 0;
            const std::string heading = m[3];
            s.id = IdOfHeading(heading, s.extended);
            if (std::regex_search(heading, m, msi)) {
                s.fields["enabled"] = m[1] == "+";
                s.fields["vectors_capable"] = std::stoi(m[3]);
            } else if (std::regex_search(heading, m, msix)) {
                s.fields["enabled"] = m[1] == "+";
                s.fields["table_size"] = std::stoi(m[2]);
            }
            caps->push_back(s);
        } else if (caps && !caps->empty() && line.rfind("\t\t", 0) == 0) {
            json& fields = caps->back().fields;
            if (caps->back().id == 0x01 && !caps->back().extended &&
                std::regex_search(line, m, power)) {
                // lspci calls D3hot "D3".
                fields["power_state"] = m[1] == "D3" ? "D3hot" : m[1].str();
            } else if (std::regex_search(line, m, lnkCap)) {
                fields["max_link_speed_gts"] = std::stod(m[1]);
                fields["max_link_width"] = std::stoi(m[2]);
            } else if (std::regex_search(line, m, lnkSta)) {
                fields["link_speed_gts"] = std::stod(m[1]);
                fields["link_width"] = std::stoi(m[2]);
            }
        }
    }
    return out;
}

std::string HexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) AppendFormat(text, "%02x", b);
    return text;
}

// The desktop board with the generated functions on bus 5, and the same bytes in the dump
// format of lspci -xxxx.
struct CapsBoard {
    fs::path board, dump;
};
CapsBoard WriteCapsBoard() {
    const fs::path dir = fs::path(::testing::TempDir()) / "korvanta-caps-oracle";
    fs::create_directories(dir);
    json board = json::parse(std::ifstream(test::BoardProfile("intel-desktop")));
    board["name"] = "caps-oracle";
    std::string dump;
    for (const test::PlacedSpace& p : test::AllSpaces()) {
        board["pci"]["functions"].push_back({{"address", p.address},
                                             {"express", p.space.bytes.size() == 4096},
                                             {"config", HexBytes(p.space.bytes)}});
        dump += std::string(p.address) + " Device\n";
        for (size_t at = 0; at < p.space.bytes.size(); at += 16) {
            AppendFormat(dump, "%03zx:", at);
            for (size_t i = 0; i < 16; ++i) AppendFormat(dump, " %02x", p.space.bytes[at + i]);
            dump += "\n";
        }
        dump += "\n";
    }
    CapsBoard out{dir / "caps-oracle.json", dir / "caps.dump"};
    std::ofstream(out.board) << board.dump();
    std::ofstream(out.dump) << dump;
    return out;
}

TEST(LspciOracle, CapabilitiesMatchLspciOnTheSameBytes) {
    const CapsBoard files = WriteCapsBoard();
    const fs::path boardPath = files.board, dumpPath = files.dump;
    const std::vector<test::PlacedSpace> spaces = test::AllSpaces();
    std::string lspciPath;
    for (const char* candidate : {"/usr/bin/lspci", "/usr/sbin/lspci", "/bin/lspci"})
        if (fs::exists(candidate)) lspciPath = candidate;
    ASSERT_FALSE(lspciPath.empty()) << "lspci (pciutils) is needed by this test";
    test::ProcessResult lspci = test::RunProcess({lspciPath, "-vvv", "-F", dumpPath.string()});
    ASSERT_EQ(lspci.status, 0) << lspci.err;
    const std::map<std::string, std::vector<Seen>> expected = ParseLspci(lspci.out);
    ASSERT_EQ(expected.size(), spaces.size()) << lspci.out;

    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.board = boardPath.string();
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    size_t compared = 0;
    for (const test::PlacedSpace& p : spaces) {
        SCOPED_TRACE(p.address);
        test::ProcessResult caps =
            test::RunCli(daemon.runtimeDir(),
                         {"--board", boardPath.string(), "pci", "caps", p.address, "--json"});
        ASSERT_EQ(caps.status, 0) << caps.err;
        const json got = json::parse(caps.out)["capabilities"];
        const std::vector<Seen>& want = expected.at(p.address);
        ASSERT_EQ(got.size(), want.size()) << caps.out << lspci.out;
        for (size_t i = 0; i < want.size(); ++i) {
            SCOPED_TRACE(Format("capability %zu at %03X", i, want[i].offset));
            EXPECT_EQ(got[i]["offset"], want[i].offset);
            EXPECT_EQ(got[i]["id"], want[i].id);
            EXPECT_EQ(got[i]["extended"], want[i].extended);
            for (const auto& [name, value] : want[i].fields.items()) {
                EXPECT_EQ(got[i]["fields"][name], value) << name;
                ++compared;
            }
        }
    }
    // Power state (4), MSI (3 × 2), MSI-X (2 × 2), links (3 × 4).
    EXPECT_EQ(compared, 4u + 6u + 4u + 12u);
}

TEST(CapsReport, DecodeAddsCapabilitiesAfterEachFunctionAndChangesNothingElse) {
    const CapsBoard files = WriteCapsBoard();
    test::PrivateDaemon daemon;
    std::string error;
    test::DaemonOptions options;
    options.board = files.board.string();
    ASSERT_TRUE(daemon.Start(options, &error)) << error;
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--board", files.board.string()});
        return test::RunCli(daemon.runtimeDir(), args);
    };
    test::ProcessResult plain = cli({"report", "pci"});
    test::ProcessResult decoded = cli({"report", "pci", "--decode"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(decoded.status, 0) << decoded.err;
    // Without the capability blocks the decoded report is the plain one.
    std::string stripped;
    size_t blocks = 0;
    for (size_t at = 0; at < decoded.out.size();) {
        const size_t start = decoded.out.find("\r\n  Capabilities\r\n", at);
        if (start == std::string::npos) {
            stripped += decoded.out.substr(at);
            break;
        }
        stripped += decoded.out.substr(at, start - at);
        at = decoded.out.find("\r\n\r\n\r\n", start + 2);
        ASSERT_NE(at, std::string::npos);
        at += 2;
        ++blocks;
    }
    EXPECT_EQ(stripped, plain.out);
    EXPECT_EQ(blocks, json::parse(cli({"pci", "list", "--json"}).out)["functions"].size());
    EXPECT_NE(decoded.out.find("    [70] PCI Express (ID 10h, key pcie)\r\n"
                               "        capabilities (072h) = 0002h\r\n"
                               "            version: 2\r\n"
                               "            port_type: endpoint\r\n"),
              std::string::npos);

    test::ProcessResult current =
        cli({"report", "pci", "--current", "05:03.0", "--decode", "--json"});
    ASSERT_EQ(current.status, 0) << current.err;
    const json caps = json::parse(current.out)["capabilities"];
    ASSERT_EQ(caps.size(), 2u);
    EXPECT_EQ(caps[0]["fields"]["power_state"], "D2");
    EXPECT_EQ(caps[1]["fields"]["vectors_capable"], 8);

    test::ProcessResult text = cli({"pci", "caps", "05:03.0"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("05:03.0\n"
                             "[50] Power Management (ID 01h, key pm)\n"
                             "    capabilities (052h) = 0602h\n"
                             "        version: 2\n",
                             0),
              0u)
        << text.out;
    test::ProcessResult absent = cli({"pci", "caps", "05:1F.0"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err,
              "korvanta-cli: 05:1F.0: no function answers (register 00h reads FFFFFFFFh)\n");
}

}  // namespace
}  // namespace kvt
