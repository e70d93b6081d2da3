// The driver client: the nine driver requests in both protocol forms, with the results the
// tools rely on for success, a device that cannot be opened, and a refused request.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "hwaccess/protocol/driver_request.h"
#include "hwaccess/transport.h"
#include "platform/version.h"

namespace kvt {

// IN/OUT instructions of the consumer family, performed by the client itself.
class DirectPortAccess {
  public:
    virtual ~DirectPortAccess() = default;
    virtual void Out(uint16_t port, uint32_t value, uint32_t width) = 0;
    virtual uint32_t In(uint16_t port, uint32_t width) = 0;
    // Whether the last In or Out of this thread reached the port (a refused access does not).
    virtual bool Served() const { return true; }

    // One access of a batch: an Out when `write`, else an In whose value lands in `value`.
    struct Access {
        uint16_t port = 0;
        uint32_t value = 0;
        uint32_t width = 0;
        bool write = false;
        bool served = false;  // what Served() said right after it
    };
    // Accesses carried out in order, with the same effect and values as In and Out one after
    // the other (which this default does); an implementation may hand them on together.
    virtual void Batch(std::span<Access> accesses) {
        for (Access& a : accesses) {
            if (a.write)
                Out(a.port, a.value, a.width);
            else
                a.value = In(a.port, a.width);
            a.served = Served();
        }
    }
};

class DriverClient {
  public:
    using VersionSource = std::function<VersionRecord()>;
    DriverClient(DriverTransport& transport, DirectPortAccess& ports, VersionSource version);

    OsKind GetOsKind() const;

    // Whether the last request this thread made through a driver client was served: the
    // daemon (or the port access) carried it out and its answer is real. The operations
    // below keep their return values, which some forms define without regard to success
    // (ReadMsrConsumer returns whatever the block holds, ReadMsrNt all ones when refused, a
    // consumer-form port read the value the port access gave). Ask LastServed() right after
    // the call, in the same thread, before showing any value: a value of a request that was
    // not served is never shown. An all-ones MSR that was served is a value.
    static bool LastServed();

    int ReadPort(uint16_t port, uint32_t& value, uint32_t width);
    int WritePort(uint16_t port, uint32_t value, uint32_t width);
    int ReadPciConfig(uint32_t configAddress, uint32_t& value);
    int WritePciConfig(uint32_t configAddress, uint32_t value);
    // Several configuration reads that do not depend on one another, sent together: each gets
    // what ReadPciConfig would give for it (result, value) and whether it was served.
    // LastServed() afterwards: every one of them was.
    struct PciConfigRead {
        uint32_t address = 0;
        uint32_t value = 0;  // left as it was when the read fails (as ReadPciConfig does)
        int result = 0;
        bool served = false;
    };
    void ReadPciConfigBatch(std::span<PciConfigRead> reads);
    // Returns the count; the lists receive `count` entries (each list holds 256 bytes).
    uint32_t ListPciFunctions(uint8_t* busList, uint8_t* devFnList);
    // The answer lands straight in `buffer`. A refused or short answer leaves it as it was;
    // one that breaks off part way may leave part of it written.
    int ReadPhysicalMemory(uint32_t physicalAddress, void* buffer, uint32_t length);
    int WritePhysicalMemory(uint32_t physicalAddress, const void* buffer, uint32_t length);
    uint64_t ReadMsrNt(uint32_t msr);
    uint64_t ReadMsrConsumer(uint32_t msr);
    int WriteMsrNt(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi);
    int WriteMsrConsumer(uint32_t msr, uint32_t eax, uint32_t edx, uint32_t edi, uint32_t esi);

    // Our own request, beside the nine: where the daemon offers the PCI Express
    // configuration window (memory-mapped configuration space), and for which buses.
    bool PcieWindow(uint32_t& base, uint8_t& firstBus, uint8_t& lastBus);
    // Our own request: the kernel driver bound to a PCI function (empty when none). False
    // when the daemon cannot tell or the function does not exist.
    bool KernelDriver(uint32_t bus, uint32_t device, uint32_t function, std::string& name);
    // Our own request: the daemon's backend and what works, as text lines.
    bool DriverStatus(std::string& text);
    // Our own request: ends the daemon.
    bool StopDriver();

    DriverTransport& transport() { return transport_; }

  private:
    DriverTransport& transport_;
    DirectPortAccess& ports_;
    VersionSource version_;
};

inline constexpr uint32_t kWriteMsrAccessWordEdi = 0x3C5A17E2;
inline constexpr uint32_t kWriteMsrAccessWordEsi = 0xD0417B96;

}  // namespace kvt
