// SMBus host controllers of a simulated board and the slave devices on their buses.
//
// Two host interfaces are modelled, each a PortDevice at the I/O base its PCI function's
// base register holds:
//  - the Intel-style interface (16 ports): host status (0), control (2), command (3), slave
//    address (4), data 0/1 (5, 6), block data (7). Block transfers either hand over one byte
//    per byte-done handshake (status bit 7, write 1 to clear) or, in the ATI variant, go
//    through a 32-byte buffer whose index a read of host control or a start resets;
//  - the ACPI SMBus host interface of NVIDIA/AMD (64 ports): protocol (0), status (1),
//    address (2), command (3), data (4, 5).
// Byte transactions complete as soon as they start. A handshaken block holds busy until it
// ends: each byte-done must be cleared (write 1) to move on, a read ends only when byte-done
// is cleared with the last-byte flag set in host control, a write when the count's last byte
// was taken; INTR comes only then. A profile may declare the bus stuck busy for good.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "driver/board/port_space.h"

namespace kvt::driver::board {

// Spd: a DDR to DDR3 SPD (256 bytes). Spd4: a DDR4 SPD of 512 bytes in two pages of 256,
// the page chosen for every SPD on the bus by a write to 36h (page 0) or 37h (page 1); a
// receive byte from 36h is acknowledged while page 0 is chosen. Spd5: a DDR5 SPD hub, its
// registers at 00h-7Fh (MR11 choosing one of 8 pages of 128 bytes) and the chosen page of its
// 1024 bytes at 80h-FFh.
struct SmbusSlave {
    enum class Kind { Spd, Spd4, Spd5, Eeprom, Block, Nak };
    static constexpr uint8_t kHubPageRegister = 0x0B;
    uint8_t address = 0;
    Kind kind = Kind::Eeprom;
    bool readOnly = false;
    std::array<uint8_t, 256> bytes;                  // Spd5: the hub's registers in the first 128
    std::vector<uint8_t> memory;                     // Spd4: 512 bytes, Spd5: 1024 bytes
    std::map<uint8_t, std::vector<uint8_t>> blocks;  // Block kind: command -> block
    uint8_t pointer = 0;  // the next byte a receive byte gives (an EEPROM's address counter)
    SmbusSlave() { bytes.fill(0xFF); }
};

// What a slave device did with a transaction.
enum class SmbusOutcome { Ok, AddressNak, Nak };

class SmbusSlaves {
  public:
    void Add(SmbusSlave slave) { slaves_.push_back(std::move(slave)); }
    SmbusSlave* Find(uint8_t address);
    const std::vector<SmbusSlave>& all() const { return slaves_; }

    SmbusOutcome ReadByte(uint8_t address, uint8_t command, uint8_t& value);
    SmbusOutcome WriteByte(uint8_t address, uint8_t command, uint8_t value);
    // No write phase: the byte at the device's address counter.
    SmbusOutcome ReceiveByte(uint8_t address, uint8_t& value);
    // A write of the command byte alone.
    SmbusOutcome SendByte(uint8_t address, uint8_t value);
    // The DDR4 page the bus's SPDs show (0 or 1).
    unsigned ddr4Page() const { return ddr4Page_; }
    // Word data: low byte first on the wire (byte c, then byte c + 1).
    SmbusOutcome ReadWord(uint8_t address, uint8_t command, uint16_t& value);
    SmbusOutcome WriteWord(uint8_t address, uint8_t command, uint16_t value);
    // Block data: the count and then the bytes; an EEPROM answers as on the wire, its byte at
    // the command being the count.
    SmbusOutcome ReadBlock(uint8_t address, uint8_t command, std::vector<uint8_t>& block);
    SmbusOutcome WriteBlock(uint8_t address, uint8_t command, const std::vector<uint8_t>& block);

  private:
    // A write to 36h/37h when DDR4 SPDs are on the bus: chooses their page.
    bool PageSelect(uint8_t address);
    bool HasDdr4() const;
    // Byte c of what a read at command c shows.
    uint8_t& At(SmbusSlave& s, uint8_t command);

    std::vector<SmbusSlave> slaves_;
    unsigned ddr4Page_ = 0;
    uint8_t spare_ = 0xFF;
};

// Common to both interfaces: the base the model currently decodes.
class SmbusHost : public PortDevice {
  public:
    SmbusHost(SmbusSlaves slaves, bool stuckBusy) : slaves_(std::move(slaves)), stuck_(stuckBusy) {}
    SmbusSlaves& slaves() { return slaves_; }
    virtual uint32_t PortCount() const = 0;
    // Ports arrive as absolute numbers; the model decodes them relative to this base.
    void SetBase(uint16_t base) { base_ = base; }
    uint16_t base() const { return base_; }
    bool stuck() const { return stuck_; }

  protected:
    SmbusSlaves slaves_;
    bool stuck_;
    uint16_t base_ = 0;
};

class IntelSmbusHost : public SmbusHost {
  public:
    enum class Block { Handshaken, Buffered };
    static constexpr uint8_t kBusy = 0x01, kIntr = 0x02, kDevErr = 0x04, kBusErr = 0x08,
                             kFailed = 0x10, kByteDone = 0x80;
    static constexpr size_t kBufferSize = 32;

    IntelSmbusHost(SmbusSlaves slaves, Block block, bool stuckBusy)
        : SmbusHost(std::move(slaves), stuckBusy), block_(block) {}
    uint32_t PortCount() const override { return 16; }
    uint32_t ReadPort(uint16_t port, uint32_t width) override;
    void WritePort(uint16_t port, uint32_t width, uint32_t value) override;

  private:
    uint8_t Read(uint8_t offset);
    void Write(uint8_t offset, uint8_t value);
    void Start();
    void NextHandshake();
    void Finish(SmbusOutcome outcome);

    Block block_;
    uint8_t status_ = 0, control_ = 0, command_ = 0, address_ = 0, data0_ = 0, data1_ = 0;
    uint8_t blockData_ = 0;
    // Handshaken transfer in progress: the block being handed over (read) or taken (write),
    // and the byte the last byte-done was about. Busy holds until the transfer ends.
    bool transferring_ = false, transferWrite_ = false;
    std::vector<uint8_t> transfer_;
    size_t transferAt_ = 0;
    size_t expected_ = 0;
    static constexpr uint8_t kLastByte = 0x20;
    // Buffered variant.
    std::array<uint8_t, kBufferSize> buffer_{};
    size_t bufferIndex_ = 0;
};

class AcpiSmbusHost : public SmbusHost {
  public:
    AcpiSmbusHost(SmbusSlaves slaves, bool stuckBusy) : SmbusHost(std::move(slaves), stuckBusy) {}
    uint32_t PortCount() const override { return 64; }
    uint32_t ReadPort(uint16_t port, uint32_t width) override;
    void WritePort(uint16_t port, uint32_t width, uint32_t value) override;

  private:
    uint8_t Read(uint8_t offset);
    void Write(uint8_t offset, uint8_t value);
    void Run(uint8_t protocol);

    std::array<uint8_t, 64> regs_{};
};

}  // namespace kvt::driver::board
