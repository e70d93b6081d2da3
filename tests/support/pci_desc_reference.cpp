#include "support/pci_desc_reference.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kvt::test {

namespace {

// The next complete line (a CR LF line end counts as one): the text before a NUL, at most 254
// characters of it. False at the end of the file, and for a last line without a line end.
bool NextLine(std::FILE* file, std::string& line) {
    std::string raw;
    int c;
    while ((c = std::fgetc(file)) != EOF && c != '\n') raw.push_back(static_cast<char>(c));
    if (c != '\n') return false;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    line = raw.substr(0, std::min(raw.find('\0'), kDescriptionLineLimit));
    return true;
}

bool Scan(const std::string& line, size_t pos, uint32_t& value, size_t& end) {
    return ScanHex32(line, pos, &value, &end);
}

bool IdAndName(const std::string& line, uint32_t& id, std::string& name) {
    size_t end = 0;
    if (line.size() < 4 || !Scan(line, 4, id, end)) return false;
    char word[256];
    if (std::sscanf(line.c_str() + end, " %255s", word) != 1) return false;
    name = line.substr(line.find(word));
    return true;
}

}  // namespace

ClassLookup ReferenceClassDescription(const std::string& path, uint32_t classCode) {
    ClassLookup result;
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return result;
    result.found = true;
    std::string line;
    while (NextLine(file, line)) {
        if (line.empty() || line[0] == '#' || line.size() + 1 <= 3) continue;
        uint32_t value, mask;
        size_t end;
        if (!Scan(line, 0, value, end) || !Scan(line, end, mask, end)) continue;
        if ((value & mask) == (classCode & mask)) {
            result.description = line.size() > 14 ? line.substr(14) : "";
            break;
        }
    }
    std::fclose(file);
    return result;
}

std::string ReferenceVendorName(const std::string& path, uint32_t vendorId) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return {};
    std::string line, name;
    while (NextLine(file, line)) {
        uint32_t id;
        std::string n;
        if (strncasecmp(line.c_str(), "VID", 3) == 0 && IdAndName(line, id, n) && id == vendorId) {
            name = n;
            break;
        }
    }
    std::fclose(file);
    return name;
}

std::string ReferenceDeviceName(const std::string& path, uint32_t vendorId, uint32_t deviceId) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return {};
    std::string line, name;
    bool found = false;
    while (NextLine(file, line)) {
        uint32_t id;
        std::string n;
        if (strncasecmp(line.c_str(), "VID", 3) == 0) {
            if (found) break;
            found = IdAndName(line, id, n) && id == vendorId;
        } else if (found && strncasecmp(line.c_str(), "DID", 3) == 0 && IdAndName(line, id, n) &&
                   id == deviceId) {
            name = n;
            break;
        }
    }
    std::fclose(file);
    return name;
}

std::string ReferenceRegisterDescription(const std::string& path, uint32_t offset, uint32_t id00) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return {};
    std::string line, result = kDeviceSpecificDescription;
    bool section = false;
    while (NextLine(file, line)) {
        if (!line.empty() && line[0] == ';') {
            uint32_t id;
            size_t end;
            if (strncasecmp(line.c_str(), ";IDEND", 6) == 0) {
                section = false;
            } else if (strncasecmp(line.c_str(), ";IDGLOBAL", 9) == 0) {
                section = true;
            } else if (strncasecmp(line.c_str(), ";ID=", 4) == 0 && Scan(line, 4, id, end) &&
                       id == id00) {
                section = true;
            }
            continue;
        }
        if (line.empty() || line[0] == '#' || line.size() + 1 < 3) continue;
        uint32_t value;
        size_t end;
        if (section && Scan(line, 0, value, end) && value == offset) {
            result = line.size() > 3 ? line.substr(3) : "";
            break;
        }
    }
    std::fclose(file);
    return result;
}

}  // namespace kvt::test
