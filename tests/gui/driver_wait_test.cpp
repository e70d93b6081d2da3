// A board that stalls or refuses requests: the window keeps painting, says that it waits for
// the driver, offers Cancel, and a failed cell tells why it failed.
#include "shell/driver_wait.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QStatusBar>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

#include "gui_support.h"
#include "tools/io/view/CKVTGroupIOView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/io/view/CKvtCmosView.h"

using namespace kvt;

namespace {

// Samples the window every 20 ms while an action runs (the timer fires only while the
// window's thread takes events).
struct Sampler {
    QTimer timer;
    int ticks = 0;
    QStringList messages;
    bool dialogSeen = false;
    std::function<void(QProgressDialog*)> onDialog;
    explicit Sampler(CMainFrame* frame) {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this, frame] {
            ++ticks;
            const QString m = frame->statusBar()->currentMessage();
            if (messages.isEmpty() || messages.last() != m) messages << m;
            QProgressDialog* dialog = frame->driverWait()->dialog();
            if (dialog != nullptr && dialog->isVisible()) {
                dialogSeen = true;
                if (onDialog) onDialog(dialog);
            }
        });
        timer.start();
    }
};

}  // namespace

class DriverWaitTest : public QObject {
    Q_OBJECT
  private:
    QTemporaryDir tmp_;
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;

