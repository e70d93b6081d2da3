// The views built into the program. A tool appears here once its view is done; until then
// its name is known to the tree and the menus but opens nothing.
#include "app/builtin_tools.h"

#include "tools/cpu/view/CKvtCpuidView.h"
#include "tools/cpu/view/CKvtMsrView.h"
#include "tools/hexview/view/CKvtHexEditView.h"
#include "tools/hexview/view/CKvtMemoryView.h"
#include "tools/io/view/CKVTGroupIOView.h"
#include "tools/io/view/CKVTIOView.h"
#include "tools/io/view/CKvtCmosView.h"
#include "tools/osinfo/view/COSinfoView.h"
#include "tools/pci/view/CKvtPciView.h"
#include "tools/smbus/view/CKvtSmbusView.h"

namespace kvt {

void RegisterBuiltinTools(ToolRegistry& registry) {
    registry.Register(kSingleIoName, [](const ToolContext& context) -> ToolView* {
        return new CKVTIOView(context);
    });
    registry.Register(
        kPciName, [](const ToolContext& context) -> ToolView* { return new CKvtPciView(context); });
    registry.Register(kGroupIoName, [](const ToolContext& context) -> ToolView* {
        return new CKVTGroupIOView(context);
    });
    registry.Register(kCmosName, [](const ToolContext& context) -> ToolView* {
        return new CKvtCmosView(context);
    });
    registry.Register(kOsInfoName, [](const ToolContext& context) -> ToolView* {
        return new COSinfoView(context);
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
    registry.Register(kSmbusName, [](const ToolContext& context) -> ToolView* {
        return new CKvtSmbusView(context);
    });
}

}  // namespace kvt
