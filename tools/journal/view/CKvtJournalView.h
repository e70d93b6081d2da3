// The Write Journal window: the writes the daemon journaled, oldest first, with Undo of the
// selected one and Refresh. Every rule is JournalTool's.
#pragma once

#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/journal/journal_tool.h"

class QPushButton;
class QTreeWidget;

namespace kvt {

class CKvtJournalView : public ToolView {
    Q_OBJECT
  public:
    // The list's columns.
    enum Column { Id, Time, User, Kind, Address, Width, Old, New, Undo, ColumnCount };

    explicit CKvtJournalView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtJournalView() override;

    void WriteReport(ReportStream& out) override;

    QTreeWidget* list() const { return list_; }
    QPushButton* undoButton() const { return undoButton_; }
    QPushButton* refreshButton() const { return refreshButton_; }
    const JournalTool& model() const { return *model_; }

    void Refresh();
    void UndoSelected();

  private:
    void ShowRows();

    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<JournalTool> model_;
    QTreeWidget* list_ = nullptr;
    QPushButton* undoButton_ = nullptr;
    QPushButton* refreshButton_ = nullptr;
};

}  // namespace kvt
