#include "tools/cpu/view/CKvtMsrView.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "hwaccess/request_failure.h"
#include "shell/file_dialogs.h"
#include "tools/cpu/view/CAddMsrDlg.h"
#include "tools/cpu/view/processor_list.h"
#include "tools/watch/watch.h"

namespace kvt {

namespace {

const char* const kMsrFilter = "MSR Files (*.msr)|*.msr|All Files (*.*)|*.*||";

QLineEdit* HexField() {
    auto* field = new QLineEdit;
    field->setMaxLength(static_cast<int>(MsrTool::kFieldMaxChars));
    return field;
}

}  // namespace

CKvtMsrView::CKvtMsrView(const ToolContext& context, QWidget* parent)
    : ToolView(parent),
      host_(context.host),
      capabilities_(context.capabilities),
      messages_(
          this, [this](std::string_view field) { return FieldWidget(field); },
          [this] { ShowState(); }) {
    tool_ = std::make_unique<MsrTool>(*context.platform, *context.client, messages_);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(tr("Processor Number:")));
    processors_ = new QComboBox;
    top->addWidget(processors_);
    top->addStretch();
    layout->addLayout(top);

    list_ = new QTreeWidget;
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHeaderLabels({tr("MSR (ECX)"), tr("EAX"), tr("EDX"), tr("Description")});
    list_->setColumnWidth(0, 67);
    list_->setColumnWidth(1, 65);
    list_->setColumnWidth(2, 65);
    list_->setColumnWidth(3, 80);
    layout->addWidget(list_, 1);

    auto* controls = new QHBoxLayout;
    auto* fileGroup = new QGroupBox(tr("MSR Register File"));
    auto* fileLayout = new QVBoxLayout(fileGroup);
    load_ = new QPushButton(tr("Load"));
    save_ = new QPushButton(tr("Save"));
    fileLayout->addWidget(load_);
    fileLayout->addWidget(save_);
    controls->addWidget(fileGroup);

    auto* listButtons = new QGridLayout;
    add_ = new QPushButton(tr("Add "));
    remove_ = new QPushButton(tr("Remove"));
    refresh_ = new QPushButton(tr("Refresh"));
    clearAll_ = new QPushButton(tr("Clear All"));
    listButtons->addWidget(add_, 0, 0);
    listButtons->addWidget(remove_, 0, 1);
    listButtons->addWidget(refresh_, 1, 0);
    listButtons->addWidget(clearAll_, 1, 1);
    controls->addLayout(listButtons);

    writeGroup_ = new QGroupBox(tr("Write Access"));
    auto* writeLayout = new QGridLayout(writeGroup_);
    eax_ = HexField();
    edx_ = HexField();
    esi_ = HexField();
    edi_ = HexField();
    writeLayout->addWidget(new QLabel(tr("EAX")), 0, 0);
    writeLayout->addWidget(eax_, 0, 1);
    writeLayout->addWidget(new QLabel(tr("EDX")), 0, 2);
    writeLayout->addWidget(edx_, 0, 3);
    writeLayout->addWidget(new QLabel(tr("ESI")), 1, 0);
    writeLayout->addWidget(esi_, 1, 1);
    writeLayout->addWidget(new QLabel(tr("EDI")), 1, 2);
    writeLayout->addWidget(edi_, 1, 3);
    write_ = new QPushButton(tr("Write"));
    writeLayout->addWidget(write_, 0, 4, 2, 1);
    controls->addWidget(writeGroup_, 1);
    layout->addLayout(controls);

    tool_->Open();
    FillProcessorList(processors_, tool_->processors(), tool_->processorListEnabled());
    ShowState();

    connect(processors_, &QComboBox::currentIndexChanged, this,
            [this](int index) { tool_->SelectProcessor(index); });
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CKvtMsrView::RowChanged);
    connect(load_, &QPushButton::clicked, this, &CKvtMsrView::Load);
    connect(save_, &QPushButton::clicked, this, &CKvtMsrView::Save);
    connect(add_, &QPushButton::clicked, this, &CKvtMsrView::Add);
    connect(remove_, &QPushButton::clicked, this, &CKvtMsrView::Remove);
    connect(refresh_, &QPushButton::clicked, this, &CKvtMsrView::Refresh);
    connect(clearAll_, &QPushButton::clicked, this, &CKvtMsrView::ClearAll);
    connect(write_, &QPushButton::clicked, this, &CKvtMsrView::Write);
    // Watch: the selected row's MSR on the chosen processor, plotted over time.
    watch_ = new QAction(tr("Watch"), list_);
    list_->addAction(watch_);
    list_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(watch_, &QAction::triggered, this, [this] {
        const QList<QTreeWidgetItem*> selected = list_->selectedItems();
        const int row = selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.first());
        if (host_ == nullptr || row < 0 || row >= static_cast<int>(tool_->list().count())) return;
        WatchTarget target;
        target.kind = WatchKind::Msr;
        target.msr = tool_->list().entries[static_cast<size_t>(row)].msr;
        target.processor = tool_->selectedProcessor();
        host_->OpenWatch(target);
    });
}

CKvtMsrView::~CKvtMsrView() = default;

void CKvtMsrView::WriteReport(ReportStream& out) {
    tool_->WriteReport(out);
}

