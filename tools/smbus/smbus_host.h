// SMBus host transactions: read and write byte data, block read and block write on a slave
// device, through the controller's I/O ports, one byte-wide port request per access. Two
// register models: the Intel-style host interface (Intel, VIA, ATI) and the ACPI SMBus host
// interface (NVIDIA, AMD). Every transaction returns an SmbusResult.
#pragma once

#include <cstdint>
#include <functional>

#include "hwaccess/driver_client.h"
#include "platform/user_messages.h"

namespace kvt {

enum SmbusResult : int {
    kSmbusOk = 0,
    kSmbusUnsupportedVendor = 1,
    kSmbusBusy = 2,
    kSmbusReadIoError = 3,
    kSmbusWriteIoError = 4,
    kSmbusDeviceError = 5,
    kSmbusNoDevice = 6,
    kSmbusModeNotSupported = 7,
};

// Status reads of one poll before it runs out.
inline constexpr int kSmbusPollLimit = 8192;
// Room a block read needs: the device's count decides how many bytes arrive.
inline constexpr size_t kSmbusBlockMax = 255;

const char* SmbusResultText(int result);
void ShowSmbusError(UserMessages& messages, int result);

// The port requests and the pauses of one controller's transactions.
class SmbusPorts {
  public:
    using Sleeper = std::function<void(unsigned milliseconds)>;
    explicit SmbusPorts(DriverClient& client, Sleeper sleeper = {});
    bool In(uint16_t port, uint8_t& value);
    bool Out(uint16_t port, uint8_t value);
    void Sleep(unsigned milliseconds);
    DriverClient& client() { return client_; }

    // The transactions go through the kernel's adapter of the controller (a kernel driver
    // owns it), not through its ports; the daemon performs them with the kernel's SMBus ioctl.
    void RouteThroughKernel(uint32_t bus, uint32_t device, uint32_t function);
    void RouteThroughPorts() { kernel_ = false; }
    bool throughKernel() const { return kernel_; }
    // One transaction through the kernel; false when the daemon did not serve it.
    bool Kernel(uint16_t base, DriverClient::SmbusKernelCall& call);
    // What the daemon said of the kernel's adapter in the last transaction through it.
    const std::string& kernelText() const { return kernelText_; }

  private:
    DriverClient& client_;
    Sleeper sleeper_;
    bool kernel_ = false;
    PciAddress function_;
    std::string kernelText_;
};

// A port read that fails ends the transaction with kSmbusReadIoError: no value is invented.
int SmbusReadByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t& out,
                  uint32_t kind);
// Receive byte: a read with no write phase (no command byte), as a bus scan uses where a
// write could change a device's state (an SPD's page or write protection).
int SmbusReceiveByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t& out, uint32_t kind);
// The probe of a bus scan: a receive byte at 30h-37h and 50h-5Fh (where a write phase can
// switch an SPD's page or set its write protection), a byte-data read of command 0
// elsewhere. Result 0: a device answered.
int SmbusProbe(SmbusPorts& io, uint16_t base, uint8_t slave, uint32_t kind);
int SmbusWriteByte(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t data,
                   uint32_t kind);
// out must hold kSmbusBlockMax bytes. count receives the device's count on success, and the
// number of bytes that actually arrived when the read fails part-way (0 before the count).
int SmbusReadBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command,
                   uint32_t requestedLength, uint8_t* out, uint32_t& count, uint32_t kind);
int SmbusWriteBlock(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint8_t count,
                    const uint8_t* bytes, uint32_t kind);
// Word data: low byte first on the wire (data 0 / data 1 of the host).
int SmbusReadWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t& out,
                  uint32_t kind);
int SmbusWriteWord(SmbusPorts& io, uint16_t base, uint8_t slave, uint8_t command, uint16_t data,
                   uint32_t kind);
// SmbusWriteByte (word false) or SmbusWriteWord of the controller in `function`, which the
// daemon journals as one SMBus write with the old value it reads itself, not as the port
// writes the transaction takes. A daemon that does not know the bracket still gets the write.
int SmbusJournaledWrite(SmbusPorts& io, const PciAddress& function, uint16_t base, uint8_t slave,
                        uint8_t command, bool word, uint16_t data, uint32_t kind);
// SmbusWriteBlock, journaled by the daemon as one SMBus block write (old value unknown).
int SmbusJournaledWriteBlock(SmbusPorts& io, const PciAddress& function, uint16_t base,
                             uint8_t slave, uint8_t command, uint8_t count, const uint8_t* bytes,
                             uint32_t kind);

}  // namespace kvt
