// Feeds arbitrary configuration bytes to the capability decoder: the walks end, every field
// lies inside the valid bytes, and the dotted names find each field again.
#include "tools/pci/pci_caps.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t config[4096] = {};
    std::memcpy(config, data, size < sizeof config ? size : sizeof config);
    const uint32_t length = size > 256 ? 4096 : 256;
    const kvt::PciCapabilityList list = kvt::DecodePciCapabilities(config, length);
    if (list.capabilities.size() >
        size_t(kvt::kMaxStandardCapabilities + kvt::kMaxExtendedCapabilities))
        __builtin_trap();
    std::set<std::string> keys;
    for (const kvt::PciCapability& cap : list.capabilities) {
        for (const kvt::PciCapField& f : cap.fields) {
            if (f.offset + f.width > length || f.bit + f.bits > f.width * 8) __builtin_trap();
        }
        // The first capability of each key answers to the name without an index.
        if (keys.insert(cap.key).second && !cap.fields.empty()) {
            const kvt::PciCapField& f = cap.fields.back();
            kvt::PciFieldLocation at;
            if (!kvt::FindPciCapField(list, cap.key + "." + f.reg + "." + f.name, &at))
                __builtin_trap();
        }
    }
    (void)kvt::PciCapabilitiesText(list);
    return 0;
}
