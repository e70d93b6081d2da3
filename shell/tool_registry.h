// The ten tool kinds of the program in their registration order, and the views that have
// been registered for them. A kind without a view is known by name but opens nothing.
#pragma once

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

class ToolRegistry {
  public:
    // The ten kinds in their registration order, none with a view yet.
    ToolRegistry();

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

// Tool names.
inline const char* const kSingleIoName = "Single I/O Access";
inline const char* const kGroupIoName = "Group I/O Access";
inline const char* const kPciName = "PCI Read/Write";
inline const char* const kOsInfoName = "OS Info";
inline const char* const kCmosName = "CMOS Read/Write";
inline const char* const kMemoryDumpName = "Memory Dump";
inline const char* const kHexEditName = "Hex Viewer/Editor";
inline const char* const kMsrName = "MSR Read/Write";
inline const char* const kCpuidName = "CPUID Info";
inline const char* const kSmbusName = "SMBus Access";

}  // namespace kvt
