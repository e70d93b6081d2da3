#include "app/main_frame.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDockWidget>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <algorithm>

#include "app/icons.h"
#include "app/lock_keys.h"
#include "app/tool_table.h"
#include "hwaccess/request_failure.h"
#include "hwaccess/session.h"
#include "platform/format.h"
#include "shell/driver_wait.h"
#include "shell/file_dialogs.h"
#include "shell/list_columns.h"
#include "shell/messages.h"
#include "shell/report_saver.h"
#include "tools/watch/view/CKvtWatchView.h"

namespace kvt {

// ---------------------------------------------------------------------------------------------

CChildFrame::CChildFrame(const ToolKind& kind, ToolView* view, quint64 serial,
                         QString documentTitle)
    : kind_(&kind), view_(view), serial_(serial), documentTitle_(std::move(documentTitle)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWidget(view);
    setWindowTitle(kind.WindowTitle());
    setWindowIcon(ToolIcon(kind.name));
    setObjectName(QStringLiteral("ToolWindow"));
}

void CChildFrame::closeEvent(QCloseEvent* event) {
    if (view_ != nullptr && !view_->ConfirmClose()) {
        event->ignore();
        return;
    }
    QMdiSubWindow::closeEvent(event);
}

// A window whose content grows (a PCI scan) stays within the area, its title buttons in reach.
void CChildFrame::resizeEvent(QResizeEvent* event) {
    QMdiSubWindow::resizeEvent(event);
    if (mdiArea() == nullptr || isMaximized() || isMinimized() || fitting_) return;
    const QRect area(QPoint(0, 0), mdiArea()->viewport()->size());
    if (area.isEmpty() || area.contains(geometry())) return;
    fitting_ = true;
    QTimer::singleShot(0, this, [this] {
        fitting_ = false;
        if (mdiArea() == nullptr || isMaximized() || isMinimized()) return;
        const QSize room = mdiArea()->viewport()->size();
        resize(size().boundedTo(room).expandedTo(minimumSize()));
        const int x = std::clamp(pos().x(), 0, std::max(0, room.width() - width()));
        const int y = std::clamp(pos().y(), 0, std::max(0, room.height() - height()));
        move(x, y);
    });
}

// ---------------------------------------------------------------------------------------------

bool LockKeyWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyRelease) {
        int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock) {
            QTimer::singleShot(0, this, changed_);
        }
    }
    return QObject::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------

CMainFrame::CMainFrame(const ToolRegistry& registry, HardwareSession& session, QWidget* parent)
    : QMainWindow(parent), registry_(registry), session_(session) {
    setWindowTitle(BaseTitle());
    setWindowIcon(AppIcon());
    setObjectName(QStringLiteral("CMainFrame"));
    chooseSavePath_ = &CMainFrame::ChooseSavePathWithDialog;

    mdi_ = new QMdiArea(this);
    mdi_->setObjectName(QStringLiteral("MdiClient"));
    mdi_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdi_->setBackground(palette().brush(QPalette::Dark));
    setCentralWidget(mdi_);
    connect(mdi_, &QMdiArea::subWindowActivated, this, &CMainFrame::OnSubWindowActivated);

    BuildActions();
    BuildMenus();
    BuildToolBar();
    BuildStatusBar();
    BuildToolTree();

    connect(qApp, &QApplication::focusChanged, this, &CMainFrame::OnFocusChanged);
    connect(QApplication::clipboard(), &QClipboard::dataChanged, this,
            &CMainFrame::UpdateEditCommands);
    // The lock indicators follow the lock keys at once, whichever widget has the focus.
    lockKeyWatcher_ = new LockKeyWatcher([this] { UpdateLockIndicators(); });
    qApp->installEventFilter(lockKeyWatcher_);

    auto* lockTimer = new QTimer(this);
    connect(lockTimer, &QTimer::timeout, this, &CMainFrame::UpdateLockIndicators);
    lockTimer->start(500);

    UpdateCommandStates();
    UpdateLockIndicators();

    // Every exchange of the window's thread with the driver: the window keeps painting and
    // says when the driver is waited for.
    wait_ = new DriverWait(this, statusBar(), QString::fromStdString(session_.Describe()));
    session_.client().SetExchangeRunner(
        [wait = wait_](const std::function<void()>& exchange) { return wait->Run(exchange); });
}

