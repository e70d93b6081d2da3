// Group I/O Access: dumps a range of I/O ports, directly (every port from a start to an end
// address) or indexed (each offset written to an index port, then the data port read).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/io/hex_input.h"

namespace kvt {

class GroupIoTool {
  public:
    // Field names passed to UserMessages::SetFocus.
    static constexpr const char* kFieldStart = "start";
    static constexpr const char* kFieldEnd = "end";
    static constexpr const char* kFieldIndexPort = "indexPort";
    static constexpr const char* kFieldDataPort = "dataPort";
    static constexpr const char* kFieldStartOffset = "startOffset";
    static constexpr const char* kFieldEndOffset = "endOffset";

    static constexpr int kTypingLimit = 4;  // all six fields

    static constexpr const char* kStartAboveEnd =
        "Error! Start Port address is bigger than end port address!";
    static constexpr const char* kStartOffsetAboveEnd =
        "Error! Start offset is bigger than end offset!";
    // The data column of a row whose index write or data read the driver refused.
    static constexpr const char* kFailedMarker = "Failed";

    enum class Mode { Direct, Index };

    struct Row {
        std::string address, data;      // "%04X" port or "%02X" offset; the value by width
        uint32_t at = 0;                // the port or offset as a number
        std::optional<uint32_t> value;  // empty when the driver refused the read
        TransportFailure failure = TransportFailure::None;  // why, when it did
    };

    // Ports read together in one batch of a direct dump.
    static constexpr size_t kBatchPorts = 2048;
    // Told, between groups of requests, how many of the dump's rows are done; returning false
    // stops the dump there: the rows read so far stay, the rest are not asked for.
    std::function<bool(size_t done, size_t total)> progress;

    GroupIoTool(DriverClient& client, UserMessages& messages);

    // Entry fields, as typed.
    std::string start, end;                                   // direct mode
    std::string indexPort, dataPort, startOffset, endOffset;  // index mode
    uint32_t width = kWidthByte;

    Mode mode() const { return mode_; }
    // Selecting the other mode empties the list (and gives it that mode's columns).
    void SelectMode(Mode mode);

    // Runs the dump of the selected mode.
    void Read();
    // Fills the direct fields for `count` ports from `first` and reads them (direct mode).
    void Preset(uint32_t first, uint32_t count);

    const std::vector<Row>& rows() const { return rows_; }
    // The index and data ports the listed index rows were read with.
    std::optional<std::pair<uint16_t, uint16_t>> dumpedPorts() const { return dumpedPortValues_; }
    // The width the listed rows were read with.
    uint32_t dumpedWidth() const { return dumpedWidth_; }
    // Requests the driver refused during the last dump.
    size_t failedRequests() const { return failed_; }
    // Whether the last dump was stopped through `progress` before its end.
    bool stopped() const { return stopped_; }

    void WriteReport(ReportStream& out) const;

  private:
    void DirectDump();
    void IndexDump();
    void ClearRows();
    bool CheckPort(const std::string& text, const char* field, uint16_t& value);
    bool CheckOffset(const std::string& text, const char* field, uint16_t& value);

    DriverClient& client_;
    UserMessages& messages_;
    Mode mode_ = Mode::Direct;
    std::vector<Row> rows_;
    size_t failed_ = 0;
    bool stopped_ = false;
    // The port texts the listed index rows were read with.
    std::optional<std::pair<std::string, std::string>> dumpedPorts_;
    std::optional<std::pair<uint16_t, uint16_t>> dumpedPortValues_;
    uint32_t dumpedWidth_ = kWidthByte;
};

// Texts of the two list columns by mode.
const char* GroupIoColumn(GroupIoTool::Mode mode, int column);

}  // namespace kvt
