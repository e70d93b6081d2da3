#include "cli/json_reports.h"

#include "tools/cpu/cpu_exec.h"
#include "tools/cpu/cpuid_decode.h"
#include "tools/smbus/smbus_detect.h"

namespace kvt::cli {

namespace {

constexpr const char* kRefused = "the driver refused the read";

// The lines of a text, without their line ends (the explanations end lines in CR, CR LF or LF).
Json Lines(const std::string& text) {
    Json lines = Json::array();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        size_t last = end;
        while (last > start && text[last - 1] == '\r') --last;
        lines.push_back(text.substr(start, last - start));
        start = end + 1;
    }
    return lines;
}

const CpuidRegisters* Registers(const CpuidRecord& record, uint32_t function) {
    const std::vector<CpuidRegisters>* leaves = &record.standard;
    uint32_t index = function;
    if (function >= kCpuidTransmetaBase && record.highestTransmeta != 0) {
        leaves = &record.transmeta;
        index = function - kCpuidTransmetaBase;
    } else if (function >= kCpuidExtendedBase) {
        leaves = &record.extended;
        index = function - kCpuidExtendedBase;
    }
    return index < leaves->size() ? &(*leaves)[index] : nullptr;
}

const char* PciReadReason(PciRegisterRead::Status status) {
    switch (status) {
        case PciRegisterRead::Status::Ok:
            return "";
        case PciRegisterRead::Status::BaseRejected:
            return "the PCI Express base entry is neither Auto nor a hexadecimal address";
        case PciRegisterRead::Status::NoWindow:
            return "no PCI Express configuration window reaches this function";
        case PciRegisterRead::Status::ConfigOnly:
            return "no PCI Express configuration window reaches this function: only its first 256 "
                   "bytes were read, by configuration requests";
        case PciRegisterRead::Status::ReadFailed:
            break;
    }
    return "the driver refused the configuration read";
}

// A value read, or null with the reason it is missing.
template <typename T>
void PutValue(Json& object, const std::optional<T>& value, const char* reason) {
    if (value) {
        object["value"] = *value;
    } else {
        object["value"] = nullptr;
        object["reason"] = reason;
    }
}

}  // namespace

std::string JsonText(const Json& document) {
    return document.dump(2) + "\n";
}

Json CpuidJson(const CpuidTool& tool) {
    Json functions = Json::array();
    for (const CpuidRow& row : tool.rows()) {
        Json f = {{"function", row.function}, {"id", row.id}, {"description", row.description}};
        if (const CpuidRegisters* r = Registers(tool.record(), row.function)) {
            f["eax"] = r->eax;
            f["ebx"] = r->ebx;
            f["ecx"] = r->ecx;
            f["edx"] = r->edx;
        }
        f["explanation"] = Lines(DecodeCpuidFunction(tool.record(), row.function));
        functions.push_back(std::move(f));
    }
    return {{"report", "cpuid"},
            {"processor", tool.selectedProcessor()},
            {"functions", std::move(functions)}};
}

Json MsrJson(const MsrTool& tool) {
    Json msrs = Json::array();
    for (const MsrEntry& entry : tool.list().entries) {
        Json m = {{"msr", entry.msr}, {"description", entry.description}};
        // All ones is what a refused read returns; the list shows it as N/A.
        if (entry.eax == 0xFFFFFFFF && entry.edx == 0xFFFFFFFF) {
            m["eax"] = nullptr;
            m["edx"] = nullptr;
            m["reason"] = "the read was refused or returned all ones";
        } else {
            m["eax"] = entry.eax;
            m["edx"] = entry.edx;
        }
        msrs.push_back(std::move(m));
    }
    return {{"report", "msr"}, {"processor", tool.selectedProcessor()}, {"msrs", std::move(msrs)}};
}

Json PciFunctionJson(const PciFunctionRecord& r) {
    return {{"bus", r.bus},
            {"device", r.device},
            {"function", r.function},
            {"vendorId", r.vendorId},
            {"deviceId", r.deviceId},
            {"classCode", r.classCode},
            {"express", r.kind == kPciExpressKind}};
}

Json PciAllDevicesJson(const std::vector<PciTool::DeviceDump>& devices) {
    Json functions = Json::array();
    for (const PciTool::DeviceDump& dump : devices) {
        Json f = PciFunctionJson(dump.record);
        f["caption"] = dump.caption;
        const bool configOnly = dump.status == PciRegisterRead::Status::ConfigOnly;
        if (dump.status == PciRegisterRead::Status::Ok || configOnly) {
            if (configOnly) f["reason"] = PciReadReason(dump.status);
            Json registers = Json::array();
            for (size_t i = 0; i < dump.dwords.size(); ++i) {
                Json r = {{"offset", 4 * i}, {"value", dump.dwords[i]}};
                if (i < dump.descriptions.size())
                    r["description"] = std::string(dump.descriptions[i]);
                registers.push_back(std::move(r));
            }
            f["registers"] = std::move(registers);
        } else {
            f["registers"] = nullptr;
            f["reason"] = PciReadReason(dump.status);
        }
        functions.push_back(std::move(f));
    }
    return {{"report", "pci"}, {"scope", "all"}, {"functions", std::move(functions)}};
}

