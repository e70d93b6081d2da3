#include "driver/board/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "boards/profile/processors.h"
#include "boards/profile/schema.h"
#include "driver/board/smbus_section.h"
#include "platform/format.h"
#include "protocol/pci_address.h"

namespace kvt::driver::board {
namespace {

using board_profile::KeysOf;

constexpr uint64_t kU8 = 0xFF, kU16 = 0xFFFF, kU32 = 0xFFFFFFFF;
constexpr size_t kMaxProcessors = 64;
constexpr size_t kMaxCpuidEntries = 4096;
constexpr size_t kMaxMsrs = 4096;
constexpr size_t kMaxMemoryRegions = 64;
constexpr uint64_t kMaxRomSize = 16ull << 20;  // ROM contents are held whole: all ROMs together

bool IsPowerOfTwo(uint64_t v) {
    return v && !(v & (v - 1));
}

// ---- processors ----

using board_profile::CpuidEntry;
using board_profile::MsrAccess;
using board_profile::MsrEntry;

bool ParseCpuidList(const ProfileNode& parent, std::vector<CpuidEntry>& out, bool required) {
    std::vector<ProfileNode> items;
    if (!parent.Array("cpuid", items, required, kMaxCpuidEntries)) return false;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (const ProfileNode& n : items) {
        if (!n.ObjectWithKeys(KeysOf("processors.cpuid[]"))) return false;
        CpuidEntry e;
        if (!n.Number("leaf", kU32, e.leaf, true)) return false;
        if (n.Has("sub") && !n.Number("sub", kU32 - 1, e.sub, true)) return false;
        static const char* names[4] = {"eax", "ebx", "ecx", "edx"};
        for (int r = 0; r < 4; ++r) {
            if (!n.Has(names[r])) continue;
            uint32_t v = 0;
            if (!n.Number(names[r], kU32, v, true)) return false;
            e.regs[r] = v;
        }
        if (!seen.insert({e.leaf, e.sub}).second)
            return n.Fail(Format("leaf 0x%X%s is listed twice", e.leaf,
                                 e.sub == board_profile::kAnySub ? "" : " with this sub-leaf"));
        out.push_back(e);
    }
    return true;
}

bool ParseMsrList(const ProfileNode& parent, std::vector<MsrEntry>& out) {
    std::vector<ProfileNode> items;
    if (!parent.Array("msrs", items, false, kMaxMsrs)) return false;
    std::set<uint32_t> seen;
    for (const ProfileNode& n : items) {
        if (!n.ObjectWithKeys(KeysOf("processors.msrs[]"))) return false;
        MsrEntry e;
        bool isVolatile = false;  // for comparisons only: the value changes on its own
        if (!n.Bool("volatile", isVolatile)) return false;
        if (n.Has("volatile")) e.isVolatile = isVolatile;
        if (!n.Number("msr", kU32, e.number, true)) return false;
        if (n.Has("value")) {
            uint64_t v = 0;
            if (!n.Number("value", UINT64_MAX, v, true)) return false;
            e.value = v;
        }
        if (n.Has("write_mask")) {
            uint64_t v = 0;
            if (!n.Number("write_mask", UINT64_MAX, v, true)) return false;
            e.writeMask = v;
        }
        if (n.Has("access")) {
            std::string a;
            if (!n.String("access", a, true, 32)) return false;
            if (a == "read-write")
                e.access = MsrAccess::kReadWrite;
            else if (a == "read-only")
                e.access = MsrAccess::kReadOnly;
            else if (a == "refused")
                e.access = MsrAccess::kRefused;
            else
                return n.Fail(n.PathOf("access"), "must be read-write, read-only or refused");
        }
        if (!seen.insert(e.number).second)
            return n.Fail(Format("MSR 0x%X is listed twice", e.number));
        out.push_back(e);
    }
    return true;
}

// Serves the functions and MSRs the profile's entries give the processor.
void Install(Processor& p, const board_profile::CpuidTable& cpuid,
             const board_profile::MsrTable& msrs) {
    static_assert(board_profile::kAnySub == Processor::kAnySub);
    for (const auto& [key, regs] : cpuid)
        p.SetCpuid(key.first, key.second, {regs[0], regs[1], regs[2], regs[3]});
    for (const auto& [number, state] : msrs) {
        Msr m;
        m.value = state.value;
        m.writeMask = state.writeMask;
        m.access = state.access == MsrAccess::kRefused    ? Msr::Access::kRefused
                   : state.access == MsrAccess::kReadOnly ? Msr::Access::kReadOnly
                                                          : Msr::Access::kReadWrite;
        p.SetMsr(number, m);
    }
}

bool ParseProcessors(const ProfileNode& n, Board& board) {
    if (!n.ObjectWithKeys(KeysOf("processors"))) return false;
    uint32_t count = 0;
    uint64_t hz = 0;
    if (!n.Number("count", kMaxProcessors, count, true)) return false;
    if (count == 0) return n.Fail(n.PathOf("count"), "must be at least 1");
    if (!n.Number("tsc_hz", 100000000000ull, hz, true)) return false;
    if (hz == 0) return n.Fail(n.PathOf("tsc_hz"), "must be at least 1");
    std::vector<CpuidEntry> cpuid;
    std::vector<MsrEntry> msrs;
    if (!ParseCpuidList(n, cpuid, true) || !ParseMsrList(n, msrs)) return false;
    bool hasLeaf0 = false;
    for (const CpuidEntry& e : cpuid) hasLeaf0 = hasLeaf0 || e.leaf == 0;
    if (!hasLeaf0) return n.Fail(n.PathOf("cpuid"), "needs leaf 0 (highest function, vendor)");

    std::vector<ProfileNode> each;
    if (!n.Array("each", each, false, count)) return false;
    board.processors.assign(count, Processor());
    board_profile::CpuidTable sharedCpuid;
    board_profile::MsrTable sharedMsrs;
    board_profile::ApplyCpuid(sharedCpuid, cpuid);
    board_profile::ApplyMsrs(sharedMsrs, msrs);
    for (uint32_t i = 0; i < count; ++i) {
        Processor& p = board.processors[i];
        board_profile::CpuidTable ownCpuid = sharedCpuid;
        board_profile::MsrTable ownMsrs = sharedMsrs;
        uint64_t ownHz = hz, offset = 0;
        if (i < each.size()) {
            const ProfileNode& e = each[i];
            if (!e.ObjectWithKeys(KeysOf("processors.each[]"))) return false;
            std::vector<CpuidEntry> c;
            std::vector<MsrEntry> m;
            if (!ParseCpuidList(e, c, false) || !ParseMsrList(e, m)) return false;
            if (!e.Number("tsc_hz", 100000000000ull, ownHz, false)) return false;
            if (ownHz == 0) return e.Fail(e.PathOf("tsc_hz"), "must be at least 1");
            if (!e.Number("tsc_offset", UINT64_MAX, offset, false)) return false;
            board_profile::ApplyCpuid(ownCpuid, c);
            board_profile::ApplyMsrs(ownMsrs, m);
        }
        Install(p, ownCpuid, ownMsrs);
        p.SetTsc(ownHz, offset);
    }
    return true;
}

// ---- PCI ----

bool ParsePciAddress(const ProfileNode& f, uint8_t& bus, uint8_t& devFn,
                     std::string_view key = "address") {
    std::string text;
    if (!f.String(key, text, true, 16)) return false;
    // bb:dd.f in hexadecimal, one or two digits for bus and device.
    const std::optional<PciAddress> parsed = ParsePciFunction(text, false);
    if (!parsed)
        return f.Fail(f.PathOf(key), "must be bus:device.function in hexadecimal, e.g. 00:1f.3");
    bus = parsed->bus;
    devFn = parsed->devFn();
    return true;
}

class ConfigBuilder {
  public:
    explicit ConfigBuilder(size_t size) : cfg(size, 0), wmask(size, 0), cmask(size, 0) {}
    void Put(uint32_t at, uint32_t width, uint64_t v) {
        for (uint32_t i = 0; i < width; ++i) cfg[at + i] = uint8_t(v >> (8 * i));
    }
    void Mask(uint32_t at, uint32_t width, uint64_t v) {
        for (uint32_t i = 0; i < width; ++i) wmask[at + i] = uint8_t(v >> (8 * i));
    }
    void Clear(uint32_t at, uint32_t width, uint64_t v) {
        for (uint32_t i = 0; i < width; ++i) cmask[at + i] = uint8_t(v >> (8 * i));
    }
    uint32_t Get(uint32_t at, uint32_t width) const {
        uint32_t v = 0;
        for (uint32_t i = 0; i < width; ++i) v |= uint32_t(cfg[at + i]) << (8 * i);
        return v;
    }
    std::vector<uint8_t> cfg, wmask, cmask;
};

// Bits software may change in the standard headers: the command register, the status bits
// that a written 1 clears, cache line size, latency timer, interrupt line; and in a bridge
// header the bus numbers and the forwarding windows.
void DefaultMasks(ConfigBuilder& c, uint32_t headerType) {
    c.Mask(0x04, 2, 0x0547);
    c.Clear(0x06, 2, 0xF900);
    c.Mask(0x0C, 2, 0xFFFF);
    c.Mask(0x3C, 1, 0xFF);
    if (headerType == 1) {
        c.Mask(0x18, 4, 0xFFFFFFFF);
        c.Mask(0x1C, 2, 0xF0F0);
        c.Clear(0x1E, 2, 0xF900);
        c.Mask(0x20, 4, 0xFFF0FFF0);
        c.Mask(0x24, 4, 0xFFF0FFF0);
        c.Mask(0x28, 8, 0xFFFFFFFFFFFFFFFFull);
        c.Mask(0x30, 4, 0xFFFFFFFF);
        c.Mask(0x3E, 2, 0x0FFF);
    }
}

bool ParseBars(const ProfileNode& f, ConfigBuilder& c, uint32_t headerType) {
    std::vector<ProfileNode> bars;
    const uint32_t count = headerType == 1 ? 2 : 6;
    if (!f.Array("bars", bars, false, count)) return false;
    std::array<bool, 6> used{};
    for (const ProfileNode& b : bars) {
        if (!b.ObjectWithKeys(KeysOf("pci.functions[].bars[]"))) return false;
        uint32_t index = 0;
        uint64_t size = 0, address = 0;
        std::string kind;
        bool prefetchable = false;
        if (!b.Number("index", count - 1, index, true) || !b.String("kind", kind, true, 8) ||
            !b.Number("size", UINT64_MAX, size, true) ||
            !b.Number("address", UINT64_MAX, address, false) ||
            !b.Bool("prefetchable", prefetchable))
            return false;
        const uint32_t reg = 0x10 + 4 * index;
        if (used[index]) return b.Fail(b.PathOf("index"), "this BAR is declared twice");
        if (!IsPowerOfTwo(size)) return b.Fail(b.PathOf("size"), "must be a power of two");
        if (address & (size - 1))
            return b.Fail(b.PathOf("address"), "must be a multiple of the size");
        if (kind == "io") {
            if (size < 4 || size > 256)
                return b.Fail(b.PathOf("size"), "an I/O BAR spans 4 to 256 ports");
            if (address > 0xFFFF) return b.Fail(b.PathOf("address"), "must be at most 0xFFFF");
            if (prefetchable) return b.Fail(b.PathOf("prefetchable"), "only memory BARs prefetch");
            // Chipset I/O BARs decode 16 address bits; the upper half reads zero.
            c.Put(reg, 4, address | 1);
            c.Mask(reg, 4, 0xFFFC & ~(size - 1));
        } else if (kind == "mem32") {
            if (size < 16 || size > 0x80000000ull)
                return b.Fail(b.PathOf("size"), "a 32-bit memory BAR spans 16 bytes to 2 GiB");
            if (address > kU32) return b.Fail(b.PathOf("address"), "must be below 4 GiB");
            c.Put(reg, 4, address | (prefetchable ? 8 : 0));
            c.Mask(reg, 4, 0xFFFFFFF0 & ~(size - 1));
        } else if (kind == "mem64") {
            if (index + 1 >= count || used[index + 1])
                return b.Fail(b.PathOf("index"),
                              "a 64-bit BAR needs the next BAR as its upper half");
            if (size < 16 || size > (1ull << 62))
                return b.Fail(b.PathOf("size"), "a 64-bit memory BAR spans 16 bytes to 2^62 bytes");
            c.Put(reg, 4, (address & 0xFFFFFFFF) | 4 | (prefetchable ? 8 : 0));
            c.Put(reg + 4, 4, address >> 32);
            uint64_t mask = ~(size - 1) & ~0xFull;
            c.Mask(reg, 4, mask & 0xFFFFFFFF);
            c.Mask(reg + 4, 4, mask >> 32);
            used[index + 1] = true;
        } else {
            return b.Fail(b.PathOf("kind"), "must be io, mem32 or mem64");
        }
        used[index] = true;
    }
    return true;
}

bool ParseRom(const ProfileNode& f, ConfigBuilder& c, uint32_t headerType) {
    if (!f.Has("rom")) return true;
    ProfileNode r = f.Child("rom");
    if (!r.ObjectWithKeys(KeysOf("pci.functions[].rom"))) return false;
    uint64_t size = 0, address = 0;
    if (!r.Number("size", 0x80000000ull, size, true) || !r.Number("address", kU32, address, false))
        return false;
    if (!IsPowerOfTwo(size) || size < 2048)
        return r.Fail(r.PathOf("size"), "must be a power of two of at least 2048");
    if (address & (size - 1)) return r.Fail(r.PathOf("address"), "must be a multiple of the size");
    uint32_t reg = headerType == 1 ? 0x38 : 0x30;
    c.Put(reg, 4, address);
    c.Mask(reg, 4, (0xFFFFF800 & ~(size - 1)) | 1);
    return true;
}

// Default contents of the common capabilities when the profile gives no bytes: payload
// (after the ID and next-pointer bytes) and the payload bits software may write.
bool DefaultCapability(const ProfileNode& cap, uint32_t id, std::vector<uint8_t>& payload,
                       std::vector<uint8_t>& mask) {
    auto put = [](std::vector<uint8_t>& v, size_t at, uint32_t width, uint64_t value) {
        if (v.size() < at + width) v.resize(at + width, 0);
        for (uint32_t i = 0; i < width; ++i) v[at + i] = i < 8 ? uint8_t(value >> (8 * i)) : 0;
    };
    if (id == 0x01) {  // power management: version 1.2, D0..D3hot via PMCSR bits 1:0
        put(payload, 0, 2, 0x0003);
        put(payload, 2, 4, 0);
        put(mask, 2, 1, 0x03);
        return true;
    }
    if (id == 0x05) {  // MSI, 64-bit address: enable, multiple message enable, address, data
        put(payload, 0, 2, 0x0080);
        put(payload, 2, 10, 0);
        put(mask, 0, 1, 0x71);
        put(mask, 2, 4, 0xFFFFFFFC);
        put(mask, 6, 4, 0xFFFFFFFF);
        put(mask, 10, 2, 0xFFFF);
        return true;
    }
    if (id == 0x10) {  // PCI Express capability structure, version 2
        static const std::pair<const char*, uint32_t> kTypes[] = {
            {"endpoint", 0},           {"legacy_endpoint", 1},     {"root_port", 4},
            {"upstream_port", 5},      {"downstream_port", 6},     {"pcie_to_pci_bridge", 7},
            {"pci_to_pcie_bridge", 8}, {"integrated_endpoint", 9}, {"event_collector", 10}};
        std::string typeName = "endpoint";
        uint32_t width = 1, speed = 1;
        if (!cap.String("port_type", typeName, false, 32) ||
            !cap.Number("link_width", 32, width, false) ||
            !cap.Number("link_speed", 3, speed, false))
            return false;
        std::optional<uint32_t> type;
        for (const auto& [name, code] : kTypes)
            if (typeName == name) type = code;
        if (!type) return cap.Fail(cap.PathOf("port_type"), "is not a PCI Express port type");
        if (width == 0 || speed == 0)
            return cap.Fail(cap.PathOf(width == 0 ? "link_width" : "link_speed"),
                            "must be at least 1");
        bool slot = *type == 4 || *type == 6;
        put(payload, 0, 2, 0x0002 | *type << 4 | (slot ? 0x100 : 0));
        put(payload, 2, 4, 0x00008000);                    // device capabilities: role-based errors
        put(payload, 6, 2, 0x2810);                        // device control
        put(payload, 8, 2, 0);                             // device status
        put(payload, 10, 4, 0x0C00 | width << 4 | speed);  // link capabilities
        put(payload, 14, 2, 0);                            // link control
        put(payload, 16, 2, 0x1000 | width << 4 | speed);  // link status
        put(payload, 18, 40, 0);                           // slot, root and version-2 registers
        put(mask, 6, 2, 0x7CFF);
        put(mask, 14, 2, 0x01C3);
        return true;
    }
    return cap.Fail("needs bytes or length (no default contents for this capability)");
}

bool ParseCapabilities(const ProfileNode& f, ConfigBuilder& c) {
    std::vector<ProfileNode> caps;
    if (!f.Array("capabilities", caps, false, 48)) return false;
    if (caps.empty()) return true;
    std::vector<bool> taken(0x100, false);
    uint32_t next = 0x40, previous = 0;
    for (const ProfileNode& cap : caps) {
        if (!cap.ObjectWithKeys(KeysOf("pci.functions[].capabilities[]"))) return false;
        uint32_t id = 0, offset = next, length = 0;
        if (!cap.Number("id", kU8, id, true) || !cap.Number("offset", 0xFC, offset, false) ||
            !cap.Number("length", 0xC0, length, false))
            return false;
        if (id == 0) return cap.Fail(cap.PathOf("id"), "must be from 1 to 0xFF");
        if (offset < 0x40 || (offset & 3))
            return cap.Fail(cap.PathOf("offset"), "must be a multiple of 4 from 0x40 to 0xFC");
        std::vector<uint8_t> payload, mask;
        if (cap.Has("bytes") || cap.Has("length")) {
            if (!cap.HexBytes("bytes", payload, false)) return false;
            if (payload.size() < length) payload.resize(length, 0);
            if (!cap.HexBytes("write_mask", mask, false)) return false;
            if (mask.size() > payload.size())
                return cap.Fail(cap.PathOf("write_mask"), "is longer than the capability");
        } else if (!DefaultCapability(cap, id, payload, mask)) {
            return false;
        }
        uint32_t end = offset + 2 + uint32_t(payload.size());
        if (end > 0x100) return cap.Fail("runs past the end of the 256-byte space");
        for (uint32_t i = offset; i < end; ++i) {
            if (taken[i]) return cap.Fail(cap.PathOf("offset"), "overlaps another capability");
            taken[i] = true;
        }
        c.Put(offset, 1, id);
        c.Put(offset + 1, 1, 0);
        for (size_t i = 0; i < payload.size(); ++i) c.cfg[offset + 2 + i] = payload[i];
        for (size_t i = 0; i < mask.size(); ++i) c.wmask[offset + 2 + i] = mask[i];
        if (previous)
            c.Put(previous + 1, 1, offset);
        else
            c.Put(0x34, 1, offset);
        previous = offset;
        next = (end + 3) & ~3u;
    }
    c.Put(0x06, 2, c.Get(0x06, 2) | 0x0010);  // capabilities list present
    return true;
}

bool ParseExtendedCapabilities(const ProfileNode& f, ConfigBuilder& c) {
    std::vector<ProfileNode> caps;
    if (!f.Array("extended_capabilities", caps, false, 128)) return false;
    if (caps.empty()) return true;
    if (c.cfg.size() < 0x1000)
        return f.Fail(f.PathOf("extended_capabilities"), "need \"express\": true");
    std::vector<bool> taken(0x1000, false);
    uint32_t next = 0x100, previous = 0;
    for (const ProfileNode& cap : caps) {
        if (!cap.ObjectWithKeys(KeysOf("pci.functions[].extended_capabilities[]"))) return false;
        uint32_t id = 0, version = 1, offset = next, length = 0;
        if (!cap.Number("id", kU16, id, true) || !cap.Number("version", 15, version, false) ||
            !cap.Number("offset", 0xFFC, offset, false) ||
            !cap.Number("length", 0xF00, length, false))
            return false;
        if (id == 0) return cap.Fail(cap.PathOf("id"), "must be from 1 to 0xFFFF");
        if (offset < 0x100 || (offset & 3))
            return cap.Fail(cap.PathOf("offset"), "must be a multiple of 4 from 0x100 to 0xFFC");
        if (previous == 0 && offset != 0x100)
            return cap.Fail(cap.PathOf("offset"), "the first extended capability sits at 0x100");
        std::vector<uint8_t> payload, mask;
        if (!cap.HexBytes("bytes", payload, false) || !cap.HexBytes("write_mask", mask, false))
            return false;
        if (payload.size() < length) payload.resize(length, 0);
        if (mask.size() > payload.size())
            return cap.Fail(cap.PathOf("write_mask"), "is longer than the capability");
        uint32_t end = offset + 4 + uint32_t(payload.size());
        if (end > 0x1000) return cap.Fail("runs past the end of the 4096-byte space");
        for (uint32_t i = offset; i < end; ++i) {
            if (taken[i]) return cap.Fail(cap.PathOf("offset"), "overlaps another capability");
            taken[i] = true;
        }
        c.Put(offset, 4, id | version << 16);
        for (size_t i = 0; i < payload.size(); ++i) c.cfg[offset + 4 + i] = payload[i];
        for (size_t i = 0; i < mask.size(); ++i) c.wmask[offset + 4 + i] = mask[i];
        if (previous) c.Put(previous, 4, c.Get(previous, 4) | offset << 20);
        previous = offset;
        next = (end + 3) & ~3u;
    }
    return true;
}

bool ParseFunction(const ProfileNode& f, const std::set<uint16_t>& sharedSlots, Board& board) {
    if (!f.ObjectWithKeys(KeysOf("pci.functions[]"))) return false;
    uint8_t bus = 0, devFn = 0;
    if (!ParsePciAddress(f, bus, devFn)) return false;
    bool express = false;
    if (!f.Bool("express", express)) return false;
    ConfigBuilder c(express ? 0x1000 : 0x100);

    std::vector<uint8_t> raw;
    if (!f.HexBytes("config", raw, false)) return false;
    if (raw.size() > c.cfg.size())
        return f.Fail(f.PathOf("config"), Format("holds more than %zu bytes", c.cfg.size()));
    std::copy(raw.begin(), raw.end(), c.cfg.begin());

    uint32_t headerType = c.cfg[0x0E] & 0x7F;
    if (!f.Number("header_type", 1, headerType, false)) return false;
    if (headerType > 1) return f.Fail(f.PathOf("config"), "header type must be 0 or 1");
    bool multifunction = (c.cfg[0x0E] & 0x80) || sharedSlots.count(uint16_t(bus << 5 | devFn >> 3));
    if (!f.Bool("multifunction", multifunction)) return false;
    c.Put(0x0E, 1, headerType | (multifunction ? 0x80 : 0));
    DefaultMasks(c, headerType);

    struct Field {
        const char* key;
        uint32_t offset, width;
        uint64_t max;
    };
    const Field fields[] = {{"vendor_id", 0x00, 2, kU16},     {"device_id", 0x02, 2, kU16},
                            {"command", 0x04, 2, kU16},       {"status", 0x06, 2, kU16},
                            {"revision", 0x08, 1, kU8},       {"class", 0x09, 3, 0xFFFFFF},
                            {"interrupt_line", 0x3C, 1, kU8}, {"interrupt_pin", 0x3D, 1, 4}};
    for (const Field& fd : fields) {
        if (!f.Has(fd.key)) continue;
        uint64_t v = 0;
        if (!f.Number(fd.key, fd.max, v, true)) return false;
        c.Put(fd.offset, fd.width, v);
    }
    if (f.Has("subsystem_vendor_id") || f.Has("subsystem_id")) {
        if (headerType != 0)
            return f.Fail(f.PathOf("subsystem_id"), "only a type 0 header has subsystem IDs here");
        uint64_t sv = c.Get(0x2C, 2), sd = c.Get(0x2E, 2);
        if (!f.Number("subsystem_vendor_id", kU16, sv, false) ||
            !f.Number("subsystem_id", kU16, sd, false))
            return false;
        c.Put(0x2C, 2, sv);
        c.Put(0x2E, 2, sd);
    }
    if (f.Has("bus_numbers")) {
        ProfileNode b = f.Child("bus_numbers");
        if (headerType != 1) return b.Fail("only a bridge (header type 1) has bus numbers");
        if (!b.ObjectWithKeys(KeysOf("pci.functions[].bus_numbers"))) return false;
        uint32_t p = 0, s = 0, sub = 0;
        if (!b.Number("primary", kU8, p, true) || !b.Number("secondary", kU8, s, true) ||
            !b.Number("subordinate", kU8, sub, true))
            return false;
        if (sub < s) return b.Fail(b.PathOf("subordinate"), "must not be below secondary");
        c.Put(0x18, 3, p | s << 8 | sub << 16);
    }
    if (!ParseBars(f, c, headerType) || !ParseRom(f, c, headerType) || !ParseCapabilities(f, c) ||
        !ParseExtendedCapabilities(f, c))
        return false;

    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches;
    if (!f.OffsetBytes("bytes", c.cfg.size(), patches)) return false;
    for (const auto& [at, bytes] : patches)
        std::copy(bytes.begin(), bytes.end(), c.cfg.begin() + at);
    if (!f.OffsetBytes("write_masks", c.cfg.size(), patches)) return false;
    for (const auto& [at, bytes] : patches)
        std::copy(bytes.begin(), bytes.end(), c.wmask.begin() + at);

    uint32_t vendor = c.Get(0, 2);
    if (vendor == 0 || vendor == 0xFFFF)
        return f.Fail(f.PathOf("vendor_id"), "missing, or 0000h/FFFFh (which mean no function)");
    std::string error;
    auto function = std::make_unique<PciFunction>(bus, devFn, std::move(c.cfg), std::move(c.wmask),
                                                  std::move(c.cmask));
    if (!board.pci().Add(std::move(function), &error)) return f.Fail(f.PathOf("address"), error);
    return true;
}

bool ParsePci(const ProfileNode& n, Board& board) {
    if (!n.ObjectWithKeys(KeysOf("pci"))) return false;
    std::vector<ProfileNode> functions;
    if (!n.Array("functions", functions, true, PciBus::kMaxFunctions)) return false;
    // Slots (bus, device) that hold more than one function: function 0 of such a slot says
    // multi-function unless the profile decides otherwise.
    std::set<uint16_t> seen, shared;
    for (const ProfileNode& f : functions) {
        uint8_t bus = 0, devFn = 0;
        if (!f.json().is_object()) return f.Fail("must be an object");
        if (!ParsePciAddress(f, bus, devFn)) return false;
        uint16_t slot = uint16_t(bus << 5 | devFn >> 3);
        if (!seen.insert(slot).second) shared.insert(slot);
    }
    for (const ProfileNode& f : functions)
        if (!ParseFunction(f, shared, board)) return false;

    auto* mech = board.Own(std::make_unique<ConfigMechanism1>(board.pci()));
    std::string error;
    if (!board.ports().Claim(ConfigMechanism1::kAddressPort, 8, mech, &error)) return n.Fail(error);

    if (n.Has("ecam")) {
        ProfileNode e = n.Child("ecam");
        if (!e.ObjectWithKeys(KeysOf("pci.ecam"))) return false;
        uint64_t base = 0;
        uint32_t buses = 256;
        if (!e.Number("base", kU32, base, true) || !e.Number("buses", 256, buses, false))
            return false;
        if (buses == 0) return e.Fail(e.PathOf("buses"), "must be from 1 to 256");
        if (base & 0xFFFFF) return e.Fail(e.PathOf("base"), "must be a multiple of 1 MiB");
        auto* window = board.Own(std::make_unique<EcamWindow>(board.pci()));
        if (!board.memory().Map(base, uint64_t(buses) << 20, window, "the PCI Express window",
                                &error))
            return e.Fail(error);
        board.hasEcam = true;
        board.ecamBase = uint32_t(base);
        board.ecamBuses = buses;
    }
    return true;
}

// ---- memory ----

bool ParseMemory(const ProfileNode& root, Board& board) {
    std::vector<ProfileNode> regions;
    if (!root.Array("memory", regions, true, kMaxMemoryRegions)) return false;
    uint64_t romBytes = 0;
    for (const ProfileNode& r : regions) {
        if (!r.ObjectWithKeys(KeysOf("memory[]"))) return false;
        std::string name, kind;
        uint64_t base = 0, size = 0;
        if (!r.String("name", name, true, 64) || !r.Number("base", kU32, base, true) ||
            !r.Number("size", 1ull << 32, size, true) || !r.String("kind", kind, true, 8))
            return false;
        if (size == 0) return r.Fail(r.PathOf("size"), "must be at least 1");
        if (kind != "ram" && kind != "rom") return r.Fail(r.PathOf("kind"), "must be ram or rom");
        if (kind == "rom" && size > kMaxRomSize - romBytes)
            return r.Fail(r.PathOf("size"), "the ROMs of a board hold at most 16 MiB together");
        if (kind == "rom") romBytes += size;
        uint32_t fill = kind == "rom" ? 0xFF : 0x00;
        if (!r.Number("fill", kU8, fill, false)) return false;

        std::vector<std::pair<uint64_t, std::vector<uint8_t>>> patches;
        if (!r.OffsetBytes("bytes", size, patches)) return false;
        if (r.Has("ascii")) {
            ProfileNode a = r.Child("ascii");
            if (!a.json().is_object()) return a.Fail("must be an object of offsets and texts");
            for (const auto& item : a.json().items()) {
                std::string path = a.PathOf(item.key()), problem;
                uint64_t offset = 0;
                if (!ParseNumber(Json(item.key()), UINT64_MAX, offset, problem))
                    return a.Fail(path, "the offset " + problem);
                if (!item.value().is_string()) return a.Fail(path, "must be a text");
                const std::string& s = item.value().get_ref<const std::string&>();
                if (offset > size || s.size() > size - offset)
                    return a.Fail(path, "runs past the end of the region");
                patches.emplace_back(offset, std::vector<uint8_t>(s.begin(), s.end()));
            }
        }
        MemoryRegion* region = nullptr;
        std::string error;
        if (kind == "rom") {
            std::vector<uint8_t> bytes(size, uint8_t(fill));
            for (const auto& [at, b] : patches) std::copy(b.begin(), b.end(), bytes.begin() + at);
            region = board.Own(std::make_unique<RomRegion>(std::move(bytes)));
        } else {
            auto* ram = board.Own(
                std::make_unique<RamRegion>(size, uint8_t(fill), board.memory().budget()));
            for (const auto& [at, b] : patches)
                if (!ram->Write(at, b.data(), uint32_t(b.size())))
                    return r.Fail(r.PathOf("bytes"), "more initial contents than the RAM budget");
            region = ram;
        }
        if (!board.memory().Map(base, size, region, "region \"" + name + "\"", &error))
            return r.Fail(error);
    }
    return true;
}

// ---- CMOS ----

bool ParseCmos(const ProfileNode& n, Board& board) {
    if (!n.ObjectWithKeys(KeysOf("cmos"))) return false;
    // Offsets whose values change on their own (the clock): only comparisons use them.
    std::vector<uint8_t> volatileOffsets;
    if (!n.HexBytes("volatile", volatileOffsets, false)) return false;
    for (uint8_t offset : volatileOffsets)
        if (offset >= CmosBank::kSize)
            return n.Fail(n.PathOf("volatile"), "offsets run from 00 to 7f");
    static const std::pair<const char*, uint16_t> kBanks[] = {
        {"bank70", 0x70}, {"bank72", 0x72}, {"bank74", 0x74}};
    if (!n.Has("bank70")) return n.Fail(n.PathOf("bank70"), "missing");
    for (const auto& [key, port] : kBanks) {
        if (!n.Has(key)) continue;
        std::vector<uint8_t> bytes;
        if (!n.HexBytes(key, bytes, true)) return false;
        if (bytes.size() > CmosBank::kSize)
            return n.Fail(n.PathOf(key), "holds more than 128 bytes");
        std::array<uint8_t, CmosBank::kSize> contents{};
        std::copy(bytes.begin(), bytes.end(), contents.begin());
        auto* bank = board.Own(std::make_unique<CmosBank>(port, contents));
        std::string error;
        if (!board.ports().Claim(port, 2, bank, &error)) return n.Fail(n.PathOf(key), error);
    }
    return true;
}

// ---- ports ----

bool ParsePorts(const ProfileNode& root, Board& board) {
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> runs;
    if (!root.OffsetBytes("ports", 0x10000, runs)) return false;
    for (const auto& [first, bytes] : runs) {
        if (bytes.empty()) continue;
        auto* latch = board.Own(std::make_unique<LatchPorts>(uint16_t(first), bytes));
        std::string error;
        if (!board.ports().Claim(uint32_t(first), uint32_t(bytes.size()), latch, &error))
            return root.Fail(root.PathOf("ports"), error);
    }
    return true;
}

// ---- faults ----

constexpr size_t kMaxFaults = 256;
constexpr uint64_t kMaxStallMs = 60000;

bool ParseFaults(const ProfileNode& root, Board& board) {
    std::vector<ProfileNode> list;
    if (!root.Array("faults", list, false, kMaxFaults)) return false;
    for (const ProfileNode& n : list) {
        if (!n.ObjectWithKeys(KeysOf("faults[]"))) return false;
        std::string kind, action = "fail";
        if (!n.String("kind", kind, true, 8) || !n.String("action", action, false, 8)) return false;
        Fault f;
        if (kind == "pci") {
            f.kind = FaultKind::Pci;
            uint8_t bus = 0, devFn = 0;
            if (!ParsePciAddress(n, bus, devFn, "first")) return false;
            f.first = f.last = uint64_t(bus) << 8 | devFn;
            if (n.Has("last")) {
                if (!ParsePciAddress(n, bus, devFn, "last")) return false;
                f.last = uint64_t(bus) << 8 | devFn;
            }
        } else {
            uint64_t limit = kU32;
            if (kind == "port")
                f.kind = FaultKind::Port, limit = kU16;
            else if (kind == "memory")
                f.kind = FaultKind::Memory;
            else if (kind == "msr")
                f.kind = FaultKind::Msr;
            else
                return n.Fail(n.PathOf("kind"), "must be port, pci, memory or msr");
            if (!n.Number("first", limit, f.first, true)) return false;
            f.last = f.first;
            if (!n.Number("last", limit, f.last, false)) return false;
        }
        if (f.last < f.first) return n.Fail(n.PathOf("last"), "must not be below first");
        if (action == "stall") {
            uint64_t ms = 0;
            if (!n.Number("stall_ms", kMaxStallMs, ms, true)) return false;
            f.stall = true;
            f.stallFor = std::chrono::milliseconds(ms);
        } else if (action != "fail") {
            return n.Fail(n.PathOf("action"), "must be fail or stall");
        } else if (n.Has("stall_ms")) {
            return n.Fail(n.PathOf("stall_ms"), "belongs to the action stall");
        }
        if (!n.Number("every", kU32, f.every, false)) return false;
        if (f.every == 0) return n.Fail(n.PathOf("every"), "must be at least 1");
        board.faults.Add(f);
    }
    return true;
}

bool IsBoardName(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

}  // namespace

bool BuildBoard(const ProfileNode& p, Board& board) {
    if (!p.ObjectWithKeys(KeysOf(""))) return false;
    if (!p.String("name", board.name, true, 64)) return false;
    if (!IsBoardName(board.name))
        return p.Fail(p.PathOf("name"), "must be lower-case letters, digits, - and _");
    if (!p.String("description", board.description, false, 1024) ||
        !p.String("computer", board.computer, true, 15))
        return false;
    if (board.computer.empty()) return p.Fail(p.PathOf("computer"), "must not be empty");
    if (p.Has("version")) {
        ProfileNode v = p.Child("version");
        if (!v.ObjectWithKeys(KeysOf("version"))) return false;
        BoardVersion bv;
        if (!v.Number("major", kU32, bv.major, true) || !v.Number("minor", kU32, bv.minor, true) ||
            !v.Number("build", kU32, bv.build, true) ||
            !v.Number("platform", kU32, bv.platform, true) || !v.String("csd", bv.csd, false, 127))
            return false;
        board.version = bv;
    }
    if (!p.Has("processors")) return p.Fail(p.PathOf("processors"), "missing");
    if (!ParseProcessors(p.Child("processors"), board)) return false;
    if (!p.Has("pci")) return p.Fail(p.PathOf("pci"), "missing");
    if (!ParsePci(p.Child("pci"), board)) return false;
    if (!ParseMemory(p, board)) return false;
    if (p.Has("cmos") && !ParseCmos(p.Child("cmos"), board)) return false;
    if (!ParsePorts(p, board)) return false;
    if (p.Has("smbus") && !AttachSmbusControllers(p.Child("smbus"), board)) return false;
    return ParseFaults(p, board);
}

}  // namespace kvt::driver::board

namespace kvt::driver {

std::unique_ptr<Backend> LoadBoardBackendFromText(const std::string& text,
                                                  const std::string& origin, std::string* error) {
    std::string problem;
    // Nesting is bounded before anything deep is built, and the field being read is kept so
    // that a number the parser cannot hold (1e400) is named.
    constexpr int kMaxDepth = 64;
    struct TooDeep {};
    std::string field;
    auto watch = [&](int depth, board::Json::parse_event_t event, board::Json& parsed) {
        if (depth > kMaxDepth) throw TooDeep{};
        if (event == board::Json::parse_event_t::key && parsed.is_string())
            field = parsed.get<std::string>();
        return true;
    };
    try {
        board::Json json = board::Json::parse(text, watch);
        auto result = std::make_unique<board::Board>();
        board::ProfileNode root(json, "", &problem);
        if (board::BuildBoard(root, *result)) return result;
    } catch (const TooDeep&) {
        problem = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
    } catch (const board::Json::exception& e) {
        problem = std::string("not valid JSON") +
                  (field.empty() ? "" : " (in the value of \"" + field + "\")") + ": " + e.what();
    } catch (const std::exception& e) {
        problem = std::string("cannot be loaded: ") + e.what();
    }
    // The profile's texts (and its name) reach a terminal: no control sequences.
    if (error) *error = EscapeControls(origin + ": " + problem);
    return nullptr;
}

std::unique_ptr<Backend> LoadBoardBackend(const std::string& profilePath, std::string* error) {
    constexpr size_t kMaxProfileSize = 16u << 20;
    // Opened without waiting, so that a FIFO (or a device) in place of a profile is refused
    // rather than block the daemon, and its starter, for ever.
    int fd = open(profilePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (error)
            *error = EscapeControls(
                profilePath + (fd < 0 ? std::string(": cannot be opened: ") + std::strerror(errno)
                                      : ": is not a regular file"));
        if (fd >= 0) close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (!file) {
        close(fd);
        if (error) *error = EscapeControls(profilePath + ": cannot be opened");
        return nullptr;
    }
    std::string text;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() <= kMaxProfileSize)
        text.append(chunk, n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || text.size() > kMaxProfileSize) {
        if (error)
            *error = EscapeControls(profilePath +
                                    (failed ? ": cannot be read" : ": larger than 16 MiB"));
        return nullptr;
    }
    return LoadBoardBackendFromText(text, profilePath, error);
}

}  // namespace kvt::driver
