#include "tools/smbus/smbus_host.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/smbus/smbus_detect.h"

namespace kvt {

const char* SmbusResultText(int result) {
    switch (result) {
        case kSmbusUnsupportedVendor:
            return "Error! Unsupported Smbus vendor!";
        case kSmbusBusy:
            return "Error! Smbus busy!";
        case kSmbusReadIoError:
            return "Error! Read Smbus I/O error!";
        case kSmbusWriteIoError:
            return "Error! Write Smbus I/O error!";
        case kSmbusDeviceError:
            return "Error! Access Smbus device error!";
        case kSmbusNoDevice:
            return "Error! No device found at this address!";
        case kSmbusModeNotSupported:
            return "Error! Current access mode is not supported!";
        default:
            return "Error! Unknown error code!";
    }
}

void ShowSmbusError(UserMessages& messages, int result) {
    if (result != kSmbusOk) messages.ShowMessage(SmbusResultText(result));
}

SmbusPorts::SmbusPorts(DriverClient& client, Sleeper sleeper)
    : client_(client), sleeper_(std::move(sleeper)) {}

bool SmbusPorts::In(uint16_t port, uint8_t& value) {
    Reply<uint32_t> read = client_.TryReadPort(port, 1);
    if (!read) return false;
    value = uint8_t(read.value);
    return true;
}

bool SmbusPorts::Out(uint16_t port, uint8_t value) {
    return client_.TryWritePort(port, value, 1).served();
}

void SmbusPorts::RouteThroughKernel(uint32_t bus, uint32_t device, uint32_t function) {
    kernel_ = true;
    function_ = PciAddress(bus, device, function);
}

bool SmbusPorts::Kernel(uint16_t base, DriverClient::SmbusKernelCall& call) {
    bool served = client_.SmbusKernel(function_, base, call).served();
    kernelText_ = served ? call.text : "the driver daemon refused the request";
    return served;
}

void SmbusPorts::Sleep(unsigned milliseconds) {
    if (sleeper_)
        sleeper_(milliseconds);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {

// Intel-style ports.
constexpr uint16_t kStatus = 0, kControl = 2, kCommand = 3, kAddress = 4, kData0 = 5, kData1 = 6,
                   kBlockData = 7;
constexpr uint8_t kBusy = 0x01, kIntr = 0x02, kDevErr = 0x04, kBusErr = 0x08, kByteDone = 0x80;
constexpr uint8_t kStartReceiveByte = 0x44, kStartByteData = 0x48, kStartWordData = 0x4C,
                  kStartBlock = 0x54, kLastByte = 0x20, kKill = 0x02;
constexpr uint8_t kFailed = 0x10, kErrors = kDevErr | kBusErr | kFailed;
// The block protocol with the last-byte flag, without start: written during a running block.
constexpr uint8_t kBlockLastByte = (kStartBlock & 0x1C) | kLastByte;
constexpr uint8_t kClearAll = 0x1E, kClearEnd = 0x5E, kClearEverything = 0xDE;
// The SMBus time-out: a device that holds the clock low longer has failed the transfer.
constexpr auto kBusTimeout = std::chrono::milliseconds(35);

// ACPI ports and codes.
constexpr uint16_t kProtocol = 0, kAcpiStatus = 1, kAcpiAddress = 2, kAcpiCommand = 3,
                   kAcpiData0 = 4, kAcpiData1 = 5;
constexpr uint8_t kReceiveByte = 0x05, kReadByteData = 0x07, kWriteByteData = 0x06,
                  kReadWordData = 0x09, kWriteWordData = 0x08;
constexpr uint8_t kAcpiDone = 0x80, kAcpiNoAck = 0x10, kAcpiTimeout = 0x18, kAcpiBusBusy = 0x1A,
                  kAcpiEndMask = 0x9F;
constexpr unsigned kAcpiSettleMs = 10;

enum class Poll { Met, RanOut, ReadFailed };

template <typename Pred>
Poll PollStatus(SmbusPorts& io, uint16_t port, uint8_t& status, Pred met) {
    for (int i = 0; i < kSmbusPollLimit; ++i) {
        if (!io.In(port, status)) return Poll::ReadFailed;
        if (met(status)) return Poll::Met;
    }
    return Poll::RanOut;
}

int PollFailure(Poll p, int ranOut) {
    return p == Poll::ReadFailed ? kSmbusReadIoError : ranOut;
}

bool Done(uint8_t s) {
    return !(s & kBusy) && (s & (kIntr | kDevErr));
}
bool BlockDone(uint8_t s) {
    return !(s & kBusErr) && (s & (kIntr | kDevErr));
}

// Reads host status and writes it back until busy clears. Met: idle.
Poll WaitIdle(SmbusPorts& io, uint16_t base) {
    for (int i = 0; i < kSmbusPollLimit; ++i) {
        uint8_t s = 0;
        if (!io.In(base + kStatus, s)) return Poll::ReadFailed;
        io.Out(base + kStatus, s);
        if (!(s & kBusy)) return Poll::Met;
    }
    return Poll::RanOut;
}

// Kill the running transaction; the caller goes on afterwards.
bool Kill(SmbusPorts& io, uint16_t base, bool endKill) {
    io.Out(base + kControl, kKill);
    io.Sleep(1);
    if (endKill) io.Out(base + kControl, 0);
    uint8_t s = 0;
    if (!io.In(base + kStatus, s)) return false;
    io.Out(base + kStatus, s);
    return true;
}

// Wait-idle, then kill when it runs out. False: a port read failed.
bool IdleOrKill(SmbusPorts& io, uint16_t base, bool endKill) {
    Poll p = WaitIdle(io, base);
    if (p == Poll::ReadFailed) return false;
    if (p == Poll::RanOut) return Kill(io, base, endKill);
    return true;
}

// Ends a transaction that failed or stalled: kill it and clear every status bit, so the
// controller is idle for the next one (and for the kernel's driver).
void Abort(SmbusPorts& io, uint16_t base) {
    io.Out(base + kControl, kKill);
    io.Sleep(1);
    io.Out(base + kControl, 0);
    io.Out(base + kStatus, kClearEverything);
}

// Waits for a status condition for at most the bus time-out; the chipset gives up on a
// transfer that long stalled, so waiting longer proves nothing. The last read is taken after
// the deadline, so a pause of the caller is not mistaken for a stalled bus.
template <typename Pred>
Poll PollWithinTimeout(SmbusPorts& io, uint16_t port, uint8_t& status, Pred met) {
    auto deadline = std::chrono::steady_clock::now() + kBusTimeout;
    for (;;) {
        bool late = std::chrono::steady_clock::now() >= deadline;
        if (!io.In(port, status)) return Poll::ReadFailed;
        if (met(status)) return Poll::Met;
        if (late) return Poll::RanOut;
    }
}

int Failed(SmbusPorts& io, uint16_t base, int result) {
    Abort(io, base);
    return result;
}

// Byte-data, word-data or receive-byte read (the command port is not used by the latter).
int IntelByteRead(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t start,
                  uint16_t& out) {
    bool word = start == kStartWordData;
    if (!io.Out(base + kStatus, kClearAll)) return kSmbusWriteIoError;
    if (!IdleOrKill(io, base, false)) return kSmbusReadIoError;
    if ((start != kStartReceiveByte && !io.Out(base + kCommand, command)) ||
        !io.Out(base + kAddress, uint8_t(slave * 2 + 1)) || !io.Out(base + kControl, start))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p = PollStatus(io, base + kStatus, s, Done);
    if (p == Poll::ReadFailed) return kSmbusReadIoError;
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kDevErr) {
        io.Out(base + kStatus, kClearEverything);
        return kSmbusDeviceError;
    }
    uint8_t low = 0, high = 0;
    if (!io.In(base + kData0, low) || (word && !io.In(base + kData1, high)))
        return kSmbusReadIoError;
    out = uint16_t(high << 8 | low);
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

int IntelByteWrite(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool word,
                   uint16_t data) {
    if (!io.Out(base + kStatus, kClearAll)) return kSmbusWriteIoError;
    Poll p = WaitIdle(io, base);
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if (!io.Out(base + kCommand, command) || !io.Out(base + kAddress, uint8_t(slave * 2)) ||
        !io.Out(base + kData0, uint8_t(data)) ||
        (word && !io.Out(base + kData1, uint8_t(data >> 8))) ||
        !io.Out(base + kControl, word ? kStartWordData : kStartByteData))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    p = PollStatus(io, base + kStatus, s, Done);
    if (p == Poll::ReadFailed) return kSmbusReadIoError;
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kDevErr) {
        io.Out(base + kStatus, kClearEverything);
        return kSmbusReadIoError;
    }
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

// Handshaken block read. The chipset hands over one byte per byte-done (bit 7, cleared by
// writing 1 to it); the count arrives in data 0 with the first byte. The last-byte flag must
// be set before the byte-done that hands over the last byte is cleared, so the chipset ends
// the transfer after it; INTR comes only then.
int IntelBlockReadHandshaken(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                             uint8_t* out, uint32_t& count) {
    count = 0;
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    // A byte-done left from an earlier transfer would pass for this one's first byte.
    io.Out(base + kStatus, kClearEverything);
    if (!io.Out(base + kAddress, uint8_t(slave * 2 + 1)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kControl, kStartBlock))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p = PollWithinTimeout(io, base + kStatus, s,
                               [](uint8_t v) { return (v & (kByteDone | kIntr | kErrors)) != 0; });
    if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kErrors) return Failed(io, base, kSmbusDeviceError);
    uint8_t n = 0;
    if (!io.In(base + kData0, n)) return Failed(io, base, kSmbusReadIoError);
    if (!(s & kByteDone)) {
        // Done without a byte: only a count of 0 may end so.
        if (n != 0) return Failed(io, base, kSmbusDeviceError);
        io.Out(base + kStatus, kClearEverything);
        return kSmbusOk;
    }
    if (n <= 1 && !io.Out(base + kControl, kBlockLastByte))
        return Failed(io, base, kSmbusWriteIoError);
    for (uint32_t k = 0; k < n; ++k) {
        if (k > 0) {
            // The last byte may come with INTR alone: the transfer is over then.
            uint8_t want = k + 1 == n ? uint8_t(kByteDone | kIntr) : kByteDone;
            p = PollWithinTimeout(io, base + kStatus, s,
                                  [want](uint8_t v) { return (v & (want | kErrors)) != 0; });
            if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
            if (p == Poll::RanOut || (s & kErrors)) return Failed(io, base, kSmbusDeviceError);
        }
        if (!io.In(base + kBlockData, out[k])) return Failed(io, base, kSmbusReadIoError);
        count = k + 1;
        if (k + 2 == n && !io.Out(base + kControl, kBlockLastByte))
            return Failed(io, base, kSmbusWriteIoError);
        io.Out(base + kStatus, kByteDone);
    }
    if (n == 0) io.Out(base + kStatus, kByteDone);
    p = PollWithinTimeout(io, base + kStatus, s,
                          [](uint8_t v) { return (v & (kIntr | kErrors)) != 0; });
    if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kErrors) return Failed(io, base, kSmbusDeviceError);
    count = n;
    io.Out(base + kStatus, kClearEverything);
    return kSmbusOk;
}

// Buffered block read (ATI): the whole block lands in the controller's buffer, then INTR.
int IntelBlockReadBuffered(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                           uint8_t* out, uint32_t& count) {
    count = 0;
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    if (!io.Out(base + kAddress, uint8_t(slave * 2 + 1)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kControl, kStartBlock))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p = PollWithinTimeout(io, base + kStatus, s, BlockDone);
    if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kDevErr) return Failed(io, base, kSmbusDeviceError);
    uint8_t n = 0;
    if (!io.In(base + kData0, n)) return kSmbusReadIoError;
    for (uint32_t k = 0; k < n; ++k) {
        if (k == n - 1u) io.Out(base + kControl, kLastByte);
        if (!io.In(base + kBlockData, out[k])) return kSmbusReadIoError;
        count = k + 1;
    }
    count = n;
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

// Handshaken block write: byte 0 goes in before the start, each further byte when the
// chipset asks for it with byte-done; clearing the last byte's byte-done lets it end the
// transfer (INTR).
int IntelBlockWriteHandshaken(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                              uint8_t n, const uint8_t* bytes) {
    // The chipset cannot send an empty block: it would wait for a byte that never comes.
    if (n == 0) return kSmbusDeviceError;
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    io.Out(base + kStatus, kClearEverything);
    if (!io.Out(base + kAddress, uint8_t(slave * 2)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kData0, n) || !io.Out(base + kBlockData, bytes[0]) ||
        !io.Out(base + kControl, kStartBlock))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    for (uint32_t k = 1; k <= n; ++k) {
        Poll p = PollWithinTimeout(io, base + kStatus, s,
                                   [](uint8_t v) { return (v & (kByteDone | kErrors)) != 0; });
        if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
        if (p == Poll::RanOut) return Failed(io, base, k == 1 ? kSmbusBusy : kSmbusDeviceError);
        if (s & kErrors) return Failed(io, base, kSmbusDeviceError);
        if (k < n && !io.Out(base + kBlockData, bytes[k]))
            return Failed(io, base, kSmbusWriteIoError);
        io.Out(base + kStatus, kByteDone);
    }
    // The device takes the bytes only at the end: wait for it, so a refusal is not lost.
    Poll p = PollWithinTimeout(io, base + kStatus, s,
                               [](uint8_t v) { return (v & (kIntr | kErrors)) != 0; });
    if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kErrors) return Failed(io, base, kSmbusDeviceError);
    io.Out(base + kStatus, kClearEverything);
    return kSmbusOk;
}

