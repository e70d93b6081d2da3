#include "tools/io/view/CKVTGroupIOView.h"

#include <QApplication>
#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "hwaccess/request_failure.h"
#include "platform/report_stream.h"
#include "shell/driver_wait.h"

namespace kvt {

namespace {

QLineEdit* MakeEntry(QWidget* parent, const QString& name) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(GroupIoTool::kTypingLimit);
    QFontMetrics fm(edit->font());
    edit->setFixedWidth(fm.horizontalAdvance(QStringLiteral("DDDD")) + 18);
    return edit;
}

}  // namespace

CKVTGroupIOView::CKVTGroupIOView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("CKVTGroupIOView"));
    messages_ = std::make_unique<ViewMessages>(
        this, [this](std::string_view field) { return FieldWidget(field); },
        [this] { PushState(); });
    model_ = std::make_unique<GroupIoTool>(*context.client, *messages_);
    wait_ = context.wait;
    capabilities_ = context.capabilities;

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);

    auto* modeBox = new QGroupBox(this);
    auto* grid = new QGridLayout(modeBox);
    direct_ = new QRadioButton(QStringLiteral("Direct I/O Access"), modeBox);
    direct_->setObjectName(QStringLiteral("directMode"));
    index_ = new QRadioButton(QStringLiteral("Index I/O Access (All Hex Value)"), modeBox);
    index_->setObjectName(QStringLiteral("indexMode"));
    direct_->setChecked(true);
    start_ = MakeEntry(modeBox, QStringLiteral("startEdit"));
    end_ = MakeEntry(modeBox, QStringLiteral("endEdit"));
    indexPort_ = MakeEntry(modeBox, QStringLiteral("indexPortEdit"));
    dataPort_ = MakeEntry(modeBox, QStringLiteral("dataPortEdit"));
    startOffset_ = MakeEntry(modeBox, QStringLiteral("startOffsetEdit"));
    endOffset_ = MakeEntry(modeBox, QStringLiteral("endOffsetEdit"));
    grid->addWidget(direct_, 0, 0, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Start I/O Addr (Hex):"), modeBox), 1, 0);
    grid->addWidget(start_, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("End I/O Addr (Hex):"), modeBox), 1, 2);
    grid->addWidget(end_, 1, 3);
    grid->addWidget(index_, 2, 0, 1, 4);
    grid->addWidget(new QLabel(QStringLiteral("Index Port: "), modeBox), 3, 0);
    grid->addWidget(indexPort_, 3, 1);
    grid->addWidget(new QLabel(QStringLiteral("Data Port:"), modeBox), 3, 2);
    grid->addWidget(dataPort_, 3, 3);
    grid->addWidget(new QLabel(QStringLiteral("Start Offset:"), modeBox), 4, 0);
    grid->addWidget(startOffset_, 4, 1);
    grid->addWidget(new QLabel(QStringLiteral("End Offset:"), modeBox), 4, 2);
    grid->addWidget(endOffset_, 4, 3);
    grid->setColumnStretch(4, 1);
    outer->addWidget(modeBox);

    auto* widthBox = new QGroupBox(QStringLiteral("Port Data Length"), this);
    auto* wl = new QHBoxLayout(widthBox);
    width_ = new QButtonGroup(this);
    const std::pair<const char*, int> widths[] = {{"Byte", 1}, {"Word", 2}, {"Dword", 4}};
    for (const auto& [text, id] : widths) {
        auto* radio = new QRadioButton(QString::fromLatin1(text), widthBox);
        radio->setObjectName(QStringLiteral("width") + QString::fromLatin1(text));
        width_->addButton(radio, id);
        wl->addWidget(radio);
    }
    width_->button(1)->setChecked(true);
    wl->addStretch(1);
    read_ = new QPushButton(QStringLiteral("Read"), widthBox);
    read_->setObjectName(QStringLiteral("read"));
    wl->addWidget(read_);
    outer->addWidget(widthBox);

    outer->addWidget(new QLabel(QStringLiteral("I/O Data"), this));
    list_ = new QTreeView(this);
    list_->setObjectName(QStringLiteral("ioData"));
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->header()->setStretchLastSection(false);
    rows_ = new TextRowsModel([this] { return static_cast<int>(model_->rows().size()); },
                              [this](int row, int column) {
                                  const GroupIoTool::Row& r =
                                      model_->rows()[static_cast<size_t>(row)];
                                  return QString::fromStdString(column == 0 ? r.address : r.data);
                              },
                              list_);
    rows_->setToolTips([this](int row, int column) {
        const GroupIoTool::Row& r = model_->rows()[static_cast<size_t>(row)];
        if (column != 1 || r.value) return QString();
        return QStringLiteral("Failed: ") + QString::fromStdString(DescribeRequestFailure(
                                                r.failure, AccessKind::Ports, capabilities_));
    });
    list_->setModel(rows_);
    outer->addWidget(list_, 1);

    connect(direct_, &QRadioButton::clicked, this,
            [this] { OnModeClicked(GroupIoTool::Mode::Direct); });
    connect(index_, &QRadioButton::clicked, this,
            [this] { OnModeClicked(GroupIoTool::Mode::Index); });
    connect(read_, &QPushButton::clicked, this, [this] { Act([this] { ReadWithProgress(); }); });
    ApplyMode();
    start_->setFocus();
}

