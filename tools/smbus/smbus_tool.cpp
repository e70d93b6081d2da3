#include "tools/smbus/smbus_tool.h"

#include <cstdlib>

#include "platform/format.h"
#include "platform/hex.h"
#include "tools/io/hex_input.h"
#include "tools/smbus/spd_decode.h"
#include "tools/smbus/spd_read.h"

namespace kvt {

SmbusTool::SmbusTool(DriverClient& client, UserMessages& messages, SmbusPorts::Sleeper sleeper)
    : client_(client), messages_(messages), io_(client, std::move(sleeper)) {}

std::vector<std::string> SmbusTool::controllerCaptions() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < controllers_.size(); ++i)
        out.push_back(SmbusControllerCaption(controllers_[i], int(i)));
    return out;
}

std::string SmbusTool::baseText() const {
    if (current_ < 0) return "";
    return Format("%04X", controllers_[size_t(current_)].ioBase);
}

std::vector<std::string> SmbusTool::slaveRows() const {
    std::vector<std::string> out;
    for (uint8_t a : slaveList_) out.push_back(Format("Smbus Device @Slave Address %02X", a));
    return out;
}

bool SmbusTool::blockButtonsEnabled() const {
    return current_ >= 0 && controllers_[size_t(current_)].vendorKind != kSmbusNvidia;
}

void SmbusTool::Start() {
    controllers_ = DetectSmbusControllers(client_);
    if (controllers_.empty()) {
        messages_.ShowMessage(kNoController);
        return;
    }
    MakeCurrent(0);
}

void SmbusTool::MakeCurrent(int index) {
    current_ = index;
    const SmbusController& c = controllers_[size_t(index)];
    kernelDriver_.clear();
    io_.RouteThroughPorts();
    path_ = Path::Ports;
    pathText_.clear();
    if (!client_.KernelDriver(c.address(), kernelDriver_) || kernelDriver_.empty()) return;
    // A kernel driver owns the controller: go through its adapter, serialised with the kernel.
    DriverClient::SmbusKernelCall call;
    call.op = kSmbusOpAdapter;
    bool served = client_.SmbusKernel(c.address(), c.ioBase, call).served();
    if (served && call.error == 0) {
        io_.RouteThroughKernel(c.bus, c.device, c.function);
        path_ = Path::Kernel;
        pathText_ = call.text;
        return;
    }
    std::string why = served ? call.text : "the driver daemon offers no kernel path";
    messages_.ShowMessage(Format(kKernelDriverWarning, kernelDriver_.c_str()));
    if (confirmRawPorts && confirmRawPorts(Format(kRawPortsQuestion, why.c_str()))) return;
    path_ = Path::None;
    pathText_ = Format(kLeftAlone, kernelDriver_.c_str(), why.c_str());
}

bool SmbusTool::Usable() {
    if (current_ < 0) return false;
    if (path_ != Path::None) return true;
    messages_.ShowMessage(pathText_);
    return false;
}

void SmbusTool::SelectController(int row) {
    if (row < 0 || size_t(row) >= controllers_.size() || row == current_) return;
    MakeCurrent(row);
    slaveList_.clear();
    slaveSelection_ = -1;
    rows_.clear();
}

void SmbusTool::Scan() {
    if (!Usable()) return;
    const SmbusController& c = controllers_[size_t(current_)];
    found_.clear();
    for (uint32_t a = 0; a <= 0x7E; ++a) {
        if (progress) progress(int(a), 0x7F);
        int r = SmbusProbe(io_, c.ioBase, uint8_t(a), c.vendorKind);
        if (r == kSmbusOk) {
            found_.push_back(uint8_t(a));
        } else if (r == kSmbusBusy || r == kSmbusReadIoError || r == kSmbusWriteIoError) {
            // The controller or the daemon failed: nothing further can be told apart.
            ShowSmbusError(messages_, r);
            break;
        }
    }
    if (progress) progress(0x7F, 0x7F);
    slaveList_ = found_;
    slaveSelection_ = slaveList_.empty() ? -1 : 0;
    SelectSlave(slaveSelection_);
}

