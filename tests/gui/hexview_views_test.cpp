// The Memory Dump and Hex Viewer/Editor windows on a board: OpenMemoryDumpAt, typing and
// the red marks, keyboard selection, the context menu, both clipboard formats, Save of a
// Memory Dump window, and the Open/Save/Save As messages of the editor.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QWheelEvent>
#include <QtTest>

#include "app/builtin_tools.h"
#include "app/main_frame.h"
#include "gui_support.h"
#include "shell/messages.h"
#include "tools/hexview/view/CHexDumpCtrl.h"
#include "tools/hexview/view/CKvtHexEditView.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/hexview/view/search_bar.h"

using namespace kvt;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// True when some pixel of the byte's hexadecimal cell is pure red.
bool CellIsRed(CHexDumpCtrl* control, uint64_t offset) {
    QImage image = control->grab().toImage();
    QPoint at = control->CellPoint(offset, kColumnHigh);
    for (int y = at.y(); y < at.y() + control->lineHeight(); ++y) {
        for (int x = at.x(); x < at.x() + 2 * control->charWidth(); ++x) {
            if (image.pixel(x, y) == qRgb(255, 0, 0)) return true;
        }
    }
    return false;
}

}  // namespace

class HexViewsTest : public QObject {
    Q_OBJECT
  private:
    guitest::BoardSession board_;
    std::unique_ptr<ToolRegistry> registry_;
    std::unique_ptr<CMainFrame> frame_;
    QTemporaryDir dir_;
    QTemporaryDir state_;  // the saves' journals, never the user's own state folder
    QString chosen_;

    CKvtMemoryView* OpenDump(uint32_t address, uint32_t size) {
        frame_->OpenMemoryDumpAt(address, size);
        return qobject_cast<CKvtMemoryView*>(frame_->activeToolWindow()->view());
    }

  private slots:
    void initTestCase() {
        QVERIFY2(board_.Start(), board_.error.c_str());
        SetMessageCaption(kMessageCaption);
        qputenv("XDG_STATE_HOME", state_.path().toLocal8Bit());
    }

    void init() {
        registry_ = std::make_unique<ToolRegistry>();
        RegisterBuiltinTools(*registry_);
        frame_ = std::make_unique<CMainFrame>(*registry_, *board_.session);
        frame_->setSavePathChooser([this](QWidget*, const QString&) { return chosen_; });
        frame_->resize(1100, 800);
        frame_->show();
        QApplication::setActiveWindow(frame_.get());
        QVERIFY(QTest::qWaitForWindowActive(frame_.get()));
    }

    void cleanup() { frame_.reset(); }

    void memoryDumpTypingSelectionAndClipboard() {
        // The board's system BIOS holds "Award Modular BIOS" at E0000h + 1E000h.
        CKvtMemoryView* view = OpenDump(0xFE000, 0x40);
        QVERIFY(view != nullptr);
        QCOMPARE(view->addressEdit()->text(), QStringLiteral("000FE000"));
        QCOMPARE(view->sizeEdit()->text(), QStringLiteral("00000040"));
        QVERIFY(view->searchBar()->searchButton()->isEnabled());
        CHexDumpCtrl* control = view->control();
        QVERIFY(control->isEnabled());
        QVERIFY(!control->caretShown());  // hidden until the first click

        // Click the high nibble of byte 0, select two bytes with Shift+Right three times.
        QTest::mouseClick(control, Qt::LeftButton, {},
                          control->CellPoint(0, kColumnHigh) + QPoint(2, 2));
        QVERIFY(control->caretShown());
        for (int i = 0; i < 3; ++i) QTest::keyClick(control, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(control->document().selStart, 0);
        QCOMPARE(control->document().selEnd, 2);
        QTest::keyClick(control, Qt::Key_C, Qt::ControlModifier);
        const QMimeData* mime = QApplication::clipboard()->mimeData();
        QCOMPARE(mime->data(CHexDumpCtrl::kBinaryFormat), QByteArray("Aw"));
        QCOMPARE(mime->text(), QStringLiteral("41 77 "));
        QTest::keyClick(control, Qt::Key_Tab);  // ASCII column: the text is the characters
        QTest::keyClick(control, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->mimeData()->text(), QStringLiteral("Aw"));
        QVERIFY(!view->CanPaste());  // no Paste into the control

        // Context menu from the menu key: Copy enabled with a selection, separator, Select All.
        QStringList items;
        QTimer::singleShot(50, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                for (QAction* a : menu->actions()) {
                    items << (a->isSeparator() ? "-"
                                               : a->text() + (a->isEnabled() ? "" : " (off)"));
                }
                menu->close();
            }
        });
        QTest::keyClick(control, Qt::Key_Menu);
        QCOMPARE(items, (QStringList{"&Copy", "-", "Select &All"}));

