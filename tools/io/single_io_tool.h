// Single I/O Access: one I/O port at a time, directly or through an index/data port pair,
// once or every second, with a history of every access and a text report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/io/hex_input.h"

namespace kvt {

// Starts and stops the repeating one-second timer of the tool; the view owns the real timer.
class TimerControl {
  public:
    virtual ~TimerControl() = default;
    virtual void StartTimer(int intervalMs) = 0;
    virtual void StopTimer() = 0;
};

class SingleIoTool {
  public:
    // Field names passed to UserMessages::SetFocus.
    static constexpr const char* kFieldPort = "port";
    static constexpr const char* kFieldPortData = "portData";
    static constexpr const char* kFieldIndexPort = "indexPort";
    static constexpr const char* kFieldDataPort = "dataPort";
    static constexpr const char* kFieldOffset = "offset";
    static constexpr const char* kFieldIndexData = "indexData";

    // Typing limits of the entry fields.
    static constexpr int kPortTypingLimit = 4;
    static constexpr int kDataTypingLimit = 8;
    static constexpr int kOffsetTypingLimit = 4;

    static constexpr int kTimerIntervalMs = 1000;

    // What the data column of a row shows when the driver refused the access: no number is
    // invented for a read that did not happen, and a refused write is not shown as done.
    static constexpr const char* kFailedMarker = "Failed";

    struct DirectRow {
        std::string port, rw, data, width;
        TransportFailure failure = TransportFailure::None;  // why a Failed row failed
    };
    struct IndexRow {
        std::string indexPort, dataPort, offset, rw, data, width;
        TransportFailure failure = TransportFailure::None;
    };

    enum class TimerSource { DirectRead, IndexRead };

    SingleIoTool(DriverClient& client, UserMessages& messages, TimerControl* timer = nullptr);

    // Entry fields, as typed.
    std::string port, portData;                          // direct group
    std::string indexPort, dataPort, offset, indexData;  // index group
    uint32_t directWidth = kWidthByte;
    uint32_t indexWidth = kWidthByte;
    TimerSource timerSource = TimerSource::DirectRead;  // the interval is always one second

    // The four user actions. The reads return 0 or an input error code (not yet shown);
    // the Clicked forms show the code with ShowIoInputError as the buttons do.
    int DirectRead();
    int IndexRead();
    void DirectWrite();
    void IndexWrite();
    void DirectReadClicked();
    void IndexReadClicked();

    // Timer: start when stopped, stop when running. Tick runs the chosen read; an input
    // error stops the timer before its message is shown.
    void ToggleTimer();
    void StopTimer();
    void TimerTick();
    bool timerRunning() const { return timerRunning_; }

    // Newest first, as shown.
    const std::vector<DirectRow>& directHistory() const { return direct_; }
    const std::vector<IndexRow>& indexHistory() const { return index_; }

    void WriteReport(ReportStream& out) const;

  private:
    std::string Entry(const std::string& text) const;
    bool CheckPortField(const std::string& text, const char* field, bool showMessage, int* code,
                        uint16_t& value);

    DriverClient& client_;
    UserMessages& messages_;
    TimerControl* timer_;
    bool timerRunning_ = false;
    std::vector<DirectRow> direct_;
    std::vector<IndexRow> index_;
};

}  // namespace kvt
