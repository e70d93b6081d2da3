// The Memory Dump window: address and size fields, Dump, Write and Clear, the hex edit
// control over the window's data file, and the search panel. The rules live in
// MemoryDumpTool.
#pragma once

#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/hexview/memory_dump_tool.h"

class QLineEdit;
class QPushButton;

namespace kvt {

class CHexDumpCtrl;
class SearchBar;

class CKvtMemoryView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtMemoryView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtMemoryView() override;

    void WriteReport(ReportStream& out) override;
    void Preset(uint32_t physicalAddress, uint32_t size) override;
    bool CanCopy() const override;
    bool CanCut() const override;
    bool CanPaste() const override;
    void Copy() override;
    void Cut() override;

    QLineEdit* addressEdit() const { return address_; }
    QLineEdit* sizeEdit() const { return size_; }
    QPushButton* dumpButton() const { return dump_; }
    QPushButton* writeButton() const { return write_; }
    QPushButton* clearButton() const { return clear_; }
    CHexDumpCtrl* control() const { return control_; }
    SearchBar* searchBar() const { return search_; }
    const MemoryDumpTool& model() const { return *model_; }

  private:
    QWidget* FieldWidget(std::string_view field) const;
    void Pull();
    void Push();

    HexDocument document_;
    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<MemoryDumpTool> model_;
    QLineEdit* address_;
    QLineEdit* size_;
    QPushButton* dump_;
    QPushButton* write_;
    QPushButton* clear_;
    CHexDumpCtrl* control_;
    SearchBar* search_;
};

// The base name of a window's files in the program's private temporary folder; empty when
// there is no such folder.
std::string WindowBaseName(const ToolContext& context, const QString& name);

}  // namespace kvt
