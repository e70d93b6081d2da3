#include "hwaccess/driver_client.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace kvt {

DriverRequest EmptyRequest() {
    DriverRequest block;
    std::memset(&block, 0, sizeof block);
    return block;
}

namespace {

bool ValidWidth(uint32_t width) {
    return width == 1 || width == 2 || width == 4;
}

uint32_t AllOnes(uint32_t width) {
    return width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
}

thread_local bool t_lastServed = false;
thread_local TransportFailure t_lastFailure = TransportFailure::None;
thread_local std::string t_lastDetail;

}  // namespace

DriverClient::DriverClient(DriverTransport& transport, VersionSource version)
    : transport_(transport), version_(std::move(version)) {}

bool DriverClient::LastServed() {
    return t_lastServed;
}

TransportFailure DriverClient::LastFailure() {
    return t_lastFailure;
}

const std::string& DriverClient::LastFailureDetail() {
    return t_lastDetail;
}

OsKind DriverClient::GetOsKind() const {
    std::call_once(versionOnce_, [this] { osKind_ = ClassifyOsKind(version_()); });
    return osKind_;
}

namespace {

// Why a call with this result failed; `transportFailure` is what the transport said in the
// thread that made the exchange.
TransportFailure FailureOf(TransportResult result, TransportFailure transportFailure) {
    if (result == TransportResult::Ok) return TransportFailure::None;
    if (result == TransportResult::OpenFailed) return TransportFailure::NoDaemon;
    return transportFailure == TransportFailure::None ? TransportFailure::Refused
                                                      : transportFailure;
}

// What LastServed and LastFailure report after a call with this result.
void RecordResult(TransportResult result,
                  TransportFailure transportFailure = SocketTransport::LastFailure(),
                  std::string detail = SocketTransport::LastFailureDetail()) {
    t_lastServed = result == TransportResult::Ok;
    t_lastFailure = FailureOf(result, transportFailure);
    t_lastDetail = result == TransportResult::Ok ? std::string() : std::move(detail);
}

}  // namespace

bool DriverClient::RunExchange(const std::function<void()>& exchange) {
    if (!runner_) {
        exchange();
        return true;
    }
    return runner_(exchange);
}

TransportResult DriverClient::Call(const TransportCall& call, DriverRequest& block) {
    TransportResult result = TransportResult::RequestFailed;
    TransportFailure failure = TransportFailure::None;
    std::string detail;
    auto exchange = [&] {
        result = transport_.Call(call, block);
        failure = SocketTransport::LastFailure();
        detail = SocketTransport::LastFailureDetail();
    };
    // An answer handed on piece by piece is taken in by the calling thread itself.
    if (call.payloadArrived != nullptr) {
        exchange();
    } else if (!RunExchange(exchange)) {
        t_lastServed = false;
        t_lastFailure = TransportFailure::Cancelled;
        t_lastDetail.clear();
        return TransportResult::RequestFailed;
    }
    RecordResult(result, failure, std::move(detail));
    return result;
}

TransportResult DriverClient::Call(uint32_t code, DriverRequest& block, bool consumer,
                                   std::span<const uint8_t> payloadOut,
                                   std::vector<uint8_t>* payloadIn) {
    return Call(TransportCall{consumer ? kConsumerDeviceName : kNtDeviceName, code, consumer,
                              payloadOut, payloadIn},
                block);
}

uint32_t DriverClient::PortIn(uint16_t port, uint32_t width) {
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portWidth = width;
    return Call(kExtDirectPortIn, block) == TransportResult::Ok ? block.portValue : AllOnes(width);
}

void DriverClient::PortOut(uint16_t port, uint32_t value, uint32_t width) {
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portValue = value;
    block.portWidth = width;
    Call(kExtDirectPortOut, block);
}

int DriverClient::ReadPort(uint16_t port, uint32_t& value, uint32_t width) {
    if (ConsumerForm()) {
        t_lastServed = false;
        if (!ValidWidth(width)) return 0;
        value = PortIn(port, width);
        return 1;
    }
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portWidth = width;
    if (Call(kNtReadPort, block) != TransportResult::Ok) return 0;
    value = block.portValue;
    return 1;
}

