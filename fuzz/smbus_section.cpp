// Arbitrary text as the "smbus" section of a small board: the loader either attaches the
// controllers or names a field, and never crashes. Controllers that load are then driven
// through their ports with the input's bytes, as a client could.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "driver/board/board.h"

namespace {

const char kBoard[] =
    R"({"name": "fuzz", "computer": "FUZZ", "processors": {"count": 1, "tsc_hz": 1000,
    "cpuid": [{"leaf": 0}]}, "pci": {"functions": [
    {"address": "00:1f.3", "vendor_id": "0x8086", "class": "0x0C0500",
     "bars": [{"index": 4, "kind": "io", "address": "0x400", "size": 32}]},
    {"address": "00:01.1", "vendor_id": "0x10DE", "class": "0x0C0500",
     "bars": [{"index": 4, "kind": "io", "address": "0x4C00", "size": 64},
              {"index": 5, "kind": "io", "address": "0x4D00", "size": 64}]}]},
    "memory": [{"name": "low", "base": 0, "size": "0x10000", "kind": "ram"}], "smbus": )";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string section(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto board = kvt::driver::LoadBoardBackendFromText(kBoard + section + "}", "fuzz.json", &error);
    if (!board) {
        if (error.empty()) std::abort();
        return 0;
    }
    // Every register of both models, with the input's bytes as values, including starts,
    // kills, status clears and base register rewrites.
    uint32_t value = 0;
    for (size_t i = 0; i < size && i < 4096; ++i) {
        uint8_t b = data[i];
        uint16_t base = (i & 1) ? 0x4C00 : 0x400;
        board->WritePort(uint16_t(base + (b & 0x0F)), 1, data[(i + 1) % size]);
        board->ReadPort(uint16_t(base + (b >> 4)), 1, value);
        if (b == 0x5A) board->WritePciConfig(0x8000FB20, uint32_t(data[(i + 2) % size]) << 8 | 1);
    }
    return 0;
}
