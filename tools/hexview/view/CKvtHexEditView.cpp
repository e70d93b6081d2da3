#include "tools/hexview/view/CKvtHexEditView.h"

#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QVBoxLayout>

#include "shell/file_dialogs.h"
#include "tools/hexview/view/CHexDumpCtrl.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/hexview/view/search_bar.h"

namespace kvt {

namespace {
const char* const kFilter = "All Files (*.*)|*.*|All Files (*.*)|*.*||";

// An open or save dialog in the folder with the window's file types; an empty path on Cancel.
QString ChoosePath(QWidget* parent, const QString& title, const QString& folder,
                   QFileDialog::AcceptMode mode) {
    QFileDialog dialog(parent, title, folder);
    SetFileDialogFilters(dialog, QString::fromLatin1(kFilter));
    dialog.setAcceptMode(mode);
    if (mode == QFileDialog::AcceptOpen) dialog.setFileMode(QFileDialog::ExistingFile);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

// "Hex" and the window's whole running number, so windows 1 and 11 keep apart.
QString HexBaseName(const QString& documentTitle) {
    int i = static_cast<int>(documentTitle.size());
    while (i > 0 && documentTitle.at(i - 1).isDigit()) --i;
    QString number = documentTitle.mid(i);
    return QStringLiteral("Hex") + (number.isEmpty() ? QStringLiteral("1") : number);
}
}  // namespace

CKvtHexEditView::CKvtHexEditView(const ToolContext& context, QWidget* parent) : ToolView(parent) {
    setObjectName(QStringLiteral("CKvtHexEditView"));
    messages_ = std::make_unique<ViewMessages>(
        this,
        [this](std::string_view field) -> QWidget* {
            return field == SearchPanel::kFieldSearch ? static_cast<QWidget*>(search_->text())
                                                      : nullptr;
        },
        [this] { Push(); });
    model_ = std::make_unique<HexEditTool>(
        *messages_, document_, WindowBaseName(context, HexBaseName(context.documentTitle)));
    if (context.host) startFolder_ = context.host->GetProgramFolder();

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    auto* buttons = new QHBoxLayout;
    open_ = new QPushButton(QStringLiteral("Open"), this);
    open_->setObjectName(QStringLiteral("open"));
    save_ = new QPushButton(QStringLiteral("Save"), this);
    save_->setObjectName(QStringLiteral("save"));
    saveAs_ = new QPushButton(QStringLiteral("Save As"), this);
    saveAs_->setObjectName(QStringLiteral("saveAs"));
    buttons->addWidget(open_);
    buttons->addWidget(save_);
    buttons->addWidget(saveAs_);
    buttons->addStretch(1);
    outer->addLayout(buttons);
    outer->addWidget(new QLabel(QStringLiteral("Addess"), this));
    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("pathEdit"));
    path_->setReadOnly(true);
    QPalette white = path_->palette();
    white.setColor(QPalette::Base, Qt::white);
    path_->setPalette(white);
    outer->addWidget(path_);
    control_ = new CHexDumpCtrl(document_, this);
    control_->setMinimumSize(control_->asciiColumnX() + 16 * control_->charWidth() + 24, 200);
    outer->addWidget(control_, 1);
    search_ = new SearchBar(model_->search, this);
    outer->addWidget(search_);

    chooseOpenPath = [this] {
        return ChoosePath(this, QStringLiteral("Open"), startFolder_, QFileDialog::AcceptOpen);
    };
    chooseSavePath = [this] {
        // The dialog asks before an existing file is overwritten.
        return ChoosePath(this, QStringLiteral("Save As"), startFolder_, QFileDialog::AcceptSave);
    };

    chooseOffset = [this] {
        return QInputDialog::getText(this, MessageCaption(),
                                     QStringLiteral("Go to offset (hexadecimal):"));
    };

