#include "driver/board/memory_map.h"

#include <algorithm>
#include <cstring>

#include "platform/format.h"

namespace kvt::driver::board {

RamRegion::RamRegion(uint64_t size, uint8_t fill, PageBudget& budget)
    : size_(size), fill_(fill), budget_(budget) {}

bool RamRegion::Read(uint64_t offset, uint8_t* out, uint32_t length) {
    if (offset > size_ || length > size_ - offset) return false;
    uint64_t end = offset + length;
    while (offset < end) {
        uint64_t page = offset / PageBudget::kPageSize;
        uint64_t in = offset % PageBudget::kPageSize;
        uint64_t n = std::min<uint64_t>(PageBudget::kPageSize - in, end - offset);
        auto it = pages_.find(page);
        if (it == pages_.end())
            std::memset(out, fill_, n);
        else
            std::memcpy(out, it->second.get() + in, n);
        out += n;
        offset += n;
    }
    return true;
}

uint64_t RamRegion::PagesNeeded(uint64_t offset, uint32_t length) const {
    if (length == 0) return 0;
    uint64_t first = offset / PageBudget::kPageSize;
    uint64_t last = (offset + length - 1) / PageBudget::kPageSize;
    uint64_t needed = 0;
    for (uint64_t p = first; p <= last; ++p)
        if (!pages_.count(p)) ++needed;
    return needed;
}

bool RamRegion::Write(uint64_t offset, const uint8_t* data, uint32_t length) {
    if (offset > size_ || length > size_ - offset) return false;
    if (budget_.usedPages + PagesNeeded(offset, length) > budget_.limitPages) return false;
    uint64_t end = offset + length;
    while (offset < end) {
        uint64_t page = offset / PageBudget::kPageSize;
        uint64_t in = offset % PageBudget::kPageSize;
        uint64_t n = std::min<uint64_t>(PageBudget::kPageSize - in, end - offset);
        auto& slot = pages_[page];
        if (!slot) {
            slot.reset(new uint8_t[PageBudget::kPageSize]);
            std::memset(slot.get(), fill_, PageBudget::kPageSize);
            ++budget_.usedPages;
        }
        std::memcpy(slot.get() + in, data, n);
        data += n;
        offset += n;
    }
    return true;
}

bool RomRegion::Read(uint64_t offset, uint8_t* out, uint32_t length) {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    std::memcpy(out, bytes_.data() + offset, length);
    return true;
}

bool MemoryMap::Map(uint64_t base, uint64_t size, MemoryRegion* region, const std::string& name,
                    std::string* error) {
    if (size == 0 || base >= kAddressSpace || size > kAddressSpace - base) {
        if (error)
            *error = Format("region at %llXh of %llXh bytes lies outside the 32-bit address space",
                            (unsigned long long)base, (unsigned long long)size);
        return false;
    }
    for (const Mapping& m : mappings_) {
        if (base < m.base + m.size && m.base < base + size) {
            if (error)
                *error = Format("region at %llXh-%llXh overlaps %s at %llXh-%llXh",
                                (unsigned long long)base, (unsigned long long)(base + size - 1),
                                m.name.c_str(), (unsigned long long)m.base,
                                (unsigned long long)(m.base + m.size - 1));
            return false;
        }
    }
    auto at = std::lower_bound(mappings_.begin(), mappings_.end(), base,
                               [](const Mapping& m, uint64_t b) { return m.base < b; });
    mappings_.insert(at, Mapping{base, size, region, name});
    return true;
}

const MemoryMap::Mapping* MemoryMap::Find(uint64_t address) const {
    auto it = std::upper_bound(mappings_.begin(), mappings_.end(), address,
                               [](uint64_t a, const Mapping& m) { return a < m.base; });
    if (it == mappings_.begin()) return nullptr;
    --it;
    return address - it->base < it->size ? &*it : nullptr;
}

template <typename F>
bool MemoryMap::Walk(uint32_t address, uint32_t length, F f) const {
    uint64_t at = address, end = uint64_t(address) + length;
    if (end > kAddressSpace) return false;
    uint32_t done = 0;
    while (at < end) {
        const Mapping* m = Find(at);
        if (!m) return false;
        uint64_t offset = at - m->base;
        uint32_t n = uint32_t(std::min<uint64_t>(m->size - offset, end - at));
        if (!f(*m, offset, done, n)) return false;
        at += n;
        done += n;
    }
    return true;
}

bool MemoryMap::Read(uint32_t address, uint8_t* out, uint32_t length) {
    if (!Walk(address, length, [](const Mapping&, uint64_t, uint32_t, uint32_t) { return true; }))
        return false;
    return Walk(address, length,
                [out](const Mapping& m, uint64_t offset, uint32_t pos, uint32_t n) {
                    return m.region->Read(offset, out + pos, n);
                });
}

bool MemoryMap::Write(uint32_t address, const uint8_t* data, uint32_t length) {
    uint64_t pages = 0;
    if (!Walk(address, length, [&pages](const Mapping& m, uint64_t offset, uint32_t, uint32_t n) {
            pages += m.region->PagesNeeded(offset, n);
            return true;
        }))
        return false;
    if (budget_.usedPages + pages > budget_.limitPages) return false;
    return Walk(address, length,
                [data](const Mapping& m, uint64_t offset, uint32_t pos, uint32_t n) {
                    return m.region->Write(offset, data + pos, n);
                });
}

}  // namespace kvt::driver::board
