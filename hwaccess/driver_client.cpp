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

// What a request with this transport status came to.
RequestStatus StatusOf(const TransportStatus& status) {
    if (status.ok()) return {};
    if (status.result == TransportResult::OpenFailed) return {TransportFailure::NoDaemon, {}};
    return {status.failure == TransportFailure::None ? TransportFailure::Refused : status.failure,
            status.detail};
}

template <typename T>
Reply<T> ReplyOf(const TransportStatus& status, T value) {
    Reply<T> reply;
    static_cast<RequestStatus&>(reply) = StatusOf(status);
    reply.value = value;
    return reply;
}

// The status of two requests made for one access: the first failure.
RequestStatus Both(RequestStatus first, RequestStatus second) {
    return first.served() ? std::move(second) : std::move(first);
}

RequestStatus BadWidth() {
    return {TransportFailure::Refused, "a port access is 1, 2 or 4 bytes wide"};
}

}  // namespace

DriverClient::DriverClient(DriverTransport& transport, VersionSource version)
    : transport_(transport), version_(std::move(version)) {}

OsKind DriverClient::GetOsKind() const {
    std::call_once(versionOnce_, [this] { osKind_ = ClassifyOsKind(version_()); });
    return osKind_;
}

bool DriverClient::RunExchange(const std::function<void()>& exchange) {
    if (!runner_) {
        exchange();
        return true;
    }
    return runner_(exchange);
}

TransportStatus DriverClient::Call(const TransportCall& call, DriverRequest& block) {
    TransportStatus status;
    auto exchange = [&] { status = transport_.Call(call, block); };
    // An answer handed on piece by piece is taken in by the calling thread itself.
    if (call.payloadArrived != nullptr) {
        exchange();
    } else if (!RunExchange(exchange)) {
        return {TransportResult::RequestFailed, TransportFailure::Cancelled};
    }
    return status;
}

TransportStatus DriverClient::Call(uint32_t code, DriverRequest& block, bool consumer,
                                   std::span<const uint8_t> payloadOut,
                                   std::vector<uint8_t>* payloadIn) {
    return Call(TransportCall{consumer ? kConsumerDeviceName : kNtDeviceName, code, consumer,
                              payloadOut, payloadIn},
                block);
}

Reply<uint32_t> DriverClient::DirectIn(uint16_t port, uint32_t width) {
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portWidth = width;
    TransportStatus status = Call(kExtDirectPortIn, block);
    return ReplyOf(status, status.ok() ? block.portValue : AllOnes(width));
}

RequestStatus DriverClient::DirectOut(uint16_t port, uint32_t value, uint32_t width) {
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portValue = value;
    block.portWidth = width;
    return StatusOf(Call(kExtDirectPortOut, block));
}

uint32_t DriverClient::PortIn(uint16_t port, uint32_t width) {
    return DirectIn(port, width).value;
}

void DriverClient::PortOut(uint16_t port, uint32_t value, uint32_t width) {
    DirectOut(port, value, width);
}

Reply<uint32_t> DriverClient::TryReadPort(uint16_t port, uint32_t width) {
    if (ConsumerForm()) {
        if (!ValidWidth(width)) return {BadWidth(), 0};
        return DirectIn(port, width);
    }
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portWidth = width;
    TransportStatus status = Call(kNtReadPort, block);
    return ReplyOf(status, status.ok() ? block.portValue : 0u);
}

RequestStatus DriverClient::TryWritePort(uint16_t port, uint32_t value, uint32_t width) {
    if (ConsumerForm()) {
        if (!ValidWidth(width)) return BadWidth();
        return DirectOut(port, value, width);
    }
    DriverRequest block = EmptyRequest();
    block.port = port;
    block.portValue = value;
    block.portWidth = width;
    return StatusOf(Call(kNtWritePort, block));
}

