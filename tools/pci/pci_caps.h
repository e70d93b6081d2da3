// PCI capability decoder: walks the standard capability list (from 34h) and the PCI Express
// extended capability list (from 100h) of one function's configuration bytes and names every
// register field of the capabilities it knows. A pure function of the bytes: no driver access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

// One decoded field. `value` kinds: a number (raw or scaled), a flag, a text (an enumerated
// value's name) or a real number (a link speed in GT/s).
struct PciCapField {
    enum class Kind { Number, Bool, Text, Real };
    std::string name;  // snake_case, unique within its capability
    Kind kind = Kind::Number;
    uint64_t number = 0;  // Number (also the raw bits for every kind)
    bool flag = false;    // Bool
    std::string text;     // Text
    double real = 0;      // Real
    bool hex = false;     // a number best read in hexadecimal (addresses, IDs, masks)
    // Where the field lies: its register (name, absolute offset, width in bytes) and bits.
    std::string reg;
    uint32_t offset = 0, width = 0, bit = 0, bits = 0;
    uint64_t raw = 0;       // the field's bits as read
    uint64_t regValue = 0;  // the whole register as read
};

struct PciCapability {
    uint32_t offset = 0;
    uint32_t id = 0;
    bool extended = false;
    uint32_t version = 0;  // extended capabilities: the header's version; standard: 0
    std::string key;       // short name used in dotted field names ("pcie", "msix", "aer")
    std::string name;      // the capability's name as an engineer reads it
    std::vector<PciCapField> fields;
};

struct PciCapabilityList {
    std::vector<PciCapability> capabilities;  // in chain order: standard, then extended
    std::vector<std::string> notes;           // why a chain ended early (broken, looped, ...)
};

// Most entries each walk follows: the 256-byte space holds at most 48 standard entries, the
// extended space (4096 - 256) / 4.
inline constexpr int kMaxStandardCapabilities = 48;
inline constexpr int kMaxExtendedCapabilities = (4096 - 256) / 4;

// Decodes the capabilities of `length` valid bytes (256 or 4096; other lengths are clipped to
// what lies below them). Bytes past `length` are never read. The extended list is walked only
// when at least 4096 bytes are valid.
PciCapabilityList DecodePciCapabilities(const uint8_t* config, uint32_t length);

// The same for a space held as double words (the first from offset 0).
PciCapabilityList DecodePciCapabilities(const std::vector<uint32_t>& dwords);

// The field's value as text: "8.0", "yes"/"no", "D3hot", "0x1f", "16".
std::string PciCapFieldValueText(const PciCapField& field);

// The list as an engineer reads it: one block per capability ("[40] PCI Express (ID 10h,
// key pcie)"), its registers with their values, each field indented below its register as
// "name: value", then the notes. Every line starts with `indent` and ends in "\n".
std::string PciCapabilitiesText(const PciCapabilityList& list, const std::string& indent = "");

// Where a field named "key.register.field" lies ("pcie.link_control.aspm"; "key[N]" picks the
// N-th capability with that key, from 0). False when no decoded capability has it.
struct PciFieldLocation {
    uint32_t offset = 0;  // absolute offset of the register
    uint32_t width = 0;   // bytes of the register (1, 2, 4 or 8)
    uint32_t bit = 0;     // lowest bit of the field within the register
    uint32_t bits = 0;    // number of bits
};
bool FindPciCapField(const PciCapabilityList& list, std::string_view dotted,
                     PciFieldLocation* where);

}  // namespace kvt