CMainFrame::~CMainFrame() {
    // Nothing reacts to focus, clipboard or window changes while the frame is taken down.
    tearingDown_ = true;
    disconnect(qApp, nullptr, this, nullptr);
    disconnect(QApplication::clipboard(), nullptr, this, nullptr);
    delete lockKeyWatcher_;
    for (CChildFrame* w : toolWindows()) delete w;
    session_.client().SetExchangeRunner({});
}

QAction* CMainFrame::MakeAction(int id, const QString& text, const QString& prompt) {
    auto* a = new QAction(text, this);
    a->setData(id);
    if (!prompt.isEmpty()) {
        // A prompt is "<status bar text>\n<tooltip>".
        a->setStatusTip(prompt.section('\n', 0, 0));
        QString tip = prompt.section('\n', 1, 1);
        if (!tip.isEmpty()) a->setToolTip(tip);
    }
    actions_[id] = a;
    return a;
}

QAction* CMainFrame::action(int commandId) const {
    auto it = actions_.find(commandId);
    if (it != actions_.end()) return it->second;
    auto nit = newActions_.find(commandId);
    return nit == newActions_.end() ? nullptr : nit->second;
}

void CMainFrame::BuildActions() {
    QAction* a = MakeAction(kCmdSave, tr("Save"), "Save current active document\nSave");
    a->setIcon(CommandIcon(kCmdSave));
    connect(a, &QAction::triggered, this, &CMainFrame::SaveActiveReport);

    a = MakeAction(kCmdSaveAll, tr("Save All"), "Save all open documents\nSave All");
    a->setIcon(CommandIcon(kCmdSaveAll));
    connect(a, &QAction::triggered, this, &CMainFrame::SaveAllReports);

    // Cut, Copy and Paste go to the active view, which passes them to its focused field.
    auto activeView = [this]() -> ToolView* {
        CChildFrame* w = activeToolWindow();
        return w == nullptr ? nullptr : w->view();
    };
    a = MakeAction(kCmdCut, tr("Cut"), "Cut the selection and put it on the Clipboard\nCut");
    a->setIcon(CommandIcon(kCmdCut));
    a->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)});
    connect(a, &QAction::triggered, this, [activeView] {
        if (ToolView* v = activeView()) v->Cut();
    });
    a = MakeAction(kCmdCopy, tr("Copy"), "Copy the selection and put it on the Clipboard\nCopy");
    a->setIcon(CommandIcon(kCmdCopy));
    a->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)});
    connect(a, &QAction::triggered, this, [activeView] {
        if (ToolView* v = activeView()) v->Copy();
    });
    a = MakeAction(kCmdPaste, tr("Paste"), "Insert Clipboard contents\nPaste");
    a->setIcon(CommandIcon(kCmdPaste));
    a->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)});
    connect(a, &QAction::triggered, this, [activeView] {
        if (ToolView* v = activeView()) v->Paste();
    });
    for (int id : {kCmdCut, kCmdCopy, kCmdPaste}) {
        actions_[id]->setShortcutContext(Qt::WindowShortcut);
    }

    a = MakeAction(kCmdAbout, tr("&About..."),
                   "Display program information, version number and copyright\nAbout");
    a->setIcon(CommandIcon(kCmdAbout));
    connect(a, &QAction::triggered, this, &CMainFrame::ShowAbout);

    a = MakeAction(kCmdSupport, tr("Support Website"),
                   "Connet to product support website\nSupport Website");
    a->setIcon(CommandIcon(kCmdSupport));
    connect(a, &QAction::triggered, this, &CMainFrame::OpenSupportPage);

    a = MakeAction(kCmdClose, tr("&Close"), "Close the active document\nClose");
    connect(a, &QAction::triggered, mdi_, &QMdiArea::closeActiveSubWindow);
    a = MakeAction(kCmdExit, tr("E&xit"), "Quit the application; prompts to save documents\nExit");
    connect(a, &QAction::triggered, this, &QWidget::close);

    a = MakeAction(kCmdViewToolbar, tr("&Toolbar"), "Show or hide the toolbar\nToggle ToolBar");
    a->setCheckable(true);
    a->setChecked(true);
    a = MakeAction(kCmdViewStatusBar, tr("&Status Bar"),
                   "Show or hide the status bar\nToggle StatusBar");
    a->setCheckable(true);
    a->setChecked(true);

    a = MakeAction(kCmdHelpTopics, tr("&Help Topics"), "List Help topics\nHelp Topics");
    connect(a, &QAction::triggered, this, &CMainFrame::OpenSupportPage);
    a = MakeAction(kCmdHelp, tr("Help"), "Display help for current task or command\nHelp");
    a->setShortcut(QKeySequence(Qt::Key_F1));
    connect(a, &QAction::triggered, this, &CMainFrame::OpenSupportPage);
    a = MakeAction(kCmdContextHelp, tr("Context Help"),
                   "Display help for clicked on buttons, menus and windows\nHelp");
    a->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F1));
    connect(a, &QAction::triggered, this, [] { QWhatsThis::enterWhatsThisMode(); });

    // Ctrl+N has no handler; Ctrl+S reaches the document, which takes it and does nothing.
    a = MakeAction(kCmdNew, tr("New"));
    a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    a = MakeAction(kCmdFileSave, tr("Save Document"));
    a->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    a = MakeAction(kCmdUndo, tr("Undo"));
    a->setShortcuts(
        {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)});
    connect(a, &QAction::triggered, this, [] {
        if (auto* edit = qobject_cast<QLineEdit*>(QApplication::focusWidget())) edit->undo();
    });
    a = MakeAction(kCmdNextPane, tr("Next Pane"));
    a->setShortcut(QKeySequence(Qt::Key_F6));
    connect(a, &QAction::triggered, mdi_, &QMdiArea::activateNextSubWindow);
    a = MakeAction(kCmdPrevPane, tr("Previous Pane"));
    a->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6));
    connect(a, &QAction::triggered, mdi_, &QMdiArea::activatePreviousSubWindow);
    for (int id :
         {kCmdNew, kCmdFileSave, kCmdUndo, kCmdNextPane, kCmdPrevPane, kCmdHelp, kCmdContextHelp}) {
        addAction(actions_[id]);  // accelerators without a menu item
    }
    addAction(actions_[kCmdCut]);
    addAction(actions_[kCmdCopy]);
    addAction(actions_[kCmdPaste]);
}

