// Arbitrary text as a board profile: the loader either builds a board or names a field, and
// never crashes, hangs or allocates without bound. A board that loads is then exercised a
// little through the backend interface.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/board/board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto board = kvt::driver::LoadBoardBackendFromText(text, "fuzz.json", &error);
    if (!board) {
        if (error.empty()) std::abort();
        return 0;
    }
    std::vector<std::pair<uint8_t, uint8_t>> list;
    board->ListPciFunctions(list);
    if (list.size() > 256) std::abort();
    uint32_t value = 0;
    for (auto [bus, devFn] : list)
        board->ReadPciConfig(kvt::PciAddress::FromDevFn(bus, devFn, 0x34).ConfigAddress(), value);
    uint8_t bytes[64];
    board->ReadPhysical(0xF0000, bytes, sizeof bytes);
    board->WritePhysical(0x1000, bytes, sizeof bytes);
    board->ReadPort(0x71, 1, value);
    uint64_t msr = 0;
    board->ReadMsr(0, 0x10, msr);
    kvt::driver::CpuidResult r;
    board->Cpuid(0, 0, 0, r);
    return 0;
}
