#include "tools/pci/view/pci_tool_entry.h"

#include <QPushButton>

#include "tools/pci/view/CKvtPciView.h"

namespace kvt {

ToolEntry PciToolEntry() {
    return {{kPciName, 132, 147, "PCI Read/Write\nPCI Read/Write", 5, ReportMode::Text, true,
             "CKvtPciView", [](const ToolContext& c) -> ToolView* { return new CKvtPciView(c); }},
            "PCI Read/Write",
            {},
            3,
            QColor(0x6a, 0x1b, 0x9a),
            "PCI",
            "korvanta-pci.png",
            4,
            [](ToolView* v) { qobject_cast<CKvtPciView*>(v)->scanButton()->click(); }};
}

}  // namespace kvt
