// Group I/O, CMOS and OS Info windows on a board, and the tool tree's sizing bar: real
// widgets, real daemon, real mouse drags.
#include <QLineEdit>
#include <QListWidget>
#include <QMdiArea>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "shell/report_saver.h"
#include "support/process.h"
#include "tools/io/view/CKVTGroupIOView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/io/view/CKvtCmosView.h"
#include "tools/osinfo/view/COSinfoView.h"

using namespace kvt;

namespace {

QString Cell(QTreeView* list, int row, int column) {
    return list->model()->index(row, column).data().toString();
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString Header(QTreeView* list, int column) {
    return list->model()->headerData(column, Qt::Horizontal).toString();
}

}  // namespace

class IocViewsTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
    }
    void init() {
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1000, 700});
        QVERIFY(frame_ != nullptr);
    }
    void cleanup() { frame_.reset(); }

    void groupIoModesAndPreset() {
        auto* view = qobject_cast<CKVTGroupIOView*>(frame_->OpenTool(kGroupIoName));
        QVERIFY(view != nullptr);
        QVERIFY(view->startEdit()->isEnabled());
        QVERIFY(!view->indexPortEdit()->isEnabled());
        QCOMPARE(Header(view->list(), 0), QStringLiteral("Port Address (Hex)"));
        QCOMPARE(view->startEdit()->maxLength(), 4);
        view->startEdit()->setText("0");
        view->endEdit()->setText("FFFF");
        view->readButton()->click();
        QCOMPARE(view->list()->model()->rowCount(), 65536);
        QCOMPARE(Cell(view->list(), 65535, 0), QStringLiteral("FFFF"));

        view->indexChoice()->click();
        QCOMPARE(view->list()->model()->rowCount(), 0);
        QCOMPARE(Header(view->list(), 0), QStringLiteral("Offset (Hex)"));
        QVERIFY(!view->startEdit()->isEnabled());
        guitest::MessageBoxCatcher catcher;
        view->indexPortEdit()->setText("70");
        view->readButton()->click();
        QTRY_COMPARE(catcher.texts(), QStringList{"Error! Please provide port address!"});
        QTRY_COMPARE(frame_->focusWidget(), view->dataPortEdit());
        view->dataPortEdit()->setText("71");
        view->startOffsetEdit()->setText("2F");
        view->endOffsetEdit()->setText("2F");
        view->readButton()->click();
        QCOMPARE(Cell(view->list(), 0, 1), QStringLiteral("C3"));

        frame_->OpenGroupIoAt(0xFFF0, 0x100);
        auto* preset = qobject_cast<CKVTGroupIOView*>(frame_->activeToolWindow()->view());
        QCOMPARE(preset->endEdit()->text(), QStringLiteral("FFFF"));
        QCOMPARE(preset->list()->model()->rowCount(), 16);
    }

    void cmosBankSizeSelectAndWrite() {
        auto* view = qobject_cast<CKvtCmosView*>(frame_->OpenTool(kCmosName));
        QVERIFY(view != nullptr);
        QTRY_COMPARE(view->dumpList()->model()->rowCount(), 128);  // dumped when first shown
        QCOMPARE(Cell(view->dumpList(), 0x2F, 2), QStringLiteral("11000011"));
        view->size256Choice()->click();
        QCOMPARE(view->dumpList()->model()->rowCount(), 128);  // applies at the next dump
        view->bankList()->setCurrentRow(1);
        QCOMPARE(view->dumpList()->model()->rowCount(), 256);
        QCOMPARE(Cell(view->dumpList(), 1, 1), QStringLiteral("A5"));
        view->dumpList()->setCurrentIndex(view->dumpList()->model()->index(2, 0));
        QCOMPARE(view->offsetEdit()->text(), QStringLiteral("02"));
        QCOMPARE(view->dataEdit()->text(), QStringLiteral("01"));
        view->dataEdit()->setText("7e");
        view->writeButton()->click();
        QCOMPARE(Cell(view->dumpList(), 2, 1), QStringLiteral("7E"));

        guitest::MessageBoxCatcher catcher;
        view->offsetEdit()->setText("G");
        view->writeButton()->click();
        QTRY_COMPARE(catcher.texts(), QStringList{"Input CMOS Offset Error!"});
        QTRY_COMPARE(frame_->focusWidget(), view->offsetEdit());
    }

    void osInfoRows() {
        auto* view = qobject_cast<COSinfoView*>(frame_->OpenTool(kOsInfoName));
        QVERIFY(view != nullptr);
        QCOMPARE(view->list()->topLevelItemCount(), 11);
        QCOMPARE(view->list()->topLevelItem(0)->text(0), QStringLiteral("No. of Processors"));
        QCOMPARE(view->list()->topLevelItem(0)->text(1), QStringLiteral("4"));
        QCOMPARE(view->list()->topLevelItem(10)->text(1), QStringLiteral("KVT-P35-ICH9"));
        // At least these widths; wider where the texts need it.
        QVERIFY(view->list()->columnWidth(0) >= 150);
        QVERIFY(view->list()->columnWidth(1) >= 350);
    }

    void barStartsAt180AndStopsAtItsMinimum() {
        CSizingControlBar* bar = frame_->toolDock();
        QTRY_COMPARE(bar->width(), 180);
        QVERIFY(!(bar->features() & QDockWidget::DockWidgetClosable));
        QCOMPARE(bar->controlId(), 59424);
        QWidget* edge = bar->sizingEdge();
        QVERIFY(edge->isVisible());
        const QPoint grip(edge->width() / 2, edge->height() / 2);
        QTest::mousePress(edge, Qt::LeftButton, {}, grip);
        QTest::mouseMove(edge, grip - QPoint(400, 0));
        QTest::mouseRelease(edge, Qt::LeftButton, {}, grip - QPoint(400, 0));
        QTRY_COMPARE(bar->width(), 33);
        QCOMPARE(bar->vertSize().width(), 33);

        // Another side takes that side's size; floating keeps its own.
        frame_->addDockWidget(Qt::TopDockWidgetArea, bar);
        QTRY_COMPARE(bar->height(), 80);
        bar->setFloating(true);
        QTRY_VERIFY(bar->isFloating());
        QTRY_COMPARE(bar->size(), QSize(180, 80));
        bar->resize(10, 10);
        QTRY_COMPARE(bar->floatSize(), QSize(33, 32));
        bar->setFloating(false);
        frame_->addDockWidget(Qt::LeftDockWidgetArea, bar);
        QTRY_COMPARE(bar->width(), 33);
    }

    // Save All on the transmeta board with a window of every tool the registry holds (Group
    // I/O twice, direct and index; CMOS at 72h with 256 bytes): each window's report in the
    // Save All order, each group but the last closed by a line end, byte for byte what Save
    // writes for each window alone.
    void saveAllOnTransmeta() {
        frame_.reset();
        test::PrivateDaemon daemon;
        test::DaemonOptions options;
        options.board = test::BoardProfile("transmeta");
        std::string error;
        QVERIFY2(daemon.Start(options, &error), error.c_str());
        const QByteArray oldDir = qgetenv("KORVANTA_RUNTIME_DIR");
        qputenv("KORVANTA_RUNTIME_DIR", daemon.runtimeDir().c_str());
        std::unique_ptr<HardwareSession> session = HardwareSession::Create(options.board, &error);
        QVERIFY(session && session->LoadDriver(&error));
        QTemporaryDir dir;
        const QString path = dir.filePath("hwinfo.log");
        QByteArray expected;
        {
            CMainFrame frame(*registry_, *session);
            frame.setSavePathChooser([&](QWidget*, const QString&) { return path; });
            frame.show();
            guitest::MessageBoxCatcher catcher;  // whatever a tool says on opening
            // Opened in the registry's order, which is not the Save All order.
            for (const ToolKind& kind : registry_->kinds()) {
                if (!kind.registered()) continue;
                QVERIFY(frame.OpenTool(kind.name) != nullptr);
                ToolView* view = frame.toolWindows().last()->view();
                if (auto* cmos = qobject_cast<CKvtCmosView*>(view)) {
                    QTRY_COMPARE(cmos->dumpList()->model()->rowCount(), 128);
                    cmos->size256Choice()->click();
                    cmos->bankList()->setCurrentRow(1);
                } else if (auto* direct = qobject_cast<CKVTGroupIOView*>(view)) {
                    direct->startEdit()->setText("3F8");
                    direct->endEdit()->setText("3ff");
                    direct->readButton()->click();
                    auto* index = qobject_cast<CKVTGroupIOView*>(frame.OpenTool(kind.name));
                    index->indexChoice()->click();
                    index->setWidth(2);
                    index->indexPortEdit()->setText("70");
                    index->dataPortEdit()->setText("71");
                    index->startOffsetEdit()->setText("0");
                    index->endOffsetEdit()->setText("F");
                    index->readButton()->click();
                }
            }
            frame.SaveAllReports();
            int groups = 0;
            for (const ToolKind& kind : registry_->kinds())
                groups = std::max(groups, kind.saveAllPosition);
            QCOMPARE(groups, kSaveAllGroups);
            for (int position = 1; position <= groups; ++position) {
                for (CChildFrame* w : frame.toolWindows()) {
                    if (w->kind().saveAllPosition != position) continue;
                    const QString alone = dir.filePath(QString("alone%1.log").arg(position));
                    QCOMPARE(SaveActiveReport(QFile::encodeName(alone).toStdString(),
                                              {&w->kind(), w->view()}),
                             SaveResult::Written);
                    expected += ReadAll(alone);
                }
                if (position != groups) expected += "\r\n";
            }
        }
        QVERIFY(expected.contains("Microsoft Windows 98 SE"));
        QVERIFY(expected.contains("Index Port Address = 70h"));
        QCOMPARE(ReadAll(path), expected);
        qputenv("KORVANTA_RUNTIME_DIR", oldDir);
    }
};

QTEST_MAIN(IocViewsTest)
#include "ioc_views_test.moc"
