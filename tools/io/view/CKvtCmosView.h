// The CMOS Read/Write window: bank list, size choice, the dump list, offset and data fields,
// Refresh and Write. The rules live in CmosTool; this view shows its state.
#pragma once

#include <memory>

#include "shell/messages.h"
#include "shell/text_rows_model.h"
#include "shell/tool_view.h"
#include "tools/io/cmos_tool.h"

class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTreeView;

namespace kvt {

class CKvtCmosView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtCmosView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtCmosView() override;

    void WriteReport(ReportStream& out) override;

    // The controls, for the tests.
    QListWidget* bankList() const { return banks_; }
    QRadioButton* size128Choice() const { return size128_; }
    QRadioButton* size256Choice() const { return size256_; }
    QTreeView* dumpList() const { return list_; }
    QLineEdit* offsetEdit() const { return offset_; }
    QLineEdit* dataEdit() const { return data_; }
    QPushButton* refreshButton() const { return refresh_; }
    QPushButton* writeButton() const { return write_; }
    const CmosTool& model() const { return *model_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* FieldWidget(std::string_view field) const;
    void DumpWaiting();
    void PullFields();
    void PushState();
    template <typename Fn>
    void Act(Fn action);

    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<CmosTool> model_;
    const DriverCapabilities* capabilities_ = nullptr;
    TextRowsModel* rows_ = nullptr;
    bool dumped_ = false;

    QListWidget* banks_ = nullptr;
    QRadioButton *size128_ = nullptr, *size256_ = nullptr;
    QTreeView* list_ = nullptr;
    QLineEdit *offset_ = nullptr, *data_ = nullptr;
    QPushButton *refresh_ = nullptr, *write_ = nullptr;
};

}  // namespace kvt
