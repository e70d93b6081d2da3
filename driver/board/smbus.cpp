#include "driver/board/smbus.h"

namespace kvt::driver::board {

SmbusSlave* SmbusSlaves::Find(uint8_t address) {
    for (SmbusSlave& s : slaves_)
        if (s.address == address) return &s;
    return nullptr;
}

uint8_t& SmbusSlaves::At(SmbusSlave& s, uint8_t command) {
    switch (s.kind) {
        case SmbusSlave::Kind::Spd4:
            return s.memory[ddr4Page_ * 256 + command];
        case SmbusSlave::Kind::Spd5:
            if (command < 0x80) return s.bytes[command];
            return s.memory[(s.bytes[SmbusSlave::kHubPageRegister] & 7) * 128u + (command & 0x7F)];
        default:
            return s.bytes[command];
    }
}

bool SmbusSlaves::HasDdr4() const {
    for (const SmbusSlave& s : slaves_)
        if (s.kind == SmbusSlave::Kind::Spd4) return true;
    return false;
}

bool SmbusSlaves::PageSelect(uint8_t address) {
    if ((address != 0x36 && address != 0x37) || !HasDdr4()) return false;
    ddr4Page_ = address - 0x36u;
    return true;
}

SmbusOutcome SmbusSlaves::ReadByte(uint8_t address, uint8_t command, uint8_t& value) {
    // The write phase of the read addresses 36h/37h: that alone chooses the DDR4 page.
    if (!Find(address) && PageSelect(address)) {
        value = 0xFF;
        return SmbusOutcome::Ok;
    }
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    if (s->kind == SmbusSlave::Kind::Nak) return SmbusOutcome::Nak;
    value = At(*s, command);
    s->pointer = uint8_t(command + 1);
    return SmbusOutcome::Ok;
}

SmbusOutcome SmbusSlaves::ReceiveByte(uint8_t address, uint8_t& value) {
    SmbusSlave* s = Find(address);
    if (!s) {
        // The page address of DDR4 SPDs answers at 36h while page 0 is chosen.
        if (address != 0x36 || ddr4Page_ != 0 || !HasDdr4()) return SmbusOutcome::AddressNak;
        value = 0xFF;
        return SmbusOutcome::Ok;
    }
    if (s->kind == SmbusSlave::Kind::Nak || s->kind == SmbusSlave::Kind::Block)
        return s->kind == SmbusSlave::Kind::Nak ? SmbusOutcome::Nak : SmbusOutcome::Ok;
    value = At(*s, s->pointer);
    s->pointer = uint8_t(s->pointer + 1);
    return SmbusOutcome::Ok;
}

SmbusOutcome SmbusSlaves::SendByte(uint8_t address, uint8_t value) {
    if (!Find(address) && PageSelect(address)) return SmbusOutcome::Ok;
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    if (s->kind == SmbusSlave::Kind::Nak) return SmbusOutcome::Nak;
    s->pointer = value;  // an EEPROM takes the byte as its address
    return SmbusOutcome::Ok;
}

SmbusOutcome SmbusSlaves::WriteByte(uint8_t address, uint8_t command, uint8_t value) {
    if (!Find(address) && PageSelect(address)) return SmbusOutcome::Ok;
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    if (s->kind == SmbusSlave::Kind::Nak) return SmbusOutcome::Nak;
    if (s->kind == SmbusSlave::Kind::Spd5 && command == SmbusSlave::kHubPageRegister) {
        s->bytes[command] = value & 7;  // the hub's page register is writable
        return SmbusOutcome::Ok;
    }
    if (s->readOnly) return SmbusOutcome::Nak;
    At(*s, command) = value;
    s->pointer = uint8_t(command + 1);
    return SmbusOutcome::Ok;
}

SmbusOutcome SmbusSlaves::ReadWord(uint8_t address, uint8_t command, uint16_t& value) {
    uint8_t low = 0, high = 0;
    SmbusOutcome o = ReadByte(address, command, low);
    if (o == SmbusOutcome::Ok) o = ReadByte(address, uint8_t(command + 1), high);
    value = uint16_t(high << 8 | low);
    return o;
}

SmbusOutcome SmbusSlaves::WriteWord(uint8_t address, uint8_t command, uint16_t value) {
    if (!Find(address) && PageSelect(address)) return SmbusOutcome::Ok;
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    if (s->kind == SmbusSlave::Kind::Nak || s->readOnly) return SmbusOutcome::Nak;
    At(*s, command) = uint8_t(value);
    At(*s, uint8_t(command + 1)) = uint8_t(value >> 8);
    return SmbusOutcome::Ok;
}

SmbusOutcome SmbusSlaves::ReadBlock(uint8_t address, uint8_t command, std::vector<uint8_t>& block) {
    block.clear();
    if (!Find(address) && PageSelect(address)) return SmbusOutcome::Ok;
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    switch (s->kind) {
        case SmbusSlave::Kind::Nak:
            return SmbusOutcome::Nak;
        case SmbusSlave::Kind::Block: {
            auto it = s->blocks.find(command);
            if (it == s->blocks.end()) return SmbusOutcome::Nak;
            block = it->second;
            return SmbusOutcome::Ok;
        }
        default: {
            // The EEPROM streams from the command on; the host takes the first byte as count.
            uint8_t count = At(*s, command);
            for (unsigned i = 1; i <= count; ++i) block.push_back(At(*s, uint8_t(command + i)));
            return SmbusOutcome::Ok;
        }
    }
}

SmbusOutcome SmbusSlaves::WriteBlock(uint8_t address, uint8_t command,
                                     const std::vector<uint8_t>& block) {
    if (!Find(address) && PageSelect(address)) return SmbusOutcome::Ok;
    SmbusSlave* s = Find(address);
    if (!s) return SmbusOutcome::AddressNak;
    if (s->kind == SmbusSlave::Kind::Nak || s->readOnly) return SmbusOutcome::Nak;
    if (s->kind == SmbusSlave::Kind::Block) {
        s->blocks[command] = block;
        return SmbusOutcome::Ok;
    }
    // On the wire the count is the first data byte after the command.
    At(*s, command) = uint8_t(block.size());
    for (size_t i = 0; i < block.size(); ++i) At(*s, uint8_t(command + 1 + i)) = block[i];
    return SmbusOutcome::Ok;
}

// ---- Intel-style host interface ----

uint32_t IntelSmbusHost::ReadPort(uint16_t port, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i)
        value |= uint32_t(Read(uint8_t(port + i - base_))) << (8 * i);
    return value;
}

