// What serves the driver requests inside the daemon: this machine (host/) or a simulated
// board (board/). The request handler checks every field before it calls a backend, so a
// backend receives only widths 1, 2 or 4, lengths of at most 4 MiB with buffers of that size,
// and processor numbers below ProcessorCount().
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/pci_address.h"
#include "protocol/records.h"

namespace kvt::driver {

struct CpuidResult {
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

class Backend {
  public:
    virtual ~Backend() = default;

    // "host", or "board <name>".
    virtual std::string Name() const = 0;
    virtual uint32_t ProcessorCount() const = 0;

    virtual bool ReadPort(uint16_t port, uint32_t width, uint32_t& value) = 0;
    virtual bool WritePort(uint16_t port, uint32_t width, uint32_t value) = 0;
    // Mechanism #1 configuration address (bit 31 set, register a multiple of 4).
    // An absent function reads 0xFFFFFFFF and is a success.
    virtual bool ReadPciConfig(uint32_t configAddress, uint32_t& value) = 0;
    virtual bool WritePciConfig(uint32_t configAddress, uint32_t value) = 0;
    // `length` configuration bytes of one function from `offset` (both multiples of 4, the
    // range inside its 4 KiB). An absent function reads all ones and is a success. Unless a
    // backend reaches the space in one piece, this reads each double word as ReadPciConfig
    // would, so the range below 100h only; the whole read fails when any part of it does.
    virtual bool ReadPciConfigBlock(uint8_t bus, uint8_t devFn, uint32_t offset, uint8_t* out,
                                    uint32_t length) {
        if (offset + length > 0x100) return false;
        for (uint32_t at = 0; at < length; at += 4) {
            uint32_t value = 0;
            if (!ReadPciConfig(PciAddress::FromDevFn(bus, devFn, offset + at).ConfigAddress(),
                               value))
                return false;
            std::memcpy(out + at, &value, 4);
        }
        return true;
    }
    // Bytes of a function's configuration space: 4096 (PCI Express) or 256; 0 when the
    // function does not exist or the backend cannot tell.
    virtual uint32_t PciConfigSize(uint8_t bus, uint8_t devFn) {
        uint32_t id = 0;
        if (!ReadPciConfig(PciAddress::FromDevFn(bus, devFn).ConfigAddress(), id) ||
            id == 0xFFFFFFFFu)
            return 0;
        return 0x100;
    }
    // One register of `width` bytes (1, 2 or 4) at `offset` (a multiple of the width, inside
    // the function's PciConfigSize), as one configuration access of that width, so the bytes
    // beside it are not written. Unless a backend makes sized accesses, only double words
    // below 100h are reached.
    virtual bool ReadPciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                                    uint32_t& value) {
        uint32_t dword = 0;
        if (offset >= 0x100 ||
            !ReadPciConfig(PciAddress::FromDevFn(bus, devFn, offset & 0xFC).ConfigAddress(), dword))
            return false;
        dword >>= 8 * (offset & 3);
        value = width >= 4 ? dword : dword & ((1u << (8 * width)) - 1);
        return true;
    }
    virtual bool WritePciConfigSized(uint8_t bus, uint8_t devFn, uint32_t offset, uint32_t width,
                                     uint32_t value) {
        // A narrower write made as a double word would write its neighbours' bytes back,
        // clearing their write-1-to-clear bits: not offered.
        if (width != 4 || offset >= 0x100) return false;
        return WritePciConfig(PciAddress::FromDevFn(bus, devFn, offset).ConfigAddress(), value);
    }
    // ReadPciConfigBlock for a function of any domain; a backend without other domains
    // refuses them.
    virtual bool ReadPciConfigBlockIn(const PciAddress& function, uint32_t offset, uint8_t* out,
                                      uint32_t length) {
        if (function.domain != 0) return false;
        return ReadPciConfigBlock(function.bus, function.devFn(), offset, out, length);
    }
    // (bus, device << 3 | function) of every function, in the backend's order, at most 256.
    virtual bool ListPciFunctions(std::vector<std::pair<uint8_t, uint8_t>>& functions) = 0;
    // Every function of every domain (register 0), in domain, bus, device, function order,
    // with no limit of the request block's list.
    virtual bool ListPciAll(std::vector<PciAddress>& functions) {
        std::vector<std::pair<uint8_t, uint8_t>> list;
        if (!ListPciFunctions(list)) return false;
        functions.clear();
        for (const auto& [bus, devFn] : list)
            functions.push_back(PciAddress::FromDevFn(bus, devFn));
        return true;
    }
    // The sizes of a function's base address registers, by index: 0 where there is no BAR (or
    // the upper half of a 64-bit one), kBarSizeUnknown where the backend cannot tell. Never
    // found by writing all ones to a live register. False when the function does not exist.
    static constexpr uint64_t kBarSizeUnknown = UINT64_MAX;
    virtual bool PciBarSizes(const PciAddress& function, uint64_t (&sizes)[6]) {
        (void)function, (void)sizes;
        return false;
    }
    virtual bool ReadPhysical(uint32_t address, uint8_t* out, uint32_t length) = 0;
    // Physical memory at any address; a backend that reaches the first 4 GiB only refuses the
    // rest.
    virtual bool ReadPhysical64(uint64_t address, uint8_t* out, uint32_t length) {
        if (address > 0x100000000ull - length) return false;
        return ReadPhysical(static_cast<uint32_t>(address), out, length);
    }
    virtual bool WritePhysical(uint32_t address, const uint8_t* data, uint32_t length) = 0;
    virtual bool ReadMsr(uint32_t processor, uint32_t msr, uint64_t& value) = 0;
    virtual bool WriteMsr(uint32_t processor, uint32_t msr, uint64_t value) = 0;