void DriverClient::ReadPortBatch(std::span<PortRead> reads) {
    const bool consumer = ConsumerForm();
    std::vector<TransportBatchEntry> entries(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        entries[i].call =
            TransportCall{kNtDeviceName,
                          consumer ? uint32_t{kExtDirectPortIn} : uint32_t{kNtReadPort},
                          false,
                          {},
                          nullptr};
        entries[i].block = EmptyRequest();
        entries[i].block.port = reads[i].port;
        entries[i].block.portWidth = reads[i].width;
    }
    TransportFailure failure = TransportFailure::None;
    bool all = true;
    const bool ran = RunExchange([&] {
        transport_.CallBatch(entries);
        failure = SocketTransport::LastFailure();
    });
    // The transport names one cause, that of the batch's last failure. A time-out or a broken
    // answer fails every request after it that got no answer; earlier failures were refusals.
    size_t lastServed = 0;
    for (size_t i = 0; i < reads.size(); ++i) {
        if (ran && entries[i].result == TransportResult::Ok) lastServed = i + 1;
    }
    const bool trailing = failure != TransportFailure::None && failure != TransportFailure::Refused;
    TransportFailure last = TransportFailure::None;
    for (size_t i = 0; i < reads.size(); ++i) {
        PortRead& read = reads[i];
        if (!ran) {
            read.served = false;
            read.failure = TransportFailure::Cancelled;
        } else {
            read.served = entries[i].result == TransportResult::Ok;
            read.failure = read.served                   ? TransportFailure::None
                           : trailing && i >= lastServed ? failure
                                                         : FailureOf(entries[i].result, {});
            if (read.served) read.value = entries[i].block.portValue;
        }
        if (!read.served) last = read.failure;
        all = all && read.served;
    }
    t_lastServed = all;
    t_lastFailure = all ? TransportFailure::None : last;
}

int DriverClient::WritePort(uint16_t port, uint32_t value, uint32_t width) {
    if (ConsumerForm()) {
        t_lastServed = false;
        if (!ValidWidth(width)) return 0;
        PortOut(port, value, width);
        return 1;
    }
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portValue = value;
    block.portWidth = width;
    return Call(kNtWritePort, block) == TransportResult::Ok ? 1 : 0;
}

int DriverClient::ReadPciConfig(uint32_t configAddress, uint32_t& value) {
    if (ConsumerForm()) {
        PortOut(0xCF8, configAddress, 4);
        bool selected = t_lastServed;
        value = PortIn(0xCFC, 4);
        t_lastServed = selected && t_lastServed;
        return 1;
    }
    DriverRequest block = EmptyRequest();
    block.configAddress = configAddress;
    if (Call(kNtReadPciConfig, block) != TransportResult::Ok) return 0;
    value = block.configValue;
    return 1;
}

int DriverClient::WritePciConfig(uint32_t configAddress, uint32_t value) {
    if (ConsumerForm()) {
        PortOut(0xCF8, configAddress, 4);
        bool selected = t_lastServed;
        PortOut(0xCFC, value, 4);
        t_lastServed = selected && t_lastServed;
        return 1;
    }
    DriverRequest block = EmptyRequest();
    block.configAddress = configAddress;
    block.configValue = value;
    return Call(kNtWritePciConfig, block) == TransportResult::Ok ? 1 : 0;
}

