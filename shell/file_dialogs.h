// File-type filters of the program's open and save dialogs.
#pragma once

#include <QString>
#include <QStringList>

class QFileDialog;

namespace kvt {

// Sets the dialog's file types from a list "Name|patterns|Name|patterns||" (patterns
// separated by ';'), the form the program's dialogs are described in. The names are shown as
// they stand. The pattern "*.*" means every file, as users know it: here it lists names
// without a dot too.
void SetFileDialogFilters(QFileDialog& dialog, const QString& filterList);

// The dialog filters for such a list, as the dialog receives them ("Name (patterns)").
QStringList FileDialogFilters(const QString& filterList);

}  // namespace kvt
