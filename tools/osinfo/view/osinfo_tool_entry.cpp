#include "tools/osinfo/view/osinfo_tool_entry.h"

#include "tools/osinfo/view/COSinfoView.h"

namespace kvt {

ToolEntry OsInfoToolEntry() {
    return {{kOsInfoName, 144, 130, "OS Info\nOS Info", 1, ReportMode::Text, false, "COSinfoView",
             [](const ToolContext& c) -> ToolView* { return new COSinfoView(c); }},
            "OS Info",
            {},
            1,
            QColor(0x01, 0x57, 0x9b),
            "OS",
            "korvanta-os-info.png",
            10,
            {}};
}

}  // namespace kvt