void CMainFrame::BuildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->setObjectName(QStringLiteral("FileMenu"));
    newMenu_ = file->addMenu(tr("&New\tCtrl+N"));
    newMenu_->setObjectName(QStringLiteral("NewMenu"));

    // Every tool of the tool table, in the tree's order; a tool the registry does not hold
    // is shown disabled.
    auto addNew = [this](QMenu* menu, const ToolEntry& entry) {
        const ToolKind* kind = registry_.Find(entry.kind.name);
        const ToolKind& shown = kind != nullptr ? *kind : entry.kind;
        auto* a = new QAction(entry.menuText, this);
        a->setData(shown.commandId);
        a->setIcon(ToolIcon(shown.name));
        a->setStatusTip(tr("Open a new %1 window").arg(shown.name));
        a->setEnabled(kind != nullptr && kind->registered());
        QString name = shown.name;
        connect(a, &QAction::triggered, this, [this, name] { OpenTool(name); });
        newActions_[shown.commandId] = a;
        menu->addAction(a);
    };
    for (const ToolTreeItem& item : ToolTreeItems()) {
        if (item.tool != nullptr) {
            addNew(newMenu_, *item.tool);
            continue;
        }
        QMenu* folder = newMenu_->addMenu(item.folder->menuText);
        folderMenus_.push_back(folder);
        for (const ToolEntry* tool : item.tools) addNew(folder, *tool);
    }
    file->addSeparator();
    file->addAction(actions_[kCmdClose]);
    file->addAction(actions_[kCmdExit]);

    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->setObjectName(QStringLiteral("ViewMenu"));
    view->addAction(actions_[kCmdViewToolbar]);
    view->addAction(actions_[kCmdViewStatusBar]);

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    help->addAction(actions_[kCmdHelpTopics]);
    help->addSeparator();
    help->addAction(actions_[kCmdAbout]);
}

