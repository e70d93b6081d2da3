#include "tools/cpu/view/cpu_tool_entries.h"

#include "hwaccess/session.h"
#include "tools/cpu/view/CKvtCpuidView.h"
#include "tools/cpu/view/CKvtMsrView.h"

namespace kvt {

ToolEntry MsrToolEntry() {
    return {{kMsrName, 164, 153, "MSR Read/Write\nMSR Read/Write", 7, ReportMode::Text, false,
             "CKvtMsrView", [](const ToolContext& c) -> ToolView* { return new CKvtMsrView(c); }},
            "MSR Read/Write",
            {},
            5,
            QColor(0xc6, 0x28, 0x28),
            "R",
            "korvanta-msr.png",
            9,
            [](ToolView* v) {
                // The sample MSR list installed with the program.
                qobject_cast<CKvtMsrView*>(v)->LoadFrom(
                    QString::fromStdString(DataFolder() + "/hwmsreg.msr"));
            }};
}

ToolEntry CpuidToolEntry() {
    return {{kCpuidName, 161, 154, "CPUID\nCPUID", 2, ReportMode::Text, false, "CKvtCpuidView",
             [](const ToolContext& c) -> ToolView* { return new CKvtCpuidView(c); }},
            "CPUID Info",
            {},
            2,
            QColor(0x00, 0x83, 0x8f),
            "ID",
            "korvanta-cpuid.png",
            8,
            {}};
}

}  // namespace kvt
