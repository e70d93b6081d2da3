// PCI tool commands: the reports, the device list, one function's registers, Find.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "cli/json_reports.h"
#include "platform/format.h"
#include "platform/report_stream.h"
#include "tools/pci/pci_tool.h"

namespace kvt::cli {

namespace {

// The tool's messages: the first one ends the command as one line on standard error.
class ToolMessages : public UserMessages {
  public:
    void ShowMessage(std::string_view text) override {
        // The note that only the first 256 bytes could be read ends nothing.
        if (text == kPciExtendedSpaceMessage) {
            if (printNotes && !noted_)
                std::fprintf(stderr, "korvanta-cli: %s\n", kPciExtendedSpaceMessage);
            noted_ = true;
            return;
        }
        if (shown_) return;
        shown_ = true;
        while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        first.assign(text.data(), text.size());
    }
    void SetFocus(std::string_view) override {}
    bool shown() const { return shown_; }
    int Fail() const { return cli::Fail(first); }
    std::string first;
    bool printNotes = false;

  private:
    bool shown_ = false;
    bool noted_ = false;
};

// A hexadecimal text as the tool's entry fields take it: without a 0x prefix.
std::string WithoutHexPrefix(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return text.substr(2);
    }
    return text;
}

void AddFilterOption(CLI::App& command, std::string& filter) {
    command.add_option("--filter", filter, "the functions listed, default both")
        ->check(OneOf({"both", "pci", "pcie"}))
        ->type_name("both|pci|pcie");
}

uint32_t FilterOf(const std::string& text) {
    return text == "pci"    ? PciTool::kFilterPci
           : text == "pcie" ? PciTool::kFilterExpress
                            : PciTool::kFilterBoth;
}

void AddBaseOption(CLI::App& command, std::string& base) {
    command.add_option("--base", base, "the PCI Express window base: Auto or hexadecimal")
        ->type_name("TEXT");
}

void PrintDeviceRows(const PciTool& tool) {
    for (size_t row = 0; row < tool.listMap().size(); ++row) {
        std::printf("%s\n", tool.deviceRows()[row].c_str());
    }
}

// Each read function's decoded capabilities and BARs in the all-devices document.
void AddCapabilities(Json& document, const std::vector<PciTool::DeviceDump>& devices) {
    for (size_t i = 0; i < devices.size(); ++i) {
        const PciTool::DeviceDump& dump = devices[i];
        if (dump.dwords.empty()) continue;
        document["functions"][i].update(PciCapabilitiesJson(DecodePciCapabilities(dump.dwords)));
        std::vector<uint8_t> bytes(dump.dwords.size() * 4);
        std::memcpy(bytes.data(), dump.dwords.data(), bytes.size());
        document["functions"][i].update(
            PciBarsJson(DecodePciBars(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                      dump.barSizes ? &*dump.barSizes : nullptr)));
    }
}

// The device list's limit, when it leaves functions of this machine out, on standard error.
void NoteListLimit(const PciTool& tool) {
    if (!tool.listLimitNote().empty())
        std::fprintf(stderr, "korvanta-cli: %s\n", tool.listLimitNote().c_str());
}

struct PciArguments {
    std::string filter = "both", base = std::string(kAutoBase), current, function;
    std::vector<std::string> ids;
    ReportOutput out;
    bool decode = false;
};

Action DefineReportPci(CLI::App& command) {
    auto o = std::make_shared<PciArguments>();
    CLI::Option* current =
        command.add_option("--current", o->current, "only the current function (default: first)")
            ->expected(0, 1)
            ->type_name("[BB:DD.F]");
    AddFilterOption(command, o->filter);
    AddBaseOption(command, o->base);
    command.add_flag("--decode", o->decode,
                     "each function's decoded capabilities after its registers");
    o->out.Add(command);
    return [o, current](Context& context) {
        const bool currentOnly = current->count() > 0;
        PciAddress chosen;
        const bool chosenGiven = !o->current.empty();
        if (chosenGiven && !ParseFunction(o->current, chosen)) {
            return Fail("bad function '" + o->current + "'");
        }
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        ToolMessages messages;
        PciTool tool(session->client(), messages);
        tool.filter = FilterOf(o->filter);
        tool.baseText = WithoutHexPrefix(o->base);
        tool.Scan();
        if (messages.shown()) return messages.Fail();
        if (chosenGiven) {
            int row = tool.RowOf(chosen.bus, chosen.device, chosen.function);
            if (row < 0) {
                return Fail(chosen.FunctionText() + " is not in the device list");
            }
            tool.SelectDeviceRow(row);
            if (messages.shown()) return messages.Fail();
        }
        if (!tool.enumerated()) return Fail(kPciNoInformationMessage);
        if (!currentOnly && !o->out.json) {
            const std::vector<PciTool::DeviceDump> devices = tool.CollectAllDevices();
            if (messages.shown()) return messages.Fail();
            if (!o->out.WriteText([&](ReportStream& out) {
                    PciTool::WriteAllDevicesReport(out, devices, o->decode);
                }))
                return Fail("cannot write " + o->out.file);
            return 0;
        }
        StringReport report;
        Json document;
        if (currentOnly) {
            tool.WriteCurrentDeviceReport(report.stream(), o->decode);
            if (o->out.json) document = PciCurrentDeviceJson(tool);
            if (o->out.json && o->decode && document["registers"].is_array()) {
                document.update(PciCapabilitiesJson(tool.shownCapabilities()));
                document.update(PciBarsJson(tool.shownBars()));
            }
        } else {
            NoteListLimit(tool);
            std::vector<PciTool::DeviceDump> devices = tool.CollectAllDevices();
            if (o->decode) tool.AddBarSizes(devices);
            PciTool::WriteAllDevicesReport(report.stream(), devices, o->decode);
            if (o->out.json) document = PciAllDevicesJson(devices);
            if (o->out.json && o->decode) AddCapabilities(document, devices);
        }
        if (messages.shown()) return messages.Fail();
        if (!o->out.Write(report.str(), document)) return Fail("cannot write " + o->out.file);
        return 0;
    };
}

Action DefinePciDevices(CLI::App& command) {
    auto o = std::make_shared<PciArguments>();
    AddFilterOption(command, o->filter);
    return [o](Context& context) {
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        ToolMessages messages;
        PciTool tool(session->client(), messages);
        tool.filter = FilterOf(o->filter);
        tool.Scan();
        if (messages.shown()) return messages.Fail();
        NoteListLimit(tool);
        PrintDeviceRows(tool);
        return 0;
    };
}

Action DefinePciRegs(CLI::App& command) {
    auto o = std::make_shared<PciArguments>();
    command.add_option("FUNCTION", o->function, "[domain:]bus, device and function (hexadecimal)")
        ->required()
        ->type_name("[DDDD:]BB:DD.F");
    AddBaseOption(command, o->base);
    return [o](Context& context) {
        PciAddress f;
        if (!ParseFunctionInDomain(o->function, f))
            return Fail("bad function '" + o->function + "' ([DDDD:]BB:DD.F)");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        ToolMessages messages;
        messages.printNotes = true;
        PciTool tool(session->client(), messages);
        tool.baseText = WithoutHexPrefix(o->base);
        tool.ShowFunction(f);
        if (messages.shown()) return messages.Fail();
        const PciRegisterRead::Status status = tool.shownReadStatus();
        if (status != PciRegisterRead::Status::Ok &&
            status != PciRegisterRead::Status::ConfigOnly) {
            return Fail(Format("cannot read the configuration space of %s (%s)",
                               f.FunctionText().c_str(),
                               status == PciRegisterRead::Status::NoWindow
                                   ? "no PCI Express configuration window reaches it"
                                   : "the driver refused the read"));
        }
        std::printf("%s\n", tool.registerListLabel().c_str());
        for (const PciTool::RegisterRow& row : tool.registerRows()) {
            std::printf("%s\t%s\t%s\n", row.offset.c_str(), row.value.c_str(),
                        row.description.c_str());
        }
        return 0;
    };
}

Action DefinePciFind(CLI::App& command) {
    auto o = std::make_shared<PciArguments>();
    command.add_option("ID", o->ids, "DID/VID as one hexadecimal text, or VENDOR DEVICE")
        ->required()
        ->expected(1, 2)
        ->type_name("ID | VENDOR DEVICE");
    return [o](Context& context) {
        const std::vector<std::string>& ids = o->ids;
        uint64_t vendor = 0, device = 0;
        if (ids.size() == 2 &&
            (!ParseHex(ids[0], 0xFFFF, vendor) || !ParseHex(ids[1], 0xFFFF, device))) {
            return Fail("pci find VENDOR DEVICE: two hexadecimal IDs up to FFFF");
        }
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        ToolMessages messages;
        PciTool tool(session->client(), messages);
        if (ids.size() == 2) {
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
        // At most eight digits (DID and VID): a longer ID is refused, never cut to 32 bits.
        tool.idText = WithoutHexPrefix(ids[0]);
        if (tool.idText.size() > static_cast<size_t>(PciTool::kIdTypingLimit)) {
            return Fail(kPciIdErrorMessage);
        }
        for (;;) {
            tool.FindNext();
            if (messages.shown()) break;
            std::printf("%s\n",
                        tool.deviceRows()[static_cast<size_t>(tool.findPosition())].c_str());
        }
        // Reaching "no match" after the last row ends the walk; any other message is an error.
        if (messages.first == kPciNoMatchMessage) return 0;
        return messages.Fail();
    };
}

const CommandRegistrar kCommands[] = {
    CommandRegistrar({"report pci", "Writes the PCI report of all functions or the current one",
                      &DefineReportPci}),
    CommandRegistrar(
        {"pci devices", "Lists the functions as the PCI window does", &DefinePciDevices}),
    CommandRegistrar(
        {"pci regs", "Shows a function's registers with their descriptions", &DefinePciRegs}),
    CommandRegistrar({"pci find", "Finds functions by their IDs", &DefinePciFind}),
};

}  // namespace

}  // namespace kvt::cli
