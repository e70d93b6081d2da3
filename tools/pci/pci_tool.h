// PCI Read/Write: lists the PCI and PCI Express functions, shows one function's configuration
// space with register descriptions, writes single registers, finds functions by ID, opens the
// I/O or memory tool on a base address register and writes two reports.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/pci/pci_bars.h"
#include "tools/pci/pci_caps.h"
#include "tools/pci/pci_desc.h"
#include "tools/pci/pci_enum.h"

namespace kvt {

// What the tool asks of the program around it.
class PciToolHost {
  public:
    virtual ~PciToolHost() = default;
    virtual void OpenGroupIoAt(uint32_t firstPort, uint32_t count) = 0;
    virtual void OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) = 0;
};

class PciTool {
  public:
    // Field names passed to UserMessages::SetFocus.
    static constexpr const char* kFieldBase = "base";
    static constexpr const char* kFieldValue = "value";
    static constexpr const char* kFieldId = "id";

    // Typing limits.
    static constexpr int kBaseTypingLimit = 15;
    static constexpr int kValueTypingLimit = 8;
    static constexpr int kIdTypingLimit = 8;

    static constexpr const char* kNotApplicableRow = "N/A";

    enum Filter : uint32_t { kFilterPci = 1, kFilterExpress = 2, kFilterBoth = 3 };

    // Results of the save dialog.
    static constexpr int kSaveAll = 1;
    static constexpr int kSaveCurrent = 2;
    static constexpr int kSaveDialogFailed = -1;

    struct RegisterRow {
        std::string offset, value, description;
        uint32_t at = 0, dword = 0;  // offset and value as numbers
    };

    // One function of the all-devices report.
    struct DeviceDump {
        PciFunctionRecord record;
        std::string caption;
        PciRegisterRead::Status status = PciRegisterRead::Status::ReadFailed;
        std::vector<uint32_t> dwords;  // from offset 0; empty when nothing was read
        // One per dword when descriptions are available, held by `source`: a report of many
        // PCI Express functions has a million of them.
        std::vector<std::string_view> descriptions;
        RegisterFile source;
        std::optional<PciBarSizeList> barSizes;  // when asked for and served (AddBarSizes)
    };

    PciTool(DriverClient& client, UserMessages& messages,
            PciDescriptions descriptions = PciDescriptions(), PciToolHost* host = nullptr);

    // Entry fields and choices, as typed or chosen. Selectors are row numbers, -1 for none.
    int bus = -1, device = -1, function = -1;
    std::string baseText = std::string(kAutoBase);
    uint32_t filter = kFilterBoth;
    std::string valueText;  // "Register Value (Hex)"
    std::string idText;     // "DID/VID:"

    // The eight rows of the base field's list ahead of "Auto".
    static std::vector<std::string> BaseChoices();

    // User actions.
    void Scan();
    void FilterChanged();           // rescans once enumerated
    void SelectDeviceRow(int row);  // device list selection changed
    void SelectorsChanged();        // bus, device or function selector changed
    void Refresh();                 // "Refresh"
    void SelectRegister(int row);   // register list row state changed (-1: none)
    void OpenBaseAddress(int row);  // register list row double-clicked (-1: none)
    // A BAR of the decoded view double-clicked (its index): the Group I/O or Memory Dump
    // window at its base, or a message when the Memory Dump window cannot reach it.
    void OpenBar(uint32_t index);
    // Shows a function: one of domain 0 as the selectors would; one of another PCI domain
    // read by block requests (the selectors, the window base and Write are for domain 0, so
    // Write has no target then).
    void ShowFunction(const PciAddress& f);
    void Write();     // "Write"
    void FindNext();  // "Find Next"
    // Save: chooseReport shows the save dialog and returns kSaveAll, kSaveCurrent or
    // kSaveDialogFailed; it is not called before the first scan.
    void WriteReport(ReportStream& out, const std::function<int()>& chooseReport);
    void WriteAllDevicesReport(ReportStream& out);
    // Reads every function for the all-devices report (progress, messages and the shown
    // device as the report does).
    std::vector<DeviceDump> CollectAllDevices();
    // decode: each function's decoded capabilities follow its registers.
    static void WriteAllDevicesReport(ReportStream& out, const std::vector<DeviceDump>& devices,
                                      bool decode = false);
    // The BAR sizes of every dumped function, for the decoded report.
    void AddBarSizes(std::vector<DeviceDump>& devices);
    void WriteCurrentDeviceReport(ReportStream& out, bool decode = false) const;

    // Progress of long work (the bus scan, the all-devices report): (done, total).
    void SetProgress(PciProgress progress) { progress_ = std::move(progress); }