        // Typing: two nibbles at byte 2 in the hexadecimal column, drawn in red.
        QTest::keyClick(control, Qt::Key_Tab);
        QTest::keyClick(control, Qt::Key_Right);  // clears the selection; low nibble of byte 1
        QTest::keyClick(control, Qt::Key_Right);
        QCOMPARE(control->document().position, 2u);
        QTest::keyClicks(control, "4f");
        QVERIFY(CellIsRed(control, 2));
        QVERIFY(!CellIsRed(control, 3));

        // Save of the window: the dumped bytes with the edit, nothing else.
        chosen_ = dir_.filePath("dump.bin");
        frame_->SaveActiveReport();
        QByteArray saved = ReadAll(chosen_);
        QCOMPARE(saved.size(), 0x40);
        QCOMPARE(saved.left(6), QByteArray("AwOrd "));

        // Write clears the marks (the ROM takes the write and keeps its bytes).
        view->writeButton()->click();
        QVERIFY(!CellIsRed(control, 2));
    }

    void memoryDumpEntryMessagesAndSearch() {
        guitest::MessageBoxCatcher catcher;
        frame_->OpenTool(kMemoryDumpName);
        auto* view = qobject_cast<CKvtMemoryView*>(frame_->activeToolWindow()->view());
        view->addressEdit()->setText("C 0000");
        view->sizeEdit()->setText("10");
        view->dumpButton()->click();
        QTRY_COMPARE(catcher.texts(), QStringList{"Input Memory Address Error!"});
        QCOMPARE(catcher.seen()[0].caption, QStringLiteral("KORVANTA"));
        QTRY_COMPARE(frame_->focusWidget(), static_cast<QWidget*>(view->addressEdit()));

        view->addressEdit()->setText("C0000");
        view->dumpButton()->click();
        SearchBar* search = view->searchBar();
        search->hexMode()->setChecked(true);
        QVERIFY(!search->caseSensitive()->isEnabled());
        search->text()->setEditText("55aa");
        search->searchButton()->click();
        QCOMPARE(view->control()->document().position, 0u);
        search->text()->setEditText("zz");
        search->searchButton()->click();
        QTRY_COMPARE(catcher.texts().last(), QStringLiteral("Input data invalid!"));
        QCOMPARE(search->text()->itemText(0), QStringLiteral("zz"));
        QCOMPARE(search->text()->count(), 2);
    }

    void hexEditorOpenSaveAndSaveAs() {
        guitest::MessageBoxCatcher catcher;
        frame_->OpenTool(kHexEditName);
        auto* view = qobject_cast<CKvtHexEditView*>(frame_->activeToolWindow()->view());
        QVERIFY(view != nullptr);
        QVERIFY(!view->saveButton()->isEnabled());
        QString path = dir_.filePath("ten.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("0123456789");
        f.close();

        // The real open dialog: every file of the program folder, names without a dot too.
        QStringList types, everyFile;
        QTimer::singleShot(100, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            types = guitest::ShownFileTypes(dialog);
            everyFile = guitest::ListedFiles(dialog, 0);
            dialog->reject();
        });
        QCOMPARE(view->chooseOpenPath(), QString());
        QCOMPARE(types, (QStringList{"All Files (*.*)", "All Files (*.*)"}));
        QVERIFY(everyFile.contains("gui_hexview_views_test"));

        QString openPath = dir_.filePath("missing.bin");
        view->chooseOpenPath = [&] { return openPath; };
        view->openButton()->click();
        QTRY_COMPARE(catcher.texts(), QStringList{"Error! Open File Error!"});
        QCOMPARE(view->pathEdit()->text(), openPath);
        QVERIFY(!view->saveButton()->isEnabled() && !view->saveAsButton()->isEnabled());

        openPath = path;
        view->openButton()->click();
        QVERIFY(view->saveButton()->isEnabled());
        CHexDumpCtrl* control = view->control();
        QTest::mouseClick(control, Qt::LeftButton, {},
                          control->CellPoint(5, kColumnHigh) + QPoint(2, 2));
        QTest::keyClicks(control, "41");
        QCOMPARE(ReadAll(path), QByteArray("0123456789"));
        view->saveButton()->click();
        QCOMPARE(ReadAll(path), QByteArray("01234A6789"));
        QVERIFY(!CellIsRed(control, 5));

        QString other = dir_.filePath("other.bin");
        view->chooseSavePath = [&] { return other; };
        view->saveAsButton()->click();
        QCOMPARE(ReadAll(other), QByteArray("01234A6789"));
        QCOMPARE(view->pathEdit()->text(), other);
        QCOMPARE(catcher.texts().size(), 1);
    }

    // A typed "é" is E9h, and Enter in the search field finds "é" as E9h.
    void typedAndSearchedCharactersUseOneByteEach() {
        frame_->OpenTool(kHexEditName);
        auto* view = qobject_cast<CKvtHexEditView*>(frame_->activeToolWindow()->view());
        QString path = dir_.filePath("latin.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64, '.'));
        f.close();
        view->chooseOpenPath = [&] { return path; };
        view->openButton()->click();
        CHexDumpCtrl* control = view->control();
        HexDocument& doc = control->document();
        control->setFocus();
        doc.position = 40;
        doc.column = kColumnAscii;
        QKeyEvent e(QEvent::KeyPress, Qt::Key_Eacute, Qt::NoModifier, QString(QChar(0xE9)));
        QApplication::sendEvent(control, &e);
        uint8_t byte = 0;
        QCOMPARE(doc.ReadData(&byte, 40, 1), size_t(1));
        QCOMPARE(byte, uint8_t(0xE9));
        doc.position = 0;
        guitest::MessageBoxCatcher catcher;
        QLineEdit* field = view->searchBar()->text()->lineEdit();
        field->setText(QString(QChar(0xE9)));
        QTest::keyClick(field, Qt::Key_Return);
        QCOMPARE(catcher.texts(), QStringList{});
        QCOMPARE(doc.position, 40u);
        QCOMPARE(view->searchBar()->text()->itemText(0), QString(QChar(0xE9)));
    }

    // Undo/redo with the marks, F3/Shift+F3 with wrap-around, Ctrl+G, Shift+drag and the
    // unsaved-changes prompt on close.
    void hexEditorComforts() {
        frame_->OpenTool(kHexEditName);
        CChildFrame* window = frame_->activeToolWindow();
        auto* view = qobject_cast<CKvtHexEditView*>(window->view());
        QString path = dir_.filePath("comforts.bin");
        QByteArray bytes(64, '.');
        bytes.replace(4, 2, "xy");
        bytes.replace(40, 2, "xy");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
        f.close();
        view->chooseOpenPath = [&] { return path; };
        view->openButton()->click();
        CHexDumpCtrl* control = view->control();
        HexDocument& doc = control->document();
        QTest::mouseClick(control, Qt::LeftButton, {},
                          control->CellPoint(20, kColumnHigh) + QPoint(2, 2));
        QTest::keyClicks(control, "41");
        QVERIFY(CellIsRed(control, 20) && view->model().unsaved());
        QTest::keyClick(control, Qt::Key_Z, Qt::ControlModifier);
        QVERIFY(CellIsRed(control, 20));  // the high nibble's edit is still there
        QCOMPARE(doc.column, int(kColumnLow));
        QTest::keyClick(control, Qt::Key_Z, Qt::ControlModifier);
        uint8_t byte = 0;
        QCOMPARE(doc.ReadData(&byte, 20, 1), size_t(1));
        QCOMPARE(byte, uint8_t('.'));
        QVERIFY(!CellIsRed(control, 20) && !view->model().unsaved());
        QTest::keyClick(control, Qt::Key_Y, Qt::ControlModifier);
        QVERIFY(CellIsRed(control, 20) && view->model().unsaved());
        QCOMPARE(doc.ReadData(&byte, 20, 1), size_t(1));
        QCOMPARE(byte, uint8_t(0x4E));

        // F3 from the caret: 40, then wrapped to 4; Shift+F3 back from 4 wraps to 40.
        view->searchBar()->text()->setEditText("xy");
        QStatusBar* status = frame_->statusBar();
        QTest::keyClick(control, Qt::Key_F3);
        QCOMPARE(doc.position, 40u);
        QVERIFY(!status->currentMessage().contains("wrapped"));
        QTest::keyClick(control, Qt::Key_F3);
        QCOMPARE(doc.position, 4u);
        QCOMPARE(status->currentMessage(), QString(CKvtHexEditView::kWrappedToStart));
        QTest::keyClick(control, Qt::Key_F3, Qt::ShiftModifier);
        QCOMPARE(doc.position, 40u);
        QCOMPARE(status->currentMessage(), QString(CKvtHexEditView::kWrappedToEnd));
        QCOMPARE(doc.selEnd, 42);

        // Ctrl+G: a hexadecimal offset; one past the end says so and moves nothing.
        QString offset = "3f";
        view->chooseOffset = [&] { return offset; };
        QTest::keyClick(control, Qt::Key_G, Qt::ControlModifier);
        QCOMPARE(doc.position, 0x3Fu);
        QVERIFY(!doc.HasSelection());
        {
            guitest::MessageBoxCatcher catcher;
            offset = "40";
            QTest::keyClick(control, Qt::Key_G, Qt::ControlModifier);
            QTRY_COMPARE(catcher.texts(), QStringList{HexEditTool::kOffsetBeyondEndMessage});
            QCOMPARE(doc.position, 0x3Fu);
        }

        // Shift+press at byte 2 with the caret at 1, then a drag to byte 6: bytes 1-6.
        QTest::mouseClick(control, Qt::LeftButton, {},
                          control->CellPoint(1, kColumnHigh) + QPoint(2, 2));
        QTest::mousePress(control, Qt::LeftButton, Qt::ShiftModifier,
                          control->CellPoint(2, kColumnHigh) + QPoint(2, 2));
        QMouseEvent move(QEvent::MouseMove, control->CellPoint(6, kColumnHigh) + QPoint(2, 2),
                         control->mapToGlobal(control->CellPoint(6, kColumnHigh) + QPoint(2, 2)),
                         Qt::NoButton, Qt::LeftButton, Qt::ShiftModifier);
        QApplication::sendEvent(control, &move);
        QTest::mouseRelease(control, Qt::LeftButton, Qt::ShiftModifier,
                            control->CellPoint(6, kColumnHigh) + QPoint(2, 2));
        QCOMPARE(doc.selStart, 1);
        QCOMPARE(doc.selEnd, 7);

        // Closing with the edit asks; Cancel keeps the window, Discard closes it unsaved.
        QString caption, question;
        auto answer = [&](QMessageBox::StandardButton button) {
            QTimer::singleShot(50, [&, button] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                if (box == nullptr) return;
                caption = box->windowTitle();
                question = box->text();
                box->button(button)->click();
            });
        };
        QPointer<CChildFrame> guard(window);
        answer(QMessageBox::Cancel);
        window->close();
        QCOMPARE(caption, QStringLiteral("KORVANTA"));
        QCOMPARE(question, QString(CKvtHexEditView::kUnsavedQuestion));
        QVERIFY(guard && window->isVisible());
        answer(QMessageBox::Save);
        frame_->close();  // program exit: Save writes the edit, the program may end
        QCOMPARE(ReadAll(path).at(20), char(0x4E));
    }

    void controlScrollsByLinePageWheelAndKeys() {
        frame_->OpenTool(kHexEditName);
        auto* view = qobject_cast<CKvtHexEditView*>(frame_->activeToolWindow()->view());
        QString path = dir_.filePath("rows.bin");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100 * 16 + 5, 'r'));  // 101 rows, the last one partial
        f.close();
        view->chooseOpenPath = [&] { return path; };
        view->openButton()->click();
        CHexDumpCtrl* control = view->control();
        HexDocument& doc = control->document();
        control->setFocus();
        const uint64_t page = doc.PageBytes();
        QVERIFY(page >= 32 && page < doc.length());
        QVERIFY(control->scrollBar()->isVisible());
        QCOMPARE(control->scrollBar()->maximum(), 100);

        QTest::keyClick(control, Qt::Key_PageDown);
        QCOMPARE(doc.top, page);
        QCOMPARE(doc.position, page);
        QWheelEvent towardsUser(QPointF(10, 10), control->mapToGlobal(QPointF(10, 10)), {},
                                QPoint(0, -120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                                false);
        QApplication::sendEvent(control, &towardsUser);
        QCOMPARE(doc.top, 2 * page);
        // Ctrl+End: the caret goes to the last byte; the view moves one row towards it.
        QTest::keyClick(control, Qt::Key_End, Qt::ControlModifier);
        QCOMPARE(doc.position, doc.length() - 1);
        QCOMPARE(doc.top, 2 * page + 16);
        // The next key only brings the caret's row into view (on the last page), nothing else.
        QTest::keyClick(control, Qt::Key_Left);
        QCOMPARE(doc.top, doc.LastPageTop());
        QCOMPARE(doc.position, doc.length() - 1);
        QTest::keyClick(control, Qt::Key_Left);
        QCOMPARE(doc.position, doc.length() - 2);
        // Page Up with the top one row down scrolls to the top.
        QTest::keyClick(control, Qt::Key_Home, Qt::ControlModifier);
        QCOMPARE(doc.position, 0u);
        doc.top = doc.position = 16;
        QTest::keyClick(control, Qt::Key_PageUp);
        QCOMPARE(doc.top, 0u);
        QCOMPARE(doc.position, 16u);
    }
};

QTEST_MAIN(HexViewsTest)
#include "hexview_views_test.moc"
