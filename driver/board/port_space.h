// The I/O port space of a simulated board: devices claim port ranges; a port nobody claims
// reads all ones and ignores writes, as on a real bus where nothing answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvt::driver::board {

// A device decoding a range of I/O ports. The port space hands it accesses of 1, 2 or 4
// bytes that lie wholly inside one of its claimed ranges; an access that straddles devices
// or unclaimed ports is split into byte accesses first.
class PortDevice {
  public:
    virtual ~PortDevice() = default;
    virtual uint32_t ReadPort(uint16_t port, uint32_t width) = 0;
    virtual void WritePort(uint16_t port, uint32_t width, uint32_t value) = 0;
};

// Ports that read back the byte last written to each, starting from given contents: the
// simple registers of a board such as the POST code and DMA page registers.
class LatchPorts : public PortDevice {
  public:
    LatchPorts(uint16_t first, std::vector<uint8_t> bytes)
        : first_(first), bytes_(std::move(bytes)) {}
    uint32_t ReadPort(uint16_t port, uint32_t width) override;
    void WritePort(uint16_t port, uint32_t width, uint32_t value) override;

  private:
    uint16_t first_;
    std::vector<uint8_t> bytes_;
};

class PortSpace {
  public:
    // Claims ports first .. first + count - 1. Fails (and claims nothing) when the range is
    // empty, passes FFFFh or overlaps a range already claimed.
    bool Claim(uint32_t first, uint32_t count, PortDevice* device, std::string* error);
    // Drops every range of the device (a device that moves, e.g. when its base register is
    // rewritten, releases and claims again).
    void Release(PortDevice* device);

    uint32_t Read(uint16_t port, uint32_t width);
    void Write(uint16_t port, uint32_t width, uint32_t value);

  private:
    struct Range {
        uint32_t first, last;
        PortDevice* device;
    };
    const Range* Find(uint32_t port) const;
    std::vector<Range> ranges_;  // sorted by first, never overlapping
};

}  // namespace kvt::driver::board
