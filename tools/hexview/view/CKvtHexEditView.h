// The Hex Viewer/Editor window: Open, Save and Save As, the path of the open file, the hex
// edit control over the window's working copy, and the search panel. The rules live in
// HexEditTool.
#pragma once

#include <functional>
#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/hexview/hex_edit_tool.h"

class QLineEdit;
class QPushButton;

namespace kvt {

class CHexDumpCtrl;
class SearchBar;

class CKvtHexEditView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtHexEditView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtHexEditView() override;

    void WriteReport(ReportStream& out) override;
    bool CanCopy() const override;
    bool CanCut() const override;
    bool CanPaste() const override;
    void Copy() override;
    void Cut() override;
    // With unsaved edits: Save / Discard / Cancel; false on Cancel or a failed save.
    bool ConfirmClose() override;

    static constexpr const char* kUnsavedQuestion = "The file has unsaved changes. Save them?";
    static constexpr const char* kWrappedToStart = "Search wrapped around to the start";
    static constexpr const char* kWrappedToEnd = "Search wrapped around to the end";

    // The offset dialog of Ctrl+G; tests put their own in. An empty text is a cancel.
    std::function<QString()> chooseOffset;

    // The file dialogs; tests put their own choosers in. An empty path is a cancel.
    std::function<QString()> chooseOpenPath;
    std::function<QString()> chooseSavePath;

    QPushButton* openButton() const { return open_; }
    QPushButton* saveButton() const { return save_; }
    QPushButton* saveAsButton() const { return saveAs_; }
    QLineEdit* pathEdit() const { return path_; }
    CHexDumpCtrl* control() const { return control_; }
    SearchBar* searchBar() const { return search_; }
    const HexEditTool& model() const { return *model_; }

  private:
    void Push();
    void SearchAgain(bool backward);
    void GoToOffset();

    HexDocument document_;
    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<HexEditTool> model_;
    QString startFolder_;
    QPushButton* open_;
    QPushButton* save_;
    QPushButton* saveAs_;
    QLineEdit* path_;
    CHexDumpCtrl* control_;
    SearchBar* search_;
};

}  // namespace kvt
