// Helpers shared by the board tests: loading shipped and inline profiles, configuration
// addresses, capability walks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/backend.h"
#include "driver/board/board.h"

namespace kvt::test {

inline std::string BoardPath(const std::string& name) {
    return std::string(KORVANTA_SOURCE_DIR) + "/boards/" + name + ".json";
}

inline std::unique_ptr<driver::Backend> LoadShipped(const std::string& name) {
    std::string error;
    auto board = driver::LoadBoardBackend(BoardPath(name), &error);
    EXPECT_TRUE(board) << error;
    return board;
}

inline std::unique_ptr<driver::Backend> LoadText(const nlohmann::json& profile,
                                                 std::string* error = nullptr) {
    std::string ignored;
    return driver::LoadBoardBackendFromText(profile.dump(), "test.json", error ? error : &ignored);
}

constexpr uint32_t ConfigAddress(uint32_t bus, uint32_t dev, uint32_t fn, uint32_t reg = 0) {
    return 0x80000000u | bus << 16 | dev << 11 | fn << 8 | reg;
}

inline uint32_t Config(driver::Backend& b, uint32_t address) {
    uint32_t v = 0xDEADBEEF;
    EXPECT_TRUE(b.ReadPciConfig(address, v));
    return v;
}

// Capability IDs along the list of a function, at most 48 steps (a cycle stops there).
inline std::vector<uint32_t> CapabilityIds(driver::Backend& b, uint32_t address) {
    std::vector<uint32_t> ids;
    if (!(Config(b, address + 4) & 0x00100000)) return ids;
    uint32_t p = Config(b, address + 0x34) & 0xFF;
    for (int steps = 0; p && steps < 48; ++steps) {
        uint32_t v = Config(b, address + (p & 0xFC));
        ids.push_back(v & 0xFF);
        p = (v >> 8) & 0xFF;
    }
    return ids;
}

// A small valid profile the tests vary.
inline nlohmann::json MinimalProfile() {
    return nlohmann::json::parse(R"({
      "name": "mini",
      "computer": "MINI",
      "processors": {
        "count": 2,
        "tsc_hz": 1000000000,
        "cpuid": [
          {"leaf": 0, "eax": 1, "ebx": "0x756E6547", "ecx": "0x6C65746E", "edx": "0x49656E69"},
          {"leaf": 1, "eax": "0x6F7"}
        ],
        "msrs": [{"msr": "0x10"}, {"msr": "0x1B", "value": "0xFEE00900"}]
      },
      "pci": {
        "functions": [
          {"address": "00:00.0", "vendor_id": "0x8086", "device_id": "0x29C0", "class": "0x060000"}
        ]
      },
      "memory": [{"name": "low", "base": 0, "size": "0xA0000", "kind": "ram"}]
    })");
}

}  // namespace kvt::test
