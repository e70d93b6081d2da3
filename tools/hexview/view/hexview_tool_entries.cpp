#include "tools/hexview/view/hexview_tool_entries.h"

#include <QFile>
#include <QLineEdit>
#include <QPushButton>

#include "hwaccess/session.h"
#include "platform/temp_folder.h"
#include "tools/hexview/view/CKvtHexEditView.h"
#include "tools/hexview/view/CKvtMemoryView.h"

namespace kvt {

namespace {

// 256 bytes of the BIOS area below 1 MiB.
void FillMemoryDump(ToolView* v) {
    auto* view = qobject_cast<CKvtMemoryView*>(v);
    view->addressEdit()->setText(QStringLiteral("FFF00"));
    view->sizeEdit()->setText(QStringLiteral("100"));
    view->dumpButton()->click();
}

// A file of the program's own: the first kilobyte of the register descriptions.
void FillHexEdit(ToolView* v) {
    auto* view = qobject_cast<CKvtHexEditView*>(v);
    QFile source(QString::fromStdString(DataFolder() + "/regdes.txt"));
    const QString copy = QString::fromStdString(PrivateTempFolder()) + "regdes.txt";
    QFile target(copy);
    if (!source.open(QIODevice::ReadOnly) || !target.open(QIODevice::WriteOnly)) return;
    target.write(source.read(1024));
    target.close();
    view->chooseOpenPath = [copy] { return copy; };
    view->openButton()->click();
}

}  // namespace

ToolEntry MemoryDumpToolEntry() {
    return {
        {kMemoryDumpName, 163, 132, "Memory Dump\nMemory", 0, ReportMode::Binary, false,
         "CKvtMemoryView", [](const ToolContext& c) -> ToolView* { return new CKvtMemoryView(c); }},
        "Memory Dump",
        {},
        7,
        QColor(0x45, 0x5a, 0x64),
        "M",
        "korvanta-memory-dump.png",
        5,
        FillMemoryDump};
}

ToolEntry HexEditToolEntry() {
    return {{kHexEditName, 165, 152, "Hex Viewer/Editor\nHex Viewer/Editor", 0,
             ReportMode::OwnSaveOnly, false, "CKvtHexEditView",
             [](const ToolContext& c) -> ToolView* { return new CKvtHexEditView(c); }},
            "HEX Viewer/Editor",
            {},
            8,
            QColor(0x5d, 0x40, 0x37),
            "0x",
            "korvanta-hex-editor.png",
            6,
            FillHexEdit};
}

}  // namespace kvt
