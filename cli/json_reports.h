// The reports as JSON documents, built from the same tool state the text reports are written
// from. Numbers are integers, texts are strings; a value that could not be read is null, and the
// object that holds it carries a "reason".
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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
// Shows the function in the tool (any domain) and tells on standard error why it cannot be
// shown: firstMessage is the tool's first message (read after the call), a failed read, an
// absent function. True when its registers are shown.
bool ShowPciFunction(PciTool& tool, const PciAddress& f, const std::string& firstMessage);
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
