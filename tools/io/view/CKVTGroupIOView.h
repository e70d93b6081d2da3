// The Group I/O Access window: mode, the six address fields, width, Read and the result list.
// The rules live in GroupIoTool; this view shows its state.
#pragma once

#include <functional>
#include <memory>

#include "shell/messages.h"
#include "shell/text_rows_model.h"
#include "shell/tool_view.h"
#include "tools/io/group_io_tool.h"

class QButtonGroup;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeView;

namespace kvt {

class CKVTGroupIOView : public ToolView {
    Q_OBJECT
  public:
    explicit CKVTGroupIOView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKVTGroupIOView() override;

    void WriteReport(ReportStream& out) override;
    // OpenGroupIoAt: the range of `count` ports from `first`, read at once.
    void Preset(uint32_t first, uint32_t count) override;

    // The controls, for the tests.
    QRadioButton* directChoice() const { return direct_; }
    QRadioButton* indexChoice() const { return index_; }
    QLineEdit* startEdit() const { return start_; }
    QLineEdit* endEdit() const { return end_; }
    QLineEdit* indexPortEdit() const { return indexPort_; }
    QLineEdit* dataPortEdit() const { return dataPort_; }
    QLineEdit* startOffsetEdit() const { return startOffset_; }
    QLineEdit* endOffsetEdit() const { return endOffset_; }
    QPushButton* readButton() const { return read_; }
    QTreeView* list() const { return list_; }
    void setWidth(uint32_t width);
    const GroupIoTool& model() const { return *model_; }

  private:
    QWidget* FieldWidget(std::string_view field) const;
    void OnModeClicked(GroupIoTool::Mode mode);
    void ApplyMode();
    void ReadWithProgress(const std::function<void()>& read = {});
    void PullFields();
    void PushState();
    template <typename Fn>
    void Act(Fn action);

    DriverWait* wait_ = nullptr;
    const DriverCapabilities* capabilities_ = nullptr;
    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<GroupIoTool> model_;
    TextRowsModel* rows_ = nullptr;

    QRadioButton *direct_ = nullptr, *index_ = nullptr;
    QLineEdit *start_ = nullptr, *end_ = nullptr;
    QLineEdit *indexPort_ = nullptr, *dataPort_ = nullptr, *startOffset_ = nullptr,
              *endOffset_ = nullptr;
    QButtonGroup* width_ = nullptr;
    QPushButton* read_ = nullptr;
    QTreeView* list_ = nullptr;
};

}  // namespace kvt