void CMainFrame::BuildToolBar() {
    toolBar_ = addToolBar(tr("Toolbar"));
    toolBar_->setObjectName(QStringLiteral("ToolBar"));
    toolBar_->setMovable(true);
    toolBar_->setIconSize(QSize(16, 16));
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    toolBar_->addAction(actions_[kCmdSave]);
    toolBar_->addAction(actions_[kCmdSaveAll]);
    toolBar_->addSeparator();
    toolBar_->addAction(actions_[kCmdCut]);
    toolBar_->addAction(actions_[kCmdCopy]);
    toolBar_->addAction(actions_[kCmdPaste]);
    toolBar_->addSeparator();
    toolBar_->addAction(actions_[kCmdAbout]);
    toolBar_->addAction(actions_[kCmdSupport]);
    // Toolbar buttons leave the focus in the entry field the edit commands act on.
    for (QAction* a : toolBar_->actions()) {
        if (QWidget* w = toolBar_->widgetForAction(a)) w->setFocusPolicy(Qt::NoFocus);
    }

    QAction* toggle = actions_[kCmdViewToolbar];
    connect(toggle, &QAction::toggled, toolBar_, &QWidget::setVisible);
    connect(toolBar_, &QToolBar::visibilityChanged, toggle, &QAction::setChecked);
}

void CMainFrame::BuildStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar"));
    bar->showMessage(tr("Ready"));

    sessionPane_ = new QLabel(QString::fromStdString(session_.Describe()), bar);
    sessionPane_->setObjectName(QStringLiteral("SessionPane"));
    sessionPane_->setToolTip(tr("The machine the tools work on"));
    bar->addPermanentWidget(sessionPane_);

    // Shown once the driver says which kinds of access this machine lacks.
    accessPane_ = new QToolButton(bar);
    accessPane_->setObjectName(QStringLiteral("AccessPane"));
    accessPane_->setAutoRaise(true);
    accessPane_->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
    accessPane_->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    accessPane_->setVisible(false);
    connect(accessPane_, &QToolButton::clicked, this,
            [this] { ShowKorvantaMessage(this, accessPane_->toolTip()); });
    bar->addPermanentWidget(accessPane_);

    auto indicator = [bar](const char* text) {
        auto* label = new QLabel(QString::fromLatin1(text), bar);
        label->setObjectName(QString::fromLatin1(text) + QStringLiteral("Pane"));
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 12);
        label->setEnabled(false);
        bar->addPermanentWidget(label);
        return label;
    };
    capPane_ = indicator("CAP");
    numPane_ = indicator("NUM");
    scrlPane_ = indicator("SCRL");

    QAction* toggle = actions_[kCmdViewStatusBar];
    connect(toggle, &QAction::toggled, bar, &QWidget::setVisible);
}

void CMainFrame::BuildToolTree() {
    // No gripper, so no close button: the bar cannot be lost for the rest of the session.
    dock_ = new CSizingControlBar(this);
    dock_->setObjectName(QStringLiteral("MyBar"));
    dock_->Create(QStringLiteral("My Bar"), this, QSize(kMyBarWidth, kMyBarHeight), false,
                  kMyBarId);

    tree_ = new QTreeWidget(dock_);
    tree_->setObjectName(QStringLiteral("ToolTree"));
    tree_->setProperty("controlId", kTreeControlId);
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(true);
    tree_->setUniformRowHeights(true);
    tree_->setExpandsOnDoubleClick(true);
    tree_->setMinimumWidth(33);
    // Whole labels: a narrow indentation lets the longest tool names fit the bar's default
    // width, and a narrowed bar scrolls rather than cutting them.
    tree_->setIndentation(14);
    tree_->setTextElideMode(Qt::ElideNone);
    tree_->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    tree_->header()->setStretchLastSection(false);

    auto* root = new QTreeWidgetItem(tree_, {ComputerItemText()});
    root->setIcon(0, ComputerIcon());
    auto add = [this](QTreeWidgetItem* parent, const QString& text) {
        auto* item = new QTreeWidgetItem(parent, {text});
        const ToolKind* kind = registry_.Find(text);
        if (kind != nullptr) {
            item->setIcon(0, ToolIcon(kind->name));
            if (!kind->registered())
                item->setForeground(0, palette().brush(QPalette::PlaceholderText));
        }
        return item;
    };
    std::vector<QTreeWidgetItem*> folders;
    for (const ToolTreeItem& entry : ToolTreeItems()) {
        if (entry.tool != nullptr) {
            add(root, entry.tool->kind.name);
            continue;
        }
        QTreeWidgetItem* folder = add(root, entry.folder->treeText);
        folder->setIcon(0, FolderIcon());
        for (const ToolEntry* tool : entry.tools) add(folder, tool->kind.name);
        folders.push_back(folder);
    }
    root->setExpanded(true);
    for (QTreeWidgetItem* folder : folders) folder->setExpanded(true);

    tree_->viewport()->installEventFilter(this);
    tree_->installEventFilter(this);
    dock_->SetChild(tree_);
    // The bar starts at its default size on every start; its size is not kept between runs.
    dock_->DockOn(Qt::LeftDockWidgetArea);
}

