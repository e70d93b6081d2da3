#include "tools/pci/pci_tool.h"

#include <cstring>

#include "platform/format.h"
#include "tools/io/hex_input.h"

namespace kvt {

namespace {

constexpr const char* kReportHeading = "%16s%16s\tDescription\n";

uint32_t Dword(const uint8_t* buffer, uint32_t offset) {
    uint32_t value;
    std::memcpy(&value, buffer + offset, 4);
    return value;
}

}  // namespace

PciTool::PciTool(DriverClient& client, UserMessages& messages, PciDescriptions descriptions,
                 PciToolHost* host)
    : client_(client), messages_(messages), descriptions_(std::move(descriptions)), host_(host) {}

std::vector<std::string> PciTool::BaseChoices() {
    std::vector<std::string> rows;
    for (uint32_t i = 8; i <= 15; ++i) rows.push_back(Format("%X", i << 28));
    return rows;
}

std::string PciTool::Caption(const PciFunctionRecord& record, bool* readError) const {
    std::string vendor = descriptions_.LookupVendorName(record.vendorId, readError);
    if (!vendor.empty()) vendor = Format("(%s)", vendor.c_str());
    std::string ids =
        Format("VendorID=%04X %s, DeviceID=%04X, Bus %X, Device %X, Function %X", record.vendorId,
               vendor.c_str(), record.deviceId, record.bus, record.device, record.function);
    ClassLookup cls = descriptions_.LookupClassDescription(record.classCode, readError);
    if (!cls.found) return ids;
    return cls.description + " (" + ids + ")";
}

void PciTool::ShowReadError(bool readError) {
    if (readError) messages_.ShowMessage(kDescriptionReadErrorMessage);
}

uint32_t PciTool::FillDeviceList() {
    const uint32_t mask = filter == kFilterExpress ? 2u : filter == kFilterPci ? 1u : 3u;
    deviceListLabel_ = mask == 1   ? "PCI Devices"
                       : mask == 2 ? "PCI Express Devices"
                                   : "PCI and PCI Express Devices";
    deviceRows_.clear();
    listMap_.clear();
    bool readError = false;
    for (size_t i = 0; i < table_.size(); ++i) {
        const PciFunctionRecord& record = table_[i];
        if ((record.kind & mask) != record.kind) continue;
        deviceRows_.push_back(Caption(record, &readError));
        listMap_.push_back(i);
    }
    deviceRows_.push_back(kNotApplicableRow);
    selectedRow_ = 0;
    if (!listMap_.empty()) SetSelectors(table_[listMap_[0]]);
    ShowReadError(readError);
    return static_cast<uint32_t>(listMap_.size());
}

void PciTool::SetSelectors(const PciFunctionRecord& record) {
    bus = static_cast<int>(record.bus);
    device = static_cast<int>(record.device);
    function = static_cast<int>(record.function);
}

void PciTool::ClearEditFields() {
    registerLine_.clear();
    valueText.clear();
}

void PciTool::Scan() {
    EnumeratePciFunctions(client_, table_, progress_);
    listLimitNote_ = PciListLimitNote(client_);
    if (FillDeviceList() == 0) {
        messages_.ShowMessage(kPciNoDeviceMessage);
        return;
    }
    ShowRecord(table_[listMap_[0]]);
    enumerated_ = true;
}

void PciTool::FilterChanged() {
    if (enumerated_) Scan();
}

void PciTool::ShowRecord(const PciFunctionRecord& record, bool quietBase, const uint8_t* config) {
    PciRegisterRead read = ReadFunctionRegisters(client_, record, baseText, buffer_, config);
    shownFunction_ = record.address();
    shownBars_.reset();
    registerRows_.clear();
    shownStatus_ = read.status;
    if (read.status == PciRegisterRead::Status::BaseRejected) {
        // Nothing was read: no address to show, and Write has no target.
        length_ = 0;
        hasTarget_ = false;
        shownAddress_.reset();
        ClearEditFields();
        if (!quietBase) {
            messages_.ShowMessage(kPciBaseErrorMessage);
            messages_.SetFocus(kFieldBase);
        }
        return;
    }
    shownAddress_ = read.startAddress;
    std::string name = descriptions_.LookupDeviceName(record.vendorId, record.deviceId);
    registerListLabel_ = name.empty() ? "Register List" : "Register List (" + name + ")";
    const bool configOnly = read.status == PciRegisterRead::Status::ConfigOnly;
    if (read.status != PciRegisterRead::Status::Ok && !configOnly) {
        // A read that did not happen shows no values, and Write keeps no target.
        length_ = 0;
        hasTarget_ = false;
        return;
    }
    length_ = read.length;
    // What was read by configuration requests is written back the same way.
    kind_ = configOnly ? kPciKind : record.kind;
    hasTarget_ = true;
    bool readError = false;
    FillRegisterList(&readError);
    if (configOnly) messages_.ShowMessage(kPciExtendedSpaceMessage);
    ShowReadError(readError);
}

void PciTool::FillRegisterList(bool* readError) {
    registerRows_.clear();
    const RegisterFile file = descriptions_.OpenRegisterFile();
    const uint32_t id00 = Dword(buffer_, 0);
    for (uint32_t offset = 0; offset + 4 <= length_; offset += 4) {
        const uint32_t dword = Dword(buffer_, offset);
        registerRows_.push_back(
            {Format("%03X", offset), Format("%08X", dword),
             file.available() ? file.Lookup(offset, id00, readError) : std::string(), offset,
             dword});
    }
}

void PciTool::SelectDeviceRow(int row) {
    if (row < 0 || row >= static_cast<int>(deviceRows_.size())) return;
    if (row == static_cast<int>(listMap_.size())) {
        // "N/A" stands for the device above it; alone it has nothing to show.
        if (row == 0) {
            selectedRow_ = row;
            return;
        }
        --row;
    }
    selectedRow_ = row;
    const PciFunctionRecord& record = table_[listMap_[static_cast<size_t>(row)]];
    ShowRecord(record);
    SetSelectors(record);
}

int PciTool::RowOf(uint32_t b, uint32_t d, uint32_t f) const {
    for (size_t row = 0; row < listMap_.size(); ++row) {
        const PciFunctionRecord& r = table_[listMap_[row]];
        if (r.bus == b && r.device == d && r.function == f) return static_cast<int>(row);
    }
    return -1;
}

void PciTool::SelectorsChanged() {
    ShowBySelectors(false);
}

void PciTool::ShowBySelectors(bool quietBase) {
    if (bus < 0 || device < 0 || function < 0) return;
    PciFunctionRecord record;
    record.bus = static_cast<uint32_t>(bus);
    record.device = static_cast<uint32_t>(device);
    record.function = static_cast<uint32_t>(function);
    const uint32_t address = record.address().ConfigAddress();
    // The first 256 bytes in one request give the kind, the IDs and, for a PCI function, the
    // registers; where no block request serves, they are read one by one.
    DriverClient::PciBlockRead block;
    if (!client_.ConsumerForm()) block = client_.ReadPciConfigBlock(address, 0, kPciSpaceSize);
    uint32_t id = 0xFFFFFFFFu;
    if (block.served) {
        record.kind = PciDeviceKindOf(block.bytes.data());
        id = Dword(block.bytes.data(), 0);
    } else {
        record.kind = GetPciDeviceKind(client_, address);
        client_.ReadPciConfig(address, id);
    }
    record.deviceId = id >> 16;
    record.vendorId = id & 0xFFFF;
    ShowRecord(record, quietBase, block.served ? block.bytes.data() : nullptr);
    if (deviceRows_.empty()) return;
    int row = RowOf(record.bus, record.device, record.function);
    selectedRow_ = row >= 0 ? row : static_cast<int>(listMap_.size());
}

std::string PciTool::configAddress() const {
    return shownAddress_ ? Format("%llX", static_cast<unsigned long long>(*shownAddress_)) : "";
}

void PciTool::Refresh() {
    SelectorsChanged();
    ClearEditFields();
}

void PciTool::SelectRegister(int row) {
    if (row < 0 || row >= static_cast<int>(registerRows_.size())) return;
    const RegisterRow& r = registerRows_[static_cast<size_t>(row)];
    const uint64_t address =
        r.at + (shownAddress_.value_or(0) & (kind_ == kPciExpressKind ? ~0xFFFull : ~0xFFull));
    shownAddress_ = address;
    registerLine_ = Format("PCI Configuration Space Register:  0x%llX",
                           static_cast<unsigned long long>(address));
    valueText = r.value;
}

void PciTool::OpenBaseAddress(int row) {
    if (row < 0 || row >= static_cast<int>(registerRows_.size())) {
        messages_.ShowMessage(kPciNoSelectionMessage);
        return;
    }
    // The base address registers of the function's header type.
    const uint32_t headerType = buffer_[0x0E] & 0x7F;
    const int lastRow = headerType == 0 ? 9 : headerType == 1 ? 5 : headerType == 2 ? 4 : 3;
    if (row < 4 || row > lastRow) return;
    // Walk the registers from the first, so the upper half of a 64-bit one is known as such.
    int bar = 4;
    while (bar < row) {
        const uint32_t v = Dword(buffer_, static_cast<uint32_t>(bar) * 4);
        bar += ((v & 1) == 0 && (v & 6) == 4) ? 2 : 1;
    }
    if (bar != row) return;  // the upper half of a 64-bit register
    const uint32_t value = Dword(buffer_, static_cast<uint32_t>(row) * 4);
    if (value == 0 || host_ == nullptr) return;
    if (value & 1) {
        host_->OpenGroupIoAt(value & 0xFFFE, 0x100);
        return;
    }
    if ((value & 6) == 4) {
        // 64-bit: only an address below 4 GiB can be dumped; above, the user is told so.
        if (row == lastRow) return;
        if (Dword(buffer_, static_cast<uint32_t>(row + 1) * 4) != 0) {
            messages_.ShowMessage(kPciBarOutOfReachMessage);
            return;
        }
    }
    const uint32_t address = value & ~0xFu;
    if (address != 0) host_->OpenMemoryDumpAt(address, 0x400);
}

void PciTool::ShowFunction(const PciAddress& f) {
    if (f.domain == 0) {
        bus = f.bus;
        device = f.device;
        function = f.function;
        SelectorsChanged();
        return;
    }
    shownFunction_ = f.Function();
    shownBars_.reset();
    registerRows_.clear();
    shownAddress_.reset();
    hasTarget_ = false;
    length_ = 0;
    ClearEditFields();
    // The whole space where the backend reaches it, else the first 256 bytes.
    DriverClient::PciBlockRequest request{f.Function().ConfigAddress(), 0, kPciExpressSpaceSize,
                                          f.domain};
    DriverClient::PciBlockRead block = client_.ReadPciConfigBlocks({&request, 1})[0];
    bool whole = block.served;
    if (!whole) {
        request.length = kPciSpaceSize;
        block = client_.ReadPciConfigBlocks({&request, 1})[0];
    }
    if (!block.served) {
        shownStatus_ = PciRegisterRead::Status::ReadFailed;
        return;
    }
    std::memcpy(buffer_, block.bytes.data(), block.bytes.size());
    const uint32_t kind = PciDeviceKindOf(buffer_);
    shownStatus_ = whole || kind == kPciKind ? PciRegisterRead::Status::Ok
                                             : PciRegisterRead::Status::ConfigOnly;
    length_ = kind == kPciKind ? kPciSpaceSize : static_cast<uint32_t>(block.bytes.size());
    kind_ = kind;
    const uint32_t id = Dword(buffer_, 0);
    std::string name = descriptions_.LookupDeviceName(id & 0xFFFF, id >> 16);
    registerListLabel_ = name.empty() ? "Register List" : "Register List (" + name + ")";
    bool readError = false;
    FillRegisterList(&readError);
    ShowReadError(readError);
}

const std::vector<PciBar>& PciTool::shownBars() const {
    if (!shownBars_) {
        std::optional<PciBarSizeList> sizes;
        if (length_ >= 0x40 && Dword(buffer_, 0) != 0xFFFFFFFFu) {
            Reply<DriverClient::PciBarSizes> reply = client_.TryPciBarSizes(shownFunction_);
            if (reply) sizes = reply.value;
        }
        shownBars_ = DecodePciBars(buffer_, length_, sizes ? &*sizes : nullptr);
    }
    return *shownBars_;
}

void PciTool::OpenBar(uint32_t index) {
    for (const PciBar& bar : shownBars()) {
        if (bar.index != index) continue;
        if (host_ == nullptr || bar.address == 0) return;
        if (bar.io) {
            host_->OpenGroupIoAt(static_cast<uint32_t>(bar.address) & 0xFFFE, 0x100);
        } else if (bar.address > 0x100000000ull - 0x400) {
            messages_.ShowMessage(kPciBarOutOfReachMessage);
        } else {
            host_->OpenMemoryDumpAt(static_cast<uint32_t>(bar.address), 0x400);
        }
        return;
    }
}

void PciTool::Write() {
    if (!IsHexString(valueText)) {
        messages_.ShowMessage(kPciDataErrorMessage);
        messages_.SetFocus(kFieldValue);
        return;
    }
    const uint32_t value = ParseHex32(valueText);
    if (!hasTarget_ || !shownAddress_) return;  // nothing read: no target
    WriteFunctionRegister(client_, kind_, *shownAddress_, value);
    SelectorsChanged();
    ClearEditFields();
}

void PciTool::FindNext() {
    if (!IsHexString(idText)) {
        messages_.ShowMessage(kPciIdErrorMessage);
        messages_.SetFocus(kFieldId);
        return;
    }
    const uint32_t v = ParseHex32(idText);
    const uint32_t low = v & 0xFFFF, high = v >> 16;
    // The upper half is an ID of its own only when the entry reaches into it.
    const bool useHigh = idText.size() > 4;
    if (!enumerated_) Scan();
    const int end = static_cast<int>(listMap_.size());
    if (findPosition_ + 1 > end) findPosition_ = -1;
    for (int row = findPosition_ + 1; row < end; ++row) {
        const PciFunctionRecord& r = table_[listMap_[static_cast<size_t>(row)]];
        if (low == r.deviceId || low == r.vendorId ||
            (useHigh && (high == r.deviceId || high == r.vendorId))) {
            findPosition_ = row;
            ShowRecord(r);
            selectedRow_ = row;
            SetSelectors(r);
            return;
        }
    }
    findPosition_ = end;
    messages_.ShowMessage(kPciNoMatchMessage);
}

void PciTool::WriteReport(ReportStream& out, const std::function<int()>& chooseReport) {
    if (!enumerated_) {
        messages_.ShowMessage(kPciNoInformationMessage);
        return;
    }
    const int choice = chooseReport();
    if (choice == kSaveDialogFailed) {
        messages_.ShowMessage(kPciSaveDialogMessage);
        return;
    }
    if (choice == kSaveAll) {
        WriteAllDevicesReport(out);
    } else {
        WriteCurrentDeviceReport(out);
    }
}

void PciTool::WriteAllDevicesReport(ReportStream& out) {
    WriteAllDevicesReport(out, CollectAllDevices());
}

namespace {

// The decoded capabilities below a function's registers in the reports.
void WriteCapabilities(ReportStream& out, const PciCapabilityList& list) {
    out.Write("\n  Capabilities\n\n");
    if (list.capabilities.empty() && list.notes.empty()) out.Write("    none\n");
    out.Write(PciCapabilitiesText(list, "    "));
}

// The BARs after the capabilities, with the sizes when they were asked for.
void WriteBars(ReportStream& out, const std::vector<PciBar>& bars) {
    out.Write("\n  Base address registers\n\n");
    if (bars.empty()) out.Write("    none\n");
    out.Write(PciBarsText(bars, "    "));
}

void WriteBars(ReportStream& out, const PciTool::DeviceDump& dump) {
    std::vector<uint8_t> bytes(dump.dwords.size() * 4);
    if (!bytes.empty()) std::memcpy(bytes.data(), dump.dwords.data(), bytes.size());
    WriteBars(out, DecodePciBars(bytes.data(), static_cast<uint32_t>(bytes.size()),
                                 dump.barSizes ? &*dump.barSizes : nullptr));
}

}  // namespace

void PciTool::AddBarSizes(std::vector<DeviceDump>& devices) {
    std::vector<PciAddress> functions;
    for (const DeviceDump& dump : devices) functions.push_back(dump.record.address());
    std::vector<Reply<DriverClient::PciBarSizes>> sizes = client_.PciBarSizesBatch(functions);
    for (size_t i = 0; i < devices.size(); ++i)
        if (sizes[i]) devices[i].barSizes = sizes[i].value;
}

void PciTool::WriteAllDevicesReport(ReportStream& out, const std::vector<DeviceDump>& devices,
                                    bool decode) {
    out.Write(
        "========================= All PCI Devices "
        "Information==========================\n\n");
    for (const DeviceDump& dump : devices) {
        out.Printf("  %s\n\n", dump.caption.c_str());
        out.Printf(kReportHeading, "Offset (Hex)", "Value (Hex)");
        // "%16s%16s" of "%03X" and "%08X", built by hand with the stream's line ends: a
        // report of many PCI Express functions has a million rows.
        static constexpr char kDigits[] = "0123456789ABCDEF";
        const char* lineEnd = out.textMode() ? "\r\n" : "\n";
        std::string rows;
        rows.reserve(dump.dwords.size() * 80);
        for (size_t i = 0; i < dump.dwords.size(); ++i) {
            const size_t offset = 4 * i;
            if (offset > 0xFFF) {
                rows += Format("%16s", Format("%03zX", offset).c_str());
            } else {
                rows.append(13, ' ');
                for (int shift = 8; shift >= 0; shift -= 4) rows += kDigits[(offset >> shift) & 15];
            }
            rows.append(8, ' ');
            for (int shift = 28; shift >= 0; shift -= 4)
                rows += kDigits[(dump.dwords[i] >> shift) & 15];
            if (i < dump.descriptions.size()) {
                rows += '\t';
                rows += dump.descriptions[i];
            }
            rows += lineEnd;
        }
        out.WriteBytes(rows.data(), rows.size());
        if (decode && !dump.dwords.empty()) {
            WriteCapabilities(out, DecodePciCapabilities(dump.dwords));
            WriteBars(out, dump);
        }
        out.Write("\n\n");
    }
}

std::vector<PciTool::DeviceDump> PciTool::CollectAllDevices() {
    // The base entry is checked once for the whole report, and only when a PCI Express
    // function is read through it.
    bool isAuto = false, anyExpress = false;
    uint64_t base = 0;
    for (const PciFunctionRecord& record : table_) anyExpress |= record.kind == kPciExpressKind;
    const bool baseOk = !anyExpress || ParseMmConfigBase(baseText, &isAuto, &base);
    if (!baseOk) {
        messages_.ShowMessage(kPciBaseErrorMessage);
        messages_.SetFocus(kFieldBase);
    }
    const RegisterFile file = descriptions_.OpenRegisterFile();
    const bool described = file.available();
    bool readError = false;
    std::vector<DeviceDump> devices;
    devices.reserve(table_.size());
    // The functions are read in groups whose requests travel together, progress told per group.
    constexpr size_t kGroup = 32;
    std::vector<PciRegisterRead> reads;
    std::vector<std::vector<uint8_t>> buffers;
    for (size_t i = 0; i < table_.size(); ++i) {
        const size_t slot = i % kGroup;
        if (slot == 0) {
            if (progress_)
                progress_(static_cast<uint32_t>(i), static_cast<uint32_t>(table_.size()));
            std::vector<PciFunctionRecord> group;
            for (size_t k = i; k < table_.size() && k < i + kGroup; ++k) {
                // A PCI Express function is not read through a rejected base.
                if (baseOk || table_[k].kind != kPciExpressKind) group.push_back(table_[k]);
            }
            reads = ReadFunctionRegistersBatch(client_, group, baseText, buffers);
            reads.resize(kGroup);
            buffers.resize(kGroup);
        }
        DeviceDump dump;
        dump.record = table_[i];
        uint32_t length = 0;
        const uint8_t* buffer = nullptr;
        if (baseOk || dump.record.kind != kPciExpressKind) {
            // The group's reads skip the rejected functions: count the ones before this one.
            size_t at = 0;
            for (size_t k = i - slot; k < i; ++k)
                at += baseOk || table_[k].kind != kPciExpressKind ? 1 : 0;
            const PciRegisterRead& read = reads[at];
            buffer = buffers[at].data();
            dump.status = read.status;
            if (read.status == PciRegisterRead::Status::Ok ||
                read.status == PciRegisterRead::Status::ConfigOnly) {
                length = read.length;
            }
        } else {
            dump.status = PciRegisterRead::Status::BaseRejected;
        }
        dump.caption = Caption(dump.record, &readError);
        const uint32_t id00 = length >= 4 ? Dword(buffer, 0) : 0;
        dump.dwords.reserve(length / 4);
        if (described) {
            dump.descriptions.reserve(length / 4);
            dump.source = file;
        }
        for (uint32_t offset = 0; offset + 4 <= length; offset += 4) {
            dump.dwords.push_back(Dword(buffer, offset));
            if (described) {
                dump.descriptions.push_back(file.Lookup(offset, id00, &readError));
            }
        }
        devices.push_back(std::move(dump));
    }
    if (progress_)
        progress_(static_cast<uint32_t>(table_.size()), static_cast<uint32_t>(table_.size()));
    ShowReadError(readError);
    // Show the chosen device again, as before the report.
    if (selectedRow_ >= 0 && selectedRow_ < static_cast<int>(listMap_.size())) {
        ShowRecord(table_[listMap_[static_cast<size_t>(selectedRow_)]], !baseOk);
    } else {
        ShowBySelectors(!baseOk);
    }
    return devices;
}

void PciTool::WriteCurrentDeviceReport(ReportStream& out, bool decode) const {
    out.Write(
        "========================= Current PCI Device "
        "Information==========================\n\n");
    if (selectedRow_ >= 0 && selectedRow_ < static_cast<int>(deviceRows_.size())) {
        out.Write(deviceRows_[static_cast<size_t>(selectedRow_)]);
    }
    out.Write("\n\n");
    out.Printf(kReportHeading, "Offset (Hex)", "Value (Hex)");
    for (const RegisterRow& row : registerRows_) {
        out.Printf("%16s%16s\t%s\n", row.offset.c_str(), row.value.c_str(),
                   row.description.c_str());
    }
    if (decode && length_ != 0) {
        WriteCapabilities(out, shownCapabilities());
        WriteBars(out, shownBars());
    }
}

}  // namespace kvt
