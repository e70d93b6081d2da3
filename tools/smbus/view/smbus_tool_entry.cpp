#include "tools/smbus/view/smbus_tool_entry.h"

#include "tools/smbus/view/CKvtSmbusView.h"

namespace kvt {

ToolEntry SmbusToolEntry() {
    return {
        {kSmbusName, 176, 175, "Smbus Access\nSmbus Access", 8, ReportMode::Text, false,
         "CKvtSmbusView", [](const ToolContext& c) -> ToolView* { return new CKvtSmbusView(c); }},
        "Smbus Access",
        {},
        9,
        QColor(0xad, 0x14, 0x57),
        "SM",
        "korvanta-smbus.png",
        7,
        [](ToolView* v) {
            auto* view = qobject_cast<CKvtSmbusView*>(v);
            view->Scan();
            view->ReadRange();
        }};
}

}  // namespace kvt
