#include "app/screenshot.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <cstdio>
#include <functional>

#include "app/main_frame.h"
#include "hwaccess/session.h"
#include "platform/temp_folder.h"
#include "tools/cpu/view/CKvtMsrView.h"
#include "tools/hexview/view/CKvtHexEditView.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/io/view/CKVTGroupIOView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/pci/view/CKvtPciView.h"
#include "tools/smbus/view/CKvtSmbusView.h"

namespace kvt {
namespace {

void Settle() {
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

// CMOS seconds and status register A through the index pair, a direct read of the POST port,
// and a word read.
void FillSingleIo(CKVTIOView& view) {
    view.portEdit()->setText(QStringLiteral("80"));
    view.directReadButton()->click();
    view.setDirectWidth(2);
    view.portEdit()->setText(QStringLiteral("71"));
    view.directReadButton()->click();
    view.indexPortEdit()->setText(QStringLiteral("70"));
    view.dataPortEdit()->setText(QStringLiteral("71"));
    for (const char* offset : {"0", "2", "4", "a"}) {
        view.offsetEdit()->setText(QString::fromLatin1(offset));
        view.indexReadButton()->click();
    }
}

bool SaveMainWindow(CMainFrame& frame, const QString& path) {
    frame.resize(1280, 800);
    auto* first = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    auto* second = qobject_cast<CKVTIOView*>(frame.OpenTool(kSingleIoName));
    if (first == nullptr || second == nullptr) return false;
    FillSingleIo(*first);
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

// What each tool window shows in its picture; tools that show their content on opening have
// nothing to do.
struct ToolShot {
    const char* tool;
    const char* file;
    std::function<void(ToolView*)> fill;
};

std::vector<ToolShot> ToolShots() {
    return {
        {kSingleIoName, "korvanta-single-io.png",
         [](ToolView* v) { FillSingleIo(*qobject_cast<CKVTIOView*>(v)); }},
        {kGroupIoName, "korvanta-group-io.png",
         [](ToolView* v) {
             auto* view = qobject_cast<CKVTGroupIOView*>(v);
             view->indexChoice()->click();
             view->indexPortEdit()->setText(QStringLiteral("70"));
             view->dataPortEdit()->setText(QStringLiteral("71"));
             view->startOffsetEdit()->setText(QStringLiteral("0"));
             view->endOffsetEdit()->setText(QStringLiteral("3f"));
             view->readButton()->click();
         }},
        {kCmosName, "korvanta-cmos.png", nullptr},
        {kPciName, "korvanta-pci.png",
         [](ToolView* v) { qobject_cast<CKvtPciView*>(v)->scanButton()->click(); }},
        {kMemoryDumpName, "korvanta-memory-dump.png",
         [](ToolView* v) {
             auto* view = qobject_cast<CKvtMemoryView*>(v);
             view->addressEdit()->setText(QStringLiteral("FFF00"));
             view->sizeEdit()->setText(QStringLiteral("100"));
             view->dumpButton()->click();
         }},
        {kHexEditName, "korvanta-hex-editor.png",
         [](ToolView* v) {
             // A file of the program's own: the first kilobyte of the register descriptions.
             auto* view = qobject_cast<CKvtHexEditView*>(v);
             QFile source(QString::fromStdString(DataFolder() + "/regdes.txt"));
             const QString copy = QString::fromStdString(PrivateTempFolder()) + "regdes.txt";
             QFile target(copy);
             if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly)) return;
             target.write(source.read(1024));
             target.close();
             view->chooseOpenPath = [copy] { return copy; };
             view->openButton()->click();
         }},
        {kSmbusName, "korvanta-smbus.png",
         [](ToolView* v) {
             auto* view = qobject_cast<CKvtSmbusView*>(v);
             view->Scan();
             view->ReadRange();
         }},
        {kCpuidName, "korvanta-cpuid.png", nullptr},
        {kMsrName, "korvanta-msr.png",
         [](ToolView* v) {
             qobject_cast<CKvtMsrView*>(v)->LoadFrom(
                 QString::fromStdString(DataFolder() + "/hwmsreg.msr"));
         }},
        {kOsInfoName, "korvanta-os-info.png", nullptr},
    };
}

}  // namespace

bool TakeScreenshots(CMainFrame& frame, const QString& folder) {
    QDir().mkpath(folder);
    const QDir dir(folder);
    bool ok = SaveMainWindow(frame, dir.filePath(QStringLiteral("korvanta-main-window.png")));
    for (const ToolShot& shot : ToolShots()) {
        frame.mdiArea()->closeAllSubWindows();
        Settle();
        ToolView* view = frame.OpenTool(shot.tool);
        QMdiSubWindow* window = frame.mdiArea()->activeSubWindow();
        if (view == nullptr || window == nullptr) {
            std::fprintf(stderr, "korvanta: no window for %s\n", shot.tool);
            ok = false;
            continue;
        }
        Settle();
        if (shot.fill) shot.fill(view);
        Settle();
        if (!window->grab().save(dir.filePath(QString::fromLatin1(shot.file)), "PNG")) ok = false;
    }
    return ok;
}

}  // namespace kvt
