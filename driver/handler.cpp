#include "driver/handler.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "protocol/pci_address.h"

namespace kvt::driver {

namespace {

// The two access words every NT-form WriteMsr carries in edi and esi.
constexpr uint32_t kAccessWordEdi = 0x3C5A17E2;
constexpr uint32_t kAccessWordEsi = 0xD0417B96;

// Largest text answer (status, platform information).
constexpr size_t kMaxTextPayload = 0x10000;

Answer Refused(const DriverRequest& request) {
    Answer answer;
    answer.success = false;
    answer.block = request;
    return answer;
}

// A refusal that says which rule refused it.
Answer RefusedBy(const DriverRequest& request, const std::string& why) {
    Answer answer = Refused(request);
    answer.cause = kCauseRule;
    answer.payload.assign(why.begin(), why.begin() + std::min(why.size(), kMaxCauseText));
    return answer;
}

Answer Served(const DriverRequest& block) {
    Answer answer;
    answer.success = true;
    answer.block = block;
    return answer;
}

bool ValidPort(const DriverRequest& request) {
    uint32_t width = request.portWidth;
    if (width != 1 && width != 2 && width != 4) return false;
    // The whole access lies inside the 64 KiB port space.
    return request.port <= 0x10000u - width;
}

// Enable bit set; reserved bits 30-24 and 1-0 clear (the host refuses them too).
bool ValidConfigAddress(uint32_t address) {
    return (address & 0x80000000u) != 0 && (address & 0x7F000003u) == 0;
}

// Physical range of a memory request: a 32-bit address in the low double word, the high one
// zero or all ones (the client's sign extension; a 32-bit caller may give either). Any other
// high double word names an address above 4 GiB, which is refused rather than served as the
// address of its low double word. No wrap past 4 GiB, 1 byte to 4 MiB.
bool ValidMemoryRange(const DriverRequest& request, uint32_t& address) {
    address = static_cast<uint32_t>(request.physicalAddress);
    uint32_t high = static_cast<uint32_t>(request.physicalAddress >> 32);
    if (high != 0 && high != 0xFFFFFFFFu) return false;
    uint64_t length = request.length;
    if (length == 0 || length > kMaxTransfer) return false;
    return length <= 0x100000000ull - address;
}

std::string PortTarget(const DriverRequest& request) {
    return Format("port=0x%04X width=%u value=0x%08X", request.port, request.portWidth,
                  request.portValue);
}

}  // namespace

std::string StatusText(Backend& backend, bool readOnly, const std::string& refusedWhy) {
    std::string text = backend.Name() + "\n";
    for (const std::string& line : backend.StatusLines()) text += line + "\n";
    text += readOnly             ? "writes: refused (daemon started with --read-only)\n"
            : refusedWhy.empty() ? "writes: allowed\n"
                                 : "writes: refused (" + refusedWhy + ")\n";
    return text;
}

uint32_t CapabilityBitsOf(Backend& backend, bool readOnly) {
    // Each status line reads "<kind>: ok..." when that kind of access works.
    static const std::pair<const char*, uint32_t> kKinds[] = {
        {"ports: ok", kCapPorts},
        {"PCI configuration: ok", kCapPciConfig},
        {"PCI Express window: ok", kCapPcieWindow},
        {"physical memory: ok", kCapMemory},
        {"MSRs: ok", kCapMsr}};
    uint32_t bits = readOnly ? 0 : uint32_t{kCapWrites};
    for (const std::string& line : backend.StatusLines())
        for (const auto& [prefix, bit] : kKinds)
            if (line.rfind(prefix, 0) == 0) bits |= bit;
    CpuidResult cpuid;
    uint64_t tsc = 0;
    if (backend.ProcessorCount() > 0 && backend.Cpuid(0, 0, 0, cpuid)) bits |= kCapCpuid;
    if (backend.ProcessorCount() > 0 && backend.ReadTsc(0, tsc)) bits |= kCapTsc;
    if (backend.DirectPortAccessAvailable()) bits |= kCapDirectPorts;
    if (backend.Name().rfind("board ", 0) == 0) bits |= kCapSimulated;
    return bits;
}

RequestHandler::RequestHandler(Backend& backend, HandlerOptions options)
    : backend_(backend), options_(std::move(options)) {}

Answer RequestHandler::Handle(const Caller& caller, std::string_view device,
                              const FrameHeader& header, const DriverRequest& request,
                              std::span<const uint8_t> payload) {
    if (payload.size() != header.payloadLength) return Refused(request);
    bool consumerFlag = (header.flags & kFlagConsumerForm) != 0;
    if (device == kNtDeviceName) {
        if (consumerFlag) return Refused(request);
        if ((header.code & 0xFFFF0000u) == 0x4B560000u) {
            if (!payload.empty()) return Refused(request);
            return HandleExtension(caller, header, request);
        }
        return HandleNt(caller, header, request, payload);
    }
    if (device == kConsumerDeviceName) {
        if (!consumerFlag) return Refused(request);
        return HandleConsumer(caller, header, request, payload);
    }
    return Refused(request);
}

Answer RequestHandler::HandleNt(const Caller& caller, const FrameHeader& header,
                                const DriverRequest& request, std::span<const uint8_t> payload) {
    if (header.code == kNtWritePhysicalMemory)
        return WriteMemory(caller, "WritePhysicalMemory", request, payload);
    if (!payload.empty()) return Refused(request);

    switch (header.code) {
        case kNtReadPhysicalMemory:
            return ReadMemory(caller, request);
        case kNtListPciFunctions: {
            std::vector<std::pair<uint8_t, uint8_t>> functions;
            if (!backend_.ListPciFunctions(functions) || functions.size() > 256)
                return Refused(request);
            DriverRequest block = request;
            std::memset(block.busList, 0, sizeof block.busList);
            std::memset(block.devFnList, 0, sizeof block.devFnList);
            for (size_t i = 0; i < functions.size(); ++i) {
                block.busList[i] = functions[i].first;
                block.devFnList[i] = functions[i].second;
            }
            block.functionCount = static_cast<uint32_t>(functions.size());
            return Served(block);
        }
        case kNtReadMsr:
            return ReadMsr(caller, header, request);
        case kNtWriteMsr:
            if (request.edi != kAccessWordEdi || request.esi != kAccessWordEsi)
                return Refused(request);
            return WriteMsr(caller, "WriteMsr", header, request);
        case kNtReadPort:
            return ReadPort(caller, request);
        case kNtWritePort:
            return WritePort(caller, "WritePort", request);
        case kNtReadPciConfig: {
            if (!ValidConfigAddress(request.configAddress)) return Refused(request);
            if (Restricted(caller)) {
                std::string why = options_.policy.CheckPciRead(request.configAddress);
                if (!why.empty()) return RefusedBy(request, why);
            }
            DriverRequest block = request;
            uint32_t value = 0;
            if (!backend_.ReadPciConfig(request.configAddress, value)) return Refused(request);
            block.configValue = value;
            return Served(block);
        }
        case kNtWritePciConfig: {
            if (!ValidConfigAddress(request.configAddress)) return Refused(request);
            std::string target =
                Format("address=0x%08X value=0x%08X", request.configAddress, request.configValue);
            if (Restricted(caller)) {
                std::string why = options_.policy.CheckPciWrite(request.configAddress);
                if (!why.empty())
                    return PolicyRefusal(caller, "WritePciConfig", target, request, why);
            }
            if (!BeginWrite(caller, "WritePciConfig", target)) return Refused(request);
            bool ok = backend_.WritePciConfig(request.configAddress, request.configValue);
            EndWrite(caller, "WritePciConfig", target, ok);
            return ok ? Served(request) : Refused(request);
        }
        default:
            return Refused(request);
    }
}

Answer RequestHandler::HandleConsumer(const Caller& caller, const FrameHeader& header,
                                      const DriverRequest& request,
                                      std::span<const uint8_t> payload) {
    if (header.code == kConsumerWritePhysicalMemory)
        return WriteMemory(caller, "WritePhysicalMemory (consumer)", request, payload);
    if (!payload.empty()) return Refused(request);
    switch (header.code) {
        case kConsumerReadMsr:
            return ReadMsr(caller, header, request);
        case kConsumerWriteMsr:
            return WriteMsr(caller, "WriteMsr (consumer)", header, request);
        case kConsumerReadPhysicalMemory:
            return ReadMemory(caller, request);
        default:
            return Refused(request);
    }
}

Answer RequestHandler::HandleExtension(const Caller& caller, const FrameHeader& header,
                                       const DriverRequest& request) {
    switch (header.code) {
        case kExtPlatformInfo: {
            std::string text;
            if (!backend_.PlatformInfo(text) || text.size() > kMaxTextPayload)
                return Refused(request);
            Answer answer = Served(request);
            answer.payload.assign(text.begin(), text.end());
            return answer;
        }
        case kExtCpuid: {
            if (header.processor >= backend_.ProcessorCount()) return Refused(request);
            CpuidResult result;
            if (!backend_.Cpuid(header.processor, request.eax, request.ecx, result))
                return Refused(request);
            DriverRequest block = request;
            block.eax = result.eax;
            block.ebx = result.ebx;
            block.ecx = result.ecx;
            block.edx = result.edx;
            return Served(block);
        }
        case kExtReadTsc: {
            if (header.processor >= backend_.ProcessorCount()) return Refused(request);
            uint64_t tsc = 0;
            if (!backend_.ReadTsc(header.processor, tsc)) return Refused(request);
            DriverRequest block = request;
            block.eax = static_cast<uint32_t>(tsc);
            block.edx = static_cast<uint32_t>(tsc >> 32);
            return Served(block);
        }
        case kExtPcieWindow: {
            uint32_t base = 0;
            uint8_t firstBus = 0, lastBus = 0;
            if (!backend_.PcieWindow(base, firstBus, lastBus)) return Refused(request);
            DriverRequest block = request;
            block.physicalAddress = base;
            block.busList[0] = firstBus;
            block.busList[1] = lastBus;
            return Served(block);
        }
        case kExtKernelDriver: {
            if (!ValidConfigAddress(request.configAddress) || (request.configAddress & 0xFF) != 0)
                return Refused(request);
            std::string name;
            uint8_t bus = uint8_t(request.configAddress >> 16);
            uint8_t devFn = uint8_t(request.configAddress >> 8);
            if (!backend_.KernelDriver(bus, devFn, name)) return Refused(request);
            if (name.size() > 255) name.resize(255);
            Answer answer = Served(request);
            answer.payload.assign(name.begin(), name.end());
            return answer;
        }
        case kExtReadPciBlock:
            return ReadPciBlock(caller, request);
        case kExtSmbusKernel:
            return SmbusKernel(caller, request);
        case kExtDirectPortIn:
            if (!backend_.DirectPortAccessAvailable()) return Refused(request);
            return ReadPort(caller, request);
        case kExtDirectPortOut:
            if (!backend_.DirectPortAccessAvailable()) return Refused(request);
            return WritePort(caller, "DirectPortOut", request);
        case kExtStatus: {
            std::string text = Status();
            Answer answer = Served(request);
            answer.payload.assign(text.begin(), text.end());
            return answer;
        }
        case kExtCapabilities: {
            std::string text = Status();
            DriverRequest block = request;
            block.eax = CapabilityBitsOf(backend_, options_.readOnly || !WritesRefused().empty());
            block.ebx = backend_.ProcessorCount();
            Answer answer = Served(block);
            answer.payload.assign(text.begin(), text.end());
            return answer;
        }
        case kExtStop:
            // Only root, or the user the daemon runs as (a board's), may end it.
            if (caller.uid != 0 && caller.uid != geteuid()) return Refused(request);
            stopRequested_ = true;
            Log(Format("uid=%u pid=%d stop request: daemon ends", static_cast<unsigned>(caller.uid),
                       static_cast<int>(caller.pid)));
            return Served(request);
        default:
            return Refused(request);
    }
}

Answer RequestHandler::ReadPciBlock(const Caller& caller, const DriverRequest& request) {
    // One function (register 0), a range of whole double words inside its 4 KiB.
    const uint32_t offset = request.ecx, length = request.length;
    if (!ValidConfigAddress(request.configAddress) || (request.configAddress & 0xFF) != 0 ||
        length == 0 || length > kPciBlockMax || offset > kPciBlockMax - length ||
        (offset & 3) != 0 || (length & 3) != 0)
        return Refused(request);
    const uint32_t function = (request.configAddress >> 8) & 0xFFFF;
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckPciBlockRead(function, offset, length);
        if (!why.empty()) return RefusedBy(request, why);
    }
    Answer answer = Served(request);
    answer.payload.resize(length);
    if (!backend_.ReadPciConfigBlock(uint8_t(function >> 8), uint8_t(function), offset,
                                     answer.payload.data(), length))
        return Refused(request);
    return answer;
}

