// The views built into the program. A tool appears here once its view is done; until then
// its name is known to the tree and the menus but opens nothing.
#include "app/builtin_tools.h"

#include "tools/cpu/view/CKvtCpuidView.h"
#include "tools/cpu/view/CKvtMsrView.h"
#include "tools/hexview/view/CKvtHexEditView.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/io/view/CKVTIOView.h"

namespace kvt {

void RegisterBuiltinTools(ToolRegistry& registry) {
    registry.Register(kSingleIoName, [](const ToolContext& context) -> ToolView* {
        return new CKVTIOView(context);
    });
    registry.Register(kMemoryDumpName, [](const ToolContext& context) -> ToolView* {
        return new CKvtMemoryView(context);
    });
    registry.Register(kHexEditName, [](const ToolContext& context) -> ToolView* {
        return new CKvtHexEditView(context);
    });
    registry.Register(kCpuidName, [](const ToolContext& context) -> ToolView* {
        return new CKvtCpuidView(context);
    });
    registry.Register(
        kMsrName, [](const ToolContext& context) -> ToolView* { return new CKvtMsrView(context); });
}

}  // namespace kvt
