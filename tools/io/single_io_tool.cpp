#include "tools/io/single_io_tool.h"

#include "platform/format.h"

namespace kvt {

namespace {

std::string FormatRead(uint32_t value, uint32_t width, bool lowerCaseDWord) {
    switch (width) {
        case kWidthByte:
            return Format("%02X", value & 0xFFu);
        case kWidthWord:
            return Format("%04X", value & 0xFFFFu);
        default:
            return lowerCaseDWord ? Format("%08x", value) : Format("%08X", value);
    }
}

}  // namespace

SingleIoTool::SingleIoTool(DriverClient& client, UserMessages& messages, TimerControl* timer)
    : client_(client), messages_(messages), timer_(timer) {}

// The tools read an entry as at most 31 characters.
std::string SingleIoTool::Entry(const std::string& text) const {
    return text.substr(0, kIoEntryMaxChars);
}

// Checks a port field. With showMessage the field's message is shown and the focus moved;
// otherwise *code receives the input error code for the caller to show.
bool SingleIoTool::CheckPortField(const std::string& text, const char* field, bool showMessage,
                                  int* code, uint16_t& value) {
    FieldCheck check = CheckHexField(text, kPortLength);
    if (check != FieldCheck::Ok) {
        if (showMessage) {
            messages_.ShowMessage(kPortAddressMessages.For(check));
        } else if (code != nullptr) {
            *code = PortErrorCode(check);
        }
        messages_.SetFocus(field);
        return false;
    }
    value = ParseHex16(text);
    return true;
}

int SingleIoTool::DirectRead() {
    const uint32_t width = directWidth;
    const std::string portText = Entry(port);
    int code = kIoOk;
    uint16_t portValue = 0;
    if (!CheckPortField(portText, kFieldPort, false, &code, portValue)) return code;
    direct_.insert(direct_.begin(), DirectRow{portText, "", "", ""});

    Reply<uint32_t> read = client_.TryReadPort(portValue, width);
    DirectRow& row = direct_.front();
    row.rw = "R";
    row.width = WidthName(width);
    if (read) {
        row.data = FormatRead(read.value, width, true);
        portData = row.data;
    } else {
        row.data = kFailedMarker;
        row.failure = read.failure;
    }
    return kIoOk;
}

int SingleIoTool::IndexRead() {
    const uint32_t width = indexWidth;
    int code = kIoOk;
    uint16_t indexValue = 0, dataValue = 0;
    const std::string indexText = Entry(indexPort);
    if (!CheckPortField(indexText, kFieldIndexPort, false, &code, indexValue)) return code;
    index_.insert(index_.begin(), IndexRow{indexText, "", "", "", "", ""});

    const std::string dataText = Entry(dataPort);
    if (!CheckPortField(dataText, kFieldDataPort, false, &code, dataValue)) return code;
    index_.front().dataPort = dataText;

    const std::string offsetText = Entry(offset);
    FieldCheck check = CheckHexField(offsetText, kSingleOffsetLength);
    if (check != FieldCheck::Ok) {
        messages_.SetFocus(kFieldOffset);
        return OffsetErrorCode(check);
    }
    const uint32_t offsetValue = ParseHex32(offsetText);
    index_.front().offset = offsetText;

    RequestStatus selected = client_.TryWritePort(indexValue, offsetValue, width);
    Reply<uint32_t> read =
        selected ? client_.TryReadPort(dataValue, width) : Reply<uint32_t>{selected, 0};
    IndexRow& row = index_.front();
    row.rw = "R";
    row.width = WidthName(width);
    if (read) {
        row.data = FormatRead(read.value, width, false);
        indexData = row.data;
    } else {
        row.data = kFailedMarker;
        row.failure = read.failure;
    }
    return kIoOk;
}

void SingleIoTool::DirectWrite() {
    const uint32_t width = directWidth;
    const std::string portText = Entry(port);
    FieldCheck check = CheckHexField(portText, kPortLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kPortAddressMessages.For(check));
        return;
    }
    const uint16_t portValue = ParseHex16(portText);

