#include "hwaccess/driver_client.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kvt {

namespace {

DriverRequest ZeroBlock() {
    DriverRequest block;
    std::memset(&block, 0, sizeof block);
    return block;
}

bool ValidWidth(uint32_t width) {
    return width == 1 || width == 2 || width == 4;
}

thread_local bool t_lastServed = false;

// Records whether a request was served, and passes its result on.
TransportResult Served(TransportResult result) {
    t_lastServed = result == TransportResult::Ok;
    return result;
}

bool PortsServed(DirectPortAccess& ports, bool alsoBefore = true) {
    t_lastServed = alsoBefore && ports.Served();
    return t_lastServed;
}

}  // namespace

DriverClient::DriverClient(DriverTransport& transport, DirectPortAccess& ports,
                           VersionSource version)
    : transport_(transport), ports_(ports), version_(std::move(version)) {}

bool DriverClient::LastServed() {
    return t_lastServed;
}

OsKind DriverClient::GetOsKind() const {
    return ClassifyOsKind(version_());
}

namespace {

TransportResult CallNt(DriverTransport& transport, uint32_t code, DriverRequest& block,
                       std::span<const uint8_t> payloadOut = {},
                       std::vector<uint8_t>* payloadIn = nullptr) {
    TransportCall call{kNtDeviceName, code, false, payloadOut, payloadIn};
    return Served(transport.Call(call, block));
}

TransportResult CallConsumer(DriverTransport& transport, uint32_t code, DriverRequest& block,
                             std::span<const uint8_t> payloadOut = {},
                             std::vector<uint8_t>* payloadIn = nullptr) {
    TransportCall call{kConsumerDeviceName, code, true, payloadOut, payloadIn};
    return Served(transport.Call(call, block));
}

}  // namespace

int DriverClient::ReadPort(uint16_t port, uint32_t& value, uint32_t width) {
    if (ConsumerWindows(GetOsKind())) {
        t_lastServed = false;
        if (!ValidWidth(width)) return 0;
        value = ports_.In(port, width);
        PortsServed(ports_);
        return 1;
    }
    DriverRequest block = ZeroBlock();
    block.port = port;
    block.portWidth = width;
    if (CallNt(transport_, kNtReadPort, block) != TransportResult::Ok) return 0;
    value = block.portValue;
    return 1;
}

int DriverClient::WritePort(uint16_t port, uint32_t value, uint32_t width) {
    if (ConsumerWindows(GetOsKind())) {
        t_lastServed = false;
        if (!ValidWidth(width)) return 0;
        ports_.Out(port, value, width);
        PortsServed(ports_);
        return 1;
    }
    DriverRequest block = ZeroBlock();
    block.port = port;
    block.portValue = value;
    block.portWidth = width;
    return CallNt(transport_, kNtWritePort, block) == TransportResult::Ok ? 1 : 0;
}

int DriverClient::ReadPciConfig(uint32_t configAddress, uint32_t& value) {
    if (ConsumerWindows(GetOsKind())) {
        ports_.Out(0xCF8, configAddress, 4);
        bool selected = ports_.Served();
        value = ports_.In(0xCFC, 4);
        PortsServed(ports_, selected);
        return 1;
    }
    DriverRequest block = ZeroBlock();
    block.configAddress = configAddress;
    if (CallNt(transport_, kNtReadPciConfig, block) != TransportResult::Ok) return 0;
    value = block.configValue;
    return 1;
}

int DriverClient::WritePciConfig(uint32_t configAddress, uint32_t value) {
    if (ConsumerWindows(GetOsKind())) {
        ports_.Out(0xCF8, configAddress, 4);
        bool selected = ports_.Served();
        ports_.Out(0xCFC, value, 4);
        PortsServed(ports_, selected);
        return 1;
    }
    DriverRequest block = ZeroBlock();
    block.configAddress = configAddress;
    block.configValue = value;
    return CallNt(transport_, kNtWritePciConfig, block) == TransportResult::Ok ? 1 : 0;
}

void DriverClient::ReadPciConfigBatch(std::span<PciConfigRead> reads) {
    bool all = true;
    if (ConsumerWindows(GetOsKind())) {
        // Address out, data in, per read, as ReadPciConfig does it.
        std::vector<DirectPortAccess::Access> accesses(reads.size() * 2);
        for (size_t i = 0; i < reads.size(); ++i) {
            accesses[2 * i] = {0xCF8, reads[i].address, 4, true, false};
            accesses[2 * i + 1] = {0xCFC, 0, 4, false, false};
        }
        ports_.Batch(accesses);
        for (size_t i = 0; i < reads.size(); ++i) {
            reads[i].value = accesses[2 * i + 1].value;
            reads[i].result = 1;
            reads[i].served = accesses[2 * i].served && accesses[2 * i + 1].served;
            all = all && reads[i].served;
        }
        t_lastServed = all;
        return;
    }
    std::vector<TransportBatchEntry> entries(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        entries[i].call = TransportCall{kNtDeviceName, kNtReadPciConfig, false, {}, nullptr};
        entries[i].block = ZeroBlock();
        entries[i].block.configAddress = reads[i].address;
    }
    transport_.CallBatch(entries);
    for (size_t i = 0; i < reads.size(); ++i) {
        reads[i].served = entries[i].result == TransportResult::Ok;
        reads[i].result = reads[i].served ? 1 : 0;
        if (reads[i].served) reads[i].value = entries[i].block.configValue;
        all = all && reads[i].served;
    }
    t_lastServed = all;
}

