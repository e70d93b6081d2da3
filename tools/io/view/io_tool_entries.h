// The I/O port tools as the program's tool table lists them.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kSingleIoName = "Single I/O Access";
inline const char* const kGroupIoName = "Group I/O Access";
inline const char* const kCmosName = "CMOS Read/Write";

ToolEntry SingleIoToolEntry();
ToolEntry GroupIoToolEntry();
ToolEntry CmosToolEntry();

}  // namespace kvt
