// The tools built into the program: only the program knows every tool view.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

// Registers the view of every tool that is built into this program.
void RegisterBuiltinTools(ToolRegistry& registry);

}  // namespace kvt
