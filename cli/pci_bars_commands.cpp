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

// Keeps the tool's first message.
class FirstMessage : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        if (!text_.empty()) return;
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        text_.assign(text.data(), text.size());
    }
    void SetFocus(std::string_view) override {}
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

struct BarsArguments {
    std::string function, base = std::string(kAutoBase);
    bool json = false;
};

Action DefinePciBars(CLI::App& command) {
    auto o = std::make_shared<BarsArguments>();
    command.add_option("FUNCTION", o->function, "[domain:]bus, device and function (hexadecimal)")
        ->required()
        ->type_name("[DDDD:]BB:DD.F");
    command.add_option("--base", o->base, "the PCI Express window base: Auto or hexadecimal")
        ->type_name("TEXT");
    command.add_flag("--json", o->json, "write a JSON document");
    return [o](Context& context) {
        PciAddress f;
        if (!ParseFunctionInDomain(o->function, f))
            return Fail("bad function '" + o->function + "' ([DDDD:]BB:DD.F)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        FirstMessage messages;
        PciTool tool(session->client(), messages);
        tool.baseText = o->base;
        if (!ShowPciFunction(tool, f, messages.text())) return 1;
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
    };
}

const CommandRegistrar kBarsCommand({"pci bars",
                                     "Shows a function's base address registers with their sizes",
                                     &DefinePciBars});

}  // namespace

}  // namespace kvt::cli