    // What the view shows.
    const std::vector<std::string>& deviceRows() const { return deviceRows_; }
    int selectedDeviceRow() const { return selectedRow_; }
    const std::string& deviceListLabel() const { return deviceListLabel_; }
    const std::string& registerListLabel() const { return registerListLabel_; }
    const std::vector<RegisterRow>& registerRows() const { return registerRows_; }
    // How the read of the shown function went (no rows unless Ok).
    PciRegisterRead::Status shownReadStatus() const { return shownStatus_; }
    // The shown function's capabilities, decoded from the bytes the register list shows.
    PciCapabilityList shownCapabilities() const { return DecodePciCapabilities(buffer_, length_); }
    // The shown function's BARs, their sizes asked of the daemon once per shown function.
    const std::vector<PciBar>& shownBars() const;
    // A note when the device list cannot hold every function of this machine (the driver's
    // list names 256 functions of PCI domain 0 at most), empty otherwise. Set by Scan.
    const std::string& listLimitNote() const { return listLimitNote_; }
    // The shown address in hexadecimal, empty when nothing was read.
    std::string configAddress() const;
    const std::string& registerLine() const { return registerLine_; }
    bool enumerated() const { return enumerated_; }
    int findPosition() const { return findPosition_; }
    uint32_t shownKind() const { return kind_; }
    bool hasWriteTarget() const { return hasTarget_; }
    const std::vector<PciFunctionRecord>& table() const { return table_; }
    // Table index of each device row but "N/A".
    const std::vector<size_t>& listMap() const { return listMap_; }
    // The row of the listed function bus:device.function, or -1.
    int RowOf(uint32_t bus, uint32_t device, uint32_t function) const;
    // The caption of a record as the device list shows it.
    std::string Caption(const PciFunctionRecord& record, bool* readError) const;

  private:
    uint32_t FillDeviceList();
    // Reads a record into the register buffer and shows it. quietBase: a rejected base has
    // already been reported.
    // config: the function's first 256 bytes when they were read already.
    void ShowRecord(const PciFunctionRecord& record, bool quietBase = false,
                    const uint8_t* config = nullptr);
    void ShowBySelectors(bool quietBase);
    void FillRegisterList(bool* readError);
    void ShowReadError(bool readError);
    void SetSelectors(const PciFunctionRecord& record);
    void ClearEditFields();

    DriverClient& client_;
    UserMessages& messages_;
    PciDescriptions descriptions_;
    PciToolHost* host_;
    PciProgress progress_;

    std::vector<PciFunctionRecord> table_;
    uint8_t buffer_[kPciExpressSpaceSize] = {};
    uint32_t length_ = 0;
    uint32_t kind_ = kPciKind;
    bool hasTarget_ = false;
    std::vector<size_t> listMap_;
    std::vector<std::string> deviceRows_;
    int selectedRow_ = -1;
    bool enumerated_ = false;
    int findPosition_ = -1;

    std::string deviceListLabel_ = "PCI and PCI Express Devices";
    std::string registerListLabel_ = "Register List";
    std::vector<RegisterRow> registerRows_;
    PciRegisterRead::Status shownStatus_ = PciRegisterRead::Status::ReadFailed;
    // The configuration address (PCI) or physical address (PCI Express) shown, when any.
    std::optional<uint64_t> shownAddress_;
    std::string registerLine_;
    PciAddress shownFunction_;
    mutable std::optional<std::vector<PciBar>> shownBars_;
    std::string listLimitNote_;
};

// Messages of the tool.
inline constexpr const char* kPciNoDeviceMessage = "Error!  No corresponding device found!";
inline constexpr const char* kPciBaseErrorMessage =
    "Input PCI Express memory mapped base address error!";
inline constexpr const char* kPciDataErrorMessage = "Input Data Error!";
inline constexpr const char* kPciIdErrorMessage = "Input Device ID or Vendor ID Error!";
inline constexpr const char* kPciNoMatchMessage =
    "Unable to find matching PCI or PCI Express device!";
inline constexpr const char* kPciNoSelectionMessage = "No items were selected!\n";
inline constexpr const char* kPciNoInformationMessage =
    "Error! There is no PCI device information available!";
inline constexpr const char* kPciSaveDialogMessage = "PCI Save Dialog box could not be created!";
inline constexpr const char* kPciBarOutOfReachMessage =
    "This BAR lies above 4 GiB, where the Memory Dump window cannot reach (its addresses have "
    "8 digits). korvanta-cli mem dump reads it.";
inline constexpr const char* kPciExtendedSpaceMessage =
    "No PCI Express memory mapped configuration window reaches this function: the first 256 "
    "bytes are shown, read by configuration requests; the extended space (100h-FFFh) is out of "
    "reach.";

}  // namespace kvt