Answer RequestHandler::SmbusKernel(const Caller& caller, const DriverRequest& request) {
    if (!ValidConfigAddress(request.configAddress) || (request.configAddress & 0xFF) != 0 ||
        request.port > 0xFFFF || request.ecx > kSmbusOpWriteBlock || request.edx > 0x7F ||
        request.esi > 0xFF || request.portValue > 0xFFFF ||
        (request.ecx == kSmbusOpWriteBlock &&
         (request.length == 0 || request.length > kSmbusKernelBlockMax)))
        return Refused(request);
    Backend::SmbusKernelTransfer t;
    t.op = request.ecx;
    t.address = uint8_t(request.edx);
    t.command = uint8_t(request.esi);
    t.data = uint16_t(request.portValue);
    if (t.op == kSmbusOpWriteBlock)
        t.block.assign(request.busList, request.busList + request.length);
    bool write = t.op >= kSmbusOpWriteByte;
    std::string target =
        Format("smbus function=%s base=0x%04X slave=0x%02X command=0x%02X",
               PciAddress::FromConfigAddress(request.configAddress).FunctionText().c_str(),
               request.port, t.address, t.command);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckSmbusTransfer(request.port, t.address);
        if (!why.empty()) {
            if (write) return PolicyRefusal(caller, "SmbusKernelWrite", target, request, why);
            return RefusedBy(request, why);
        }
    }
    if (write && !BeginWrite(caller, "SmbusKernelWrite", target)) return Refused(request);
    int error = 0;
    std::string text;
    bool ok = backend_.KernelSmbus(uint8_t(request.configAddress >> 16),
                                   uint8_t(request.configAddress >> 8), uint16_t(request.port), t,
                                   error, text);
    if (write) EndWrite(caller, "SmbusKernelWrite", target, ok && error == 0);
    if (!ok) return Refused(request);
    DriverRequest block = request;
    block.eax = uint32_t(error);
    block.portValue = t.data;
    if (t.op == kSmbusOpReadBlock) {
        size_t n = std::min<size_t>(t.block.size(), kSmbusKernelBlockMax);
        block.length = uint32_t(n);
        std::memcpy(block.busList, t.block.data(), n);
    }
    if (text.size() > 255) text.resize(255);
    Answer answer = Served(block);
    answer.payload.assign(text.begin(), text.end());
    return answer;
}

