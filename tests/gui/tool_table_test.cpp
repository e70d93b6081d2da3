// The tool table: every entry's factory makes the view it names, and a registry that holds
// only some of the table's tools still gets the whole menu and tree, the others disabled.
#include <QAction>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QTreeWidget>
#include <QtTest>
#include <set>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"

using namespace kvt;

class ToolTableTest : public QObject {
    Q_OBJECT
    guitest::BoardSession board_;

  private slots:
    void initTestCase() { QVERIFY2(board_.Start(), board_.error.c_str()); }

    void entriesAreDistinctAndOpenTheirViews() {
        std::set<QString> names, files;
        std::set<int> commands, shots;
        for (const ToolEntry& e : ToolTable()) {
            QVERIFY(names.insert(e.kind.name).second);
            QVERIFY(commands.insert(e.kind.commandId).second);
            QVERIFY(files.insert(e.screenshotFile).second);
            QVERIFY(shots.insert(e.shotPlace).second);
        }
        std::unique_ptr<ToolRegistry> registry;
        auto frame = guitest::ShowMainFrame(registry, *board_.session, {1100, 800});
        QVERIFY(frame);
        QCOMPARE(registry->kinds().size(), ToolTable().size());
        for (const ToolEntry& e : ToolTable()) {
            ToolView* view = frame->OpenTool(e.kind.name);
            QVERIFY2(view != nullptr, qPrintable(e.kind.name));
            QCOMPARE(QString::fromLatin1(view->metaObject()->className()),
                     "kvt::" + e.kind.viewClass);
            QVERIFY(!frame->mdiArea()->activeSubWindow()->windowIcon().isNull());
            frame->mdiArea()->closeAllSubWindows();
        }
        QVERIFY(!registry->Add(ToolTable().front().kind));  // a name is registered once
        QCOMPARE(registry->kinds().size(), ToolTable().size());
    }

    void toolsMissingFromTheRegistryAreShownDisabled() {
        ToolRegistry registry;
        QVERIFY(registry.Add(FindToolEntry(kCmosName)->kind));
        CMainFrame frame(registry, *board_.session);
        int enabled = 0, all = 0;
        std::function<void(QMenu*)> walk = [&](QMenu* menu) {
            for (QAction* a : menu->actions()) {
                if (a->menu() != nullptr) {
                    walk(a->menu());
                    continue;
                }
                ++all;
                if (a->isEnabled()) {
                    ++enabled;
                    QCOMPARE(a->text(), QStringLiteral("CMOS Read/Write"));
                }
            }
        };
        walk(frame.newMenu());
        QCOMPARE(all, int(ToolTable().size()));
        QCOMPARE(enabled, 1);
        QTreeWidgetItem* root = frame.toolTree()->topLevelItem(0);
        QCOMPARE(root->childCount(), int(ToolTable().size() - 1));  // two tools in one folder
        QVERIFY(frame.OpenTool(kPciName) == nullptr);
        QVERIFY(frame.OpenTool(kCmosName) != nullptr);
    }
};

QTEST_MAIN(ToolTableTest)
#include "tool_table_test.moc"