// "<computer name> (<n>-Processor System)"; the name is held to 256 characters. A simulated
// board gives its name and processor count only while its driver answers: until then the
// root says why it names no computer.
QString CMainFrame::ComputerItemText() {
    Platform& platform = session_.platform();
    std::string computer = platform.ComputerName().substr(0, 256);
    if (computer.empty()) {
        switch (driverState_) {
            case DriverState::Loading:
                return tr("Loading the driver...");
            case DriverState::Failed:
                return tr("Driver not loaded");
            case DriverState::Loaded:
                computer = "Unnamed computer";
                break;
        }
    }
    return QString::fromStdString(Format("%s (%d-Processor System)", computer.c_str(),
                                         static_cast<int>(platform.ProcessorCount())));
}

void CMainFrame::RefreshComputerItem(bool driverLoaded) {
    driverState_ = driverLoaded ? DriverState::Loaded : DriverState::Failed;
    QTreeWidgetItem* root = tree_->topLevelItem(0);
    if (root == nullptr) return;
    root->setText(0, ComputerItemText());
}

void CMainFrame::ShowAccessProblems() {
    capabilitiesKnown_ = session_.client().Detect(capabilities_).served();
    if (!capabilitiesKnown_) return;
    std::vector<std::string> lines = UnavailableAccess(capabilities_);
    accessPane_->setVisible(!lines.empty());
    if (lines.empty()) return;
    QStringList kinds, details;
    for (const std::string& line : lines) {
        details << QString::fromStdString(line);
        kinds << details.last().section(QLatin1Char(':'), 0, 0);
    }
    accessPane_->setText(tr("%n unavailable", nullptr, static_cast<int>(lines.size())));
    accessPane_->setToolTip(
        tr("Not available on %1:\n").arg(QString::fromStdString(session_.Describe())) +
        details.join(QLatin1Char('\n')));
    // Once, at start: the status bar names them until the next message.
    statusBar()->showMessage(
        tr("Unavailable here: %1 (details: the warning on the right)").arg(kinds.join(", ")),
        30000);
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (tree_ != nullptr && watched == tree_->viewport() &&
        event->type() == QEvent::MouseButtonDblClick) {
        // The item under the pointer at the double-click; empty space opens nothing.
        auto* me = static_cast<QMouseEvent*>(event);
        if (me->button() == Qt::LeftButton) {
            if (QTreeWidgetItem* item = tree_->itemAt(me->position().toPoint())) {
                OpenTool(item->text(0));
            }
        }
    } else if (tree_ != nullptr && watched == tree_ && event->type() == QEvent::KeyPress) {
        auto* ke = static_cast<QKeyEvent*>(event);
        if ((ke->key() == Qt::Key_Return || ke->key() == Qt::Key_Enter) && tree_->currentItem()) {
            OpenTool(tree_->currentItem()->text(0));
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // Every window with unsaved work asks first; a Cancel keeps the program running.
    for (CChildFrame* window : toolWindows()) {
        if (window->view() != nullptr && !window->view()->ConfirmClose()) {
            event->ignore();
            return;
        }
    }
    QMainWindow::closeEvent(event);
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!shownOnce_) {
        shownOnce_ = true;
        emit shown();
    }
}

// ---------------------------------------------------------------------------------------------
// Tool windows

ToolView* CMainFrame::OpenTool(const QString& name) {
    const ToolKind* kind = registry_.Find(name);
    if (kind == nullptr || !kind->registered()) return nullptr;
    CChildFrame* frame = OpenKind(*kind);
    return frame == nullptr ? nullptr : frame->view();
}

CChildFrame* CMainFrame::OpenKind(const ToolKind& kind, const ViewFactory& make) {
    ToolContext context;
    context.client = &session_.client();
    context.platform = &session_.platform();
    context.host = this;
    context.wait = wait_;
    context.capabilities = capabilitiesKnown_ ? &capabilities_ : nullptr;
    context.documentTitle = kind.DocumentName() + QString::number(++documentCounts_[kind.name]);
    ToolView* view = make ? make(context) : kind.factory(context);
    if (view == nullptr) return nullptr;
    // Before the window takes its first size from the view.
    KeepColumnsFitted(view);
    auto* frame = new CChildFrame(kind, view, nextSerial_++, context.documentTitle);
    mdi_->addSubWindow(frame);
    PlaceNewWindow(frame);
    connect(frame, &QObject::destroyed, this, [this] {
        // Runs while the window is going away: look again once it has left the area.
        QTimer::singleShot(0, this, [this] {
            if (tearingDown_) return;
            if (mdi_->subWindowList().isEmpty()) ApplyMenuFor(nullptr);
            UpdateTitleLater();
            UpdateCommandStates();
        });
    });
    connect(frame, &QMdiSubWindow::windowStateChanged, this, [this] { UpdateTitleLater(); });
    frame->show();
    mdi_->setActiveSubWindow(frame);
    lastActive_ = frame;
    ApplyMenuFor(&kind);
    UpdateCommandStates();
    return frame;
}

// A new window stands a title bar's height below and right of the previous one, back at the
// top left when it would leave the area, and is never larger than the area.
void CMainFrame::PlaceNewWindow(CChildFrame* frame) {
    const QSize area = mdi_->viewport()->size();
    frame->resize(frame->sizeHint().boundedTo(area).expandedTo(frame->minimumSizeHint()));
    const int step = std::max(20, frame->style()->pixelMetric(QStyle::PM_TitleBarHeight));
    QPoint at(0, 0);
    if (lastPlaced_) {
        at = lastPlaced_->pos() + QPoint(step, step);
        // Shorter or narrower where it still can be, else back to the top left.
        frame->resize(frame->size()
                          .boundedTo(QSize(area.width() - at.x(), area.height() - at.y()))
                          .expandedTo(frame->minimumSizeHint()));
        if (at.x() + frame->width() > area.width() || at.y() + frame->height() > area.height())
            at = QPoint(0, 0);
    }
    frame->move(at);
    lastPlaced_ = frame;
}

void CMainFrame::FitToWorkArea() {
    QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        resize(1024, 700);
        return;
    }
    const QRect work = screen->availableGeometry();
    const QSize size = (work.size() * 0.85).expandedTo(QSize(1024, 700)).boundedTo(work.size());
    resize(size);
    move(work.center() - QPoint(size.width() / 2, size.height() / 2));
}

