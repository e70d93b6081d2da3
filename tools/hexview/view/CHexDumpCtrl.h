// The hexadecimal edit control: address, hexadecimal and ASCII columns over a HexDocument,
// with a block caret, selection, typing, clipboard copy and a context menu. Only the rows in
// view are read from the document's file.
#pragma once

#include <QElapsedTimer>
#include <QFont>
#include <QPointer>
#include <QWidget>
#include <cstdint>

#include "tools/hexview/hex_document.h"

class QScrollBar;
class QMenu;
class QProgressDialog;

namespace kvt {

class CHexDumpCtrl : public QWidget {
    Q_OBJECT
  public:
    static constexpr const char* kBinaryFormat = "BinaryData";

    CHexDumpCtrl(HexDocument& document, QWidget* parent = nullptr);

    HexDocument& document() { return doc_; }
    // After the document changed under the control (attach, find, clear map): geometry,
    // scroll bar and caret follow.
    void Refresh();
    // Hides the caret until the next click.
    void HideCaret();
    bool caretShown() const { return caretShown_ && hasFocus(); }

    void Copy();
    void SelectAll();
    QMenu* contextMenu() const { return menu_; }  // the last menu shown, for tests

    // Geometry, for tests and the views.
    int charWidth();
    int lineHeight();
    int hexColumnX();
    int asciiColumnX();
    QScrollBar* scrollBar() const { return bar_; }
    // The point of the byte at offset in a column (kColumnAscii, kColumnHigh, kColumnLow).
    QPoint CellPoint(uint64_t offset, int column);

  signals:
    void focusChanged(bool in);

  protected:
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent*) override {}
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;

  private:
    void UpdateLayout();
    void UpdateScrollBar();
    bool PositionVisible() const;
    bool Locate(QPoint point, uint64_t& position, int& column) const;
    void LineUp();
    void LineDown();
    void PageUp();
    void PageDown();
    void ScrollTo(uint64_t newTop);
    void MoveStep(int dx, int dy, bool extend);
    void AfterMove();
    int Digits() const;

    HexDocument& doc_;
    QFont font_;
    QScrollBar* bar_;
    QMenu* menu_ = nullptr;
    int charW_ = 0, lineH_ = 0;
    bool layoutOutdated_ = true;
    bool caretShown_ = false;
    bool pressed_ = false;
    bool dragging_ = false;
    QPoint pressPoint_;
    uint64_t pressPosition_ = 0;
    int pressColumn_ = kColumnHigh;
    uint64_t barScale_ = 1;  // rows per scroll bar step when the rows exceed its int range
};

// Progress with Cancel for long work on the window: a dialog appears after 0.5 s.
class ProgressShower {
  public:
    ProgressShower(QWidget* parent, const QString& label);
    ~ProgressShower();
    ProgressFn fn();

  private:
    QWidget* parent_;
    QString label_;
    QElapsedTimer clock_;
    QProgressDialog* dialog_ = nullptr;
};

}  // namespace kvt
