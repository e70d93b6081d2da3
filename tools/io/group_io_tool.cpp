#include "tools/io/group_io_tool.h"

#include <algorithm>

#include "platform/format.h"

namespace kvt {

namespace {

uint32_t WidthMask(uint32_t width) {
    return width == kWidthByte ? 0xFFu : width == kWidthWord ? 0xFFFFu : 0xFFFFFFFFu;
}

std::string FormatValue(uint32_t value, uint32_t width) {
    switch (width) {
        case kWidthByte:
            return Format("%02X", value & 0xFFu);
        case kWidthWord:
            return Format("%04X", value & 0xFFFFu);
        default:
            return Format("%08X", value);
    }
}

std::string Entry(const std::string& text) {
    return text.substr(0, kIoEntryMaxChars);
}

}  // namespace

const char* GroupIoColumn(GroupIoTool::Mode mode, int column) {
    if (mode == GroupIoTool::Mode::Direct) {
        return column == 0 ? "Port Address (Hex)" : "Port Data (Hex)";
    }
    return column == 0 ? "Offset (Hex)" : "Data (Hex)";
}

GroupIoTool::GroupIoTool(DriverClient& client, UserMessages& messages)
    : client_(client), messages_(messages) {}

void GroupIoTool::ClearRows() {
    rows_.clear();
    failed_ = 0;
    stopped_ = false;
    dumpedPorts_.reset();
    dumpedPortValues_.reset();
    dumpedWidth_ = width;
}

void GroupIoTool::SelectMode(Mode mode) {
    if (mode == mode_) return;
    mode_ = mode;
    ClearRows();
}

bool GroupIoTool::CheckPort(const std::string& text, const char* field, uint16_t& value) {
    FieldCheck check = CheckHexField(text, kPortLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kPortAddressMessages.For(check));
        messages_.SetFocus(field);
        return false;
    }
    value = ParseHex16(text);
    return true;
}

bool GroupIoTool::CheckOffset(const std::string& text, const char* field, uint16_t& value) {
    FieldCheck check = CheckHexField(text, kGroupOffsetLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kGroupOffsetMessages.For(check));
        messages_.SetFocus(field);
        return false;
    }
    value = ParseHex16(text);
    return true;
}

void GroupIoTool::Read() {
    if (mode_ == Mode::Direct) {
        DirectDump();
    } else {
        IndexDump();
    }
}

void GroupIoTool::DirectDump() {
    ClearRows();
    const uint32_t w = width;
    uint16_t first = 0, last = 0;
    if (!CheckPort(Entry(start), kFieldStart, first)) return;
    if (!CheckPort(Entry(end), kFieldEnd, last)) return;
    if (first > last) {
        messages_.ShowMessage(kStartAboveEnd);
        messages_.SetFocus(kFieldStart);
        return;
    }
    // Counted in 32 bits, so a range ending at FFFFh ends there. The reads do not depend on
    // one another: they go to the driver in batches, in increasing order.
    const size_t total = (static_cast<uint32_t>(last) - first) / w + 1;
    rows_.reserve(total);
    std::vector<DriverClient::PortRead> batch;
    batch.reserve(std::min(total, kBatchPorts));
    uint32_t port = first;
    while (rows_.size() < total) {
        if (progress && !progress(rows_.size(), total)) {
            stopped_ = true;
            return;
        }
        batch.clear();
        for (; batch.size() < kBatchPorts && port <= last; port += w) {
            batch.push_back({static_cast<uint16_t>(port), w, 0, false, TransportFailure::None});
        }
        if (batch.empty()) break;
        client_.ReadPortBatch(batch);
        for (const DriverClient::PortRead& read : batch) {
            Row row{Format("%04X", read.port), {}, read.port, std::nullopt, read.failure};
            if (read.served) {
                row.data = FormatValue(read.value, w);
                row.value = read.value & WidthMask(w);
            } else {
                row.data = kFailedMarker;
                ++failed_;
            }
            rows_.push_back(std::move(row));
        }
    }
    if (progress) progress(rows_.size(), total);
}

void GroupIoTool::IndexDump() {
    ClearRows();
    const uint32_t w = width;
    const std::string indexText = Entry(indexPort), dataText = Entry(dataPort);
    uint16_t indexValue = 0, dataValue = 0, first = 0, last = 0;
    if (!CheckPort(indexText, kFieldIndexPort, indexValue)) return;
    if (!CheckPort(dataText, kFieldDataPort, dataValue)) return;
    if (!CheckOffset(Entry(startOffset), kFieldStartOffset, first)) return;
    if (!CheckOffset(Entry(endOffset), kFieldEndOffset, last)) return;
    if (first > last) {
        messages_.ShowMessage(kStartOffsetAboveEnd);
        messages_.SetFocus(kFieldStartOffset);
        return;
    }
    const std::string valueFormat = Format("%%0%dX", static_cast<int>(2 * w));
    const uint32_t mask = WidthMask(w);
    dumpedPorts_.emplace(indexText, dataText);
    dumpedPortValues_.emplace(indexValue, dataValue);
    // Pair after pair: each read depends on the index written just before it.
    const size_t total = (static_cast<uint32_t>(last) - first) / w + 1;
    for (uint32_t offset = first; offset <= last; offset += w) {
        if (progress && rows_.size() % 16 == 0 && !progress(rows_.size(), total)) {
            stopped_ = true;
            return;
        }
        Row row{Format("%02X", offset), {}, offset, std::nullopt, TransportFailure::None};
        // The index port is written one byte wide, whatever the width of the data.
        RequestStatus selected = client_.TryWritePort(indexValue, offset, kWidthByte);
        Reply<uint32_t> read =
            selected ? client_.TryReadPort(dataValue, w) : Reply<uint32_t>{selected, 0};
        if (read) {
            row.data = Format(valueFormat.c_str(), read.value & mask);
            row.value = read.value & mask;
        } else {
            row.data = kFailedMarker;
            row.failure = read.failure;
            ++failed_;
        }
        rows_.push_back(std::move(row));
    }
    if (progress) progress(rows_.size(), total);
}

void GroupIoTool::Preset(uint32_t first, uint32_t count) {
    // The last port of the range, never past FFFFh; an empty range reads its first port.
    if (count == 0) count = 1;
    const uint64_t lastPort = std::min<uint64_t>(uint64_t{first} + count - 1, 0xFFFF);
    SelectMode(Mode::Direct);
    start = Format("%04X", first & 0xFFFFu);
    end = Format("%04X", static_cast<uint32_t>(lastPort));
    Read();
}

void GroupIoTool::WriteReport(ReportStream& out) const {
    out.Write("========================= Group I/O Dump ==========================\n\n");
    if (mode_ == Mode::Direct) {
        out.Write("Group Direct I/O:\n");
        out.Printf("%24s%16s\n", "Port Address (Hex)", "Data (Hex)");
    } else {
        const std::string& index = dumpedPorts_ ? dumpedPorts_->first : indexPort;
        const std::string& data = dumpedPorts_ ? dumpedPorts_->second : dataPort;
        out.Write("Group Index I/O:\n");
        out.Printf("\tIndex Port Address = %sh\n", index.c_str());
        out.Printf("\t Data Port Address = %sh\n", data.c_str());
        out.Write("\n");
        out.Printf("%24s%16s\n", "Offset (Hex)", "Data (Hex)");
    }
    for (const Row& row : rows_) out.Printf("%24s%16s\n", row.address.c_str(), row.data.c_str());
}

}  // namespace kvt