void DriverClient::ReadPciConfigBatch(std::span<PciConfigRead> reads) {
    bool all = true;
    if (ConsumerForm()) {
        // Address out, data in, per read, as ReadPciConfig does it, sent together.
        std::vector<TransportBatchEntry> ports(reads.size() * 2);
        for (size_t i = 0; i < reads.size(); ++i) {
            TransportBatchEntry& out = ports[2 * i];
            out.call = TransportCall{kNtDeviceName, kExtDirectPortOut, false, {}, nullptr};
            out.block = EmptyRequest();
            out.block.port = 0xCF8;
            out.block.portValue = reads[i].address;
            out.block.portWidth = 4;
            TransportBatchEntry& in = ports[2 * i + 1];
            in.call = TransportCall{kNtDeviceName, kExtDirectPortIn, false, {}, nullptr};
            in.block = EmptyRequest();
            in.block.port = 0xCFC;
            in.block.portWidth = 4;
        }
        transport_.CallBatch(ports);
        for (size_t i = 0; i < reads.size(); ++i) {
            bool servedIn = ports[2 * i + 1].result == TransportResult::Ok;
            reads[i].value = servedIn ? ports[2 * i + 1].block.portValue : 0xFFFFFFFFu;
            reads[i].result = 1;
            reads[i].served = ports[2 * i].result == TransportResult::Ok && servedIn;
            all = all && reads[i].served;
        }
        t_lastServed = all;
        return;
    }
    std::vector<TransportBatchEntry> entries(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        entries[i].call = TransportCall{kNtDeviceName, kNtReadPciConfig, false, {}, nullptr};
        entries[i].block = EmptyRequest();
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

DriverClient::PciBlockRead DriverClient::ReadPciConfigBlock(uint32_t configAddress, uint32_t offset,
                                                            uint32_t length) {
    const PciBlockRequest request{configAddress, offset, length};
    return std::move(ReadPciConfigBlocks({&request, 1})[0]);
}

std::vector<DriverClient::PciBlockRead> DriverClient::ReadPciConfigBlocks(
    std::span<const PciBlockRequest> requests) {
    std::vector<PciBlockRead> results(requests.size());
    if (ConsumerForm()) {
        for (PciBlockRead& r : results) r.failure = TransportFailure::Refused;
        return results;
    }
    std::vector<TransportBatchEntry> entries(requests.size());
    std::vector<std::vector<uint8_t>> payloads(requests.size());
    for (size_t i = 0; i < requests.size(); ++i) {
        entries[i].call = TransportCall{kNtDeviceName, kExtReadPciBlock, false, {}, &payloads[i]};
        entries[i].block = EmptyRequest();
        entries[i].block.configAddress = requests[i].configAddress & ~0xFFu;
        entries[i].block.ecx = requests[i].offset;
        entries[i].block.length = requests[i].length;
    }
    transport_.CallBatch(entries);
    for (size_t i = 0; i < requests.size(); ++i) {
        PciBlockRead& r = results[i];
        r.served =
            entries[i].result == TransportResult::Ok && payloads[i].size() == requests[i].length;
        if (r.served) {
            r.bytes = std::move(payloads[i]);
        } else {
            r.failure = entries[i].result == TransportResult::OpenFailed
                            ? TransportFailure::NoDaemon
                        : entries[i].result == TransportResult::Ok ? TransportFailure::BrokenAnswer
                                                                   : TransportFailure::Refused;
        }
    }
    return results;
}

uint32_t DriverClient::ListPciFunctions(uint8_t* busList, uint8_t* devFnList) {
    // The consumer family builds its list by a bus scan; the driver request is NT-only.
    if (ConsumerForm()) {
        t_lastServed = false;
        return 0;
    }
    DriverRequest block = EmptyRequest();
    if (Call(kNtListPciFunctions, block) != TransportResult::Ok) return 0;
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

// A memory read in the given form. A transport that can receives the answer straight into
// `buffer` and sets *direct; otherwise it arrives in *payload.
TransportCall MemoryReadCall(bool consumer, uint8_t* buffer, uint32_t length,
                             std::vector<uint8_t>* payload, bool* direct,
                             const std::function<void(size_t)>* arrived = nullptr) {
    return {consumer ? kConsumerDeviceName : kNtDeviceName,
            consumer ? uint32_t{kConsumerReadPhysicalMemory} : kNtReadPhysicalMemory,
            consumer,
            {},
            payload,
            {buffer, length},
            direct,
            arrived};
}

}  // namespace

int DriverClient::ReadPhysicalMemory(uint32_t physicalAddress, void* buffer, uint32_t length) {
    DriverRequest block = EmptyRequest();
    FillTransfer(block, physicalAddress, buffer, length);
    std::vector<uint8_t> payload;
    bool direct = false;
    TransportResult result = Call(
        MemoryReadCall(ConsumerForm(), static_cast<uint8_t*>(buffer), length, &payload, &direct),
        block);
    // Only a complete answer reaches the caller's buffer; a refused or short one leaves it as
    // it was.
    if (result != TransportResult::Ok || (!direct && payload.size() != length)) {
        t_lastServed = false;
        return 0;
    }
    if (!direct && length != 0) std::memcpy(buffer, payload.data(), length);
    return 1;
}

void DriverClient::ReadPhysicalMemoryBatch(std::span<MemoryRead> reads) {
    bool consumer = ConsumerForm();
    std::vector<TransportBatchEntry> entries(reads.size());
    std::vector<std::vector<uint8_t>> payloads(reads.size());
    std::unique_ptr<bool[]> direct(new bool[reads.size()]());
    for (size_t i = 0; i < reads.size(); ++i) {
        MemoryRead& read = reads[i];
        entries[i].call = MemoryReadCall(consumer, read.buffer, read.length, &payloads[i],
                                         &direct[i], read.arrived ? &read.arrived : nullptr);
        entries[i].block = EmptyRequest();
        FillTransfer(entries[i].block, read.address, read.buffer, read.length);
    }
    transport_.CallBatch(entries);
    // The first read not served speaks for the batch in LastServed and LastFailure.
    TransportResult first = TransportResult::Ok;
    for (size_t i = 0; i < reads.size(); ++i) {
        MemoryRead& read = reads[i];
        read.served = entries[i].result == TransportResult::Ok &&
                      (direct[i] || payloads[i].size() == read.length);
        if (read.served && !direct[i]) {
            // Received apart: handed over now, in order.
            if (read.length != 0) std::memcpy(read.buffer, payloads[i].data(), read.length);
            if (read.arrived) read.arrived(read.length);
        }
        if (!read.served && first == TransportResult::Ok)
            first = entries[i].result == TransportResult::Ok ? TransportResult::RequestFailed
                                                             : entries[i].result;
    }
    RecordResult(first);
}

int DriverClient::WritePhysicalMemory(uint32_t physicalAddress, const void* buffer,
                                      uint32_t length) {
    bool consumer = ConsumerForm();
    DriverRequest block = EmptyRequest();
    FillTransfer(block, physicalAddress, buffer, length);
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), length);
    TransportResult result =
        Call(consumer ? uint32_t{kConsumerWritePhysicalMemory} : uint32_t{kNtWritePhysicalMemory},
             block, consumer, bytes);
    return result == TransportResult::Ok ? 1 : 0;
}

