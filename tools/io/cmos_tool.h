// CMOS Read/Write: dumps a CMOS RAM bank through its index/data port pair, shows each byte in
// hexadecimal and as bits, writes single bytes and writes the dump as a report.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"

namespace kvt {

class CmosTool {
  public:
    static constexpr const char* kFieldOffset = "offset";
    static constexpr const char* kFieldData = "data";
    static constexpr int kTypingLimit = 2;
    static constexpr int kBankCount = 3;

    static constexpr const char* kOffsetError = "Input CMOS Offset Error!";
    static constexpr const char* kValueError = "Input CMOS Value Error!";
    static constexpr const char* kWriteFailed = "Error! CMOS write failed!";
    // Both data columns of a byte the driver did not read.
    static constexpr const char* kFailedMarker = "Failed";

    struct Row {
        std::string offset, hex, bits;
        uint32_t at = 0;               // the offset as a number
        std::optional<uint8_t> value;  // empty when the driver refused the byte
        TransportFailure failure = TransportFailure::None;  // why, when it did
    };

    CmosTool(DriverClient& client, UserMessages& messages);

    // "70h/71h", "72h/73h", "74h/75h".
    static const char* BankText(int row);
    static uint16_t IndexPortOf(int row) { return static_cast<uint16_t>(0x70 + 2 * row); }

    // Entry fields, as typed.
    std::string offset, data;
    // The size radio buttons; the choice applies at the next dump.
    bool size256 = false;

    int bank() const { return bank_; }
    uint16_t indexPort() const { return IndexPortOf(bank_); }

    // The first showing of the window, "Refresh", and a bank choice: each dumps the bank.
    void Dump();
    void SelectBank(int row);
    // A row of the dump list became selected: its offset and value go into the fields.
    void SelectRow(size_t row);
    // "Write": checks both fields, writes the byte, dumps again.
    void Write();

    // One byte of the selected bank (index write, data read), NMI left enabled; not served
    // when either request was not.
    RequestStatus ReadByte(uint8_t offset, uint8_t& value);

    const std::vector<Row>& rows() const { return rows_; }
    size_t failedRequests() const { return failed_; }

    void WriteReport(ReportStream& out) const;

  private:
    // Writes an index; on the 70h/71h bank remembers whether it left NMI masked (bit 7).
    RequestStatus WriteIndex(uint32_t index);
    Reply<uint32_t> ReadData();
    // After an index with bit 7 on the 70h/71h bank, writes `last & 7Fh`, so port 70h is left
    // with NMI enabled.
    void ClearNmiMask(uint32_t last);

    DriverClient& client_;
    UserMessages& messages_;
    int bank_ = 0;
    std::array<uint8_t, 256> buffer_{};
    std::vector<Row> rows_;
    size_t failed_ = 0;
    bool nmiMaskWritten_ = false;
};

// The byte's eight bits, most significant first ("00000101" for 5).
std::string ByteBits(uint8_t value);

}  // namespace kvt
