// PCI tool commands: the reports, the device list, one function's registers, Find.
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/pci/pci_tool.h"

namespace kvt::cli {

namespace {

// The tool's messages: the first one ends the command as one line on standard error.
class ToolMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        if (shown_) return;
        shown_ = true;
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        first.assign(text.data(), text.size());
    }
    void SetFocus(std::string_view) override {}
    bool shown() const { return shown_; }
    int Fail() const { return cli::Fail(first); }
    std::string first;

  private:
    bool shown_ = false;
};

bool TakeFilter(Args& args, uint32_t& filter) {
    std::string text = "both";
    bool missing = false;
    if (!TakeOption(args, "--filter", text, &missing) && missing) {
        Fail("--filter needs both, pci or pcie");
        return false;
    }
    if (text == "both") {
        filter = PciTool::kFilterBoth;
    } else if (text == "pci") {
        filter = PciTool::kFilterPci;
    } else if (text == "pcie") {
        filter = PciTool::kFilterExpress;
    } else {
        Fail("--filter needs both, pci or pcie, not " + text);
        return false;
    }
    return true;
}

bool TakeBase(Args& args, std::string& base) {
    bool missing = false;
    if (!TakeOption(args, "--base", base, &missing) && missing) {
        Fail("--base needs a text (Auto or a hexadecimal address)");
        return false;
    }
    return true;
}

bool NoArgumentsLeft(const Args& args) {
    if (args.empty()) return true;
    Fail("unexpected argument: " + args.front());
    return false;
}

void PrintDeviceRows(const PciTool& tool) {
    for (size_t row = 0; row < tool.listMap().size(); ++row) {
        std::printf("%s\n", tool.deviceRows()[row].c_str());
    }
}

int RunReportPci(Context& context, Args& args) {
    std::string output, base(kAutoBase);
    uint32_t filter = PciTool::kFilterBoth;
    bool missing = false;
    if (!TakeOption(args, "-o", output, &missing) && missing) return Fail("-o needs a file name");
    if (!TakeFilter(args, filter) || !TakeBase(args, base)) return 1;
    bool current = false;
    PciBdf chosen;
    bool chosenGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != "--current") continue;
        current = true;
        if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-') {
            if (!ParseBdf(args[i + 1], chosen)) return Fail("bad function '" + args[i + 1] + "'");
            chosenGiven = true;
            args.erase(args.begin() + static_cast<long>(i) + 1);
        }
        args.erase(args.begin() + static_cast<long>(i));
        break;
    }
    if (!NoArgumentsLeft(args)) return 1;
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    ToolMessages messages;
    PciTool tool(session->client(), messages);
    tool.filter = filter;
    tool.baseText = base;
    tool.Scan();
    if (messages.shown()) return messages.Fail();
    if (chosenGiven) {
        int row = tool.RowOf(chosen.bus, chosen.device, chosen.function);
        if (row < 0) {
            return Fail(Format("%02X:%02X.%X is not in the device list", chosen.bus, chosen.device,
                               chosen.function));
        }
        tool.SelectDeviceRow(row);
        if (messages.shown()) return messages.Fail();
    }
    StringReport report;
    tool.WriteReport(report.stream(),
                     [current] { return current ? PciTool::kSaveCurrent : PciTool::kSaveAll; });
    if (messages.shown()) return messages.Fail();
    if (!WriteOutput(output, report.str())) return Fail("cannot write " + output);
    return 0;
}

int RunPciDevices(Context& context, Args& args) {
    uint32_t filter = PciTool::kFilterBoth;
    if (!TakeFilter(args, filter) || !NoArgumentsLeft(args)) return 1;
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    ToolMessages messages;
    PciTool tool(session->client(), messages);
    tool.filter = filter;
    tool.Scan();
    if (messages.shown()) return messages.Fail();
    PrintDeviceRows(tool);
    return 0;
}

int RunPciRegs(Context& context, Args& args) {
    std::string base(kAutoBase);
    if (!TakeBase(args, base)) return 1;
    PciBdf f;
    if (args.size() != 1 || !ParseBdf(args[0], f)) return Fail("usage: pci regs BB:DD.F");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    ToolMessages messages;
    PciTool tool(session->client(), messages);
    tool.baseText = base;
    tool.bus = static_cast<int>(f.bus);
    tool.device = static_cast<int>(f.device);
    tool.function = static_cast<int>(f.function);
    tool.SelectorsChanged();
    if (messages.shown()) return messages.Fail();
    std::printf("%s\n", tool.registerListLabel().c_str());
    for (const PciTool::RegisterRow& row : tool.registerRows()) {
        std::printf("%s\t%s\t%s\n", row.offset.c_str(), row.value.c_str(), row.description.c_str());
    }
    return 0;
}

int RunPciFind(Context& context, Args& args) {
    if (args.empty() || args.size() > 2) return Fail("usage: pci find ID | pci find VENDOR DEVICE");
    HardwareSession* session = context.Session();
    if (session == nullptr) return 1;
    ToolMessages messages;
    PciTool tool(session->client(), messages);
    if (args.size() == 2) {
        uint64_t vendor = 0, device = 0;
        if (!ParseHex(args[0], 0xFFFF, vendor) || !ParseHex(args[1], 0xFFFF, device)) {
            return Fail("pci find VENDOR DEVICE: two hexadecimal IDs up to FFFF");
        }
        tool.Scan();
        if (messages.shown()) return messages.Fail();
        for (size_t row = 0; row < tool.listMap().size(); ++row) {
            const PciFunctionRecord& r = tool.table()[tool.listMap()[row]];
            if (r.vendorId == vendor && r.deviceId == device) {
                std::printf("%s\n", tool.deviceRows()[row].c_str());
            }
        }
        return 0;
    }
    tool.idText = args[0];
    for (;;) {
        tool.FindNext();
        if (messages.shown()) break;
        std::printf("%s\n", tool.deviceRows()[static_cast<size_t>(tool.findPosition())].c_str());
    }
    // Reaching "no match" after the last row ends the walk; any other message is an error.
    if (messages.first == kPciNoMatchMessage) return 0;
    return messages.Fail();
}

CommandRegistrar reportPci{{"report pci",
                            "[--current [BB:DD.F]] [--filter both|pci|pcie] [--base TEXT] "
                            "[-o FILE]",
                            &RunReportPci}};
CommandRegistrar pciDevices{{"pci devices", "[--filter both|pci|pcie]", &RunPciDevices}};
CommandRegistrar pciRegs{{"pci regs", "BB:DD.F [--base TEXT]", &RunPciRegs}};
CommandRegistrar pciFind{{"pci find", "ID | VENDOR DEVICE", &RunPciFind}};

}  // namespace

}  // namespace kvt::cli
