// The 580-byte request and response block shared by every driver request, the request
// codes of both protocol forms, and the framing used on the daemon's Unix socket.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace kvt {

static_assert(std::endian::native == std::endian::little, "the request block is little-endian");

#pragma pack(push, 1)
struct DriverRequest {
    uint32_t eax;              // MSR value, bits 31..0
    uint32_t ebx;              // unused
    uint32_t ecx;              // MSR number
    uint32_t edx;              // MSR value, bits 63..32
    uint32_t edi;              // WriteMsr word EDI / first access word
    uint32_t esi;              // WriteMsr word ESI / second access word
    uint32_t port;             // I/O port, zero-extended
    uint32_t portValue;        // value read from or written to the port
    uint32_t portWidth;        // 1, 2 or 4
    uint8_t busList[256];      // bus number of each listed PCI function
    uint8_t devFnList[256];    // device << 3 | function of each listed PCI function
    uint32_t functionCount;    // valid entries in the two lists, at most 256
    uint32_t configAddress;    // mechanism #1 configuration address
    uint32_t configValue;      // configuration double word
    uint32_t length;           // bytes to transfer
    uint64_t physicalAddress;  // first physical byte (sign-extended from 32 bits)
    uint64_t bufferAddress;    // the caller's buffer, in the calling process
};
#pragma pack(pop)

static_assert(sizeof(DriverRequest) == 580);
inline constexpr size_t kDriverRequestSize = sizeof(DriverRequest);

// Sign extension of a 32-bit value into a 64-bit request field.
constexpr uint64_t SignExtend32(uint32_t value) {
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
}

// NT form: CTL_CODE(0x8086, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr uint32_t NtControlCode(uint32_t function) {
    return (0x8086u << 16) | (function << 2);
}

enum NtCode : uint32_t {
    kNtReadPhysicalMemory = 0x80862E20,
    kNtWritePhysicalMemory = 0x80862E24,
    kNtListPciFunctions = 0x80862E28,
    kNtReadMsr = 0x80862E2C,
    kNtWriteMsr = 0x80862E30,
    kNtReadPort = 0x80862E34,
    kNtWritePort = 0x80862E38,
    kNtReadPciConfig = 0x80862E3C,
    kNtWritePciConfig = 0x80862E40,
};
static_assert(NtControlCode(0xB88) == kNtReadPhysicalMemory);
static_assert(NtControlCode(0xB90) == kNtWritePciConfig);

// Consumer form (device "korvavxd.vxd"): plain numbers, the block travels as output only.
enum ConsumerCode : uint32_t {
    kConsumerReadMsr = 1,
    kConsumerWriteMsr = 2,
    kConsumerReadPhysicalMemory = 3,
    kConsumerWritePhysicalMemory = 4,
};

// Requests of our own, beside the nine of the driver protocol, on the device "Korvanta".
enum ExtensionCode : uint32_t {
    kExtPlatformInfo = 0x4B560001,   // board: a PlatformFacts record (records.h) as payload
    kExtCpuid = 0x4B560002,          // eax = function, ecx = sub-function -> eax..edx
    kExtReadTsc = 0x4B560003,        // time-stamp counter of the caller's processor
    kExtDirectPortIn = 0x4B560004,   // board: IN instruction stand-in (port, portWidth)
    kExtDirectPortOut = 0x4B560005,  // board: OUT instruction stand-in
    kExtPcieWindow = 0x4B560006,     // PCI Express configuration window: physicalAddress = base,
                                     // busList[0] = first bus, busList[1] = last bus
    kExtKernelDriver = 0x4B560007,   // kernel driver bound to the PCI function at configAddress
                                     // (register 0): its name as payload, empty when none
    kExtSmbusKernel = 0x4B560008,    // an SMBus transaction through the kernel's adapter of the
                                     // controller at I/O base `port` of the PCI function at
                                     // configAddress (register 0): ecx = SmbusKernelOp, edx =
                                     // slave, esi = command, portValue = byte or word, length =
                                     // block count with its bytes in busList. Answer: the same
                                     // fields read, eax = 0 or the kernel's errno, payload = the
                                     // adapter's node, or why there is none (eax set then)
    kExtReadPciBlock = 0x4B560009,   // configuration bytes of one function: configAddress = the
                                     // function (register 0), ebx = its domain (PCI segment),
                                     // ecx = first offset, length = bytes
                                     // (multiples of 4, ecx + length <= kPciBlockMax). Answer:
                                     // the bytes as payload; an absent function reads all ones
    kExtStatus = 0x4B560010,         // which backend serves and what works: text payload
    kExtStop = 0x4B560011,           // end the daemon
    kExtCapabilities = 0x4B560012,   // what the backend can do: eax = CapabilityBits,
                                     // ebx = processors, payload = a CapabilityFacts record
    kExtJournalRead = 0x4B560013,    // the write journal: ecx = most entries (1 to
                                     // kJournalReadMax), physicalAddress = only ids below it
                                     // (0: from the newest). Answer: the newest of them, oldest
                                     // first, one JSON object a line, as payload; eax = entries,
                                     // edx = 1 when older ones are kept
    kExtUndo = 0x4B560014,           // undo a journaled write: physicalAddress = its id (0: the
                                     // newest write not undone that is no undo), ecx = UndoFlags.
                                     // Answer: physicalAddress = the id undone, eax = 1 when a
                                     // value changed since was overwritten, payload = the undo's
                                     // JSON object. A refusal says why (kCauseRule)
    kExtCmosWrite = 0x4B560015,      // one CMOS byte: port = the bank's index port (70h, 72h,
                                     // 74h), ecx = offset (0-FFh), portValue = the byte. The
                                     // daemon writes index and data and, after an index with
                                     // bit 7 on 70h, the index again with bit 7 clear
    // Sized configuration writes (0x4B560016-0x4B560017).
    kExtWritePciConfig = 0x4B560016,  // one configuration register of 1, 2 or 4 bytes:
                                      // configAddress = the function and register in the
                                      // extended mechanism-#1 form (register bits 11-8 in
                                      // bits 27-24, PciAddress::ExtendedConfigAddress),
                                      // portWidth = 1, 2 or 4 (the register a multiple of
                                      // it), configValue = the value, ebx = PCI domain (0).
                                      // Answer: eax = the register read back, edx = 1 when
                                      // it could be read. A refusal may say why (kCauseRule)
    // PCI BARs, domains and the complete function list (0x4B560018-0x4B56001B).
    kExtPciBarSizes = 0x4B560018,  // sizes of the base address registers of the function at
                                   // configAddress (register 0) in domain ebx. Answer: payload
                                   // of kPciBarCount little-endian 64-bit sizes, 0 for no BAR
                                   // (or the upper half of a 64-bit one), kPciBarSizeUnknown
                                   // when the backend cannot tell
    kExtListPciAll = 0x4B560019,   // every PCI function of every domain, in domain, bus,
                                   // device, function order. Answer: eax = count, payload =
                                   // one kPciListRecordSize record per function: domain (16
                                   // bits, little-endian), bus, device << 3 | function
    // journal2 (0x4B56001C-0x4B56001F): SMBus writes through a controller's ports.
    kExtSmbusPortsBegin = 0x4B56001C,  // the byte, word or block write the caller makes next
                                       // through the ports of the controller at I/O base `port`
                                       // of the function at configAddress (register 0): ecx =
                                       // kSmbusOpWriteByte or kSmbusOpWriteWord (portValue =
                                       // the value) or kSmbusOpWriteBlock (Intel style only:
                                       // length = 1 to 32 bytes, in busList), edx = slave,
                                       // esi = command, eax = SmbusPortsStyle. The daemon reads
                                       // a byte's or word's old value itself (through the same
                                       // ports; a block's stays unknown); the caller's writes
                                       // to the controller's 16 ports up to the end request are
                                       // journaled as this one SMBus write
    kExtSmbusPortsEnd = 0x4B56001D,    // ends it: eax = 0 when the write succeeded (one smbus
                                       // entry), else its port writes are journaled as such
};

