// The tool kinds the program knows, in their registration order, with their views; and the
// entry by which a tool's view folder describes its tool to the program. The registry starts
// empty: the program adds the kinds of its tool table. A kind without a view is known by name
// but opens nothing.
#pragma once

#include <QColor>
#include <QString>
#include <functional>
#include <vector>

#include "shell/tool_view.h"

namespace kvt {

// How Save treats a tool's window.
enum class ReportMode {
    Text,        // WriteReport into the text-mode stream
    Binary,      // Save reopens the file in binary mode first (Memory Dump)
    OwnSaveOnly  // Save leaves the file empty and tells the user to save from the view
                 // (Hex Viewer/Editor); the view's WriteReport is not called
};

using ViewFactory = std::function<ToolView*(const ToolContext& context)>;

struct ToolKind {
    QString name;         // the text by which the tree and OpenTool know the tool
    int commandId;        // File ▸ New command
    int documentKindId;   // id of the document kind
    QString kindString;   // "<window title>\n<document name>"
    int saveAllPosition;  // 1..8 in the order of Save All; 0 = not part of Save All
    ReportMode reportMode;
    bool ownMenu;  // the kind shows its own menu while its window is active
    QString viewClass;
    ViewFactory factory;  // empty until the tool registers its view

    // First substring of the kind string: the title of the tool's windows.
    QString WindowTitle() const { return kindString.section('\n', 0, 0); }
    // Second substring: the document name that titles the kind's documents ("Memory").
    QString DocumentName() const {
        QString name = kindString.section('\n', 1, 1);
        return name.isEmpty() ? WindowTitle() : name;
    }
    bool registered() const { return static_cast<bool>(factory); }
};

// Everything the program needs to offer one tool: its kind, where the File ▸ New menu and the
// tool tree show it, the tile that stands for it, and its documentation picture.
struct ToolEntry {
    ToolKind kind;
    QString menuText;  // the File ▸ New item (may differ from the name: "HEX Viewer/Editor")
    QString folder;    // tree folder (and New submenu) holding the tool; empty at the top level
    int place;         // order among the items of that folder, from 1
    QColor iconColor;
    QString iconLabel;
    QString screenshotFile;  // "korvanta-<tool>.png"; empty: no picture
    int shotPlace;  // order of the pictures, from 1 (one picture's board state reaches the next)
    std::function<void(ToolView*)> fillShot;  // content shown in the picture; empty: as opened
};

class ToolRegistry {
  public:
    // No kind yet.
    ToolRegistry() = default;

    // Adds a kind after the others; false (and nothing added) when its name is taken.
    bool Add(ToolKind kind);

    // Gives a kind its view; false when no kind has that name.
    bool Register(const QString& name, ViewFactory factory);

    // Exact match of the name (same characters, case and length), in registration order.
    const ToolKind* Find(const QString& name) const;
    const ToolKind* FindByCommand(int commandId) const;
    const std::vector<ToolKind>& kinds() const { return kinds_; }
    ToolKind* Mutable(const QString& name);

  private:
    std::vector<ToolKind> kinds_;
};

}  // namespace kvt
