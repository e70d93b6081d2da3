// The Single I/O window on a board: reads and writes through the real daemon, typing
// limits, message boxes and focus, the one-second timer, and a refused read.
#include <QButtonGroup>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/io/view/CKVTIOView.h"

using namespace kvt;

namespace {

QStringList Row(QTreeWidget* list, int row) {
    QStringList texts;
    QTreeWidgetItem* item = list->topLevelItem(row);
    for (int i = 0; item != nullptr && i < list->columnCount(); ++i) texts << item->text(i);
    return texts;
}

// The captions of the columns, each with ":ok" when the column is at least as wide as given
// (a tool window widens a column to its caption and texts).
QStringList Headers(QTreeWidget* list, const QList<int>& leastWidths) {
    QStringList texts;
    for (int i = 0; i < list->columnCount(); ++i) {
        const bool wide = i < leastWidths.size() && list->columnWidth(i) >= leastWidths[i];
        texts << list->headerItem()->text(i) +
                     (wide ? ":ok" : ":" + QString::number(list->columnWidth(i)));
    }
    return texts;
}

}  // namespace

class SingleIoViewTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    CKVTIOView* view_ = nullptr;

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
    }

    void init() {
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1100, 800});
        QVERIFY(frame_ != nullptr);
        view_ = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        QVERIFY(view_ != nullptr);
    }

    void cleanup() {
        frame_.reset();
        view_ = nullptr;
    }

    void controlsAtStart() {
        QCOMPARE(Headers(view_->directHistory(), {65, 37, 82, 57}),
                 (QStringList{"Port (Hex):ok", "R/W:ok", "Data (Hex):ok", "Width:ok"}));
        QCOMPARE(Headers(view_->indexHistory(), {67, 62, 46, 37, 80, 55}),
                 (QStringList{"Index Port:ok", "Data Port:ok", "Offset:ok", "R/W:ok",
                              "Data (Hex):ok", "Width:ok"}));
        QCOMPARE(view_->portEdit()->maxLength(), 4);
        QCOMPARE(view_->portDataEdit()->maxLength(), 8);
        QCOMPARE(view_->indexPortEdit()->maxLength(), 4);
        QCOMPARE(view_->dataPortEdit()->maxLength(), 4);
        QCOMPARE(view_->offsetEdit()->maxLength(), 4);
        QCOMPARE(view_->indexDataEdit()->maxLength(), 8);
        QTest::keyClicks(view_->portEdit(), "12345");
        QCOMPARE(view_->portEdit()->text(), QStringLiteral("1234"));
        QVERIFY(view_->findChild<QRadioButton*>("directByte")->isChecked());
        QVERIFY(view_->findChild<QRadioButton*>("indexByte")->isChecked());
        QVERIFY(view_->timerDirectChoice()->isChecked());
        QCOMPARE(view_->timerButton()->text(), QStringLiteral("Start Timer"));
        QCOMPARE(view_->directHistory()->topLevelItemCount(), 0);
    }

    void readAndWriteThroughTheDaemon() {
        view_->indexPortEdit()->setText("70");
        view_->dataPortEdit()->setText("71");
        view_->offsetEdit()->setText("2f");
        view_->indexReadButton()->click();
        QCOMPARE(view_->indexDataEdit()->text(), QStringLiteral("C3"));
        QCOMPARE(Row(view_->indexHistory(), 0), (QStringList{"70", "71", "2f", "R", "C3", "Byte"}));

        view_->offsetEdit()->setText("42");
        view_->indexDataEdit()->setText("a5");
        view_->indexWriteButton()->click();
        QCOMPARE(Row(view_->indexHistory(), 0), (QStringList{"70", "71", "42", "W", "a5", "Byte"}));
        view_->indexDataEdit()->clear();
        view_->indexReadButton()->click();
        QCOMPARE(view_->indexDataEdit()->text(), QStringLiteral("A5"));
        QCOMPARE(view_->indexHistory()->topLevelItemCount(), 3);

        // Direct: select CMOS byte 2Fh through port 70h and read it at 71h.
        view_->portEdit()->setText("70");
        view_->portDataEdit()->setText("2F");
        view_->directWriteButton()->click();
        view_->portEdit()->setText("71");
        view_->directReadButton()->click();
        QCOMPARE(view_->portDataEdit()->text(), QStringLiteral("C3"));
        QCOMPARE(Row(view_->directHistory(), 0), (QStringList{"71", "R", "C3", "Byte"}));
        QCOMPARE(Row(view_->directHistory(), 1), (QStringList{"70", "W", "2F", "Byte"}));

        // A DWord read in the direct group is written with lower-case letters.
        view_->setDirectWidth(4);
        view_->portEdit()->setText("300");
        view_->directReadButton()->click();
        QCOMPARE(view_->portDataEdit()->text(), QStringLiteral("ffffffff"));
        QCOMPARE(Row(view_->directHistory(), 0), (QStringList{"300", "R", "ffffffff", "DWord"}));
    }

    void messageBoxesAreCaptionedAndFocusTheField() {
        guitest::MessageBoxCatcher catcher;
        view_->directReadButton()->click();  // empty port
        QTRY_COMPARE(catcher.seen().size(), 1);
        QCOMPARE(catcher.seen()[0].caption, QStringLiteral("KORVANTA"));
        QCOMPARE(catcher.seen()[0].text, QStringLiteral("Error! Please provide port address!"));
        QCOMPARE(catcher.seen()[0].buttons, 1);
        QTRY_COMPARE(frame_->focusWidget(), view_->portEdit());

        // Index read with the data port empty: the row keeps the index port only.
        view_->indexPortEdit()->setText("70");
        view_->indexReadButton()->click();
        QTRY_COMPARE(catcher.seen().size(), 2);
        QCOMPARE(catcher.seen()[1].text, QStringLiteral("Error! Please provide port address!"));
        QTRY_COMPARE(frame_->focusWidget(), view_->dataPortEdit());
        QCOMPARE(Row(view_->indexHistory(), 0), (QStringList{"70", "", "", "", "", ""}));

        view_->dataPortEdit()->setText("71");
        view_->offsetEdit()->setText("0x1");
        view_->indexReadButton()->click();
        QTRY_COMPARE(catcher.seen().size(), 3);
        QCOMPARE(catcher.seen()[2].text, QStringLiteral("Error! Offset is invalid!"));
        QTRY_COMPARE(frame_->focusWidget(), view_->offsetEdit());

        // Width rule of an index write: no focus change, the begun row stays.
        view_->offsetEdit()->setText("43");
        view_->indexDataEdit()->setText("1234");
        view_->portEdit()->setFocus();
        view_->indexWriteButton()->click();
        QTRY_COMPARE(catcher.seen().size(), 4);
        QCOMPARE(catcher.seen()[3].text,
                 QStringLiteral("Error! Input data length does not match selected access width!"));
        QCOMPARE(Row(view_->indexHistory(), 0), (QStringList{"70", "71", "43", "", "", ""}));
        QTRY_COMPARE(frame_->focusWidget(), view_->portEdit());
        for (const auto& seen : catcher.seen()) QCOMPARE(seen.caption, QStringLiteral("KORVANTA"));
    }

    void timerReadsOncePerSecondAndRelabels() {
        view_->portEdit()->setText("71");
        view_->timerButton()->click();
        QCOMPARE(view_->timerButton()->text(), QStringLiteral("Stop Timer"));
        QVERIFY(!view_->timerDirectChoice()->isEnabled());
        QVERIFY(!view_->timerIndexChoice()->isEnabled());
        QVERIFY(!view_->intervalEdit()->isEnabled());
        QVERIFY(view_->portEdit()->isEnabled());
        QCOMPARE(view_->timer()->interval(), 1000);
        QTest::qWait(500);  // no read before the first second is over
        QCOMPARE(view_->directHistory()->topLevelItemCount(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(view_->directHistory()->topLevelItemCount() >= 2, 6000);
        const QStringList tick = Row(view_->directHistory(), 0);
        QCOMPARE(tick.size(), 4);
        QCOMPARE(tick[1], QStringLiteral("R"));
        QCOMPARE(tick[2].size(), 2);  // a byte read
        QCOMPARE(tick[3], QStringLiteral("Byte"));
        view_->timerButton()->click();
        QCOMPARE(view_->timerButton()->text(), QStringLiteral("Start Timer"));
        QVERIFY(view_->timerDirectChoice()->isEnabled());
        QVERIFY(view_->intervalEdit()->isEnabled());
        const int rows = view_->directHistory()->topLevelItemCount();
        QTest::qWait(1200);
        QCOMPARE(view_->directHistory()->topLevelItemCount(), rows);
    }

    void timerStopsBeforeItsInputMessage() {
        guitest::MessageBoxCatcher catcher;
        QString labelAtMessage;
        bool activeAtMessage = true;
        catcher.onShow = [&] {
            labelAtMessage = view_->timerButton()->text();
            activeAtMessage = view_->timer()->isActive();
        };
        view_->timerIndexChoice()->setChecked(true);
        view_->indexPortEdit()->setText("70");
        view_->dataPortEdit()->setText("71");  // offset left empty
        view_->timerButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(catcher.seen().size(), 1, 6000);
        QCOMPARE(catcher.seen()[0].text, QStringLiteral("Error! Please provide Offset!"));
        QCOMPARE(labelAtMessage, QStringLiteral("Start Timer"));
        QVERIFY(!activeAtMessage);
        QTest::qWait(1300);
        QCOMPARE(catcher.seen().size(), 1);  // shown once
        QCOMPARE(view_->indexHistory()->topLevelItemCount(), 1);
    }

    void refusedReadShowsTheFailureMarker() {
        guitest::BoardSession readOnly;
        QVERIFY2(readOnly.Start(true), readOnly.error.c_str());
        ToolContext context;
        context.client = &readOnly.session->client();
        CKVTIOView view(context);
        view.indexPortEdit()->setText("70");
        view.dataPortEdit()->setText("71");
        view.offsetEdit()->setText("2f");
        view.indexDataEdit()->setText("77");
        view.indexReadButton()->click();
        QCOMPARE(Row(view.indexHistory(), 0),
                 (QStringList{"70", "71", "2f", "R", "Failed", "Byte"}));
        QCOMPARE(view.indexDataEdit()->text(), QStringLiteral("77"));
        setenv("KORVANTA_RUNTIME_DIR", board_.daemon.runtimeDir().c_str(), 1);
    }
};

QTEST_MAIN(SingleIoViewTest)
#include "single_io_view_test.moc"
