// The driver client: every request the program sends to a driver daemon goes through it — the
// nine driver requests in both protocol forms, with the results the tools rely on for success,
// a device that cannot be opened and a refused request, and our own requests (CPUID, TSC,
// platform information, the consumer form's port instructions on a board, status, what the
// backend can do, the PCI Express window, stop).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hwaccess/transport.h"
#include "platform/platform.h"
#include "platform/version.h"
#include "protocol/driver_request.h"
#include "protocol/pci_address.h"
#include "protocol/records.h"

namespace kvt {

// What the daemon's backend can do, as it reports it.
struct DriverCapabilities {
    struct Access {
        bool available = false;
        std::string detail;  // the daemon's words: "ok (simulated)", "unavailable: <what to do>"
    };
    std::string backend;  // "host" or "board <name>"
    bool simulated = false;
    uint32_t processors = 0;
    Access ports, pciConfig, pcieWindow, memory, msr;
    bool cpuid = false;        // CPUID per processor, answered by the daemon (a board's)
    bool tsc = false;          // time-stamp counter per processor, answered by the daemon
    bool directPorts = false;  // the consumer form's port instructions, served by the daemon
    bool writes = false;       // write requests are carried out (not a --read-only daemon)
    std::string writesState;   // the daemon's words: "allowed", "refused (<why>)"
    std::string profile;       // the profile file a board daemon serves
    std::string text;          // the whole status text, one line per item
};

// What a request came to: served (the daemon carried it out and its answer is real), or why
// not, with the particulars when the transport or the daemon gave any (the rule that refused
// a write, the folder or user that made the client refuse a socket).
struct RequestStatus {
    TransportFailure failure = TransportFailure::None;
    std::string detail;

    bool served() const { return failure == TransportFailure::None; }
    explicit operator bool() const { return served(); }
};

// A request's value with what the request came to. A value of a request that was not served
// is the one its form defines for that case (all ones for a refused NT-form MSR read, say),
// never one to show.
template <typename T>
struct Reply : RequestStatus {
    T value{};
};

class DriverClient {
  public:
    using VersionSource = std::function<VersionRecord()>;
    // The version record is asked of `version` once, on first need, and kept: it chooses the
    // request form for the whole session.
    DriverClient(DriverTransport& transport, VersionSource version);

    OsKind GetOsKind() const;
    // Whether requests travel in the consumer form (and ports and configuration space are
    // reached through the port instructions).
    bool ConsumerForm() const { return ConsumerWindows(GetOsKind()); }

    // Runs each exchange with the daemon. The desktop program's runner carries it out off the
    // window's thread and keeps the window painting while it waits; it returns false without
    // running it when the user has cancelled the action the request belongs to (the request
    // then fails as Cancelled). Without a runner the exchange runs in the calling thread.
    using ExchangeRunner = std::function<bool(const std::function<void()>& exchange)>;
    void SetExchangeRunner(ExchangeRunner runner) { runner_ = std::move(runner); }

    // Typed requests: each says whether it was served, and why not. Ports and configuration
    // space go through the session's form (the port instructions in the consumer form); an MSR
    // request is for the given processor.
    Reply<uint32_t> TryReadPort(uint16_t port, uint32_t width);
    RequestStatus TryWritePort(uint16_t port, uint32_t value, uint32_t width);
    Reply<uint32_t> TryReadPciConfig(uint32_t configAddress);
    RequestStatus TryWritePciConfig(uint32_t configAddress, uint32_t value);
    // The answer lands straight in `buffer`. A refused or short answer leaves it as it was;
    // one that breaks off part way may leave part of it written.
    RequestStatus TryReadMemory(uint32_t physicalAddress, void* buffer, uint32_t length);
    RequestStatus TryWriteMemory(uint32_t physicalAddress, const void* buffer, uint32_t length);
    // In the session's form; the value of a read that was not served is the form's. The
    // processor is a number, or kCallingProcessor: the calling thread's (a board's processor 0
    // unless the thread was pinned).
    static constexpr int64_t kCallingProcessor = -1;
    Reply<uint64_t> TryReadMsr(int64_t processor, uint32_t msr);
    RequestStatus TryWriteMsr(int64_t processor, uint32_t msr, uint32_t eax, uint32_t edx,
                              uint32_t edi, uint32_t esi);