int DriverClient::ReadPort(uint16_t port, uint32_t& value, uint32_t width) {
    Reply<uint32_t> read = TryReadPort(port, width);
    // The consumer form reports success whenever the width is valid, all ones when refused.
    if (ConsumerForm() ? !ValidWidth(width) : !read.served()) return 0;
    value = read.value;
    return 1;
}

int DriverClient::WritePort(uint16_t port, uint32_t value, uint32_t width) {
    RequestStatus status = TryWritePort(port, value, width);
    return (ConsumerForm() ? ValidWidth(width) : status.served()) ? 1 : 0;
}

RequestStatus DriverClient::ReadPortBatch(std::span<PortRead> reads) {
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
    const bool ran = RunExchange([&] { transport_.CallBatch(entries); });
    RequestStatus batch;
    for (size_t i = 0; i < reads.size(); ++i) {
        PortRead& read = reads[i];
        RequestStatus status =
            ran ? StatusOf(entries[i].result) : RequestStatus{TransportFailure::Cancelled, {}};
        read.served = status.served();
        read.failure = status.failure;
        if (read.served) read.value = entries[i].block.portValue;
        if (!read.served) batch = std::move(status);
    }
    return batch;
}

Reply<uint32_t> DriverClient::TryReadPciConfig(uint32_t configAddress) {
    if (ConsumerForm()) {
        RequestStatus selected = DirectOut(0xCF8, configAddress, 4);
        Reply<uint32_t> data = DirectIn(0xCFC, 4);
        return {Both(std::move(selected), std::move(data)), data.value};
    }
    DriverRequest block = EmptyRequest();
    block.configAddress = configAddress;
    TransportStatus status = Call(kNtReadPciConfig, block);
    return ReplyOf(status, status.ok() ? block.configValue : 0u);
}

RequestStatus DriverClient::TryWritePciConfig(uint32_t configAddress, uint32_t value) {
    if (ConsumerForm()) {
        RequestStatus selected = DirectOut(0xCF8, configAddress, 4);
        return Both(std::move(selected), DirectOut(0xCFC, value, 4));
    }
    DriverRequest block = EmptyRequest();
    block.configAddress = configAddress;
    block.configValue = value;
    return StatusOf(Call(kNtWritePciConfig, block));
}

int DriverClient::ReadPciConfig(uint32_t configAddress, uint32_t& value) {
    Reply<uint32_t> read = TryReadPciConfig(configAddress);
    if (!ConsumerForm() && !read.served()) return 0;
    value = read.value;
    return 1;
}

int DriverClient::WritePciConfig(uint32_t configAddress, uint32_t value) {
    RequestStatus status = TryWritePciConfig(configAddress, value);
    return ConsumerForm() || status.served() ? 1 : 0;
}

RequestStatus DriverClient::ReadPciConfigBatch(std::span<PciConfigRead> reads) {
    RequestStatus batch;
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
        if (!RunExchange([&] { transport_.CallBatch(ports); }))
            return {TransportFailure::Cancelled, {}};
        for (size_t i = 0; i < reads.size(); ++i) {
            bool servedIn = ports[2 * i + 1].result.ok();
            reads[i].value = servedIn ? ports[2 * i + 1].block.portValue : 0xFFFFFFFFu;
            reads[i].result = 1;
            RequestStatus status =
                Both(StatusOf(ports[2 * i].result), StatusOf(ports[2 * i + 1].result));
            reads[i].served = status.served();
            if (!status.served()) batch = std::move(status);
        }
        return batch;
    }
    std::vector<TransportBatchEntry> entries(reads.size());
    for (size_t i = 0; i < reads.size(); ++i) {
        entries[i].call = TransportCall{kNtDeviceName, kNtReadPciConfig, false, {}, nullptr};
        entries[i].block = EmptyRequest();
        entries[i].block.configAddress = reads[i].address;
    }
    if (!RunExchange([&] { transport_.CallBatch(entries); }))
        return {TransportFailure::Cancelled, {}};
    for (size_t i = 0; i < reads.size(); ++i) {
        RequestStatus status = StatusOf(entries[i].result);
        reads[i].served = status.served();
        reads[i].result = reads[i].served ? 1 : 0;
        if (reads[i].served) reads[i].value = entries[i].block.configValue;
        if (!status.served()) batch = std::move(status);
    }
    return batch;
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
        entries[i].block.ebx = requests[i].domain;
        entries[i].block.ecx = requests[i].offset;
        entries[i].block.length = requests[i].length;
    }
    if (!RunExchange([&] { transport_.CallBatch(entries); })) {
        for (PciBlockRead& r : results) r.failure = TransportFailure::Cancelled;
        return results;
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        PciBlockRead& r = results[i];
        RequestStatus status = StatusOf(entries[i].result);
        if (status.served() && payloads[i].size() != requests[i].length)
            status.failure = TransportFailure::BrokenAnswer;
        r.served = status.served();
        r.failure = status.failure;
        if (r.served) r.bytes = std::move(payloads[i]);
    }
    return results;
}

