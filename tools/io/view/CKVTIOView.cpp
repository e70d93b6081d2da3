#include "tools/io/view/CKVTIOView.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "hwaccess/driver_client.h"
#include "hwaccess/request_failure.h"
#include "platform/report_stream.h"
#include "tools/watch/watch.h"

namespace kvt {

namespace {

QTreeWidget* MakeHistory(QWidget* parent, const QString& name,
                         const std::vector<std::pair<QString, int>>& columns) {
    auto* list = new QTreeWidget(parent);
    list->setObjectName(name);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setAlternatingRowColors(true);
    list->setColumnCount(static_cast<int>(columns.size()));
    QStringList labels;
    for (const auto& c : columns) labels << c.first;
    list->setHeaderLabels(labels);
    list->header()->setDefaultAlignment(Qt::AlignCenter);
    list->header()->setStretchLastSection(false);
    list->header()->setSectionsMovable(false);
    int total = 0;
    for (int i = 0; i < static_cast<int>(columns.size()); ++i) {
        list->setColumnWidth(i, columns[static_cast<size_t>(i)].second);
        total += columns[static_cast<size_t>(i)].second;
    }
    list->setMinimumWidth(total + 24);
    list->setMinimumHeight(90);
    return list;
}

QLineEdit* MakeEntry(QWidget* parent, const QString& name, int limit) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setMaxLength(limit);
    QFontMetrics fm(edit->font());
    edit->setFixedWidth(fm.horizontalAdvance(QString(limit, QLatin1Char('D'))) + 18);
    return edit;
}

QButtonGroup* MakeWidthChoice(QWidget* parent, QHBoxLayout* row, const QString& prefix) {
    auto* group = new QButtonGroup(parent);
    const std::pair<const char*, int> widths[] = {{"Byte", 1}, {"Word", 2}, {"Dword", 4}};
    for (const auto& [text, id] : widths) {
        auto* radio = new QRadioButton(QString::fromLatin1(text), parent);
        radio->setObjectName(prefix + QString::fromLatin1(text));
        group->addButton(radio, id);
        row->addWidget(radio);
    }
    group->button(1)->setChecked(true);
    return group;
}

void SetRowTexts(QTreeWidgetItem* item, const QStringList& texts) {
    for (int i = 0; i < texts.size(); ++i) {
        item->setText(i, texts[i]);
        item->setTextAlignment(i, Qt::AlignCenter);
    }
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

CKVTIOView::CKVTIOView(const ToolContext& context, QWidget* parent)
    : ToolView(parent), host_(context.host) {
    setObjectName(QStringLiteral("CKVTIOView"));
    messages_ = std::make_unique<ViewMessages>(
        this, [this](std::string_view field) { return FieldWidget(field); },
        [this] {
            SyncHistories();
            PushState();
        });
    model_ = std::make_unique<SingleIoTool>(*context.client, *messages_, this);
    timer_.setInterval(SingleIoTool::kTimerIntervalMs);
    capabilities_ = context.capabilities;
    connect(&timer_, &QTimer::timeout, this, [this] {
        // A tick that comes while this view's own request is waited for is skipped.
        if (!acting_) Act([this] { model_->TimerTick(); });
    });

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    outer->setSpacing(8);

    // Direct access.
    auto* direct = new QGroupBox(QStringLiteral("Direct I/O Access (All Hex Data)"), this);
    auto* dl = new QVBoxLayout(direct);
    auto* dFields = new QHBoxLayout;
    port_ = MakeEntry(direct, QStringLiteral("portEdit"), SingleIoTool::kPortTypingLimit);
    portData_ = MakeEntry(direct, QStringLiteral("portDataEdit"), SingleIoTool::kDataTypingLimit);
    dFields->addWidget(new QLabel(QStringLiteral("I/O Port"), direct));
    dFields->addWidget(port_);
    dFields->addSpacing(12);
    dFields->addWidget(new QLabel(QStringLiteral("Port Data"), direct));
    dFields->addWidget(portData_);
    dFields->addStretch(1);
    dl->addLayout(dFields);
    auto* dChoice = new QHBoxLayout;
    directWidth_ = MakeWidthChoice(direct, dChoice, QStringLiteral("direct"));
    dChoice->addStretch(1);
    directRead_ = new QPushButton(QStringLiteral("Read"), direct);
    directRead_->setObjectName(QStringLiteral("directRead"));
    directWrite_ = new QPushButton(QStringLiteral("Write"), direct);
    directWrite_->setObjectName(QStringLiteral("directWrite"));
    dChoice->addWidget(directRead_);
    dChoice->addWidget(directWrite_);
    dl->addLayout(dChoice);
    dl->addWidget(new QLabel(QStringLiteral("Direct I/O Access History:"), direct));
    directList_ = MakeHistory(direct, QStringLiteral("directHistory"),
                              {{QStringLiteral("Port (Hex)"), 65},
                               {QStringLiteral("R/W"), 37},
                               {QStringLiteral("Data (Hex)"), 82},
                               {QStringLiteral("Width"), 57}});
    dl->addWidget(directList_, 1);
    outer->addWidget(direct, 1);

    // Index access.
    auto* index = new QGroupBox(QStringLiteral("Index I/O Access (All Hex Data)"), this);
    auto* il = new QVBoxLayout(index);
    auto* iFields = new QGridLayout;
    indexPort_ = MakeEntry(index, QStringLiteral("indexPortEdit"), SingleIoTool::kPortTypingLimit);
    dataPort_ = MakeEntry(index, QStringLiteral("dataPortEdit"), SingleIoTool::kPortTypingLimit);
    offset_ = MakeEntry(index, QStringLiteral("offsetEdit"), SingleIoTool::kOffsetTypingLimit);
    indexData_ = MakeEntry(index, QStringLiteral("indexDataEdit"), SingleIoTool::kDataTypingLimit);
    iFields->addWidget(new QLabel(QStringLiteral("Index Port: "), index), 0, 0);
    iFields->addWidget(indexPort_, 0, 1);
    iFields->addWidget(new QLabel(QStringLiteral("Data Port:"), index), 0, 3);
    iFields->addWidget(dataPort_, 0, 4);
    iFields->addWidget(new QLabel(QStringLiteral("Offset:"), index), 1, 0);
    iFields->addWidget(offset_, 1, 1);
    iFields->addWidget(new QLabel(QStringLiteral("Data:"), index), 1, 3);
    iFields->addWidget(indexData_, 1, 4);
    iFields->setColumnMinimumWidth(2, 12);
    iFields->setColumnStretch(5, 1);
    il->addLayout(iFields);
    auto* iChoice = new QHBoxLayout;
    indexWidth_ = MakeWidthChoice(index, iChoice, QStringLiteral("index"));
    iChoice->addStretch(1);
    indexRead_ = new QPushButton(QStringLiteral("Read"), index);
    indexRead_->setObjectName(QStringLiteral("indexRead"));
    indexWrite_ = new QPushButton(QStringLiteral("Write"), index);
    indexWrite_->setObjectName(QStringLiteral("indexWrite"));
    iChoice->addWidget(indexRead_);
    iChoice->addWidget(indexWrite_);
    il->addLayout(iChoice);
    il->addWidget(new QLabel(QStringLiteral("Index I/O Access History:"), index));
    indexList_ = MakeHistory(index, QStringLiteral("indexHistory"),
                             {{QStringLiteral("Index Port"), 67},
                              {QStringLiteral("Data Port"), 62},
                              {QStringLiteral("Offset"), 46},
                              {QStringLiteral("R/W"), 37},
                              {QStringLiteral("Data (Hex)"), 80},
                              {QStringLiteral("Width"), 55}});
    il->addWidget(indexList_, 1);
    outer->addWidget(index, 1);

    // Timer.
    auto* timerBox = new QGroupBox(QStringLiteral("Timer based read"), this);
    auto* tl = new QVBoxLayout(timerBox);
    timerDirect_ = new QRadioButton(QStringLiteral("Direct I/O Read"), timerBox);
    timerDirect_->setObjectName(QStringLiteral("timerDirect"));
    timerIndex_ = new QRadioButton(QStringLiteral("Index IO Read"), timerBox);
    timerIndex_->setObjectName(QStringLiteral("timerIndex"));
    timerDirect_->setChecked(true);
    interval_ = MakeEntry(timerBox, QStringLiteral("intervalEdit"), 4);
    interval_->setText(QStringLiteral("1"));
    interval_->setToolTip(QStringLiteral("Reads repeat once per second"));
    timerButton_ = new QPushButton(QStringLiteral("Start Timer"), timerBox);
    timerButton_->setObjectName(QStringLiteral("timerButton"));
    timerButton_->setMinimumWidth(
        timerButton_->fontMetrics().horizontalAdvance(QStringLiteral("Start Timer")) + 28);
    auto* timerGrid = new QGridLayout;
    timerGrid->addWidget(timerDirect_, 0, 0);
    timerGrid->addWidget(timerIndex_, 0, 1);
    auto* intervalRow = new QHBoxLayout;
    intervalRow->addWidget(new QLabel(QStringLiteral("Time interval:"), timerBox));
    intervalRow->addWidget(interval_);
    intervalRow->addWidget(new QLabel(QStringLiteral("sec"), timerBox));
    intervalRow->addStretch(1);
    timerGrid->addLayout(intervalRow, 1, 0, 1, 2);
    timerGrid->setColumnStretch(2, 1);
    timerGrid->addWidget(timerButton_, 1, 3);
    tl->addLayout(timerGrid);
    outer->addWidget(timerBox, 0);

    // The port field's menu also offers Watch: the typed port at the chosen width over time.
    port_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(port_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(port_->createStandardContextMenu());
        menu->addSeparator();
        QAction* watch = menu->addAction(QStringLiteral("Watch"), this, &CKVTIOView::WatchPort);
        watch->setEnabled(host_ != nullptr && IsHexString(port_->text().toStdString()));
        menu->exec(port_->mapToGlobal(at));
    });
    connect(directRead_, &QPushButton::clicked, this,
            [this] { Act([this] { model_->DirectReadClicked(); }); });
    connect(directWrite_, &QPushButton::clicked, this,
            [this] { Act([this] { model_->DirectWrite(); }); });
    connect(indexRead_, &QPushButton::clicked, this,
            [this] { Act([this] { model_->IndexReadClicked(); }); });
    connect(indexWrite_, &QPushButton::clicked, this,
            [this] { Act([this] { model_->IndexWrite(); }); });
    connect(timerButton_, &QPushButton::clicked, this,
            [this] { Act([this] { model_->ToggleTimer(); }); });

    setTabOrder(port_, portData_);
    setTabOrder(portData_, indexPort_);
    setTabOrder(indexPort_, dataPort_);
    setTabOrder(dataPort_, offset_);
    setTabOrder(offset_, indexData_);
    port_->setFocus();
}

CKVTIOView::~CKVTIOView() {
    timer_.stop();
}

QWidget* CKVTIOView::FieldWidget(std::string_view field) const {
    if (field == SingleIoTool::kFieldPort) return port_;
    if (field == SingleIoTool::kFieldPortData) return portData_;
    if (field == SingleIoTool::kFieldIndexPort) return indexPort_;
    if (field == SingleIoTool::kFieldDataPort) return dataPort_;
    if (field == SingleIoTool::kFieldOffset) return offset_;
    if (field == SingleIoTool::kFieldIndexData) return indexData_;
    return nullptr;
}

void CKVTIOView::setDirectWidth(uint32_t width) {
    if (auto* b = directWidth_->button(static_cast<int>(width))) b->setChecked(true);
}

void CKVTIOView::setIndexWidth(uint32_t width) {
    if (auto* b = indexWidth_->button(static_cast<int>(width))) b->setChecked(true);
}

void CKVTIOView::StartTimer(int intervalMs) {
    timer_.start(intervalMs);
}

void CKVTIOView::StopTimer() {
    timer_.stop();
    PushState();
}

void CKVTIOView::PullFields() {
    model_->port = port_->text().toStdString();
    model_->portData = portData_->text().toStdString();
    model_->indexPort = indexPort_->text().toStdString();
    model_->dataPort = dataPort_->text().toStdString();
    model_->offset = offset_->text().toStdString();
    model_->indexData = indexData_->text().toStdString();
    model_->directWidth = static_cast<uint32_t>(directWidth_->checkedId());
    model_->indexWidth = static_cast<uint32_t>(indexWidth_->checkedId());
    model_->timerSource = timerIndex_->isChecked() ? SingleIoTool::TimerSource::IndexRead
                                                   : SingleIoTool::TimerSource::DirectRead;
}

void CKVTIOView::PushState() {
    if (portData_->text().toStdString() != model_->portData)
        portData_->setText(Q(model_->portData));
    if (indexData_->text().toStdString() != model_->indexData) {
        indexData_->setText(Q(model_->indexData));
    }
    const bool running = model_->timerRunning();
    timerButton_->setText(running ? QStringLiteral("Stop Timer") : QStringLiteral("Start Timer"));
    timerDirect_->setEnabled(!running);
    timerIndex_->setEnabled(!running);
    interval_->setEnabled(!running);
}

// Rows are only ever added on top, and only the top row is filled in later; so the lists
// are brought up to date by adding the new rows and refreshing the ones above the old top.
void CKVTIOView::SyncHistories() {
    const auto& direct = model_->directHistory();
    int added = static_cast<int>(direct.size()) - directList_->topLevelItemCount();
    for (int i = 0; i < added; ++i) directList_->insertTopLevelItem(0, new QTreeWidgetItem);
    for (int i = 0; i <= added && i < static_cast<int>(direct.size()); ++i) {
        const auto& r = direct[static_cast<size_t>(i)];
        SetRowTexts(directList_->topLevelItem(i), {Q(r.port), Q(r.rw), Q(r.data), Q(r.width)});
        directList_->topLevelItem(i)->setToolTip(2, FailureTip(r.data, r.failure));
    }
    const auto& index = model_->indexHistory();
    added = static_cast<int>(index.size()) - indexList_->topLevelItemCount();
    for (int i = 0; i < added; ++i) indexList_->insertTopLevelItem(0, new QTreeWidgetItem);
    for (int i = 0; i <= added && i < static_cast<int>(index.size()); ++i) {
        const auto& r = index[static_cast<size_t>(i)];
        SetRowTexts(indexList_->topLevelItem(i),
                    {Q(r.indexPort), Q(r.dataPort), Q(r.offset), Q(r.rw), Q(r.data), Q(r.width)});
        indexList_->topLevelItem(i)->setToolTip(4, FailureTip(r.data, r.failure));
    }
}

// Runs one model action with the controls' current content, then shows the model's state.
// (Messages raised inside the action bring the controls up to date before they appear.)
// The cause of a Failed cell, for its tooltip; empty for any other cell.
QString CKVTIOView::FailureTip(const std::string& data, TransportFailure failure) const {
    if (data != SingleIoTool::kFailedMarker) return {};
    return QStringLiteral("Failed: ") + QString::fromStdString(DescribeRequestFailure(
                                            failure, AccessKind::Ports, capabilities_));
}

template <typename Fn>
void CKVTIOView::Act(Fn action) {
    PullFields();
    const bool outer = !acting_;
    acting_ = true;
    action();
    if (outer) acting_ = false;
    SyncHistories();
    PushState();
}

void CKVTIOView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

void CKVTIOView::WatchPort() {
    const std::string text = port_->text().toStdString();
    if (host_ == nullptr || !IsHexString(text) || text.size() > 4) return;
    WatchTarget target;
    target.kind = WatchKind::Io;
    target.port = static_cast<uint16_t>(std::stoul(text, nullptr, 16));
    target.width = static_cast<uint32_t>(directWidth_->checkedId());
    host_->OpenWatch(target);
}

}  // namespace kvt