void CMainFrame::OpenGroupIoAt(uint32_t firstPort, uint32_t count) {
    if (ToolView* view = OpenTool(kGroupIoName)) view->Preset(firstPort, count);
}

void CMainFrame::OpenMemoryDumpAt(uint32_t physicalAddress, uint32_t size) {
    if (ToolView* view = OpenTool(kMemoryDumpName)) view->Preset(physicalAddress, size);
}

void CMainFrame::OpenWatch(const WatchTarget& target) {
    OpenKind(WatchToolKind(), [&target](const ToolContext& context) -> ToolView* {
        return new CKvtWatchView(context, target);
    });
}

QList<CChildFrame*> CMainFrame::toolWindows() const {
    QList<CChildFrame*> list;
    for (QMdiSubWindow* w : mdi_->subWindowList(QMdiArea::CreationOrder)) {
        if (auto* frame = qobject_cast<CChildFrame*>(w)) list.append(frame);
    }
    std::stable_sort(list.begin(), list.end(),
                     [](CChildFrame* a, CChildFrame* b) { return a->serial() < b->serial(); });
    return list;
}

CChildFrame* CMainFrame::activeToolWindow() const {
    if (auto* active = qobject_cast<CChildFrame*>(mdi_->activeSubWindow())) return active;
    // The area reports no active window while the main window itself is inactive; the
    // window that was active last is still the one the commands act on.
    if (lastActive_ && mdi_->subWindowList().contains(lastActive_.data())) return lastActive_;
    return nullptr;
}

