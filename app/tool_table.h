// The one list of the tools built into the program. The registry, the File ▸ New menu, the
// tool tree, the tools' icons and the documentation pictures are all made from it; adding a
// tool is one line here and its own view folder's entry.
#pragma once

#include <QString>
#include <vector>

#include "shell/tool_registry.h"
#include "tools/cpu/view/cpu_tool_entries.h"
#include "tools/hexview/view/hexview_tool_entries.h"
#include "tools/io/view/io_tool_entries.h"
#include "tools/journal/view/journal_tool_entry.h"
#include "tools/osinfo/view/osinfo_tool_entry.h"
#include "tools/pci/view/pci_tool_entry.h"
#include "tools/smbus/view/smbus_tool_entry.h"

namespace kvt {

// A folder of the tree, shown as a submenu of File ▸ New.
struct ToolFolder {
    QString treeText;  // what the tree shows, and what an entry names as its folder
    QString menuText;
    int place;  // among the top-level items, as ToolEntry::place
};

// Every tool in its registration order.
const std::vector<ToolEntry>& ToolTable();
const std::vector<ToolFolder>& ToolFolders();
// The entry of the tool with this exact name; null when there is none.
const ToolEntry* FindToolEntry(const QString& name);

// One item of the menu or tree: a tool or a folder.
struct ToolTreeItem {
    const ToolEntry* tool = nullptr;      // null for a folder
    const ToolFolder* folder = nullptr;   // null for a tool
    std::vector<const ToolEntry*> tools;  // the tools of a folder, in their order
};
// The top level of the menu and tree in order, folders with their tools.
std::vector<ToolTreeItem> ToolTreeItems();

}  // namespace kvt
