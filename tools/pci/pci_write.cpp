#include "tools/pci/pci_write.h"

#include <algorithm>

#include "platform/format.h"

namespace kvt {

namespace {

uint32_t AllOnes(uint32_t width) {
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

// The capability registers whose bits a written 1 clears, by the decoder's key and register
// name; reserved bits among them are RsvdZ, so sending them as 0 is what software must do.
struct ClearSpec {
    const char* key;
    const char* reg;
    uint32_t mask;
};
constexpr ClearSpec kClearSpecs[] = {
    {"pm", "control_status", 0x8000},                     // PME_Status
    {"pcie", "device_status", 0x004F},                    // error detected bits, emergency power
    {"pcie", "link_status", 0xC000},                      // bandwidth management, autonomous
    {"pcie", "slot_status", 0x011F},                      // hot-plug events, DLL state changed
    {"pcie", "root_status", 0x00010000},                  // PME Status
    {"pcie", "link_status_2", 0x8020},                    // equalization request, DRS received
    {"aer", "uncorrectable_error_status", 0xFFFFFFFF},    // every error bit
    {"aer", "correctable_error_status", 0xFFFFFFFF},      // every error bit
    {"aer", "root_error_status", 0x0000007F},             // all but the message number
    {"dpc", "status", 0x0009},                            // trigger status, interrupt status
    {"secondary_pcie", "lane_error_status", 0xFFFFFFFF},  // one bit per lane
};

// Registers a driver writes though their names do not say control.
constexpr std::pair<const char*, const char*> kWritableRegisters[] = {
    {"msi", "message_address"},
    {"msi", "message_upper_address"},
    {"msi", "message_data"},
    {"msi", "message_data_64"},
    {"msi", "mask_bits"},
    {"msi", "mask_bits_64"},
    {"ltr", "max_snoop_latency"},
    {"ltr", "max_no_snoop_latency"},
    {"vpd", "address"},
    {"vpd", "data"},
    {"power_budget", "data_select"},
};

// Fields of writable registers that report what the hardware can do or found.
constexpr const char* kReadOnlyFields[] = {
    "table_size",    "vectors_capable", "address_64bit",       "per_vector_masking",
    "no_soft_reset", "data_scale",      "first_error_pointer",
};

bool EndsWith(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool WritableField(std::string_view key, std::string_view reg, std::string_view field) {
    bool writable = reg.find("control") != std::string_view::npos ||
                    reg.find("command") != std::string_view::npos || EndsWith(reg, "_mask") ||
                    EndsWith(reg, "_severity");
    for (const auto& [k, r] : kWritableRegisters)
        if (key == k && reg == r) writable = true;
    if (!writable) return false;
    if (EndsWith(field, "_capable") || EndsWith(field, "_supported") || EndsWith(field, "_present"))
        return false;
    for (const char* name : kReadOnlyFields)
        if (field == name) return false;
    return true;
}

// Bits of the window [offset, offset + width) that a written 1 clears.
uint32_t ClearMaskOf(const std::vector<PciClearBits>& bits, uint32_t offset, uint32_t width,
                     std::vector<std::string>* names) {
    uint32_t mask = 0;
    for (const PciClearBits& c : bits) {
        uint32_t here = 0;
        for (uint32_t i = 0; i < width; ++i) {
            const uint32_t at = offset + i;
            if (at < c.offset || at >= c.offset + c.width) continue;
            here |= ((c.mask >> (8 * (at - c.offset))) & 0xFF) << (8 * i);
        }
        if (here != 0 && names != nullptr) names->push_back(c.name);
        mask |= here;
    }
    return mask;
}

}  // namespace

std::vector<PciClearBits> FindPciClearBits(const uint8_t* config, uint32_t length) {
    std::vector<PciClearBits> out;
    if (length < 0x40) return out;
    // The header's status registers: Status, and the secondary side's of a bridge (header
    // type 1) or a CardBus bridge (type 2).
    out.push_back({0x06, 2, 0xF900, "status"});
    const uint32_t headerType = config[0x0E] & 0x7F;
    if (headerType == 1) out.push_back({0x1E, 2, 0xF900, "secondary_status"});
    if (headerType == 2) out.push_back({0x16, 2, 0xF900, "secondary_status"});
    const PciCapabilityList list = DecodePciCapabilities(config, length);
    for (const PciCapability& cap : list.capabilities) {
        for (const ClearSpec& spec : kClearSpecs) {
            if (cap.key != spec.key) continue;
            // Present when the decoder found it (its presence may depend on the port type).
            auto f = std::find_if(cap.fields.begin(), cap.fields.end(),
                                  [&](const PciCapField& field) { return field.reg == spec.reg; });
            if (f == cap.fields.end()) continue;
            out.push_back({f->offset, f->width, spec.mask, cap.key + "." + spec.reg});
        }
    }
    std::sort(out.begin(), out.end(),
              [](const PciClearBits& a, const PciClearBits& b) { return a.offset < b.offset; });
    return out;
}

PciWritePlan PlanPciWrite(const uint8_t* config, uint32_t length, const PciWriteRequest& r) {
    PciWritePlan plan;
    plan.offset = r.offset;
    plan.width = r.width;
    if (r.width != 1 && r.width != 2 && r.width != 4) {
        plan.error = Format("the width is 1, 2 or 4 bytes, not %u", r.width);
        return plan;
    }
    if (r.offset >= 0x1000) {
        plan.error = Format("offset %X lies past the 4 KiB configuration space", r.offset);
        return plan;
    }
    if (r.offset % r.width != 0) {
        plan.error = Format("offset %03X is not a multiple of the width (%u)", r.offset, r.width);
        return plan;
    }
    if (r.offset + r.width > length) {
        plan.error =
            Format("offset %03X lies past the function's %u configuration bytes%s", r.offset,
                   length, length <= 0x100 ? " (it has no extended configuration space)" : "");
        return plan;
    }
    const uint32_t ones = AllOnes(r.width);
    if ((r.value & ~ones) != 0) {
        plan.error =
            Format("value %X does not fit %u byte%s", r.value, r.width, r.width == 1 ? "" : "s");
        return plan;
    }
    if (r.mask) {
        if ((*r.mask & ~ones) != 0) {
            plan.error =
                Format("mask %X does not fit %u byte%s", *r.mask, r.width, r.width == 1 ? "" : "s");
            return plan;
        }
        if (*r.mask == 0) {
            plan.error = "the mask selects no bit";
            return plan;
        }
        if ((r.value & ~*r.mask) != 0) {
            plan.error = Format("value %X has bits outside the mask %X", r.value, *r.mask);
            return plan;
        }
    }
    for (uint32_t i = r.width; i-- > 0;) plan.old = plan.old << 8 | config[r.offset + i];
    const std::vector<PciClearBits> clearBits = FindPciClearBits(config, length);
    const uint32_t w1c = ClearMaskOf(clearBits, r.offset, r.width, &plan.registers);
    const uint32_t asked = r.clearStatus ? w1c : r.mask ? w1c & *r.mask : 0;
    const uint32_t base = r.mask ? (plan.old & ~*r.mask) | r.value : r.value;
    plan.protect = w1c & ~asked;
    plan.dropped = r.value & plan.protect;
    plan.value = base & ~plan.protect;
    plan.clears = plan.value & w1c;
    return plan;
}

PciFieldWrite PlanPciFieldWrite(const PciCapabilityList& list, std::string_view dotted,
                                uint64_t value, const std::vector<PciClearBits>& clearBits) {
    PciFieldWrite out;
    const std::string name(dotted);
    if (!FindPciCapField(list, dotted, &out.where)) {
        out.error = "this function has no field " + name + " ('pci caps' lists its fields)";
        return out;
    }
    const PciFieldLocation& w = out.where;
    // key[N].register.field
    const size_t dot1 = dotted.find('.'), dot2 = dotted.find('.', dot1 + 1);
    std::string_view key = dotted.substr(0, std::min(dot1, dotted.find('[')));
    const std::string_view reg = dotted.substr(dot1 + 1, dot2 - dot1 - 1);
    const std::string_view field = dotted.substr(dot2 + 1);

    const uint64_t fieldOnes = w.bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << w.bits) - 1;
    // A field wholly inside a register's write-1-to-clear bits.
    for (const PciClearBits& c : clearBits) {
        if (c.offset != w.offset || w.bit + w.bits > 32) continue;
        const uint64_t bits = fieldOnes << w.bit;
        if ((bits & c.mask) == bits) out.clearField = true;
    }
    if (!out.clearField && !WritableField(key, reg, field)) {
        out.error = name + " is read-only";
        return out;
    }
    if ((value & ~fieldOnes) != 0) {
        out.error = Format("%s holds %u bit%s: value %llX does not fit (0 to %llX)", name.c_str(),
                           w.bits, w.bits == 1 ? "" : "s", static_cast<unsigned long long>(value),
                           static_cast<unsigned long long>(fieldOnes));
        return out;
    }
    if (out.clearField && value == 0) {
        out.error =
            name + " is a write-1-to-clear status bit: writing 0 changes nothing; 1 clears it";
        return out;
    }
    // The fewest aligned bytes (1, 2 or 4) that hold the field.
    const uint32_t first = w.offset * 8 + w.bit, last = first + w.bits - 1;
    uint32_t width = 0;
    for (uint32_t candidate : {1u, 2u, 4u}) {
        if (first / (8 * candidate) == last / (8 * candidate)) {
            width = candidate;
            break;
        }
    }
    if (width == 0) {
        out.error = name + " crosses a double word: it cannot be written in one access";
        return out;
    }
    const uint32_t start = first / (8 * width) * width;
    const uint32_t shift = first - start * 8;
    out.request.offset = start;
    out.request.width = width;
    out.request.mask = uint32_t(fieldOnes << shift);
    out.request.value = uint32_t(value << shift);
    return out;
}

}  // namespace kvt
