// Lists whose columns show their content whole: each column is widened to its caption and to
// the texts it holds, and the list keeps at least the width of all its columns, so the tool
// window it lies in opens wide enough to show every column.
#pragma once

class QTreeView;
class QWidget;

namespace kvt {

// Widens the columns (never narrows one the view has made wider) and sets the list's minimum
// width to their sum with frame and scroll bar.
void FitColumns(QTreeView* list);

// FitColumns for every list of the widget, now and again whenever a list's rows change.
void KeepColumnsFitted(QWidget* widget);

}  // namespace kvt