    // Plain port reads that do not depend on one another, sent back to back and served in
    // order: each gets what TryReadPort would give for it. The batch's status: served when every
    // one was, else the cause of the last one that was not.
    struct PortRead {
        uint16_t port = 0;
        uint32_t width = 1;
        uint32_t value = 0;  // left as it was when the read fails
        bool served = false;
        TransportFailure failure = TransportFailure::None;
    };
    RequestStatus ReadPortBatch(std::span<PortRead> reads);
    // Several configuration reads that do not depend on one another, sent together: each gets
    // what ReadPciConfig would give for it (result, value) and whether it was served.
    struct PciConfigRead {
        uint32_t address = 0;
        uint32_t value = 0;  // left as it was when the read fails (as ReadPciConfig does)
        int result = 0;
        bool served = false;
    };
    RequestStatus ReadPciConfigBatch(std::span<PciConfigRead> reads);
    // Configuration bytes of one function in one request: `length` bytes from `offset`
    // (multiples of 4, inside the function's 4 KiB; configAddress names the function, its
    // register bits are ignored). An absent function reads all ones. Not served in the
    // consumer form, whose configuration space is reached through the port instructions.
    struct PciBlockRead {
        std::vector<uint8_t> bytes;  // `length` bytes when served, else empty
        bool served = false;
        TransportFailure failure = TransportFailure::None;  // why, when not served
    };
    PciBlockRead ReadPciConfigBlock(uint32_t configAddress, uint32_t offset, uint32_t length);
    // Several functions' blocks sent together, each as ReadPciConfigBlock gives it.
    struct PciBlockRequest {
        uint32_t configAddress = 0, offset = 0, length = 0;
        uint16_t domain = 0;  // the function's PCI domain (segment)
    };
    std::vector<PciBlockRead> ReadPciConfigBlocks(std::span<const PciBlockRequest> requests);
    // Reads asked for together: the daemon reads the next range while the caller takes in the
    // answer before it. `arrived` is told how many bytes of `buffer` hold the read's answer,
    // in pieces while it arrives (or at once), always before the next read's bytes land, so
    // the reads may share one buffer. A read that was not served leaves `served` false; its
    // bytes told so far count for nothing. The batch's status is that of its first read that
    // was not served.
    struct MemoryRead {
        uint32_t address = 0;
        uint8_t* buffer = nullptr;
        uint32_t length = 0;
        std::function<void(size_t arrived)> arrived;
        bool served = false;
    };
    RequestStatus ReadPhysicalMemoryBatch(std::span<MemoryRead> reads);

    // The driver requests with the results their forms define, whether served or not: 1 for
    // success and 0 for failure (a consumer-form port or configuration access reports 1 and
    // reads all ones when refused), an unchanged value or buffer when a read fails, and the
    // form's MSR values. ReadMsr and WriteMsr are for the calling thread's processor.
    int ReadPort(uint16_t port, uint32_t& value, uint32_t width);
    int WritePort(uint16_t port, uint32_t value, uint32_t width);
    int ReadPciConfig(uint32_t configAddress, uint32_t& value);
    int WritePciConfig(uint32_t configAddress, uint32_t value);
    int ReadPhysicalMemory(uint32_t physicalAddress, void* buffer, uint32_t length);
    int WritePhysicalMemory(uint32_t physicalAddress, const void* buffer, uint32_t length);
    uint64_t ReadMsrNt(uint32_t msr);
    uint64_t ReadMsrConsumer(uint32_t msr);
    int WriteMsrNt(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi);
    int WriteMsrConsumer(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi);
    uint64_t ReadMsr(uint32_t msr);
    int WriteMsr(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi);
    // Returns the count; the lists receive `count` entries (each list holds 256 bytes).
    uint32_t ListPciFunctions(uint8_t* busList, uint8_t* devFnList);
    Reply<uint32_t> TryListPciFunctions(uint8_t* busList, uint8_t* devFnList);
    // Every function of every domain (register 0), in domain, bus, device, function order,
    // without the 256-entry limit of the request block. Not served in the consumer form.
    RequestStatus ListPciAll(std::vector<PciAddress>& functions);

    // The sizes of a function's base address registers, by index: 0 where there is no BAR
    // (or the upper half of a 64-bit one), kPciBarSizeUnknown where the daemon cannot tell.
    // The daemon never sizes a BAR by writing to it.
    using PciBarSizes = std::array<uint64_t, kPciBarCount>;
    Reply<PciBarSizes> TryPciBarSizes(const PciAddress& function);
    // Several functions' sizes sent together, each as TryPciBarSizes gives it.
    std::vector<Reply<PciBarSizes>> PciBarSizesBatch(std::span<const PciAddress> functions);
    // Physical memory anywhere in the 64-bit space: below 4 GiB as TryReadMemory, above in the
    // NT form only (the consumer form's address is 32 bits). An address whose high double word
    // is all ones stands for the sign extension of a 32-bit one and cannot be read.
    RequestStatus TryReadMemory64(uint64_t physicalAddress, void* buffer, uint32_t length);

    // The consumer form's IN and OUT instructions, which the daemon of a board performs (the
    // host daemon refuses them). A refused IN reads all ones for the width.
    uint32_t PortIn(uint16_t port, uint32_t width);
    void PortOut(uint16_t port, uint32_t value, uint32_t width);

    // A board's processor as the calling thread's processor number selects it: CPUID and the
    // time-stamp counter. Not served when the daemon does not answer them (the host's).
    RequestStatus Cpuid(uint32_t function, uint32_t subFunction, CpuidRegisters& out);
    RequestStatus ReadTsc(uint64_t& value);
    // A board's description of the machine it stands for.
    RequestStatus PlatformInfo(PlatformFacts& facts);