void IntelSmbusHost::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    for (uint32_t i = 0; i < width; ++i)
        Write(uint8_t(port + i - base_), uint8_t(value >> (8 * i)));
}

uint8_t IntelSmbusHost::Read(uint8_t offset) {
    switch (offset) {
        case 0:
            return stuck_ ? uint8_t(status_ | kBusy) : status_;
        case 2:
            bufferIndex_ = 0;
            return uint8_t(control_ & ~0x40);
        case 3:
            return command_;
        case 4:
            return address_;
        case 5:
            return data0_;
        case 6:
            return data1_;
        case 7:
            if (block_ == Block::Buffered) return buffer_[bufferIndex_++ % kBufferSize];
            return blockData_;
        default:
            return 0;
    }
}

void IntelSmbusHost::Write(uint8_t offset, uint8_t value) {
    switch (offset) {
        case 0: {
            // Bits 1-7 clear where a 1 is written; busy is the controller's own.
            bool byteDoneAck = (value & kByteDone) && (status_ & kByteDone);
            status_ &= uint8_t(~(value & 0xFE));
            if (byteDoneAck && transferring_) NextHandshake();
            break;
        }
        case 2:
            control_ = value;
            if (value & 0x02) {  // kill
                transferring_ = false;
                status_ = uint8_t((status_ & ~(kBusy | kByteDone)) | kFailed);
            } else if (value & 0x40) {
                Start();
            }
            break;
        case 3:
            command_ = value;
            break;
        case 4:
            address_ = value;
            break;
        case 5:
            data0_ = value;
            break;
        case 6:
            data1_ = value;
            break;
        case 7:
            if (block_ == Block::Buffered)
                buffer_[bufferIndex_++ % kBufferSize] = value;
            else
                blockData_ = value;
            break;
        default:
            break;
    }
}

void IntelSmbusHost::Finish(SmbusOutcome outcome) {
    transferring_ = false;
    status_ = uint8_t((status_ & ~kBusy) | (outcome == SmbusOutcome::Ok ? kIntr : kDevErr));
}

