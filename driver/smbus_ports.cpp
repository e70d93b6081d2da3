#include "driver/smbus_ports.h"

#include <chrono>
#include <thread>

#include "protocol/driver_request.h"

namespace kvt::driver {

namespace {

constexpr int kPollLimit = 8192;

// Intel-style host interface.
constexpr uint16_t kStatus = 0, kControl = 2, kCommand = 3, kAddress = 4, kData0 = 5, kData1 = 6;
constexpr uint8_t kBusy = 0x01, kIntr = 0x02, kDevErr = 0x04, kBusErr = 0x08, kFailed = 0x10;
constexpr uint8_t kStartByteData = 0x48, kStartWordData = 0x4C;
constexpr uint8_t kClearAll = 0x1E, kClearEnd = 0x5E, kClearEverything = 0xDE;

// ACPI SMBus host interface.
constexpr uint16_t kProtocol = 0, kAcpiStatus = 1, kAcpiAddress = 2, kAcpiCommand = 3,
                   kAcpiData0 = 4, kAcpiData1 = 5;
constexpr uint8_t kWriteByteData = 0x06, kReadByteData = 0x07, kWriteWordData = 0x08,
                  kReadWordData = 0x09;
constexpr uint8_t kAcpiDone = 0x80, kAcpiTimeout = 0x18, kAcpiBusBusy = 0x1A, kAcpiEndMask = 0x9F;

struct Io {
    Backend& b;
    uint16_t base;
    bool In(uint16_t reg, uint8_t& v) {
        uint32_t x = 0;
        if (!b.ReadPort(uint16_t(base + reg), 1, x)) return false;
        v = uint8_t(x);
        return true;
    }
    bool Out(uint16_t reg, uint8_t v) { return b.WritePort(uint16_t(base + reg), 1, v); }
};

bool IntelTransfer(Io& io, uint8_t slave, uint8_t command, bool word, bool read, uint16_t& value) {
    uint8_t s = 0;
    // Busy: someone else's transaction; it is not killed for the journal's sake.
    if (!io.In(kStatus, s) || (s & kBusy) != 0) return false;
    if (!io.Out(kStatus, kClearAll) || !io.Out(kCommand, command) ||
        !io.Out(kAddress, uint8_t(slave * 2 + (read ? 1 : 0))))
        return false;
    if (!read &&
        (!io.Out(kData0, uint8_t(value)) || (word && !io.Out(kData1, uint8_t(value >> 8)))))
        return false;
    if (!io.Out(kControl, word ? kStartWordData : kStartByteData)) return false;
    bool done = false;
    for (int i = 0; i < kPollLimit && !done; ++i) {
        if (!io.In(kStatus, s)) return false;
        done = (s & kBusy) == 0 && (s & (kIntr | kDevErr | kBusErr | kFailed)) != 0;
    }
    if (!done || (s & (kDevErr | kBusErr | kFailed)) != 0) {
        io.Out(kStatus, kClearEverything);
        return false;
    }
    uint8_t low = 0, high = 0;
    if (read && (!io.In(kData0, low) || (word && !io.In(kData1, high)))) return false;
    if (read) value = uint16_t(high << 8 | low);
    io.Out(kStatus, kClearEnd);
    return true;
}

bool AcpiTransfer(Io& io, uint8_t slave, uint8_t command, bool word, bool read, uint16_t& value) {
    if (!io.Out(kAcpiAddress, uint8_t(slave * 2 + (read ? 1 : 0))) ||
        !io.Out(kAcpiCommand, command))
        return false;
    if (!read &&
        (!io.Out(kAcpiData0, uint8_t(value)) || (word && !io.Out(kAcpiData1, uint8_t(value >> 8)))))
        return false;
    const uint8_t protocol =
        read ? (word ? kReadWordData : kReadByteData) : (word ? kWriteWordData : kWriteByteData);
    if (!io.Out(kProtocol, protocol)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    uint8_t s = 0;
    bool ended = false;
    for (int i = 0; i < kPollLimit && !ended; ++i) {
        if (!io.In(kAcpiStatus, s)) return false;
        ended = s == kAcpiBusBusy || s == kAcpiTimeout || (s & kAcpiEndMask) != 0;
    }
    if (!ended || s != kAcpiDone) return false;
    uint8_t low = 0, high = 0;
    if (read && (!io.In(kAcpiData0, low) || (word && !io.In(kAcpiData1, high)))) return false;
    if (read) value = uint16_t(high << 8 | low);
    return true;
}

bool Transfer(Backend& backend, uint32_t style, uint16_t base, uint8_t slave, uint8_t command,
              bool word, bool read, uint16_t& value) {
    if (base > 0xFFF0 || slave > 0x7F) return false;
    Io io{backend, base};
    if (style == kSmbusPortsIntel) return IntelTransfer(io, slave, command, word, read, value);
    if (style == kSmbusPortsAcpi) return AcpiTransfer(io, slave, command, word, read, value);
    return false;
}

}  // namespace

bool SmbusPortsRead(Backend& backend, uint32_t style, uint16_t base, uint8_t slave, uint8_t command,
                    bool word, uint16_t& value) {
    return Transfer(backend, style, base, slave, command, word, true, value);
}

bool SmbusPortsWrite(Backend& backend, uint32_t style, uint16_t base, uint8_t slave,
                     uint8_t command, bool word, uint16_t value) {
    return Transfer(backend, style, base, slave, command, word, false, value);
}

}  // namespace kvt::driver
