// Feeds arbitrary bytes to the three PCI description files and checks that the indexed
// lookups give what the line-by-line reader gives.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "support/pci_desc_reference.h"
#include "tools/pci/pci_desc.h"

namespace {

const std::string& Folder() {
    static std::string folder = [] {
        char pattern[] = "/tmp/kvt-fuzz-pcidesc-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "/tmp");
    }();
    return folder;
}

void Put(const std::string& path, const uint8_t* data, size_t size) {
    static time_t stamp = 1;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) __builtin_trap();
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    // Every input gets its own modification time, so the index never serves an older one.
    struct timespec times[2] = {{0, UTIME_NOW}, {++stamp, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kvt;
    const std::string& folder = Folder();
    const char* files[] = {kPciIdFile, kPciClassFile, kRegisterDescriptionFile};
    for (const char* name : files) Put(folder + "/" + name, data, size);
    PciDescriptions descriptions(folder);
    // IDs to look up: the numbers at the start of the input's lines and a few fixed ones.
    uint32_t ids[8] = {0, 0x10, 0x20, 0x8086, 0xFFFF, 0xFFFFFFFF};
    size_t count = 6;
    for (size_t i = 0; i < size && count < 8; ++i) {
        if (i != 0 && data[i - 1] != '\n') continue;
        std::string line(reinterpret_cast<const char*>(data + i), std::min<size_t>(size - i, 16));
        uint32_t value;
        size_t end;
        size_t start =
            line.size() > 4 && (line[0] == 'V' || line[0] == 'D' || line[0] == ';') ? 4 : 0;
        if (ScanHex32(line, start, &value, &end)) ids[count++] = value;
    }
    const std::string idPath = folder + "/" + kPciIdFile;
    const std::string classPath = folder + "/" + kPciClassFile;
    const std::string regPath = folder + "/" + kRegisterDescriptionFile;
    for (size_t a = 0; a < count; ++a) {
        if (descriptions.LookupVendorName(ids[a]) != test::ReferenceVendorName(idPath, ids[a]))
            __builtin_trap();
        if (descriptions.LookupClassDescription(ids[a]).description !=
            test::ReferenceClassDescription(classPath, ids[a]).description)
            __builtin_trap();
        for (size_t b = 0; b < count; ++b) {
            if (descriptions.LookupDeviceName(ids[a], ids[b]) !=
                test::ReferenceDeviceName(idPath, ids[a], ids[b]))
                __builtin_trap();
            if (descriptions.LookupRegisterDescription(ids[a], ids[b]) !=
                test::ReferenceRegisterDescription(regPath, ids[a], ids[b]))
                __builtin_trap();
        }
    }
    return 0;
}
