#include "driver/handler.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "driver/smbus_ports.h"
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

// A read above 4 GiB: a high double word other than 0 and all ones (which stay the sign
// extension of a 32-bit address), 1 byte to 4 MiB, not reaching the addresses whose high
// double word is all ones.
bool ValidHighMemoryRange(const DriverRequest& request, uint64_t& address) {
    address = request.physicalAddress;
    const uint32_t high = static_cast<uint32_t>(address >> 32);
    if (high == 0 || high == 0xFFFFFFFFu) return false;
    const uint64_t length = request.length;
    if (length == 0 || length > kMaxTransfer) return false;
    return length <= 0xFFFFFFFF00000000ull - address;
}

std::string PortTarget(const DriverRequest& request) {
    return Format("port=0x%04X width=%u value=0x%08X", request.port, request.portWidth,
                  request.portValue);
}

// A value's bytes, least significant first.
std::vector<uint8_t> Bytes(uint64_t value, uint32_t width) {
    std::vector<uint8_t> bytes(width);
    for (uint32_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

uint64_t ValueOf(const std::vector<uint8_t>& bytes) {
    uint64_t value = 0;
    for (size_t i = std::min<size_t>(bytes.size(), 8); i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// Largest journal answer; older entries are left for the next request.
constexpr size_t kMaxJournalPayload = 0x100000;

// The RTC's register 0Ch clears its interrupt flags when read.
bool CmosReadHasEffects(uint16_t indexPort, uint8_t offset) {
    return indexPort == 0x70 && (offset & 0x7F) == 0x0C;
}

std::string ValueText(const std::vector<uint8_t>& bytes) {
    if (bytes.size() > 8) return Format("%zu bytes", bytes.size());
    return Format("0x%0*" PRIX64, static_cast<int>(2 * bytes.size()), ValueOf(bytes));
}

// A PCI entry of a sized write (a width other than 4 or a register from 100h): read and
// undone with that width, the register in the extended mechanism-#1 form.
bool IsSizedPciEntry(const JournalEntry& e) {
    return e.width != 4 || (e.configAddress & 0x0F000000u) != 0 || (e.configAddress & 3) != 0;
}

}  // namespace

namespace {

// The kinds of access of the status lines, in CapabilityFacts::access order.
constexpr std::pair<const char*, uint32_t> kAccessKinds[] = {
    {"ports: ", kCapPorts},
    {"PCI configuration: ", kCapPciConfig},
    {"PCI Express window: ", kCapPcieWindow},
    {"physical memory: ", kCapMemory},
    {"MSRs: ", kCapMsr}};

std::string WritesState(bool readOnly, const std::string& refusedWhy) {
    return readOnly             ? "refused (daemon started with --read-only)"
           : refusedWhy.empty() ? "allowed"
                                : "refused (" + refusedWhy + ")";
}

}  // namespace

std::string StatusText(Backend& backend, bool readOnly, const std::string& refusedWhy) {
    std::string text = backend.Name() + "\n";
    for (const std::string& line : backend.StatusLines()) text += line + "\n";
    return text + "writes: " + WritesState(readOnly, refusedWhy) + "\n";
}

uint32_t CapabilityBitsOf(Backend& backend, bool readOnly) {
    // Each status line reads "<kind>: ok..." when that kind of access works.
    uint32_t bits = readOnly ? 0 : uint32_t{kCapWrites};
    for (const std::string& line : backend.StatusLines())
        for (const auto& [prefix, bit] : kAccessKinds)
            if (line.rfind(prefix, 0) == 0 && line.compare(std::strlen(prefix), 2, "ok") == 0)
                bits |= bit;
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

RequestHandler::~RequestHandler() {
    FlushSmbusPorts();
}

Answer RequestHandler::Handle(const Caller& caller, std::string_view device,
                              const FrameHeader& header, const DriverRequest& request,
                              std::span<const uint8_t> payload) {
    if (payload.size() != header.payloadLength) return Refused(request);
    // An SMBus bracket covers the caller's port requests and the end only; anything else of
    // its caller (or a caller gone) closes it with its port writes journaled as such.
    if (smbusBracket_.open && (caller.pid != smbusBracket_.caller.pid ||
                               (header.code != kNtReadPort && header.code != kNtWritePort &&
                                header.code != kExtSmbusPortsEnd)))
        FlushSmbusPorts();
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
            bool ok =
                PciWrite(caller, "WritePciConfig", request.configAddress, request.configValue);
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
            PlatformFacts facts;
            if (!backend_.PlatformInfo(facts)) return Refused(request);
            Answer answer = Served(request);
            answer.payload = EncodePlatformFacts(facts);
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
        case kExtPciBarSizes:
            return PciBarSizes(caller, request);
        case kExtListPciAll:
            return ListPciAll(request);
        case kExtSmbusKernel:
            return SmbusKernel(caller, request);
        case kExtDirectPortIn:
            if (!backend_.DirectPortAccessAvailable()) return Refused(request);
            return ReadPort(caller, request);
        case kExtDirectPortOut:
            if (!backend_.DirectPortAccessAvailable()) return Refused(request);
            return WritePort(caller, "DirectPortOut", request);
        case kExtCmosWrite:
            return WriteCmos(caller, request);
        case kExtWritePciConfig:
            return WritePciSized(caller, request);
        case kExtJournalRead:
            return ReadJournal(caller, request);
        case kExtSmbusPortsBegin:
            return SmbusPortsBegin(caller, request);
        case kExtSmbusPortsEnd:
            return SmbusPortsEnd(caller, request);
        case kExtUndo:
            return Undo(caller, request);
        case kExtStatus: {
            std::string text = Status();
            Answer answer = Served(request);
            answer.payload.assign(text.begin(), text.end());
            return answer;
        }
        case kExtCapabilities:
            return Capabilities(request);
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
    if (request.ebx > 0xFFFF) return Refused(request);
    if (Restricted(caller)) {
        // The policy's PCI rules name functions of domain 0.
        if (request.ebx != 0)
            return RefusedBy(request, "the access policy covers PCI domain 0 only");
        std::string why = options_.policy.CheckPciBlockRead(function, offset, length);
        if (!why.empty()) return RefusedBy(request, why);
    }
    Answer answer = Served(request);
    answer.payload.resize(length);
    const PciAddress f(function >> 8, (function >> 3) & 0x1F, function & 7, 0, request.ebx);
    if (!backend_.ReadPciConfigBlockIn(f, offset, answer.payload.data(), length))
        return Refused(request);
    return answer;
}

Answer RequestHandler::PciBarSizes(const Caller& caller, const DriverRequest& request) {
    static_assert(Backend::kBarSizeUnknown == kPciBarSizeUnknown);
    if (!ValidConfigAddress(request.configAddress) || (request.configAddress & 0xFF) != 0 ||
        request.ebx > 0xFFFF)
        return Refused(request);
    const uint32_t function = (request.configAddress >> 8) & 0xFFFF;
    if (Restricted(caller)) {
        if (request.ebx != 0)
            return RefusedBy(request, "the access policy covers PCI domain 0 only");
        // The sizes tell of the BAR registers, so the rule of reading them applies.
        std::string why = options_.policy.CheckPciBlockRead(function, 0x10, 4 * kPciBarCount);
        if (!why.empty()) return RefusedBy(request, why);
    }
    const PciAddress f(function >> 8, (function >> 3) & 0x1F, function & 7, 0, request.ebx);
    uint64_t sizes[kPciBarCount] = {};
    if (!backend_.PciBarSizes(f, sizes)) return Refused(request);
    Answer answer = Served(request);
    answer.payload.resize(sizeof sizes);
    std::memcpy(answer.payload.data(), sizes, sizeof sizes);
    return answer;
}

Answer RequestHandler::ListPciAll(const DriverRequest& request) {
    std::vector<PciAddress> functions;
    if (!backend_.ListPciAll(functions) || functions.size() > kPciListMax) return Refused(request);
    DriverRequest block = request;
    block.eax = static_cast<uint32_t>(functions.size());
    Answer answer = Served(block);
    answer.payload.reserve(functions.size() * kPciListRecordSize);
    for (const PciAddress& f : functions) {
        answer.payload.push_back(uint8_t(f.domain));
        answer.payload.push_back(uint8_t(f.domain >> 8));
        answer.payload.push_back(f.bus);
        answer.payload.push_back(f.devFn());
    }
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
    // The byte or word a byte or word write replaces, read through the same adapter.
    bool oldKnown = false;
    uint16_t oldData = 0;
    if (t.op == kSmbusOpWriteByte || t.op == kSmbusOpWriteWord) {
        Backend::SmbusKernelTransfer read;
        read.op = t.op == kSmbusOpWriteByte ? kSmbusOpReadByte : kSmbusOpReadWord;
        read.address = t.address;
        read.command = t.command;
        int readError = 0;
        std::string readText;
        oldKnown = backend_.KernelSmbus(uint8_t(request.configAddress >> 16),
                                        uint8_t(request.configAddress >> 8), uint16_t(request.port),
                                        read, readError, readText) &&
                   readError == 0;
        oldData = read.data;
    }
    bool ok = backend_.KernelSmbus(uint8_t(request.configAddress >> 16),
                                   uint8_t(request.configAddress >> 8), uint16_t(request.port), t,
                                   error, text);
    if (write) EndWrite(caller, "SmbusKernelWrite", target, ok && error == 0);
    if (!ok) return Refused(request);
    if (write && error == 0) {
        JournalEntry entry;
        entry.kind = JournalEntry::Kind::Smbus;
        entry.configAddress = request.configAddress;
        entry.port = request.port;
        entry.slave = t.address;
        entry.command = t.command;
        entry.op = t.op;
        if (t.op == kSmbusOpWriteBlock) {
            entry.width = static_cast<uint32_t>(t.block.size());
            entry.newValue = t.block;
        } else {
            entry.width = t.op == kSmbusOpWriteWord ? 2 : 1;
            entry.newValue = Bytes(uint16_t(request.portValue), entry.width);
            entry.oldKnown = oldKnown;
            if (oldKnown) entry.oldValue = Bytes(oldData, entry.width);
        }
        JournalWrite(caller, std::move(entry));
    }
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
    uint64_t high = 0;
    if (ValidHighMemoryRange(request, high)) {
        if (Restricted(caller)) {
            std::string why = options_.policy.CheckMemoryRead(high, request.length);
            if (!why.empty()) return RefusedBy(request, why);
        }
        Answer answer = Served(request);
        answer.payload.resize(request.length);
        if (!backend_.ReadPhysical64(high, answer.payload.data(), request.length))
            return Refused(request);
        return answer;
    }
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
    if (Restricted(caller)) {
        std::string target = Format("address=0x%08X length=0x%X", address, request.length);
        std::string why = options_.policy.CheckMemoryWrite(address, request.length);
        if (!why.empty()) return PolicyRefusal(caller, name, target, request, why);
    }
    bool ok = MemoryWrite(caller, name, address, payload.data(), request.length);
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
    bool ok = MsrWrite(caller, name, header.processor, request.ecx, value);
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
    if (!ok) return Refused(request);
    // A port's read may have effects: its old value stays unknown.
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Port;
    entry.port = request.port;
    entry.width = request.portWidth;
    entry.newValue = Bytes(request.portValue, request.portWidth);
    const uint32_t base = smbusBracket_.entry.port;
    if (smbusBracket_.open && caller.pid == smbusBracket_.caller.pid && request.port >= base &&
        request.port < base + 16) {
        entry.uid = caller.uid;
        smbusBracket_.ports.push_back(std::move(entry));
    } else {
        JournalWrite(caller, std::move(entry));
    }
    return Served(request);
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

Answer RequestHandler::Capabilities(const DriverRequest& request) {
    const std::string refusedWhy = WritesRefused();
    CapabilityFacts facts;
    facts.backend = backend_.Name();
    for (const std::string& line : backend_.StatusLines()) {
        for (size_t kind = 0; kind < std::size(kAccessKinds); ++kind) {
            const char* prefix = kAccessKinds[kind].first;
            if (line.rfind(prefix, 0) == 0) facts.access[kind] = line.substr(std::strlen(prefix));
        }
    }
    facts.writes = WritesState(options_.readOnly, refusedWhy);
    facts.profile = options_.profilePath;
    facts.status = Status();
    DriverRequest block = request;
    block.eax = CapabilityBitsOf(backend_, options_.readOnly || !refusedWhy.empty());
    block.ebx = backend_.ProcessorCount();
    Answer answer = Served(block);
    answer.payload = EncodeCapabilityFacts(facts);
    return answer;
}

std::string RequestHandler::Status() {
    std::string text = StatusText(backend_, options_.readOnly, WritesRefused());
    if (options_.auditDestination && options_.auditReady && options_.auditReady())
        text += "audit: " + options_.auditDestination() + "\n";
    if (!options_.policy.origin().empty()) text += options_.policy.StatusLine() + "\n";
    if (!options_.profileLine.empty()) text += options_.profileLine + "\n";
    if (options_.journal != nullptr) text += options_.journal->StatusLine() + "\n";
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

void RequestHandler::JournalWrite(const Caller& caller, JournalEntry entry) {
    if (options_.journal == nullptr || !options_.journal->open()) return;
    entry.uid = caller.uid;
    entry.user = UserName(caller.uid);
    if (!options_.journal->Append(entry)) {
        Log(Format("uid=%u pid=%d journal entry lost: ", static_cast<unsigned>(caller.uid),
                   static_cast<int>(caller.pid)) +
            options_.journal->StatusLine());
    }
}

bool RequestHandler::PciWrite(const Caller& caller, const char* name, uint32_t configAddress,
                              uint32_t value, std::optional<uint64_t> undoOf) {
    std::string target = Format("address=0x%08X value=0x%08X", configAddress, value);
    if (!BeginWrite(caller, name, target)) return false;
    uint32_t old = 0, after = 0;
    bool oldKnown = backend_.ReadPciConfig(configAddress, old);
    bool ok = backend_.WritePciConfig(configAddress, value);
    EndWrite(caller, name, target, ok);
    if (!ok) return false;
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Pci;
    entry.configAddress = configAddress;
    entry.width = 4;
    entry.oldKnown = oldKnown;
    if (oldKnown) entry.oldValue = Bytes(old, 4);
    entry.newValue = Bytes(value, 4);
    if (backend_.ReadPciConfig(configAddress, after)) entry.after = Bytes(after, 4);
    entry.undoOf = undoOf;
    JournalWrite(caller, std::move(entry));
    return true;
}

bool RequestHandler::PciSizedWrite(const Caller& caller, const char* name, uint32_t address,
                                   uint32_t width, uint32_t value, std::optional<uint64_t> undoOf,
                                   std::optional<uint32_t>* afterOut) {
    const PciAddress at = PciAddress::FromExtendedConfigAddress(address);
    std::string target = Format("function=%s offset=0x%03X width=%u value=0x%0*X",
                                at.FunctionText().c_str(), at.reg, width, int(2 * width), value);
    if (!BeginWrite(caller, name, target)) return false;
    uint32_t old = 0, after = 0;
    bool oldKnown = backend_.ReadPciConfigSized(at.bus, at.devFn(), at.reg, width, old);
    bool ok = backend_.WritePciConfigSized(at.bus, at.devFn(), at.reg, width, value);
    EndWrite(caller, name, target, ok);
    if (!ok) return false;
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Pci;
    entry.configAddress = address;
    entry.width = width;
    entry.oldKnown = oldKnown;
    if (oldKnown) entry.oldValue = Bytes(old, width);
    entry.newValue = Bytes(value, width);
    if (backend_.ReadPciConfigSized(at.bus, at.devFn(), at.reg, width, after)) {
        entry.after = Bytes(after, width);
        if (afterOut != nullptr) *afterOut = after;
    }
    entry.undoOf = undoOf;
    JournalWrite(caller, std::move(entry));
    return true;
}

Answer RequestHandler::WritePciSized(const Caller& caller, const DriverRequest& request) {
    // Enable bit, no bits above the extended register field, a width the register is a
    // multiple of, and a value of that width.
    const uint32_t address = request.configAddress, width = request.portWidth;
    if ((address & 0x80000000u) == 0 || (address & 0x70000000u) != 0 ||
        (width != 1 && width != 2 && width != 4) ||
        (width < 4 && (request.configValue >> (8 * width)) != 0))
        return Refused(request);
    const PciAddress at = PciAddress::FromExtendedConfigAddress(address);
    if (at.reg % width != 0) return Refused(request);
    if (request.ebx != 0)
        return RefusedBy(request,
                         Format("PCI domain %04X is not served here (domain 0 only)", request.ebx));
    const uint32_t size = backend_.PciConfigSize(at.bus, at.devFn());
    if (size == 0) return RefusedBy(request, "no function " + at.FunctionText() + " to write");
    if (at.reg >= size)
        return RefusedBy(request, Format("%s has no extended configuration space (offset %03Xh "
                                         "lies past its %u bytes)",
                                         at.FunctionText().c_str(), at.reg, size));
    if (Restricted(caller)) {
        std::string why =
            options_.policy.CheckPciWrite(uint32_t(at.bus) << 8 | at.devFn(), at.reg, width);
        if (!why.empty()) {
            std::string target =
                Format("function=%s offset=0x%03X width=%u value=0x%0*X", at.FunctionText().c_str(),
                       at.reg, width, int(2 * width), request.configValue);
            return PolicyRefusal(caller, "WritePciConfigSized", target, request, why);
        }
    }
    std::optional<uint32_t> after;
    // The block answers with the normalised address (no enable-less or stray bits exist).
    if (!PciSizedWrite(caller, "WritePciConfigSized", address, width, request.configValue, {},
                       &after))
        return Refused(request);
    Answer answer = Served(request);
    answer.block.eax = after.value_or(0);
    answer.block.edx = after ? 1 : 0;
    return answer;
}

bool RequestHandler::MsrWrite(const Caller& caller, const char* name, uint32_t processor,
                              uint32_t msr, uint64_t value, std::optional<uint64_t> undoOf) {
    std::string target =
        Format("processor=%u msr=0x%08X value=0x%016" PRIX64, processor, msr, value);
    if (!BeginWrite(caller, name, target)) return false;
    uint64_t old = 0, after = 0;
    bool oldKnown = backend_.ReadMsr(processor, msr, old);
    bool ok = backend_.WriteMsr(processor, msr, value);
    EndWrite(caller, name, target, ok);
    if (!ok) return false;
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Msr;
    entry.processor = processor;
    entry.msr = msr;
    entry.width = 8;
    entry.oldKnown = oldKnown;
    if (oldKnown) entry.oldValue = Bytes(old, 8);
    entry.newValue = Bytes(value, 8);
    if (backend_.ReadMsr(processor, msr, after)) entry.after = Bytes(after, 8);
    entry.undoOf = undoOf;
    JournalWrite(caller, std::move(entry));
    return true;
}

bool RequestHandler::MemoryWrite(const Caller& caller, const char* name, uint32_t address,
                                 const uint8_t* data, uint32_t length,
                                 std::optional<uint64_t> undoOf) {
    std::string target = Format("address=0x%08X length=0x%X", address, length);
    if (!BeginWrite(caller, name, target)) return false;
    // Short writes keep the bytes they replace; longer ones only that they happened.
    const bool keep = length <= kJournalMaxBytes;
    std::vector<uint8_t> old(keep ? length : 0);
    bool oldKnown = keep && backend_.ReadPhysical(address, old.data(), length);
    bool ok = backend_.WritePhysical(address, data, length);
    EndWrite(caller, name, target, ok);
    if (!ok) return false;
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Memory;
    entry.physical = address;
    entry.width = length;
    // A write inside one function's space of the PCI Express window is a configuration write:
    // journaled as pci with its function and offset (undone through the window again).
    uint32_t windowBase = 0;
    uint8_t firstBus = 0, lastBus = 0;
    if (backend_.PcieWindow(windowBase, firstBus, lastBus)) {
        const PciWindow window = PciWindow::FromBusZeroBase(windowBase, firstBus, lastBus);
        if (address >= window.firstBusAddress && address < window.End()) {
            const uint64_t offset = address - window.BusZeroBase();
            const PciAddress at = PciAddress::FromWindowOffset(offset);
            if (length <= 0x1000u - at.reg) {
                entry.kind = JournalEntry::Kind::Pci;
                entry.configAddress = at.ConfigAddress();
                entry.offset = at.reg;
            }
        }
    }
    entry.oldKnown = oldKnown;
    if (oldKnown) entry.oldValue = std::move(old);
    if (keep) {
        entry.newValue.assign(data, data + length);
        entry.after.resize(length);
        if (!backend_.ReadPhysical(address, entry.after.data(), length)) entry.after.clear();
    }
    entry.undoOf = undoOf;
    JournalWrite(caller, std::move(entry));
    return true;
}

bool RequestHandler::CmosRead(uint16_t indexPort, uint8_t offset, uint8_t& value) {
    if (CmosReadHasEffects(indexPort, offset)) return false;
    uint32_t data = 0;
    if (!backend_.WritePort(indexPort, 1, offset) ||
        !backend_.ReadPort(static_cast<uint16_t>(indexPort + 1), 1, data))
        return false;
    value = static_cast<uint8_t>(data);
    return true;
}

bool RequestHandler::CmosWrite(const Caller& caller, const char* name, uint16_t indexPort,
                               uint8_t offset, uint8_t value, std::optional<uint64_t> undoOf) {
    std::string target =
        Format("cmos bank=0x%02X offset=0x%02X value=0x%02X", indexPort, offset, value);
    if (!BeginWrite(caller, name, target)) return false;
    uint8_t old = 0, after = 0;
    bool oldKnown = CmosRead(indexPort, offset, old);
    bool ok = backend_.WritePort(indexPort, 1, offset) &&
              backend_.WritePort(static_cast<uint16_t>(indexPort + 1), 1, value);
    bool afterKnown = ok && CmosRead(indexPort, offset, after);
    // An index with bit 7 on 70h masks NMI: the port is left with it clear.
    if (indexPort == 0x70 && (offset & 0x80) != 0) backend_.WritePort(indexPort, 1, offset & 0x7F);
    EndWrite(caller, name, target, ok);
    if (!ok) return false;
    JournalEntry entry;
    entry.kind = JournalEntry::Kind::Cmos;
    entry.port = indexPort;
    entry.offset = offset;
    entry.width = 1;
    entry.oldKnown = oldKnown;
    if (oldKnown) entry.oldValue = {old};
    entry.newValue = {value};
    if (afterKnown) entry.after = {after};
    entry.undoOf = undoOf;
    JournalWrite(caller, std::move(entry));
    return true;
}

Answer RequestHandler::WriteCmos(const Caller& caller, const DriverRequest& request) {
    if ((request.port != 0x70 && request.port != 0x72 && request.port != 0x74) ||
        request.ecx > 0xFF || request.portValue > 0xFF)
        return Refused(request);
    const uint16_t indexPort = static_cast<uint16_t>(request.port);
    const uint8_t offset = static_cast<uint8_t>(request.ecx);
    const uint8_t value = static_cast<uint8_t>(request.portValue);
    if (Restricted(caller)) {
        // As the two port writes it stands for.
        std::string why = options_.policy.CheckPortWrite(indexPort, 1, offset);
        if (why.empty()) why = options_.policy.CheckPortWrite(indexPort + 1u, 1, value);
        if (!why.empty()) {
            std::string target =
                Format("cmos bank=0x%02X offset=0x%02X value=0x%02X", indexPort, offset, value);
            return PolicyRefusal(caller, "WriteCmos", target, request, why);
        }
    }
    return CmosWrite(caller, "WriteCmos", indexPort, offset, value) ? Served(request)
                                                                    : Refused(request);
}

void RequestHandler::FlushSmbusPorts() {
    if (!smbusBracket_.open) return;
    smbusBracket_.open = false;
    for (JournalEntry& e : smbusBracket_.ports) JournalWrite(smbusBracket_.caller, std::move(e));
    smbusBracket_.ports.clear();
}

Answer RequestHandler::SmbusPortsBegin(const Caller& caller, const DriverRequest& request) {
    FlushSmbusPorts();
    const bool block = request.ecx == kSmbusOpWriteBlock;
    if (!ValidConfigAddress(request.configAddress) || (request.configAddress & 0xFF) != 0 ||
        request.ebx != 0 || request.port == 0 || request.port > 0xFFF0 ||
        (request.ecx != kSmbusOpWriteByte && request.ecx != kSmbusOpWriteWord && !block) ||
        request.edx > 0x7F || request.esi > 0xFF ||
        request.portValue > (request.ecx == kSmbusOpWriteWord ? 0xFFFFu : 0xFFu) ||
        (request.eax != kSmbusPortsIntel && request.eax != kSmbusPortsAcpi) ||
        (block && (request.eax != kSmbusPortsIntel || request.portValue != 0 ||
                   request.length == 0 || request.length > kSmbusKernelBlockMax)))
        return Refused(request);
    std::string refused = WritesRefused();
    if (!refused.empty()) return RefusedBy(request, "writes are refused: " + refused);
    const uint8_t slave = uint8_t(request.edx), command = uint8_t(request.esi);
    if (Restricted(caller)) {
        std::string why = options_.policy.CheckSmbusTransfer(request.port, slave);
        if (!why.empty()) return RefusedBy(request, why);
    }
    const bool word = request.ecx == kSmbusOpWriteWord;
    JournalEntry& e = smbusBracket_.entry;
    e = JournalEntry{};
    e.kind = JournalEntry::Kind::Smbus;
    e.configAddress = request.configAddress;
    e.port = request.port;
    e.slave = slave;
    e.command = command;
    e.op = request.ecx | kJournalOpThroughPorts |
           (request.eax == kSmbusPortsAcpi ? kJournalOpAcpiStyle : 0);
    smbusBracket_.open = true;
    smbusBracket_.caller = caller;
    if (block) {
        // Which bytes a block replaces is the device's own matter: its old value stays unknown.
        e.width = request.length;
        e.newValue.assign(request.busList, request.busList + request.length);
        return Served(request);
    }
    e.width = word ? 2 : 1;
    e.newValue = Bytes(request.portValue, e.width);
    // The old value through the same ports, by the daemon itself: a read transaction's writes
    // are audited like any other.
    std::string target =
        Format("smbus ports function=%s base=0x%04X slave=0x%02X command=0x%02X (old value)",
               PciAddress::FromConfigAddress(request.configAddress).FunctionText().c_str(),
               request.port, slave, command);
    if (!BeginWrite(caller, "SmbusPortsRead", target)) {
        smbusBracket_.open = false;
        return Refused(request);
    }
    uint16_t old = 0;
    e.oldKnown =
        SmbusPortsRead(backend_, request.eax, uint16_t(request.port), slave, command, word, old);
    EndWrite(caller, "SmbusPortsRead", target, e.oldKnown);
    if (e.oldKnown) e.oldValue = Bytes(old, e.width);
    return Served(request);
}

Answer RequestHandler::SmbusPortsEnd(const Caller& caller, const DriverRequest& request) {
    if (!smbusBracket_.open || caller.pid != smbusBracket_.caller.pid || request.eax > 1)
        return Refused(request);
    if (request.eax != 0 || smbusBracket_.ports.empty()) {
        FlushSmbusPorts();  // no write happened as asked: its port writes stand as they are
        return Served(request);
    }
    smbusBracket_.open = false;
    smbusBracket_.ports.clear();
    JournalEntry entry = std::move(smbusBracket_.entry);
    uint16_t after = 0;
    if ((entry.op & kJournalOpMask) != kSmbusOpWriteBlock &&
        SmbusPortsRead(backend_,
                       entry.op & kJournalOpAcpiStyle ? kSmbusPortsAcpi : kSmbusPortsIntel,
                       uint16_t(entry.port), uint8_t(entry.slave), uint8_t(entry.command),
                       entry.width == 2, after))
        entry.after = Bytes(after, entry.width);
    JournalWrite(caller, std::move(entry));
    return Served(request);
}

Answer RequestHandler::ReadJournal(const Caller& caller, const DriverRequest& request) {
    if (request.ecx == 0 || request.ecx > kJournalReadMax) return Refused(request);
    WriteJournal* journal = options_.journal;
    if (journal == nullptr || !journal->open())
        return RefusedBy(request, journal == nullptr ? "this daemon keeps no write journal"
                                                     : journal->StatusLine());
    // A caller the policy restricts sees its own writes only.
    const bool own = Restricted(caller);
    std::vector<const JournalEntry*> picked;
    bool more = false;
    uint64_t before = request.physicalAddress;
    while (picked.size() < request.ecx) {
        bool older = false;
        std::vector<const JournalEntry*> page =
            journal->Newest(before, request.ecx - picked.size(), older);
        for (size_t i = page.size(); i-- > 0;)
            if (!own || page[i]->uid == caller.uid) picked.push_back(page[i]);
        more = older;
        if (page.empty() || !older) break;
        before = page.front()->id;
    }
    // `picked` runs newest first; the answer oldest first, within its size.
    std::vector<std::string> lines;
    size_t size = 0;
    for (const JournalEntry* e : picked) {
        std::string line = e->PublicJson() + "\n";
        if (size + line.size() > kMaxJournalPayload) {
            more = true;
            break;
        }
        size += line.size();
        lines.push_back(std::move(line));
    }
    Answer answer = Served(request);
    for (size_t i = lines.size(); i-- > 0;)
        answer.payload.insert(answer.payload.end(), lines[i].begin(), lines[i].end());
    answer.block.eax = static_cast<uint32_t>(lines.size());
    answer.block.edx = more ? 1 : 0;
    return answer;
}

bool RequestHandler::ReadCurrent(const JournalEntry& e, std::vector<uint8_t>& bytes) {
    using Kind = JournalEntry::Kind;
    switch (e.kind) {
        case Kind::Pci: {
            if (e.physical != 0) {  // through the PCI Express window
                bytes.resize(e.width);
                return backend_.ReadPhysical(static_cast<uint32_t>(e.physical), bytes.data(),
                                             e.width);
            }
            uint32_t value = 0;
            if (IsSizedPciEntry(e)) {
                const PciAddress at = PciAddress::FromExtendedConfigAddress(e.configAddress);
                if (!backend_.ReadPciConfigSized(at.bus, at.devFn(), at.reg, e.width, value))
                    return false;
                bytes = Bytes(value, e.width);
                return true;
            }
            if (!backend_.ReadPciConfig(e.configAddress, value)) return false;
            bytes = Bytes(value, 4);
            return true;
        }
        case Kind::Msr: {
            uint64_t value = 0;
            if (e.processor >= backend_.ProcessorCount() ||
                !backend_.ReadMsr(e.processor, e.msr, value))
                return false;
            bytes = Bytes(value, 8);
            return true;
        }
        case Kind::Memory:
            bytes.resize(e.width);
            return backend_.ReadPhysical(static_cast<uint32_t>(e.physical), bytes.data(), e.width);
        case Kind::Cmos: {
            uint8_t value = 0;
            bool ok =
                CmosRead(static_cast<uint16_t>(e.port), static_cast<uint8_t>(e.offset), value);
            if (e.port == 0x70 && (e.offset & 0x80) != 0)
                backend_.WritePort(0x70, 1, e.offset & 0x7F);
            bytes = {value};
            return ok;
        }
        case Kind::Smbus: {
            if (e.op & kJournalOpThroughPorts) {
                uint16_t value = 0;
                if (!SmbusPortsRead(backend_,
                                    e.op & kJournalOpAcpiStyle ? kSmbusPortsAcpi : kSmbusPortsIntel,
                                    uint16_t(e.port), uint8_t(e.slave), uint8_t(e.command),
                                    e.width == 2, value))
                    return false;
                bytes = Bytes(value, e.width);
                return true;
            }
            Backend::SmbusKernelTransfer read;
            read.op =
                (e.op & kJournalOpMask) == kSmbusOpWriteWord ? kSmbusOpReadWord : kSmbusOpReadByte;
            read.address = static_cast<uint8_t>(e.slave);
            read.command = static_cast<uint8_t>(e.command);
            int error = 0;
            std::string text;
            if (!backend_.KernelSmbus(uint8_t(e.configAddress >> 16), uint8_t(e.configAddress >> 8),
                                      uint16_t(e.port), read, error, text) ||
                error != 0)
                return false;
            bytes = Bytes(read.data, e.width);
            return true;
        }
        case Kind::Port:
            return false;
    }
    return false;
}

Answer RequestHandler::Undo(const Caller& caller, const DriverRequest& request) {
    if ((request.ecx & ~uint32_t{kUndoForce}) != 0) return Refused(request);
    const bool force = (request.ecx & kUndoForce) != 0;
    WriteJournal* journal = options_.journal;
    if (journal == nullptr || !journal->open())
        return RefusedBy(request, journal == nullptr ? "this daemon keeps no write journal"
                                                     : journal->StatusLine());
    std::string refused = WritesRefused();
    if (!refused.empty()) return RefusedBy(request, "writes are refused: " + refused);
    const bool own = Restricted(caller);
    const uint64_t id = request.physicalAddress;
    const JournalEntry* found = nullptr;
    if (id == 0) {
        found = journal->NewestUndoable();
        // A restricted caller undoes its own writes only.
        if (found != nullptr && own && found->uid != caller.uid)
            return RefusedBy(
                request,
                Format("the newest write (%" PRIu64 ") was made by another user", found->id));
        if (found == nullptr) return RefusedBy(request, "no write left to undo");
    } else {
        found = journal->Find(id);
        if (found == nullptr)
            return RefusedBy(request, Format("no write %" PRIu64 " in the journal", id));
        if (own && found->uid != caller.uid)
            return RefusedBy(request, Format("write %" PRIu64 " was made by another user", id));
        if (const JournalEntry* by = journal->UndoneBy(id))
            return RefusedBy(
                request,
                Format("write %" PRIu64 " was undone already (by write %" PRIu64 ")", id, by->id));
    }
    // A copy: the journal may rotate while the undo is recorded.
    const JournalEntry e = *found;
    if (e.kind == JournalEntry::Kind::Port)
        return RefusedBy(
            request, Format("write %" PRIu64 " is a port write: its old value is unknown, so it "
                            "cannot be undone (the journal lists the ids of "
                            "older writes)",
                            e.id));
    if (!e.oldKnown || e.oldValue.size() != e.width)
        return RefusedBy(
            request, Format("write %" PRIu64 " cannot be undone: its old value is unknown", e.id));
    std::vector<uint8_t> current;
    if (!ReadCurrent(e, current))
        return RefusedBy(request, Format("write %" PRIu64 ": its %s target cannot be read back",
                                         e.id, KindName(e.kind)));
    const std::vector<uint8_t>& written = e.after.empty() ? e.newValue : e.after;
    const bool changed = current != written;
    if (changed && !force)
        return RefusedBy(request, Format("write %" PRIu64 ": the %s target holds %s now, not %s "
                                         "as written; not overwritten (--force overwrites it)",
                                         e.id, KindName(e.kind), ValueText(current).c_str(),
                                         ValueText(written).c_str()));
    if (own) {
        std::string why;
        switch (e.kind) {
            case JournalEntry::Kind::Pci: {
                const PciAddress at = PciAddress::FromExtendedConfigAddress(e.configAddress);
                why = e.physical != 0 ? options_.policy.CheckMemoryWrite(
                                            static_cast<uint32_t>(e.physical), e.width)
                      : IsSizedPciEntry(e)
                          ? options_.policy.CheckPciWrite(uint32_t(at.bus) << 8 | at.devFn(),
                                                          at.reg, e.width)
                          : options_.policy.CheckPciWrite(e.configAddress);
                break;
            }
            case JournalEntry::Kind::Msr: {
                uint64_t now = ValueOf(current);
                why = options_.policy.CheckMsrWrite(e.msr, ValueOf(e.oldValue), &now);
                break;
            }
            case JournalEntry::Kind::Memory:
                why = options_.policy.CheckMemoryWrite(static_cast<uint32_t>(e.physical), e.width);
                break;
            case JournalEntry::Kind::Cmos:
                why = options_.policy.CheckPortWrite(e.port, 1, e.offset);
                if (why.empty()) why = options_.policy.CheckPortWrite(e.port + 1, 1, e.oldValue[0]);
                break;
            case JournalEntry::Kind::Smbus:
                why = options_.policy.CheckSmbusTransfer(e.port, static_cast<uint8_t>(e.slave));
                break;
            case JournalEntry::Kind::Port:
                break;
        }
        if (!why.empty())
            return PolicyRefusal(caller, "Undo", Format("write=%" PRIu64, e.id), request, why);
    }
    bool ok = false;
    const uint64_t old = ValueOf(e.oldValue);
    switch (e.kind) {
        case JournalEntry::Kind::Pci:
            // Through the window, or with the width and the register the write had.
            if (e.physical != 0)
                ok = MemoryWrite(caller, "Undo WritePhysicalMemory",
                                 static_cast<uint32_t>(e.physical), e.oldValue.data(), e.width,
                                 e.id);
            else if (IsSizedPciEntry(e))
                ok = PciSizedWrite(caller, "Undo WritePciConfigSized", e.configAddress, e.width,
                                   static_cast<uint32_t>(old), e.id);
            else
                ok = PciWrite(caller, "Undo WritePciConfig", e.configAddress,
                              static_cast<uint32_t>(old), e.id);
            break;
        case JournalEntry::Kind::Msr:
            ok = MsrWrite(caller, "Undo WriteMsr", e.processor, e.msr, old, e.id);
            break;
        case JournalEntry::Kind::Memory:
            ok = MemoryWrite(caller, "Undo WritePhysicalMemory", static_cast<uint32_t>(e.physical),
                             e.oldValue.data(), e.width, e.id);
            break;
        case JournalEntry::Kind::Cmos:
            ok = CmosWrite(caller, "Undo WriteCmos", static_cast<uint16_t>(e.port),
                           static_cast<uint8_t>(e.offset), e.oldValue[0], e.id);
            break;
        case JournalEntry::Kind::Smbus: {
            std::string target =
                Format("smbus function=%s base=0x%04X slave=0x%02X command=0x%02X",
                       PciAddress::FromConfigAddress(e.configAddress).FunctionText().c_str(),
                       e.port, e.slave, e.command);
            if (!BeginWrite(caller, "Undo SmbusKernelWrite", target)) break;
            if (e.op & kJournalOpThroughPorts) {
                ok = SmbusPortsWrite(
                    backend_, e.op & kJournalOpAcpiStyle ? kSmbusPortsAcpi : kSmbusPortsIntel,
                    uint16_t(e.port), uint8_t(e.slave), uint8_t(e.command), e.width == 2,
                    static_cast<uint16_t>(old));
            } else {
                Backend::SmbusKernelTransfer t;
                t.op = e.op & kJournalOpMask;
                t.address = static_cast<uint8_t>(e.slave);
                t.command = static_cast<uint8_t>(e.command);
                t.data = static_cast<uint16_t>(old);
                int error = 0;
                std::string text;
                ok = backend_.KernelSmbus(uint8_t(e.configAddress >> 16),
                                          uint8_t(e.configAddress >> 8), uint16_t(e.port), t, error,
                                          text) &&
                     error == 0;
            }
            EndWrite(caller, "Undo SmbusKernelWrite", target, ok);
            if (ok) {
                JournalEntry entry = e;
                entry.newValue = e.oldValue;
                entry.oldValue = current;
                entry.after.clear();
                entry.undoOf = e.id;
                JournalWrite(caller, std::move(entry));
            }
            break;
        }
        case JournalEntry::Kind::Port:
            break;
    }
    if (!ok) return Refused(request);
    Answer answer = Served(request);
    answer.block.physicalAddress = e.id;
    answer.block.eax = changed ? 1 : 0;
    bool more = false;
    std::vector<const JournalEntry*> last = journal->Newest(0, 1, more);
    if (!last.empty() && last.back()->undoOf == e.id) {
        std::string line = last.back()->PublicJson() + "\n";
        answer.payload.assign(line.begin(), line.end());
    }
    return answer;
}

}  // namespace kvt::driver
