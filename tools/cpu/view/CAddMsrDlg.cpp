#include "tools/cpu/view/CAddMsrDlg.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "tools/cpu/msr_tool.h"

namespace kvt {

CAddMsrDlg::CAddMsrDlg(const MsrTool& tool, QWidget* parent) : QDialog(parent), tool_(tool) {
    setWindowTitle(tr("Add MSR"));
    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(tr("MSR (ECX):")), 0, 0);
    msrField_ = new QLineEdit;
    msrField_->setMaxLength(static_cast<int>(MsrTool::kFieldMaxChars));
    layout->addWidget(msrField_, 0, 1);
    layout->addWidget(new QLabel(tr("Description:")), 1, 0);
    descriptionField_ = new QLineEdit;
    layout->addWidget(descriptionField_, 1, 1);
    auto* buttons = new QHBoxLayout;
    add_ = new QPushButton(tr("Add"));
    add_->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"));
    buttons->addStretch();
    buttons->addWidget(add_);
    buttons->addWidget(cancel);
    layout->addLayout(buttons, 2, 0, 1, 2);
    connect(add_, &QPushButton::clicked, this, &CAddMsrDlg::AddClicked);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    msrField_->setFocus();
}

void CAddMsrDlg::AddClicked() {
    // The model checks the text and reports a refusal (its focus move lands on msrField_).
    if (!tool_.ValidateAddDialog(msrField_->text().toStdString(), msr_)) return;
    description_ = descriptionField_->text().toStdString().substr(0, MsrTool::kAddDescriptionMax);
    accept();
}

}  // namespace kvt
