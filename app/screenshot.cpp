#include "app/screenshot.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/main_frame.h"
#include "app/tool_table.h"
#include "tools/io/view/CKVTIOView.h"

namespace kvt {
namespace {

void Settle() {
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

bool SaveMainWindow(CMainFrame& frame, const QString& path) {
    frame.resize(1280, 800);
    auto* first = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    auto* second = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    const ToolEntry* singleIo = FindToolEntry(kSingleIoName);
    if (first == nullptr || second == nullptr || singleIo == nullptr) return false;
    singleIo->fillShot(first);
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
    Settle();
    return frame.grab().save(path, "PNG");
}

}  // namespace

bool TakeScreenshots(CMainFrame& frame, const QString& folder) {
    QDir().mkpath(folder);
    const QDir dir(folder);
    bool ok = SaveMainWindow(frame, dir.filePath(QStringLiteral("korvanta-main-window.png")));
    std::vector<const ToolEntry*> shots;
    for (const ToolEntry& entry : ToolTable())
        if (!entry.screenshotFile.isEmpty()) shots.push_back(&entry);
    std::stable_sort(shots.begin(), shots.end(), [](const ToolEntry* a, const ToolEntry* b) {
        return a->shotPlace < b->shotPlace;
    });
    for (const ToolEntry* entry : shots) {
        const ToolEntry& shot = *entry;
        frame.mdiArea()->closeAllSubWindows();
        Settle();
        ToolView* view = frame.OpenTool(shot.kind.name);
        QMdiSubWindow* window = frame.mdiArea()->activeSubWindow();
        if (view == nullptr || window == nullptr) {
            std::fprintf(stderr, "korvanta: no window for %s\n", qPrintable(shot.kind.name));
            ok = false;
            continue;
        }
        Settle();
        if (shot.fillShot) shot.fillShot(view);
        Settle();
        if (!window->grab().save(dir.filePath(shot.screenshotFile), "PNG")) ok = false;
    }
    return ok;
}

}  // namespace kvt
