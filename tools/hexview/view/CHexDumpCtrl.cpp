#include "tools/hexview/view/CHexDumpCtrl.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QProgressDialog>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <vector>

#include "platform/format.h"
#include "shell/messages.h"

namespace kvt {

namespace {
constexpr uint32_t kRow = HexDocument::kBytesPerRow;
bool Printable(uint8_t c) {
    return c >= 0x20 && c <= 0x7E;
}
}  // namespace

CHexDumpCtrl::CHexDumpCtrl(HexDocument& document, QWidget* parent)
    : QWidget(parent), doc_(document), bar_(new QScrollBar(Qt::Vertical, this)) {
    font_ = QFont(QStringLiteral("Courier New"));
    font_.setPixelSize(12);
    font_.setStyleHint(QFont::TypeWriter);
    font_.setFixedPitch(true);
    font_.setWeight(QFont::Normal);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setObjectName(QStringLiteral("CHexDumpCtrl"));
    bar_->hide();
    connect(bar_, &QScrollBar::actionTriggered, this, [this](int action) {
        switch (action) {
            case QAbstractSlider::SliderSingleStepAdd:
                LineDown();
                break;
            case QAbstractSlider::SliderSingleStepSub:
                LineUp();
                break;
            case QAbstractSlider::SliderPageStepAdd:
                PageDown();
                break;
            case QAbstractSlider::SliderPageStepSub:
                PageUp();
                break;
            case QAbstractSlider::SliderMove:
            case QAbstractSlider::SliderToMinimum:
            case QAbstractSlider::SliderToMaximum:
                ScrollTo(std::min<uint64_t>(uint64_t(bar_->sliderPosition()) * barScale_ * kRow,
                                            doc_.LastPageTop()));
                break;
            default:
                break;
        }
        bar_->setSliderPosition(static_cast<int>(doc_.top / kRow / barScale_));
    });
}

int CHexDumpCtrl::Digits() const {
    // Eight digits up to FFFFFFFF, more for addresses beyond.
    uint64_t last = doc_.baseAddress() + (doc_.length() ? doc_.length() - 1 : 0);
    int digits = 8;
    while (digits < 16 && (last >> (4 * digits)) != 0) ++digits;
    return digits;
}

int CHexDumpCtrl::charWidth() {
    UpdateLayout();
    return charW_;
}
int CHexDumpCtrl::lineHeight() {
    UpdateLayout();
    return lineH_;
}
int CHexDumpCtrl::hexColumnX() {
    return (Digits() + 1) * charWidth();
}
int CHexDumpCtrl::asciiColumnX() {
    return hexColumnX() + int(kRow) * 3 * charWidth();
}

void CHexDumpCtrl::UpdateLayout() {
    if (!layoutOutdated_ && charW_ > 0) return;
    QFontMetrics fm(font_);
    charW_ = std::max(1, fm.horizontalAdvance(QLatin1Char('0')));
    lineH_ = std::max(1, fm.height());
    uint64_t rows = static_cast<uint64_t>(std::max(0, height() / lineH_));
    if (rows * kRow > doc_.length()) rows = doc_.RowCount();
    doc_.visibleRows = static_cast<uint32_t>(std::max<uint64_t>(1, rows));
    layoutOutdated_ = false;
    UpdateScrollBar();
}

void CHexDumpCtrl::UpdateScrollBar() {
    uint64_t rows = doc_.RowCount();
    uint64_t last = rows ? rows - 1 : 0;
    barScale_ = last > uint64_t(INT_MAX) ? last / uint64_t(INT_MAX) + 1 : 1;
    QSignalBlocker block(bar_);
    bar_->setRange(0, static_cast<int>(last / barScale_));
    bar_->setPageStep(static_cast<int>(std::max<uint64_t>(1, doc_.visibleRows / barScale_)));
    bar_->setSingleStep(1);
    bar_->setValue(static_cast<int>(doc_.top / kRow / barScale_));
    bool needed = doc_.attached() && rows > doc_.visibleRows;
    bar_->setVisible(needed);
    bar_->setEnabled(needed);
    bar_->setGeometry(width() - bar_->sizeHint().width(), 0, bar_->sizeHint().width(), height());
}

void CHexDumpCtrl::Refresh() {
    layoutOutdated_ = true;
    UpdateLayout();
    update();
}

void CHexDumpCtrl::HideCaret() {
    caretShown_ = false;
    update();
}

void CHexDumpCtrl::resizeEvent(QResizeEvent*) {
    Refresh();
}

QPoint CHexDumpCtrl::CellPoint(uint64_t offset, int column) {
    UpdateLayout();
    int row = static_cast<int>((offset - doc_.top) / kRow);
    int cell = static_cast<int>((offset - doc_.top) % kRow);
    int x = column == kColumnAscii
                ? asciiColumnX() + cell * charW_
                : hexColumnX() + cell * 3 * charW_ + (column == kColumnLow ? charW_ : 0);
    return {x, row * lineH_};
}

bool CHexDumpCtrl::PositionVisible() const {
    return doc_.position >= doc_.top && doc_.position < doc_.top + doc_.PageBytes();
}

void CHexDumpCtrl::paintEvent(QPaintEvent*) {
    UpdateLayout();
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setFont(font_);
    if (!doc_.attached()) return;
    const QFontMetrics fm(font_);
    const int ascent = fm.ascent();
    const int rows = height() / lineH_;
    const uint64_t first = doc_.top;
    const size_t want = static_cast<size_t>(rows) * kRow;
    std::vector<uint8_t> data(want), map(want / 8 + 2);
    const size_t n = doc_.ReadData(data.data(), first, want);
    if (n > 0) doc_.ReadMap(map.data(), first, n);
    const bool selection = doc_.HasSelection();
    const uint64_t selLow = doc_.SelectionLow(), selHigh = doc_.SelectionHigh();
    const bool selInHex = doc_.column == kColumnHigh || doc_.column == kColumnLow;
    const bool selInAscii = doc_.column == kColumnAscii;
    const QColor text = palette().color(QPalette::WindowText);
    const QColor red(255, 0, 0);
    const QColor hiText = palette().color(QPalette::HighlightedText);
    const QColor hiBack = palette().color(QPalette::Highlight);
    const int hexX = hexColumnX(), asciiX = asciiColumnX(), digits = Digits();
    // The first map byte read covers offset first - first % 8.
    auto modified = [&](size_t i) {
        size_t bit = static_cast<size_t>(first % 8) + i;
        return (map[bit / 8] >> (bit % 8)) & 1;
    };
    for (int r = 0; r < rows; ++r) {
        size_t rowStart = static_cast<size_t>(r) * kRow;
        if (rowStart >= n) break;
        int y = r * lineH_;
        p.setPen(text);
        p.drawText(0, y + ascent,
                   QString::fromStdString(Format(
                       "%0*llX", digits,
                       static_cast<unsigned long long>(doc_.baseAddress() + first + rowStart))));
        for (size_t c = 0; c < kRow && rowStart + c < n; ++c) {
            size_t i = rowStart + c;
            uint64_t offset = first + i;
            bool selected = selection && offset >= selLow && offset < selHigh;
            QColor color = modified(i) ? red : text;
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", data[i]);
            int hx = hexX + int(c) * 3 * charW_;
            int ax = asciiX + int(c) * charW_;
            if (selected && selInHex) {
                p.fillRect(hx, y, 3 * charW_, lineH_, hiBack);
                p.setPen(hiText);
            } else {
                p.setPen(color);
            }
            p.drawText(hx, y + ascent, QString::fromLatin1(hex, 2));
            if (selected && selInAscii) {
                p.fillRect(ax, y, charW_, lineH_, hiBack);
                p.setPen(hiText);
            } else {
                p.setPen(color);
            }
            p.drawText(ax, y + ascent, QString(QChar(Printable(data[i]) ? data[i] : '.')));
        }
    }
    // Block caret: one character cell, the character under it drawn inverted.
    if (caretShown() && !dragging_ && doc_.column != kColumnAddress && PositionVisible() &&
        doc_.position < doc_.length()) {
        QPoint at = CellPoint(doc_.position, doc_.column);
        if (at.y() + lineH_ <= height() + lineH_ && at.y() < height()) {
            size_t i = static_cast<size_t>(doc_.position - first);
            QString ch;
            if (doc_.column == kColumnAscii) {
                ch = QChar(Printable(data[i]) ? data[i] : '.');
            } else {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", data[i]);
                ch = QChar(hex[doc_.column == kColumnHigh ? 0 : 1]);
            }
            p.fillRect(at.x(), at.y(), charW_, lineH_, text);
            p.setPen(Qt::white);
            p.drawText(at.x(), at.y() + ascent, ch);
        }
    }
}

bool CHexDumpCtrl::Locate(QPoint point, uint64_t& position, int& column) const {
    if (point.y() < 0 || point.x() < 0 || lineH_ == 0) return false;
    uint64_t row = static_cast<uint64_t>(point.y() / lineH_);
    if (row >= doc_.visibleRows) return false;
    uint64_t rowStart = doc_.top + row * kRow;
    if (rowStart >= doc_.length()) return false;
    int cell = point.x() / charW_;
    int digits = Digits();
    int hexCell = digits + 1;
    int asciiCell = hexCell + int(kRow) * 3;
    int64_t index = -1;
    if (cell < digits) {
        position = rowStart;
        column = kColumnAddress;
        return true;
    }
    if (cell < asciiCell - 1) {
        int rel = cell - hexCell;  // -1: the blank before the first byte
        if (rel < 0) {
            index = 0;
            column = kColumnHigh;
        } else if (rel % 3 == 1) {
            index = rel / 3;
            column = kColumnLow;
        } else {
            index = rel / 3 + (rel % 3 == 2 ? 1 : 0);
            column = kColumnHigh;
        }
    } else if (cell >= asciiCell && cell < asciiCell + int(kRow)) {
        index = cell - asciiCell;
        column = kColumnAscii;
    }
    if (index < 0 || index >= int64_t(kRow) || rowStart + uint64_t(index) >= doc_.length()) {
        return false;
    }
    position = rowStart + uint64_t(index);
    return true;
}

// ---- scrolling -----------------------------------------------------------------------------

void CHexDumpCtrl::ScrollTo(uint64_t newTop) {
    doc_.top = newTop - newTop % kRow;
    AfterMove();
}

void CHexDumpCtrl::LineUp() {
    if (doc_.top >= kRow) doc_.top -= kRow;
    AfterMove();
}

void CHexDumpCtrl::LineDown() {
    uint64_t page = doc_.PageBytes();
    if (doc_.length() > page && doc_.top < doc_.length() - page) doc_.top += kRow;
    AfterMove();
}

void CHexDumpCtrl::PageUp() {
    uint64_t page = doc_.PageBytes();
    if (doc_.top > 0) {
        doc_.top = doc_.top > page ? doc_.top - page : 0;
        if (doc_.position >= page) doc_.position -= page;
    }
    AfterMove();
}

void CHexDumpCtrl::PageDown() {
    uint64_t page = doc_.PageBytes();
    if (doc_.length() > page && doc_.top < doc_.length() - page) {
        doc_.top += page;
        if (doc_.position + page < doc_.length()) doc_.position += page;
        if (doc_.top > doc_.LastPageTop()) doc_.top = doc_.LastPageTop();
    }
    AfterMove();
}

void CHexDumpCtrl::AfterMove() {
    QSignalBlocker block(bar_);
    bar_->setValue(static_cast<int>(doc_.top / kRow / barScale_));
    update();
}

void CHexDumpCtrl::MoveStep(int dx, int dy, bool extend) {
    uint64_t old = doc_.position;
    if (extend) {
        if (!doc_.HasSelection()) doc_.selStart = static_cast<int64_t>(old);
    } else {
        doc_.ClearSelection();
    }
    doc_.Step(dx, dy);
    if (doc_.position < doc_.top) {
        LineUp();
    } else if (doc_.position >= doc_.top + doc_.PageBytes()) {
        LineDown();
    }
    if (extend) {
        bool hex = doc_.column == kColumnHigh || doc_.column == kColumnLow;
        doc_.selEnd = static_cast<int64_t>(doc_.position) + ((dx > 0 || dy > 0) && hex ? 1 : 0);
    }
    caretShown_ = true;
    AfterMove();
}

// ---- keyboard ------------------------------------------------------------------------------

bool CHexDumpCtrl::event(QEvent* event) {
    // Tab belongs to the control, not to the focus chain.
    if (event->type() == QEvent::ShortcutOverride) {
        // The clipboard keys are the control's own while it has the focus.
        auto* key = static_cast<QKeyEvent*>(event);
        const bool ctrl = key->modifiers() & Qt::ControlModifier;
        const bool shift = key->modifiers() & Qt::ShiftModifier;
        const int k = key->key();
        if ((ctrl && (k == Qt::Key_C || k == Qt::Key_X || k == Qt::Key_V || k == Qt::Key_Z ||
                      k == Qt::Key_Y || k == Qt::Key_Insert)) ||
            (shift && (k == Qt::Key_Delete || k == Qt::Key_Insert))) {
            event->accept();
            return true;
        }
    }
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    return QWidget::event(event);
}

void CHexDumpCtrl::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    if (key == Qt::Key_Menu) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(5, 5),
                               mapToGlobal(QPoint(5, 5)));
        contextMenuEvent(&menu);
        return;
    }
    if (!doc_.attached() || doc_.length() == 0) return;
    if ((ctrl && (key == Qt::Key_C || key == Qt::Key_Insert || key == Qt::Key_X)) ||
        (shift && key == Qt::Key_Delete)) {
        Copy();
        update();
        return;
    }
    if (ctrl && (key == Qt::Key_Z || key == Qt::Key_Y)) {
        // Ctrl+Z undoes the last typed byte, Ctrl+Y (or Ctrl+Shift+Z) redoes it.
        const bool redo = key == Qt::Key_Y || shift;
        if (redo ? doc_.Redo() : doc_.Undo()) {
            UpdateLayout();
            if (!PositionVisible()) {
                ScrollTo(std::min(doc_.position - doc_.position % kRow, doc_.LastPageTop()));
            }
            caretShown_ = true;
            update();
        }
        return;
    }
    if (ctrl && key == Qt::Key_V) return;
    UpdateLayout();
    if (!PositionVisible()) {
        // The first key only brings the caret's row into view, at the top.
        ScrollTo(std::min(doc_.position - doc_.position % kRow, doc_.LastPageTop()));
        return;
    }
    const uint64_t rowStart = doc_.position - doc_.position % kRow;
    switch (key) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
            doc_.column = doc_.column == kColumnAscii || doc_.column == kColumnAddress
                              ? kColumnHigh
                              : kColumnAscii;
            caretShown_ = true;
            update();
            return;
        case Qt::Key_Left:
            MoveStep(-1, 0, shift);
            return;
        case Qt::Key_Right:
            MoveStep(1, 0, shift);
            return;
        case Qt::Key_Up:
            MoveStep(0, -1, shift);
            return;
        case Qt::Key_Down:
            MoveStep(0, 1, shift);
            return;
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End: {
            if (shift) {
                if (!doc_.HasSelection()) doc_.selStart = static_cast<int64_t>(doc_.position);
            } else {
                doc_.ClearSelection();
            }
            if (key == Qt::Key_PageUp) {
                PageUp();
            } else if (key == Qt::Key_PageDown) {
                PageDown();
            } else if (key == Qt::Key_Home) {
                if (!ctrl) {
                    doc_.position = rowStart;
                } else if (!shift) {
                    doc_.position = 0;
                }
            } else {
                doc_.position =
                    ctrl ? doc_.length() - 1 : std::min(rowStart + kRow - 1, doc_.length() - 1);
            }
            if (key == Qt::Key_Home || key == Qt::Key_End) {
                if (doc_.position < doc_.top) {
                    LineUp();
                } else if (doc_.position >= doc_.top + doc_.PageBytes()) {
                    LineDown();
                }
            }
            if (shift) doc_.selEnd = static_cast<int64_t>(doc_.position);
            caretShown_ = true;
            AfterMove();
            return;
        }
        default:
            break;
    }
    const QString text = event->text();
    if (ctrl || text.isEmpty()) return;
    const char16_t ch = text.at(0).unicode();
    if (ch < 0x20 || ch > 0xFF || ch == 0x7F) return;  // Backspace, Enter and the like
    if (doc_.Type(static_cast<uint8_t>(ch))) {
        if (doc_.position >= doc_.top + doc_.PageBytes()) LineDown();
        caretShown_ = true;
        update();
    }
}

