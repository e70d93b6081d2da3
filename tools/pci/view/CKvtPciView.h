// The PCI Read/Write window: selectors, base field, filter, device list, register list, write
// and find fields. The rules live in PciTool; this view shows its state.
#pragma once

#include <QDialog>
#include <memory>

#include "shell/messages.h"
#include "shell/tool_view.h"
#include "tools/pci/pci_tool.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace kvt {

// "PCI Device Save Selection": which report Save writes. Result 1 all devices (the default
// button), 2 the current device (also Escape and closing the dialog).
class CSavePciDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CSavePciDlg(QWidget* parent = nullptr);
    QPushButton* allButton() const { return all_; }
    QPushButton* currentButton() const { return current_; }
    void reject() override { done(PciTool::kSaveCurrent); }

  private:
    QPushButton *all_ = nullptr, *current_ = nullptr;
};

class CKvtPciView : public ToolView, public PciToolHost {
    Q_OBJECT
  public:
    explicit CKvtPciView(const ToolContext& context, QWidget* parent = nullptr);
    ~CKvtPciView() override;

    void WriteReport(ReportStream& out) override;

    // The controls, for the tests.
    QComboBox* busSelector() const { return bus_; }
    QComboBox* deviceSelector() const { return device_; }
    QComboBox* functionSelector() const { return function_; }
    QComboBox* baseField() const { return base_; }
    QRadioButton* bothFilter() const { return both_; }
    QRadioButton* pciFilter() const { return pciOnly_; }
    QRadioButton* expressFilter() const { return expressOnly_; }
    QLabel* deviceListLabel() const { return deviceLabel_; }
    QComboBox* deviceList() const { return deviceList_; }
    QPushButton* scanButton() const { return scan_; }
    QPushButton* refreshButton() const { return refresh_; }
    QLabel* registerListLabel() const { return registerLabel_; }
    QTreeWidget* registerList() const { return registers_; }
    // The shown function's decoded capabilities: capability -> fields (value, register).
    QTreeWidget* capabilityTree() const { return capabilities_; }
    QLineEdit* configAddressField() const { return configAddress_; }
    QLabel* registerLine() const { return registerLine_; }
    QLineEdit* valueField() const { return value_; }
    QPushButton* writeButton() const { return write_; }
    QLineEdit* idField() const { return id_; }
    QPushButton* findButton() const { return find_; }
    QAction* watchAction() const { return watch_; }
    const PciTool& model() const { return *model_; }

  private:
    // PciToolHost
    void OpenGroupIoAt(uint32_t firstPort, uint32_t count) override;
    void OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) override;

    QWidget* FieldWidget(std::string_view field) const;
    void PullFields();
    void PushState();
    void PushCapabilities();
    template <typename Fn>
    void Act(Fn action);

    std::unique_ptr<ViewMessages> messages_;
    std::unique_ptr<PciTool> model_;
    ToolHost* host_ = nullptr;
    bool pushing_ = false;  // the view is showing the model's state: no selection events

    QComboBox *bus_ = nullptr, *device_ = nullptr, *function_ = nullptr, *base_ = nullptr;
    QRadioButton *both_ = nullptr, *pciOnly_ = nullptr, *expressOnly_ = nullptr;
    QLabel* deviceLabel_ = nullptr;
    QComboBox* deviceList_ = nullptr;
    QPushButton *scan_ = nullptr, *refresh_ = nullptr;
    QLabel* registerLabel_ = nullptr;
    QTreeWidget* registers_ = nullptr;
    QTreeWidget* capabilities_ = nullptr;
    std::string capabilitiesShown_;  // the text of what the tree shows, to rebuild on change
    QLineEdit* configAddress_ = nullptr;
    QLabel* registerLine_ = nullptr;
    QLineEdit *value_ = nullptr, *id_ = nullptr;
    QPushButton *write_ = nullptr, *find_ = nullptr;
    QAction* watch_ = nullptr;
};

}  // namespace kvt