    // Where the daemon offers the PCI Express configuration window (memory-mapped
    // configuration space), and for which buses.
    RequestStatus PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus);
    RequestStatus PcieWindow(PciWindow& window);
    // The kernel driver bound to a PCI function (empty when none). Not served when the daemon
    // cannot tell or the function does not exist.
    RequestStatus KernelDriver(const PciAddress& function, std::string& name);
    // An SMBus transaction through the kernel's adapter of the controller at ioBase in a PCI
    // function a kernel driver owns (kSmbusOpAdapter: none, only which adapter serves). Not
    // served when the daemon offers no kernel path for it; otherwise error is 0 or the kernel's
    // errno and text the adapter's node or why there is none.
    struct SmbusKernelCall {
        uint32_t op = 0;  // SmbusKernelOp
        uint8_t address = 0, command = 0;
        uint16_t data = 0;                         // byte or word, written or read
        uint8_t count = 0;                         // block bytes, written or read
        uint8_t block[kSmbusKernelBlockMax] = {};  // block bytes
        int error = 0;
        std::string text;
    };
    RequestStatus SmbusKernel(const PciAddress& function, uint16_t ioBase, SmbusKernelCall& call);
    // One configuration register of `width` bytes (1, 2 or 4) at `at` (its register a
    // multiple of the width, 0-FFFh; the domain travels with it) as one access of that width,
    // journaled with the value it replaces. The value: the register read back after the write,
    // when the daemon could read it. Not served in the consumer form.
    Reply<std::optional<uint32_t>> TryWritePciConfigSized(const PciAddress& at, uint32_t width,
                                                          uint32_t value);
    // One CMOS byte of the bank whose index port is 70h, 72h or 74h: the daemon writes index
    // and data (and leaves NMI enabled after an index with bit 7 on 70h), and journals the
    // write with the byte it replaced.
    RequestStatus TryWriteCmos(uint16_t indexPort, uint8_t offset, uint8_t value);
    // Brackets an SMBus byte or word write made through a controller's ports, so the daemon
    // journals it as one SMBus write with the old value it reads itself (kExtSmbusPortsBegin);
    // op kSmbusOpWriteBlock brackets a block write of `bytes` (Intel style, 1 to 32 bytes),
    // whose old value stays unknown.
    RequestStatus SmbusPortsBegin(const PciAddress& function, uint16_t ioBase, uint32_t op,
                                  uint8_t slave, uint8_t command, uint16_t value, uint32_t style,
                                  std::span<const uint8_t> bytes = {});
    RequestStatus SmbusPortsEnd(bool succeeded);
    // Entries of the daemon's write journal: the newest `count` (1 to kJournalReadMax) with an
    // id below `before` (0: from the newest), oldest first, one JSON object a line. A page may
    // hold fewer when they do not fit one answer; `more` tells that older ones are kept.
    struct JournalPage {
        std::string lines;
        uint32_t count = 0;
        bool more = false;
    };
    RequestStatus ReadJournal(uint64_t before, uint32_t count, JournalPage& page);
    // Undoes journaled write `id` (0: the newest not undone that is no undo). Refused, with
    // the daemon's reason as the detail, when it cannot be undone or the target changed since
    // (unless `force`).
    struct UndoResult {
        uint64_t undone = 0;           // the id undone
        bool overwroteChange = false;  // forced over a value changed since the write
        std::string entry;             // the undo's journal entry (a JSON object)
    };
    RequestStatus Undo(uint64_t id, bool force, UndoResult& result);
    // The daemon's backend and what works, as text lines.
    RequestStatus DriverStatus(std::string& text);
    // What the daemon's backend can do, typed. Not served when no daemon serves us.
    RequestStatus Detect(DriverCapabilities& out);
    // Ends the daemon.
    RequestStatus StopDriver();

  private:
    // Sends one request through the runner: the transport's status, Cancelled when the runner
    // did not run it.
    TransportStatus Call(const TransportCall& call, DriverRequest& block);
    TransportStatus Call(uint32_t code, DriverRequest& block, bool consumer = false,
                         std::span<const uint8_t> payloadOut = {},
                         std::vector<uint8_t>* payloadIn = nullptr);
    // The MSR requests in the given form, with that form's values.
    Reply<uint64_t> MsrReadIn(bool consumer, int64_t processor, uint32_t msr);
    RequestStatus MsrWriteIn(bool consumer, int64_t processor, uint32_t msr, uint32_t eax,
                             uint32_t edx, uint32_t edi, uint32_t esi);
    // The consumer form's port instructions, typed.
    Reply<uint32_t> DirectIn(uint16_t port, uint32_t width);
    RequestStatus DirectOut(uint16_t port, uint32_t value, uint32_t width);

    // Runs `exchange` through the runner; false when it was cancelled instead.
    bool RunExchange(const std::function<void()>& exchange);

    DriverTransport& transport_;
    ExchangeRunner runner_;
    VersionSource version_;
    mutable std::once_flag versionOnce_;
    mutable OsKind osKind_ = OsKindOther;
};

// An all-zero request block, the start of every request.
DriverRequest EmptyRequest();

inline constexpr uint32_t kWriteMsrAccessWordEdi = 0x3C5A17E2;
inline constexpr uint32_t kWriteMsrAccessWordEsi = 0xD0417B96;

}  // namespace kvt
