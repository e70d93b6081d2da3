// A PCI function and a register in it, in the forms the requests carry: the
// configuration-mechanism-#1 address (CF8h), the offset in a memory-mapped configuration
// window, the bus/devFn pair of the function list, and the text "BB:DD.F" (with "DDDD:" in
// front outside domain 0).
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvt {

struct PciAddress {
    uint16_t domain = 0;  // PCI segment; the mechanism-#1 form reaches domain 0 only
    uint8_t bus = 0;
    uint8_t device = 0;    // 0-1Fh
    uint8_t function = 0;  // 0-7
    uint16_t reg = 0;      // 0-FFFh

    static constexpr uint32_t kEnable = 0x80000000u;

    constexpr PciAddress() = default;
    // Each part is cut to its field's width.
    constexpr PciAddress(uint32_t bus_, uint32_t device_, uint32_t function_, uint32_t reg_ = 0,
                         uint32_t domain_ = 0)
        : domain(uint16_t(domain_)),
          bus(uint8_t(bus_)),
          device(uint8_t(device_ & 0x1F)),
          function(uint8_t(function_ & 7)),
          reg(uint16_t(reg_ & 0xFFF)) {}

    // The function of a bus/devFn pair of the function list.
    static constexpr PciAddress FromDevFn(uint32_t bus, uint32_t devFn, uint32_t reg = 0) {
        return {bus, devFn >> 3, devFn & 7, reg};
    }
    // The function and register of a mechanism-#1 address (enable and reserved bits ignored;
    // the register keeps its two low bits).
    static constexpr PciAddress FromConfigAddress(uint32_t address) {
        return {(address >> 16) & 0xFF, (address >> 11) & 0x1F, (address >> 8) & 7, address & 0xFF};
    }

    // The function and register at an offset of a window whose first bus is 0.
    static constexpr PciAddress FromWindowOffset(uint64_t offset) {
        return {uint32_t(offset >> 20) & 0xFF, uint32_t(offset >> 15) & 0x1F,
                uint32_t(offset >> 12) & 7, uint32_t(offset) & 0xFFF};
    }

    constexpr uint8_t devFn() const { return uint8_t(device << 3 | function); }
    // The same function at another register.
    constexpr PciAddress At(uint32_t offset) const {
        return {bus, device, function, offset, domain};
    }
    constexpr PciAddress Function() const { return At(0); }

    // The mechanism-#1 address: enable bit, bus, device, function and register bits 7-0.
    constexpr uint32_t ConfigAddress() const {
        return kEnable | uint32_t(bus) << 16 | uint32_t(device) << 11 | uint32_t(function) << 8 |
               (reg & 0xFFu);
    }
    // The extended mechanism-#1 form that reaches the whole 4 KiB: the mechanism-#1 address
    // with register bits 11-8 in bits 27-24.
    constexpr uint32_t ExtendedConfigAddress() const {
        return ConfigAddress() | uint32_t(reg & 0xF00u) << 16;
    }
    static constexpr PciAddress FromExtendedConfigAddress(uint32_t address) {
        return {(address >> 16) & 0xFF, (address >> 11) & 0x1F, (address >> 8) & 7,
                ((address >> 16) & 0xF00) | (address & 0xFF)};
    }
    // Offset of the register from the start of a memory-mapped window whose first bus is 0.
    constexpr uint64_t WindowOffset() const {
        return uint64_t(bus) << 20 | uint64_t(device) << 15 | uint64_t(function) << 12 | reg;
    }

    // "BB:DD.F", "DDDD:BB:DD.F" outside domain 0; lower-case digits when asked.
    std::string FunctionText(bool lower = false) const;
    // The function's folder name under /sys/bus/pci/devices ("0000:00:1f.3").
    std::string SysfsName() const;

    constexpr auto operator<=>(const PciAddress&) const = default;
};

// A function written "BB:DD.F" in hexadecimal (bus and device one or two digits, function one
// digit), or "DDDD:BB:DD.F" (one to four domain digits) when a domain is allowed.
std::optional<PciAddress> ParsePciFunction(std::string_view text, bool allowDomain = true);

// A PCI Express memory-mapped configuration window: buses firstBus to lastBus of one segment,
// each 1 MiB, the first at firstBusAddress.
struct PciWindow {
    uint64_t firstBusAddress = 0;
    uint8_t firstBus = 0;
    uint8_t lastBus = 0;
    uint16_t segment = 0;

    // The window as a firmware table gives it: the base is the address bus 0 would have.
    static constexpr PciWindow FromBusZeroBase(uint64_t base, uint8_t firstBus, uint8_t lastBus,
                                               uint16_t segment = 0) {
        return {base + (uint64_t(firstBus) << 20), firstBus, lastBus, segment};
    }

    constexpr bool Covers(const PciAddress& a) const {
        return a.domain == segment && a.bus >= firstBus && a.bus <= lastBus;
    }
    // The address bus 0 would have (may lie below the window).
    constexpr uint64_t BusZeroBase() const { return firstBusAddress - (uint64_t(firstBus) << 20); }
    // One past the window's last byte.
    constexpr uint64_t End() const {
        return firstBusAddress + ((uint64_t(lastBus) - firstBus + 1) << 20);
    }
    // The physical address of a register the window covers.
    constexpr uint64_t AddressOf(const PciAddress& a) const {
        return firstBusAddress + (a.WindowOffset() - (uint64_t(firstBus) << 20));
    }
};

}  // namespace kvt
