// The Write Journal tool as the program's tool table lists it.
#pragma once

#include "shell/tool_registry.h"

namespace kvt {

inline const char* const kJournalName = "Write Journal";

ToolEntry JournalToolEntry();

}  // namespace kvt