// ---- mouse ---------------------------------------------------------------------------------

void CHexDumpCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    setFocus(Qt::MouseFocusReason);
    if (!doc_.attached() || doc_.length() == 0) return;
    UpdateLayout();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    // Shift: the selection goes from the caret to the pressed byte, and a drag extends it.
    if (shift) doc_.selStart = static_cast<int64_t>(doc_.position);
    uint64_t position = 0;
    int column = 0;
    if (Locate(event->position().toPoint(), position, column)) {
        doc_.position = position;
        doc_.column = column;
    }
    if (shift) {
        bool hex = doc_.column == kColumnHigh || doc_.column == kColumnLow;
        doc_.selEnd = static_cast<int64_t>(doc_.position) + (hex ? 1 : 0);
        dragging_ = true;  // the anchor is set: any move extends
    } else {
        doc_.ClearSelection();
    }
    pressed_ = true;
    pressPoint_ = event->position().toPoint();
    pressPosition_ = doc_.position;
    pressColumn_ = doc_.column;
    caretShown_ = !doc_.HasSelection();
    update();
}

void CHexDumpCtrl::mouseMoveEvent(QMouseEvent* event) {
    if (!pressed_ || !(event->buttons() & Qt::LeftButton) || !doc_.attached()) return;
    QPoint point = event->position().toPoint();
    if (!dragging_) {
        if ((point - pressPoint_).manhattanLength() < QApplication::startDragDistance()) return;
        dragging_ = true;
        doc_.selStart = doc_.selEnd = static_cast<int64_t>(pressPosition_);
    }
    if (point.y() < 0) {
        LineUp();
        point.setY(0);
    } else if (point.y() >= int(doc_.visibleRows) * lineH_) {
        LineDown();
        point.setY((int(doc_.visibleRows) - 1) * lineH_);
    }
    uint64_t position = 0;
    int column = 0;
    if (Locate(point, position, column) && column != kColumnAddress) {
        doc_.position = position;
        bool hex = pressColumn_ == kColumnHigh || pressColumn_ == kColumnLow;
        doc_.selEnd = static_cast<int64_t>(position) + (hex ? 1 : 0);
    }
    update();
}

