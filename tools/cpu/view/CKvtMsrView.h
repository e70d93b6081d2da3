// The MSR tool's window: register list, processor choice, list files and the write group.
#pragma once

#include <QPointer>
#include <memory>
#include <string>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/cpu/msr_tool.h"
#include "tools/cpu/view/CAddMsrDlg.h"

class QAction;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace kvt {

class CKvtMsrView : public ToolView {
    Q_OBJECT
  public:
    explicit CKvtMsrView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtMsrView() override;

    void WriteReport(ReportStream& out) override;

    // The actions behind the buttons; Load and Save ask for a file first.
    void Add();
    void Remove();
    void Refresh();
    void ClearAll();
    void Load();
    void Save();
    void Write();
    // Load and Save once the file is chosen.
    void LoadFrom(const QString& path);
    void SaveTo(const QString& path);

    const MsrTool& model() const { return *tool_; }
    QTreeWidget* registerList() const { return list_; }
    QComboBox* processorList() const { return processors_; }
    QGroupBox* writeGroup() const { return writeGroup_; }
    QLineEdit* field(const char* name) const;
    QPushButton* button(const QString& caption) const;
    CAddMsrDlg* openDialog() const { return dialog_; }
    QAction* watchAction() const { return watch_; }

  private:
    QWidget* FieldWidget(std::string_view name) const;
    void RowChanged();
    void TakeFields();
    void ShowState();
    QString StartFolder() const;

    ToolHost* host_ = nullptr;
    const DriverCapabilities* capabilities_ = nullptr;  // what the driver offers, for N/A tips
    ViewMessages messages_;
    std::unique_ptr<MsrTool> tool_;
    QTreeWidget* list_ = nullptr;
    QComboBox* processors_ = nullptr;
    QGroupBox* writeGroup_ = nullptr;
    QLineEdit* eax_ = nullptr;
    QLineEdit* edx_ = nullptr;
    QLineEdit* esi_ = nullptr;
    QLineEdit* edi_ = nullptr;
    QPushButton* load_ = nullptr;
    QPushButton* save_ = nullptr;
    QPushButton* add_ = nullptr;
    QPushButton* remove_ = nullptr;
    QPushButton* refresh_ = nullptr;
    QPushButton* clearAll_ = nullptr;
    QPushButton* write_ = nullptr;
    QPointer<CAddMsrDlg> dialog_;
    QAction* watch_ = nullptr;
    bool filling_ = false;
};

}  // namespace kvt
