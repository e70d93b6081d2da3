#include "tools/io/cmos_tool.h"

#include "platform/format.h"
#include "tools/io/hex_input.h"

namespace kvt {

std::string ByteBits(uint8_t value) {
    std::string bits(8, '0');
    for (int i = 0; i < 8; ++i) {
        if (value & (0x80 >> i)) bits[static_cast<size_t>(i)] = '1';
    }
    return bits;
}

CmosTool::CmosTool(DriverClient& client, UserMessages& messages)
    : client_(client), messages_(messages) {}

const char* CmosTool::BankText(int row) {
    static const char* const kTexts[kBankCount] = {"70h/71h", "72h/73h", "74h/75h"};
    return row >= 0 && row < kBankCount ? kTexts[row] : "";
}

RequestStatus CmosTool::WriteIndex(uint32_t index) {
    if (bank_ == 0 && (index & 0x80)) nmiMaskWritten_ = true;
    return client_.TryWritePort(indexPort(), index, kWidthByte);
}

Reply<uint32_t> CmosTool::ReadData() {
    const uint16_t dataPort = static_cast<uint16_t>(indexPort() + 1);
    return client_.TryReadPort(dataPort, kWidthByte);
}

void CmosTool::ClearNmiMask(uint32_t last) {
    if (!nmiMaskWritten_) return;
    nmiMaskWritten_ = false;
    client_.WritePort(indexPort(), last & 0x7F, kWidthByte);
}

void CmosTool::Dump() {
    const uint32_t size = size256 ? 256 : 128;
    std::vector<bool> ok(size);
    std::vector<TransportFailure> why(size, TransportFailure::None);
    failed_ = 0;
    for (uint32_t i = 0; i < size; ++i) {
        RequestStatus selected = WriteIndex(i);
        Reply<uint32_t> read = selected.served() ? ReadData() : Reply<uint32_t>{selected, 0};
        ok[i] = read.served();
        buffer_[i] = ok[i] ? static_cast<uint8_t>(read.value) : 0;
        if (!ok[i]) {
            why[i] = read.failure;
            ++failed_;
        }
    }
    ClearNmiMask(size - 1);
    rows_.clear();
    rows_.reserve(size);
    for (uint32_t i = 0; i < size; ++i) {
        if (ok[i]) {
            rows_.push_back({Format("%02X", i), Format("%02X", buffer_[i]), ByteBits(buffer_[i]), i,
                             buffer_[i]});
        } else {
            rows_.push_back(
                {Format("%02X", i), kFailedMarker, kFailedMarker, i, std::nullopt, why[i]});
        }
    }
}

RequestStatus CmosTool::ReadByte(uint8_t offset, uint8_t& value) {
    RequestStatus selected = WriteIndex(offset);
    Reply<uint32_t> read = selected.served() ? ReadData() : Reply<uint32_t>{selected, 0};
    ClearNmiMask(offset);
    value = static_cast<uint8_t>(read.value);
    return read;
}

void CmosTool::SelectBank(int row) {
    if (row < 0 || row >= kBankCount) return;
    bank_ = row;
    Dump();
}

void CmosTool::SelectRow(size_t row) {
    if (row >= rows_.size()) return;
    offset = rows_[row].offset;
    data = rows_[row].hex;
}

void CmosTool::Write() {
    const std::string offsetText = offset.substr(0, kIoEntryMaxChars);
    const std::string dataText = data.substr(0, kIoEntryMaxChars);
    if (!IsHexString(offsetText) || offsetText.size() > 2) {
        messages_.ShowMessage(kOffsetError);
        messages_.SetFocus(kFieldOffset);
        return;
    }
    if (!IsHexString(dataText) || dataText.size() > 2) {
        messages_.ShowMessage(kValueError);
        messages_.SetFocus(kFieldData);
        return;
    }
    const uint32_t index = ParseHex32(offsetText);
    const uint32_t value = ParseHex32(dataText);
    // One request: the daemon writes index and data, leaves NMI enabled after an index with
    // bit 7 on 70h, and journals the byte with the one it replaced.
    bool ok =
        client_.TryWriteCmos(indexPort(), static_cast<uint8_t>(index), static_cast<uint8_t>(value))
            .served();
    if (!ok) messages_.ShowMessage(kWriteFailed);
    Dump();
}

void CmosTool::WriteReport(ReportStream& out) const {
    out.Write("========================= CMOS View Information==========================\n\n");
    out.Printf("%16s%16s%16s\n", "Offset (Hex)", "Data (Hex)", "Data (Binary)");
    for (const Row& row : rows_) {
        out.Printf("%16s%16s%16s\n", row.offset.c_str(), row.hex.c_str(), row.bits.c_str());
    }
}

}  // namespace kvt
