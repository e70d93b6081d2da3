// The Add MSR dialog: one new entry of the MSR tool's list.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

class QLineEdit;
class QPushButton;

namespace kvt {

class MsrTool;

class CAddMsrDlg : public QDialog {
    Q_OBJECT
  public:
    CAddMsrDlg(const MsrTool& tool, QWidget* parent = nullptr);

    uint32_t msr() const { return msr_; }
    const std::string& description() const { return description_; }
    QLineEdit* msrField() const { return msrField_; }
    QLineEdit* descriptionField() const { return descriptionField_; }
    QPushButton* addButton() const { return add_; }

  private:
    void AddClicked();

    const MsrTool& tool_;
    QLineEdit* msrField_ = nullptr;
    QLineEdit* descriptionField_ = nullptr;
    QPushButton* add_ = nullptr;
    uint32_t msr_ = 0;
    std::string description_;
};

}  // namespace kvt
