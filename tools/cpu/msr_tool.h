// The MSR tool: a list of model-specific registers with their values on a chosen processor,
// list files, and writing a value to the register of the selected row.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hwaccess/driver_client.h"
#include "platform/platform.h"
#include "platform/report_stream.h"
#include "platform/user_messages.h"
#include "tools/cpu/msr_list.h"

namespace kvt {

struct MsrRow {
    std::string msr, eax, edx, description;
    // Shown as "N/A" because the read was not served (an all-ones value that was served is
    // "N/A" too, and no failure), and why.
    bool failed = false;
    TransportFailure failure = TransportFailure::None;
};

// True when the text is non-empty and holds only 0-9, A-F, a-f.
bool IsHexText(std::string_view text);

class MsrTool {
  public:
    // Field names given to UserMessages::SetFocus.
    static constexpr const char* kFieldEax = "EAX";
    static constexpr const char* kFieldEdx = "EDX";
    static constexpr const char* kFieldEsi = "ESI";
    static constexpr const char* kFieldEdi = "EDI";
    static constexpr const char* kFieldAddMsr = "MSR (ECX):";
    static constexpr size_t kFieldMaxChars = 8;
    static constexpr size_t kAddDescriptionMax = 31;

    MsrTool(Platform& platform, DriverClient& client, UserMessages& messages);

    void Open();
    void SelectProcessor(int index);
    void SelectRow(int row);  // -1: no selection

    // "Add ": false (message shown) when the list is full; then no dialog opens.
    bool BeginAdd();
    // The Add MSR dialog's "Add": false (message shown, focus on the field) when the MSR text
    // is refused; the dialog stays open.
    bool ValidateAddDialog(const std::string& msrText, uint32_t& msr) const;
    // Appends the dialog's entry, reads all values and shows the list.
    void AddEntry(uint32_t msr, const std::string& description);
    // Add dialog in one step (command line, tests): BeginAdd + ValidateAddDialog + AddEntry.
    bool Add(const std::string& msrText, const std::string& description);

    void Remove();
    void ClearAll();
    void Refresh();
    // "Load" after the dialog: false when the file could not be opened.
    bool LoadFile(const std::string& path);
    // "Save": false (message shown) when there is nothing to save; then no dialog opens.
    bool BeginSave();
    bool SaveFile(const std::string& path);
    // "Write": validates the four fields and writes the target MSR.
    bool Write();

    // Field texts as typed.
    std::string eaxText, edxText, esiText, ediText;

    const std::vector<std::string>& processors() const { return processors_; }
    bool processorListEnabled() const { return processors_.size() > 1; }
    int selectedProcessor() const { return selectedProcessor_; }
    const MsrList& list() const { return list_; }
    const std::vector<MsrRow>& rows() const { return rows_; }
    int selectedRow() const { return selectedRow_; }
    bool removeEnabled() const { return removeEnabled_; }
    bool saveEnabled() const { return saveEnabled_; }
    uint32_t targetMsr() const { return targetMsr_; }
    const std::string& writeCaption() const { return writeCaption_; }

    void WriteReport(ReportStream& out) const;

  private:
    void ReadValuesAndShow();
    void ShowList();
    bool ReadField(const std::string& text, bool required, const char* field, const char* message,
                   uint32_t& value);

    Platform& platform_;
    DriverClient& client_;
    UserMessages& messages_;
    MsrList list_;
    std::vector<MsrRow> rows_;
    std::vector<std::string> processors_;
    int selectedProcessor_ = 0;
    int selectedRow_ = -1;
    bool removeEnabled_ = false;
    bool saveEnabled_ = false;
    uint32_t targetMsr_ = 0;
    std::string writeCaption_ = "Write Access";
};

}  // namespace kvt