    connect(open_, &QPushButton::clicked, this, [this] {
        if (!ConfirmClose()) return;
        QString path = chooseOpenPath();
        if (path.isEmpty()) return;
        path_->setText(path);
        // Opening copies nothing: it takes no time worth a progress dialog.
        model_->Open(path.toStdString());
        Push();
        control_->HideCaret();
    });
    connect(save_, &QPushButton::clicked, this, [this] {
        ProgressShower progress(this, QStringLiteral("Saving..."));
        model_->Save(progress.fn());
        Push();
    });
    connect(saveAs_, &QPushButton::clicked, this, [this] {
        QString path = chooseSavePath();
        if (path.isEmpty()) return;
        path_->setText(path);
        ProgressShower progress(this, QStringLiteral("Saving..."));
        model_->SaveAs(path.toStdString(), progress.fn());
        Push();
    });
    connect(search_, &SearchBar::searchClicked, this, [this] {
        search_->PullFields();
        ProgressShower progress(this, QStringLiteral("Searching..."));
        model_->Search(progress.fn());
        search_->PushHistory();
        control_->Refresh();
    });
    auto shortcut = [this](QKeySequence keys, auto fn) {
        auto* s = new QShortcut(keys, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, fn);
    };
    shortcut(QKeySequence(Qt::Key_F3), [this] { SearchAgain(false); });
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F3), [this] { SearchAgain(true); });
    shortcut(QKeySequence(Qt::CTRL | Qt::Key_G), [this] { GoToOffset(); });
    Push();
}

void CKvtHexEditView::SearchAgain(bool backward) {
    if (!model_->opened()) return;
    search_->PullFields();
    ProgressShower progress(this, QStringLiteral("Searching..."));
    bool wrapped = false;
    model_->SearchAgain(backward, wrapped, progress.fn());
    search_->PushHistory();
    control_->Refresh();
    if (wrapped) {
        if (auto* main = qobject_cast<QMainWindow*>(window())) {
            main->statusBar()->showMessage(
                QString::fromLatin1(backward ? kWrappedToEnd : kWrappedToStart), 5000);
        }
    }
}

void CKvtHexEditView::GoToOffset() {
    if (!model_->opened()) return;
    const QString text = chooseOffset();
    if (text.isEmpty()) return;
    if (model_->GoTo(text.toStdString())) {
        control_->setFocus(Qt::ShortcutFocusReason);
        control_->Refresh();
    }
}

bool CKvtHexEditView::ConfirmClose() {
    if (!model_->unsaved()) return true;
    switch (AskSaveChanges(this, QString::fromLatin1(kUnsavedQuestion))) {
        case SaveChoice::Save: {
            ProgressShower progress(this, QStringLiteral("Saving..."));
            const bool saved = model_->Save(progress.fn());
            Push();
            return saved;
        }
        case SaveChoice::Discard:
            return true;
        case SaveChoice::Cancel:
            break;
    }
    return false;
}

CKvtHexEditView::~CKvtHexEditView() {
    // The control shows the document: it goes first.
    delete control_;
}

void CKvtHexEditView::Push() {
    const bool opened = model_->opened();
    save_->setEnabled(opened);
    saveAs_->setEnabled(opened);
    search_->searchButton()->setEnabled(opened);
    control_->setEnabled(opened);
    if (!model_->path().empty()) path_->setText(QString::fromStdString(model_->path()));
    control_->Refresh();
}

void CKvtHexEditView::WriteReport(ReportStream& out) {
    model_->WriteReport(out);
}

bool CKvtHexEditView::CanCopy() const {
    return control_->hasFocus() ? document_.HasSelection() : ToolView::CanCopy();
}
bool CKvtHexEditView::CanCut() const {
    return CanCopy();
}
bool CKvtHexEditView::CanPaste() const {
    return !control_->hasFocus() && ToolView::CanPaste();
}
void CKvtHexEditView::Copy() {
    if (control_->hasFocus()) return control_->Copy();
    ToolView::Copy();
}
void CKvtHexEditView::Cut() {
    if (control_->hasFocus()) return control_->Copy();
    ToolView::Cut();
}

}  // namespace kvt
