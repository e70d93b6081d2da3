// PCI functions of a simulated board and the three ways to reach their configuration
// space: the backend's configuration requests, configuration mechanism #1 at CF8h/CFCh,
// and the PCI Express configuration window (ECAM) in physical memory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "driver/board/memory_map.h"
#include "driver/board/port_space.h"

namespace kvt::driver::board {

// One function's configuration space (256 bytes, or 4096 for PCI Express) with, per byte,
// the bits software may change (write mask) and the bits a written 1 clears (status bits).
class PciFunction {
  public:
    PciFunction(uint8_t bus, uint8_t devFn, std::vector<uint8_t> config,
                std::vector<uint8_t> writeMask, std::vector<uint8_t> clearMask);

    uint8_t bus() const { return bus_; }
    uint8_t devFn() const { return devFn_; }
    uint32_t size() const { return uint32_t(config_.size()); }

    // Little-endian access of 1, 2 or 4 bytes; bytes past the end of a 256-byte space read
    // zero and ignore writes (the window always spans 4096 bytes per function).
    uint32_t Read(uint32_t offset, uint32_t width) const;
    void Write(uint32_t offset, uint32_t width, uint32_t value);
    // The bits software may change in the double word at offset (0 past the end).
    uint32_t WriteMask(uint32_t offset) const;
    // BAR sizes as sizing them would find them (all ones written, the size mask read back),
    // worked out from the write masks without touching the registers: 0 where no BAR is (or
    // the upper half of a 64-bit one), Backend::kBarSizeUnknown for a register that holds a
    // value but whose size bits the profile does not give.
    void BarSizes(uint64_t (&sizes)[6]) const;

    // Called after every write, e.g. so a device model behind a base address register can
    // move its ports when software reprograms the register.
    void SetWriteListener(std::function<void(uint32_t offset, uint32_t width)> listener) {
        listener_ = std::move(listener);
    }

  private:
    uint8_t bus_, devFn_;
    std::vector<uint8_t> config_, writeMask_, clearMask_;
    std::function<void(uint32_t, uint32_t)> listener_;
};

class PciBus {
  public:
    static constexpr size_t kMaxFunctions = 256;

    bool Add(std::unique_ptr<PciFunction> function, std::string* error);
    PciFunction* Find(uint8_t bus, uint8_t devFn) const;
    // (bus, devFn) of every function in ascending bus/device/function order.
    std::vector<std::pair<uint8_t, uint8_t>> List() const;

    // Mechanism #1 address: bus in bits 23-16, devFn in 15-8, register in 7-0. A register
    // outside the 256 bytes or an absent function reads all ones.
    uint32_t ReadConfig(uint32_t address, uint32_t width) const;
    void WriteConfig(uint32_t address, uint32_t width, uint32_t value);

  private:
    std::map<uint16_t, std::unique_ptr<PciFunction>> functions_;  // key bus << 8 | devFn
};

// Configuration mechanism #1: a double word written to CF8h selects bus, device, function
// and register (bit 31 enables); CFCh-CFFh then reach that register's bytes. Accesses to
// CF8h that are not a double word are not configuration cycles: they read all ones and are
// ignored, and the data ports read all ones while bit 31 is clear.
class ConfigMechanism1 : public PortDevice {
  public:
    static constexpr uint16_t kAddressPort = 0xCF8;
    static constexpr uint16_t kDataPort = 0xCFC;

    explicit ConfigMechanism1(PciBus& bus) : bus_(bus) {}
    uint32_t ReadPort(uint16_t port, uint32_t width) override;
    void WritePort(uint16_t port, uint32_t width, uint32_t value) override;

  private:
    PciBus& bus_;
    uint32_t address_ = 0;
};

// The PCI Express enhanced configuration window: function (b, d, f) at base + b×100000h +
// d×8000h + f×1000h, 4096 bytes each. Absent functions read all ones and ignore writes.
class EcamWindow : public MemoryRegion {
  public:
    explicit EcamWindow(PciBus& bus) : bus_(bus) {}
    bool Read(uint64_t offset, uint8_t* out, uint32_t length) override;
    bool Write(uint64_t offset, const uint8_t* data, uint32_t length) override;

  private:
    PciBus& bus_;
};

}  // namespace kvt::driver::board