uint32_t DriverClient::ListPciFunctions(uint8_t* busList, uint8_t* devFnList) {
    // The consumer family builds its list by a bus scan; the driver request is NT-only.
    if (ConsumerWindows(GetOsKind())) {
        t_lastServed = false;
        return 0;
    }
    DriverRequest block = ZeroBlock();
    if (CallNt(transport_, kNtListPciFunctions, block) != TransportResult::Ok) return 0;
    // The lists hold 256 entries; a larger count would run past them.
    uint32_t count = std::min<uint32_t>(block.functionCount, 256);
    std::memcpy(busList, block.busList, count);
    std::memcpy(devFnList, block.devFnList, count);
    return count;
}

namespace {

void FillTransfer(DriverRequest& block, uint32_t physicalAddress, const void* buffer,
                  uint32_t length) {
    block.length = length;
    block.physicalAddress = SignExtend32(physicalAddress);
    // The daemon never touches client memory; the field records the caller's buffer. A
    // 64-bit pointer is kept whole rather than cut to 32 bits.
    block.bufferAddress = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(buffer));
}

}  // namespace

int DriverClient::ReadPhysicalMemory(uint32_t physicalAddress, void* buffer, uint32_t length) {
    bool consumer = ConsumerWindows(GetOsKind());
    DriverRequest block = ZeroBlock();
    FillTransfer(block, physicalAddress, buffer, length);
    std::vector<uint8_t> payload;
    // A transport that can receives the answer straight into the caller's buffer.
    bool direct = false;
    TransportCall call{consumer ? kConsumerDeviceName : kNtDeviceName,
                       consumer ? uint32_t{kConsumerReadPhysicalMemory} : kNtReadPhysicalMemory,
                       consumer,
                       {},
                       &payload,
                       {static_cast<uint8_t*>(buffer), length},
                       &direct};
    TransportResult result = Served(transport_.Call(call, block));
    // Only a complete answer reaches the caller's buffer; a refused or short one leaves it as
    // it was.
    if (result != TransportResult::Ok || (!direct && payload.size() != length)) {
        t_lastServed = false;
        return 0;
    }
    if (!direct && length != 0) std::memcpy(buffer, payload.data(), length);
    return 1;
}

int DriverClient::WritePhysicalMemory(uint32_t physicalAddress, const void* buffer,
                                      uint32_t length) {
    bool consumer = ConsumerWindows(GetOsKind());
    DriverRequest block = ZeroBlock();
    FillTransfer(block, physicalAddress, buffer, length);
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), length);
    TransportResult result =
        consumer ? CallConsumer(transport_, kConsumerWritePhysicalMemory, block, bytes)
                 : CallNt(transport_, kNtWritePhysicalMemory, block, bytes);
    return result == TransportResult::Ok ? 1 : 0;
}

uint64_t DriverClient::ReadMsrNt(uint32_t msr) {
    DriverRequest block = ZeroBlock();
    block.ecx = msr;
    switch (CallNt(transport_, kNtReadMsr, block)) {
        case TransportResult::Ok:
            return (static_cast<uint64_t>(block.edx) << 32) | block.eax;
        case TransportResult::OpenFailed:
            return 0;
        case TransportResult::RequestFailed:
            break;
    }
    return ~0ull;
}

uint64_t DriverClient::ReadMsrConsumer(uint32_t msr) {
    DriverRequest block = ZeroBlock();
    block.ecx = msr;
    if (CallConsumer(transport_, kConsumerReadMsr, block) == TransportResult::OpenFailed) {
        return 0x00000000FFFFFFFFull;
    }
    // The request's own success is not looked at: the value is what the block holds.
    return (static_cast<uint64_t>(block.edx) << 32) | block.eax;
}

int DriverClient::WriteMsrNt(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t, uint32_t) {
    DriverRequest block = ZeroBlock();
    block.ecx = msr;
    block.eax = eax;
    block.edx = edx;
    block.edi = kWriteMsrAccessWordEdi;
    block.esi = kWriteMsrAccessWordEsi;
    return CallNt(transport_, kNtWriteMsr, block) == TransportResult::Ok ? 1 : 0;
}

int DriverClient::WriteMsrConsumer(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi,
                                   uint32_t esi) {
    DriverRequest block = ZeroBlock();
    block.ecx = msr;
    block.eax = eax;
    block.edx = edx;
    block.edi = edi;
    block.esi = esi;
    return CallConsumer(transport_, kConsumerWriteMsr, block) == TransportResult::Ok ? 1 : 0;
}

bool DriverClient::PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) {
    DriverRequest block = ZeroBlock();
    if (CallNt(transport_, kExtPcieWindow, block) != TransportResult::Ok) return false;
    base = static_cast<uint32_t>(block.physicalAddress);
    firstBus = block.busList[0];
    lastBus = block.busList[1];
    return true;
}

bool DriverClient::KernelDriver(uint32_t bus, uint32_t device, uint32_t function,
                                std::string& name) {
    if (bus > 255 || device > 31 || function > 7) return false;
    DriverRequest block = ZeroBlock();
    block.configAddress = 0x80000000u | bus << 16 | device << 11 | function << 8;
    std::vector<uint8_t> payload;
    if (CallNt(transport_, kExtKernelDriver, block, {}, &payload) != TransportResult::Ok)
        return false;
    name.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::DriverStatus(std::string& text) {
    DriverRequest block = ZeroBlock();
    std::vector<uint8_t> payload;
    if (CallNt(transport_, kExtStatus, block, {}, &payload) != TransportResult::Ok) return false;
    text.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::StopDriver() {
    DriverRequest block = ZeroBlock();
    return CallNt(transport_, kExtStop, block) == TransportResult::Ok;
}

}  // namespace kvt
