// The memory and file tools as the program's tool table lists them.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kMemoryDumpName = "Memory Dump";
inline const char* const kHexEditName = "Hex Viewer/Editor";

ToolEntry MemoryDumpToolEntry();
ToolEntry HexEditToolEntry();

}  // namespace kvt
