// A simulated board: a whole machine described by a JSON profile in boards/, served by the
// driver daemon in place of the host (boards/README.md describes the profile format).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/backend.h"
#include "driver/board/cmos.h"
#include "driver/board/faults.h"
#include "driver/board/memory_map.h"
#include "driver/board/pci.h"
#include "driver/board/port_space.h"
#include "driver/board/processor.h"

namespace kvt::driver {

// Loads the profile at profilePath. On failure returns null and sets *error to a message
// naming the file and the offending field.
std::unique_ptr<Backend> LoadBoardBackend(const std::string& profilePath, std::string* error);
// The same from profile text; `origin` stands for the file name in messages.
std::unique_ptr<Backend> LoadBoardBackendFromText(const std::string& text,
                                                  const std::string& origin, std::string* error);

}  // namespace kvt::driver

namespace kvt::driver::board {

struct BoardVersion {
    uint32_t major = 0, minor = 0, build = 0, platform = 0;
    std::string csd;
};

// The machine and the Backend that serves it. Device models own their state; the board
// owns the models and wires them into the port space, the memory map and the PCI bus.
class SmbusHost;

class Board : public Backend {
  public:
    Board();

    // Parts the profile loader (and device models that attach later) fill in.
    std::string name, computer, description;
    std::optional<BoardVersion> version;
    std::vector<Processor> processors;
    PortSpace& ports() { return ports_; }
    PciBus& pci() { return pci_; }
    MemoryMap& memory() { return memory_; }
    bool hasEcam = false;
    uint32_t ecamBase = 0;
    uint32_t ecamBuses = 0;
    // Kernel drivers a test profile declares bound to PCI functions (key bus << 8 | devFn).
    std::map<uint16_t, std::string> kernelDrivers;
    // SMBus controllers whose kernel driver offers its adapter to programs (the host's i2c-dev
    // node), by function (bus << 8 | devFn): served through the kernel path.
    std::map<uint16_t, std::vector<SmbusHost*>> kernelAdapters;
    // Requests the profile makes fail or stall.
    FaultList faults;

    // Keeps a device model alive for the board's lifetime and returns it.
    template <typename T>
    T* Own(std::unique_ptr<T> device) {
        T* raw = device.get();
        owned_.push_back(std::shared_ptr<T>(std::move(device)));
        return raw;
    }

    // Nanoseconds since the board was loaded: the time base of every TSC.
    uint64_t ElapsedNs() const;

    std::string Name() const override { return "board " + name; }
    uint32_t ProcessorCount() const override { return uint32_t(processors.size()); }
    bool ReadPort(uint16_t port, uint32_t width, uint32_t& value) override;
    bool WritePort(uint16_t port, uint32_t width, uint32_t value) override;
    bool ReadPciConfig(uint32_t configAddress, uint32_t& value) override;
    bool WritePciConfig(uint32_t configAddress, uint32_t value) override;
    bool ListPciFunctions(std::vector<std::pair<uint8_t, uint8_t>>& functions) override;
    bool ReadPciConfigBlock(uint8_t bus, uint8_t devFn, uint32_t offset, uint8_t* out,
                            uint32_t length) override;
    uint32_t PciConfigSize(uint8_t bus, uint8_t devFn) override;
    bool ReadPciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                            uint32_t& value) override;
    bool WritePciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                             uint32_t value) override;
    bool PciBarSizes(const PciAddress& function, uint64_t (&sizes)[6]) override;
    bool ReadPhysical(uint32_t address, uint8_t* out, uint32_t length) override;
    bool WritePhysical(uint32_t address, const uint8_t* data, uint32_t length) override;
    bool ReadMsr(uint32_t processor, uint32_t msr, uint64_t& value) override;
    bool WriteMsr(uint32_t processor, uint32_t msr, uint64_t value) override;
    bool PlatformInfo(PlatformFacts& facts) override;
    bool Cpuid(uint32_t processor, uint32_t function, uint32_t subFunction,
               CpuidResult& out) override;
    bool ReadTsc(uint32_t processor, uint64_t& value) override;
    bool PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) override;
    bool KernelDriver(uint8_t bus, uint8_t devFn, std::string& name) override;
    bool KernelSmbus(uint8_t bus, uint8_t devFn, uint16_t ioBase, SmbusKernelTransfer& t,
                     int& error, std::string& text) override;
    bool DirectPortAccessAvailable() const override { return true; }
    std::vector<std::string> StatusLines() override;

  private:
    // Whether the PCI faults let a configuration request of the function through.
    bool PciPass(uint32_t configAddress);

    PortSpace ports_;
    PciBus pci_;
    MemoryMap memory_;
    std::vector<std::shared_ptr<void>> owned_;  // destroyed before the parts they use
    std::chrono::steady_clock::time_point start_;
};

}  // namespace kvt::driver::board
