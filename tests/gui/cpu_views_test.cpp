// The CPUID and MSR windows on a simulated board: row selection, change of processor, the
// MSR buttons with their dialog and messages, and both reports in Save All.
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "platform/report_stream.h"
#include "shell/messages.h"
#include "tools/cpu/cpuid_decode.h"
#include "tools/cpu/view/CAddMsrDlg.h"
#include "tools/cpu/view/CKvtCpuidView.h"
#include "tools/cpu/view/CKvtMsrView.h"

using namespace kvt;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll();
}

QByteArray Report(ToolView* view) {
    StringReport report;
    view->WriteReport(report.stream());
    return QByteArray::fromStdString(report.str());
}

// Fills the Add MSR dialog once it is open and presses its Add button (or Cancel).
void AnswerAddDialog(CKvtMsrView* view, const QString& msr, const QString& description,
                     bool cancel = false) {
    QTimer::singleShot(0, view, [=] {
        CAddMsrDlg* dialog = view->openDialog();
        if (!dialog) return;
        dialog->msrField()->setText(msr);
        dialog->descriptionField()->setText(description);
        if (cancel) {
            dialog->reject();
        } else {
            dialog->addButton()->click();
            // A refused number keeps the dialog open: leave it.
            if (dialog->isVisible()) dialog->reject();
        }
    });
}

}  // namespace

class CpuViewsTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    QTemporaryDir dir_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    QString chosen_;

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        QVERIFY(dir_.isValid());
        SetMessageCaption(kMessageCaption);
    }
    void init() {
        registry_ = std::make_unique<ToolRegistry>();
        RegisterBuiltinTools(*registry_);
        frame_ = std::make_unique<CMainFrame>(*registry_, *board_.session);
        frame_->setSavePathChooser([this](QWidget*, const QString&) { return chosen_; });
        frame_->show();
    }
    void cleanup() { frame_.reset(); }

    void newMenuAndTreeOpenBothTools() {
        QAction* cpuid = nullptr;
        QAction* msr = nullptr;
        for (QAction* a : frame_->newMenu()->actions()) {
            if (a->text() == "CPUID Info") cpuid = a;
            if (a->text() == "MSR Read/Write") msr = a;
        }
        QVERIFY(cpuid && msr && cpuid->isEnabled() && msr->isEnabled());
        cpuid->trigger();
        msr->trigger();
        QTreeWidget* tree = frame_->toolTree();
        auto found = tree->findItems(kMsrName, Qt::MatchExactly | Qt::MatchRecursive);
        QCOMPARE(found.size(), 1);
        tree->setCurrentItem(found.first());
        tree->setFocus();
        QTest::keyClick(tree, Qt::Key_Return);
        QList<CChildFrame*> windows = frame_->toolWindows();
        QCOMPARE(windows.size(), 3);
        QVERIFY(qobject_cast<CKvtCpuidView*>(windows[0]->view()));
        QVERIFY(qobject_cast<CKvtMsrView*>(windows[1]->view()));
        QVERIFY(qobject_cast<CKvtMsrView*>(windows[2]->view()));
    }

    void cpuidRowShowsItsText() {
        auto* view = qobject_cast<CKvtCpuidView*>(frame_->OpenTool(kCpuidName));
        QVERIFY(view);
        QTreeWidget* list = view->functionList();
        QCOMPARE(list->columnCount(), 3);
        QCOMPARE(list->headerItem()->text(0), QString("Function ID"));
        QVERIFY(list->columnWidth(0) >= 130);         // widened to its texts in a tool window
        QCOMPARE(list->topLevelItemCount(), 11 + 9);  // functions 0..0Ah, 80000000h..80000008h
        QCOMPARE(list->topLevelItem(0)->text(2), QString("GenuineIntel"));
        QCOMPARE(list->topLevelItem(11)->text(2), QString("0x80000008"));
        QCOMPARE(view->registerPanel()->toPlainText(), QString());
        QCOMPARE(view->processorList()->count(), 4);
        QVERIFY(view->processorList()->isEnabled());
        // The board's clock runs at 2666.7 MHz.
        QVERIFY(view->speedValue()->isVisibleTo(view));
        QVERIFY2(view->speedValue()->text().endsWith(" Mhz"),
                 qPrintable(view->speedValue()->text()));

        list->setCurrentItem(list->topLevelItem(12));
        QString expected =
            QString::fromStdString(DecodeCpuidFunction(view->model().record(), 0x80000001));
        expected.replace("\r\n", "\n");
        QVERIFY(!expected.isEmpty());
        QCOMPARE(view->registerPanel()->toPlainText().trimmed(), expected.trimmed());
    }

    void cpuidProcessorChangeCollectsAgain() {
        auto* view = qobject_cast<CKvtCpuidView*>(frame_->OpenTool(kCpuidName));
        QVERIFY(view);
        QCOMPARE(view->model().record().standard.at(1).ebx >> 24, 0u);
        view->functionList()->setCurrentItem(view->functionList()->topLevelItem(1));
        QVERIFY(view->registerPanel()->toPlainText().contains("0x00040800"));
        view->processorList()->setCurrentIndex(2);
        QCOMPARE(view->model().selectedProcessor(), 2);
        QCOMPARE(view->model().record().standard.at(1).ebx >> 24, 2u);  // APIC ID 2
        QCOMPARE(view->registerPanel()->toPlainText(), QString());
        view->functionList()->setCurrentItem(view->functionList()->topLevelItem(1));
        QVERIFY(view->registerPanel()->toPlainText().contains("0x02040800"));
    }

    void msrButtonsDialogAndMessages() {
        guitest::MessageBoxCatcher catcher;
        auto* view = qobject_cast<CKvtMsrView*>(frame_->OpenTool(kMsrName));
        QVERIFY(view);
        QTreeWidget* list = view->registerList();
        QCOMPARE(list->columnCount(), 4);
        QVERIFY(!view->button("Remove")->isEnabled());
        QVERIFY(!view->button("Save")->isEnabled());
        QCOMPARE(view->writeGroup()->title(), QString("Write Access"));

        // Refused text, cancel, then two good entries.
        AnswerAddDialog(view, "0x1B", "x");
        view->button("Add ")->click();
        QCOMPARE(catcher.texts(), QStringList{"ERROR! Invalid MSR!"});
        QCOMPARE(list->topLevelItemCount(), 0);
        AnswerAddDialog(view, "1b", "ignored", true);
        view->button("Add ")->click();
        QCOMPARE(list->topLevelItemCount(), 0);
        AnswerAddDialog(view, "1b", "APIC base");
        view->button("Add ")->click();
        AnswerAddDialog(view, "C0000103", "TSC_AUX");
        view->button("Add ")->click();
        QCOMPARE(list->topLevelItemCount(), 2);
        QCOMPARE(list->topLevelItem(0)->text(0), QString("0000001B"));
        QCOMPARE(list->topLevelItem(0)->text(1), QString("FEE00900"));
        QCOMPARE(list->topLevelItem(1)->text(1), QString("N/A"));
        // A refused read's N/A tells why; a value has no such tip.
        QVERIFY2(list->topLevelItem(1)->toolTip(2).startsWith("N/A: the daemon refused"),
                 qPrintable(list->topLevelItem(1)->toolTip(2)));
        QVERIFY(list->topLevelItem(0)->toolTip(1).isEmpty());
        QVERIFY(view->button("Save")->isEnabled());

        // Refresh keeps "Remove" enabled but drops the selection: Remove then has no row.
        catcher.clear();
        list->setCurrentItem(list->topLevelItem(0));
        QVERIFY(view->button("Remove")->isEnabled());
        view->button("Refresh")->click();
        view->button("Remove")->click();
        QCOMPARE(catcher.texts(), QStringList{"Error! No items were selected!\n"});
        QCOMPARE(list->topLevelItemCount(), 2);
        // Select, write on processor 1, refresh.
        list->setCurrentItem(list->topLevelItem(0));
        QVERIFY(view->button("Remove")->isEnabled());
        QCOMPARE(view->field("EAX")->text(), QString("FEE00900"));
        QCOMPARE(view->writeGroup()->title(), QString("Write Access MSR (ECX) = 0000001B"));
        view->processorList()->setCurrentIndex(1);
        catcher.clear();
        view->field("EDX")->clear();
        view->button("Write")->click();
        QCOMPARE(catcher.texts(), QStringList{"Error!  Input EDX error!"});
        view->field("EDX")->setText("0");
        view->field("EAX")->setText("FEC00800");
        view->button("Write")->click();
        QCOMPARE(catcher.texts().size(), 1);
        view->button("Refresh")->click();
        QCOMPARE(list->topLevelItem(0)->text(1), QString("FEC00800"));

        list->setCurrentItem(list->topLevelItem(1));
        view->field("EAX")->setText("1");
        view->field("EDX")->setText("0");
        catcher.clear();
        view->button("Write")->click();
        QCOMPARE(catcher.texts(), QStringList{"Error!  Write MSR failed"});
        QCOMPARE(catcher.seen().at(0).caption, QString("KORVANTA"));

        view->button("Remove")->click();
        QCOMPARE(list->topLevelItemCount(), 1);
        view->button("Clear All")->click();
        QCOMPARE(list->topLevelItemCount(), 0);
        QCOMPARE(view->field("EAX")->text(), QString());
        QVERIFY(!view->button("Save")->isEnabled());
        QVERIFY(!view->button("Remove")->isEnabled());
        QCOMPARE(view->model().targetMsr(), 0u);
    }

    // A row deselected by Ctrl+click or by a click on empty space is no longer the row that
    // Remove deletes; the write target stays the last row chosen, as its caption says.
    void msrRemoveAfterDeselection() {
        guitest::MessageBoxCatcher catcher;
        auto* view = qobject_cast<CKvtMsrView*>(frame_->OpenTool(kMsrName));
        QVERIFY(view);
        QFile file(dir_.filePath("three.msr"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("10\tTSC\n1B\tAPIC base\nC0000103\tTSC_AUX\n");
        file.close();
        view->LoadFrom(file.fileName());
        QTreeWidget* list = view->registerList();
        const int rows = list->topLevelItemCount();
        QCOMPARE(rows, 3);
        const QString second = list->topLevelItem(1)->text(0);
        QWidget* viewport = list->viewport();
        auto rowCentre = [&](int row) {
            return list->visualItemRect(list->topLevelItem(row)).center();
        };

        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, rowCentre(1));
        QCOMPARE(view->model().selectedRow(), 1);
        QCOMPARE(view->writeGroup()->title(), "Write Access MSR (ECX) = " + second);
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier, rowCentre(1));
        QVERIFY(list->selectedItems().isEmpty());
        view->button("Remove")->click();
        QCOMPARE(catcher.texts(), QStringList{"Error! No items were selected!\n"});
        QCOMPARE(list->topLevelItemCount(), rows);
        QCOMPARE(list->topLevelItem(1)->text(0), second);
        QCOMPARE(view->writeGroup()->title(), "Write Access MSR (ECX) = " + second);
        QCOMPARE(view->model().targetMsr(), second.toUInt(nullptr, 16));

        // A click below the last row clears the selection too.
        catcher.clear();
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, rowCentre(0));
        QCOMPARE(view->model().selectedRow(), 0);
        const QRect last = list->visualItemRect(list->topLevelItem(rows - 1));
        QVERIFY2(last.bottom() + 5 < viewport->height(), "no empty space below the rows");
        QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier,
                          QPoint(last.center().x(), last.bottom() + 5));
        QVERIFY(list->selectedItems().isEmpty());
        view->button("Remove")->click();
        QCOMPARE(catcher.texts(), QStringList{"Error! No items were selected!\n"});
        QCOMPARE(list->topLevelItemCount(), rows);

        // The CPUID list: a deselected row is no longer the selected one; the panel keeps its text.
        auto* cpuid = qobject_cast<CKvtCpuidView*>(frame_->OpenTool(kCpuidName));
        QVERIFY(cpuid);
        QTreeWidget* functions = cpuid->functionList();
        const QPoint first = functions->visualItemRect(functions->topLevelItem(1)).center();
        QTest::mouseClick(functions->viewport(), Qt::LeftButton, Qt::NoModifier, first);
        const QString text = cpuid->registerPanel()->toPlainText();
        QVERIFY(!text.isEmpty());
        QTest::mouseClick(functions->viewport(), Qt::LeftButton, Qt::ControlModifier, first);
        QCOMPARE(cpuid->model().selectedRow(), -1);
        QCOMPARE(cpuid->registerPanel()->toPlainText(), text);
    }

    void msrListFilesFromTheView() {
        guitest::MessageBoxCatcher catcher;
        auto* view = qobject_cast<CKvtMsrView*>(frame_->OpenTool(kMsrName));
        QVERIFY(view);
        view->Save();  // empty list: message, no dialog
        QCOMPARE(catcher.texts(), QStringList{"Error!  Nothing to save!"});
        view->LoadFrom(KORVANTA_SOURCE_DIR "/data/hwmsreg.msr");
        QVERIFY(view->registerList()->topLevelItemCount() > 20);
        QVERIFY(view->button("Save")->isEnabled());
        // Both list dialogs: the two file types, and all files means names without a dot too.
        for (bool save : {false, true}) {
            QStringList types, everyFile;
            QTimer::singleShot(100, [&] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                if (dialog == nullptr) return;
                types = guitest::ShownFileTypes(dialog);
                everyFile = guitest::ListedFiles(dialog, 1);
                dialog->reject();
            });
            save ? view->Save() : view->Load();
            QCOMPARE(types, (QStringList{"MSR Files (*.msr)", "All Files (*.*)"}));
            QVERIFY(everyFile.contains("gui_cpu_views_test"));
        }
        QString saved = dir_.filePath("saved.msr");
        view->SaveTo(saved);
        QVERIFY(ReadAll(saved).startsWith("#MSR\t\tDescription\r\n0\t\tP5_MC_ADDR"));
        catcher.clear();
        view->LoadFrom(dir_.filePath("missing.msr"));
        QCOMPARE(catcher.texts(),
                 QStringList{"ERROR!  " + dir_.filePath("missing.msr") + " does not exist!"});
    }

    void saveAllPlacesBothReports() {
        auto* cpuid = frame_->OpenTool(kCpuidName);
        auto* msr = qobject_cast<CKvtMsrView*>(frame_->OpenTool(kMsrName));
        auto* cpuid2 = frame_->OpenTool(kCpuidName);
        QVERIFY(cpuid && msr && cpuid2);
        msr->LoadFrom(KORVANTA_SOURCE_DIR "/data/hwmsreg.msr");
        chosen_ = dir_.filePath("all.log");
        frame_->SaveAllReports();
        // OS Info (none), CPUID x2, Single I/O, Group I/O, PCI, CMOS (none), MSR, SMBus (none).
        QByteArray expected = "\r\n" + Report(cpuid) + Report(cpuid2) + "\r\n" +
                              "\r\n\r\n\r\n\r\n" + Report(msr) + "\r\n";
        // Reports come from what the windows show: no register is read again.
        QByteArray file = ReadAll(chosen_);
        QCOMPARE(file, expected);
        QVERIFY(
            file.contains("========================= CPUID Information=========================="));
        QVERIFY(
            file.contains("========================= MSR Information=========================="));
    }
};

QTEST_MAIN(CpuViewsTest)
#include "cpu_views_test.moc"