// "Korvanta (Host)" or "Korvanta (Simulated board: NAME)": the title always names what the
// tools work on, so two windows of two targets cannot be taken for each other.
QString CMainFrame::BaseTitle() const {
    return QStringLiteral("Korvanta (%1)").arg(QString::fromStdString(session_.Describe()));
}

// The base title with the active tool window's document title added: "Korvanta (Host) -
// Single IO1", or "... - [Single IO]" (its window title) while that window is maximised. Set
// after the MDI area's own title handling for maximised windows has run, so the two never stack.
void CMainFrame::UpdateTitleLater() {
    QTimer::singleShot(0, this, [this] {
        if (tearingDown_) return;
        CChildFrame* active = activeToolWindow();
        QString title = BaseTitle();
        if (active != nullptr) {
            title += active->isMaximized() ? QStringLiteral(" - [%1]").arg(active->windowTitle())
                                           : QStringLiteral(" - %1").arg(active->documentTitle());
        }
        if (windowTitle() != title) setWindowTitle(title);
    });
}

void CMainFrame::OnSubWindowActivated(QMdiSubWindow* window) {
    if (tearingDown_) return;
    UpdateTitleLater();
    auto* frame = qobject_cast<CChildFrame*>(window);
    if (frame != nullptr) {
        lastActive_ = frame;
        ApplyMenuFor(&frame->kind());
    }
    UpdateEditCommands();
}

// A kind with its own menu offers only itself under File ▸ New while its window is active.
void CMainFrame::ApplyMenuFor(const ToolKind* kind) {
    const bool own = kind != nullptr && kind->ownMenu;
    for (auto& [id, a] : newActions_) a->setVisible(!own || id == kind->commandId);
    for (QMenu* folder : folderMenus_) {
        bool any = false;
        for (QAction* a : folder->actions()) any = any || a->isVisible();
        folder->menuAction()->setVisible(any);
    }
    currentMenuId_ = own ? kind->documentKindId : kMainMenuId;
}

void CMainFrame::UpdateCommandStates() {
    if (tearingDown_) return;
    const bool any = !toolWindows().isEmpty();
    actions_[kCmdSave]->setEnabled(any);
    actions_[kCmdSaveAll]->setEnabled(any);
    actions_[kCmdClose]->setEnabled(any);
    UpdateEditCommands();
}

void CMainFrame::OnFocusChanged(QWidget* /*old*/, QWidget* now) {
    if (tearingDown_) return;
    if (watchedEntry_) disconnect(watchedEntry_, nullptr, this, nullptr);
    watchedEntry_ = nullptr;
    if (auto* edit = qobject_cast<QLineEdit*>(now)) {
        watchedEntry_ = edit;
        connect(edit, &QLineEdit::selectionChanged, this, &CMainFrame::UpdateEditCommands);
        connect(edit, &QLineEdit::textChanged, this, &CMainFrame::UpdateEditCommands);
    }
    UpdateEditCommands();
}

void CMainFrame::UpdateEditCommands() {
    if (tearingDown_) return;
    CChildFrame* w = activeToolWindow();
    ToolView* view = w == nullptr ? nullptr : w->view();
    actions_[kCmdCut]->setEnabled(view != nullptr && view->CanCut());
    actions_[kCmdCopy]->setEnabled(view != nullptr && view->CanCopy());
    actions_[kCmdPaste]->setEnabled(view != nullptr && view->CanPaste());
}

void CMainFrame::UpdateLockIndicators() {
    LockKeyState state = ReadLockKeys();
    capPane_->setEnabled(state.known && state.caps);
    numPane_->setEnabled(state.known && state.num);
    scrlPane_->setEnabled(state.known && state.scroll);
    const QString unknown = tr("Lock key state not available on this display");
    for (QLabel* l : {capPane_, numPane_, scrlPane_})
        l->setToolTip(state.known ? QString() : unknown);
}

// ---------------------------------------------------------------------------------------------
// Services

QString CMainFrame::GetProgramFolder() {
    QString folder = QCoreApplication::applicationDirPath();
    QDir::setCurrent(folder);
    return folder + QLatin1Char('/');
}

