// `pci caps`: one function's standard and PCI Express extended capabilities, decoded field by
// field from the configuration bytes the PCI window reads.
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "tools/pci/pci_caps.h"
#include "tools/pci/pci_tool.h"

namespace kvt::cli {

namespace {

// Keeps the first message of the tool (the base entry's, or a read error's).
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

Json FieldValue(const PciCapField& f) {
    switch (f.kind) {
        case PciCapField::Kind::Bool:
            return f.flag;
        case PciCapField::Kind::Text:
            return f.text;
        case PciCapField::Kind::Real:
            return f.real;
        case PciCapField::Kind::Number:
            break;
    }
    return f.number;
}

}  // namespace

namespace {

bool ShowPciFunction(PciTool& tool, const PciAddress& f, const std::string& firstMessage) {
    tool.ShowFunction(f);
    if (!firstMessage.empty()) {
        Fail(firstMessage);
        return false;
    }
    const std::string name = f.FunctionText();
    switch (tool.shownReadStatus()) {
        case PciRegisterRead::Status::Ok:
            break;
        case PciRegisterRead::Status::NoWindow:
            Fail(name + ": no PCI Express configuration window reaches this function");
            return false;
        default:
            // Outside domain 0 a refusal is most often a domain the daemon does not have.
            Fail(name + ": the configuration read failed" +
                 (f.domain != 0 ? " (pci list names the functions of every domain)" : ""));
            return false;
    }
    if (!tool.registerRows().empty() && tool.registerRows()[0].dword == 0xFFFFFFFFu) {
        Fail(name + ": no function answers (register 00h reads FFFFFFFFh)");
        return false;
    }
    return true;
}

}  // namespace

void AddPciFunctionArguments(CLI::App& command, PciFunctionArguments& o) {
    command.add_option("FUNCTION", o.function, "[domain:]bus, device and function (hexadecimal)")
        ->required()
        ->type_name("[DDDD:]BB:DD.F");
    command.add_option("--base", o.base, "the PCI Express window base: Auto or hexadecimal")
        ->type_name("TEXT");
    command.add_flag("--json", o.json, "write a JSON document");
}

int RunOnPciFunction(Context& context, const PciFunctionArguments& o,
                     const std::function<int(PciTool& tool, const PciAddress& f)>& write) {
    PciAddress f;
    if (!ParseFunctionInDomain(o.function, f))
        return Fail("bad function '" + o.function + "' ([DDDD:]BB:DD.F)");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    FirstMessage messages;
    PciTool tool(session->client(), messages);
    tool.baseText = o.base;
    if (!ShowPciFunction(tool, f, messages.text())) return 1;
    return write(tool, f);
}

Json PciCapabilitiesJson(const PciCapabilityList& list) {
    Json caps = Json::array();
    for (const PciCapability& cap : list.capabilities) {
        Json fields = Json::object();
        for (const PciCapField& field : cap.fields) fields[field.name] = FieldValue(field);
        caps.push_back({{"offset", cap.offset},
                        {"id", cap.id},
                        {"extended", cap.extended},
                        {"name", cap.name},
                        {"fields", std::move(fields)}});
    }
    Json document = {{"capabilities", std::move(caps)}};
    if (!list.notes.empty()) document["notes"] = list.notes;
    return document;
}

namespace {

Action DefinePciCaps(CLI::App& command) {
    auto o = std::make_shared<PciFunctionArguments>();
    AddPciFunctionArguments(command, *o);
    return [o](Context& context) {
        return RunOnPciFunction(context, *o, [&](PciTool& tool, const PciAddress& f) {
            const PciCapabilityList list = tool.shownCapabilities();
            if (!o->json) {
                std::string text = f.FunctionText() + "\n";
                if (list.capabilities.empty() && list.notes.empty()) text += "no capabilities\n";
                text += PciCapabilitiesText(list, "");
                std::fputs(text.c_str(), stdout);
                return 0;
            }
            std::fputs(JsonText(PciCapabilitiesJson(list)).c_str(), stdout);
            return 0;
        });
    };
}

const CommandRegistrar kCapsCommand({"pci caps",
                                     "Decodes a function's capabilities, field by field",
                                     &DefinePciCaps});

}  // namespace

}  // namespace kvt::cli