Reply<uint32_t> DriverClient::TryListPciFunctions(uint8_t* busList, uint8_t* devFnList) {
    // The consumer family builds its list by a bus scan; the driver request is NT-only.
    if (ConsumerForm())
        return {{TransportFailure::Refused, "the consumer form has no function list"}, 0};
    DriverRequest block = EmptyRequest();
    TransportStatus status = Call(kNtListPciFunctions, block);
    if (!status.ok()) return ReplyOf(status, 0u);
    // The lists hold 256 entries; a larger count would run past them.
    uint32_t count = std::min<uint32_t>(block.functionCount, 256);
    std::memcpy(busList, block.busList, count);
    std::memcpy(devFnList, block.devFnList, count);
    return {{}, count};
}

uint32_t DriverClient::ListPciFunctions(uint8_t* busList, uint8_t* devFnList) {
    return TryListPciFunctions(busList, devFnList).value;
}

RequestStatus DriverClient::ListPciAll(std::vector<PciAddress>& functions) {
    if (ConsumerForm())
        return {TransportFailure::Refused, "the consumer form has no function list"};
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtListPciAll, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    if (block.eax > kPciListMax || payload.size() != size_t{block.eax} * kPciListRecordSize)
        return {TransportFailure::BrokenAnswer, {}};
    functions.clear();
    functions.reserve(block.eax);
    for (size_t at = 0; at < payload.size(); at += kPciListRecordSize) {
        PciAddress f = PciAddress::FromDevFn(payload[at + 2], payload[at + 3]);
        f.domain = static_cast<uint16_t>(payload[at] | payload[at + 1] << 8);
        functions.push_back(f);
    }
    return {};
}

Reply<DriverClient::PciBarSizes> DriverClient::TryPciBarSizes(const PciAddress& function) {
    return std::move(PciBarSizesBatch({&function, 1})[0]);
}