uint64_t DriverClient::ReadMsrNt(uint32_t msr) {
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    switch (Call(kNtReadMsr, block)) {
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
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    if (Call(kConsumerReadMsr, block, true) == TransportResult::OpenFailed) {
        return 0x00000000FFFFFFFFull;
    }
    // The request's own success is not looked at: the value is what the block holds.
    return (static_cast<uint64_t>(block.edx) << 32) | block.eax;
}

int DriverClient::WriteMsrNt(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t, uint32_t) {
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    block.eax = eax;
    block.edx = edx;
    block.edi = kWriteMsrAccessWordEdi;
    block.esi = kWriteMsrAccessWordEsi;
    return Call(kNtWriteMsr, block) == TransportResult::Ok ? 1 : 0;
}

int DriverClient::WriteMsrConsumer(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi,
                                   uint32_t esi) {
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    block.eax = eax;
    block.edx = edx;
    block.edi = edi;
    block.esi = esi;
    return Call(kConsumerWriteMsr, block, true) == TransportResult::Ok ? 1 : 0;
}

uint64_t DriverClient::ReadMsr(uint32_t msr) {
    return ConsumerForm() ? ReadMsrConsumer(msr) : ReadMsrNt(msr);
}

int DriverClient::WriteMsr(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi) {
    return ConsumerForm() ? WriteMsrConsumer(msr, eax, edx, edi, esi)
                          : WriteMsrNt(msr, eax, edx, edi, esi);
}

bool DriverClient::Cpuid(uint32_t function, uint32_t subFunction, CpuidRegisters& out) {
    DriverRequest block = EmptyRequest();
    block.eax = function;
    block.ecx = subFunction;
    if (Call(kExtCpuid, block) != TransportResult::Ok) return false;
    out = {block.eax, block.ebx, block.ecx, block.edx};
    return true;
}

bool DriverClient::ReadTsc(uint64_t& value) {
    DriverRequest block = EmptyRequest();
    if (Call(kExtReadTsc, block) != TransportResult::Ok) return false;
    value = (static_cast<uint64_t>(block.edx) << 32) | block.eax;
    return true;
}

bool DriverClient::PlatformInfo(std::string& text) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    if (Call(kExtPlatformInfo, block, false, {}, &payload) != TransportResult::Ok) return false;
    text.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) {
    DriverRequest block = EmptyRequest();
    if (Call(kExtPcieWindow, block) != TransportResult::Ok) return false;
    base = static_cast<uint32_t>(block.physicalAddress);
    firstBus = block.busList[0];
    lastBus = block.busList[1];
    return true;
}

