// The physical address space of a simulated board (32-bit addresses): RAM, ROM and
// memory-mapped devices such as the PCI Express configuration window. An access that is
// not wholly covered by mapped regions fails as a request failure; nothing is invented.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kvt::driver::board {

// A memory-mapped device or store. Offsets are relative to the region's base and the
// memory map only passes accesses that lie inside the region.
class MemoryRegion {
  public:
    virtual ~MemoryRegion() = default;
    virtual bool Read(uint64_t offset, uint8_t* out, uint32_t length) = 0;
    virtual bool Write(uint64_t offset, const uint8_t* data, uint32_t length) = 0;
    // Pages a write of this range would newly allocate (only RAM allocates).
    virtual uint64_t PagesNeeded(uint64_t offset, uint32_t length) const {
        (void)offset, (void)length;
        return 0;
    }
};

// Pages of written RAM shared by all RAM regions of a board, so a simulated board never
// holds more than its budget however large its declared RAM is.
struct PageBudget {
    static constexpr uint64_t kPageSize = 4096;
    static constexpr uint64_t kDefaultLimitPages = (64ull << 20) / kPageSize;  // 64 MiB
    uint64_t limitPages = kDefaultLimitPages;
    uint64_t usedPages = 0;
};

// RAM: reads of bytes never written give the region's fill byte (zero unless the profile
// says otherwise); a page is allocated on its first write.
class RamRegion : public MemoryRegion {
  public:
    RamRegion(uint64_t size, uint8_t fill, PageBudget& budget);
    bool Read(uint64_t offset, uint8_t* out, uint32_t length) override;
    bool Write(uint64_t offset, const uint8_t* data, uint32_t length) override;
    uint64_t PagesNeeded(uint64_t offset, uint32_t length) const override;

  private:
    uint64_t size_;
    uint8_t fill_;
    PageBudget& budget_;
    std::unordered_map<uint64_t, std::unique_ptr<uint8_t[]>> pages_;
};

// ROM: fixed contents; writes are accepted and change nothing, as on a real ROM.
class RomRegion : public MemoryRegion {
  public:
    explicit RomRegion(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    bool Read(uint64_t offset, uint8_t* out, uint32_t length) override;
    bool Write(uint64_t, const uint8_t*, uint32_t) override { return true; }

  private:
    std::vector<uint8_t> bytes_;
};

class MemoryMap {
  public:
    static constexpr uint64_t kAddressSpace = 1ull << 32;

    // Maps size bytes at base; fails when the range leaves the 32-bit space or overlaps.
    bool Map(uint64_t base, uint64_t size, MemoryRegion* region, const std::string& name,
             std::string* error);

    bool Read(uint32_t address, uint8_t* out, uint32_t length);
    // All or nothing: the whole range must be mapped (and the RAM page budget must hold)
    // before any byte is written.
    bool Write(uint32_t address, const uint8_t* data, uint32_t length);

    // The written-page budget the board's RAM regions draw on.
    PageBudget& budget() { return budget_; }

  private:
    struct Mapping {
        uint64_t base, size;
        MemoryRegion* region;
        std::string name;
    };
    const Mapping* Find(uint64_t address) const;
    // Calls f(mapping, offset, position in the caller's buffer, length) for every piece of
    // the range; false when a piece is unmapped (before f is called for it).
    template <typename F>
    bool Walk(uint32_t address, uint32_t length, F f) const;

    std::vector<Mapping> mappings_;  // sorted by base
    PageBudget budget_;
};

}  // namespace kvt::driver::board
