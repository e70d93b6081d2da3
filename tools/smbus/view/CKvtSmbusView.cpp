#include "tools/smbus/view/CKvtSmbusView.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace kvt {

namespace {

QLineEdit* Field(int limit) {
    auto* field = new QLineEdit;
    field->setMaxLength(limit);
    return field;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

CKvtSmbusView::CKvtSmbusView(const ToolContext& context, QWidget* parent)
    : ToolView(parent),
      messages_(
          this, [this](std::string_view f) -> QWidget* { return field(f); },
          [this] { ShowState(); }) {
    tool_ = std::make_unique<SmbusTool>(*context.client, messages_);
    tool_->progress = [this](int done, int total) { Progress(done, total); };
    // Driving the ports of a controller a kernel driver owns needs the user's say-so.
    tool_->confirmRawPorts = [this](const std::string& question) {
        return QMessageBox::question(this, QStringLiteral("KORVANTA"), Q(question),
                                     QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };

    auto* layout = new QVBoxLayout(this);
    auto* top = new QGridLayout;
    top->addWidget(new QLabel(tr("Smbus Controller")), 0, 0);
    controllers_ = new QComboBox;
    top->addWidget(controllers_, 0, 1);
    top->addWidget(new QLabel(tr("Smbus Base Address")), 0, 2);
    base_ = Field(SmbusTool::kBaseLimit);
    base_->setReadOnly(true);
    top->addWidget(base_, 0, 3);
    scan_ = new QPushButton(tr("Scan Smbus"));
    top->addWidget(scan_, 0, 4);
    top->addWidget(new QLabel(tr("Smbus Slave Devices")), 1, 0);
    slaves_ = new QComboBox;
    top->addWidget(slaves_, 1, 1);
    layout->addLayout(top);

    auto* groups = new QHBoxLayout;
    auto* readGroup = new QGroupBox(tr("Smbus Read"));
    auto* rl = new QGridLayout(readGroup);
    readAddress_ = Field(SmbusTool::kAddressLimit);
    startOffset_ = Field(SmbusTool::kOffsetLimit);
    length_ = Field(SmbusTool::kLengthLimit);
    rl->addWidget(new QLabel(tr("Smbus Address")), 0, 0);
    rl->addWidget(readAddress_, 0, 1);
    rl->addWidget(new QLabel(tr("Start Offset")), 1, 0);
    rl->addWidget(startOffset_, 1, 1);
    rl->addWidget(new QLabel(tr("Length")), 2, 0);
    rl->addWidget(length_, 2, 1);
    read_ = new QPushButton(tr("Read"));
    blockRead_ = new QPushButton(tr("Block Read"));
    rl->addWidget(read_, 0, 2);
    rl->addWidget(blockRead_, 1, 2);
    decodeSpd_ = new QPushButton(tr("Decode SPD"));
    rl->addWidget(decodeSpd_, 2, 2);
    groups->addWidget(readGroup);

    auto* writeGroup = new QGroupBox(tr("Smbus Write"));
    auto* wl = new QGridLayout(writeGroup);
    writeAddress_ = Field(SmbusTool::kAddressLimit);
    offset_ = Field(SmbusTool::kOffsetLimit);
    data_ = Field(SmbusTool::kDataLimit);
    wl->addWidget(new QLabel(tr("Smbus Address")), 0, 0);
    wl->addWidget(writeAddress_, 0, 1);
    wl->addWidget(new QLabel(tr("Offset")), 1, 0);
    wl->addWidget(offset_, 1, 1);
    wl->addWidget(new QLabel(tr("Data")), 2, 0);
    wl->addWidget(data_, 2, 1);
    write_ = new QPushButton(tr("Write"));
    blockWrite_ = new QPushButton(tr("Block Write"));
    wl->addWidget(write_, 0, 2);
    wl->addWidget(blockWrite_, 1, 2);
    groups->addWidget(writeGroup);
    layout->addLayout(groups);

    layout->addWidget(new QLabel(tr("Read Results (All hex)")));
    list_ = new QTreeWidget;
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    QStringList headers{tr("Offset")};
    for (int c = 0; c < 16; ++c) headers << QString::asprintf("%02X", c);
    list_->setHeaderLabels(headers);
    list_->setColumnWidth(0, 50);
    for (int c = 1; c <= 16; ++c) list_->setColumnWidth(c, 29);
    list_->header()->setStretchLastSection(false);  // byte 0F as wide as the other bytes
    for (int c = 0; c <= 16; ++c) list_->headerItem()->setTextAlignment(c, Qt::AlignCenter);
    layout->addWidget(list_, 1);
    layout->setContentsMargins(layout->contentsMargins().left(), layout->contentsMargins().top(),
                               layout->contentsMargins().right(), 10);

    // The fields as typed go to the model first: the selection changes only what it fills.
    connect(controllers_, &QComboBox::currentIndexChanged, this, [this](int row) {
        TakeFields();
        tool_->SelectController(row);
        ShowState();
    });
    connect(slaves_, &QComboBox::currentIndexChanged, this, [this](int row) {
        if (row < 0) return;
        TakeFields();
        tool_->SelectSlave(row);
        ShowState();
    });
    connect(scan_, &QPushButton::clicked, this, &CKvtSmbusView::Scan);
    connect(read_, &QPushButton::clicked, this, &CKvtSmbusView::ReadRange);
    connect(blockRead_, &QPushButton::clicked, this, &CKvtSmbusView::BlockRead);
    connect(write_, &QPushButton::clicked, this, &CKvtSmbusView::WriteByte);
    connect(blockWrite_, &QPushButton::clicked, this, &CKvtSmbusView::PatchBlock);
    connect(decodeSpd_, &QPushButton::clicked, this, &CKvtSmbusView::DecodeSpd);
}

CKvtSmbusView::~CKvtSmbusView() = default;

QLineEdit* CKvtSmbusView::field(std::string_view name) const {
    if (name == SmbusTool::kFieldReadAddress) return readAddress_;
    if (name == SmbusTool::kFieldStartOffset) return startOffset_;
    if (name == SmbusTool::kFieldLength) return length_;
    if (name == SmbusTool::kFieldWriteAddress) return writeAddress_;
    if (name == SmbusTool::kFieldOffset) return offset_;
    if (name == SmbusTool::kFieldData) return data_;
    return nullptr;
}

QPushButton* CKvtSmbusView::button(const QString& caption) const {
    for (QPushButton* b : {scan_, read_, blockRead_, write_, blockWrite_, decodeSpd_})
        if (b->text() == caption) return b;
    return nullptr;
}

void CKvtSmbusView::showEvent(QShowEvent* event) {
    ToolView::showEvent(event);
    if (!started_) {
        started_ = true;
        Start();
    }
}

void CKvtSmbusView::Start() {
    tool_->Start();
    {
        QSignalBlocker block(controllers_);
        controllers_->clear();
        int widest = 0;
        QFontMetrics metrics(controllers_->font());
        for (const std::string& caption : tool_->controllerCaptions()) {
            controllers_->addItem(Q(caption));
            widest = std::max(widest, metrics.horizontalAdvance(Q(caption)));
        }
        controllers_->view()->setMinimumWidth(widest + 30);
        controllers_->setCurrentIndex(tool_->currentIndex());
    }
    ShowState();
}

void CKvtSmbusView::TakeFields() {
    tool_->readAddress = readAddress_->text().toStdString();
    tool_->startOffset = startOffset_->text().toStdString();
    tool_->length = length_->text().toStdString();
    tool_->writeAddress = writeAddress_->text().toStdString();
    tool_->offset = offset_->text().toStdString();
    tool_->data = data_->text().toStdString();
}

void CKvtSmbusView::ShowState() {
    bool on = tool_->controlsEnabled();
    for (QWidget* w : std::initializer_list<QWidget*>{
             scan_, read_, write_, decodeSpd_, controllers_, slaves_, base_, readAddress_,
             startOffset_, length_, writeAddress_, offset_, data_})
        w->setEnabled(on);
    blockRead_->setEnabled(tool_->blockButtonsEnabled());
    blockWrite_->setEnabled(tool_->blockButtonsEnabled());
    base_->setText(Q(tool_->baseText()));
    {
        QSignalBlocker block(slaves_);
        std::vector<std::string> rows = tool_->slaveRows();
        bool same = int(rows.size()) == slaves_->count();
        for (int i = 0; same && i < slaves_->count(); ++i)
            same = slaves_->itemText(i) == Q(rows[size_t(i)]);
        if (!same) {
            slaves_->clear();
            for (const std::string& r : rows) slaves_->addItem(Q(r));
        }
        slaves_->setCurrentIndex(tool_->slaveSelection());
    }
    readAddress_->setText(Q(tool_->readAddress));
    startOffset_->setText(Q(tool_->startOffset));
    length_->setText(Q(tool_->length));
    writeAddress_->setText(Q(tool_->writeAddress));
    offset_->setText(Q(tool_->offset));
    data_->setText(Q(tool_->data));
    list_->clear();
    for (const SmbusTool::Row& row : tool_->rows()) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, Q(row.label));
        for (int c = 0; c < 16; ++c) item->setText(c + 1, Q(row.cells[size_t(c)]));
        for (int c = 0; c <= 16; ++c) item->setTextAlignment(c, Qt::AlignCenter);
    }
}

void CKvtSmbusView::Progress(int done, int total) {
    if (done >= total) {
        if (progress_) progress_->reset();
        return;
    }
    if (!progress_) {
        progress_ = new QProgressDialog(this);
        progress_->setWindowTitle(QStringLiteral("KORVANTA"));
        progress_->setLabelText(tr("Smbus transactions in progress..."));
        progress_->setCancelButton(nullptr);
        progress_->setWindowModality(Qt::WindowModal);
        progress_->setMinimumDuration(300);
        progress_->setAutoReset(false);
    }
    progress_->setMaximum(total);
    progress_->setValue(done);
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void CKvtSmbusView::Scan() {
    TakeFields();
    tool_->Scan();
    ShowState();
}

void CKvtSmbusView::ReadRange() {
    TakeFields();
    tool_->ReadRange();
    ShowState();
}

void CKvtSmbusView::BlockRead() {
    TakeFields();
    tool_->BlockRead();
    ShowState();
}

void CKvtSmbusView::WriteByte() {
    TakeFields();
    tool_->WriteByte();
    ShowState();
}

void CKvtSmbusView::PatchBlock() {
    TakeFields();
    tool_->PatchBlock();
    ShowState();
}

void CKvtSmbusView::DecodeSpd() {
    TakeFields();
    tool_->DecodeSpdAtAddress();
    ShowState();
}

void CKvtSmbusView::WriteReport(ReportStream& out) {
    tool_->WriteReport(out);
}

}  // namespace kvt
