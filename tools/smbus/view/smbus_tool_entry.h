// The SMBus tool as the program's tool table lists it.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kSmbusName = "SMBus Access";

ToolEntry SmbusToolEntry();

}  // namespace kvt
