// `pci bars`: one function's base address registers, decoded from the configuration bytes the
// PCI window reads, with the sizes the daemon knows (the kernel's resources on this machine, a
// board's size bits); a BAR is never sized by writing to it.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "tools/pci/pci_bars.h"
#include "tools/pci/pci_tool.h"

namespace kvt::cli {

Json PciBarsJson(const std::vector<PciBar>& bars) {
    Json list = Json::array();
    for (const PciBar& bar : bars) {
        list.push_back({{"index", bar.index},
                        {"type", bar.io ? "io" : "memory"},
                        {"width", bar.width},
                        {"prefetchable", bar.prefetchable},
                        {"address", bar.address},
                        {"size", bar.size ? Json(*bar.size) : Json(nullptr)}});
    }
    return {{"bars", std::move(list)}};
}

namespace {

Action DefinePciBars(CLI::App& command) {
    auto o = std::make_shared<PciFunctionArguments>();
    AddPciFunctionArguments(command, *o);
    return [o](Context& context) {
        return RunOnPciFunction(context, *o, [&](PciTool& tool, const PciAddress& f) {
            const std::vector<PciBar>& bars = tool.shownBars();
            if (o->json) {
                std::fputs(JsonText(PciBarsJson(bars)).c_str(), stdout);
                return 0;
            }
            std::string text = f.FunctionText() + "\n";
            if (bars.empty()) text += "no base address registers\n";
            text += PciBarsText(bars);
            std::fputs(text.c_str(), stdout);
            return 0;
        });
    };
}

const CommandRegistrar kBarsCommand({"pci bars",
                                     "Shows a function's base address registers with their sizes",
                                     &DefinePciBars});

}  // namespace

}  // namespace kvt::cli