void SmbusTool::SelectSlave(int row) {
    slaveSelection_ = row >= 0 && size_t(row) < slaveList_.size() ? row : -1;
    uint8_t a = slaveSelection_ >= 0 ? slaveList_[size_t(slaveSelection_)] : 0;
    readAddress = Format("%02X", a);
    startOffset = "00";
    length = "10";
    writeAddress = Format("%02X", a);
    offset = "00";
}

bool SmbusTool::Field(const std::string& text, const char* field, const char* message,
                      uint32_t& value) {
    std::string entry = text.substr(0, 3);
    if (!IsHexString(entry)) {
        messages_.ShowMessage(message);
        messages_.SetFocus(field);
        return false;
    }
    value = uint32_t(LeadingHexValue(entry));
    return true;
}

// Addresses are 7-bit: 80h and above would wrap onto another device.
bool SmbusTool::ReadGroup(uint32_t& address, uint32_t& start, uint32_t& len) {
    if (!Field(readAddress, kFieldReadAddress, kAddressError, address)) return false;
    if (address > 0x7F) {
        messages_.ShowMessage(kAddressError);
        messages_.SetFocus(kFieldReadAddress);
        return false;
    }
    return Field(startOffset, kFieldStartOffset, kOffsetError, start) &&
           Field(length, kFieldLength, kDataError, len);
}

bool SmbusTool::WriteGroup(uint32_t& address, uint32_t& off, uint32_t& value) {
    auto fail = [&](const char* message, const char* field) {
        messages_.ShowMessage(message);
        messages_.SetFocus(field);
        return false;
    };
    if (!Field(writeAddress, kFieldWriteAddress, kAddressError, address)) return false;
    if (address > 0x7F) return fail(kAddressError, kFieldWriteAddress);
    if (!Field(offset, kFieldOffset, kOffsetError, off)) return false;
    if (off > 0xFF) return fail(kOffsetError, kFieldOffset);
    if (!Field(data, kFieldData, kDataError, value)) return false;
    if (value > 0xFF) return fail(kDataError, kFieldData);
    return true;
}

void SmbusTool::Display(uint32_t first, const uint8_t* bytes, uint32_t count) {
    rows_.clear();
    Row row;
    row.offset = first & ~0xFu;
    row.label = Format("%02X", row.offset);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t p = first + i;
        if (p % 16 == 0 && p != first) {
            rows_.push_back(row);
            row = Row();
            row.offset = p;
            row.label = Format("%02X", p);
        }
        row.cells[p & 0xF] = Format("%02X", bytes[i]);
        row.values[p & 0xF] = bytes[i];
    }
    rows_.push_back(row);
}

void SmbusTool::ReadRange() {
    if (!Usable()) return;
    uint32_t address = 0, start = 0, len = 0;
    if (!ReadGroup(address, start, len)) return;
    if (start > 256 || len > 256 - start) {
        messages_.ShowMessage(kRangeTooLarge);
        messages_.SetFocus(kFieldStartOffset);
        return;
    }
    const SmbusController& c = controllers_[size_t(current_)];
    rows_.clear();
    lastRange_ = {start, len, std::nullopt, {}};
    uint32_t read = 0;
    for (uint32_t i = 0; i < len; ++i) {
        if (progress) progress(int(i), int(len));
        int r = SmbusReadByte(io_, c.ioBase, uint8_t(address), uint8_t((start + i) & 0xFF),
                              readBuffer_[start + i], c.vendorKind);
        if (r != kSmbusOk) {
            lastRange_.failedAt = start + i;
            lastRange_.failure = SmbusResultText(r);
            ShowSmbusError(messages_, r);
            break;
        }
        read = i + 1;
    }
    if (progress) progress(int(len), int(len));
    // Only the bytes that arrived are shown.
    Display(start, readBuffer_.data() + (start < 256 ? start : 0), read);
}

