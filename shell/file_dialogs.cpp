#include "shell/file_dialogs.h"

#include <QFileDialog>

namespace kvt {

QStringList FileDialogFilters(const QString& filterList) {
    const QStringList parts = filterList.split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size() && !parts[i].isEmpty(); i += 2) {
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString pattern = p.trimmed();
            patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
        }
        // The dialog takes its patterns from the last parentheses and, with the details
        // hidden, shows what stands before them: the name exactly as given.
        filters << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters;
}

void SetFileDialogFilters(QFileDialog& dialog, const QString& filterList) {
    dialog.setOption(QFileDialog::HideNameFilterDetails, true);
    dialog.setNameFilters(FileDialogFilters(filterList));
}

}  // namespace kvt
