// The PCI tool as the program's tool table lists it.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kPciName = "PCI Read/Write";

ToolEntry PciToolEntry();

}  // namespace kvt
