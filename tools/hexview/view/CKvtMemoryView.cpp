#include "tools/hexview/view/CKvtMemoryView.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/temp_folder.h"
#include "tools/hexview/view/CHexDumpCtrl.h"
#include "tools/hexview/view/search_bar.h"

namespace kvt {

std::string WindowBaseName(const ToolContext& context, const QString& name) {
    std::string programFolder =
        context.host ? context.host->GetProgramFolder().toStdString() : std::string();
    const std::string& folder = PrivateTempFolder(programFolder);
    if (folder.empty()) return {};
    return folder + name.toStdString();
}

CKvtMemoryView::CKvtMemoryView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("CKvtMemoryView"));
    messages_ = std::make_unique<ViewMessages>(
        this, [this](std::string_view field) { return FieldWidget(field); }, [this] { Push(); });
    QString title =
        context.documentTitle.isEmpty() ? QStringLiteral("Memory1") : context.documentTitle;
    model_ = std::make_unique<MemoryDumpTool>(*context.client, *messages_, document_,
                                              WindowBaseName(context, title));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    auto* fields = new QHBoxLayout;
    address_ = new QLineEdit(this);
    address_->setObjectName(QStringLiteral("addressEdit"));
    address_->setMaxLength(MemoryDumpTool::kTypingLimit);
    size_ = new QLineEdit(this);
    size_->setObjectName(QStringLiteral("sizeEdit"));
    size_->setMaxLength(MemoryDumpTool::kTypingLimit);
    dump_ = new QPushButton(QStringLiteral("Dump"), this);
    dump_->setObjectName(QStringLiteral("dump"));
    write_ = new QPushButton(QStringLiteral("Write"), this);
    write_->setObjectName(QStringLiteral("write"));
    clear_ = new QPushButton(QStringLiteral("Clear"), this);
    clear_->setObjectName(QStringLiteral("clear"));
    fields->addWidget(new QLabel(QStringLiteral("Physical Address (Hex)"), this));
    fields->addWidget(address_);
    fields->addWidget(new QLabel(QStringLiteral("Size (Bytes in Hex)"), this));
    fields->addWidget(size_);
    fields->addWidget(dump_);
    fields->addWidget(write_);
    fields->addWidget(clear_);
    fields->addStretch(1);
    outer->addLayout(fields);
    outer->addWidget(new QLabel(QStringLiteral("Memory Dump"), this));
    control_ = new CHexDumpCtrl(document_, this);
    control_->setMinimumSize(control_->asciiColumnX() + 16 * control_->charWidth() + 24, 200);
    outer->addWidget(control_, 1);
    search_ = new SearchBar(model_->search, this);
    outer->addWidget(search_);

    connect(dump_, &QPushButton::clicked, this, [this] {
        Pull();
        ProgressShower progress(this, QStringLiteral("Dumping memory..."));
        model_->Dump(progress.fn());
        Push();
    });
    connect(write_, &QPushButton::clicked, this, [this] {
        ProgressShower progress(this, QStringLiteral("Writing memory..."));
        model_->Write(progress.fn());
        Push();
    });
    connect(clear_, &QPushButton::clicked, this, [this] {
        model_->Clear();
        Push();
    });
    connect(search_, &SearchBar::searchClicked, this, [this] {
        search_->PullFields();
        ProgressShower progress(this, QStringLiteral("Searching..."));
        model_->Search(progress.fn());
        search_->PushHistory();
        control_->Refresh();
    });
    Push();
}

CKvtMemoryView::~CKvtMemoryView() {
    // The control shows the document: it goes first.
    delete control_;
}

QWidget* CKvtMemoryView::FieldWidget(std::string_view field) const {
    if (field == MemoryDumpTool::kFieldAddress) return address_;
    if (field == MemoryDumpTool::kFieldSize) return size_;
    if (field == SearchPanel::kFieldSearch) return search_->text();
    return nullptr;
}

void CKvtMemoryView::Pull() {
    model_->address = address_->text().left(15).toStdString();
    model_->size = size_->text().left(15).toStdString();
}

void CKvtMemoryView::Push() {
    address_->setText(QString::fromStdString(model_->address));
    size_->setText(QString::fromStdString(model_->size));
    control_->setEnabled(model_->controlEnabled());
    search_->searchButton()->setEnabled(model_->searchEnabled());
    control_->HideCaret();
    control_->Refresh();
}

void CKvtMemoryView::Preset(uint32_t physicalAddress, uint32_t size) {
    ProgressShower progress(this, QStringLiteral("Dumping memory..."));
    model_->Preset(physicalAddress, size, progress.fn());
    Push();
}

void CKvtMemoryView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

bool CKvtMemoryView::CanCopy() const {
    return control_->hasFocus() ? document_.HasSelection() : ToolView::CanCopy();
}
bool CKvtMemoryView::CanCut() const {
    return CanCopy();
}
bool CKvtMemoryView::CanPaste() const {
    return !control_->hasFocus() && ToolView::CanPaste();
}
void CKvtMemoryView::Copy() {
    if (control_->hasFocus()) return control_->Copy();
    ToolView::Copy();
}
void CKvtMemoryView::Cut() {
    if (control_->hasFocus()) return control_->Copy();
    ToolView::Cut();
}

}  // namespace kvt
