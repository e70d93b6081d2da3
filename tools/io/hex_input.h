// Hexadecimal entry fields shared by every tool: the character check, the per-field check
// order (empty, not hexadecimal, too long), the message texts of the I/O port tools, the
// input error codes of the read operations and the conversions "%hx" and "%x".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/user_messages.h"

namespace kvt {

// True when the text is non-empty and holds only 0-9, A-F, a-f.
bool IsHexString(std::string_view text);

// The I/O tools read at most this many characters of an entry.
inline constexpr size_t kIoEntryMaxChars = 31;

// Access widths and their names in lists and reports.
inline constexpr uint32_t kWidthByte = 1;
inline constexpr uint32_t kWidthWord = 2;
inline constexpr uint32_t kWidthDWord = 4;
const char* WidthName(uint32_t width);  // "Byte", "Word", "DWord"
// Most hexadecimal digits a value of the width may have: 2, 4, 8.
inline constexpr size_t MaxDigitsForWidth(uint32_t width) {
    return width * 2;
}
// The width rule for data to be written: at most twice the width in digits.
inline bool DataFitsWidth(std::string_view text, uint32_t width) {
    return text.size() <= MaxDigitsForWidth(width);
}

// Result of checking one field, in the order the checks run.
enum class FieldCheck { Ok, Empty, Invalid, TooLong };
FieldCheck CheckHexField(std::string_view text, size_t acceptedLength);

// The three messages of one kind of field.
struct FieldMessages {
    const char* empty;
    const char* invalid;
    const char* tooLong;
    const char* For(FieldCheck check) const;
};
extern const FieldMessages kPortAddressMessages;   // any port field of the I/O tools
extern const FieldMessages kSingleOffsetMessages;  // offset, single index access
extern const FieldMessages kGroupOffsetMessages;   // offset, group index access
extern const FieldMessages kPortDataMessages;      // port data, single direct write
extern const FieldMessages kIndexDataMessages;     // data, single index write
inline constexpr const char* kWidthMismatchMessage =
    "Error! Input data length does not match selected access width!";

// Accepted lengths of the I/O tool fields.
inline constexpr size_t kPortLength = 4;          // every port field
inline constexpr size_t kSingleOffsetLength = 8;  // single index offset (typing limit 4)
inline constexpr size_t kGroupOffsetLength = 2;   // group start and end offset
inline constexpr size_t kDataLength = 8;          // 32-bit data

// Input error codes of the read operations, shown with ShowIoInputError.
enum IoInputError : int {
    kIoOk = 0,
    kIoPortTooLong = 1,
    kIoPortEmpty = 2,
    kIoPortInvalid = 3,
    kIoOffsetInvalid = 4,
    kIoOffsetEmpty = 5,
    kIoOffsetTooLong = 6,
};
int PortErrorCode(FieldCheck check);    // 0, 1, 2 or 3
int OffsetErrorCode(FieldCheck check);  // 0, 4, 5 or 6
// The message of an input error code; "Unknown Error!" for any other code.
const char* IoInputErrorText(int code);
void ShowIoInputError(UserMessages& messages, int code);

// Conversions of entries that passed their checks, as "%hx" (16 bits) and "%x" (32 bits)
// would convert them: the digits are taken modulo the target size.
uint16_t ParseHex16(std::string_view text);
uint32_t ParseHex32(std::string_view text);

}  // namespace kvt