std::vector<Reply<DriverClient::PciBarSizes>> DriverClient::PciBarSizesBatch(
    std::span<const PciAddress> functions) {
    std::vector<Reply<PciBarSizes>> results(functions.size());
    std::vector<TransportBatchEntry> entries(functions.size());
    std::vector<std::vector<uint8_t>> payloads(functions.size());
    for (size_t i = 0; i < functions.size(); ++i) {
        entries[i].call = TransportCall{kNtDeviceName, kExtPciBarSizes, false, {}, &payloads[i]};
        entries[i].block = EmptyRequest();
        entries[i].block.configAddress = functions[i].Function().ConfigAddress();
        entries[i].block.ebx = functions[i].domain;
    }
    if (!RunExchange([&] { transport_.CallBatch(entries); })) {
        for (auto& r : results) r.failure = TransportFailure::Cancelled;
        return results;
    }
    for (size_t i = 0; i < functions.size(); ++i) {
        RequestStatus status = StatusOf(entries[i].result);
        if (status.served() && payloads[i].size() != sizeof(PciBarSizes))
            status = {TransportFailure::BrokenAnswer, {}};
        static_cast<RequestStatus&>(results[i]) = status;
        if (status.served())
            std::memcpy(results[i].value.data(), payloads[i].data(), sizeof(PciBarSizes));
    }
    return results;
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

RequestStatus DriverClient::TryReadMemory(uint32_t physicalAddress, void* buffer, uint32_t length) {
    DriverRequest block = EmptyRequest();
    FillTransfer(block, physicalAddress, buffer, length);
    std::vector<uint8_t> payload;
    bool direct = false;
    TransportStatus status = Call(
        MemoryReadCall(ConsumerForm(), static_cast<uint8_t*>(buffer), length, &payload, &direct),
        block);
    if (!status.ok()) return StatusOf(status);
    // Only a complete answer reaches the caller's buffer; a short one leaves it as it was.
    if (!direct && payload.size() != length) return {TransportFailure::BrokenAnswer, {}};
    if (!direct && length != 0) std::memcpy(buffer, payload.data(), length);
    return {};
}

RequestStatus DriverClient::TryReadMemory64(uint64_t physicalAddress, void* buffer,
                                            uint32_t length) {
    if (physicalAddress < 0x100000000ull && length <= 0x100000000ull - physicalAddress)
        return TryReadMemory(static_cast<uint32_t>(physicalAddress), buffer, length);
    if (physicalAddress < 0x100000000ull || physicalAddress >= 0xFFFFFFFF00000000ull ||
        length > 0xFFFFFFFF00000000ull - physicalAddress)
        return {TransportFailure::Refused,
                "the range crosses 4 GiB or the top of the address space"};
    if (ConsumerForm())
        return {TransportFailure::Refused, "the consumer form reaches the first 4 GiB only"};
    DriverRequest block = EmptyRequest();
    FillTransfer(block, 0, buffer, length);
    block.physicalAddress = physicalAddress;
    std::vector<uint8_t> payload;
    bool direct = false;
    TransportStatus status = Call(
        MemoryReadCall(false, static_cast<uint8_t*>(buffer), length, &payload, &direct), block);
    if (!status.ok()) return StatusOf(status);
    if (!direct && payload.size() != length) return {TransportFailure::BrokenAnswer, {}};
    if (!direct && length != 0) std::memcpy(buffer, payload.data(), length);
    return {};
}

int DriverClient::ReadPhysicalMemory(uint32_t physicalAddress, void* buffer, uint32_t length) {
    return TryReadMemory(physicalAddress, buffer, length).served() ? 1 : 0;
}

RequestStatus DriverClient::ReadPhysicalMemoryBatch(std::span<MemoryRead> reads) {
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
    // The answers are handed on piece by piece, so the calling thread takes them in itself.
    transport_.CallBatch(entries);
    RequestStatus first;
    for (size_t i = 0; i < reads.size(); ++i) {
        MemoryRead& read = reads[i];
        RequestStatus status = StatusOf(entries[i].result);
        if (status.served() && !direct[i] && payloads[i].size() != read.length)
            status = {TransportFailure::BrokenAnswer, {}};
        read.served = status.served();
        if (read.served && !direct[i]) {
            // Received apart: handed over now, in order.
            if (read.length != 0) std::memcpy(read.buffer, payloads[i].data(), read.length);
            if (read.arrived) read.arrived(read.length);
        }
        if (!read.served && first.served()) first = std::move(status);
    }
    return first;
}

RequestStatus DriverClient::TryWriteMemory(uint32_t physicalAddress, const void* buffer,
                                           uint32_t length) {
    bool consumer = ConsumerForm();
    DriverRequest block = EmptyRequest();
    FillTransfer(block, physicalAddress, buffer, length);
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(buffer), length);
    return StatusOf(
        Call(consumer ? uint32_t{kConsumerWritePhysicalMemory} : uint32_t{kNtWritePhysicalMemory},
             block, consumer, bytes));
}

