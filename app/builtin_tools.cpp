#include "app/builtin_tools.h"

namespace kvt {

void RegisterBuiltinTools(ToolRegistry& registry) {
    for (const ToolEntry& entry : ToolTable()) registry.Add(entry.kind);
}

}  // namespace kvt
