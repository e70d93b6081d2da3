#include "driver/board/pci.h"

#include <algorithm>

#include "platform/format.h"
#include "protocol/pci_address.h"

namespace kvt::driver::board {

PciFunction::PciFunction(uint8_t bus, uint8_t devFn, std::vector<uint8_t> config,
                         std::vector<uint8_t> writeMask, std::vector<uint8_t> clearMask)
    : bus_(bus),
      devFn_(devFn),
      config_(std::move(config)),
      writeMask_(std::move(writeMask)),
      clearMask_(std::move(clearMask)) {
    writeMask_.resize(config_.size(), 0);
    clearMask_.resize(config_.size(), 0);
}

uint32_t PciFunction::Read(uint32_t offset, uint32_t width) const {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width && i < 4; ++i) {
        uint32_t at = offset + i;
        uint32_t byte = at < config_.size() ? config_[at] : 0;
        value |= byte << (8 * i);
    }
    return value;
}

void PciFunction::Write(uint32_t offset, uint32_t width, uint32_t value) {
    for (uint32_t i = 0; i < width && i < 4; ++i) {
        uint32_t at = offset + i;
        if (at >= config_.size()) break;
        uint8_t v = uint8_t(value >> (8 * i));
        uint8_t& b = config_[at];
        b = uint8_t((b & ~writeMask_[at]) | (v & writeMask_[at]));
        b = uint8_t(b & ~(v & clearMask_[at]));
    }
    if (listener_) listener_(offset, width);
}

uint32_t PciFunction::WriteMask(uint32_t offset) const {
    uint32_t mask = 0;
    for (uint32_t i = 0; i < 4; ++i)
        if (offset + i < writeMask_.size()) mask |= uint32_t(writeMask_[offset + i]) << (8 * i);
    return mask;
}

void PciFunction::BarSizes(uint64_t (&sizes)[6]) const {
    const uint32_t headerType = Read(0x0E, 1) & 0x7F;
    const uint32_t count = headerType == 0 ? 6 : headerType == 1 ? 2 : headerType == 2 ? 1 : 0;
    for (uint64_t& size : sizes) size = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t reg = 0x10 + 4 * i;
        const uint32_t value = Read(reg, 4);
        uint64_t mask = 0;
        bool wide = false;
        if (value & 1) {
            mask = WriteMask(reg) & 0xFFFFFFFCu;
        } else {
            mask = WriteMask(reg) & 0xFFFFFFF0u;
            wide = (value & 6) == 4 && i + 1 < count;
            if (wide) mask |= uint64_t(WriteMask(reg + 4)) << 32;
        }
        // The lowest writable address bit is the size; a register no bit of which moves and
        // that reads zero is no BAR.
        if (mask != 0)
            sizes[i] = mask & (~mask + 1);
        else if (value != 0 || (wide && Read(reg + 4, 4) != 0))
            sizes[i] = UINT64_MAX;
        if (wide) ++i;
    }
}

bool PciBus::Add(std::unique_ptr<PciFunction> function, std::string* error) {
    uint16_t key = uint16_t(function->bus() << 8 | function->devFn());
    if (functions_.count(key)) {
        if (error)
            *error = "function " +
                     PciAddress::FromDevFn(function->bus(), function->devFn()).FunctionText() +
                     " is declared twice";
        return false;
    }
    if (functions_.size() >= kMaxFunctions) {
        if (error) *error = Format("more than %zu functions", kMaxFunctions);
        return false;
    }
    functions_.emplace(key, std::move(function));
    return true;
}

PciFunction* PciBus::Find(uint8_t bus, uint8_t devFn) const {
    auto it = functions_.find(uint16_t(bus << 8 | devFn));
    return it == functions_.end() ? nullptr : it->second.get();
}

std::vector<std::pair<uint8_t, uint8_t>> PciBus::List() const {
    std::vector<std::pair<uint8_t, uint8_t>> list;
    for (const auto& [key, f] : functions_) list.emplace_back(f->bus(), f->devFn());
    return list;
}

uint32_t PciBus::ReadConfig(uint32_t address, uint32_t width) const {
    const PciFunction* f = Find(uint8_t(address >> 16), uint8_t(address >> 8));
    uint32_t ones = width >= 4 ? 0xFFFFFFFF : (1u << (8 * width)) - 1;
    if (!f) return ones;
    return f->Read(address & 0xFF, width);
}

void PciBus::WriteConfig(uint32_t address, uint32_t width, uint32_t value) {
    PciFunction* f = Find(uint8_t(address >> 16), uint8_t(address >> 8));
    if (f) f->Write(address & 0xFF, width, value);
}

uint32_t ConfigMechanism1::ReadPort(uint16_t port, uint32_t width) {
    if (port == kAddressPort && width == 4) return address_;
    if (port < kDataPort || !(address_ & 0x80000000)) return 0xFFFFFFFF;
    uint32_t reg = (address_ & 0xFC) + (port - kDataPort);
    return bus_.ReadConfig((address_ & 0x00FFFF00) | reg, width);
}

void ConfigMechanism1::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    if (port == kAddressPort && width == 4) {
        address_ = value & 0x80FFFFFC;  // reserved bits 30-24 and 1-0 read back as zero
        return;
    }
    if (port < kDataPort || !(address_ & 0x80000000)) return;
    uint32_t reg = (address_ & 0xFC) + (port - kDataPort);
    bus_.WriteConfig((address_ & 0x00FFFF00) | reg, width, value);
}

bool EcamWindow::Read(uint64_t offset, uint8_t* out, uint32_t length) {
    uint64_t end = offset + length;
    while (offset < end) {
        uint8_t bus = uint8_t(offset >> 20), devFn = uint8_t(offset >> 12);
        uint32_t reg = uint32_t(offset & 0xFFF);
        uint32_t n = uint32_t(std::min<uint64_t>(0x1000 - reg, end - offset));
        const PciFunction* f = bus_.Find(bus, devFn);
        for (uint32_t i = 0; i < n; ++i) out[i] = f ? uint8_t(f->Read(reg + i, 1)) : 0xFF;
        out += n;
        offset += n;
    }
    return true;
}

// Writes reach the function as double words where the range covers a whole aligned double
// word, and as bytes elsewhere, so a 4-byte register write is one configuration write.
bool EcamWindow::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
    uint64_t end = offset + length;
    while (offset < end) {
        PciFunction* f = bus_.Find(uint8_t(offset >> 20), uint8_t(offset >> 12));
        uint32_t reg = uint32_t(offset & 0xFFF);
        uint32_t n = 1;
        uint32_t value = data[0];
        if ((reg & 3) == 0 && end - offset >= 4) {
            n = 4;
            value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                    uint32_t(data[3]) << 24;
        }
        if (f) f->Write(reg, n, value);
        data += n;
        offset += n;
    }
    return true;
}

}  // namespace kvt::driver::board