void CHexDumpCtrl::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    pressed_ = false;
    dragging_ = false;
    if (!doc_.HasSelection()) caretShown_ = true;
    update();
}

void CHexDumpCtrl::wheelEvent(QWheelEvent* event) {
    if (!doc_.attached()) return;
    UpdateLayout();
    // A turn towards the user pages down, away pages up.
    if (event->angleDelta().y() < 0) {
        PageDown();
    } else if (event->angleDelta().y() > 0) {
        PageUp();
    }
    event->accept();
}

void CHexDumpCtrl::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    emit focusChanged(true);
    update();
}

void CHexDumpCtrl::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    emit focusChanged(false);
    update();
}

// ---- clipboard and menu --------------------------------------------------------------------

void CHexDumpCtrl::Copy() {
    std::string bytes;
    switch (doc_.CopySelection(bytes)) {
        case HexDocument::CopyResult::Ok:
            break;
        case HexDocument::CopyResult::TooLarge:
            ShowKorvantaMessage(this, QStringLiteral("Error! Selection too large to copy!"));
            return;
        default:
            return;
    }
    std::string text;
    if (doc_.column == kColumnAscii) {
        text = bytes;
        for (char& c : text) {
            if (!Printable(static_cast<uint8_t>(c))) c = '.';
        }
    } else {
        text.reserve(bytes.size() * 3);
        for (char c : bytes) AppendFormat(text, "%02X ", static_cast<uint8_t>(c));
    }
    auto* mime = new QMimeData;
    mime->setData(QString::fromLatin1(kBinaryFormat),
                  QByteArray(bytes.data(), qsizetype(bytes.size())));
    mime->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
    QApplication::clipboard()->setMimeData(mime);
}

