#include "tools/cpu/view/CKvtCpuidView.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <QTreeWidget>

#include "tools/cpu/view/processor_list.h"

namespace kvt {

namespace {

// The decoders end their lines in CR LF; the panel wants plain line feeds.
QString PanelText(const std::string& text) {
    QString out = QString::fromStdString(text);
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return out;
}

}  // namespace

CKvtCpuidView::CKvtCpuidView(const ToolContext& context, QWidget* parent)
    : ToolView(parent), messages_(this, [](std::string_view) -> QWidget* { return nullptr; }) {
    tool_ = std::make_unique<CpuidTool>(*context.platform, *context.client, messages_);

    auto* layout = new QGridLayout(this);
    layout->addWidget(new QLabel(tr("Processor Number:")), 0, 0);
    processors_ = new QComboBox;
    layout->addWidget(processors_, 0, 1, Qt::AlignLeft);

    layout->addWidget(new QLabel(tr("CPUID Functions/Extended Functions:")), 1, 0, 1, 2);
    functions_ = new QTreeWidget;
    functions_->setRootIsDecorated(false);
    functions_->setSelectionBehavior(QAbstractItemView::SelectRows);
    functions_->setSelectionMode(QAbstractItemView::SingleSelection);
    functions_->setHeaderLabels({tr("Function ID"), tr("Description"), tr("Value")});
    functions_->headerItem()->setTextAlignment(0, Qt::AlignCenter);
    functions_->headerItem()->setTextAlignment(1, Qt::AlignCenter);
    functions_->headerItem()->setTextAlignment(2, Qt::AlignLeft);
    functions_->setColumnWidth(0, 130);
    functions_->setColumnWidth(1, 160);
    functions_->setColumnWidth(2, 120);
    layout->addWidget(functions_, 2, 0, 1, 2);

    layout->addWidget(new QLabel(tr("Register Bits Information:")), 3, 0, 1, 2);
    text_ = new QPlainTextEdit;
    text_->setReadOnly(true);
    text_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    text_->setLineWrapMode(QPlainTextEdit::NoWrap);
    text_->setFont(QFont(QStringLiteral("Monospace")));
    layout->addWidget(text_, 4, 0, 1, 2);
    // On resizing only the text panel grows or shrinks; its bottom follows the view's.
    functions_->setMinimumHeight(220);
    layout->setRowStretch(4, 1);

    auto* speed = new QHBoxLayout;
    speedCaption_ = new QLabel(tr("Calculated Speed: "));
    speedValue_ = new QLabel;
    speed->addWidget(speedCaption_);
    speed->addWidget(speedValue_);
    speed->addStretch();
    layout->addLayout(speed, 5, 0, 1, 2);
    layout->setContentsMargins(10, 10, 10, 10);

    tool_->Open();
    FillProcessorList(processors_, tool_->processors(), tool_->processorListEnabled());
    ShowRows();
    ShowClock();

    connect(processors_, &QComboBox::currentIndexChanged, this, &CKvtCpuidView::ProcessorChanged);
    connect(functions_, &QTreeWidget::itemSelectionChanged, this, &CKvtCpuidView::RowChanged);
}

CKvtCpuidView::~CKvtCpuidView() = default;

void CKvtCpuidView::WriteReport(ReportStream& out) {
    tool_->WriteReport(out);
}

void CKvtCpuidView::ProcessorChanged(int index) {
    if (index < 0) return;
    tool_->SelectProcessor(index);
    ShowRows();
    ShowClock();
}

void CKvtCpuidView::RowChanged() {
    if (filling_) return;
    // Only a selected row counts; a deselection keeps the panel's text.
    const QList<QTreeWidgetItem*> selected = functions_->selectedItems();
    tool_->SelectRow(selected.isEmpty() ? -1 : functions_->indexOfTopLevelItem(selected.first()));
    if (selected.isEmpty()) return;
    text_->setPlainText(PanelText(tool_->registerText()));
}

void CKvtCpuidView::ShowRows() {
    filling_ = true;
    functions_->clear();
    QList<QTreeWidgetItem*> items;
    for (const CpuidRow& row : tool_->rows()) {
        auto* item = new QTreeWidgetItem({QString::fromStdString(row.id),
                                          QString::fromStdString(row.description),
                                          QString::fromStdString(row.value)});
        item->setTextAlignment(0, Qt::AlignCenter);
        item->setTextAlignment(1, Qt::AlignCenter);
        items.append(item);
    }
    functions_->addTopLevelItems(items);
    text_->clear();
    filling_ = false;
}

void CKvtCpuidView::ShowClock() {
    speedCaption_->setVisible(tool_->clockVisible());
    speedValue_->setVisible(tool_->clockVisible());
    speedValue_->setText(QString::fromStdString(tool_->clockText()));
}

}  // namespace kvt
