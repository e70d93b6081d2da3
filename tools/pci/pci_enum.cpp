#include "tools/pci/pci_enum.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/format.h"
#include "platform/hex.h"

namespace kvt {

namespace {

constexpr uint32_t kAllOnes = 0xFFFFFFFFu;

using ConfigRead = DriverClient::PciConfigRead;

// The kinds of several functions (configuration addresses of their register 0), each found as
// GetPciDeviceKind describes: status, capability pointer, then the list. The functions are
// walked side by side, the reads of one step of every function sent together.
std::vector<uint32_t> DeviceKinds(DriverClient& client, const std::vector<uint32_t>& addresses) {
    enum class Stage { Status, Pointer, List, Done };
    struct Walk {
        Stage stage = Stage::Status;
        uint32_t pointer = 0;
        int steps = 0;
    };
    std::vector<uint32_t> kinds(addresses.size(), kPciKind);
    std::vector<Walk> walks(addresses.size());
    std::vector<ConfigRead> reads;
    std::vector<size_t> owners;
    for (;;) {
        reads.clear();
        owners.clear();
        for (size_t i = 0; i < walks.size(); ++i) {
            const Walk& w = walks[i];
            if (w.stage == Stage::Done) continue;
            // The pointer is added unchanged, as the hardware gives it.
            uint32_t offset = w.stage == Stage::Status    ? 0x04u
                              : w.stage == Stage::Pointer ? 0x34u
                                                          : w.pointer;
            reads.push_back({addresses[i] + offset, kAllOnes, 0, false});
            owners.push_back(i);
        }
        if (reads.empty()) return kinds;
        client.ReadPciConfigBatch(reads);
        for (size_t k = 0; k < reads.size(); ++k) {
            Walk& w = walks[owners[k]];
            const uint32_t value = reads[k].value;
            const bool failed = !reads[k].served || value == kAllOnes;
            switch (w.stage) {
                case Stage::Status:
                    w.stage = failed || (value & 0x00100000u) == 0 ? Stage::Done : Stage::Pointer;
                    break;
                case Stage::Pointer:
                    w.stage = failed || (value & 0xFF) == 0 ? Stage::Done : Stage::List;
                    w.pointer = value & 0xFF;
                    break;
                case Stage::List:
                    w.stage = Stage::Done;
                    if (failed) break;
                    if ((value & 0xFF) == 0x10) {
                        kinds[owners[k]] = kPciExpressKind;
                        break;
                    }
                    w.pointer = (value >> 8) & 0xFF;
                    if (w.pointer != 0 && ++w.steps < kMaxCapabilityWalk) w.stage = Stage::List;
                    break;
                case Stage::Done:
                    break;
            }
        }
    }
}

uint32_t DwordAt(const uint8_t* bytes, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

// Records for the functions at `where` (bus, device, function), in that order: their kinds,
// then registers 00h and 08h, the reads of each round sent together. A function whose 00h or
// 08h read fails is not listed; the table stops at kMaxPciFunctions. Where the driver reads a
// function's first 256 bytes in one request, kind and registers come from them.
void AddRecords(DriverClient& client, const std::vector<PciFunctionRecord>& where,
                std::vector<PciFunctionRecord>& table) {
    std::vector<uint32_t> addresses;
    addresses.reserve(where.size());
    for (const PciFunctionRecord& r : where) addresses.push_back(r.address().ConfigAddress());
    if (!client.ConsumerForm() && !where.empty()) {
        std::vector<DriverClient::PciBlockRequest> requests;
        for (uint32_t address : addresses) requests.push_back({address, 0, kPciSpaceSize});
        std::vector<DriverClient::PciBlockRead> blocks = client.ReadPciConfigBlocks(requests);
        // Any function the block request did not serve is read as before, and all of them are
        // then, so the order and the table limit stay as they were.
        bool all = true;
        for (const DriverClient::PciBlockRead& b : blocks) all = all && b.served;
        if (all) {
            for (size_t i = 0; i < where.size() && table.size() < kMaxPciFunctions; ++i) {
                PciFunctionRecord record = where[i];
                const uint8_t* config = blocks[i].bytes.data();
                record.kind = PciDeviceKindOf(config);
                record.deviceId = DwordAt(config, 0) >> 16;
                record.vendorId = DwordAt(config, 0) & 0xFFFF;
                record.classCode = DwordAt(config, 8) >> 8;
                table.push_back(record);
            }
            return;
        }
    }
    const std::vector<uint32_t> kinds = DeviceKinds(client, addresses);
    std::vector<ConfigRead> reads(where.size() * 2);
    for (size_t i = 0; i < where.size(); ++i) {
        reads[2 * i].address = addresses[i];
        reads[2 * i + 1].address = addresses[i] + 0x08;
    }
    client.ReadPciConfigBatch(reads);
    for (size_t i = 0; i < where.size() && table.size() < kMaxPciFunctions; ++i) {
        if (!reads[2 * i].served || !reads[2 * i + 1].served) continue;
        PciFunctionRecord record = where[i];
        record.kind = kinds[i];
        record.deviceId = reads[2 * i].value >> 16;
        record.vendorId = reads[2 * i].value & 0xFFFF;
        record.classCode = reads[2 * i + 1].value >> 8;
        table.push_back(record);
    }
}

PciFunctionRecord At(uint32_t bus, uint32_t device, uint32_t function) {
    PciFunctionRecord record;
    record.bus = bus;
    record.device = device;
    record.function = function;
    return record;
}

uint32_t EnumerateByList(DriverClient& client, std::vector<PciFunctionRecord>& table) {
    uint8_t buses[256] = {}, devFns[256] = {};
    uint32_t count = client.ListPciFunctions(buses, devFns);
    std::vector<PciFunctionRecord> where;
    for (uint32_t i = 0; i < count && table.size() + where.size() < kMaxPciFunctions; ++i)
        where.push_back(At(buses[i], devFns[i] >> 3, devFns[i] & 7));
    AddRecords(client, where, table);
    return static_cast<uint32_t>(table.size());
}

// Register 0Ch (header type) of function `function` of every device in `devices` on a bus.
std::vector<ConfigRead> ProbeHeaders(DriverClient& client, uint32_t bus,
                                     const std::vector<uint32_t>& devices, uint32_t function) {
    std::vector<ConfigRead> reads;
    for (uint32_t device : devices)
        reads.push_back(
            {PciAddress(bus, device, function, 0x0C).ConfigAddress(), kAllOnes, 0, false});
    client.ReadPciConfigBatch(reads);
    return reads;
}

uint32_t EnumerateByScan(DriverClient& client, std::vector<PciFunctionRecord>& table,
                         const PciProgress& progress) {
    std::vector<uint32_t> allDevices(32);
    for (uint32_t d = 0; d < 32; ++d) allDevices[d] = d;
    for (uint32_t bus = 0; bus < 256; ++bus) {
        if (progress) progress(bus, 256);
        if (table.size() >= kMaxPciFunctions) break;
        // Function 0 of every device; functions 1-7 of those where it is missing or which
        // have several functions.
        std::vector<ConfigRead> first = ProbeHeaders(client, bus, allDevices, 0);
        std::vector<uint32_t> more;
        for (uint32_t d = 0; d < 32; ++d) {
            const bool found = first[d].served && first[d].value != kAllOnes;
            if (!found || (first[d].value & 0x00800000u) != 0) more.push_back(d);
        }
        std::vector<std::vector<ConfigRead>> rest(8);
        for (uint32_t f = 1; f < 8 && !more.empty(); ++f)
            rest[f] = ProbeHeaders(client, bus, more, f);
        std::vector<PciFunctionRecord> where;
        size_t next = 0;  // position in `more`
        for (uint32_t d = 0; d < 32; ++d) {
            if (first[d].served && first[d].value != kAllOnes) where.push_back(At(bus, d, 0));
            if (next < more.size() && more[next] == d) {
                for (uint32_t f = 1; f < 8; ++f) {
                    const ConfigRead& r = rest[f][next];
                    if (r.served && r.value != kAllOnes) where.push_back(At(bus, d, f));
                }
                ++next;
            }
        }
        AddRecords(client, where, table);
    }
    return static_cast<uint32_t>(table.size());
}

}  // namespace

uint32_t PciDeviceKindOf(const uint8_t* config) {
    // The steps of DeviceKinds over the bytes: a read of all ones ends the walk.
    const uint32_t status = DwordAt(config, 0x04);
    if (status == kAllOnes || (status & 0x00100000u) == 0) return kPciKind;
    const uint32_t pointerDword = DwordAt(config, 0x34);
    if (pointerDword == kAllOnes) return kPciKind;
    uint32_t pointer = pointerDword & 0xFF;
    for (int steps = 0; pointer != 0 && steps < kMaxCapabilityWalk; ++steps) {
        if ((pointer & 3) != 0) return kPciKind;
        const uint32_t entry = DwordAt(config, pointer);
        if (entry == kAllOnes) return kPciKind;
        if ((entry & 0xFF) == 0x10) return kPciExpressKind;
        pointer = (entry >> 8) & 0xFF;
    }
    return kPciKind;
}

uint32_t GetPciDeviceKind(DriverClient& client, uint32_t configAddress) {
    return DeviceKinds(client, {configAddress})[0];
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
    const uint64_t offset = record.address().WindowOffset();
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
    PciWindow window;
    // A window whose bus 0 would lie below address 0 gives no base for the field.
    if (client.PcieWindow(window) && window.Covers(record.address()) &&
        window.firstBusAddress >= uint64_t(window.firstBus) << 20) {
        *base = window.BusZeroBase();
        return true;
    }
    uint32_t probed = 0;
    const bool found = FindMmConfigBase(client, record, &probed);
    *base = probed;
    return found;
}

bool ParseMmConfigBase(std::string_view text, bool* isAuto, uint64_t* base) {
    *isAuto = text == kAutoBase;
    if (*isAuto) return true;
    return ParseHex(text, 0xFFFFFFFFu, *base, HexPrefix::Refused);
}

namespace {

// The first 256 bytes by configuration requests (or from `config` when given).
PciRegisterRead ReadConfigSpace(DriverClient& client, const PciFunctionRecord& record,
                                uint8_t* buffer, const uint8_t* config) {
    PciRegisterRead result;
    const uint32_t address = record.address().ConfigAddress();
    result.startAddress = address;
    result.hasAddress = true;
    DriverClient::PciBlockRead block;
    if (config == nullptr && !client.ConsumerForm()) {
        block = client.ReadPciConfigBlock(address, 0, kPciSpaceSize);
        if (block.served) config = block.bytes.data();
    }
    if (config != nullptr) {
        std::memcpy(buffer, config, kPciSpaceSize);
        result.status = PciRegisterRead::Status::Ok;
        result.length = kPciSpaceSize;
        return result;
    }
    // Double word by double word, where no block request serves.
    ConfigRead reads[kPciSpaceSize / 4];
    for (uint32_t i = 0; i < kPciSpaceSize / 4; ++i) reads[i].address = address + i * 4;
    client.ReadPciConfigBatch(reads);
    uint32_t values[kPciSpaceSize / 4];
    for (uint32_t i = 0; i < kPciSpaceSize / 4; ++i) {
        // The consumer form reports success for every read: only served reads are values.
        if (!reads[i].served) return result;
        values[i] = reads[i].value;
    }
    std::memcpy(buffer, values, sizeof values);
    result.status = PciRegisterRead::Status::Ok;
    result.length = kPciSpaceSize;
    return result;
}

}  // namespace

PciRegisterRead ReadFunctionRegisters(DriverClient& client, const PciFunctionRecord& record,
                                      std::string_view baseText, uint8_t* buffer,
                                      const uint8_t* config) {
    PciRegisterRead result;
    if (record.kind != kPciExpressKind) return ReadConfigSpace(client, record, buffer, config);

    bool isAuto = false;
    uint64_t base = 0;
    if (!ParseMmConfigBase(baseText, &isAuto, &base)) {
        result.status = PciRegisterRead::Status::BaseRejected;
        return result;
    }
    bool haveBase = true;
    if (isAuto) haveBase = AutoMmConfigBase(client, record, &base);
    if (!haveBase) {
        // Nothing maps the extended space: the first 256 bytes are still reachable.
        result = ReadConfigSpace(client, record, buffer, config);
        if (result.status == PciRegisterRead::Status::Ok) {
            result.status = PciRegisterRead::Status::ConfigOnly;
        }
        return result;
    }
    const uint64_t address = base + record.address().WindowOffset();
    result.startAddress = address;
    result.hasAddress = true;
    if (!FitsBelow4GiB(address, kPciExpressSpaceSize)) {
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

std::vector<PciRegisterRead> ReadFunctionRegistersBatch(
    DriverClient& client, const std::vector<PciFunctionRecord>& records, std::string_view baseText,
    std::vector<std::vector<uint8_t>>& buffers) {
    const size_t n = records.size();
    buffers.assign(n, std::vector<uint8_t>(kPciExpressSpaceSize, 0));
    std::vector<PciRegisterRead> results(n);
    std::vector<bool> done(n, false);
    if (!client.ConsumerForm()) {
        // PCI functions: their 256 bytes as blocks.
        std::vector<size_t> which;
        std::vector<DriverClient::PciBlockRequest> requests;
        for (size_t i = 0; i < n; ++i) {
            if (records[i].kind == kPciExpressKind) continue;
            which.push_back(i);
            requests.push_back({records[i].address().ConfigAddress(), 0, kPciSpaceSize});
        }
        std::vector<DriverClient::PciBlockRead> blocks = client.ReadPciConfigBlocks(requests);
        for (size_t k = 0; k < which.size() && k < blocks.size(); ++k) {
            if (!blocks[k].served) continue;  // read again below, as ReadFunctionRegisters does
            const size_t i = which[k];
            results[i] = ReadFunctionRegisters(client, records[i], baseText, buffers[i].data(),
                                               blocks[k].bytes.data());
            done[i] = true;
        }
    }
    // PCI Express functions the window (or a base typed in) reaches: their 4 KiB together.
    bool isAuto = false;
    uint64_t base = 0;
    bool haveBase = ParseMmConfigBase(baseText, &isAuto, &base);
    PciWindow pcieWindow;
    const bool window = haveBase && isAuto && client.PcieWindow(pcieWindow).served() &&
                        pcieWindow.firstBusAddress >= uint64_t(pcieWindow.firstBus) << 20;
    if (isAuto) base = pcieWindow.BusZeroBase();
    std::vector<DriverClient::MemoryRead> reads;
    std::vector<size_t> which;
    for (size_t i = 0; i < n && haveBase && (window || !isAuto); ++i) {
        const PciFunctionRecord& r = records[i];
        if (r.kind != kPciExpressKind) continue;
        if (isAuto && !pcieWindow.Covers(r.address())) continue;  // the probe decides
        const uint64_t address = base + r.address().WindowOffset();
        if (!FitsBelow4GiB(address, kPciExpressSpaceSize)) continue;
        reads.push_back(
            {static_cast<uint32_t>(address), buffers[i].data(), kPciExpressSpaceSize, {}, false});
        which.push_back(i);
        results[i].startAddress = address;
        results[i].hasAddress = true;
        done[i] = true;
    }
    client.ReadPhysicalMemoryBatch(reads);
    for (size_t k = 0; k < reads.size(); ++k) {
        PciRegisterRead& result = results[which[k]];
        if (reads[k].served) {
            result.status = PciRegisterRead::Status::Ok;
            result.length = kPciExpressSpaceSize;
        } else {
            // As a refused single read: nothing is valid.
            std::fill(buffers[which[k]].begin(), buffers[which[k]].end(), 0);
            result.status = PciRegisterRead::Status::ReadFailed;
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!done[i]) {
            results[i] = ReadFunctionRegisters(client, records[i], baseText, buffers[i].data());
        }
    }
    return results;
}

int WriteFunctionRegister(DriverClient& client, uint32_t kind, uint64_t address, uint32_t value) {
    if (kind == kPciKind) {
        if (address > 0xFFFFFFFFull) return 0;
        return client.TryWritePciConfig(static_cast<uint32_t>(address), value).served() ? 1 : 0;
    }
    if (kind == kPciExpressKind) {
        if (!FitsBelow4GiB(address, 4)) return 0;
        return client.WritePhysicalMemory(static_cast<uint32_t>(address), &value, 4);
    }
    return 0;
}

std::string PciListLimitNote(DriverClient& client) {
    std::vector<PciAddress> all;
    if (client.ConsumerForm() || !client.ListPciAll(all)) return {};
    size_t domainZero = 0;
    for (const PciAddress& f : all) domainZero += f.domain == 0 ? 1 : 0;
    if (domainZero <= 256 && domainZero == all.size()) return {};
    return Format(
        "The device list holds the functions of the driver's list: at most 256, of PCI domain 0 "
        "only. This machine has %zu functions (%zu outside domain 0); korvanta-cli pci list "
        "names them all.",
        all.size(), all.size() - domainZero);
}

}  // namespace kvt
