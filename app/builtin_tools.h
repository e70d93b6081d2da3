// The tools built into the program: only the program knows every tool view.
#pragma once

#include "app/tool_table.h"
#include "shell/tool_registry.h"

namespace kvt {

// Adds every tool of the tool table to the registry, in the table's order, with its view.
void RegisterBuiltinTools(ToolRegistry& registry);

}  // namespace kvt
