// The CPUID tool's window: processor choice, function list, register text and clock.
#pragma once

#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/cpu/cpuid_tool.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTreeWidget;

namespace kvt {

class CKvtCpuidView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtCpuidView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtCpuidView() override;

    void WriteReport(ReportStream& out) override;

    const CpuidTool& model() const { return *tool_; }
    QComboBox* processorList() const { return processors_; }
    QTreeWidget* functionList() const { return functions_; }
    QPlainTextEdit* registerPanel() const { return text_; }
    QLabel* speedLabel() const { return speedCaption_; }
    QLabel* speedValue() const { return speedValue_; }

  private:
    void ProcessorChanged(int index);
    void RowChanged();
    void ShowRows();
    void ShowClock();

    ViewMessages messages_;
    std::unique_ptr<CpuidTool> tool_;
    QComboBox* processors_ = nullptr;
    QTreeWidget* functions_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    QLabel* speedCaption_ = nullptr;
    QLabel* speedValue_ = nullptr;
    bool filling_ = false;
};

}  // namespace kvt