QLineEdit* CKvtMsrView::field(const char* name) const {
    return qobject_cast<QLineEdit*>(FieldWidget(name));
}

QPushButton* CKvtMsrView::button(const QString& caption) const {
    for (QPushButton* b : {load_, save_, add_, remove_, refresh_, clearAll_, write_}) {
        if (b->text() == caption) return b;
    }
    return nullptr;
}

QWidget* CKvtMsrView::FieldWidget(std::string_view name) const {
    if (name == MsrTool::kFieldEax) return eax_;
    if (name == MsrTool::kFieldEdx) return edx_;
    if (name == MsrTool::kFieldEsi) return esi_;
    if (name == MsrTool::kFieldEdi) return edi_;
    if (name == MsrTool::kFieldAddMsr && dialog_) return dialog_->msrField();
    return nullptr;
}

QString CKvtMsrView::StartFolder() const {
    return host_ ? host_->GetProgramFolder() : QString();
}

void CKvtMsrView::Add() {
    if (!tool_->BeginAdd()) return;
    CAddMsrDlg dialog(*tool_, this);
    dialog_ = &dialog;
    int result = dialog.exec();
    dialog_ = nullptr;
    if (result != QDialog::Accepted) return;
    tool_->AddEntry(dialog.msr(), dialog.description());
    ShowState();
}

void CKvtMsrView::Remove() {
    tool_->Remove();
    ShowState();
}

void CKvtMsrView::Refresh() {
    tool_->Refresh();
    ShowState();
}

void CKvtMsrView::ClearAll() {
    tool_->ClearAll();
    for (QLineEdit* f : {eax_, edx_, esi_, edi_}) f->clear();
    ShowState();
}

void CKvtMsrView::Load() {
    QFileDialog dialog(this, tr("Open"), StartFolder());
    SetFileDialogFilters(dialog, QString::fromLatin1(kMsrFilter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("msr"));
    dialog.selectFile(QStringLiteral("hwmsreg.msr"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    LoadFrom(dialog.selectedFiles().first());
}

void CKvtMsrView::LoadFrom(const QString& path) {
    tool_->LoadFile(path.toStdString());
    ShowState();
}

void CKvtMsrView::Save() {
    if (!tool_->BeginSave()) return;
    QFileDialog dialog(this, tr("Save As"), StartFolder());
    SetFileDialogFilters(dialog, QString::fromLatin1(kMsrFilter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("msr"));
    dialog.selectFile(QStringLiteral("hwmsreg.msr"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    SaveTo(dialog.selectedFiles().first());
}

void CKvtMsrView::SaveTo(const QString& path) {
    if (!tool_->BeginSave()) return;
    tool_->SaveFile(path.toStdString());
}

void CKvtMsrView::Write() {
    TakeFields();
    tool_->Write();
}

void CKvtMsrView::TakeFields() {
    tool_->eaxText = eax_->text().toStdString();
    tool_->edxText = edx_->text().toStdString();
    tool_->esiText = esi_->text().toStdString();
    tool_->ediText = edi_->text().toStdString();
}

void CKvtMsrView::RowChanged() {
    if (filling_) return;
    // The current item may stay behind when its row is deselected (Ctrl+click, a click on
    // empty space): only a selected row counts, and the tool hears of every deselection, so
    // Remove never takes a row nobody chose.
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) {
        tool_->SelectRow(-1);
        return;
    }
    TakeFields();
    tool_->SelectRow(list_->indexOfTopLevelItem(selected.first()));
    eax_->setText(QString::fromStdString(tool_->eaxText));
    edx_->setText(QString::fromStdString(tool_->edxText));
    writeGroup_->setTitle(QString::fromStdString(tool_->writeCaption()));
    remove_->setEnabled(tool_->removeEnabled());
}

void CKvtMsrView::ShowState() {
    filling_ = true;
    const auto& rows = tool_->rows();
    // Rebuild only when the rows changed, so a message box does not lose the selection.
    bool same = list_->topLevelItemCount() == static_cast<int>(rows.size());
    for (int i = 0; same && i < list_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = list_->topLevelItem(i);
        const MsrRow& row = rows[static_cast<size_t>(i)];
        same = item->text(0).toStdString() == row.msr && item->text(1).toStdString() == row.eax &&
               item->text(2).toStdString() == row.edx &&
               item->text(3).toStdString() == row.description;
    }
    if (!same || tool_->selectedRow() < 0) {
        list_->clear();
        QList<QTreeWidgetItem*> items;
        for (const MsrRow& row : rows) {
            auto* item = new QTreeWidgetItem(
                {QString::fromStdString(row.msr), QString::fromStdString(row.eax),
                 QString::fromStdString(row.edx), QString::fromStdString(row.description)});
            if (row.failed) {
                // The cause of an N/A that is no value: the driver's reason.
                QString tip =
                    QStringLiteral("N/A: ") + QString::fromStdString(DescribeRequestFailure(
                                                  row.failure, AccessKind::Msr, capabilities_));
                item->setToolTip(1, tip);
                item->setToolTip(2, tip);
            }
            items.append(item);
        }
        list_->addTopLevelItems(items);
    }
    remove_->setEnabled(tool_->removeEnabled());
    save_->setEnabled(tool_->saveEnabled());
    filling_ = false;
}

}  // namespace kvt