void SmbusTool::BlockRead() {
    if (!Usable()) return;
    uint32_t address = 0, start = 0, len = 0;
    if (!ReadGroup(address, start, len)) return;
    const SmbusController& c = controllers_[size_t(current_)];
    rows_.clear();
    uint8_t block[kSmbusBlockMax] = {};
    uint32_t count = 0;
    int r = SmbusReadBlock(io_, c.ioBase, uint8_t(address), uint8_t(start), len, block, count,
                           c.vendorKind);
    ShowSmbusError(messages_, r);
    Display(start, block, std::min(len, count));
}

void SmbusTool::WriteByte() {
    if (!Usable()) return;
    uint32_t address = 0, off = 0, value = 0;
    if (!WriteGroup(address, off, value)) return;
    const SmbusController& c = controllers_[size_t(current_)];
    ShowSmbusError(messages_,
                   SmbusJournaledWrite(io_, c.address(), c.ioBase, uint8_t(address), uint8_t(off),
                                       false, uint8_t(value), c.vendorKind));
}

void SmbusTool::PatchBlock() {
    if (!Usable()) return;
    uint32_t address = 0, off = 0, value = 0;
    if (!WriteGroup(address, off, value)) return;
    const SmbusController& c = controllers_[size_t(current_)];
    uint8_t block[kSmbusBlockMax] = {};
    uint32_t count = 0;
    int r = SmbusReadBlock(io_, c.ioBase, uint8_t(address), 0, kSmbusBlockMax, block, count,
                           c.vendorKind);
    if (r != kSmbusOk) {
        // Bytes that never arrived are not written back.
        ShowSmbusError(messages_, r);
        return;
    }
    if (off >= count) {
        messages_.ShowMessage(kRangeTooLarge);
        messages_.SetFocus(kFieldOffset);
        return;
    }
    if (block[off] == value) return;
    block[off] = uint8_t(value);
    ShowSmbusError(messages_, SmbusJournaledWriteBlock(io_, c.address(), c.ioBase, uint8_t(address),
                                                       0, uint8_t(off + 1), block, c.vendorKind));
}

void SmbusTool::DecodeSpdAtAddress() {
    if (!Usable()) return;
    uint32_t address = 0;
    if (!Field(readAddress, kFieldReadAddress, kAddressError, address)) return;
    if (address > 0x7F) {
        messages_.ShowMessage(kAddressError);
        messages_.SetFocus(kFieldReadAddress);
        return;
    }
    const SmbusController& c = controllers_[size_t(current_)];
    std::vector<uint8_t> spd;
    int r = ReadSpd(io_, c.ioBase, uint8_t(address), c.vendorKind, spd, progress);
    if (r != kSmbusOk) {
        ShowSmbusError(messages_, r);
        return;
    }
    std::string text;
    for (const std::string& line : DecodeSpd(spd)) text += line + "\n";
    messages_.ShowMessage(text);
}

std::optional<uint8_t> SmbusTool::selectedSlave() const {
    if (slaveSelection_ < 0 || size_t(slaveSelection_) >= slaveList_.size()) return std::nullopt;
    return slaveList_[size_t(slaveSelection_)];
}

void SmbusTool::WriteReport(ReportStream& out) const {
    if (controllers_.empty() || found_.empty()) {
        messages_.ShowMessage(kNoInformation);
        return;
    }
    out.Write(
        "========================= Current SMBUS Device Information "
        "=========================\n\n");
    out.Write(SmbusControllerCaption(controllers_[size_t(current_)], current_));
    out.Write("\n\n");
    if (slaveSelection_ >= 0)
        out.Write(Format("Smbus Device @Slave Address %02X", slaveList_[size_t(slaveSelection_)]));
    out.Write("\n\n");
    out.Printf("%16s%16s\n", "#Offset (Hex)", "Value (Hex)");
    for (const Row& row : rows_)
        for (uint32_t col = 0; col < 16; ++col)
            out.Printf("%16s%16s\n", Format("%02X", row.offset + col).c_str(),
                       row.cells[col].c_str());
}

}  // namespace kvt
