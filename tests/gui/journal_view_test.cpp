// The Write Journal window on a board: writes made through the daemon are listed, Undo of the
// selected one restores the old value, and an undo over a value changed since is refused in a
// box that offers to force it.
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "gui_support.h"
#include "shell/messages.h"
#include "tools/journal/view/CKvtJournalView.h"
#include "tools/journal/view/journal_tool_entry.h"

using namespace kvt;

namespace {

// Interrupt Line of 00:1F.3 and a CMOS byte of the second half of bank 0.
constexpr uint32_t kIntLine = 0x8000FB3C;
constexpr uint8_t kCmosOffset = 0x50;

// Answers each modal box while it lives: records caption and text, presses `answer` when the
// box has it, else OK.
class BoxAnswerer : public QObject {
  public:
    QMessageBox::StandardButton answer = QMessageBox::No;
    QList<QPair<QString, QString>> seen;
    BoxAnswerer() {
        timer_.setInterval(10);
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible() || box == last_) return;
            last_ = box;
            seen.append({box->windowTitle(), box->text()});
            QAbstractButton* button = box->button(answer);
            if (button == nullptr) button = box->button(QMessageBox::Ok);
            button->click();
        });
        timer_.start();
    }

  private:
    QTimer timer_;
    QPointer<QMessageBox> last_;
};

}  // namespace

class JournalViewTest : public QObject {
    Q_OBJECT
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;

    DriverClient& client() { return board_.session->client(); }
    uint32_t IntLine() { return client().TryReadPciConfig(kIntLine & ~3u).value & 0xFF; }
    int RowOf(CKvtJournalView* view, const QString& kind) {
        for (int i = view->list()->topLevelItemCount(); i-- > 0;)
            if (view->list()->topLevelItem(i)->text(CKvtJournalView::Kind) == kind) return i;
        return -1;
    }

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
        frame_ = guitest::ShowMainFrame(registry_, *board_.session, {1100, 800});
        QVERIFY(frame_ != nullptr);
    }
    void cleanupTestCase() { frame_.reset(); }

    void writesAreListedAndUndone() {
        const uint32_t config = client().TryReadPciConfig(kIntLine).value;
        const uint32_t oldLine = config & 0xFF;
        QVERIFY(client().TryWritePciConfig(kIntLine, (config & ~0xFFu) | 0x0B));
        QCOMPARE(IntLine(), 0x0Bu);
        QVERIFY(client().TryWriteCmos(0x70, kCmosOffset, 0x5A));

        auto* view = qobject_cast<CKvtJournalView*>(frame_->OpenTool(kJournalName));
        QVERIFY(view);
        QCOMPARE(view->list()->topLevelItemCount(), 2);
        QTreeWidgetItem* pci = view->list()->topLevelItem(0);
        QCOMPARE(pci->text(CKvtJournalView::Kind), QString("pci"));
        QCOMPARE(pci->text(CKvtJournalView::Address), QString("00:1F.3+03C"));
        QCOMPARE(pci->text(CKvtJournalView::Old), QString::asprintf("%08X", config));
        QCOMPARE(pci->text(CKvtJournalView::New),
                 QString::asprintf("%08X", (config & ~0xFFu) | 0x0B));
        QTreeWidgetItem* cmos = view->list()->topLevelItem(1);
        QCOMPARE(cmos->text(CKvtJournalView::Kind), QString("cmos"));
        QCOMPARE(cmos->text(CKvtJournalView::New), QString("5A"));

        // Undo without a selection is told; Undo of the PCI row restores the register.
        BoxAnswerer boxes;
        view->list()->clearSelection();
        view->undoButton()->click();
        QTRY_COMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].first, QString("KORVANTA"));
        QCOMPARE(boxes.seen[0].second, QString(JournalTool::kNothingSelected));
        view->list()->setCurrentItem(view->list()->topLevelItem(0));
        view->undoButton()->click();
        QCOMPARE(boxes.seen.size(), 1);
        QCOMPARE(IntLine(), oldLine);
        QCOMPARE(view->list()->topLevelItemCount(), 3);
        QCOMPARE(view->list()->topLevelItem(0)->text(CKvtJournalView::Undo), QString("undone"));
        QCOMPARE(view->list()->topLevelItem(2)->text(CKvtJournalView::Undo), QString("undo of 1"));
    }

    void aChangedTargetIsForcedOnlyWhenTheUserSaysSo() {
        auto* view = qobject_cast<CKvtJournalView*>(frame_->OpenTool(kJournalName));
        QVERIFY(view);
        // Write 2 left 5Ah; another byte there since makes its undo a change.
        QVERIFY(client().TryWriteCmos(0x70, kCmosOffset, 0x33));
        view->refreshButton()->click();
        const int row = 1;
        QCOMPARE(view->list()->topLevelItem(row)->text(CKvtJournalView::Id), QString("2"));
        BoxAnswerer boxes;
        view->list()->setCurrentItem(view->list()->topLevelItem(row));
        view->undoButton()->click();
        QTRY_COMPARE(boxes.seen.size(), 1);
        QCOMPARE(boxes.seen[0].first, QString("KORVANTA"));
        QVERIFY2(boxes.seen[0].second.startsWith("Write 2 was not undone: write 2: the cmos target "
                                                 "holds 0x33 now, not 0x5A as written"),
                 qPrintable(boxes.seen[0].second));
        QVERIFY(boxes.seen[0].second.endsWith("Overwrite the value changed since?"));
        QVERIFY(!boxes.seen[0].second.contains("--force"));
        QCOMPARE(view->list()->topLevelItem(row)->text(CKvtJournalView::Undo), QString());

        boxes.answer = QMessageBox::Yes;
        view->list()->setCurrentItem(view->list()->topLevelItem(row));
        view->undoButton()->click();
        QTRY_COMPARE(boxes.seen.size(), 3);
        QCOMPARE(boxes.seen[2].second, QString("Write 2 was undone over a value changed since."));
        QCOMPARE(view->list()->topLevelItem(row)->text(CKvtJournalView::Undo), QString("undone"));
        const int last = view->list()->topLevelItemCount() - 1;
        QCOMPARE(view->list()->topLevelItem(last)->text(CKvtJournalView::New),
                 view->list()->topLevelItem(row)->text(CKvtJournalView::Old));
        QCOMPARE(RowOf(view, "cmos"), last);
    }
};

QTEST_MAIN(JournalViewTest)
#include "journal_view_test.moc"
