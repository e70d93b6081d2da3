// SMBus Access: choose a detected SMBus host controller, scan it for slave devices, read
// byte ranges and blocks, write bytes, patch a byte inside a block, and report what is shown.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/smbus/smbus_detect.h"
#include "tools/smbus/smbus_host.h"

namespace kvt {

class SmbusTool {
  public:
    // Field names passed to UserMessages::SetFocus.
    static constexpr const char* kFieldReadAddress = "readAddress";
    static constexpr const char* kFieldStartOffset = "startOffset";
    static constexpr const char* kFieldLength = "length";
    static constexpr const char* kFieldWriteAddress = "writeAddress";
    static constexpr const char* kFieldOffset = "offset";
    static constexpr const char* kFieldData = "data";

    // Typing limits of the fields.
    static constexpr int kAddressLimit = 2, kOffsetLimit = 2, kLengthLimit = 4, kDataLimit = 2;
    static constexpr int kBaseLimit = 4;

    // A row of the data list: its offset label and 16 cells ("" when not read).
    struct Row {
        std::string label;
        std::array<std::string, 16> cells;
        uint32_t offset = 0;
        std::array<std::optional<uint8_t>, 16> values;  // the cells' bytes, empty when not read
    };

    // The last range read: its offsets, and where and why it stopped when a read failed.
    struct RangeRead {
        uint32_t start = 0, length = 0;
        std::optional<uint32_t> failedAt;
        std::string failure;
    };

    // Progress of long actions (scan, reads): done of total; the view shows it.
    using Progress = std::function<void(int done, int total)>;

    SmbusTool(DriverClient& client, UserMessages& messages, SmbusPorts::Sleeper sleeper = {});

    // Fields, as typed.
    std::string readAddress, startOffset, length;
    std::string writeAddress, offset, data;
    Progress progress;

    // Actions.
    void Start();
    void SelectController(int row);
    void Scan();
    void SelectSlave(int row);
    void ReadRange();
    void BlockRead();
    void WriteByte();
    void PatchBlock();
    // Reads the 256 SPD bytes of the read group's address and shows what they describe in one
    // message; the data list and the report are left as they are.
    void DecodeSpdAtAddress();
    void WriteReport(ReportStream& out) const;

    // What the view shows.
    const std::vector<SmbusController>& controllers() const { return controllers_; }
    std::vector<std::string> controllerCaptions() const;
    int currentIndex() const { return current_; }
    std::string baseText() const;
    const std::vector<uint8_t>& found() const { return found_; }
    std::vector<std::string> slaveRows() const;
    int slaveSelection() const { return slaveSelection_; }
    const std::vector<Row>& rows() const { return rows_; }
    const RangeRead& lastRange() const { return lastRange_; }
    // The address of the selected slave device, if one is selected.
    std::optional<uint8_t> selectedSlave() const;
    bool controlsEnabled() const { return !controllers_.empty(); }
    bool blockButtonsEnabled() const;
    // The kernel driver bound to the current controller's function ("" when none or unknown).
    const std::string& kernelDriver() const { return kernelDriver_; }
    // How the current controller is reached: its ports, the kernel's adapter (a kernel driver
    // owns it), or not at all (a kernel driver owns it, its adapter cannot be used and the
    // user did not confirm driving the ports anyway).
    enum class Path { Ports, Kernel, None };
    Path path() const { return path_; }
    // The adapter's node for Kernel, why the controller is left alone for None.
    const std::string& pathText() const { return pathText_; }
    // Asked before the ports of a controller a kernel driver owns are driven directly; unset
    // or false: they are not.
    std::function<bool(const std::string& question)> confirmRawPorts;

    static constexpr const char* kNoController = "No Supported SMBUS controller found!";
    static constexpr const char* kNoInformation =
        "Error! There is no SMBUS device information available!";
    static constexpr const char* kRangeTooLarge = "Error! Input data range is too large!";
    static constexpr const char* kAddressError = "Input Smbus address error!";
    static constexpr const char* kOffsetError = "Input Smbus offset error!";
    static constexpr const char* kDataError = "Input Smbus data error!";
    static constexpr const char* kKernelDriverWarning =
        "Warning! Kernel driver %s is bound to this SMBus controller: transactions may collide "
        "with it.";
    static constexpr const char* kRawPortsQuestion =
        "The kernel's adapter of this SMBus controller cannot be used: %s. Drive the "
        "controller's ports directly anyway?";
    static constexpr const char* kLeftAlone =
        "Error! Kernel driver %s owns this SMBus controller and its adapter cannot be used: %s. "
        "The controller's ports are left alone.";

  private:
    bool Field(const std::string& text, const char* field, const char* message, uint32_t& value);
    bool ReadGroup(uint32_t& address, uint32_t& start, uint32_t& len);
    bool WriteGroup(uint32_t& address, uint32_t& off, uint32_t& value);
    void MakeCurrent(int index);
    // False (after saying why) when the current controller is left alone.
    bool Usable();
    // Shows cells for positions first .. first + count - 1 of bytes (indexed from first).
    void Display(uint32_t first, const uint8_t* bytes, uint32_t count);

    DriverClient& client_;
    UserMessages& messages_;
    SmbusPorts io_;
    std::vector<SmbusController> controllers_;
    int current_ = -1;
    std::vector<uint8_t> found_;
    std::vector<uint8_t> slaveList_;  // rows of the slave list (emptied on a controller change)
    int slaveSelection_ = -1;
    std::array<uint8_t, 256> readBuffer_{};
    std::vector<Row> rows_;
    RangeRead lastRange_;
    std::string kernelDriver_;
    Path path_ = Path::Ports;
    std::string pathText_;
};

}  // namespace kvt
