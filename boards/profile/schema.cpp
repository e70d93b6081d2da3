#include "boards/profile/schema.h"

#include <map>

namespace kvt::board_profile {
namespace {

using T = KeyType;
constexpr bool kRequired = true, kOptional = false, kNotes = true;

// clang-format off
constexpr SchemaKey kSchema[] = {
    {"name", T::kText, kRequired, "lower-case letters, digits, - and _; the daemon reports board <name>"},
    {"description", T::kText, kOptional, "free text"},
    {"computer", T::kText, kRequired, "the computer name, 1-15 characters"},
    {"version", T::kObject, kOptional, "the version record the program sees"},
    {"version.major", T::kNumber, kRequired, "major version"},
    {"version.minor", T::kNumber, kRequired, "minor version"},
    {"version.build", T::kNumber, kRequired, "build number"},
    {"version.platform", T::kNumber, kRequired, "platform ID (1: the consumer request form)"},
    {"version.csd", T::kText, kOptional, "service pack text"},
    {"processors", T::kObject, kRequired, "the processors", kNotes},
    {"processors.count", T::kNumber, kRequired, "1-64 processors"},
    {"processors.tsc_hz", T::kNumber, kRequired, "the time-stamp counter rate"},
    {"processors.cpuid", T::kList, kRequired, "CPUID functions of every processor (leaf 0 required)", kNotes},
    {"processors.cpuid[].leaf", T::kNumber, kRequired, "the function (EAX)"},
    {"processors.cpuid[].sub", T::kNumber, kOptional, "the sub-leaf (ECX); without it every sub-leaf"},
    {"processors.cpuid[].eax", T::kNumber, kOptional, "EAX returned (default 0)"},
    {"processors.cpuid[].ebx", T::kNumber, kOptional, "EBX returned (default 0)"},
    {"processors.cpuid[].ecx", T::kNumber, kOptional, "ECX returned (default 0)"},
    {"processors.cpuid[].edx", T::kNumber, kOptional, "EDX returned (default 0)"},
    {"processors.msrs", T::kList, kOptional, "MSRs of every processor", kNotes},
    {"processors.msrs[].msr", T::kNumber, kRequired, "the MSR number"},
    {"processors.msrs[].value", T::kNumber, kOptional, "the value (default 0)"},
    {"processors.msrs[].access", T::kText, kOptional, "read-write (default), read-only or refused"},
    {"processors.msrs[].write_mask", T::kNumber, kOptional, "bits a write changes (default all)"},
    {"processors.msrs[].volatile", T::kBool, kOptional, "the value changes on its own; comparisons skip it"},
    {"processors.each", T::kList, kOptional, "per-processor overrides, entry i for processor i", kNotes},
    {"processors.each[].cpuid", T::kList, kOptional, "CPUID entries replacing the registers they give", kNotes},
    {"processors.each[].msrs", T::kList, kOptional, "MSR entries replacing the fields they give", kNotes},
    {"processors.each[].tsc_hz", T::kNumber, kOptional, "this processor's counter rate"},
    {"processors.each[].tsc_offset", T::kNumber, kOptional, "this processor's counter at the start"},
    {"pci", T::kObject, kRequired, "the PCI functions", kNotes},
    {"pci.ecam", T::kObject, kOptional, "the PCI Express configuration window", kNotes},
    {"pci.ecam.base", T::kNumber, kRequired, "its physical address, a multiple of 1 MiB"},
    {"pci.ecam.buses", T::kNumber, kOptional, "buses it covers, 1-256 (default 256)"},
    {"pci.functions", T::kList, kRequired, "at most 256 functions", kNotes},
    {"pci.functions[].address", T::kAddress, kRequired, "bb:dd.f in hexadecimal"},
    {"pci.functions[].vendor_id", T::kNumber, kOptional, "configuration register 00h"},
    {"pci.functions[].device_id", T::kNumber, kOptional, "configuration register 02h"},
    {"pci.functions[].class", T::kNumber, kOptional, "the 24-bit class code at 09h"},
    {"pci.functions[].revision", T::kNumber, kOptional, "configuration register 08h"},
    {"pci.functions[].header_type", T::kNumber, kOptional, "0 or 1"},
    {"pci.functions[].multifunction", T::kBool, kOptional, "bit 7 of the header type"},
    {"pci.functions[].express", T::kBool, kOptional, "a 4096-byte configuration space"},
    {"pci.functions[].command", T::kNumber, kOptional, "configuration register 04h"},
    {"pci.functions[].status", T::kNumber, kOptional, "configuration register 06h"},
    {"pci.functions[].subsystem_vendor_id", T::kNumber, kOptional, "subsystem vendor ID"},
    {"pci.functions[].subsystem_id", T::kNumber, kOptional, "subsystem ID"},
    {"pci.functions[].interrupt_pin", T::kNumber, kOptional, "configuration register 3Dh, 0-4"},
    {"pci.functions[].interrupt_line", T::kNumber, kOptional, "configuration register 3Ch"},
    {"pci.functions[].bus_numbers", T::kObject, kOptional, "a bridge's bus numbers"},
    {"pci.functions[].bus_numbers.primary", T::kNumber, kRequired, "primary bus"},
    {"pci.functions[].bus_numbers.secondary", T::kNumber, kRequired, "secondary bus"},
    {"pci.functions[].bus_numbers.subordinate", T::kNumber, kRequired, "subordinate bus"},
    {"pci.functions[].bars", T::kList, kOptional, "base address registers", kNotes},
    {"pci.functions[].bars[].index", T::kNumber, kRequired, "BAR 0-5 (0-1 in a bridge)"},
    {"pci.functions[].bars[].kind", T::kText, kRequired, "io, mem32 or mem64"},
    {"pci.functions[].bars[].size", T::kNumber, kRequired, "a power of two"},
    {"pci.functions[].bars[].address", T::kNumber, kOptional, "a multiple of the size"},
    {"pci.functions[].bars[].prefetchable", T::kBool, kOptional, "a prefetchable memory BAR"},
    {"pci.functions[].rom", T::kObject, kOptional, "the expansion ROM BAR", kNotes},
    {"pci.functions[].rom.size", T::kNumber, kRequired, "a power of two of at least 2048"},
    {"pci.functions[].rom.address", T::kNumber, kOptional, "a multiple of the size"},
    {"pci.functions[].capabilities", T::kList, kOptional, "capabilities linked from 34h", kNotes},
    {"pci.functions[].capabilities[].id", T::kNumber, kRequired, "capability ID 01h-FFh"},
    {"pci.functions[].capabilities[].offset", T::kNumber, kOptional, "40h-FCh (default the next free)"},
    {"pci.functions[].capabilities[].bytes", T::kBytes, kOptional, "the body after ID and next pointer"},
    {"pci.functions[].capabilities[].length", T::kNumber, kOptional, "the body's length"},
    {"pci.functions[].capabilities[].write_mask", T::kBytes, kOptional, "body bits software may write"},
    {"pci.functions[].capabilities[].port_type", T::kText, kOptional, "PCI Express port type"},
    {"pci.functions[].capabilities[].link_width", T::kNumber, kOptional, "PCI Express link width"},
    {"pci.functions[].capabilities[].link_speed", T::kNumber, kOptional, "PCI Express link speed"},
    {"pci.functions[].extended_capabilities", T::kList, kOptional, "extended capabilities linked from 100h", kNotes},
    {"pci.functions[].extended_capabilities[].id", T::kNumber, kRequired, "capability ID"},
    {"pci.functions[].extended_capabilities[].version", T::kNumber, kOptional, "capability version 0-15"},
    {"pci.functions[].extended_capabilities[].offset", T::kNumber, kOptional, "100h-FFCh (default the next free)"},
    {"pci.functions[].extended_capabilities[].bytes", T::kBytes, kOptional, "the body after the header"},
    {"pci.functions[].extended_capabilities[].length", T::kNumber, kOptional, "the body's length"},
    {"pci.functions[].extended_capabilities[].write_mask", T::kBytes, kOptional, "body bits software may write"},
    {"pci.functions[].config", T::kBytes, kOptional, "raw configuration bytes from offset 0, applied first"},
    {"pci.functions[].bytes", T::kOffsetMap, kOptional, "contents applied last"},
    {"pci.functions[].write_masks", T::kOffsetMap, kOptional, "bits software may write, applied last"},
    {"memory", T::kList, kRequired, "regions of the 32-bit physical address space", kNotes},
    {"memory[].name", T::kText, kRequired, "the region's name"},
    {"memory[].base", T::kNumber, kRequired, "its physical address"},
    {"memory[].size", T::kNumber, kRequired, "its size in bytes"},
    {"memory[].kind", T::kText, kRequired, "ram or rom"},
    {"memory[].fill", T::kNumber, kOptional, "the byte untouched memory reads"},
    {"memory[].bytes", T::kOffsetMap, kOptional, "initial contents"},
    {"memory[].ascii", T::kTextMap, kOptional, "initial contents as texts"},
    {"cmos", T::kObject, kOptional, "CMOS banks", kNotes},
    {"cmos.bank70", T::kBytes, kRequired, "the bank at 70h/71h"},
    {"cmos.bank72", T::kBytes, kOptional, "the bank at 72h/73h"},
    {"cmos.bank74", T::kBytes, kOptional, "the bank at 74h/75h"},
    {"cmos.volatile", T::kBytes, kOptional, "offsets of bank70 whose values change on their own"},
    {"ports", T::kOffsetMap, kOptional, "latched ports"},
    {"smbus", T::kList, kOptional, "SMBus host controllers", kNotes},
    {"smbus[].function", T::kAddress, kRequired, "the PCI function carrying the base register"},
    {"smbus[].base_register", T::kNumber, kRequired, "the configuration double word of the I/O base"},
    {"smbus[].model", T::kText, kRequired, "intel, via, ati or nvidia"},
    {"smbus[].devices", T::kList, kRequired, "at most 128 slaves", kNotes},
    {"smbus[].devices[].address", T::kNumber, kRequired, "7-bit slave address"},
    {"smbus[].devices[].kind", T::kText, kRequired, "spd, spd-ddr4, spd-ddr5, eeprom, block or nak"},
    {"smbus[].devices[].bytes", T::kBytes, kOptional, "byte data"},
    {"smbus[].devices[].read_only", T::kBool, kOptional, "writes are refused"},
    {"smbus[].devices[].blocks", T::kOffsetMap, kOptional, "block data per command"},
    {"smbus[].stuck_busy", T::kBool, kOptional, "the busy bit never clears"},
    {"smbus[].kernel_driver", T::kText, kOptional, "a kernel driver bound to the function"},
    {"smbus[].i2c_dev", T::kBool, kOptional, "the kernel's adapter is offered to programs"},
    {"faults", T::kList, kOptional, "requests that fail or stall", kNotes},
    {"faults[].kind", T::kText, kRequired, "port, pci, memory or msr"},
    {"faults[].first", T::kNumber, kRequired, "first of the range (bb:dd.f for pci)"},
    {"faults[].last", T::kNumber, kOptional, "last of the range (default first)"},
    {"faults[].action", T::kText, kOptional, "fail (default) or stall"},
    {"faults[].every", T::kNumber, kOptional, "only every Nth request is hit"},
    {"faults[].stall_ms", T::kNumber, kOptional, "how long a stall lasts"},
};
// clang-format on

// Lists whose elements have the keys of another list's.
constexpr std::pair<std::string_view, std::string_view> kSameElements[] = {
    {"processors.each[].cpuid[]", "processors.cpuid[]"},
    {"processors.each[].msrs[]", "processors.msrs[]"},
};

std::string_view Canonical(std::string_view parent) {
    for (const auto& [path, same] : kSameElements)
        if (parent == path) return same;
    return parent;
}

std::string_view ParentOf(std::string_view path) {
    size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : path.substr(0, dot);
}

const std::map<std::string, std::vector<std::string_view>, std::less<>>& Children() {
    static const auto children = [] {
        std::map<std::string, std::vector<std::string_view>, std::less<>> out;
        out[""];
        for (const SchemaKey& k : kSchema) {
            std::string_view parent = ParentOf(k.path);
            out[std::string(parent)].push_back(
                k.path.substr(parent.empty() ? 0 : parent.size() + 1));
            if (k.type == KeyType::kObject) out[std::string(k.path)];
            if (k.type == KeyType::kList) out[std::string(k.path) + "[]"];
        }
        out[""].push_back("note");
        for (const SchemaKey& k : kSchema) {
            if (!k.notes) continue;
            out[std::string(k.path) + (k.type == KeyType::kList ? "[]" : "")].push_back("note");
        }
        return out;
    }();
    return children;
}

template <typename JsonT>
void RemoveUnknown(JsonT& object, std::string_view parent, const std::string& where,
                   std::vector<std::string>& removed) {
    if (!object.is_object()) return;
    const auto& known = KeysOf(parent);
    for (auto it = object.begin(); it != object.end();) {
        std::string key = it.key();
        std::string here = where.empty() ? key : where + "." + key;
        bool isKnown = false;
        for (std::string_view k : known) isKnown = isKnown || k == key;
        if (!isKnown) {
            removed.push_back(here);
            it = object.erase(it);
            continue;
        }
        std::string path = parent.empty() ? key : std::string(parent) + "." + key;
        if (const SchemaKey* k = FindKey(path)) {
            if (k->type == KeyType::kObject) {
                RemoveUnknown(*it, k->path, here, removed);
            } else if (k->type == KeyType::kList && it->is_array()) {
                std::string element = path + "[]";
                for (size_t i = 0; i < it->size(); ++i)
                    RemoveUnknown((*it)[i], Canonical(element),
                                  here + "[" + std::to_string(i) + "]", removed);
            }
        }
        ++it;
    }
}

}  // namespace

std::span<const SchemaKey> Schema() {
    return kSchema;
}

const SchemaKey* FindKey(std::string_view path) {
    for (const SchemaKey& k : kSchema)
        if (k.path == path) return &k;
    return nullptr;
}

const std::vector<std::string_view>& KeysOf(std::string_view parent) {
    static const std::vector<std::string_view> kNone;
    const auto& children = Children();
    auto it = children.find(Canonical(parent));
    return it == children.end() ? kNone : it->second;
}

std::vector<std::string> RemoveUnknownKeys(nlohmann::json& profile) {
    std::vector<std::string> removed;
    RemoveUnknown(profile, "", "", removed);
    return removed;
}

std::vector<std::string> RemoveUnknownKeys(nlohmann::ordered_json& profile) {
    std::vector<std::string> removed;
    RemoveUnknown(profile, "", "", removed);
    return removed;
}

}  // namespace kvt::board_profile