int DriverClient::WritePhysicalMemory(uint32_t physicalAddress, const void* buffer,
                                      uint32_t length) {
    return TryWriteMemory(physicalAddress, buffer, length).served() ? 1 : 0;
}

Reply<uint64_t> DriverClient::MsrReadIn(bool consumer, int64_t processor, uint32_t msr) {
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    TransportCall call{consumer ? kConsumerDeviceName : kNtDeviceName,
                       consumer ? uint32_t{kConsumerReadMsr} : uint32_t{kNtReadMsr},
                       consumer,
                       {},
                       nullptr};
    call.processor = processor;
    TransportStatus status = Call(call, block);
    const uint64_t held = (static_cast<uint64_t>(block.edx) << 32) | block.eax;
    uint64_t value;
    if (consumer) {
        // The request's own success is not looked at: the value is what the block holds.
        value = status.result == TransportResult::OpenFailed ? 0x00000000FFFFFFFFull : held;
    } else {
        value = status.ok() ? held : status.result == TransportResult::OpenFailed ? 0 : ~0ull;
    }
    return ReplyOf(status, value);
}

RequestStatus DriverClient::MsrWriteIn(bool consumer, int64_t processor, uint32_t msr, uint32_t eax,
                                       uint32_t edx, uint32_t edi, uint32_t esi) {
    DriverRequest block = EmptyRequest();
    block.ecx = msr;
    block.eax = eax;
    block.edx = edx;
    // The NT form's request carries its own access words, whatever the caller gave.
    block.edi = consumer ? edi : kWriteMsrAccessWordEdi;
    block.esi = consumer ? esi : kWriteMsrAccessWordEsi;
    TransportCall call{consumer ? kConsumerDeviceName : kNtDeviceName,
                       consumer ? uint32_t{kConsumerWriteMsr} : uint32_t{kNtWriteMsr},
                       consumer,
                       {},
                       nullptr};
    call.processor = processor;
    return StatusOf(Call(call, block));
}

Reply<uint64_t> DriverClient::TryReadMsr(int64_t processor, uint32_t msr) {
    return MsrReadIn(ConsumerForm(), processor, msr);
}

RequestStatus DriverClient::TryWriteMsr(int64_t processor, uint32_t msr, uint32_t eax, uint32_t edx,
                                        uint32_t edi, uint32_t esi) {
    return MsrWriteIn(ConsumerForm(), processor, msr, eax, edx, edi, esi);
}

uint64_t DriverClient::ReadMsrNt(uint32_t msr) {
    return MsrReadIn(false, kCallingProcessor, msr).value;
}

uint64_t DriverClient::ReadMsrConsumer(uint32_t msr) {
    return MsrReadIn(true, kCallingProcessor, msr).value;
}

int DriverClient::WriteMsrNt(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi) {
    return MsrWriteIn(false, kCallingProcessor, msr, eax, edx, edi, esi).served() ? 1 : 0;
}

int DriverClient::WriteMsrConsumer(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi,
                                   uint32_t esi) {
    return MsrWriteIn(true, kCallingProcessor, msr, eax, edx, edi, esi).served() ? 1 : 0;
}

uint64_t DriverClient::ReadMsr(uint32_t msr) {
    return ConsumerForm() ? ReadMsrConsumer(msr) : ReadMsrNt(msr);
}

int DriverClient::WriteMsr(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi) {
    return ConsumerForm() ? WriteMsrConsumer(msr, eax, edx, edi, esi)
                          : WriteMsrNt(msr, eax, edx, edi, esi);
}

RequestStatus DriverClient::Cpuid(uint32_t function, uint32_t subFunction, CpuidRegisters& out) {
    DriverRequest block = EmptyRequest();
    block.eax = function;
    block.ecx = subFunction;
    TransportStatus status = Call(kExtCpuid, block);
    if (!status.ok()) return StatusOf(status);
    out = {block.eax, block.ebx, block.ecx, block.edx};
    return {};
}

