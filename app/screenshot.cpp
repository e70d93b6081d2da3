#include "app/screenshot.h"

#include <QApplication>
#include <QLineEdit>
#include <QMdiArea>
#include <QPixmap>
#include <QPushButton>
#include <QThread>

#include "app/main_frame.h"
#include "tools/io/view/CKVTIOView.h"

namespace kvt {

bool TakeScreenshot(CMainFrame& frame, const QString& path) {
    frame.resize(1280, 800);
    auto* first = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    auto* second = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    if (first == nullptr || second == nullptr) return false;

    // CMOS seconds and status register A through the index pair, a direct read of the
    // POST port, and a word read.
    first->portEdit()->setText(QStringLiteral("80"));
    first->directReadButton()->click();
    first->setDirectWidth(2);
    first->portEdit()->setText(QStringLiteral("71"));
    first->directReadButton()->click();
    first->indexPortEdit()->setText(QStringLiteral("70"));
    first->dataPortEdit()->setText(QStringLiteral("71"));
    for (const char* offset : {"0", "2", "4", "a"}) {
        first->offsetEdit()->setText(QString::fromLatin1(offset));
        first->indexReadButton()->click();
    }
    second->setDirectWidth(4);
    second->portEdit()->setText(QStringLiteral("cf8"));
    second->portDataEdit()->setText(QStringLiteral("80000000"));
    second->directWriteButton()->click();
    second->portEdit()->setText(QStringLiteral("cfc"));
    second->directReadButton()->click();
    second->indexPortEdit()->setText(QStringLiteral("70"));
    second->dataPortEdit()->setText(QStringLiteral("71"));
    second->offsetEdit()->setText(QStringLiteral("9"));
    second->indexReadButton()->click();

    frame.mdiArea()->tileSubWindows();
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
    return frame.grab().save(path, "PNG");
}

}  // namespace kvt