Answer RequestHandler::ReadMemory(const Caller& caller, const DriverRequest& request) {
    uint32_t address = 0;
    if (!ValidMemoryRange(request, address)) return Refused(request);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckMemoryRead(address, request.length);
        if (!why.empty()) return RefusedBy(request, why);
    }
    Answer answer = Served(request);
    answer.payload = std::move(spare_);
    spare_ = {};
    answer.payload.resize(request.length);
    if (!backend_.ReadPhysical(address, answer.payload.data(), request.length)) {
        Recycle(std::move(answer.payload));
        return Refused(request);
    }
    return answer;
}

void RequestHandler::Recycle(std::vector<uint8_t>&& buffer) {
    if (buffer.capacity() > spare_.capacity() && buffer.capacity() <= kMaxTransfer)
        spare_ = std::move(buffer);
}

Answer RequestHandler::WriteMemory(const Caller& caller, const char* name,
                                   const DriverRequest& request, std::span<const uint8_t> payload) {
    uint32_t address = 0;
    if (!ValidMemoryRange(request, address) || payload.size() != request.length)
        return Refused(request);
    std::string target = Format("address=0x%08X length=0x%X", address, request.length);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckMemoryWrite(address, request.length);
        if (!why.empty()) return PolicyRefusal(caller, name, target, request, why);
    }
    if (!BeginWrite(caller, name, target)) return Refused(request);
    bool ok = backend_.WritePhysical(address, payload.data(), request.length);
    EndWrite(caller, name, target, ok);
    return ok ? Served(request) : Refused(request);
}

