// The main window on a simulated board: tree, status bar, menus, toolbar, opening tools,
// command states and the menu of a kind with its own menu.
#include "app/main_frame.h"

#include <QAction>
#include <QClipboard>
#include <QDialog>
#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "gui_support.h"
#include "shell/tool_registry.h"
#include "tools/io/view/CKVTIOView.h"

using namespace kvt;

namespace {

// A view for the kinds whose tools are not built yet; it records what the shell asks of it.
class RecordingView : public ToolView {
  public:
    using ToolView::ToolView;
    void Preset(uint32_t a, uint32_t b) override { presets.append({a, b}); }
    QList<QPair<uint32_t, uint32_t>> presets;
};

QStringList ChildTexts(QTreeWidgetItem* item) {
    QStringList texts;
    for (int i = 0; i < item->childCount(); ++i) texts << item->child(i)->text(0);
    return texts;
}

QStringList ActionTexts(const QList<QAction*>& actions) {
    QStringList texts;
    for (QAction* a : actions) texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    return texts;
}

}  // namespace

class MainFrameTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;

    void MakeFrame(const std::function<void(ToolRegistry&)>& adjust = {}) {
        frame_.reset();
        registry_ = std::make_unique<ToolRegistry>();
        RegisterBuiltinTools(*registry_);
        if (adjust) adjust(*registry_);
        frame_ = std::make_unique<CMainFrame>(*registry_, *board_.session);
        frame_->resize(1000, 700);
        frame_->show();
        QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    }

    void DoubleClick(QTreeWidget* tree, const QPoint& pos) {
        QTest::mouseDClick(tree->viewport(), Qt::LeftButton, Qt::NoModifier, pos);
        QApplication::processEvents();
    }

  private slots:
    void initTestCase() { QVERIFY2(board_.Start(), board_.error.c_str()); }
    void init() { MakeFrame(); }
    void cleanup() { frame_.reset(); }

    void treeStatusBarAndDock() {
        QTreeWidget* tree = frame_->toolTree();
        QCOMPARE(tree->topLevelItemCount(), 1);
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QCOMPARE(root->text(0), QStringLiteral("KVT-P35-ICH9 (4-Processor System)"));
        QCOMPARE(ChildTexts(root),
                 (QStringList{"OS Info", "CPUID Info", "PCI Read/Write", "I/O Read/Write",
                              "MSR Read/Write", "CMOS Read/Write", "Memory Dump",
                              "Hex Viewer/Editor", "SMBus Access", "Write Journal"}));
        QTreeWidgetItem* io = root->child(3);
        QCOMPARE(ChildTexts(io), (QStringList{"Single I/O Access", "Group I/O Access"}));
        QVERIFY(root->isExpanded());
        QVERIFY(io->isExpanded());

        QCOMPARE(frame_->sessionPane()->text(), QStringLiteral("Simulated board: intel-desktop"));
        QVERIFY(frame_->findChild<QLabel*>(QStringLiteral("CAPPane")) != nullptr);
        QVERIFY(frame_->findChild<QLabel*>(QStringLiteral("NUMPane")) != nullptr);
        QVERIFY(frame_->findChild<QLabel*>(QStringLiteral("SCRLPane")) != nullptr);

        QCOMPARE(frame_->toolDock()->windowTitle(), QStringLiteral("My Bar"));
        QCOMPARE(frame_->dockWidgetArea(frame_->toolDock()), Qt::LeftDockWidgetArea);
        QCOMPARE(frame_->windowTitle(),
                 QStringLiteral("Korvanta (Simulated board: intel-desktop)"));
        QVERIFY(frame_->toolWindows().isEmpty());
        QCOMPARE(frame_->GetProcessorCount(), 4u);
    }

    void doubleClickOpensTheItemUnderThePointer() {
        QTreeWidget* tree = frame_->toolTree();
        QTreeWidgetItem* single = tree->topLevelItem(0)->child(3)->child(0);
        const QPoint at = tree->visualItemRect(single).center();
        DoubleClick(tree, at);
        DoubleClick(tree, at);
        QCOMPARE(frame_->toolWindows().size(), 2);
        for (CChildFrame* w : frame_->toolWindows()) {
            QCOMPARE(w->windowTitle(), QStringLiteral("Single IO"));
            QVERIFY(qobject_cast<CKVTIOView*>(w->view()) != nullptr);
        }

        // The root, the group item and empty space open nothing.
        DoubleClick(tree, tree->visualItemRect(tree->topLevelItem(0)).center());
        tree->topLevelItem(0)->setExpanded(true);
        QTreeWidgetItem* io = tree->topLevelItem(0)->child(3);
        DoubleClick(tree, tree->visualItemRect(io).center());
        io->setExpanded(true);
        QTreeWidgetItem* last = tree->topLevelItem(0)->child(8);
        QPoint below = tree->visualItemRect(last).bottomLeft() + QPoint(10, 40);
        QVERIFY(tree->viewport()->rect().contains(below));
        QVERIFY(tree->itemAt(below) == nullptr);
        DoubleClick(tree, below);
        QCOMPARE(frame_->toolWindows().size(), 2);
    }

    void openToolMatchesNamesExactly() {
        QVERIFY(frame_->OpenTool(QStringLiteral("Smbus Access")) == nullptr);
        QVERIFY(frame_->OpenTool(QStringLiteral("I/O Read/Write")) == nullptr);
        QVERIFY(frame_->OpenTool(QStringLiteral("single I/O access")) == nullptr);
        QVERIFY(frame_->OpenTool(QStringLiteral("Single I/O Access ")) == nullptr);
        QVERIFY(frame_->toolWindows().isEmpty());
        QVERIFY(frame_->OpenTool(QStringLiteral("Single I/O Access")) != nullptr);
        QCOMPARE(frame_->toolWindows().size(), 1);
        QCOMPARE(frame_->activeToolWindow(), frame_->toolWindows().first());
    }

    void presetsReachTheNewView() {
        QList<RecordingView*> views;
        MakeFrame([&views](ToolRegistry& r) {
            auto factory = [&views](const ToolContext&) -> ToolView* {
                views.append(new RecordingView);
                return views.last();
            };
            r.Register(kGroupIoName, factory);
            r.Register(kMemoryDumpName, factory);
        });
        frame_->OpenGroupIoAt(0xE000, 256);
        frame_->OpenMemoryDumpAt(0xFEB00000, 1024);
        QCOMPARE(views.size(), 2);
        QCOMPARE(views[0]->presets, (QList<QPair<uint32_t, uint32_t>>{{0xE000u, 256u}}));
        QCOMPARE(views[1]->presets, (QList<QPair<uint32_t, uint32_t>>{{0xFEB00000u, 1024u}}));
        QCOMPARE(frame_->toolWindows()[0]->windowTitle(), QStringLiteral("Group IO"));
        QCOMPARE(frame_->toolWindows()[1]->windowTitle(), QStringLiteral("Memory Dump"));
    }

    void menusToolbarAndAccelerators() {
        QMenuBar* bar = frame_->menuBar();
        QCOMPARE(ActionTexts(bar->actions()), (QStringList{"&File", "&View", "&Help"}));
        QMenu* file = bar->actions()[0]->menu();
        QCOMPARE(ActionTexts(file->actions()),
                 (QStringList{"&New\tCtrl+N", "-", "&Close", "E&xit"}));
        QCOMPARE(ActionTexts(frame_->newMenu()->actions()),
                 (QStringList{"OS Info", "CPUID Info", "PCI Read/Write", "IO Read/Write",
                              "MSR Read/Write", "CMOS Read/Write", "Memory Dump",
                              "HEX Viewer/Editor", "Smbus Access", "Write Journal"}));
        QList<int> ids;
        for (QAction* a : frame_->newMenu()->actions()) {
            if (a->menu() != nullptr) {
                QCOMPARE(ActionTexts(a->menu()->actions()),
                         (QStringList{"Single I/O Access", "Group I/O Access"}));
                for (QAction* s : a->menu()->actions()) ids << s->data().toInt();
            } else {
                ids << a->data().toInt();
            }
        }
        QCOMPARE(ids, (QList<int>{144, 161, 132, 131, 173, 164, 162, 163, 165, 176, 178}));
        QVERIFY(frame_->action(131)->isEnabled());
        QVERIFY(frame_->action(144)->isEnabled());
        QVERIFY(frame_->action(176)->isEnabled());
        QCOMPARE(file->actions()[2]->data().toInt(), 57602);
        QCOMPARE(file->actions()[3]->data().toInt(), 57665);
        QMenu* view = bar->actions()[1]->menu();
        QCOMPARE(ActionTexts(view->actions()), (QStringList{"&Toolbar", "&Status Bar"}));
        QMenu* help = bar->actions()[2]->menu();
        QCOMPARE(ActionTexts(help->actions()), (QStringList{"&Help Topics", "-", "&About..."}));
        QCOMPARE(help->actions()[0]->data().toInt(), 57667);
        QCOMPARE(help->actions()[2]->data().toInt(), 57664);

        // File ▸ New ▸ Single I/O Access opens a window.
        frame_->action(131)->trigger();
        QCOMPARE(frame_->toolWindows().size(), 1);

        auto* toolBar = frame_->findChild<QToolBar*>(QStringLiteral("ToolBar"));
        QList<int> buttons;
        QStringList tips;
        for (QAction* a : toolBar->actions()) {
            buttons << (a->isSeparator() ? 0 : a->data().toInt());
            if (!a->isSeparator()) tips << a->statusTip() + "|" + a->toolTip();
        }
        QCOMPARE(buttons, (QList<int>{32777, 166, 0, 57635, 57634, 57637, 0, 57664, 32780}));
        QCOMPARE(tips.first(), QStringLiteral("Save current active document|Save"));
        QCOMPARE(tips[1], QStringLiteral("Save all open documents|Save All"));
        QCOMPARE(tips[2], QStringLiteral("Cut the selection and put it on the Clipboard|Cut"));
        QCOMPARE(tips[3], QStringLiteral("Copy the selection and put it on the Clipboard|Copy"));
        QCOMPARE(tips[4], QStringLiteral("Insert Clipboard contents|Paste"));
        QCOMPARE(tips[6], QStringLiteral("Connet to product support website|Support Website"));

        QCOMPARE(frame_->action(57634)->shortcuts(),
                 (QList<QKeySequence>{QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins")}));
        QCOMPARE(frame_->action(57635)->shortcuts(),
                 (QList<QKeySequence>{QKeySequence("Ctrl+X"), QKeySequence("Shift+Del")}));
        QCOMPARE(frame_->action(57637)->shortcuts(),
                 (QList<QKeySequence>{QKeySequence("Ctrl+V"), QKeySequence("Shift+Ins")}));
        QCOMPARE(frame_->action(57600)->shortcut(), QKeySequence("Ctrl+N"));
        QCOMPARE(frame_->action(57603)->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(frame_->action(57670)->shortcut(), QKeySequence("F1"));

        // View toggles hide and show the bars.
        frame_->action(59392)->trigger();
        QVERIFY(!toolBar->isVisible());
        frame_->action(59392)->trigger();
        QVERIFY(toolBar->isVisible());
        frame_->action(59393)->trigger();
        QVERIFY(!frame_->statusBar()->isVisible());
        frame_->action(59393)->trigger();
        QVERIFY(frame_->statusBar()->isVisible());

        // Ctrl+N and Ctrl+S do nothing; Close closes the active tool window.
        frame_->action(57600)->trigger();
        frame_->action(57603)->trigger();
        QCOMPARE(frame_->toolWindows().size(), 1);
        frame_->action(57602)->trigger();
        QTRY_COMPARE(frame_->toolWindows().size(), 0);
    }

    void registryOrderAndTitles() {
        QStringList rows;
        for (const ToolKind& k : registry_->kinds()) {
            rows << QStringLiteral("%1|%2|%3|%4|%5")
                        .arg(k.name)
                        .arg(k.commandId)
                        .arg(k.documentKindId)
                        .arg(k.WindowTitle())
                        .arg(k.saveAllPosition);
        }
        QCOMPARE(
            rows,
            (QStringList{
                "Single I/O Access|131|129|Single IO|3", "Group I/O Access|173|155|Group IO|4",
                "PCI Read/Write|132|147|PCI Read/Write|5", "OS Info|144|130|OS Info|1",
                "CMOS Read/Write|162|131|CMOS|6", "Memory Dump|163|132|Memory Dump|0",
                "Hex Viewer/Editor|165|152|Hex Viewer/Editor|0",
                "MSR Read/Write|164|153|MSR Read/Write|7", "CPUID Info|161|154|CPUID|2",
                "SMBus Access|176|175|Smbus Access|8", "Write Journal|178|178|Write Journal|0"}));
        QVERIFY(registry_->Find(kPciName)->ownMenu);
        QCOMPARE(registry_->Find(kMemoryDumpName)->reportMode, ReportMode::Binary);
        QCOMPARE(registry_->Find(kHexEditName)->reportMode, ReportMode::OwnSaveOnly);
    }

    void titleNamesTheActiveToolWindow() {
        QCOMPARE(frame_->windowTitle(),
                 QStringLiteral("Korvanta (Simulated board: intel-desktop)"));
        frame_->OpenTool(kSingleIoName);
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop) - Single IO1"));
        frame_->toolWindows().first()->showMaximized();
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop) - [Single IO]"));
        frame_->toolWindows().first()->showNormal();
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop) - Single IO1"));
        // Running numbers per kind: a second Single I/O window, then the first Memory Dump.
        frame_->OpenTool(kSingleIoName);
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop) - Single IO2"));
        frame_->OpenTool(kMemoryDumpName);
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop) - Memory1"));
        QCOMPARE(frame_->toolWindows().last()->windowTitle(), QStringLiteral("Memory Dump"));
        frame_->mdiArea()->closeAllSubWindows();
        QTRY_COMPARE(frame_->windowTitle(),
                     QStringLiteral("Korvanta (Simulated board: intel-desktop)"));
    }

    void saveCommandsNeedAToolWindow() {
        QAction* save = frame_->action(kCmdSave);
        QAction* saveAll = frame_->action(kCmdSaveAll);
        QVERIFY(!save->isEnabled());
        QVERIFY(!saveAll->isEnabled());
        frame_->OpenTool(kSingleIoName);
        frame_->OpenTool(kSingleIoName);
        QVERIFY(save->isEnabled());
        QVERIFY(saveAll->isEnabled());
        frame_->mdiArea()->closeActiveSubWindow();
        QTRY_COMPARE(frame_->toolWindows().size(), 1);
        QVERIFY(save->isEnabled());
        frame_->mdiArea()->closeAllSubWindows();
        QTRY_VERIFY(!save->isEnabled());
        QVERIFY(!saveAll->isEnabled());
    }

    void kindWithItsOwnMenuSwitchesTheNewMenu() {
        MakeFrame([](ToolRegistry& r) {
            r.Mutable(kSingleIoName)->ownMenu = true;
            r.Register(kOsInfoName, [](const ToolContext&) { return new RecordingView; });
        });
        auto visibleNew = [this] {
            QList<int> ids;
            for (QAction* a : frame_->newMenu()->actions()) {
                if (!a->isVisible()) continue;
                if (a->menu()) {
                    for (QAction* s : a->menu()->actions())
                        if (s->isVisible()) ids << s->data().toInt();
                } else {
                    ids << a->data().toInt();
                }
            }
            return ids;
        };
        QCOMPARE(frame_->currentMenuId(), 128);
        QCOMPARE(visibleNew().size(), 11);
        frame_->OpenTool(kSingleIoName);
        QCOMPARE(frame_->currentMenuId(), 129);
        QCOMPARE(visibleNew(), QList<int>{131});
        frame_->OpenTool(kOsInfoName);
        QCOMPARE(frame_->currentMenuId(), 128);
        QCOMPARE(visibleNew().size(), 11);
        frame_->mdiArea()->setActiveSubWindow(frame_->toolWindows().first());
        QCOMPARE(frame_->currentMenuId(), 129);
        frame_->mdiArea()->closeAllSubWindows();
        QTRY_COMPARE(frame_->currentMenuId(), 128);
        QCOMPARE(visibleNew().size(), 11);
    }

    void aboutBoxAndProgramFolder() {
        QString title, text;
        QTimer::singleShot(50, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog != nullptr);
            title = dialog->windowTitle();
            text = dialog->findChild<QLabel*>(QStringLiteral("AboutText"))->text();
            dialog->accept();
        });
        frame_->action(kCmdAbout)->trigger();
        QCOMPARE(title, QStringLiteral("About"));
        QCOMPARE(text, QStringLiteral("Korvanta Version 1.88.00.8"));

        QDir::setCurrent(QDir::tempPath());
        QString folder = frame_->GetProgramFolder();
        QCOMPARE(folder, QCoreApplication::applicationDirPath() + "/");
        QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
    }

    // Every tool window opens wide enough for its lists: no column is cut by the list's edge
    // or narrower than its caption and the texts it holds.
    void toolWindowsOpenShowingTheirColumns() {
        frame_->resize(1280, 800);
        for (const ToolKind& kind : registry_->kinds()) {
            if (!kind.registered()) continue;
            frame_->mdiArea()->closeAllSubWindows();
            QVERIFY(frame_->OpenTool(kind.name) != nullptr);
            QMdiSubWindow* window = frame_->mdiArea()->activeSubWindow();
            QVERIFY(QTest::qWaitForWindowExposed(window));
            for (QTreeView* list : window->findChildren<QTreeView*>()) {
                if (!list->isVisible()) continue;
                QHeaderView* header = list->header();
                const QAbstractItemView* items = list;  // sizeHintForColumn is public here
                int columns = 0;
                for (int c = 0; c < header->count(); ++c) {
                    if (header->isSectionHidden(c)) continue;
                    const QString what = kind.name + " column " + QString::number(c);
                    QVERIFY2(header->sectionSize(c) >= header->sectionSizeHint(c),
                             qPrintable(what));
                    QVERIFY2(header->sectionSize(c) >= items->sizeHintForColumn(c),
                             qPrintable(what));
                    columns += header->sectionSize(c);
                }
                QVERIFY2(columns <= list->viewport()->width(),
                         qPrintable(kind.name + ": " + QString::number(columns) + " > " +
                                    QString::number(list->viewport()->width())));
            }
        }
    }

    void editCommandsFollowTheFocusedField() {
        QApplication::setActiveWindow(frame_.get());
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
        auto* view = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        QAction* cut = frame_->action(kCmdCut);
        QAction* copy = frame_->action(kCmdCopy);
        QAction* paste = frame_->action(kCmdPaste);
        QApplication::clipboard()->clear();
        view->portEdit()->setFocus();
        QTRY_VERIFY(view->portEdit()->hasFocus());
        QTest::keyClicks(view->portEdit(), "cf8");
        QVERIFY(!copy->isEnabled());
        QVERIFY(!cut->isEnabled());
        view->portEdit()->selectAll();
        QVERIFY(copy->isEnabled());
        QVERIFY(cut->isEnabled());
        cut->trigger();
        QCOMPARE(view->portEdit()->text(), QString());
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("cf8"));
        QVERIFY(paste->isEnabled());
        view->offsetEdit()->setFocus();
        QTRY_VERIFY(view->offsetEdit()->hasFocus());
        paste->trigger();
        QCOMPARE(view->offsetEdit()->text(), QStringLiteral("cf8"));
        // Alt+Backspace undoes in the field; F6 and Shift+F6 step through the tool windows.
        QTest::keyClick(view->offsetEdit(), Qt::Key_Backspace, Qt::AltModifier);
        QCOMPARE(view->offsetEdit()->text(), QString());
        QTest::keyClicks(view->offsetEdit(), "1");
        QMdiSubWindow* first = frame_->mdiArea()->activeSubWindow();
        frame_->OpenTool(kSingleIoName);
        QMdiSubWindow* second = frame_->mdiArea()->activeSubWindow();
        QVERIFY(second != first);
        QTest::keyClick(frame_.get(), Qt::Key_F6);
        QCOMPARE(frame_->mdiArea()->activeSubWindow(), first);
        QTest::keyClick(frame_.get(), Qt::Key_F6, Qt::ShiftModifier);
        QCOMPARE(frame_->mdiArea()->activeSubWindow(), second);
        frame_->mdiArea()->setActiveSubWindow(first);
        view->offsetEdit()->setFocus();
        QTRY_VERIFY(view->offsetEdit()->hasFocus());
        QTest::keyClick(view->offsetEdit(), Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(view->offsetEdit()->text(), QString());
        view->offsetEdit()->setText("cf8");
        view->offsetEdit()->setReadOnly(true);
        view->offsetEdit()->selectAll();
        QVERIFY(!paste->isEnabled());
        QVERIFY(copy->isEnabled());
        // Focus outside an entry field: nothing to copy to or from.
        frame_->toolTree()->setFocus();
        QTRY_VERIFY(frame_->toolTree()->hasFocus());
        QVERIFY(!copy->isEnabled());
        QVERIFY(!paste->isEnabled());
    }

    // New windows step down and right from the last one, and none leaves the area, even when
    // its content asks for more room.
    void windowsCascadeAndFitTheArea() {
        frame_->OpenTool(kOsInfoName);
        frame_->OpenTool(kSingleIoName);
        frame_->OpenTool(kGroupIoName);
        const QList<CChildFrame*> windows = frame_->toolWindows();
        QCOMPARE(windows[0]->pos(), QPoint(0, 0));
        QVERIFY(windows[1]->pos().x() > 0 && windows[1]->pos().y() > 0);
        QVERIFY(windows[2]->pos().x() > windows[1]->pos().x());
        const QRect area(QPoint(0, 0), frame_->mdiArea()->viewport()->size());
        windows[2]->resize(5000, 4000);
        QTRY_VERIFY2(area.contains(windows[2]->geometry()),
                     qPrintable(QStringLiteral("%1,%2 %3x%4")
                                    .arg(windows[2]->x())
                                    .arg(windows[2]->y())
                                    .arg(windows[2]->width())
                                    .arg(windows[2]->height())));
    }

    void treeLabelsAreWhole() {
        QTreeWidget* tree = frame_->toolTree();
        QTreeWidgetItem* io = tree->topLevelItem(0)->child(3);
        QCOMPARE(io->text(0), QStringLiteral("I/O Read/Write"));
        for (int i = 0; i < io->childCount(); ++i) {
            const QRect shown = tree->visualItemRect(io->child(i));
            const int text = tree->fontMetrics().horizontalAdvance(io->child(i)->text(0));
            // In view without scrolling, and not cut short.
            QVERIFY2(shown.x() + text + 24 <= tree->viewport()->width() && shown.width() > text,
                     qPrintable(io->child(i)->text(0)));
        }
    }

    void saveProposesAWritableFolder() {
        QTemporaryDir writable;
        const QString folder = writable.path() + "/";
        QCOMPARE(CMainFrame::ReportFolder(folder), folder);
        const QString fallback = CMainFrame::ReportFolder("/no-such-folder/");
        QVERIFY(fallback != "/no-such-folder/");
        QVERIFY(QFileInfo(fallback).isDir());
        // Support Website opens a page of the project on this machine.
        const QUrl support = CMainFrame::SupportPageUrl();
        QVERIFY(support.isLocalFile());
        QVERIFY2(QFileInfo::exists(support.toLocalFile()), qPrintable(support.toString()));
    }
};

QTEST_MAIN(MainFrameTest)
#include "main_frame_test.moc"
