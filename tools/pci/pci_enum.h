// PCI bus enumeration: the record of one found function, the listing (driver list request, or a bus
// scan on the consumer request form) and the PCI / PCI Express kind of a function. Shared by the
// PCI and SMBus tools.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hwaccess/driver_client.h"

namespace kvt {

enum PciDeviceKind : uint32_t { kPciKind = 1, kPciExpressKind = 2 };

struct PciFunctionRecord {
    uint32_t bus = 0;
    uint32_t device = 0;
    uint32_t function = 0;
    uint32_t deviceId = 0;
    uint32_t vendorId = 0;
    uint32_t classCode = 0;  // register 08h >> 8
    uint32_t kind = kPciKind;

    PciAddress address(uint32_t reg = 0) const { return {bus, device, function, reg}; }
};

// Room of the function table; enumeration stops there.
inline constexpr size_t kMaxPciFunctions = 1024;
// Most capability entries the kind walk follows (a 256-byte space holds at most 48).
inline constexpr int kMaxCapabilityWalk = 48;

// 1 (PCI) or 2 (PCI Express) for the function at configAddress (register 0). A list without
// the PCI Express entry, a read of all ones, a failed read or a cycle gives 1.
uint32_t GetPciDeviceKind(DriverClient& client, uint32_t configAddress);

// The kind of a function as GetPciDeviceKind finds it, worked out from its first 256
// configuration bytes read as a whole (a capability pointer that is not a multiple of 4 ends
// the walk, as the driver refuses such a read).
uint32_t PciDeviceKindOf(const uint8_t* config);

// Fills table with every function found, in the driver's order (or the scan's), at most
// kMaxPciFunctions. A function whose 00h or 08h read fails is not listed. Returns the count;
// 0 when the listing request fails.
// progress, when given, hears (done, total) steps of the bus scan (one per bus).
using PciProgress = std::function<void(uint32_t done, uint32_t total)>;
uint32_t EnumeratePciFunctions(DriverClient& client, std::vector<PciFunctionRecord>& table,
                               const PciProgress& progress = {});

// When the driver's list (256 functions of PCI domain 0 at most) leaves out functions of this
// machine, a note that says so, with the number of functions in all; empty otherwise (and
// when the daemon has no complete list to compare with).
std::string PciListLimitNote(DriverClient& client);

// The probe's answer when no candidate base holds the function.
inline constexpr uint32_t kDefaultMmConfigBase = 0xE0000000u;

// Bytes of one function in the memory-mapped configuration space (and of the register buffer).
inline constexpr uint32_t kPciExpressSpaceSize = 0x1000;
inline constexpr uint32_t kPciSpaceSize = 0x100;

// Probes the candidate bases 80000000h, 90000000h, ... F0000000h in ascending order for the
// one at which the function's register 00h reads device ID × 10000h + vendor ID. A candidate
// whose address would pass 4 GiB, or whose read fails, is skipped. True with *base set on a
// match; otherwise false and *base = E0000000h.
bool FindMmConfigBase(DriverClient& client, const PciFunctionRecord& record, uint32_t* base);

// The base the automatic choice reads a PCI Express function from: the daemon's window when it
// covers the function's bus (its base is the address of its first bus), else the probe.
// False when neither gives one; *base then holds the probe's default for the address field.
bool AutoMmConfigBase(DriverClient& client, const PciFunctionRecord& record, uint64_t* base);

// The configuration space of one function as the register list shows it.
struct PciRegisterRead {
    enum class Status {
        Ok,            // `length` bytes of `buffer` are valid
        BaseRejected,  // the base text is neither "Auto" nor hexadecimal up to FFFFFFFFh
        NoWindow,      // no base found, or the function's window passes 4 GiB: nothing read
        ReadFailed,    // the driver refused a read: nothing is shown
        // A PCI Express function that no window and no probe reaches: its first 256 bytes,
        // read by configuration requests (`startAddress` is their configuration address);
        // the extended space is out of reach.
        ConfigOnly,
    };
    Status status = Status::ReadFailed;
    uint32_t length = 0;        // 256, 4096, or 0 when nothing is valid
    uint64_t startAddress = 0;  // configuration address (kind 1) or physical address (kind 2)
    bool hasAddress = false;    // false only after a rejected base
};

// The base-field entry of the PCI tool: "Auto" (exactly) or a hexadecimal address.
inline constexpr std::string_view kAutoBase = "Auto";

// Reads the function's configuration space into buffer (kPciExpressSpaceSize bytes): 64 double
// words by configuration request for kind 1, 4096 bytes of physical memory for kind 2 at
// base + bus×100000h + device×8000h + function×1000h. The base text matters only for kind 2.
// `config`, when given, holds the function's first 256 bytes already read (kind 1 reads nothing
// more then).
PciRegisterRead ReadFunctionRegisters(DriverClient& client, const PciFunctionRecord& record,
                                      std::string_view baseText, uint8_t* buffer,
                                      const uint8_t* config = nullptr);

// ReadFunctionRegisters for many functions, with the requests of each kind sent together (the
// all-devices report): results[i] and buffers[i] (kPciExpressSpaceSize bytes each) are what
// ReadFunctionRegisters gives for records[i].
std::vector<PciRegisterRead> ReadFunctionRegistersBatch(
    DriverClient& client, const std::vector<PciFunctionRecord>& records, std::string_view baseText,
    std::vector<std::vector<uint8_t>>& buffers);

// Checks a base text: "Auto" gives true with *isAuto; a hexadecimal value of at most FFFFFFFFh
// gives true with *base. Anything else is rejected.
bool ParseMmConfigBase(std::string_view text, bool* isAuto, uint64_t* base);

// Writes one double word at the address the tool shows: a configuration request for kind 1,
// a 4-byte physical memory write for kind 2. Other kinds, and a physical address whose four
// bytes would pass 4 GiB, send nothing. Returns the driver's success flag (0 when nothing
// was sent).
int WriteFunctionRegister(DriverClient& client, uint32_t kind, uint64_t address, uint32_t value);

}  // namespace kvt