  private slots:
    void initTestCase() {
        QVERIFY(tmp_.isValid());
        // Port 80h answers after 1.5 s, ports 81h and 73h are refused.
        const std::string profile = guitest::FaultyBoard(tmp_, "stalling", R"([
            {"kind": "port", "first": "0x80", "action": "stall", "stall_ms": 1500},
            {"kind": "port", "first": "0x81"},
            {"kind": "port", "first": "0x73"}])");
        QVERIFY(!profile.empty());
        QVERIFY2(board_.Start(false, profile), board_.error.c_str());
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, QSize(1000, 700));
        QVERIFY(frame_ != nullptr);
        frame_->ShowAccessProblems();
    }
    void cleanupTestCase() {
        frame_.reset();
        board_.session.reset();
    }

    void stalledRequestKeepsPaintingAndSaysWhatItWaitsFor() {
        auto* view = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        QVERIFY(view != nullptr);
        view->portEdit()->setText("80");
        Sampler sampler(frame_.get());
        QElapsedTimer clock;
        clock.start();
        view->directReadButton()->click();
        QVERIFY(clock.elapsed() >= 1400);
        // The window's thread took events all along, not only once the answer came.
        QVERIFY2(sampler.ticks >= 30, qPrintable(QString::number(sampler.ticks)));
        QVERIFY(sampler.dialogSeen);
        QVERIFY2(sampler.messages.contains("Waiting for the driver (Simulated board: stalling)..."),
                 qPrintable(sampler.messages.join('|')));
        // Served in the end: a value, and the window says Ready again.
        QCOMPARE(view->directHistory()->topLevelItem(0)->text(2), view->portDataEdit()->text());
        QVERIFY(view->directHistory()->topLevelItem(0)->text(2) != "Failed");
        QCOMPARE(frame_->statusBar()->currentMessage(), QStringLiteral("Ready"));
        QVERIFY(!frame_->driverWait()->busyShown());
    }

    void cancelStopsAGroupDumpAndKeepsWhatWasRead() {
        auto* view = qobject_cast<CKVTGroupIOView*>(frame_->OpenTool(kGroupIoName));
        QVERIFY(view != nullptr);
        view->startEdit()->setText("0");
        view->endEdit()->setText("FFFF");
        Sampler sampler(frame_.get());
        bool cancelled = false;
        sampler.onDialog = [&](QProgressDialog* dialog) {
            if (cancelled) return;
            cancelled = true;
            if (auto* button = dialog->findChild<QPushButton*>()) button->click();
        };
        view->readButton()->click();
        QVERIFY(cancelled);
        // The batch with the stalled port 80h was finished; nothing after it was asked for.
        QVERIFY(view->model().stopped());
        const size_t rows = view->model().rows().size();
        QCOMPARE(rows, GroupIoTool::kBatchPorts);
        QCOMPARE(view->list()->model()->rowCount(), static_cast<int>(rows));
        QVERIFY(!frame_->driverWait()->busyShown());
        QVERIFY(!frame_->driverWait()->cancelled());
        // The next dump is not cancelled.
        view->startEdit()->setText("2000");
        view->endEdit()->setText("20FF");
        view->readButton()->click();
        QCOMPARE(view->model().rows().size(), size_t{0x100});
        QVERIFY(!view->model().stopped());
    }

    void wholePortRangeIsReadInBatches() {
        auto* view = qobject_cast<CKVTGroupIOView*>(frame_->OpenTool(kGroupIoName));
        view->startEdit()->setText("100");
        view->endEdit()->setText("FFFF");
        QElapsedTimer clock;
        clock.start();
        view->readButton()->click();
        const qint64 ms = clock.elapsed();
        QCOMPARE(view->model().rows().size(), size_t{0xFFFF - 0x100 + 1});
        QCOMPARE(view->model().failedRequests(), size_t{0});
        QCOMPARE(view->model().rows().back().address, std::string("FFFF"));
        // One request at a time took seconds; batched it takes a fraction of one.
        QVERIFY2(ms < 3000, qPrintable(QString::number(ms)));
    }

    void failedCellsTellTheirCause() {
        auto* view = qobject_cast<CKVTGroupIOView*>(frame_->OpenTool(kGroupIoName));
        view->startEdit()->setText("81");
        view->endEdit()->setText("82");
        view->readButton()->click();
        QAbstractItemModel* rows = view->list()->model();
        QCOMPARE(rows->index(0, 1).data().toString(), QStringLiteral("Failed"));
        QVERIFY2(rows->index(0, 1)
                     .data(Qt::ToolTipRole)
                     .toString()
                     .startsWith("Failed: the daemon refused the request"),
                 qPrintable(rows->index(0, 1).data(Qt::ToolTipRole).toString()));
        QVERIFY(rows->index(1, 1).data(Qt::ToolTipRole).isNull());

        auto* single = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        single->portEdit()->setText("81");
        single->directReadButton()->click();
        QVERIFY(single->directHistory()->topLevelItem(0)->toolTip(2).startsWith(
            "Failed: the daemon refused the request"));
        QVERIFY(single->directHistory()->topLevelItem(0)->toolTip(0).isEmpty());

        // The CMOS bank behind 72h/73h cannot be read: each byte says why.
        auto* cmos = qobject_cast<CKvtCmosView*>(frame_->OpenTool(kCmosName));
        QTRY_COMPARE(cmos->dumpList()->model()->rowCount(), 128);
        cmos->bankList()->setCurrentRow(1);
        QAbstractItemModel* bytes = cmos->dumpList()->model();
        QCOMPARE(bytes->index(5, 1).data().toString(), QStringLiteral("Failed"));
        QVERIFY(bytes->index(5, 2)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .startsWith("Failed: the daemon refused the request"));
    }

    // A board without a PCI Express window: the status bar warns once, with the reason.
    void missingAccessIsShownAtStart() {
        QVERIFY(frame_->accessPane()->isHidden());  // intel-desktop offers everything
        guitest::BoardSession via;
        QVERIFY2(via.Start(false, test::BoardProfile("via")), via.error.c_str());
        std::unique_ptr<ToolRegistry> registry;
        auto frame = guitest::ShowMainFrame(registry, *via.session, QSize(800, 600));
        QVERIFY(frame != nullptr);
        frame->ShowAccessProblems();
        QVERIFY(!frame->accessPane()->isHidden());
        QCOMPARE(frame->accessPane()->text(), QStringLiteral("1 unavailable"));
        QVERIFY2(frame->accessPane()->toolTip().contains(
                     "PCI Express window: unavailable: this board has none"),
                 qPrintable(frame->accessPane()->toolTip()));
        QVERIFY(frame->statusBar()->currentMessage().startsWith(
            "Unavailable here: PCI Express window"));
        frame.reset();
        setenv("KORVANTA_RUNTIME_DIR", board_.daemon.runtimeDir().c_str(), 1);
    }
};

QTEST_MAIN(DriverWaitTest)
#include "driver_wait_test.moc"
