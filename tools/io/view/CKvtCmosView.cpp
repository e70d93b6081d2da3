#include "tools/io/view/CKvtCmosView.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "hwaccess/request_failure.h"
#include "platform/report_stream.h"

namespace kvt {

CKvtCmosView::CKvtCmosView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("CKvtCmosView"));
    messages_ = std::make_unique<ViewMessages>(
        this, [this](std::string_view field) { return FieldWidget(field); },
        [this] { PushState(); });
    model_ = std::make_unique<CmosTool>(*context.client, *messages_);
    capabilities_ = context.capabilities;

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);

    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel(QStringLiteral("CMOS Address:"), this));
    banks_ = new QListWidget(this);
    banks_->setObjectName(QStringLiteral("bankList"));
    for (int i = 0; i < CmosTool::kBankCount; ++i) {
        banks_->addItem(QString::fromLatin1(CmosTool::BankText(i)));
    }
    banks_->setCurrentRow(0);
    banks_->setFixedHeight(banks_->sizeHintForRow(0) * CmosTool::kBankCount +
                           2 * banks_->frameWidth() + 4);
    banks_->setFixedWidth(110);
    left->addWidget(banks_);
    left->addSpacing(8);
    left->addWidget(new QLabel(QStringLiteral("CMOS Size: "), this));
    size128_ = new QRadioButton(QStringLiteral("128 Bytes"), this);
    size128_->setObjectName(QStringLiteral("size128"));
    size256_ = new QRadioButton(QStringLiteral("256 Bytes"), this);
    size256_->setObjectName(QStringLiteral("size256"));
    size128_->setChecked(true);
    left->addWidget(size128_);
    left->addWidget(size256_);
    left->addStretch(1);
    outer->addLayout(left);

    auto* right = new QVBoxLayout;
    right->addWidget(new QLabel(QStringLiteral("CMOS Data Dump:"), this));
    list_ = new QTreeView(this);
    list_->setObjectName(QStringLiteral("dumpList"));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setStretchLastSection(false);
    rows_ = new TextRowsModel(
        [this] { return static_cast<int>(model_->rows().size()); },
        [this](int row, int column) {
            const CmosTool::Row& r = model_->rows()[static_cast<size_t>(row)];
            return QString::fromStdString(column == 0 ? r.offset : column == 1 ? r.hex : r.bits);
        },
        list_);
    rows_->setToolTips([this](int row, int column) {
        const CmosTool::Row& r = model_->rows()[static_cast<size_t>(row)];
        if (column == 0 || r.value) return QString();
        return QStringLiteral("Failed: ") + QString::fromStdString(DescribeRequestFailure(
                                                r.failure, AccessKind::Ports, capabilities_));
    });
    rows_->setHeaders({QStringLiteral("Offset (Hex)"), QStringLiteral("Data (Hex)"),
                       QStringLiteral("Data (Binary)")},
                      Qt::AlignCenter);
    list_->setModel(rows_);
    list_->setColumnWidth(0, 80);
    list_->setColumnWidth(1, 80);
    list_->setColumnWidth(2, 90);
    list_->setMinimumWidth(80 + 80 + 90 + 24);
    right->addWidget(list_, 1);  // the list grows with the window

    auto* fields = new QGridLayout;
    offset_ = new QLineEdit(this);
    offset_->setObjectName(QStringLiteral("offsetEdit"));
    offset_->setMaxLength(CmosTool::kTypingLimit);
    data_ = new QLineEdit(this);
    data_->setObjectName(QStringLiteral("dataEdit"));
    data_->setMaxLength(CmosTool::kTypingLimit);
    for (QLineEdit* e : {offset_, data_}) {
        e->setFixedWidth(e->fontMetrics().horizontalAdvance(QStringLiteral("DDD")) + 18);
    }
    refresh_ = new QPushButton(QStringLiteral("Refresh"), this);
    refresh_->setObjectName(QStringLiteral("refresh"));
    write_ = new QPushButton(QStringLiteral("Write"), this);
    write_->setObjectName(QStringLiteral("write"));
    fields->addWidget(new QLabel(QStringLiteral("Offset (Hex)"), this), 0, 0);
    fields->addWidget(offset_, 0, 1);
    fields->addWidget(new QLabel(QStringLiteral("Data (Hex)"), this), 0, 2);
    fields->addWidget(data_, 0, 3);
    fields->setColumnStretch(4, 1);
    fields->addWidget(refresh_, 0, 5);
    fields->addWidget(write_, 0, 6);
    right->addLayout(fields);
    outer->addLayout(right, 1);

    connect(refresh_, &QPushButton::clicked, this, [this] { Act([this] { DumpWaiting(); }); });
    connect(write_, &QPushButton::clicked, this, [this] { Act([this] { model_->Write(); }); });
    connect(banks_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0) return;
        Act([this, row] {
            QApplication::setOverrideCursor(Qt::WaitCursor);
            model_->SelectBank(row);
            QApplication::restoreOverrideCursor();
        });
    });
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!current.isValid()) return;
                model_->SelectRow(static_cast<size_t>(current.row()));
                offset_->setText(QString::fromStdString(model_->offset));
                data_->setText(QString::fromStdString(model_->data));
            });
}

CKvtCmosView::~CKvtCmosView() = default;

void CKvtCmosView::showEvent(QShowEvent* event) {
    ToolView::showEvent(event);
    if (!dumped_) {
        dumped_ = true;
        Act([this] { DumpWaiting(); });
    }
}

void CKvtCmosView::DumpWaiting() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    model_->Dump();
    QApplication::restoreOverrideCursor();
}

QWidget* CKvtCmosView::FieldWidget(std::string_view field) const {
    if (field == CmosTool::kFieldOffset) return offset_;
    if (field == CmosTool::kFieldData) return data_;
    return nullptr;
}

void CKvtCmosView::PullFields() {
    model_->offset = offset_->text().toStdString();
    model_->data = data_->text().toStdString();
    model_->size256 = size256_->isChecked();
}

void CKvtCmosView::PushState() {
    rows_->reload();
}

template <typename Fn>
void CKvtCmosView::Act(Fn action) {
    PullFields();
    action();
    PushState();
}

void CKvtCmosView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

}  // namespace kvt
