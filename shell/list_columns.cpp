#include "shell/list_columns.h"

#include <QAbstractItemDelegate>
#include <QAbstractItemModel>
#include <QEvent>
#include <QHeaderView>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

namespace kvt {
namespace {

// The width the view gave its last column before it was first stretched.
constexpr const char* kLastColumnWish = "kvtLastColumnWish";

// Rows measured per column: enough for every list of the tools, bounded for long ones.
constexpr int kMeasuredRows = 1000;

// The widest text of the column over its top-level rows, whether on screen or not (the view's
// own hint looks only at the rows in sight, which are few before the window is shown).
int ContentWidth(const QTreeView* list, int column) {
    const QAbstractItemModel* model = list->model();
    if (model == nullptr) return 0;
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.font = list->font();
    option.widget = list;
    const int rows = std::min(model->rowCount(list->rootIndex()), kMeasuredRows);
    int widest = 0;
    for (int row = 0; row < rows; ++row) {
        const QModelIndex index = model->index(row, column, list->rootIndex());
        QAbstractItemDelegate* delegate = list->itemDelegateForIndex(index);
        if (delegate != nullptr)
            widest = std::max(widest, delegate->sizeHint(option, index).width());
    }
    if (column == 0 && list->rootIsDecorated()) widest += list->indentation();
    return widest;
}

// The tool window the list lies in, if it lies in one.
QMdiSubWindow* WindowOf(QTreeView* list) {
    for (QWidget* parent = list->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto* window = qobject_cast<QMdiSubWindow*>(parent)) return window;
    }
    return nullptr;
}

// Fits the list again when it is first shown: its style and fonts are final only then.
class FitOnShow : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show) {
            watched->removeEventFilter(this);
            FitColumns(static_cast<QTreeView*>(watched));
            deleteLater();
        }
        return false;
    }
};

}  // namespace

void FitColumns(QTreeView* list) {
    QHeaderView* header = list->header();
    const QAbstractItemView* view = list;  // where sizeHintForColumn is public
    const int count = header->count();
    int total = 0;
    for (int column = 0; column < count; ++column) {
        if (header->isSectionHidden(column)) continue;
        int wanted = std::max({header->sectionSizeHint(column), view->sizeHintForColumn(column),
                               ContentWidth(list, column)});
        // A stretched last column fills what the list leaves: its present width is no wish
        // (the view's own is kept by KeepColumnsFitted), and the width given to it is the
        // least it keeps when the list narrows.
        const bool stretched = column == count - 1 && header->stretchLastSection();
        if (stretched) wanted = std::max(wanted, list->property(kLastColumnWish).toInt());
        if (!stretched) wanted = std::max(wanted, header->sectionSize(column));
        if (stretched || wanted != header->sectionSize(column))
            header->resizeSection(column, wanted);
        total += wanted;
    }
    const int scrollBar =
        std::max(list->verticalScrollBar()->sizeHint().width(),
                 list->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, list));
    int minimum = total + 2 * list->frameWidth() + scrollBar;
    // In a tool window: never wider than the window can be in its area (wider columns scroll),
    // and the window grows to what the list now needs.
    QMdiSubWindow* window = WindowOf(list);
    if (window != nullptr && window->mdiArea() != nullptr) {
        const int besides = window->width() - list->width();
        minimum = std::min(minimum, window->mdiArea()->viewport()->width() - besides);
    }
    if (minimum == list->minimumWidth()) return;
    const int grow = minimum - list->width();
    list->setMinimumWidth(minimum);
    if (window != nullptr && grow > 0) window->resize(window->width() + grow, window->height());
}

void KeepColumnsFitted(QWidget* widget) {
    for (QTreeView* list : widget->findChildren<QTreeView*>()) {
        const int last = list->header()->count() - 1;
        if (last >= 0) list->setProperty(kLastColumnWish, list->header()->sectionSize(last));
        FitColumns(list);
        list->installEventFilter(new FitOnShow(list));
        QAbstractItemModel* model = list->model();
        if (model == nullptr) continue;
        // One fit after a burst of changes (a list filled item by item changes per cell).
        auto* pending = new QTimer(list);
        pending->setSingleShot(true);
        pending->setInterval(0);
        QObject::connect(pending, &QTimer::timeout, list, [list] { FitColumns(list); });
        auto refit = [pending] { pending->start(); };
        QObject::connect(model, &QAbstractItemModel::rowsInserted, list, refit);
        QObject::connect(model, &QAbstractItemModel::modelReset, list, refit);
        QObject::connect(model, &QAbstractItemModel::layoutChanged, list, refit);
        QObject::connect(model, &QAbstractItemModel::dataChanged, list, refit);
    }
}

}  // namespace kvt
