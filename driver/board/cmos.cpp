#include "driver/board/cmos.h"

namespace kvt::driver::board {

CmosBank::CmosBank(uint16_t indexPort, const std::array<uint8_t, kSize>& bytes)
    : indexPort_(indexPort), bytes_(bytes) {}

uint8_t CmosBank::ReadByte(uint16_t port) {
    if (port == indexPort_) return index_;
    return bytes_[index_ & 0x7F];
}

void CmosBank::WriteByte(uint16_t port, uint8_t value) {
    if (port == indexPort_)
        index_ = value;
    else
        bytes_[index_ & 0x7F] = value;
}

// A word access covers the index and the data port in turn, low byte first, as two byte
// cycles would.
uint32_t CmosBank::ReadPort(uint16_t port, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i) value |= uint32_t(ReadByte(uint16_t(port + i))) << (8 * i);
    return value;
}

void CmosBank::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    for (uint32_t i = 0; i < width; ++i) WriteByte(uint16_t(port + i), uint8_t(value >> (8 * i)));
}

}  // namespace kvt::driver::board
