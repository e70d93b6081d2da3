#include "tools/smbus/smbus_detect.h"

#include "platform/format.h"
#include "tools/pci/pci_enum.h"

namespace kvt {

const char* SmbusVendorWord(uint32_t kind) {
    switch (kind) {
        case kSmbusIntel:
            return "INTEL ";
        case kSmbusAmd:
            return "AMD ";
        case kSmbusNvidia:
            return "NVIDIA ";
        case kSmbusVia:
            return "VIA ";
        case kSmbusSis:
            return "SIS ";
        case kSmbusAli:
            return "ALI ";
        case kSmbusAti:
            return "ATI ";
        default:
            return "UNKNOWN ";
    }
}

namespace {

struct Found {
    std::vector<SmbusController>& out;
    std::vector<SmbusRejected>* rejected;
};

// True when the register could be read (whether or not it held a base).
bool AddController(DriverClient& client, const PciFunctionRecord& r, uint32_t kind, uint32_t reg,
                   Found& found) {
    Reply<uint32_t> read = client.TryReadPciConfig(r.address(reg).ConfigAddress());
    if (!read) return false;
    const uint32_t value = read.value;
    if (!(value & 1) || !(value & 0xFFFE)) {
        if (found.rejected)
            found.rejected->push_back({r.bus, r.device, r.function, kind, reg, value});
        return true;
    }
    found.out.push_back({r.bus, r.device, r.function, kind, uint16_t(value & 0xFFFE), reg});
    return true;
}

}  // namespace

std::string SmbusRejectedReason(const SmbusRejected& r) {
    return Format("no controller: base register %02Xh reads %08Xh (%s)", r.baseRegister, r.value,
                  (r.value & 1) ? "no I/O base" : "a memory-space base, not an I/O one");
}

std::vector<SmbusController> DetectSmbusControllers(DriverClient& client,
                                                    std::vector<SmbusRejected>* rejected) {
    std::vector<PciFunctionRecord> table;
    EnumeratePciFunctions(client, table);
    std::vector<SmbusController> controllers;
    Found found{controllers, rejected};
    for (const PciFunctionRecord& r : table) {
        if (r.classCode != 0x0C0500) continue;
        if (r.vendorId == 0x8086) {
            AddController(client, r, kSmbusIntel, 0x20, found);
        } else if (r.vendorId == 0x1002) {
            AddController(client, r, kSmbusAti, 0x10, found);
        } else if (r.vendorId == 0x10DE) {
            Reply<uint32_t> read50 = client.TryReadPciConfig(r.address(0x50).ConfigAddress());
            if (!read50) continue;
            const uint32_t at50 = read50.value;
            uint32_t reg = (at50 & 0xFFFE) ? 0x50 : 0x20;
            if (AddController(client, r, kSmbusNvidia, reg, found))
                AddController(client, r, kSmbusNvidia, reg + 4, found);
        }
    }
    for (const PciFunctionRecord& r : table) {
        if (r.vendorId != 0x1106) continue;
        switch (r.deviceId) {
            case 0x3050:
            case 0x3051:
            case 0x3057:
                AddController(client, r, kSmbusVia, 0x90, found);
                break;
            case 0x3074:
            case 0x3109:
            case 0x3147:
            case 0x3177:
            case 0x3227:
            case 0x8235:
                AddController(client, r, kSmbusVia, 0xD0, found);
                break;
            default:
                break;
        }
    }
    return controllers;
}

std::string SmbusControllerCaption(const SmbusController& c, int index) {
    return Format("%s Smbus controller %d at PCI bus %X device %X function %X",
                  SmbusVendorWord(c.vendorKind), index, c.bus, c.device, c.function);
}

}  // namespace kvt
