#include "tools/journal/view/CKvtJournalView.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "shell/list_columns.h"

namespace kvt {

CKvtJournalView::CKvtJournalView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("CKvtJournalView"));
    messages_ = std::make_unique<ViewMessages>(this, nullptr);
    model_ = std::make_unique<JournalTool>(*context.client, *messages_);
    model_->askForce = [this](const std::string& question) {
        QMessageBox box(QMessageBox::Question, MessageCaption(), QString::fromStdString(question),
                        QMessageBox::Yes | QMessageBox::No, this);
        box.setObjectName(QStringLiteral("KorvantaQuestion"));
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };

    auto* layout = new QVBoxLayout(this);
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("journal"));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({tr("Id"), tr("Time"), tr("User"), tr("Kind"), tr("Address"),
                            tr("Width"), tr("Old"), tr("New"), tr("Undo")});
    list_->header()->setDefaultAlignment(Qt::AlignLeft);
    layout->addWidget(list_);

    auto* buttons = new QHBoxLayout;
    undoButton_ = new QPushButton(tr("Undo"), this);
    undoButton_->setObjectName(QStringLiteral("undo"));
    refreshButton_ = new QPushButton(tr("Refresh"), this);
    refreshButton_->setObjectName(QStringLiteral("refresh"));
    buttons->addWidget(undoButton_);
    buttons->addWidget(refreshButton_);
    buttons->addStretch();
    layout->addLayout(buttons);

    connect(undoButton_, &QPushButton::clicked, this, &CKvtJournalView::UndoSelected);
    connect(refreshButton_, &QPushButton::clicked, this, &CKvtJournalView::Refresh);
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { UndoSelected(); });

    Refresh();
    resize(760, 320);
}

CKvtJournalView::~CKvtJournalView() = default;

void CKvtJournalView::Refresh() {
    model_->Refresh();
    ShowRows();
}

void CKvtJournalView::UndoSelected() {
    QTreeWidgetItem* item = list_->currentItem();
    const int index = item != nullptr && item->isSelected() ? list_->indexOfTopLevelItem(item) : -1;
    model_->Undo(index < 0 ? model_->rows().size() : static_cast<size_t>(index));
    ShowRows();
}

void CKvtJournalView::ShowRows() {
    list_->clear();
    const std::vector<JournalRow>& rows = model_->rows();
    QList<QTreeWidgetItem*> items;
    for (size_t i = 0; i < rows.size(); ++i) {
        const JournalRow& r = rows[i];
        QString undo = r.undoOf            ? tr("undo of %1").arg(*r.undoOf)
                       : model_->Undone(i) ? tr("undone")
                                           : QString();
        items << new QTreeWidgetItem(
            {QString::number(r.id), QString::fromStdString(r.time), QString::fromStdString(r.user),
             QString::fromStdString(r.kind), QString::fromStdString(r.address),
             QString::fromStdString(r.width), QString::fromStdString(r.oldValue),
             QString::fromStdString(r.newValue), undo});
    }
    list_->addTopLevelItems(items);
    FitColumns(list_);
    if (!items.isEmpty()) list_->scrollToItem(items.back());
}

void CKvtJournalView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

}  // namespace kvt