// Buffered block write (ATI): the bytes go into the buffer first, then the start.
int IntelBlockWriteBuffered(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                            uint8_t n, const uint8_t* bytes) {
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    if (!io.Out(base + kAddress, uint8_t(slave * 2)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kData0, n))
        return kSmbusWriteIoError;
    uint8_t ignored = 0;
    if (!io.In(base + kControl, ignored)) return kSmbusReadIoError;  // resets the index
    for (uint32_t k = 0; k < n; ++k)
        if (!io.Out(base + kBlockData, bytes[k])) return kSmbusWriteIoError;
    if (!io.Out(base + kControl, kStartBlock)) return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p = PollWithinTimeout(io, base + kStatus, s, BlockDone);
    if (p == Poll::ReadFailed) return Failed(io, base, kSmbusReadIoError);
    if (p == Poll::RanOut) return Failed(io, base, kSmbusBusy);
    if (s & kDevErr) return Failed(io, base, kSmbusDeviceError);
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

int AcpiFinish(SmbusPorts& io, uint16_t base) {
    io.Sleep(kAcpiSettleMs);
    uint8_t s = 0;
    Poll p = PollStatus(io, base + kAcpiStatus, s, [](uint8_t v) {
        return v == kAcpiBusBusy || v == kAcpiTimeout || (v & kAcpiEndMask) != 0;
    });
    if (p == Poll::ReadFailed) return kSmbusReadIoError;
    if (p == Poll::RanOut) return kSmbusDeviceError;
    if (s == kAcpiDone) return kSmbusOk;
    if (s == kAcpiBusBusy) return kSmbusBusy;
    if (s == kAcpiNoAck) return kSmbusNoDevice;
    return kSmbusDeviceError;
}

int AcpiRead(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t protocol,
             uint16_t& out) {
    bool word = protocol == kReadWordData;
    // A refused write would leave the last transaction's status to be read as this one's.
    if (!io.Out(base + kAcpiAddress, uint8_t(slave * 2 + 1)) ||
        (protocol != kReceiveByte && !io.Out(base + kAcpiCommand, command)) ||
        !io.Out(base + kProtocol, protocol))
        return kSmbusWriteIoError;
    int r = AcpiFinish(io, base);
    if (r == kSmbusNoDevice) out = word ? 0xFFFF : 0xFF;
    if (r != kSmbusOk) return r;
    uint8_t low = 0, high = 0;
    if (!io.In(base + kAcpiData0, low) || (word && !io.In(base + kAcpiData1, high)))
        return kSmbusReadIoError;
    out = uint16_t(high << 8 | low);
    return kSmbusOk;
}

int AcpiWrite(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool word,
              uint16_t data) {
    if (!io.Out(base + kAcpiAddress, uint8_t(slave * 2)) || !io.Out(base + kAcpiCommand, command) ||
        !io.Out(base + kAcpiData0, uint8_t(data)) ||
        (word && !io.Out(base + kAcpiData1, uint8_t(data >> 8))) ||
        !io.Out(base + kProtocol, word ? kWriteWordData : kWriteByteData))
        return kSmbusWriteIoError;
    return AcpiFinish(io, base);
}

bool AcpiStyle(uint32_t kind);

// A transaction through the kernel's adapter, its errno turned into the result the port
// engines give for the same outcome.
int ThroughKernel(SmbusPorts& io, uint16_t base, uint32_t kind, DriverClient::SmbusKernelCall& c) {
    bool write = c.op >= kSmbusOpWriteByte;
    if (!io.Kernel(base, c)) return write ? kSmbusWriteIoError : kSmbusReadIoError;
    switch (c.error) {
        case 0:
            return kSmbusOk;
        case EBUSY:
        case EAGAIN:
        case ETIMEDOUT:
            return kSmbusBusy;
        case EOPNOTSUPP:
            return kSmbusModeNotSupported;
        case ENXIO:
        case EREMOTEIO:
        case EIO:
            // Nobody acknowledged: the ACPI engine says so; the Intel-style one reports a
            // device error (after a byte write, as a failed write).
            if (AcpiStyle(kind)) return kSmbusNoDevice;
            return write && c.op != kSmbusOpWriteBlock ? kSmbusReadIoError : kSmbusDeviceError;
        default:
            return kSmbusDeviceError;
    }
}

int KernelRead(SmbusPorts& io, uint16_t base, uint32_t op, uint8_t slave, uint8_t command,
               uint16_t& out, uint32_t kind) {
    DriverClient::SmbusKernelCall c;
    c.op = op, c.address = slave, c.command = command;
    int r = ThroughKernel(io, base, kind, c);
    if (r == kSmbusOk) out = c.data;
    if (r == kSmbusNoDevice) out = op == kSmbusOpReadWord ? 0xFFFF : 0xFF;
    return r;
}

int KernelWrite(SmbusPorts& io, uint16_t base, uint32_t op, uint8_t slave, uint8_t command,
                uint16_t data, uint32_t kind) {
    DriverClient::SmbusKernelCall c;
    c.op = op, c.address = slave, c.command = command, c.data = data;
    return ThroughKernel(io, base, kind, c);
}

bool IntelStyle(uint32_t kind) {
    return kind == kSmbusIntel || kind == kSmbusVia || kind == kSmbusAti;
}
bool AcpiStyle(uint32_t kind) {
    return kind == kSmbusAmd || kind == kSmbusNvidia;
}

}  // namespace

int SmbusReadByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t& out,
                  uint32_t kind) {
    uint16_t v = out;
    int r;
    if (io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)))
        r = KernelRead(io, base, kSmbusOpReadByte, slave, command, v, kind);
    else if (IntelStyle(kind))
        r = IntelByteRead(io, base, slave, command, kStartByteData, v);
    else if (AcpiStyle(kind))
        r = AcpiRead(io, base, slave, command, kReadByteData, v);
    else
        return kSmbusUnsupportedVendor;
    out = uint8_t(v);
    return r;
}

int SmbusReceiveByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t& out, uint32_t kind) {
    uint16_t v = out;
    int r;
    if (io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)))
        r = KernelRead(io, base, kSmbusOpReceiveByte, slave, 0, v, kind);
    else if (IntelStyle(kind))
        r = IntelByteRead(io, base, slave, 0, kStartReceiveByte, v);
    else if (AcpiStyle(kind))
        r = AcpiRead(io, base, slave, 0, kReceiveByte, v);
    else
        return kSmbusUnsupportedVendor;
    out = uint8_t(v);
    return r;
}

int SmbusProbe(SmbusPorts& io, uint16_t base, uint8_t slave, uint32_t kind) {
    uint8_t value = 0;
    bool noWritePhase = (slave >= 0x30 && slave <= 0x37) || (slave >= 0x50 && slave <= 0x5F);
    if (noWritePhase) return SmbusReceiveByte(io, base, slave, value, kind);
    return SmbusReadByte(io, base, slave, 0, value, kind);
}

int SmbusWriteByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t data,
                   uint32_t kind) {
    if (io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)))
        return KernelWrite(io, base, kSmbusOpWriteByte, slave, command, data, kind);
    if (IntelStyle(kind)) return IntelByteWrite(io, base, slave, command, false, data);
    if (AcpiStyle(kind)) return AcpiWrite(io, base, slave, command, false, data);
    return kSmbusUnsupportedVendor;
}

int SmbusReadWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t& out,
                  uint32_t kind) {
    if (io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)))
        return KernelRead(io, base, kSmbusOpReadWord, slave, command, out, kind);
    if (IntelStyle(kind)) return IntelByteRead(io, base, slave, command, kStartWordData, out);
    if (AcpiStyle(kind)) return AcpiRead(io, base, slave, command, kReadWordData, out);
    return kSmbusUnsupportedVendor;
}

int SmbusWriteWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t data,
                   uint32_t kind) {
    if (io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)))
        return KernelWrite(io, base, kSmbusOpWriteWord, slave, command, data, kind);
    if (IntelStyle(kind)) return IntelByteWrite(io, base, slave, command, true, data);
    if (AcpiStyle(kind)) return AcpiWrite(io, base, slave, command, true, data);
    return kSmbusUnsupportedVendor;
}

int SmbusJournaledWrite(SmbusPorts& io, const PciAddress& function, uint16_t base, uint8_t slave,
                        uint8_t command, bool word, uint16_t data, uint32_t kind) {
    // Through the kernel's adapter the daemon makes (and journals) the transaction itself.
    const bool tagged =
        !io.throughKernel() && (IntelStyle(kind) || AcpiStyle(kind)) &&
        io.client()
            .SmbusPortsBegin(function, base, word ? kSmbusOpWriteWord : kSmbusOpWriteByte, slave,
                             command, data, AcpiStyle(kind) ? kSmbusPortsAcpi : kSmbusPortsIntel)
            .served();
    int r = word ? SmbusWriteWord(io, base, slave, command, data, kind)
                 : SmbusWriteByte(io, base, slave, command, uint8_t(data), kind);
    if (tagged) io.client().SmbusPortsEnd(r == kSmbusOk);
    return r;
}

