// The processor tools as the program's tool table lists them.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kMsrName = "MSR Read/Write";
inline const char* const kCpuidName = "CPUID Info";

ToolEntry MsrToolEntry();
ToolEntry CpuidToolEntry();

}  // namespace kvt
