// Reading a memory module's whole SPD: 256 bytes of a DDR to DDR3 SPD, the 512 bytes of a
// DDR4 SPD through the page select at 36h/37h, the 1024 bytes behind a DDR5 SPD hub through
// its page register (MR11). The page found is chosen again afterwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/smbus/smbus_host.h"

namespace kvt {

// Result 0 and the bytes, or the first failing transaction's result (the page is restored
// as far as the bus lets). progress, when given, is told done of total bytes.
int ReadSpd(SmbusPorts& io, uint16_t base, uint8_t address, uint32_t kind,
            std::vector<uint8_t>& bytes, const std::function<void(int, int)>& progress = {});

}  // namespace kvt