RequestStatus DriverClient::ReadTsc(uint64_t& value) {
    DriverRequest block = EmptyRequest();
    TransportStatus status = Call(kExtReadTsc, block);
    if (!status.ok()) return StatusOf(status);
    value = (static_cast<uint64_t>(block.edx) << 32) | block.eax;
    return {};
}

RequestStatus DriverClient::PlatformInfo(PlatformFacts& facts) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtPlatformInfo, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    if (!DecodePlatformFacts(payload, facts))
        return {TransportFailure::BrokenAnswer, "malformed platform record"};
    return {};
}

RequestStatus DriverClient::PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus) {
    DriverRequest block = EmptyRequest();
    TransportStatus status = Call(kExtPcieWindow, block);
    if (!status.ok()) return StatusOf(status);
    base = static_cast<uint32_t>(block.physicalAddress);
    firstBus = block.busList[0];
    lastBus = block.busList[1];
    return {};
}

RequestStatus DriverClient::PcieWindow(PciWindow& window) {
    uint32_t base = 0;
    uint8_t first = 0, last = 0;
    RequestStatus status = PcieWindow(base, first, last);
    if (status) window = {base, first, last};
    return status;
}

RequestStatus DriverClient::KernelDriver(const PciAddress& function, std::string& name) {
    if (function.domain != 0) return {TransportFailure::Refused, "no such function"};
    DriverRequest block = EmptyRequest();
    block.configAddress = function.Function().ConfigAddress();
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtKernelDriver, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    name.assign(payload.begin(), payload.end());
    return {};
}

RequestStatus DriverClient::SmbusKernel(const PciAddress& function, uint16_t ioBase,
                                        SmbusKernelCall& call) {
    if (function.domain != 0 || call.count > kSmbusKernelBlockMax)
        return {TransportFailure::Refused, "no such function, or a block too long"};
    DriverRequest block = EmptyRequest();
    block.configAddress = function.Function().ConfigAddress();
    block.port = ioBase;
    block.ecx = call.op;
    block.edx = call.address;
    block.esi = call.command;
    block.portValue = call.data;
    block.length = call.count;
    std::memcpy(block.busList, call.block, call.count);
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtSmbusKernel, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    call.error = int(block.eax);
    call.data = uint16_t(block.portValue);
    if (call.op == kSmbusOpReadBlock) {
        call.count = uint8_t(std::min<uint32_t>(block.length, kSmbusKernelBlockMax));
        std::memcpy(call.block, block.busList, call.count);
    }
    call.text.assign(payload.begin(), payload.end());
    return {};
}

Reply<std::optional<uint32_t>> DriverClient::TryWritePciConfigSized(const PciAddress& at,
                                                                    uint32_t width,
                                                                    uint32_t value) {
    Reply<std::optional<uint32_t>> reply;
    if (ConsumerForm()) {
        reply.failure = TransportFailure::Refused;
        reply.detail = "sized configuration writes are not served in the consumer form";
        return reply;
    }
    DriverRequest block = EmptyRequest();
    block.configAddress = at.ExtendedConfigAddress();
    block.portWidth = width;
    block.configValue = value;
    block.ebx = at.domain;
    TransportStatus status = Call(kExtWritePciConfig, block);
    static_cast<RequestStatus&>(reply) = StatusOf(status);
    if (status.ok() && block.edx == 1) reply.value = block.eax;
    return reply;
}

