#include "app/tool_table.h"

#include <algorithm>

namespace kvt {

const std::vector<ToolEntry>& ToolTable() {
    // One line per tool, in the registration order; each entry comes from the tool's view folder.
    static const std::vector<ToolEntry> table = {
        SingleIoToolEntry(),    // tools/io/view
        GroupIoToolEntry(),     // tools/io/view
        PciToolEntry(),         // tools/pci/view
        OsInfoToolEntry(),      // tools/osinfo/view
        CmosToolEntry(),        // tools/io/view
        MemoryDumpToolEntry(),  // tools/hexview/view
        HexEditToolEntry(),     // tools/hexview/view
        MsrToolEntry(),         // tools/cpu/view
        CpuidToolEntry(),       // tools/cpu/view
        SmbusToolEntry(),       // tools/smbus/view
        JournalToolEntry(),     // tools/journal/view
    };
    return table;
}

const std::vector<ToolFolder>& ToolFolders() {
    static const std::vector<ToolFolder> folders = {
        {QStringLiteral("I/O Read/Write"), QStringLiteral("IO Read/Write"), 4},
    };
    return folders;
}

const ToolEntry* FindToolEntry(const QString& name) {
    for (const ToolEntry& entry : ToolTable()) {
        if (entry.kind.name.compare(name, Qt::CaseSensitive) == 0) return &entry;
    }
    return nullptr;
}

std::vector<ToolTreeItem> ToolTreeItems() {
    std::vector<std::pair<int, ToolTreeItem>> top;
    for (const ToolFolder& folder : ToolFolders()) {
        ToolTreeItem item;
        item.folder = &folder;
        std::vector<const ToolEntry*>& tools = item.tools;
        for (const ToolEntry& entry : ToolTable())
            if (entry.folder == folder.treeText) tools.push_back(&entry);
        std::stable_sort(tools.begin(), tools.end(), [](const ToolEntry* a, const ToolEntry* b) {
            return a->place < b->place;
        });
        top.emplace_back(folder.place, std::move(item));
    }
    for (const ToolEntry& entry : ToolTable()) {
        if (!entry.folder.isEmpty()) continue;
        ToolTreeItem item;
        item.tool = &entry;
        top.emplace_back(entry.place, std::move(item));
    }
    std::stable_sort(top.begin(), top.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ToolTreeItem> items;
    for (auto& [place, item] : top) items.push_back(std::move(item));
    return items;
}

}  // namespace kvt