Answer RequestHandler::ReadMsr(const Caller& caller, const FrameHeader& header,
                               const DriverRequest& request) {
    if (header.processor >= backend_.ProcessorCount()) return Refused(request);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckMsrRead(request.ecx);
        if (!why.empty()) return RefusedBy(request, why);
    }
    uint64_t value = 0;
    if (!backend_.ReadMsr(header.processor, request.ecx, value)) return Refused(request);
    DriverRequest block = request;
    block.eax = static_cast<uint32_t>(value);
    block.edx = static_cast<uint32_t>(value >> 32);
    return Served(block);
}

Answer RequestHandler::WriteMsr(const Caller& caller, const char* name, const FrameHeader& header,
                                const DriverRequest& request) {
    if (header.processor >= backend_.ProcessorCount()) return Refused(request);
    uint64_t value = static_cast<uint64_t>(request.edx) << 32 | request.eax;
    std::string target =
        Format("processor=%u msr=0x%08X value=0x%016" PRIX64, header.processor, request.ecx, value);
    if (Restricted(caller)) {
        // A rule with a write mask compares with the value the MSR holds now.
        uint64_t current = 0;
        bool known = backend_.ReadMsr(header.processor, request.ecx, current);
        std::string why =
            options_.policy.CheckMsrWrite(request.ecx, value, known ? &current : nullptr);
        if (!why.empty()) return PolicyRefusal(caller, name, target, request, why);
    }
    if (!BeginWrite(caller, name, target)) return Refused(request);
    bool ok = backend_.WriteMsr(header.processor, request.ecx, value);
    EndWrite(caller, name, target, ok);
    return ok ? Served(request) : Refused(request);
}

