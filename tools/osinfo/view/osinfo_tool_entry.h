// The OS information tool as the program's tool table lists it.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kOsInfoName = "OS Info";

ToolEntry OsInfoToolEntry();

}  // namespace kvt
