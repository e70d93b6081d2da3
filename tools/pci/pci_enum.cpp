#include "tools/pci/pci_enum.h"

namespace kvt {

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

// Completes a record from registers 00h and 08h; false when either read fails.
bool FillRecord(DriverClient& client, uint32_t bus, uint32_t device, uint32_t function,
                PciFunctionRecord& record) {
    uint32_t address = PciConfigAddress(bus, device, function);
    uint32_t id = 0, classReg = 0;
    record.bus = bus;
    record.device = device;
    record.function = function;
    record.kind = GetPciDeviceKind(client, address);
    if (!client.ReadPciConfig(address, id) || !client.ReadPciConfig(address + 0x08, classReg)) {
        return false;
    }
    record.deviceId = id >> 16;
    record.vendorId = id & 0xFFFF;
    record.classCode = classReg >> 8;
    return true;
}

uint32_t EnumerateByList(DriverClient& client, std::vector<PciFunctionRecord>& table) {
    uint8_t buses[256] = {}, devFns[256] = {};
    uint32_t count = client.ListPciFunctions(buses, devFns);
    for (uint32_t i = 0; i < count && table.size() < kMaxPciFunctions; ++i) {
        PciFunctionRecord record;
        if (FillRecord(client, buses[i], devFns[i] >> 3, devFns[i] & 7, record)) {
            table.push_back(record);
        }
    }
    return static_cast<uint32_t>(table.size());
}

uint32_t EnumerateByScan(DriverClient& client, std::vector<PciFunctionRecord>& table) {
    for (uint32_t bus = 0; bus < 256; ++bus) {
        for (uint32_t device = 0; device < 32; ++device) {
            for (uint32_t function = 0; function < 8; ++function) {
                if (table.size() >= kMaxPciFunctions) return static_cast<uint32_t>(table.size());
                uint32_t header = kAllOnes;
                if (!client.ReadPciConfig(PciConfigAddress(bus, device, function, 0x0C), header) ||
                    header == kAllOnes) {
                    continue;
                }
                PciFunctionRecord record;
                if (FillRecord(client, bus, device, function, record)) table.push_back(record);
                if (function == 0 && (header & 0x00800000u) == 0) break;
            }
        }
    }
    return static_cast<uint32_t>(table.size());
}

}  // namespace

uint32_t GetPciDeviceKind(DriverClient& client, uint32_t configAddress) {
    uint32_t value = kAllOnes;
    if (!client.ReadPciConfig(configAddress + 0x04, value) || value == kAllOnes ||
        (value & 0x00100000u) == 0) {
        return kPciKind;
    }
    if (!client.ReadPciConfig(configAddress + 0x34, value) || value == kAllOnes ||
        (value & 0xFF) == 0) {
        return kPciKind;
    }
    uint32_t pointer = value & 0xFF;
    for (int step = 0; step < kMaxCapabilityWalk; ++step) {
        // The pointer is added unchanged, as the hardware gives it.
        if (!client.ReadPciConfig(configAddress + pointer, value) || value == kAllOnes) {
            return kPciKind;
        }
        if ((value & 0xFF) == 0x10) return kPciExpressKind;
        pointer = (value >> 8) & 0xFF;
        if (pointer == 0) return kPciKind;
    }
    return kPciKind;
}

uint32_t EnumeratePciFunctions(DriverClient& client, std::vector<PciFunctionRecord>& table) {
    table.clear();
    if (ConsumerWindows(client.GetOsKind())) return EnumerateByScan(client, table);
    return EnumerateByList(client, table);
}

}  // namespace kvt
