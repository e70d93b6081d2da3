// The PCI window on a board: scan, device rows and "N/A", the register list, base address
// registers, Write, Find, the save dialog's buttons and Escape, and Save All.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/pci/view/CKvtPciView.h"

using namespace kvt;

namespace {

// Records what the view asks of the main window.
struct HostRecorder : ToolHost {
    QStringList calls;
    void OpenGroupIoAt(uint32_t port, uint32_t count) override {
        calls << QString("io %1 %2").arg(port, 0, 16).arg(count, 0, 16);
    }
    void OpenMemoryDumpAt(uint32_t address, uint32_t size) override {
        calls << QString("mem %1 %2").arg(address, 0, 16).arg(size, 0, 16);
    }
    QString GetProgramFolder() override { return QString(); }
    uint32_t GetProcessorCount() override { return 1; }
};

// Answers the next save dialog with a button (1 or 2) or Escape (0).
void AnswerSaveDialog(int answer, bool* seen) {
    QTimer::singleShot(20, [answer, seen] {
        auto* dialog = qobject_cast<CSavePciDlg*>(QApplication::activeModalWidget());
        if (dialog == nullptr) return AnswerSaveDialog(answer, seen);
        *seen = dialog->windowTitle() == "PCI Device Save Selection" &&
                dialog->allButton()->isDefault();
        if (answer == 1) dialog->allButton()->click();
        if (answer == 2) dialog->currentButton()->click();
        if (answer == 0) QTest::keyClick(dialog, Qt::Key_Escape);
    });
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

}  // namespace

class PciViewTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    CKvtPciView* view_ = nullptr;
    QTemporaryDir dir_;

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
    }

    void init() {
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1100, 800});
        QVERIFY(frame_ != nullptr);
        view_ = qobject_cast<CKvtPciView*>(frame_->OpenTool(kPciName));
        QVERIFY(view_ != nullptr);
    }

    void cleanup() {
        frame_.reset();
        view_ = nullptr;
    }

    void scanRowsAndNotApplicable() {
        QCOMPARE(view_->deviceList()->count(), 0);
        QCOMPARE(view_->baseField()->currentText(), QString("Auto"));
        QCOMPARE(view_->baseField()->count(), 9);
        QCOMPARE(view_->busSelector()->count(), 256);
        QCOMPARE(view_->scanButton()->text(), QString("Scan all  devices"));
        view_->scanButton()->click();
        const int rows = view_->deviceList()->count();
        QCOMPARE(rows, 20);
        QCOMPARE(view_->deviceList()->itemText(rows - 1), QString("N/A"));
        QCOMPARE(view_->registerList()->topLevelItemCount(), 64);
        QCOMPARE(view_->configAddressField()->text(), QString("80000000"));
        // Choosing "N/A" shows the device above it.
        view_->deviceList()->setCurrentIndex(rows - 1);
        QCOMPARE(view_->deviceList()->currentIndex(), rows - 2);
        QCOMPARE(view_->busSelector()->currentText(), QString("02"));
        QCOMPARE(view_->configAddressField()->text(), QString("E0200000"));
        QCOMPARE(view_->registerList()->topLevelItemCount(), 1024);
        // Selectors of a function that is not listed select "N/A".
        view_->busSelector()->setCurrentIndex(9);
        QCOMPARE(view_->deviceList()->currentIndex(), rows - 1);
        QCOMPARE(view_->registerList()->topLevelItem(0)->text(1), QString("FFFFFFFF"));
        // The filter rescans.
        view_->expressFilter()->click();
        QCOMPARE(view_->deviceListLabel()->text(), QString("PCI Express Devices"));
        QCOMPARE(view_->deviceList()->count(), 7);
    }

    void registerSelectionWriteAndFind() {
        guitest::MessageBoxCatcher catcher;
        view_->scanButton()->click();
        view_->idField()->setText("2930");
        view_->findButton()->click();
        QCOMPARE(view_->deviceList()->currentText().left(6), QString("SMBus "));
        QTreeWidgetItem* item = view_->registerList()->topLevelItem(16);
        view_->registerList()->setCurrentItem(item);
        QCOMPARE(view_->configAddressField()->text(), QString("8000FB40"));
        QCOMPARE(view_->registerLine()->text(),
                 QString("PCI Configuration Space Register:  0x8000FB40"));
        QCOMPARE(view_->valueField()->text(), QString("00000001"));
        view_->valueField()->setText("3");
        view_->writeButton()->click();
        QCOMPARE(view_->registerList()->topLevelItem(16)->text(1), QString("00000003"));
        QCOMPARE(view_->valueField()->text(), QString());
        view_->valueField()->setText("g");
        view_->writeButton()->click();
        view_->findButton()->click();  // the only match was shown: no further one
        QCOMPARE(catcher.texts(),
                 (QStringList{"Input Data Error!",
                              "Unable to find matching PCI or PCI Express device!"}));
        QCOMPARE(catcher.seen()[0].caption, QString("KORVANTA"));
    }

    void capabilityTreeFollowsTheShownFunction() {
        QTreeWidget* tree = view_->capabilityTree();
        QCOMPARE(tree->topLevelItemCount(), 0);
        view_->scanButton()->click();  // shows 00:00.0: one vendor-specific entry
        QCOMPARE(tree->topLevelItemCount(), 1);
        QCOMPARE(tree->topLevelItem(0)->text(0), QString("[E0] Vendor Specific"));
        QCOMPARE(tree->topLevelItem(0)->child(0)->text(1), QString("11"));
        // The PEG root port, chosen by the selectors and refreshed.
        view_->deviceSelector()->setCurrentIndex(1);
        view_->refreshButton()->click();
        QStringList heads;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) heads << tree->topLevelItem(i)->text(0);
        QCOMPARE(heads,
                 (QStringList{"[88] Power Management", "[90] MSI", "[A0] PCI Express",
                              "[100] Virtual Channel", "[140] Root Complex Link Declaration"}));
        QTreeWidgetItem* pcie = tree->topLevelItem(2);
        QCOMPARE(pcie->text(1), QString("10h"));
        QStringList width;
        for (int i = 0; i < pcie->childCount(); ++i) {
            if (pcie->child(i)->text(0) == "link_width")
                width << pcie->child(i)->text(1) << pcie->child(i)->text(2);
        }
        QCOMPARE(width, (QStringList{"16", "link_status (0B2h)"}));
        // A function that is not there shows no capabilities.
        view_->busSelector()->setCurrentIndex(9);
        QCOMPARE(tree->topLevelItemCount(), 0);
    }

    void baseAddressDoubleClickAsksTheHost() {
        HostRecorder host;
        ToolContext context{&board_.session->client(), &board_.session->platform(), &host};
        CKvtPciView view(context);
        view.resize(900, 700);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.scanButton()->click();
        view.deviceList()->setCurrentIndex(16);  // 00:1F.3
        for (int row : {4, 5, 8}) {
            QTreeWidgetItem* item = view.registerList()->topLevelItem(row);
            view.registerList()->setCurrentItem(item);
            view.registerList()->scrollToItem(item);
            const QRect rect = view.registerList()->visualItemRect(item);
            QTest::mouseClick(view.registerList()->viewport(), Qt::LeftButton, {}, rect.center());
            QTest::mouseDClick(view.registerList()->viewport(), Qt::LeftButton, {}, rect.center());
        }
        QCOMPARE(host.calls, (QStringList{"mem f9fff800 400", "io 400 100"}));
    }

    void barBranchOpensTheWindowOrSaysItCannot() {
        guitest::MessageBoxCatcher catcher;
        HostRecorder host;
        ToolContext context{&board_.session->client(), &board_.session->platform(), &host};
        CKvtPciView view(context);
        view.resize(1000, 700);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        // BAR1 of 01:00.0 moved above 4 GiB through its upper half (18h), put back at the end.
        const uint32_t upper = PciAddress(1, 0, 0, 0x18).ConfigAddress();
        QVERIFY(board_.session->client().WritePciConfig(upper, 1));
        view.scanButton()->click();
        view.deviceList()->setCurrentIndex(view.model().RowOf(1, 0, 0));
        QTreeWidget* tree = view.capabilityTree();
        QTreeWidgetItem* bars = nullptr;
        for (int i = 0; i < tree->topLevelItemCount(); ++i)
            if (tree->topLevelItem(i)->text(0) == "BARs") bars = tree->topLevelItem(i);
        QVERIFY(bars != nullptr);
        QCOMPARE(bars->childCount(), 4);
        QCOMPARE(bars->child(1)->text(0), QString("BAR1 memory, 64-bit, prefetchable"));
        QCOMPARE(bars->child(1)->text(1), QString("1D0000000"));
        QCOMPARE(bars->child(1)->text(2), QString("256 MiB (14h)"));
        for (int child : {0, 1}) {
            QTreeWidgetItem* item = bars->child(child);
            tree->scrollToItem(item);
            const QRect rect = tree->visualItemRect(item);
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
            QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
        }
        QVERIFY(board_.session->client().WritePciConfig(upper, 0));
        QCOMPARE(host.calls, (QStringList{"mem fa000000 400"}));
        QCOMPARE(catcher.texts(), (QStringList{kPciBarOutOfReachMessage}));
        QCOMPARE(catcher.seen()[0].caption, QString("KORVANTA"));
    }

    void memoryBarOpensAMemoryDumpWindow() {
        guitest::MessageBoxCatcher catcher;  // answers whatever the new window may show
        view_->scanButton()->click();
        view_->deviceList()->setCurrentIndex(16);  // 00:1F.3, memory BAR F9FFF804h at 10h
        QTreeWidgetItem* item = view_->registerList()->topLevelItem(4);
        view_->registerList()->setCurrentItem(item);
        view_->registerList()->scrollToItem(item);
        const QRect rect = view_->registerList()->visualItemRect(item);
        QTest::mouseClick(view_->registerList()->viewport(), Qt::LeftButton, {}, rect.center());
        QTest::mouseDClick(view_->registerList()->viewport(), Qt::LeftButton, {}, rect.center());
        CKvtMemoryView* dump = nullptr;
        for (CChildFrame* window : frame_->toolWindows()) {
            if (auto* v = qobject_cast<CKvtMemoryView*>(window->view())) dump = v;
        }
        QVERIFY(dump != nullptr);
        QCOMPARE(dump->addressEdit()->text().toUpper(), QString("F9FFF800"));
    }

    void saveDialogButtonsEscapeAndSaveAll() {
        view_->scanButton()->click();
        const QString path = dir_.filePath("pci.log");
        frame_->setSavePathChooser([path](QWidget*, const QString&) { return path; });
        bool seen = false;
        AnswerSaveDialog(2, &seen);
        frame_->action(kCmdSave)->trigger();
        QVERIFY(seen);
        QByteArray current = ReadAll(path);
        QVERIFY(current.startsWith("========================= Current PCI Device Information"));
        AnswerSaveDialog(0, &seen);
        frame_->action(kCmdSave)->trigger();
        QCOMPARE(ReadAll(path), current);  // Escape: the current device
        AnswerSaveDialog(1, &seen);
        frame_->action(kCmdSave)->trigger();
        QByteArray all = ReadAll(path);
        QVERIFY(all.startsWith("========================= All PCI Devices Information"));
        QVERIFY(all.size() > 100000);
        // Save All asks the PCI window too.
        AnswerSaveDialog(2, &seen);
        frame_->SaveAllReports();
        QVERIFY(ReadAll(path).contains("Current PCI Device Information"));
    }
};

QTEST_MAIN(PciViewTest)
#include "pci_view_test.moc"
