#include "shell/tool_registry.h"

namespace kvt {

ToolRegistry::ToolRegistry() {
    kinds_ = {
        {kSingleIoName,
         131,
         129,
         "Single IO\nSingle IO",
         3,
         ReportMode::Text,
         false,
         "CKVTIOView",
         {}},
        {kGroupIoName,
         173,
         155,
         "Group IO\nGroup IO",
         4,
         ReportMode::Text,
         false,
         "CKVTGroupIOView",
         {}},
        {kPciName,
         132,
         147,
         "PCI Read/Write\nPCI Read/Write",
         5,
         ReportMode::Text,
         true,
         "CKvtPciView",
         {}},
        {kOsInfoName, 144, 130, "OS Info\nOS Info", 1, ReportMode::Text, false, "COSinfoView", {}},
        {kCmosName, 162, 131, "CMOS\nCMOS", 6, ReportMode::Text, false, "CKvtCmosView", {}},
        {kMemoryDumpName,
         163,
         132,
         "Memory Dump\nMemory",
         0,
         ReportMode::Binary,
         false,
         "CKvtMemoryView",
         {}},
        {kHexEditName,
         165,
         152,
         "Hex Viewer/Editor\nHex Viewer/Editor",
         0,
         ReportMode::OwnSaveOnly,
         false,
         "CKvtHexEditView",
         {}},
        {kMsrName,
         164,
         153,
         "MSR Read/Write\nMSR Read/Write",
         7,
         ReportMode::Text,
         false,
         "CKvtMsrView",
         {}},
        {kCpuidName, 161, 154, "CPUID\nCPUID", 2, ReportMode::Text, false, "CKvtCpuidView", {}},
        {kSmbusName,
         176,
         175,
         "Smbus Access\nSmbus Access",
         8,
         ReportMode::Text,
         false,
         "CKvtSmbusView",
         {}},
    };
}

bool ToolRegistry::Register(const QString& name, ViewFactory factory) {
    ToolKind* kind = Mutable(name);
    if (kind == nullptr) return false;
    kind->factory = std::move(factory);
    return true;
}

const ToolKind* ToolRegistry::Find(const QString& name) const {
    for (const ToolKind& kind : kinds_) {
        if (kind.name.compare(name, Qt::CaseSensitive) == 0) return &kind;
    }
    return nullptr;
}

ToolKind* ToolRegistry::Mutable(const QString& name) {
    for (ToolKind& kind : kinds_) {
        if (kind.name.compare(name, Qt::CaseSensitive) == 0) return &kind;
    }
    return nullptr;
}

const ToolKind* ToolRegistry::FindByCommand(int commandId) const {
    for (const ToolKind& kind : kinds_) {
        if (kind.commandId == commandId) return &kind;
    }
    return nullptr;
}

}  // namespace kvt