int SmbusJournaledWriteBlock(SmbusPorts& io, const PciAddress& function, uint16_t base,
                             uint8_t slave, uint8_t command, uint8_t count, const uint8_t* bytes,
                             uint32_t kind) {
    // The ports carry blocks for the Intel-style hosts only (ACPI-style: not supported).
    const bool tagged =
        !io.throughKernel() && IntelStyle(kind) && count > 0 && count <= kSmbusKernelBlockMax &&
        io.client()
            .SmbusPortsBegin(function, base, kSmbusOpWriteBlock, slave, command, 0,
                             kSmbusPortsIntel, std::span<const uint8_t>(bytes, count))
            .served();
    int r = SmbusWriteBlock(io, base, slave, command, count, bytes, kind);
    if (tagged) io.client().SmbusPortsEnd(r == kSmbusOk);
    return r;
}

int SmbusReadBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                   uint32_t requestedLength, uint8_t* out, uint32_t& count, uint32_t kind) {
    (void)requestedLength;  // the device's count decides
    count = 0;
    if (io.throughKernel() && IntelStyle(kind)) {
        DriverClient::SmbusKernelCall c;
        c.op = kSmbusOpReadBlock, c.address = slave, c.command = command;
        int r = ThroughKernel(io, base, kind, c);
        if (r != kSmbusOk) return r;
        count = c.count;
        std::memcpy(out, c.block, c.count);
        return kSmbusOk;
    }
    if (kind == kSmbusIntel || kind == kSmbusVia)
        return IntelBlockReadHandshaken(io, base, slave, command, out, count);
    if (kind == kSmbusAti) return IntelBlockReadBuffered(io, base, slave, command, out, count);
    if (AcpiStyle(kind)) return kSmbusModeNotSupported;
    return kSmbusUnsupportedVendor;
}

int SmbusWriteBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t count,
                    const uint8_t* bytes, uint32_t kind) {
    if (io.throughKernel() && IntelStyle(kind)) {
        // The kernel carries SMBus blocks of 1 to 32 bytes.
        if (count == 0 || count > kSmbusKernelBlockMax) return kSmbusDeviceError;
        DriverClient::SmbusKernelCall c;
        c.op = kSmbusOpWriteBlock, c.address = slave, c.command = command, c.count = count;
        std::memcpy(c.block, bytes, count);
        return ThroughKernel(io, base, kind, c);
    }
    if (kind == kSmbusIntel || kind == kSmbusVia)
        return IntelBlockWriteHandshaken(io, base, slave, command, count, bytes);
    if (kind == kSmbusAti) return IntelBlockWriteBuffered(io, base, slave, command, count, bytes);
    if (AcpiStyle(kind)) return kSmbusModeNotSupported;
    return kSmbusUnsupportedVendor;
}

}  // namespace kvt
