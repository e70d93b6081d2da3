// The reports as JSON documents, built from the same tool state the text reports are written
// from. Numbers are integers, texts are strings; a value that could not be read is null, and the
// object that holds it carries a "reason".
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "tools/cpu/cpuid_tool.h"
#include "tools/cpu/msr_tool.h"
#include "tools/io/cmos_tool.h"
#include "tools/io/group_io_tool.h"
#include "tools/osinfo/os_info_tool.h"
#include "tools/pci/pci_tool.h"
#include "tools/smbus/smbus_tool.h"

namespace kvt::cli {

using Json = nlohmann::ordered_json;

Json CpuidJson(const CpuidTool& tool);
Json MsrJson(const MsrTool& tool);
Json PciAllDevicesJson(const std::vector<PciTool::DeviceDump>& devices);
Json PciCurrentDeviceJson(const PciTool& tool);
// {"capabilities": [{offset, id, extended, name, fields}], "notes"?: [...]} (`pci caps --json`).
Json PciCapabilitiesJson(const PciCapabilityList& list);
// {"bars": [{index, type: memory|io, width, prefetchable, address, size: N|null}]}
// (`pci bars --json`).
Json PciBarsJson(const std::vector<PciBar>& bars);
// A command on one PCI function: FUNCTION ([domain:]BB:DD.F), --base and --json.
struct PciFunctionArguments {
    std::string function, base = std::string(kAutoBase);
    bool json = false;
};
void AddPciFunctionArguments(CLI::App& command, PciFunctionArguments& o);
// Shows the function in a PCI tool (any domain) and runs `write` on it; tells on standard
// error why it cannot be shown (the tool's first message, a failed read, an absent function).
// The command's exit status.
int RunOnPciFunction(Context& context, const PciFunctionArguments& o,
                     const std::function<int(PciTool& tool, const PciAddress& f)>& write);
Json CmosJson(const CmosTool& tool);
Json GroupIoJson(const GroupIoTool& tool);
Json OsInfoJson(const OsInfoTool& tool);
Json SmbusJson(const SmbusTool& tool);
// One PCI function's identity (bus, device, function, IDs, class, kind).
Json PciFunctionJson(const PciFunctionRecord& record);
// An SMBus controller: its place in the detection order, vendor, function and base.
Json SmbusControllerJson(const SmbusController& controller, size_t index);

// The document as text: two-space indents, one line feed at the end.
std::string JsonText(const Json& document);

}  // namespace kvt::cli