    // Services only a simulated board offers (the host's are asked in-process).
    // The machine a simulated board stands for: its computer's name, processors, clock,
    // operating system version when the profile gives one, and the profile's name.
    virtual bool PlatformInfo(PlatformFacts& facts) {
        (void)facts;
        return false;
    }
    virtual bool Cpuid(uint32_t processor, uint32_t function, uint32_t subFunction,
                       CpuidResult& out) {
        (void)processor, (void)function, (void)subFunction, (void)out;
        return false;
    }
    virtual bool ReadTsc(uint32_t processor, uint64_t& value) {
        (void)processor, (void)value;
        return false;
    }
    // The PCI Express configuration window (memory-mapped configuration space), if any.
    virtual bool PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) {
        (void)base, (void)firstBus, (void)lastBus;
        return false;
    }
    // The kernel driver bound to a PCI function: its name, or empty when none is. False when
    // the function does not exist or the backend cannot tell.
    virtual bool KernelDriver(uint8_t bus, uint8_t devFn, std::string& name) {
        (void)bus, (void)devFn, (void)name;
        return false;
    }
    // An SMBus transaction through the kernel's adapter of the controller at ioBase in a PCI
    // function a kernel driver owns, so it is serialised with the kernel's own use. False when
    // the backend offers no such path for the function (no driver bound); otherwise error is 0
    // or the kernel's errno, and text the adapter's node, or why there is none.
    struct SmbusKernelTransfer {
        uint32_t op = 0;  // SmbusKernelOp
        uint8_t address = 0, command = 0;
        uint16_t data = 0;
        std::vector<uint8_t> block;  // at most 32 bytes
    };
    virtual bool KernelSmbus(uint8_t bus, uint8_t devFn, uint16_t ioBase, SmbusKernelTransfer& t,
                             int& error, std::string& text) {
        (void)bus, (void)devFn, (void)ioBase, (void)t, (void)error, (void)text;
        return false;
    }
    // IN/OUT instruction stand-ins of the consumer family (a board's port space).
    virtual bool DirectPortAccessAvailable() const { return false; }

    // One line per kind of access (ports, PCI configuration, PCI Express window, physical
    // memory, MSRs): "<kind>: ok" or "<kind>: unavailable: <what to do>".
    virtual std::vector<std::string> StatusLines() = 0;
};

}  // namespace kvt::driver
