#include "tools/pci/pci_enum.h"

#include <cstring>

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
    if (!DriverClient::Served(client.ReadPciConfig(address, id)) ||
        !DriverClient::Served(client.ReadPciConfig(address + 0x08, classReg))) {
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

uint32_t EnumerateByScan(DriverClient& client, std::vector<PciFunctionRecord>& table,
                         const PciProgress& progress) {
    for (uint32_t bus = 0; bus < 256; ++bus) {
        if (progress) progress(bus, 256);
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

uint32_t EnumeratePciFunctions(DriverClient& client, std::vector<PciFunctionRecord>& table,
                               const PciProgress& progress) {
    table.clear();
    if (client.ConsumerForm()) return EnumerateByScan(client, table, progress);
    return EnumerateByList(client, table);
}

}  // namespace kvt

namespace kvt {

namespace {

constexpr uint64_t k4GiB = 0x100000000ull;

bool FitsBelow4GiB(uint64_t address, uint64_t length) {
    return address < k4GiB && length <= k4GiB - address;
}

}  // namespace

bool FindMmConfigBase(DriverClient& client, const PciFunctionRecord& record, uint32_t* base) {
    const uint32_t wanted = (record.deviceId << 16) | (record.vendorId & 0xFFFF);
    const uint64_t offset = MmConfigOffset(record.bus, record.device, record.function);
    for (uint32_t high = 8; high <= 15; ++high) {
        const uint64_t candidate = uint64_t(high) << 28;
        if (!FitsBelow4GiB(candidate + offset, 4)) continue;
        uint32_t value = 0;
        if (client.ReadPhysicalMemory(static_cast<uint32_t>(candidate + offset), &value, 4) &&
            value == wanted) {
            *base = static_cast<uint32_t>(candidate);
            return true;
        }
    }
    *base = kDefaultMmConfigBase;
    return false;
}

bool AutoMmConfigBase(DriverClient& client, const PciFunctionRecord& record, uint64_t* base) {
    uint32_t windowBase = 0;
    uint8_t firstBus = 0, lastBus = 0;
    if (client.PcieWindow(windowBase, firstBus, lastBus) && record.bus >= firstBus &&
        record.bus <= lastBus) {
        const uint64_t firstBusOffset = MmConfigOffset(firstBus, 0, 0);
        if (windowBase >= firstBusOffset) {
            *base = windowBase - firstBusOffset;
            return true;
        }
    }
    uint32_t probed = 0;
    const bool found = FindMmConfigBase(client, record, &probed);
    *base = probed;
    return found;
}

bool ParseMmConfigBase(std::string_view text, bool* isAuto, uint64_t* base) {
    *isAuto = text == kAutoBase;
    if (*isAuto) return true;
    if (text.empty()) return false;
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return false;
        }
        value = value * 16 + uint64_t(digit);
        if (value > 0xFFFFFFFFull) return false;
    }
    *base = value;
    return true;
}

PciRegisterRead ReadFunctionRegisters(DriverClient& client, const PciFunctionRecord& record,
                                      std::string_view baseText, uint8_t* buffer) {
    PciRegisterRead result;
    if (record.kind != kPciExpressKind) {
        const uint32_t address = PciConfigAddress(record.bus, record.device, record.function);
        result.startAddress = address;
        result.hasAddress = true;
        uint32_t values[kPciSpaceSize / 4];
        for (uint32_t i = 0; i < kPciSpaceSize / 4; ++i) {
            // The consumer form reports success for every read: only served reads are values.
            if (!DriverClient::Served(client.ReadPciConfig(address + i * 4, values[i])))
                return result;
        }
        std::memcpy(buffer, values, sizeof values);
        result.status = PciRegisterRead::Status::Ok;
        result.length = kPciSpaceSize;
        return result;
    }

    bool isAuto = false;
    uint64_t base = 0;
    if (!ParseMmConfigBase(baseText, &isAuto, &base)) {
        result.status = PciRegisterRead::Status::BaseRejected;
        return result;
    }
    bool haveBase = true;
    if (isAuto) haveBase = AutoMmConfigBase(client, record, &base);
    const uint64_t address = base + MmConfigOffset(record.bus, record.device, record.function);
    result.startAddress = address;
    result.hasAddress = true;
    if (!haveBase || !FitsBelow4GiB(address, kPciExpressSpaceSize)) {
        result.status = PciRegisterRead::Status::NoWindow;
        return result;
    }
    // Read into a buffer of its own, so a refused read leaves the caller's buffer as it was.
    uint8_t bytes[kPciExpressSpaceSize];
    if (!client.ReadPhysicalMemory(static_cast<uint32_t>(address), bytes, sizeof bytes)) {
        return result;
    }
    std::memcpy(buffer, bytes, sizeof bytes);
    result.status = PciRegisterRead::Status::Ok;
    result.length = kPciExpressSpaceSize;
    return result;
}

int WriteFunctionRegister(DriverClient& client, uint32_t kind, uint64_t address, uint32_t value) {
    if (kind == kPciKind) {
        if (address > 0xFFFFFFFFull) return 0;
        return DriverClient::Served(client.WritePciConfig(static_cast<uint32_t>(address), value))
                   ? 1
                   : 0;
    }
    if (kind == kPciExpressKind) {
        if (!FitsBelow4GiB(address, 4)) return 0;
        return client.WritePhysicalMemory(static_cast<uint32_t>(address), &value, 4);
    }
    return 0;
}

}  // namespace kvt