uint32_t CMainFrame::GetProcessorCount() {
    return session_.platform().ProcessorCount();
}

void CMainFrame::ShowAbout() {
    QDialog dialog(this);
    dialog.setWindowTitle(tr("About"));
    dialog.setObjectName(QStringLiteral("AboutDialog"));
    auto* layout = new QVBoxLayout(&dialog);
    auto* row = new QHBoxLayout;
    auto* icon = new QLabel(&dialog);
    icon->setPixmap(AppIcon().pixmap(32, 32));
    auto* text =
        new QLabel(QString::fromStdString(Format("Korvanta Version %s", kVersionText)), &dialog);
    text->setObjectName(QStringLiteral("AboutText"));
    row->addWidget(icon);
    row->addSpacing(12);
    row->addWidget(text, 1);
    layout->addLayout(row);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    layout->addWidget(buttons);
    dialog.exec();
}

// The project's own page: the README installed with the package, else the one of the source
// tree the program was built in, else the package's documentation folder.
QUrl CMainFrame::SupportPageUrl() {
    const QString program = QCoreApplication::applicationDirPath();
    const QStringList candidates = {program + "/../share/doc/korvanta/README.md",
                                    QStringLiteral("/usr/share/doc/korvanta/README.md"),
                                    QStringLiteral(KORVANTA_SOURCE_README)};
    for (const QString& file : candidates) {
        if (QFileInfo(file).isFile())
            return QUrl::fromLocalFile(QFileInfo(file).canonicalFilePath());
    }
    return QUrl::fromLocalFile(QStringLiteral("/usr/share/doc/korvanta/"));
}

void CMainFrame::OpenSupportPage() {
    QDesktopServices::openUrl(SupportPageUrl());
}

void CMainFrame::BringToFront() {
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    emit broughtToFront();
}

// ---------------------------------------------------------------------------------------------
// Report saving

QString CMainFrame::ChooseSavePathWithDialog(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent, QString(), folder);
    SetFileDialogFilters(dialog, QStringLiteral("Save Files (*.log)|*.log|All Files (*.*)|*.*||"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("log"));
    dialog.selectFile(QStringLiteral("hwinfo.log"));
    // Asking before an existing file is overwritten is the dialog's default.
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

// The save dialog opens in the program folder; where that folder is not writable (an
// installed program in /usr/bin) it opens in the user's documents folder instead, so the
// proposed hwinfo.log can be saved as it stands.
QString CMainFrame::ReportFolder(const QString& programFolder) {
    if (::access(QFile::encodeName(programFolder).constData(), W_OK) == 0) return programFolder;
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (documents.isEmpty() || !QDir(documents).exists()) documents = QDir::homePath();
    return documents + QLatin1Char('/');
}

QString CMainFrame::ChooseReportPath() {
    return chooseSavePath_(this, ReportFolder(GetProgramFolder()));
}

void CMainFrame::SaveAllReports() {
    if (toolWindows().isEmpty()) return;
    QString path = ChooseReportPath();
    if (path.isEmpty()) return;
    std::vector<ReportWindow> windows;
    for (CChildFrame* w : toolWindows()) windows.push_back({&w->kind(), w->view()});
    ShowSaveResult(kvt::SaveAllReports(QFile::encodeName(path).toStdString(), windows));
}

void CMainFrame::SaveActiveReport() {
    CChildFrame* active = activeToolWindow();
    if (active == nullptr) return;
    QString path = ChooseReportPath();
    if (path.isEmpty()) return;
    ShowSaveResult(kvt::SaveActiveReport(QFile::encodeName(path).toStdString(),
                                         {&active->kind(), active->view()}));
}

void CMainFrame::ShowSaveResult(SaveResult result) {
    switch (result) {
        case SaveResult::OpenFailed:
            ShowKorvantaMessage(this, QString::fromLatin1(kOpenFailedMessage));
            break;
        case SaveResult::WriteFailed:
            ShowKorvantaMessage(this, QString::fromLatin1(kWriteFailedMessage));
            break;
        case SaveResult::UseOwnSave:
            ShowKorvantaMessage(this, QString::fromLatin1(kUseOwnSaveMessage));
            break;
        case SaveResult::Written:
            break;
    }
}

}  // namespace kvt
