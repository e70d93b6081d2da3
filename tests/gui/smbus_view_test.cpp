// The SMBus window on a board: Start, Scan and Read through the real daemon, the controls'
// state, a message with its focus move, and the window's place at the end of Save All.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/smbus/view/CKvtSmbusView.h"

using namespace kvt;

class SmbusViewTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    QTemporaryDir dir_;

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1100, 800});
        QVERIFY(frame_ != nullptr);
    }
    void cleanupTestCase() { frame_.reset(); }

    void scanReadMessagesAndSaveAll() {
        auto* io = qobject_cast<CKVTIOView*>(frame_->OpenTool(kSingleIoName));
        QVERIFY(io);
        auto* view = qobject_cast<CKvtSmbusView*>(frame_->OpenTool(kSmbusName));
        QVERIFY(view);
        QTRY_COMPARE(view->controllerList()->count(), 1);
        QCOMPARE(view->controllerList()->currentText(),
                 QString("INTEL  Smbus controller 0 at PCI bus 0 device 1F function 3"));
        QCOMPARE(view->baseField()->text(), QString("0400"));
        QVERIFY(view->button("Block Read")->isEnabled());
        QVERIFY(view->button("Block Write")->isEnabled());
        QCOMPARE(view->field(SmbusTool::kFieldLength)->maxLength(), 4);

        view->button("Scan Smbus")->click();
        QCOMPARE(view->slaveList()->count(), 4);
        QCOMPARE(view->slaveList()->currentText(), QString("Smbus Device @Slave Address 50"));
        QCOMPARE(view->field(SmbusTool::kFieldReadAddress)->text(), QString("50"));
        view->field(SmbusTool::kFieldData)->setText("5A");
        view->field(SmbusTool::kFieldOffset)->setText("33");
        view->slaveList()->setCurrentIndex(1);
        QCOMPARE(view->field(SmbusTool::kFieldWriteAddress)->text(), QString("51"));
        QCOMPARE(view->field(SmbusTool::kFieldData)->text(), QString("5A"));  // left as typed
        QCOMPARE(view->field(SmbusTool::kFieldOffset)->text(), QString("00"));
        view->field(SmbusTool::kFieldStartOffset)->setText("3E");
        view->field(SmbusTool::kFieldLength)->setText("4");
        view->button("Read")->click();
        QTreeWidget* list = view->dataList();
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(1)->text(0), QString("40"));
        QCOMPARE(list->topLevelItem(1)->text(1), QString("7F"));  // JEDEC continuation code

        guitest::MessageBoxCatcher catcher;
        view->field(SmbusTool::kFieldStartOffset)->setText("F8");
        view->field(SmbusTool::kFieldLength)->setText("9");
        view->button("Read")->click();
        QTRY_COMPARE(catcher.texts(), QStringList{"Error! Input data range is too large!"});
        QCOMPARE(catcher.seen().front().caption, QString("KORVANTA"));
        QTRY_COMPARE(frame_->focusWidget(), view->field(SmbusTool::kFieldStartOffset));
        QCOMPARE(list->topLevelItemCount(), 2);  // the refused read left the list alone
        catcher.clear();
        view->button("Decode SPD")->click();
        QTRY_COMPARE(catcher.texts().size(), 1);
        QVERIFY(catcher.texts()[0].contains("Part number: KVR800D2N5/1G\n"));
        QCOMPARE(list->topLevelItemCount(), 2);

        // Save All: the SMBus report closes the file, after the Single I/O group.
        QString path = dir_.filePath("all.log");
        frame_->setSavePathChooser([&](QWidget*, const QString&) { return path; });
        frame_->action(kCmdSaveAll)->trigger();
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray all = f.readAll();
        QByteArray smbus =
            "========================= Current SMBUS Device Information "
            "=========================\r\n\r\nINTEL  Smbus controller 0 at PCI bus 0 device 1F "
            "function 3\r\n\r\nSmbus Device @Slave Address 51\r\n\r\n";
        int at = all.indexOf(smbus);
        QVERIFY(at > 0);
        QVERIFY(all.indexOf("Single I/O") < at);
        QVERIFY(all.endsWith("              4F                \r\n"));
    }
};

QTEST_MAIN(SmbusViewTest)
#include "smbus_view_test.moc"
