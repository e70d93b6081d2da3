// The SMBus tool's window: controller and slave lists, the read and write groups and the
// data list of what was read.
#pragma once

#include <memory>
#include <string_view>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/smbus/smbus_tool.h"

class QComboBox;
class QLineEdit;
class QProgressDialog;
class QPushButton;
class QTreeWidget;

namespace kvt {

class CKvtSmbusView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtSmbusView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtSmbusView() override;
    void WriteReport(ReportStream& out) override;

    // The actions behind the controls (Start runs when the view is first shown).
    void Start();
    void Scan();
    void ReadRange();
    void BlockRead();
    void WriteByte();
    void PatchBlock();
    void DecodeSpd();

    const SmbusTool& model() const { return *tool_; }
    QComboBox* controllerList() const { return controllers_; }
    QComboBox* slaveList() const { return slaves_; }
    QTreeWidget* dataList() const { return list_; }
    QLineEdit* baseField() const { return base_; }
    QLineEdit* field(std::string_view name) const;
    QPushButton* button(const QString& caption) const;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void TakeFields();
    void ShowState();
    void Progress(int done, int total);

    ViewMessages messages_;
    std::unique_ptr<SmbusTool> tool_;
    bool started_ = false;
    QComboBox* controllers_ = nullptr;
    QComboBox* slaves_ = nullptr;
    QLineEdit* base_ = nullptr;
    QLineEdit *readAddress_ = nullptr, *startOffset_ = nullptr, *length_ = nullptr;
    QLineEdit *writeAddress_ = nullptr, *offset_ = nullptr, *data_ = nullptr;
    QPushButton *scan_ = nullptr, *read_ = nullptr, *blockRead_ = nullptr, *write_ = nullptr,
                *blockWrite_ = nullptr, *decodeSpd_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QProgressDialog* progress_ = nullptr;
};

}  // namespace kvt
