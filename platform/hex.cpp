#include "platform/hex.h"

#include "platform/format.h"

namespace kvt {

bool ParseHexBytes(std::string_view text, std::vector<uint8_t>& out, std::string& problem) {
    out.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (high >= 0) {
                problem = "hexadecimal bytes must be pairs of digits";
                return false;
            }
            continue;
        }
        const int d = HexDigitValue(c);
        if (d < 0) {
            problem = Format("'%c' is not a hexadecimal digit", c);
            return false;
        }
        if (high < 0) {
            high = d;
        } else {
            out.push_back(uint8_t(high << 4 | d));
            high = -1;
        }
    }
    if (high >= 0) {
        problem = "hexadecimal bytes must be pairs of digits";
        return false;
    }
    return true;
}

}  // namespace kvt