Json PciCurrentDeviceJson(const PciTool& tool) {
    Json document = {{"report", "pci"}, {"scope", "current"}};
    const int row = tool.selectedDeviceRow();
    if (row < 0 || static_cast<size_t>(row) >= tool.listMap().size()) {
        document["function"] = nullptr;
        document["registers"] = nullptr;
        document["reason"] = "no function is selected";
        return document;
    }
    Json f = PciFunctionJson(tool.table()[tool.listMap()[static_cast<size_t>(row)]]);
    f["caption"] = tool.deviceRows()[static_cast<size_t>(row)];
    document["function"] = std::move(f);
    if (tool.shownReadStatus() == PciRegisterRead::Status::ConfigOnly) {
        document["reason"] = PciReadReason(tool.shownReadStatus());
    } else if (tool.shownReadStatus() != PciRegisterRead::Status::Ok) {
        document["registers"] = nullptr;
        document["reason"] = PciReadReason(tool.shownReadStatus());
        return document;
    }
    Json registers = Json::array();
    for (const PciTool::RegisterRow& r : tool.registerRows()) {
        registers.push_back({{"offset", r.at}, {"value", r.dword}, {"description", r.description}});
    }
    document["registers"] = std::move(registers);
    return document;
}

Json CmosJson(const CmosTool& tool) {
    Json bytes = Json::array();
    for (const CmosTool::Row& row : tool.rows()) {
        Json b = {{"offset", row.at}};
        PutValue(b, row.value, kRefused);
        bytes.push_back(std::move(b));
    }
    return {{"report", "cmos"},
            {"indexPort", tool.indexPort()},
            {"dataPort", tool.indexPort() + 1},
            {"size", tool.rows().size()},
            {"bytes", std::move(bytes)}};
}

Json GroupIoJson(const GroupIoTool& tool) {
    const bool direct = tool.mode() == GroupIoTool::Mode::Direct;
    Json document = {{"report", "groupio"}, {"mode", direct ? "direct" : "index"}};
    if (!direct && tool.dumpedPorts()) {
        document["indexPort"] = tool.dumpedPorts()->first;
        document["dataPort"] = tool.dumpedPorts()->second;
    }
    document["width"] = tool.dumpedWidth();
    Json values = Json::array();
    for (const GroupIoTool::Row& row : tool.rows()) {
        Json v = {{direct ? "port" : "offset", row.at}};
        PutValue(v, row.value,
                 direct ? kRefused : "the driver refused the index write or the read");
        values.push_back(std::move(v));
    }
    document["values"] = std::move(values);
    return document;
}

Json OsInfoJson(const OsInfoTool& tool) {
    Json fields = Json::object();
    for (const OsInfoRow& row : tool.rows()) {
        if (row.number) {
            fields[row.first] = *row.number;
        } else {
            fields[row.first] = row.second;
        }
    }
    return {{"report", "os"}, {"fields", std::move(fields)}};
}

Json SmbusControllerJson(const SmbusController& c, size_t index) {
    std::string vendor = SmbusVendorWord(c.vendorKind);
    while (!vendor.empty() && vendor.back() == ' ') vendor.pop_back();
    return {{"index", index},     {"vendor", vendor},       {"bus", c.bus},
            {"device", c.device}, {"function", c.function}, {"ioBase", c.ioBase}};
}

Json SmbusJson(const SmbusTool& tool) {
    const int current = tool.currentIndex();
    Json document = {{"report", "smbus"}};
    Json controller = SmbusControllerJson(tool.controllers()[static_cast<size_t>(current)],
                                          static_cast<size_t>(current));
    controller["caption"] =
        SmbusControllerCaption(tool.controllers()[static_cast<size_t>(current)], current);
    document["controller"] = std::move(controller);
    if (std::optional<uint8_t> slave = tool.selectedSlave()) {
        document["slaveAddress"] = *slave;
    } else {
        document["slaveAddress"] = nullptr;
        document["reason"] = "no slave device is selected";
    }
    const SmbusTool::RangeRead& range = tool.lastRange();
    Json bytes = Json::array();
    for (const SmbusTool::Row& row : tool.rows()) {
        for (uint32_t col = 0; col < 16; ++col) {
            const uint32_t offset = row.offset + col;
            Json b = {{"offset", offset}};
            const bool failed =
                range.failedAt && offset >= *range.failedAt && offset < range.start + range.length;
            PutValue(b, row.values[col],
                     failed ? range.failure.c_str() : "outside the range that was read");
            bytes.push_back(std::move(b));
        }
    }
    document["bytes"] = std::move(bytes);
    return document;
}

}  // namespace kvt::cli