// The host interface of a controller driven through its ports.
enum SmbusPortsStyle : uint32_t {
    kSmbusPortsIntel = 0,  // Intel-style: status, control, command, address, data 0, data 1
    kSmbusPortsAcpi = 1,   // ACPI SMBus host interface: protocol, status, address, command, data
};

enum UndoFlags : uint32_t {
    kUndoForce = 1,  // overwrite a value changed since the write
};
inline constexpr uint32_t kJournalReadMax = 20000;

// The transactions of kExtSmbusKernel.
enum SmbusKernelOp : uint32_t {
    kSmbusOpAdapter = 0,  // no transaction: which adapter serves, or why none does
    kSmbusOpReceiveByte = 1,
    kSmbusOpReadByte = 2,
    kSmbusOpReadWord = 3,
    kSmbusOpReadBlock = 4,
    kSmbusOpWriteByte = 5,
    kSmbusOpWriteWord = 6,
    kSmbusOpWriteBlock = 7,
};
inline constexpr uint32_t kSmbusKernelBlockMax = 32;

// Base address registers of a type 0 header (a bridge has 2, a CardBus bridge 1).
inline constexpr uint32_t kPciBarCount = 6;
inline constexpr uint64_t kPciBarSizeUnknown = UINT64_MAX;
inline constexpr uint32_t kPciListRecordSize = 4;
// Most functions a kExtListPciAll answer carries (1 MiB of records).
inline constexpr uint32_t kPciListMax = 0x40000;

// Largest configuration range of one kExtReadPciBlock request: a function's whole space.
inline constexpr uint32_t kPciBlockMax = 0x1000;

// What a daemon's backend can do, in the answer to kExtCapabilities.
enum CapabilityBits : uint32_t {
    kCapPorts = 1u << 0,        // port requests
    kCapPciConfig = 1u << 1,    // PCI configuration requests
    kCapPcieWindow = 1u << 2,   // a PCI Express configuration window
    kCapMemory = 1u << 3,       // physical memory requests
    kCapMsr = 1u << 4,          // MSR requests
    kCapCpuid = 1u << 5,        // CPUID per processor (kExtCpuid)
    kCapTsc = 1u << 6,          // time-stamp counter per processor (kExtReadTsc)
    kCapDirectPorts = 1u << 7,  // port instruction stand-ins (kExtDirectPortIn/Out)
    kCapWrites = 1u << 8,       // write requests are carried out
    kCapSimulated = 1u << 9,    // a simulated board
};

inline constexpr const char* kNtDeviceName = "Korvanta";
inline constexpr const char* kConsumerDeviceName = "korvavxd.vxd";

// Largest physical-memory transfer of one request (4 MiB).
inline constexpr uint32_t kMaxTransfer = 0x400000;

}  // namespace kvt
