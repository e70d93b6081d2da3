#include "shell/tool_view.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QMimeData>

namespace kvt {

QLineEdit* ToolView::FocusedEntry() const {
    auto* edit = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    if (edit == nullptr || !isAncestorOf(edit)) return nullptr;
    return edit;
}

bool ToolView::CanCopy() const {
    QLineEdit* edit = FocusedEntry();
    return edit != nullptr && edit->hasSelectedText();
}

bool ToolView::CanCut() const {
    QLineEdit* edit = FocusedEntry();
    return edit != nullptr && edit->hasSelectedText() && !edit->isReadOnly();
}

bool ToolView::CanPaste() const {
    QLineEdit* edit = FocusedEntry();
    if (edit == nullptr || edit->isReadOnly()) return false;
    const QMimeData* data = QApplication::clipboard()->mimeData();
    return data != nullptr && data->hasText();
}

void ToolView::Copy() {
    if (CanCopy()) FocusedEntry()->copy();
}

void ToolView::Cut() {
    if (CanCut()) FocusedEntry()->cut();
}

void ToolView::Paste() {
    if (CanPaste()) FocusedEntry()->paste();
}

}  // namespace kvt
