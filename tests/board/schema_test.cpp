// The profile key table against the format's documentation, and the removal of keys it does
// not know.
#include "boards/profile/schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace kvt {
namespace {

using board_profile::Schema;

// boards/README.md documents the keys under "## Format", one "###" heading per top-level
// section (the lines before the first heading are the top level). Keys appear in backticks:
// alone (`address`), as "key: value" (`volatile: true`), in the top-level table's first column
// and in object outlines (`{index, kind: io|mem32|mem64, size, address?}`).
struct Documented {
    std::set<std::string> mentioned;  // every key-like name in backticks
    std::set<std::string> listed;     // the names of table rows and outlines
};

// The keys of an outline's "{...}", nested outlines included; `at` is just past the '{'.
void OutlineKeys(const std::string& s, size_t& at, std::set<std::string>& out) {
    static const std::regex key("^\\s*([a-z_0-9]+)\\??\\s*(:|$)");
    std::string item;
    auto finish = [&] {
        std::smatch m;
        if (std::regex_search(item, m, key)) out.insert(m[1]);
        item.clear();
    };
    while (at < s.size()) {
        char c = s[at++];
        if (c == '{') {
            OutlineKeys(s, at, out);
        } else if (c == '}') {
            break;
        } else if (c == ',') {
            finish();
        } else {
            item += c;
        }
    }
    finish();
}

std::map<std::string, Documented> ReadmeKeys() {
    std::ifstream in(std::string(KORVANTA_SOURCE_DIR) + "/boards/README.md");
    std::stringstream text;
    text << in.rdbuf();
    std::map<std::string, Documented> out;
    std::string section;
    bool inFormat = false, inFence = false;
    static const std::regex span("`([^`]+)`"), mention(R"(^([a-z_0-9]+)\??(:.*)?$)"),
        row("^\\| `([a-z_0-9]+)` \\|");
    for (std::string line; std::getline(text, line);) {
        if (line.starts_with("```")) inFence = !inFence;
        if (inFence || line.starts_with("```")) continue;
        if (line.starts_with("## ")) inFormat = line == "## Format";
        if (!inFormat) continue;
        if (line.starts_with("### ")) {
            section = line.substr(4);
            for (char& c : section) c = char(std::tolower(static_cast<unsigned char>(c)));
            continue;
        }
        Documented& d = out[section];
        std::smatch m;
        if (std::regex_search(line, m, row)) d.listed.insert(m[1]);
        for (auto it = std::sregex_iterator(line.begin(), line.end(), span);
             it != std::sregex_iterator(); ++it) {
            std::string s = (*it)[1];
            if (std::regex_match(s, m, mention)) d.mentioned.insert(m[1]);
            if (s.starts_with("{")) {
                size_t at = 1;
                std::set<std::string> keys;
                OutlineKeys(s, at, keys);
                d.listed.insert(keys.begin(), keys.end());
                d.mentioned.insert(keys.begin(), keys.end());
            }
        }
    }
    return out;
}

// The README section that documents a key: top-level keys and the version record are in
// the top level, the rest under their top-level key's heading.
std::string SectionOf(std::string_view path) {
    std::string first(path.substr(0, path.find_first_of(".[")));
    return first == path || first == "version" ? "" : first;
}

std::string NameOf(std::string_view path) {
    size_t dot = path.rfind('.');
    return std::string(dot == std::string_view::npos ? path : path.substr(dot + 1));
}

TEST(ProfileSchema, ReadmeDocumentsExactlyTheSchemasKeys) {
    std::map<std::string, Documented> readme = ReadmeKeys();
    ASSERT_FALSE(readme[""].listed.empty()) << "boards/README.md: no top-level key table";
    std::map<std::string, std::set<std::string>> known;
    for (const auto& key : Schema()) {
        std::string section = SectionOf(key.path), name = NameOf(key.path);
        known[section].insert(name);
        EXPECT_TRUE(readme[section].mentioned.count(name))
            << key.path << " is not documented in boards/README.md";
    }
    for (const auto& [section, d] : readme)
        for (const std::string& name : d.listed)
            EXPECT_TRUE(known[section].count(name))
                << "boards/README.md documents \"" << name << "\" under \""
                << (section.empty() ? "Format" : section) << "\", which profiles may not hold";
}

TEST(ProfileSchema, RemovesOnlyUnknownKeys) {
    nlohmann::json p = nlohmann::json::parse(R"({
        "name": "x", "note": "", "colour": 1,
        "processors": {"count": 1, "each": [{"cpuid": [{"leaf": 0, "eax": 1, "eex": 2}]}]},
        "pci": {"functions": [{"address": "00:00.0", "bus_numbers": {"primary": 0, "note": ""}}]},
        "ports": {"0x80": "00"}})");
    std::vector<std::string> removed = board_profile::RemoveUnknownKeys(p);
    EXPECT_EQ(removed, (std::vector<std::string>{"colour", "pci.functions[0].bus_numbers.note",
                                                 "processors.each[0].cpuid[0].eex"}));
    EXPECT_EQ(p["processors"]["each"][0]["cpuid"][0].size(), 2u);
    EXPECT_EQ(p["ports"].size(), 1u);
    EXPECT_TRUE(p.contains("note"));
}

}  // namespace
}  // namespace kvt
