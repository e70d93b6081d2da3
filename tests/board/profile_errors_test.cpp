// A bad profile is refused with one message naming the file and the field, never a crash.
#include <functional>

#include "tests/board/board_test_util.h"

namespace kvt::test {
namespace {

using nlohmann::json;

struct BadCase {
    const char* expected;  // the whole message must contain this
    std::function<void(json&)> change;
};

// One SMBus controller on the given function, its base in register 10h.
json SmbusEntry(const char* function, const char* model, json devices) {
    return json::array({{{"function", function},
                         {"base_register", "0x10"},
                         {"model", model},
                         {"devices", std::move(devices)}}});
}

TEST(BoardProfileErrors, EachBadValueIsNamed) {
    const BadCase cases[] = {
        {"test.json: computer: missing", [](json& p) { p.erase("computer"); }},
        {"test.json: procesors: unknown field", [](json& p) { p["procesors"] = 1; }},
        {"name: must be lower-case", [](json& p) { p["name"] = "Big Board"; }},
        {"computer: longer than 15", [](json& p) { p["computer"] = "A-VERY-LONG-COMPUTER-NAME"; }},
        {"processors.count: must be at least 1", [](json& p) { p["processors"]["count"] = 0; }},
        {"processors.count: must be at most 0x40", [](json& p) { p["processors"]["count"] = 65; }},
        {"processors.tsc_hz: must not be negative",
         [](json& p) { p["processors"]["tsc_hz"] = -5; }},
        {"processors.tsc_hz: must be a number", [](json& p) { p["processors"]["tsc_hz"] = 2.5e9; }},
        {"processors.cpuid[1].leaf: must be a number",
         [](json& p) { p["processors"]["cpuid"][1]["leaf"] = "0xZZ"; }},
        {"processors.cpuid[1].eax: must be at most 0xFFFFFFFF",
         [](json& p) { p["processors"]["cpuid"][1]["eax"] = "0x100000000"; }},
        {"processors.cpuid[1]: leaf 0x0 is listed twice",
         [](json& p) { p["processors"]["cpuid"][1]["leaf"] = 0; }},
        {"processors.cpuid: needs leaf 0", [](json& p) { p["processors"]["cpuid"].erase(0); }},
        {"processors.msrs[1].access: must be read-write, read-only or refused",
         [](json& p) { p["processors"]["msrs"][1]["access"] = "bogus"; }},
        {"processors.each: more than 2 entries",
         [](json& p) {
             p["processors"]["each"] =
                 json::array({json::object(), json::object(), json::object()});
         }},
        {"processors.each[0].cpuid[0].leaf: missing",
         [](json& p) { p["processors"]["each"] = json::parse(R"([{"cpuid": [{"eax": 1}]}])"); }},
        {"pci.functions: must be a list", [](json& p) { p["pci"]["functions"] = "x"; }},
        {"pci.functions[0].address: must be bus:device.function",
         [](json& p) { p["pci"]["functions"][0]["address"] = "00:20.0"; }},
        {"pci.functions[0].address: must be bus:device.function",
         [](json& p) { p["pci"]["functions"][0]["address"] = "-1:00.0"; }},
        {"pci.functions[0].address: must be bus:device.function",
         [](json& p) { p["pci"]["functions"][0]["address"] = "00:1f.3 "; }},
        {"pci.functions[0].address: must be bus:device.function",
         [](json& p) { p["pci"]["functions"][0]["address"] = "100:00.0"; }},
        {"pci.functions[1].address: function 00:00.0 is declared twice",
         [](json& p) { p["pci"]["functions"].push_back(p["pci"]["functions"][0]); }},
        {"pci.functions[0].vendor_id: missing",
         [](json& p) { p["pci"]["functions"][0].erase("vendor_id"); }},
        {"pci.functions[0].bars[0].size: must be a power of two",
         [](json& p) {
             p["pci"]["functions"][0]["bars"] =
                 json::parse(R"([{"index": 4, "kind": "io", "size": 24, "address": "0x400"}])");
         }},
        {"pci.functions[0].bars[0].address: must be a multiple of the size",
         [](json& p) {
             p["pci"]["functions"][0]["bars"] = json::parse(
                 R"([{"index": 0, "kind": "mem32", "size": 4096, "address": "0x800"}])");
         }},
        {"pci.functions[0].bars[0].index: a 64-bit BAR needs the next BAR",
         [](json& p) {
             p["pci"]["functions"][0]["bars"] =
                 json::parse(R"([{"index": 5, "kind": "mem64", "size": 4096}])");
         }},
        {"pci.functions[0].capabilities[1].offset: overlaps another capability",
         [](json& p) {
             p["pci"]["functions"][0]["capabilities"] =
                 json::parse(R"([{"id": 1, "offset": "0x40"}, {"id": 5, "offset": "0x44"}])");
         }},
        {"pci.functions[0].capabilities[0]: needs bytes or length",
         [](json& p) { p["pci"]["functions"][0]["capabilities"] = json::parse(R"([{"id": 9}])"); }},
        {"pci.functions[0].capabilities[0].port_type: is not a PCI Express port type",
         [](json& p) {
             p["pci"]["functions"][0]["capabilities"] =
                 json::parse(R"([{"id": 16, "port_type": "sideways"}])");
         }},
        {"pci.functions[0].extended_capabilities: need \"express\": true",
         [](json& p) {
             p["pci"]["functions"][0]["extended_capabilities"] = json::parse(R"([{"id": 1}])");
         }},
        {"pci.functions[0].bytes.0xFF: runs past the end",
         [](json& p) {
             p["pci"]["functions"][0]["bytes"] = {{"0xFF", "01 02"}};
         }},
        {"pci.functions[0].config: 'g' is not a hexadecimal digit",
         [](json& p) { p["pci"]["functions"][0]["config"] = "86 80 g0"; }},
        {"pci.ecam.base: must be a multiple of 1 MiB",
         [](json& p) {
             p["pci"]["ecam"] = {{"base", "0xE0080000"}};
         }},
        {"pci.ecam: region at F8000000h of 10000000h bytes lies outside the 32-bit",
         [](json& p) {
             p["pci"]["ecam"] = {{"base", "0xF8000000"}, {"buses", 256}};
         }},
        {"memory[1]: region at 90000h-9FFFFh overlaps region \"low\"",
         [](json& p) {
             p["memory"].push_back(
                 {{"name", "more"}, {"base", "0x90000"}, {"size", "0x10000"}, {"kind", "ram"}});
         }},
        {"memory[0].kind: must be ram or rom", [](json& p) { p["memory"][0]["kind"] = "flash"; }},
        {"memory[3].size: the ROMs of a board hold at most 16 MiB together",
         [](json& p) {
             for (const char* base : {"0xF0000000", "0xF0800000", "0xF1000000"})
                 p["memory"].push_back(
                     {{"name", base}, {"base", base}, {"size", "0x800000"}, {"kind", "rom"}});
         }},
        {"memory[0].ascii.0xA0000: runs past the end",
         [](json& p) {
             p["memory"][0]["ascii"] = {{"0xA0000", "x"}};
         }},
        {"cmos.bank70: holds more than 128 bytes",
         [](json& p) {
             std::string bytes;
             for (int i = 0; i < 129; ++i) bytes += "00 ";
             p["cmos"] = {{"bank70", bytes}};
         }},
        {"cmos.bank70: missing",
         [](json& p) {
             p["cmos"] = {{"bank72", "00"}};
         }},
        {"cmos.volatile: offsets run from 00 to 7f",
         [](json& p) {
             p["cmos"] = {{"bank70", "00"}, {"volatile", "00 80"}};
         }},
        {"processors.msrs[0].volatile: must be",
         [](json& p) { p["processors"]["msrs"][0]["volatile"] = "yes"; }},
        {"ports: ports CF8h-CF8h overlap",
         [](json& p) {
             p["ports"] = {{"0xCF8", "00"}};
         }},
        {"version.platform: missing",
         [](json& p) {
             p["version"] = {{"major", 4}, {"minor", 10}, {"build", 1998}};
         }},
        {"pci.functions[0].note: must be a text",
         [](json& p) { p["pci"]["functions"][0]["note"] = 5; }},
        {"smbus[0].function: missing", [](json& p) { p["smbus"] = json::array({json::object()}); }},
        {"smbus[0].function: names no function declared under pci",
         [](json& p) { p["smbus"] = SmbusEntry("00:1f.3", "intel", json::array()); }},
        {"smbus[0].model: must be intel, via, ati or nvidia",
         [](json& p) { p["smbus"] = SmbusEntry("00:00.0", "sis", json::array()); }},
        {"smbus[0].devices[0].bytes: byte 63 (checksum) is 0x00, bytes 0-62 add up to 0x80",
         [](json& p) {
             std::string spd = "80";
             for (int i = 1; i < 64; ++i) spd += " 00";
             p["smbus"] = SmbusEntry("00:00.0", "intel",
                                     {{{"address", "0x50"}, {"kind", "spd"}, {"bytes", spd}}});
         }},
        {"smbus[0].devices[0].bytes: the CRC of bytes 0-125 is 0x",
         [](json& p) {
             std::string spd = "23 11 0c";
             for (int i = 3; i < 512; ++i) spd += " 00";
             p["smbus"] = SmbusEntry("00:00.0", "intel",
                                     {{{"address", "0x50"}, {"kind", "spd-ddr4"}, {"bytes", spd}}});
         }},
        {"smbus[0].devices[0].bytes: this SPD holds exactly 1024 bytes",
         [](json& p) {
             p["smbus"] =
                 SmbusEntry("00:00.0", "intel",
                            {{{"address", "0x50"}, {"kind", "spd-ddr5"}, {"bytes", "30"}}});
         }},
        {"smbus[0].devices[1].address: is used by another device on this bus",
         [](json& p) {
             json nak = {{"address", "0x2E"}, {"kind", "nak"}};
             p["smbus"] = SmbusEntry("00:00.0", "via", {nak, nak});
         }},
        {"smbus[0].devices[0].address: must be at most 0x7F",
         [](json& p) {
             p["smbus"] = SmbusEntry("00:00.0", "ati", {{{"address", "0x80"}, {"kind", "nak"}}});
         }},
        {"smbus[0].devices[0].blocks: missing",
         [](json& p) {
             p["smbus"] =
                 SmbusEntry("00:00.0", "nvidia", {{{"address", "0x69"}, {"kind", "block"}}});
         }},
    };
    for (const BadCase& c : cases) {
        json p = MinimalProfile();
        c.change(p);
        std::string error;
        EXPECT_FALSE(LoadText(p, &error)) << c.expected;
        EXPECT_NE(error.find(c.expected), std::string::npos)
            << "expected \"" << c.expected << "\" in \"" << error << "\"";
    }
}

TEST(BoardProfileErrors, FilesAndTextThatAreNotProfiles) {
    std::string error;
    EXPECT_FALSE(driver::LoadBoardBackend("/nonexistent/board.json", &error));
    EXPECT_EQ(error.rfind("/nonexistent/board.json: cannot be opened", 0), 0u) << error;
    EXPECT_FALSE(driver::LoadBoardBackendFromText("{\"name\": ", "cut.json", &error));
    EXPECT_EQ(error.rfind("cut.json: not valid JSON", 0), 0u) << error;
    // Deep nesting is refused quickly, before it is built; a number too large for the parser
    // names its field.
    std::string deep(1u << 20, '[');
    EXPECT_FALSE(driver::LoadBoardBackendFromText(deep, "deep.json", &error));
    EXPECT_EQ(error, "deep.json: nested deeper than 64 levels");
    EXPECT_FALSE(driver::LoadBoardBackendFromText("{\"name\": \"x\", \"tsc_hz\": 1e400}",
                                                  "huge.json", &error));
    EXPECT_NE(error.find("(in the value of \"tsc_hz\")"), std::string::npos) << error;
    EXPECT_FALSE(driver::LoadBoardBackendFromText("[1, 2]", "list.json", &error));
    EXPECT_EQ(error, "list.json: profile: must be an object");
    // Every field of the minimal profile replaced by a value of the wrong kind is refused
    // with a message (and nothing crashes).
    const json base = MinimalProfile();
    const json wrong[] = {json(nullptr), json(true),    json(-1),
                          json("text"),  json::array(), json::object()};
    std::function<void(const json::json_pointer&, const json&)> visit =
        [&](const json::json_pointer& at, const json& node) {
            for (const json& w : wrong) {
                json p = base;
                p[at] = w;
                if (p == base) continue;
                std::string e;
                auto b = LoadText(p, &e);
                if (!b) {
                    EXPECT_FALSE(e.empty()) << at.to_string();
                }
            }
            if (node.is_object())
                for (auto& item : node.items()) visit(at / item.key(), item.value());
            if (node.is_array())
                for (size_t i = 0; i < node.size(); ++i) visit(at / i, node[i]);
        };
    visit(json::json_pointer(), base);
}

}  // namespace
}  // namespace kvt::test
