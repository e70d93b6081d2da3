#include "tools/cpu/msr_tool.h"

#include "platform/format.h"
#include "platform/hex.h"
#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_tool.h"

namespace kvt {

namespace {

// A field already checked by IsHexText, in 32 bits.
uint32_t HexValue(std::string_view text) {
    return static_cast<uint32_t>(LeadingHexValue(text));
}

}  // namespace

bool IsHexText(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (HexDigitValue(c) < 0) return false;
    }
    return true;
}

MsrTool::MsrTool(Platform& platform, DriverClient& client, UserMessages& messages)
    : platform_(platform), client_(client), messages_(messages) {}

void MsrTool::Open() {
    processors_ = ProcessorEntries(platform_.ProcessorCount());
    selectedProcessor_ = 0;
    removeEnabled_ = false;
    saveEnabled_ = false;
}

void MsrTool::SelectProcessor(int index) {
    if (index < 0 || static_cast<size_t>(index) >= processors_.size()) return;
    selectedProcessor_ = index;
}

void MsrTool::SelectRow(int row) {
    if (row < 0 || static_cast<size_t>(row) >= list_.entries.size()) {
        selectedRow_ = -1;
        return;
    }
    selectedRow_ = row;
    removeEnabled_ = true;
    const MsrEntry& entry = list_.entries[static_cast<size_t>(row)];
    eaxText = Format("%08X", entry.eax);
    edxText = Format("%08X", entry.edx);
    targetMsr_ = entry.msr;
    writeCaption_ = Format("Write Access MSR (ECX) = %s", Format("%08X", entry.msr).c_str());
}

bool MsrTool::BeginAdd() {
    if (list_.full()) {
        messages_.ShowMessage(TooManyMsrsMessage());
        return false;
    }
    return true;
}

bool MsrTool::ValidateAddDialog(const std::string& msrText, uint32_t& msr) const {
    std::string text = msrText.substr(0, 15);
    if (text.size() > kFieldMaxChars || !IsHexText(text)) {
        messages_.ShowMessage("ERROR! Invalid MSR!");
        messages_.SetFocus(kFieldAddMsr);
        return false;
    }
    msr = HexValue(text);
    return true;
}

void MsrTool::AddEntry(uint32_t msr, const std::string& description) {
    if (list_.full()) return;
    MsrEntry entry;
    entry.msr = msr;
    entry.description = description.substr(0, kAddDescriptionMax);
    list_.entries.push_back(std::move(entry));
    ReadValuesAndShow();
    saveEnabled_ = true;
}

bool MsrTool::Add(const std::string& msrText, const std::string& description) {
    uint32_t msr = 0;
    if (!BeginAdd() || !ValidateAddDialog(msrText, msr)) return false;
    AddEntry(msr, description);
    return true;
}

void MsrTool::Remove() {
    if (selectedRow_ < 0 || static_cast<size_t>(selectedRow_) >= list_.entries.size()) {
        messages_.ShowMessage("Error! No items were selected!\n");
        return;
    }
    list_.entries.erase(list_.entries.begin() + selectedRow_);
    rows_.erase(rows_.begin() + selectedRow_);
    selectedRow_ = -1;
    if (list_.entries.empty()) saveEnabled_ = false;
}

void MsrTool::ClearAll() {
    list_.entries.clear();
    rows_.clear();
    selectedRow_ = -1;
    eaxText.clear();
    edxText.clear();
    esiText.clear();
    ediText.clear();
    saveEnabled_ = false;
    removeEnabled_ = false;
    targetMsr_ = 0;
}

void MsrTool::Refresh() {
    ReadValuesAndShow();
}

bool MsrTool::LoadFile(const std::string& path) {
    if (!LoadMsrList(list_, path, messages_)) return false;
    ReadValuesAndShow();
    saveEnabled_ = true;
    return true;
}

bool MsrTool::BeginSave() {
    if (list_.entries.empty()) {
        messages_.ShowMessage("Error!  Nothing to save!");
        return false;
    }
    return true;
}

bool MsrTool::SaveFile(const std::string& path) {
    return SaveMsrList(list_, path, messages_);
}

bool MsrTool::ReadField(const std::string& text, bool required, const char* field,
                        const char* message, uint32_t& value) {
    std::string t = text.substr(0, 255);
    if (t.empty() && !required) {
        value = 0;
        return true;
    }
    if (t.size() > kFieldMaxChars || !IsHexText(t)) {
        messages_.ShowMessage(message);
        messages_.SetFocus(field);
        return false;
    }
    value = HexValue(t);
    return true;
}

bool MsrTool::Write() {
    uint32_t eax = 0, edx = 0, edi = 0, esi = 0;
    if (!ReadField(edxText, true, kFieldEdx, "Error!  Input EDX error!", edx)) return false;
    if (!ReadField(eaxText, true, kFieldEax, "Error!  Input EAX error!", eax)) return false;
    if (!ReadField(ediText, false, kFieldEdi, "Error!  Input EDI error!", edi)) return false;
    if (!ReadField(esiText, false, kFieldEsi, "Error!  Input ESI error!", esi)) return false;
    int ok = client_.ConsumerForm()
                 ? WriteMsrUnpinned(client_, targetMsr_, eax, edx, edi, esi)
                 : WriteMsrOnProcessor(client_, targetMsr_, eax, edx, edi, esi,
                                       static_cast<uint32_t>(selectedProcessor_));
    if (!ok) {
        messages_.ShowMessage("Error!  Write MSR failed");
        return false;
    }
    return true;
}

void MsrTool::ReadValuesAndShow() {
    ReadAllMsrValues(list_, static_cast<uint32_t>(selectedProcessor_), client_);
    ShowList();
}

void MsrTool::ShowList() {
    rows_.clear();
    selectedRow_ = -1;
    for (MsrEntry& entry : list_.entries) {
        MsrRow row;
        row.msr = Format("%08X", entry.msr);
        // A read the daemon did not serve has no value to show.
        if (!entry.served || (entry.eax == 0xFFFFFFFF && entry.edx == 0xFFFFFFFF)) {
            row.eax = row.edx = "N/A";
            row.failed = !entry.served;
            row.failure = entry.failure;
            entry.status = -1;
        } else {
            row.eax = Format("%08X", entry.eax);
            row.edx = Format("%08X", entry.edx);
            entry.status = 0;
        }
        row.description = entry.description;
        rows_.push_back(std::move(row));
    }
}

void MsrTool::WriteReport(ReportStream& out) const {
    out.Write("========================= MSR Information==========================\n\n");
    out.Printf("%12s%12s%12s\t%s\n", "MSR (ECX)", "EAX", "EDX", "Description");
    for (const MsrRow& row : rows_) {
        out.Printf("%12s%12s%12s\t%s\n", row.msr.c_str(), row.eax.c_str(), row.edx.c_str(),
                   row.description.c_str());
    }
}

}  // namespace kvt
