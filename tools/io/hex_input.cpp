#include "tools/io/hex_input.h"

#include "platform/hex.h"

namespace kvt {

bool IsHexString(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (HexDigitValue(c) < 0) return false;
    }
    return true;
}

const char* WidthName(uint32_t width) {
    switch (width) {
        case kWidthByte:
            return "Byte";
        case kWidthWord:
            return "Word";
        default:
            return "DWord";
    }
}

FieldCheck CheckHexField(std::string_view text, size_t acceptedLength) {
    if (text.empty()) return FieldCheck::Empty;
    if (!IsHexString(text)) return FieldCheck::Invalid;
    if (text.size() > acceptedLength) return FieldCheck::TooLong;
    return FieldCheck::Ok;
}

const char* FieldMessages::For(FieldCheck check) const {
    switch (check) {
        case FieldCheck::Empty:
            return empty;
        case FieldCheck::Invalid:
            return invalid;
        case FieldCheck::TooLong:
            return tooLong;
        case FieldCheck::Ok:
            break;
    }
    return "";
}

const FieldMessages kPortAddressMessages = {"Error! Please provide port address!",
                                            "Error! Port address is invalid!",
                                            "Error! Port address is too long!"};
const FieldMessages kSingleOffsetMessages = {
    "Error! Please provide Offset!", "Error! Offset is invalid!", "Error! Offset is too long!"};
const FieldMessages kGroupOffsetMessages = {
    "Error! Please provide offset!", "Error! offset is invalid!", "Error! Offset is too long!"};
const FieldMessages kPortDataMessages = {
    "Error! Please provide port data!", "Error! Data is invalid!", "Error! Port data is too long!"};
const FieldMessages kIndexDataMessages = {"Error! Please provide Data!", "Error! Data is invalid!",
                                          "Error! Data is too long!"};

int PortErrorCode(FieldCheck check) {
    switch (check) {
        case FieldCheck::Empty:
            return kIoPortEmpty;
        case FieldCheck::Invalid:
            return kIoPortInvalid;
        case FieldCheck::TooLong:
            return kIoPortTooLong;
        case FieldCheck::Ok:
            break;
    }
    return kIoOk;
}

int OffsetErrorCode(FieldCheck check) {
    switch (check) {
        case FieldCheck::Empty:
            return kIoOffsetEmpty;
        case FieldCheck::Invalid:
            return kIoOffsetInvalid;
        case FieldCheck::TooLong:
            return kIoOffsetTooLong;
        case FieldCheck::Ok:
            break;
    }
    return kIoOk;
}

const char* IoInputErrorText(int code) {
    switch (code) {
        case kIoPortTooLong:
            return kPortAddressMessages.tooLong;
        case kIoPortEmpty:
            return kPortAddressMessages.empty;
        case kIoPortInvalid:
            return kPortAddressMessages.invalid;
        case kIoOffsetInvalid:
            return kSingleOffsetMessages.invalid;
        case kIoOffsetEmpty:
            return kSingleOffsetMessages.empty;
        case kIoOffsetTooLong:
            return kSingleOffsetMessages.tooLong;
        default:
            return "Unknown Error!";
    }
}

void ShowIoInputError(UserMessages& messages, int code) {
    messages.ShowMessage(IoInputErrorText(code));
}

uint16_t ParseHex16(std::string_view text) {
    return static_cast<uint16_t>(ParseHex32(text));
}

uint32_t ParseHex32(std::string_view text) {
    return static_cast<uint32_t>(LeadingHexValue(text));
}

}  // namespace kvt