bool DriverClient::KernelDriver(uint32_t bus, uint32_t device, uint32_t function,
                                std::string& name) {
    if (bus > 255 || device > 31 || function > 7) return false;
    DriverRequest block = EmptyRequest();
    block.configAddress = 0x80000000u | bus << 16 | device << 11 | function << 8;
    std::vector<uint8_t> payload;
    if (Call(kExtKernelDriver, block, false, {}, &payload) != TransportResult::Ok) return false;
    name.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::SmbusKernel(uint32_t bus, uint32_t device, uint32_t function, uint16_t ioBase,
                               SmbusKernelCall& call) {
    if (bus > 255 || device > 31 || function > 7 || call.count > kSmbusKernelBlockMax) return false;
    DriverRequest block = EmptyRequest();
    block.configAddress = 0x80000000u | bus << 16 | device << 11 | function << 8;
    block.port = ioBase;
    block.ecx = call.op;
    block.edx = call.address;
    block.esi = call.command;
    block.portValue = call.data;
    block.length = call.count;
    std::memcpy(block.busList, call.block, call.count);
    std::vector<uint8_t> payload;
    if (Call(kExtSmbusKernel, block, false, {}, &payload) != TransportResult::Ok) return false;
    call.error = int(block.eax);
    call.data = uint16_t(block.portValue);
    if (call.op == kSmbusOpReadBlock) {
        call.count = uint8_t(std::min<uint32_t>(block.length, kSmbusKernelBlockMax));
        std::memcpy(call.block, block.busList, call.count);
    }
    call.text.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::DriverStatus(std::string& text) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    if (Call(kExtStatus, block, false, {}, &payload) != TransportResult::Ok) return false;
    text.assign(payload.begin(), payload.end());
    return true;
}

bool DriverClient::Detect(DriverCapabilities& out) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    if (Call(kExtCapabilities, block, false, {}, &payload) != TransportResult::Ok) return false;
    out = {};
    const uint32_t bits = block.eax;
    out.processors = block.ebx;
    out.simulated = (bits & kCapSimulated) != 0;
    out.cpuid = (bits & kCapCpuid) != 0;
    out.tsc = (bits & kCapTsc) != 0;
    out.directPorts = (bits & kCapDirectPorts) != 0;
    out.writes = (bits & kCapWrites) != 0;
    out.text.assign(payload.begin(), payload.end());
    // The text: the backend's name, then "<kind>: <detail>" lines in the daemon's words.
    const std::pair<const char*, DriverCapabilities::Access*> kinds[] = {
        {"ports: ", &out.ports},
        {"PCI configuration: ", &out.pciConfig},
        {"PCI Express window: ", &out.pcieWindow},
        {"physical memory: ", &out.memory},
        {"MSRs: ", &out.msr}};
    const std::pair<uint32_t, DriverCapabilities::Access*> flags[] = {
        {kCapPorts, &out.ports},
        {kCapPciConfig, &out.pciConfig},
        {kCapPcieWindow, &out.pcieWindow},
        {kCapMemory, &out.memory},
        {kCapMsr, &out.msr}};
    for (const auto& [flag, access] : flags) access->available = (bits & flag) != 0;
    size_t start = 0;
    bool first = true;
    while (start < out.text.size()) {
        size_t end = out.text.find('\n', start);
        if (end == std::string::npos) end = out.text.size();
        std::string line = out.text.substr(start, end - start);
        start = end + 1;
        if (first) {
            out.backend = line;
            first = false;
            continue;
        }
        if (line.rfind("profile: ", 0) == 0) {
            // "profile: PATH (SIZE bytes, modified ..., file ...)": the path.
            out.profile = line.substr(9);
            size_t stamp = out.profile.rfind(" (");
            if (stamp != std::string::npos) out.profile.resize(stamp);
        }
        for (const auto& [prefix, access] : kinds) {
            if (line.rfind(prefix, 0) == 0) access->detail = line.substr(std::strlen(prefix));
        }
    }
    return true;
}

bool DriverClient::StopDriver() {
    DriverRequest block = EmptyRequest();
    return Call(kExtStop, block) == TransportResult::Ok;
}

}  // namespace kvt