CKVTGroupIOView::~CKVTGroupIOView() = default;

QWidget* CKVTGroupIOView::FieldWidget(std::string_view field) const {
    if (field == GroupIoTool::kFieldStart) return start_;
    if (field == GroupIoTool::kFieldEnd) return end_;
    if (field == GroupIoTool::kFieldIndexPort) return indexPort_;
    if (field == GroupIoTool::kFieldDataPort) return dataPort_;
    if (field == GroupIoTool::kFieldStartOffset) return startOffset_;
    if (field == GroupIoTool::kFieldEndOffset) return endOffset_;
    return nullptr;
}

void CKVTGroupIOView::setWidth(uint32_t width) {
    if (auto* b = width_->button(static_cast<int>(width))) b->setChecked(true);
}

void CKVTGroupIOView::OnModeClicked(GroupIoTool::Mode mode) {
    if (mode == model_->mode()) return;
    model_->SelectMode(mode);
    ApplyMode();
}

// Enables the fields of the mode and gives the list that mode's columns (and its rows).
void CKVTGroupIOView::ApplyMode() {
    const bool direct = model_->mode() == GroupIoTool::Mode::Direct;
    direct_->setChecked(direct);
    index_->setChecked(!direct);
    start_->setEnabled(direct);
    end_->setEnabled(direct);
    for (QLineEdit* e : {indexPort_, dataPort_, startOffset_, endOffset_}) e->setEnabled(!direct);
    rows_->setHeaders({QString::fromLatin1(GroupIoColumn(model_->mode(), 0)),
                       QString::fromLatin1(GroupIoColumn(model_->mode(), 1))},
                      Qt::AlignCenter);
    list_->setColumnWidth(0, direct ? 120 : 100);
    list_->setColumnWidth(1, 100);
}

void CKVTGroupIOView::PullFields() {
    model_->start = start_->text().toStdString();
    model_->end = end_->text().toStdString();
    model_->indexPort = indexPort_->text().toStdString();
    model_->dataPort = dataPort_->text().toStdString();
    model_->startOffset = startOffset_->text().toStdString();
    model_->endOffset = endOffset_->text().toStdString();
    model_->width = static_cast<uint32_t>(width_->checkedId());
}

void CKVTGroupIOView::PushState() {
    start_->setText(QString::fromStdString(model_->start));
    end_->setText(QString::fromStdString(model_->end));
    rows_->reload();
}

template <typename Fn>
void CKVTGroupIOView::Act(Fn action) {
    PullFields();
    action();
    PushState();
}

// A dump of many ports shows its progress once it takes a while, and may be cancelled; the
// rows read until then stay.
void CKVTGroupIOView::ReadWithProgress(const std::function<void()>& read) {
    DriverWait::Action action(wait_, QStringLiteral("Reading the ports..."), 0);
    model_->progress = [&action](size_t done, size_t total) {
        action.SetTotal(total);
        return action.Step(done);
    };
    read ? read() : model_->Read();
    model_->progress = nullptr;
}

void CKVTGroupIOView::Preset(uint32_t first, uint32_t count) {
    Act([&] {
        ReadWithProgress([&] { model_->Preset(first, count); });
        ApplyMode();
    });
}

void CKVTGroupIOView::WriteReport(ReportStream& out) {
    // The mode is the one on screen; the port texts those the rows were read with.
    PullFields();
    model_->WriteReport(out);
}

}  // namespace kvt
