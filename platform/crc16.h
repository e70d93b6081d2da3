// The CRC-16 of the JEDEC SPD layouts (DDR3, DDR4, DDR5): polynomial 1021h, initial value 0,
// most significant bit first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvt {

inline uint16_t Crc16Jedec(const uint8_t* bytes, size_t count) {
    unsigned crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc ^= unsigned(bytes[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return uint16_t(crc);
}

}  // namespace kvt
