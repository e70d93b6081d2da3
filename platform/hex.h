// Hexadecimal numbers and bytes in text: one parser family for the command line, the tool
// models, the board files, the policy file and the daemon.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvt {

// The value of one hexadecimal digit (either case), or -1.
constexpr int HexDigitValue(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

enum class HexPrefix { Refused, Allowed };

// The whole text as one hexadecimal number of at most max: one or more digits, after "0x" or
// "0X" when the prefix is allowed. No sign, no spaces; leading zeros are fine. False (value
// untouched) for anything else.
constexpr bool ParseHex(std::string_view text, uint64_t max, uint64_t& value,
                        HexPrefix prefix = HexPrefix::Allowed) {
    if (prefix == HexPrefix::Allowed && text.size() > 2 && text[0] == '0' &&
        (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        const int d = HexDigitValue(c);
        // v × 16 + d must stay at most max.
        if (d < 0 || uint64_t(d) > max || v > (max - uint64_t(d)) >> 4) return false;
        v = v << 4 | uint64_t(d);
    }
    value = v;
    return true;
}

// The value of the hexadecimal digits text starts with, up to the first other character, in
// the low 64 bits: how an entry field that was already checked digit by digit is read.
constexpr uint64_t LeadingHexValue(std::string_view text) {
    uint64_t v = 0;
    for (char c : text) {
        const int d = HexDigitValue(c);
        if (d < 0) break;
        v = v << 4 | uint64_t(d);
    }
    return v;
}

// Bytes written as pairs of hexadecimal digits ("0a1B"), with blanks, tabs and line ends
// allowed between pairs. False with *problem for a lone digit or another character.
bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& out, std::string& problem);

}  // namespace kvt
