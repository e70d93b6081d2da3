#include "shell/tool_registry.h"

namespace kvt {

bool ToolRegistry::Add(ToolKind kind) {
    if (Find(kind.name) != nullptr) return false;
    kinds_.push_back(std::move(kind));
    return true;
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
