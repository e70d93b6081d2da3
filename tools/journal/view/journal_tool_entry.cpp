#include "tools/journal/view/journal_tool_entry.h"

#include "tools/journal/view/CKvtJournalView.h"

namespace kvt {

ToolEntry JournalToolEntry() {
    return {{kJournalName, 178, 178, "Write Journal\nWrite Journal", 0, ReportMode::Text, false,
             "CKvtJournalView",
             [](const ToolContext& c) -> ToolView* { return new CKvtJournalView(c); }},
            "Write Journal",
            {},
            10,
            QColor(0x45, 0x5a, 0x64),
            "WJ",
            {},
            11,
            {}};
}

}  // namespace kvt