    // The data may have as many digits as the width allows (2, 4, 8).
    const std::string dataText = Entry(portData);
    check = CheckHexField(dataText, MaxDigitsForWidth(width));
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kPortDataMessages.For(check));
        return;
    }
    const uint32_t data = ParseHex32(dataText);
    RequestStatus written = client_.TryWritePort(portValue, data, width);
    direct_.insert(direct_.begin(), DirectRow{portText, "W", written ? dataText : kFailedMarker,
                                              WidthName(width), written.failure});
}

void SingleIoTool::IndexWrite() {
    const uint32_t width = indexWidth;
    const std::string indexText = Entry(indexPort);
    FieldCheck check = CheckHexField(indexText, kPortLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kPortAddressMessages.For(check));
        messages_.SetFocus(kFieldIndexPort);
        return;
    }
    const uint16_t indexValue = ParseHex16(indexText);
    index_.insert(index_.begin(), IndexRow{indexText, "", "", "", "", ""});

    const std::string dataPortText = Entry(dataPort);
    check = CheckHexField(dataPortText, kPortLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kPortAddressMessages.For(check));
        messages_.SetFocus(kFieldDataPort);
        return;
    }
    const uint16_t dataPortValue = ParseHex16(dataPortText);
    index_.front().dataPort = dataPortText;

    const std::string offsetText = Entry(offset);
    check = CheckHexField(offsetText, kSingleOffsetLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kSingleOffsetMessages.For(check));
        messages_.SetFocus(kFieldOffset);
        return;
    }
    const uint32_t offsetValue = ParseHex32(offsetText);
    index_.front().offset = offsetText;

    const std::string dataText = Entry(indexData);
    check = CheckHexField(dataText, kDataLength);
    if (check != FieldCheck::Ok) {
        messages_.ShowMessage(kIndexDataMessages.For(check));
        messages_.SetFocus(kFieldIndexData);
        return;
    }
    const uint32_t data = ParseHex32(dataText);
    if (!DataFitsWidth(dataText, width)) {
        messages_.ShowMessage(kWidthMismatchMessage);
        return;
    }

    RequestStatus written = client_.TryWritePort(indexValue, offsetValue, width);
    if (written) written = client_.TryWritePort(dataPortValue, data, width);
    IndexRow& row = index_.front();
    row.rw = "W";
    row.data = written ? dataText : kFailedMarker;
    row.width = WidthName(width);
    row.failure = written.failure;
}

void SingleIoTool::DirectReadClicked() {
    int code = DirectRead();
    if (code != kIoOk) ShowIoInputError(messages_, code);
}

void SingleIoTool::IndexReadClicked() {
    int code = IndexRead();
    if (code != kIoOk) ShowIoInputError(messages_, code);
}

void SingleIoTool::ToggleTimer() {
    if (timerRunning_) {
        StopTimer();
        return;
    }
    timerRunning_ = true;
    if (timer_ != nullptr) timer_->StartTimer(kTimerIntervalMs);
}

void SingleIoTool::StopTimer() {
    if (!timerRunning_) return;
    timerRunning_ = false;
    if (timer_ != nullptr) timer_->StopTimer();
}

void SingleIoTool::TimerTick() {
    int code = timerSource == TimerSource::DirectRead ? DirectRead() : IndexRead();
    if (code != kIoOk) {
        StopTimer();
        ShowIoInputError(messages_, code);
    }
}

void SingleIoTool::WriteReport(ReportStream& out) const {
    out.Write("========================= Single I/O Dump ==========================\n\n");
    out.Write("Direct I/O:\n");
    out.Printf("%16s%16s%16s%16s\n", "Port (Hex)", "Read/Write", "Data (Hex)", "Width");
    for (const DirectRow& row : direct_) {
        out.Printf("%16s%16s%16s%16s\n", row.port.c_str(), row.rw.c_str(), row.data.c_str(),
                   row.width.c_str());
    }
    out.Write("\n");
    out.Write("Index I/O:\n");
    out.Printf("%16s%16s%16s%16s%16s%16s\n", "Index Port", "Data Port", "Offset", "Read/Write",
               "Data (Hex)", "Width");
    for (const IndexRow& row : index_) {
        out.Printf("%16s%16s%16s%16s%16s%16s\n", row.indexPort.c_str(), row.dataPort.c_str(),
                   row.offset.c_str(), row.rw.c_str(), row.data.c_str(), row.width.c_str());
    }
}

}  // namespace kvt
