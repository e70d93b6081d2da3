#include "driver/board/port_space.h"

#include <algorithm>

#include "platform/format.h"

namespace kvt::driver::board {

bool PortSpace::Claim(uint32_t first, uint32_t count, PortDevice* device, std::string* error) {
    if (count == 0 || first > 0xFFFF || count > 0x10000 - first) {
        if (error) *error = Format("port range %Xh (%u ports) lies outside 0..FFFFh", first, count);
        return false;
    }
    const uint32_t last = first + count - 1;
    for (const Range& r : ranges_) {
        if (first <= r.last && r.first <= last) {
            if (error)
                *error = Format("ports %Xh-%Xh overlap ports %Xh-%Xh claimed by another device",
                                first, last, r.first, r.last);
            return false;
        }
    }
    Range range{first, last, device};
    auto at = std::lower_bound(ranges_.begin(), ranges_.end(), first,
                               [](const Range& r, uint32_t p) { return r.first < p; });
    ranges_.insert(at, range);
    return true;
}

void PortSpace::Release(PortDevice* device) {
    std::erase_if(ranges_, [device](const Range& r) { return r.device == device; });
}

const PortSpace::Range* PortSpace::Find(uint32_t port) const {
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), port,
                               [](uint32_t p, const Range& r) { return p < r.first; });
    if (it == ranges_.begin()) return nullptr;
    --it;
    return port <= it->last ? &*it : nullptr;
}

uint32_t PortSpace::Read(uint16_t port, uint32_t width) {
    if (width == 0 || width > 4) return 0xFFFFFFFF;
    const Range* r = Find(port);
    if (r && uint32_t(port) + width - 1 <= r->last) {
        uint32_t value = r->device->ReadPort(port, width);
        return width == 4 ? value : value & ((1u << (8 * width)) - 1);
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i) {
        uint32_t p = uint32_t(port) + i;
        const Range* b = p <= 0xFFFF ? Find(p) : nullptr;
        uint32_t byte = b ? b->device->ReadPort(uint16_t(p), 1) & 0xFF : 0xFF;
        value |= byte << (8 * i);
    }
    return value;
}

void PortSpace::Write(uint16_t port, uint32_t width, uint32_t value) {
    if (width == 0 || width > 4) return;
    const Range* r = Find(port);
    if (r && uint32_t(port) + width - 1 <= r->last) {
        r->device->WritePort(port, width, value);
        return;
    }
    for (uint32_t i = 0; i < width; ++i) {
        uint32_t p = uint32_t(port) + i;
        const Range* b = p <= 0xFFFF ? Find(p) : nullptr;
        if (b) b->device->WritePort(uint16_t(p), 1, (value >> (8 * i)) & 0xFF);
    }
}

uint32_t LatchPorts::ReadPort(uint16_t port, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i) {
        size_t at = size_t(port - first_) + i;
        value |= uint32_t(at < bytes_.size() ? bytes_[at] : 0xFF) << (8 * i);
    }
    return value;
}

void LatchPorts::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    for (uint32_t i = 0; i < width; ++i) {
        size_t at = size_t(port - first_) + i;
        if (at < bytes_.size()) bytes_[at] = uint8_t(value >> (8 * i));
    }
}

}  // namespace kvt::driver::board
