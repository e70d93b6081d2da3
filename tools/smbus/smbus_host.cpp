#include "tools/smbus/smbus_host.h"

#include <chrono>
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
    uint32_t v = 0;
    if (!DriverClient::Served(client_.ReadPort(port, v, 1))) return false;
    value = uint8_t(v);
    return true;
}

bool SmbusPorts::Out(uint16_t port, uint8_t value) {
    return DriverClient::Served(client_.WritePort(port, value, 1));
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
constexpr uint8_t kStartByteData = 0x48, kStartWordData = 0x4C, kStartBlock = 0x54,
                  kLastByte = 0x20, kKill = 0x02;
constexpr uint8_t kClearAll = 0x1E, kClearEnd = 0x5E;
constexpr unsigned kBlockSettleMs = 300;

// ACPI ports and codes.
constexpr uint16_t kProtocol = 0, kAcpiStatus = 1, kAcpiAddress = 2, kAcpiCommand = 3,
                   kAcpiData0 = 4, kAcpiData1 = 5;
constexpr uint8_t kReadByteData = 0x07, kWriteByteData = 0x06, kReadWordData = 0x09,
                  kWriteWordData = 0x08;
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

int IntelByteRead(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool word,
                  uint16_t& out) {
    if (!io.Out(base + kStatus, kClearAll)) return kSmbusWriteIoError;
    if (!IdleOrKill(io, base, false)) return kSmbusReadIoError;
    if (!io.Out(base + kCommand, command) || !io.Out(base + kAddress, uint8_t(slave * 2 + 1)) ||
        !io.Out(base + kControl, word ? kStartWordData : kStartByteData))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p = PollStatus(io, base + kStatus, s, Done);
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if (s & kDevErr) return kSmbusDeviceError;
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
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if (s & kDevErr) return kSmbusReadIoError;
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

int IntelBlockRead(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool buffered,
                   uint8_t* out, uint32_t& count) {
    count = 0;
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    if (!io.Out(base + kAddress, uint8_t(slave * 2 + 1)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kControl, kStartBlock))
        return kSmbusWriteIoError;
    io.Sleep(kBlockSettleMs);
    uint8_t s = 0;
    Poll p = PollStatus(io, base + kStatus, s, BlockDone);
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if (s & kDevErr) return kSmbusDeviceError;
    uint8_t n = 0;
    if (!io.In(base + kData0, n)) return kSmbusReadIoError;
    // A count of 0 carries no byte, so no byte-done is due.
    if (!buffered && n > 0 && !(s & kByteDone)) return kSmbusDeviceError;
    for (uint32_t k = 0; k < n; ++k) {
        if (!buffered) {
            p = PollStatus(io, base + kStatus, s, [](uint8_t v) { return (v & kByteDone) != 0; });
            if (p != Poll::Met) return PollFailure(p, kSmbusDeviceError);
        }
        if (k == n - 1u) io.Out(base + kControl, kLastByte);
        if (!io.In(base + kBlockData, out[k])) return kSmbusReadIoError;
        count = k + 1;
        if (!buffered) io.Out(base + kStatus, s);
    }
    count = n;
    io.Out(base + kStatus, kClearEnd);
    return kSmbusOk;
}

int IntelBlockWrite(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool buffered,
                    uint8_t n, const uint8_t* bytes) {
    if (!IdleOrKill(io, base, true)) return kSmbusReadIoError;
    if (!io.Out(base + kAddress, uint8_t(slave * 2)) || !io.Out(base + kCommand, command) ||
        !io.Out(base + kData0, n))
        return kSmbusWriteIoError;
    uint8_t s = 0;
    Poll p;
    if (buffered) {
        uint8_t ignored = 0;
        if (!io.In(base + kControl, ignored)) return kSmbusReadIoError;  // resets the index
        for (uint32_t k = 0; k < n; ++k)
            if (!io.Out(base + kBlockData, bytes[k])) return kSmbusWriteIoError;
        if (!io.Out(base + kControl, kStartBlock)) return kSmbusWriteIoError;
        io.Sleep(kBlockSettleMs);
        p = PollStatus(io, base + kStatus, s, BlockDone);
        if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
        if (s & kDevErr) return kSmbusDeviceError;
        io.Out(base + kStatus, kClearEnd);
        return kSmbusOk;
    }
    io.Out(base + kBlockData, n ? bytes[0] : 0);
    if (!io.Out(base + kControl, kStartBlock)) return kSmbusWriteIoError;
    io.Sleep(kBlockSettleMs);
    p = PollStatus(io, base + kStatus, s, BlockDone);
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if ((s & kDevErr) || !(s & kByteDone)) return kSmbusDeviceError;
    for (uint32_t k = 1; k < n; ++k) {
        p = PollStatus(io, base + kStatus, s, [](uint8_t v) { return (v & kByteDone) != 0; });
        if (p != Poll::Met) return PollFailure(p, kSmbusDeviceError);
        if (!io.Out(base + kBlockData, bytes[k])) return kSmbusWriteIoError;
        io.Out(base + kStatus, s);
    }
    // The device takes the bytes only at the end: wait for it, so a refusal is not lost.
    p = PollStatus(io, base + kStatus, s, Done);
    if (p != Poll::Met) return PollFailure(p, kSmbusBusy);
    if (s & kDevErr) return kSmbusDeviceError;
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

int AcpiRead(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, bool word,
             uint16_t& out) {
    // A refused write would leave the last transaction's status to be read as this one's.
    if (!io.Out(base + kAcpiAddress, uint8_t(slave * 2 + 1)) ||
        !io.Out(base + kAcpiCommand, command) ||
        !io.Out(base + kProtocol, word ? kReadWordData : kReadByteData))
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
    if (IntelStyle(kind))
        r = IntelByteRead(io, base, slave, command, false, v);
    else if (AcpiStyle(kind))
        r = AcpiRead(io, base, slave, command, false, v);
    else
        return kSmbusUnsupportedVendor;
    out = uint8_t(v);
    return r;
}

int SmbusWriteByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t data,
                   uint32_t kind) {
    if (IntelStyle(kind)) return IntelByteWrite(io, base, slave, command, false, data);
    if (AcpiStyle(kind)) return AcpiWrite(io, base, slave, command, false, data);
    return kSmbusUnsupportedVendor;
}

int SmbusReadWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t& out,
                  uint32_t kind) {
    if (IntelStyle(kind)) return IntelByteRead(io, base, slave, command, true, out);
    if (AcpiStyle(kind)) return AcpiRead(io, base, slave, command, true, out);
    return kSmbusUnsupportedVendor;
}

int SmbusWriteWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t data,
                   uint32_t kind) {
    if (IntelStyle(kind)) return IntelByteWrite(io, base, slave, command, true, data);
    if (AcpiStyle(kind)) return AcpiWrite(io, base, slave, command, true, data);
    return kSmbusUnsupportedVendor;
}

int SmbusReadBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                   uint32_t requestedLength, uint8_t* out, uint32_t& count, uint32_t kind) {
    (void)requestedLength;  // the device's count decides
    count = 0;
    if (kind == kSmbusIntel || kind == kSmbusVia)
        return IntelBlockRead(io, base, slave, command, false, out, count);
    if (kind == kSmbusAti) return IntelBlockRead(io, base, slave, command, true, out, count);
    if (AcpiStyle(kind)) return kSmbusModeNotSupported;
    return kSmbusUnsupportedVendor;
}

int SmbusWriteBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t count,
                    const uint8_t* bytes, uint32_t kind) {
    if (kind == kSmbusIntel || kind == kSmbusVia)
        return IntelBlockWrite(io, base, slave, command, false, count, bytes);
    if (kind == kSmbusAti) return IntelBlockWrite(io, base, slave, command, true, count, bytes);
    if (AcpiStyle(kind)) return kSmbusModeNotSupported;
    return kSmbusUnsupportedVendor;
}

}  // namespace kvt