RequestStatus DriverClient::SmbusPortsBegin(const PciAddress& function, uint16_t ioBase,
                                            uint32_t op, uint8_t slave, uint8_t command,
                                            uint16_t value, uint32_t style,
                                            std::span<const uint8_t> bytes) {
    if (function.domain != 0) return {TransportFailure::Refused, "no such function"};
    if (op == kSmbusOpWriteBlock && (bytes.empty() || bytes.size() > kSmbusKernelBlockMax))
        return {TransportFailure::Refused, "an SMBus block holds 1 to 32 bytes"};
    DriverRequest block = EmptyRequest();
    block.configAddress = function.Function().ConfigAddress();
    block.port = ioBase;
    block.ecx = op;
    block.edx = slave;
    block.esi = command;
    block.portValue = value;
    block.eax = style;
    if (op == kSmbusOpWriteBlock) {
        block.length = uint32_t(bytes.size());
        std::memcpy(block.busList, bytes.data(), bytes.size());
    }
    TransportStatus status = Call(kExtSmbusPortsBegin, block);
    return status.ok() ? RequestStatus{} : StatusOf(status);
}

RequestStatus DriverClient::SmbusPortsEnd(bool succeeded) {
    DriverRequest block = EmptyRequest();
    block.eax = succeeded ? 0 : 1;
    TransportStatus status = Call(kExtSmbusPortsEnd, block);
    return status.ok() ? RequestStatus{} : StatusOf(status);
}

RequestStatus DriverClient::TryWriteCmos(uint16_t indexPort, uint8_t offset, uint8_t value) {
    DriverRequest block = EmptyRequest();
    block.port = indexPort;
    block.ecx = offset;
    block.portValue = value;
    return StatusOf(Call(kExtCmosWrite, block));
}

RequestStatus DriverClient::ReadJournal(uint64_t before, uint32_t count, JournalPage& page) {
    DriverRequest block = EmptyRequest();
    block.physicalAddress = before;
    block.ecx = count;
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtJournalRead, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    page.lines.assign(payload.begin(), payload.end());
    page.count = block.eax;
    page.more = block.edx != 0;
    return {};
}

RequestStatus DriverClient::Undo(uint64_t id, bool force, UndoResult& result) {
    DriverRequest block = EmptyRequest();
    block.physicalAddress = id;
    block.ecx = force ? uint32_t{kUndoForce} : 0u;
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtUndo, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    result.undone = block.physicalAddress;
    result.overwroteChange = block.eax != 0;
    result.entry.assign(payload.begin(), payload.end());
    while (!result.entry.empty() && result.entry.back() == '\n') result.entry.pop_back();
    return {};
}

RequestStatus DriverClient::DriverStatus(std::string& text) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtStatus, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    text.assign(payload.begin(), payload.end());
    return {};
}

RequestStatus DriverClient::Detect(DriverCapabilities& out) {
    DriverRequest block = EmptyRequest();
    std::vector<uint8_t> payload;
    TransportStatus status = Call(kExtCapabilities, block, false, {}, &payload);
    if (!status.ok()) return StatusOf(status);
    out = {};
    const uint32_t bits = block.eax;
    out.processors = block.ebx;
    out.simulated = (bits & kCapSimulated) != 0;
    out.cpuid = (bits & kCapCpuid) != 0;
    out.tsc = (bits & kCapTsc) != 0;
    out.directPorts = (bits & kCapDirectPorts) != 0;
    out.writes = (bits & kCapWrites) != 0;
    CapabilityFacts facts;
    if (!DecodeCapabilityFacts(payload, facts))
        return {TransportFailure::BrokenAnswer, "malformed capability record"};
    out.backend = facts.backend;
    out.profile = facts.profile;
    out.writesState = facts.writes;
    out.text = facts.status;
    DriverCapabilities::Access* const kinds[] = {&out.ports, &out.pciConfig, &out.pcieWindow,
                                                 &out.memory, &out.msr};
    const uint32_t flags[] = {kCapPorts, kCapPciConfig, kCapPcieWindow, kCapMemory, kCapMsr};
    for (size_t kind = 0; kind < std::size(kinds); ++kind) {
        kinds[kind]->available = (bits & flags[kind]) != 0;
        kinds[kind]->detail = facts.access[kind];
    }
    return {};
}

RequestStatus DriverClient::StopDriver() {
    DriverRequest block = EmptyRequest();
    return StatusOf(Call(kExtStop, block));
}

}  // namespace kvt