void IntelSmbusHost::Start() {
    if (stuck_ || (status_ & kBusy)) return;  // a busy controller ignores a new start
    status_ &= uint8_t(~(kIntr | kDevErr | kBusErr | kFailed | kByteDone));
    uint8_t slave = address_ >> 1;
    bool read = address_ & 1;
    switch ((control_ >> 2) & 7) {
        case 1:  // receive byte / send byte (the command port is the byte sent)
            return Finish(read ? slaves_.ReceiveByte(slave, data0_)
                               : slaves_.SendByte(slave, command_));
        case 2: {  // byte data
            SmbusOutcome o = read ? slaves_.ReadByte(slave, command_, data0_)
                                  : slaves_.WriteByte(slave, command_, data0_);
            return Finish(o);
        }
        case 3: {  // word data
            if (!read)
                return Finish(slaves_.WriteWord(slave, command_, uint16_t(data1_ << 8 | data0_)));
            uint16_t word = 0;
            SmbusOutcome o = slaves_.ReadWord(slave, command_, word);
            data0_ = uint8_t(word), data1_ = uint8_t(word >> 8);
            return Finish(o);
        }
        case 5:
            break;
        default:
            return Finish(SmbusOutcome::Nak);
    }
    if (block_ == Block::Buffered) {
        bufferIndex_ = 0;
        if (read) {
            std::vector<uint8_t> block;
            SmbusOutcome o = slaves_.ReadBlock(slave, command_, block);
            if (o == SmbusOutcome::Ok && block.size() > kBufferSize) o = SmbusOutcome::Nak;
            if (o == SmbusOutcome::Ok) {
                data0_ = uint8_t(block.size());
                for (size_t i = 0; i < block.size(); ++i) buffer_[i] = block[i];
            }
            return Finish(o);
        }
        if (data0_ > kBufferSize) return Finish(SmbusOutcome::Nak);
        std::vector<uint8_t> block(buffer_.begin(), buffer_.begin() + data0_);
        return Finish(slaves_.WriteBlock(slave, command_, block));
    }
    // Handshaken: one byte per byte-done, the count in data 0 from the start; no INTR until
    // the transfer ends.
    if (read) {
        std::vector<uint8_t> block;
        SmbusOutcome o = slaves_.ReadBlock(slave, command_, block);
        if (o != SmbusOutcome::Ok) return Finish(o);
        data0_ = uint8_t(block.size());
        transfer_ = std::move(block);
        transferAt_ = 0;
        blockData_ = transfer_.empty() ? 0xFF : transfer_[0];
        transferring_ = true;
        transferWrite_ = false;
        status_ |= kBusy | kByteDone;
        return;
    }
    if (!slaves_.Find(slave)) return Finish(SmbusOutcome::AddressNak);
    transfer_.assign(1, blockData_);
    transferAt_ = 0;
    expected_ = data0_;
    transferring_ = true;
    transferWrite_ = true;
    status_ |= kBusy | kByteDone;
}

void IntelSmbusHost::NextHandshake() {
    ++transferAt_;
    if (!transferWrite_) {
        // Past the device's count the bus reads all ones, and the chipset goes on asking for
        // bytes until the last-byte flag tells it to stop.
        blockData_ = transferAt_ < transfer_.size() ? transfer_[transferAt_] : 0xFF;
        if (control_ & kLastByte) {
            transferring_ = false;
            status_ = uint8_t((status_ & ~kBusy) | kIntr);
        } else {
            status_ |= kByteDone;
        }
        return;
    }
    if (transferAt_ == expected_) {
        transfer_.resize(expected_);
        return Finish(slaves_.WriteBlock(address_ >> 1, command_, transfer_));
    }
    // A count of 0 is never reached: the chipset keeps asking for bytes.
    if (transfer_.size() < 256) transfer_.push_back(blockData_);
    status_ |= kByteDone;
}

// ---- ACPI SMBus host interface ----

uint32_t AcpiSmbusHost::ReadPort(uint16_t port, uint32_t width) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < width; ++i)
        value |= uint32_t(Read(uint8_t(port + i - base_))) << (8 * i);
    return value;
}

void AcpiSmbusHost::WritePort(uint16_t port, uint32_t width, uint32_t value) {
    for (uint32_t i = 0; i < width; ++i)
        Write(uint8_t(port + i - base_), uint8_t(value >> (8 * i)));
}

uint8_t AcpiSmbusHost::Read(uint8_t offset) {
    if (offset == 1 && stuck_) return 0x1A;
    return regs_[offset & 63];
}

void AcpiSmbusHost::Write(uint8_t offset, uint8_t value) {
    offset &= 63;
    if (offset == 1) return;  // status belongs to the controller
    regs_[offset] = value;
    if (offset == 0) Run(value);
}

void AcpiSmbusHost::Run(uint8_t protocol) {
    regs_[1] = 0;
    if (stuck_) return;
    uint8_t slave = regs_[2] >> 1;
    uint8_t command = regs_[3];
    SmbusOutcome o;
    switch (protocol & 0x7F) {
        case 0x04:
            o = slaves_.SendByte(slave, command);
            break;
        case 0x05:
            o = slaves_.ReceiveByte(slave, regs_[4]);
            break;
        case 0x06:
            o = slaves_.WriteByte(slave, command, regs_[4]);
            break;
        case 0x07:
            o = slaves_.ReadByte(slave, command, regs_[4]);
            break;
        case 0x08:
            o = slaves_.WriteWord(slave, command, uint16_t(regs_[5] << 8 | regs_[4]));
            break;
        case 0x09: {
            uint16_t word = 0;
            o = slaves_.ReadWord(slave, command, word);
            if (o == SmbusOutcome::Ok) regs_[4] = uint8_t(word), regs_[5] = uint8_t(word >> 8);
            break;
        }
        default:
            regs_[1] = 0x19;  // protocol not supported by this host
            return;
    }
    regs_[1] = o == SmbusOutcome::Ok ? 0x80 : o == SmbusOutcome::AddressNak ? 0x10 : 0x11;
}

}  // namespace kvt::driver::board
