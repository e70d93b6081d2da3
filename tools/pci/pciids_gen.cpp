// Build-time generator of the name files "PciId.txt" and "pcidevcl.txt" from the
// distribution's pci.ids list.
//
//   korvanta-pciids PCI_IDS OUTPUT_FOLDER
//
// PciId.txt: per vendor "VID <id> <name>", then "DID <id> <name>" per device, in list order
// (no subsystem lines). pcidevcl.txt: every programming interface "CCSSPP ffffff <subclass>
// (<interface>)", then every subclass "CCSS00 ffff00 <subclass>", then every class
// "CC0000 ff0000 <class>", so the most specific entry comes first. Names are cut to 200 bytes
// at a character boundary; every line ends with LF.
#include <cctype>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr size_t kNameLimit = 200;

std::string CutName(std::string name) {
    if (name.size() <= kNameLimit) return name;
    size_t cut = kNameLimit;
    // Step back over UTF-8 continuation bytes so no character is split.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
    return name;
}

bool IsHexId(const std::string& text, size_t pos, size_t digits) {
    if (text.size() < pos + digits) return false;
    for (size_t i = pos; i < pos + digits; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

// The name after an ID: blanks skipped.
std::string NameAfter(const std::string& line, size_t pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    std::string name = line.substr(pos);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '\r'))
        name.pop_back();
    return CutName(name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: korvanta-pciids PCI_IDS OUTPUT_FOLDER\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "korvanta-pciids: cannot read %s\n", argv[1]);
        return 1;
    }
    std::string ids =
        "# Vendor and device names of PCI functions, made from the pci.ids list at build time.\n"
        "# VID <vendor ID> <vendor name>, then DID <device ID> <device name> per device.\n";
    std::string interfaces, subclasses, classes;
    bool inClasses = false, haveVendor = false;
    std::string classId, subclassId, subclassName;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line.rfind("C ", 0) == 0 && IsHexId(line, 2, 2)) {
            inClasses = true;
            haveVendor = false;
            classId = line.substr(2, 2);
            classes += classId + "0000 ff0000 " + NameAfter(line, 4) + "\n";
            continue;
        }
        if (line[0] != '\t') {
            // A vendor, or another top-level list (device types, languages) that ends classes.
            inClasses = false;
            haveVendor = line.size() > 4 && IsHexId(line, 0, 4) && line[4] == ' ';
            if (haveVendor) ids += "VID " + line.substr(0, 4) + " " + NameAfter(line, 4) + "\n";
            continue;
        }
        if (inClasses) {
            if (line.size() > 1 && line[1] != '\t' && IsHexId(line, 1, 2)) {
                subclassId = line.substr(1, 2);
                subclassName = NameAfter(line, 3);
                subclasses += classId + subclassId + "00 ffff00 " + subclassName + "\n";
            } else if (line.size() > 2 && line[1] == '\t' && IsHexId(line, 2, 2)) {
                interfaces += classId + subclassId + line.substr(2, 2) + " ffffff " +
                              CutName(subclassName + " (" + NameAfter(line, 4) + ")") + "\n";
            }
            continue;
        }
        if (haveVendor && line.size() > 5 && line[1] != '\t' && IsHexId(line, 1, 4)) {
            ids += "DID " + line.substr(1, 4) + " " + NameAfter(line, 5) + "\n";
        }
    }
    std::string folder = argv[2];
    std::ofstream idFile(folder + "/PciId.txt", std::ios::binary);
    idFile << ids;
    std::ofstream classFile(folder + "/pcidevcl.txt", std::ios::binary);
    classFile << "# PCI device classes, made from the pci.ids list at build time.\n"
                 "# <class value> <mask> <description>: the first matching line wins.\n"
              << interfaces << subclasses << classes;
    if (!idFile || !classFile) {
        std::fprintf(stderr, "korvanta-pciids: cannot write into %s\n", folder.c_str());
        return 1;
    }
    return 0;
}
