#include "tools/io/view/io_tool_entries.h"

#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "tools/io/view/CKVTGroupIOView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/io/view/CKvtCmosView.h"

namespace kvt {

namespace {

constexpr const char* kIoFolder = "I/O Read/Write";

// CMOS seconds and status register A through the index pair, a direct read of the POST port,
// and a word read.
void FillSingleIo(ToolView* v) {
    auto* view = qobject_cast<CKVTIOView*>(v);
    view->portEdit()->setText(QStringLiteral("80"));
    view->directReadButton()->click();
    view->setDirectWidth(2);
    view->portEdit()->setText(QStringLiteral("71"));
    view->directReadButton()->click();
    view->indexPortEdit()->setText(QStringLiteral("70"));
    view->dataPortEdit()->setText(QStringLiteral("71"));
    for (const char* offset : {"0", "2", "4", "a"}) {
        view->offsetEdit()->setText(QString::fromLatin1(offset));
        view->indexReadButton()->click();
    }
}

// The first 64 CMOS bytes through the index pair.
void FillGroupIo(ToolView* v) {
    auto* view = qobject_cast<CKVTGroupIOView*>(v);
    view->indexChoice()->click();
    view->indexPortEdit()->setText(QStringLiteral("70"));
    view->dataPortEdit()->setText(QStringLiteral("71"));
    view->startOffsetEdit()->setText(QStringLiteral("0"));
    view->endOffsetEdit()->setText(QStringLiteral("3f"));
    view->readButton()->click();
}

}  // namespace

ToolEntry SingleIoToolEntry() {
    return {{kSingleIoName, 131, 129, "Single IO\nSingle IO", 3, ReportMode::Text, false,
             "CKVTIOView", [](const ToolContext& c) -> ToolView* { return new CKVTIOView(c); }},
            "Single I/O Access",
            kIoFolder,
            1,
            QColor(0x2e, 0x7d, 0x32),
            "IO",
            "korvanta-single-io.png",
            1,
            FillSingleIo};
}

ToolEntry GroupIoToolEntry() {
    return {{kGroupIoName, 173, 155, "Group IO\nGroup IO", 4, ReportMode::Text, false,
             "CKVTGroupIOView",
             [](const ToolContext& c) -> ToolView* { return new CKVTGroupIOView(c); }},
            "Group I/O Access",
            kIoFolder,
            2,
            QColor(0x38, 0x8e, 0x3c),
            "G",
            "korvanta-group-io.png",
            2,
            FillGroupIo};
}

ToolEntry CmosToolEntry() {
    return {{kCmosName, 162, 131, "CMOS\nCMOS", 6, ReportMode::Text, false, "CKvtCmosView",
             [](const ToolContext& c) -> ToolView* { return new CKvtCmosView(c); }},
            "CMOS Read/Write",
            {},
            6,
            QColor(0xef, 0x6c, 0x00),
            "C",
            "korvanta-cmos.png",
            3,
            {}};
}

}  // namespace kvt
