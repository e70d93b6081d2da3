// Watch from the PCI, MSR and Single I/O windows on a board: the chart window opens, samples
// arrive from the real daemon while the window keeps running, and the cursor reads a sample.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/cpu/view/CKvtMsrView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/pci/view/CKvtPciView.h"
#include "tools/watch/view/CKvtWatchView.h"

using namespace kvt;

class WatchViewTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    QTemporaryDir dir_;

    CKvtWatchView* ActiveWatch() {
        CChildFrame* active = frame_->activeToolWindow();
        return active ? qobject_cast<CKvtWatchView*>(active->view()) : nullptr;
    }

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1100, 800});
        QVERIFY(frame_ != nullptr);
    }
    void cleanupTestCase() { frame_.reset(); }

    void pciRegisterIsPlottedAndTheCursorReadsIt() {
        auto* pci = qobject_cast<CKvtPciView*>(frame_->OpenTool(kPciName));
        QVERIFY(pci);
        pci->scanButton()->click();
        QTreeWidget* list = pci->registerList();
        QVERIFY(list->topLevelItemCount() > 0);
        list->setCurrentItem(list->topLevelItem(0));
        const QString value = list->topLevelItem(0)->text(1);
        QVERIFY(pci->registerList()->actions().contains(pci->watchAction()));
        pci->watchAction()->trigger();
        CKvtWatchView* watch = ActiveWatch();
        QVERIFY(watch);
        QCOMPARE(frame_->activeToolWindow()->windowTitle(), QString("Watch"));
        QCOMPARE(watch->target().kind, WatchKind::Pci);
        watch->intervalBox()->setValue(20);
        watch->Stop();
        watch->Start();
        QTRY_VERIFY(watch->samples().size() >= 3);
        QVERIFY(watch->running());
        for (const WatchSample& s : watch->samples())
            QCOMPARE(QString::fromStdString(s.text), value);

        // The mouse over the second sample: the cursor and its reading follow it.
        WatchChart* chart = watch->chart();
        QTest::mouseMove(chart, QPoint(chart->XOf(1), chart->height() / 2));
        QTRY_VERIFY(chart->cursor() >= 0);
        const WatchSample& read = watch->samples()[static_cast<size_t>(chart->cursor())];
        QCOMPARE(watch->cursorLabel()->text(), QString::fromStdString(WatchLine(read)));
        QVERIFY(watch->cursorLabel()->text().endsWith(" " + value));

        watch->startStopButton()->click();
        QVERIFY(!watch->running());
        const size_t stopped = watch->samples().size();
        QTest::qWait(100);
        QCOMPARE(watch->samples().size(), stopped);
        frame_->activeToolWindow()->close();
    }

    void msrRowOnTheChosenProcessorChanges() {
        auto* view = qobject_cast<CKvtMsrView*>(frame_->OpenTool(kMsrName));
        QVERIFY(view);
        QFile file(dir_.filePath("tsc.msr"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("10\tTSC\n");
        file.close();
        view->LoadFrom(file.fileName());
        view->processorList()->setCurrentIndex(2);
        view->registerList()->setCurrentItem(view->registerList()->topLevelItem(0));
        view->watchAction()->trigger();
        CKvtWatchView* watch = ActiveWatch();
        QVERIFY(watch);
        QCOMPARE(watch->target().msr, 0x10u);
        QCOMPARE(watch->target().processor, 2);
        QTRY_VERIFY(watch->samples().size() >= 2);
        const auto& s = watch->samples();
        QVERIFY(s[0].ok && s[1].ok);
        QVERIFY(s[1].values[0] > s[0].values[0]);  // the time-stamp counter runs
        frame_->activeToolWindow()->close();       // stops the sampling thread
    }

    void singleIoPortAtItsWidth() {
        QVERIFY(board_.session->client().TryWritePort(0xCF8, 0x80000010, 4));
        auto* io = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        QVERIFY(io);
        io->portEdit()->setText("cf8");
        io->setDirectWidth(4);
        io->WatchPort();
        CKvtWatchView* watch = ActiveWatch();
        QVERIFY(watch);
        QCOMPARE(watch->target().port, uint16_t(0xCF8));
        QCOMPARE(watch->target().width, 4u);
        QTRY_VERIFY(!watch->samples().empty());
        QCOMPARE(QString::fromStdString(watch->samples()[0].text), QString("80000010"));
        frame_->activeToolWindow()->close();
    }
};

QTEST_MAIN(WatchViewTest)
#include "watch_view_test.moc"
