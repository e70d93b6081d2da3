// CMOS RAM banks behind index/data port pairs.
//
// Bank at 70h/71h: the 128 bytes of the real-time clock (RTC registers 00h-0Dh, then
// battery-backed RAM). Bit 7 of the index written to 70h is the NMI mask, not an address
// bit, so indexes 80h-FFh reach bytes 00h-7Fh; the mask bit is kept and 70h reads back the
// whole index byte as last written.
// Bank at 72h/73h: the upper 128 bytes of the CMOS RAM. Bank at 74h/75h: a further 128-byte
// bank, as some chipsets decode for extra NVRAM. On both, bit 7 of the index is ignored, so
// indexes 80h-FFh alias 00h-7Fh as well.
// The RTC bytes are stored values: the clock does not tick.
#pragma once

#include <array>
#include <cstdint>

#include "driver/board/port_space.h"

namespace kvt::driver::board {

class CmosBank : public PortDevice {
  public:
    static constexpr uint32_t kSize = 128;
    // indexPort is the even port of the pair; the data port is indexPort + 1.
    CmosBank(uint16_t indexPort, const std::array<uint8_t, kSize>& bytes);

    uint32_t ReadPort(uint16_t port, uint32_t width) override;
    void WritePort(uint16_t port, uint32_t width, uint32_t value) override;

    uint16_t indexPort() const { return indexPort_; }
    uint8_t index() const { return index_; }
    // Bit 7 of the last index written (meaningful for the 70h/71h bank: NMI masked).
    bool nmiMasked() const { return (index_ & 0x80) != 0; }

  private:
    uint8_t ReadByte(uint16_t port);
    void WriteByte(uint16_t port, uint8_t value);

    uint16_t indexPort_;
    uint8_t index_ = 0;
    std::array<uint8_t, kSize> bytes_;
};

}  // namespace kvt::driver::board