void CHexDumpCtrl::SelectAll() {
    if (!doc_.attached()) return;
    doc_.selStart = 0;
    doc_.selEnd = static_cast<int64_t>(doc_.length());
    caretShown_ = false;
    update();
}

void CHexDumpCtrl::contextMenuEvent(QContextMenuEvent* event) {
    if (menu_) menu_->deleteLater();
    menu_ = new QMenu(this);
    QAction* copy = menu_->addAction(QStringLiteral("&Copy"), this, &CHexDumpCtrl::Copy);
    copy->setEnabled(doc_.HasSelection());
    menu_->addSeparator();
    menu_->addAction(QStringLiteral("Select &All"), this, &CHexDumpCtrl::SelectAll);
    QPoint at = event->reason() == QContextMenuEvent::Keyboard ? mapToGlobal(QPoint(5, 5))
                                                               : event->globalPos();
    menu_->exec(at);
}

// ---- progress ------------------------------------------------------------------------------

ProgressShower::ProgressShower(QWidget* parent, const QString& label)
    : parent_(parent), label_(label) {
    clock_.start();
}

ProgressShower::~ProgressShower() {
    delete dialog_;
}

ProgressFn ProgressShower::fn() {
    return [this](uint64_t done, uint64_t total) {
        if (clock_.elapsed() < 500 && dialog_ == nullptr) return true;
        if (dialog_ == nullptr) {
            dialog_ = new QProgressDialog(label_, QStringLiteral("Cancel"), 0, 1000, parent_);
            dialog_->setWindowModality(Qt::WindowModal);
            dialog_->setMinimumDuration(0);
            dialog_->setAutoReset(false);
            dialog_->setAutoClose(false);
            dialog_->show();
        }
        dialog_->setValue(total ? static_cast<int>(done * 1000 / total) : 0);
        QApplication::processEvents();
        return !dialog_->wasCanceled();
    };
}

}  // namespace kvt