Answer RequestHandler::ReadPort(const Caller& caller, const DriverRequest& request) {
    if (!ValidPort(request)) return Refused(request);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckPortRead(request.port, request.portWidth);
        if (!why.empty()) return RefusedBy(request, why);
    }
    uint32_t value = 0;
    if (!backend_.ReadPort(static_cast<uint16_t>(request.port), request.portWidth, value))
        return Refused(request);
    DriverRequest block = request;
    block.portValue = value;
    return Served(block);
}

Answer RequestHandler::WritePort(const Caller& caller, const char* name,
                                 const DriverRequest& request) {
    if (!ValidPort(request)) return Refused(request);
    std::string target = PortTarget(request);
    if (Restricted(caller)) {
        std::string why =
            options_.policy.CheckPortWrite(request.port, request.portWidth, request.portValue);
        if (!why.empty()) return PolicyRefusal(caller, name, target, request, why);
    }
    if (!BeginWrite(caller, name, target)) return Refused(request);
    bool ok = backend_.WritePort(static_cast<uint16_t>(request.port), request.portWidth,
                                 request.portValue);
    EndWrite(caller, name, target, ok);
    return ok ? Served(request) : Refused(request);
}

std::string RequestHandler::WritesRefused() {
    if (options_.readOnly) return "daemon started with --read-only";
    if (options_.auditReady && !options_.auditReady()) {
        std::string where = options_.auditDestination ? options_.auditDestination() : "";
        if (where.rfind("nowhere: ", 0) == 0) where.erase(0, 9);
        return "no audit destination" + (where.empty() ? "" : ": " + where);
    }
    return {};
}

std::string RequestHandler::Status() {
    std::string text = StatusText(backend_, options_.readOnly, WritesRefused());
    if (options_.auditDestination && options_.auditReady && options_.auditReady())
        text += "audit: " + options_.auditDestination() + "\n";
    if (!options_.policy.origin().empty()) text += options_.policy.StatusLine() + "\n";
    if (!options_.profileLine.empty()) text += options_.profileLine + "\n";
    if (text.size() > kMaxTextPayload) text.resize(kMaxTextPayload);
    return text;
}

bool RequestHandler::Restricted(const Caller& caller) const {
    return options_.policy.Restricts() && caller.uid != 0 && caller.uid != geteuid();
}

Answer RequestHandler::PolicyRefusal(const Caller& caller, const char* name,
                                     const std::string& target, const DriverRequest& request,
                                     const std::string& why) {
    Log(Format("uid=%u pid=%d ", static_cast<unsigned>(caller.uid), static_cast<int>(caller.pid)) +
        name + " " + target + ": " + why);
    return RefusedBy(request, why);
}

bool RequestHandler::BeginWrite(const Caller& caller, const char* name, const std::string& target) {
    std::string who =
        Format("uid=%u pid=%d ", static_cast<unsigned>(caller.uid), static_cast<int>(caller.pid));
    if (options_.readOnly) {
        Log(who + name + " " + target + ": refused (read-only)");
        return false;
    }
    // No write goes unrecorded.
    if (!Log(who + name + " " + target + ": writing")) return false;
    return true;
}

void RequestHandler::EndWrite(const Caller& caller, const char* name, const std::string& target,
                              bool ok) {
    Log(Format("uid=%u pid=%d ", static_cast<unsigned>(caller.uid), static_cast<int>(caller.pid)) +
        name + " " + target + (ok ? ": done" : ": failed"));
}

bool RequestHandler::Log(const std::string& line) {
    return !options_.writeLogger || options_.writeLogger(line);
}

}  // namespace kvt::driver
