#include "tools/cpu/view/processor_list.h"

#include <QSignalBlocker>

namespace kvt {

void FillProcessorList(QComboBox* list, const std::vector<std::string>& entries, bool enabled) {
    QSignalBlocker block(list);
    for (const std::string& entry : entries) list->addItem(QString::fromStdString(entry));
    list->setCurrentIndex(0);
    list->setEnabled(enabled);
}

}  // namespace kvt
