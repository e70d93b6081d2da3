#include "tools/pci/pci_desc.h"

#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hwaccess/session.h"

namespace kvt {

namespace detail {

struct ClassEntry {
    uint32_t value, mask;
    std::string description;
};

struct Vendor {
    uint32_t id = 0;
    bool valid = false;
    std::string name;
    std::unordered_map<uint32_t, std::string> devices;  // first line of each ID
};

struct RegisterEntry {
    size_t position;  // line number
    size_t segment;   // sections between two ";IDEND" lines
    std::string description;
};

struct Segment {
    size_t firstGlobal = SIZE_MAX;                        // line of the first ";IDGLOBAL"
    std::unordered_map<uint32_t, size_t> firstIdSection;  // line of the first ";ID=" per ID
};

struct FileIndex {
    bool readError = false;
    std::vector<ClassEntry> classes;
    std::vector<Vendor> vendors;
    std::unordered_map<uint32_t, size_t> firstVendor;  // first valid vendor line per ID
    std::vector<Segment> segments;
    std::unordered_map<uint32_t, std::vector<RegisterEntry>> registers;
};

}  // namespace detail

namespace {

using detail::ClassEntry;
using detail::FileIndex;
using detail::RegisterEntry;
using detail::Segment;
using detail::Vendor;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = text[i], b = prefix[i];
        if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
        if (a != b) return false;
    }
    return true;
}

// The complete lines of a file's bytes: a last line without a line end is dropped, a CR LF
// line end counts as one line end, a NUL ends a line's text, and a line keeps at most
// kDescriptionLineLimit characters.
std::vector<std::string_view> SplitLines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) break;
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t nul = line.find('\0');
        if (nul != std::string_view::npos) line = line.substr(0, nul);
        if (line.size() > kDescriptionLineLimit) line = line.substr(0, kDescriptionLineLimit);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// "%x %s" from pos: the number and the first word after it; the name is the text from the
// first place in the line where that word occurs. False when either is missing.
bool ScanIdAndName(std::string_view line, size_t pos, uint32_t* id, std::string* name) {
    size_t end = 0;
    if (!ScanHex32(line, pos, id, &end)) return false;
    while (end < line.size() && IsBlank(line[end])) ++end;
    size_t wordEnd = end;
    while (wordEnd < line.size() && !IsBlank(line[wordEnd])) ++wordEnd;
    if (wordEnd == end) return false;
    size_t first = line.find(line.substr(end, wordEnd - end));
    *name = std::string(line.substr(first));
    return true;
}

enum class FileKind { Class, Id, Register };

void IndexClasses(const std::vector<std::string_view>& lines, FileIndex& index) {
    for (std::string_view line : lines) {
        if (line.empty() || line[0] == '#' || line.size() + 1 <= 3) continue;
        uint32_t value = 0, mask = 0;
        size_t end = 0;
        if (!ScanHex32(line, 0, &value, &end) || !ScanHex32(line, end, &mask, &end)) continue;
        index.classes.push_back(
            {value, mask, line.size() > 14 ? std::string(line.substr(14)) : std::string()});
    }
}

void IndexIds(const std::vector<std::string_view>& lines, FileIndex& index) {
    for (std::string_view line : lines) {
        if (StartsWithNoCase(line, "VID")) {
            Vendor vendor;
            vendor.valid = ScanIdAndName(line, 4, &vendor.id, &vendor.name);
            if (vendor.valid) index.firstVendor.emplace(vendor.id, index.vendors.size());
            index.vendors.push_back(std::move(vendor));
        } else if (StartsWithNoCase(line, "DID") && !index.vendors.empty()) {
            uint32_t id = 0;
            std::string name;
            if (ScanIdAndName(line, 4, &id, &name)) {
                index.vendors.back().devices.emplace(id, std::move(name));
            }
        }
    }
}

void IndexRegisters(const std::vector<std::string_view>& lines, FileIndex& index) {
    index.segments.emplace_back();
    for (size_t position = 0; position < lines.size(); ++position) {
        std::string_view line = lines[position];
        if (!line.empty() && line[0] == ';') {
            Segment& segment = index.segments.back();
            if (StartsWithNoCase(line, ";IDEND")) {
                index.segments.emplace_back();
            } else if (StartsWithNoCase(line, ";IDGLOBAL")) {
                if (segment.firstGlobal == SIZE_MAX) segment.firstGlobal = position;
            } else if (StartsWithNoCase(line, ";ID=")) {
                uint32_t id = 0;
                size_t end = 0;
                if (ScanHex32(line, 4, &id, &end)) segment.firstIdSection.emplace(id, position);
            }
            continue;
        }
        if (line.empty() || line[0] == '#' || line.size() + 1 < 3) continue;
        uint32_t offset = 0;
        size_t end = 0;
        if (!ScanHex32(line, 0, &offset, &end)) continue;
        index.registers[offset].push_back(
            {position, index.segments.size() - 1,
             line.size() > 3 ? std::string(line.substr(3)) : std::string()});
    }
}

struct CachedFile {
    struct stat identity {};
    std::shared_ptr<const FileIndex> index;
};

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The index of a file, or null when the file cannot be opened. Parsed again only when the
// file's modification time, size or identity changed since the last parse.
std::shared_ptr<const FileIndex> IndexOf(const std::string& path, FileKind kind) {
    static std::map<std::string, CachedFile> cache;
    struct stat identity {};
    auto it = cache.find(path);
    if (::stat(path.c_str(), &identity) != 0) {
        if (it != cache.end()) cache.erase(it);
        return nullptr;
    }
    if (it != cache.end() && SameFile(it->second.identity, identity)) return it->second.index;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (it != cache.end()) cache.erase(it);
        return nullptr;
    }
    auto index = std::make_shared<FileIndex>();
    std::string bytes;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
    index->readError = std::ferror(file) != 0;
    std::fclose(file);
    if (!index->readError) {
        std::vector<std::string_view> lines = SplitLines(bytes);
        if (kind == FileKind::Class) IndexClasses(lines, *index);
        if (kind == FileKind::Id) IndexIds(lines, *index);
        if (kind == FileKind::Register) IndexRegisters(lines, *index);
    }
    cache[path] = CachedFile{identity, index};
    return index;
}

void NoteError(const FileIndex& index, bool* readError) {
    if (index.readError && readError != nullptr) *readError = true;
}

}  // namespace

bool ScanHex32(std::string_view text, size_t pos, uint32_t* value, size_t* end) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos + 2 < text.size() && text[pos] == '0' &&
        (text[pos + 1] == 'x' || text[pos + 1] == 'X') && HexDigit(text[pos + 2]) >= 0) {
        pos += 2;
    }
    uint64_t result = 0;
    size_t start = pos;
    while (pos < text.size() && HexDigit(text[pos]) >= 0) {
        result = result * 16 + uint64_t(HexDigit(text[pos]));
        if (result > 0xFFFFFFFFull) return false;
        ++pos;
    }
    if (pos == start) return false;
    *value = static_cast<uint32_t>(result);
    *end = pos;
    return true;
}

PciDescriptions::PciDescriptions(std::string folder) : folder_(std::move(folder)) {
    if (folder_.empty()) folder_ = DataFolder();
}

std::string PciDescriptions::PathOf(const char* file) const {
    return folder_ + "/" + file;
}

ClassLookup PciDescriptions::LookupClassDescription(uint32_t classCode, bool* readError) const {
    ClassLookup result;
    auto index = IndexOf(PathOf(kPciClassFile), FileKind::Class);
    if (!index) return result;
    NoteError(*index, readError);
    result.found = true;
    for (const ClassEntry& entry : index->classes) {
        if ((entry.value & entry.mask) == (classCode & entry.mask)) {
            result.description = entry.description;
            break;
        }
    }
    return result;
}

std::string PciDescriptions::LookupVendorName(uint32_t vendorId, bool* readError) const {
    auto index = IndexOf(PathOf(kPciIdFile), FileKind::Id);
    if (!index) return {};
    NoteError(*index, readError);
    auto it = index->firstVendor.find(vendorId);
    return it == index->firstVendor.end() ? std::string() : index->vendors[it->second].name;
}

std::string PciDescriptions::LookupDeviceName(uint32_t vendorId, uint32_t deviceId,
                                              bool* readError) const {
    auto index = IndexOf(PathOf(kPciIdFile), FileKind::Id);
    if (!index) return {};
    NoteError(*index, readError);
    auto it = index->firstVendor.find(vendorId);
    if (it == index->firstVendor.end()) return {};
    const Vendor& vendor = index->vendors[it->second];
    auto device = vendor.devices.find(deviceId);
    return device == vendor.devices.end() ? std::string() : device->second;
}

bool PciDescriptions::RegisterFileAvailable() const {
    return IndexOf(PathOf(kRegisterDescriptionFile), FileKind::Register) != nullptr;
}

std::string PciDescriptions::LookupRegisterDescription(uint32_t offset, uint32_t id00,
                                                       bool* readError) const {
    return OpenRegisterFile().Lookup(offset, id00, readError);
}

RegisterFile PciDescriptions::OpenRegisterFile() const {
    RegisterFile file;
    file.index_ = IndexOf(PathOf(kRegisterDescriptionFile), FileKind::Register);
    return file;
}

const std::string& RegisterFile::Lookup(uint32_t offset, uint32_t id00, bool* readError) const {
    static const std::string deviceSpecific = kDeviceSpecificDescription;
    if (!index_) return deviceSpecific;
    NoteError(*index_, readError);
    auto it = index_->registers.find(offset);
    if (it == index_->registers.end()) return deviceSpecific;
    for (const RegisterEntry& entry : it->second) {
        const Segment& segment = index_->segments[entry.segment];
        if (segment.firstGlobal < entry.position) return entry.description;
        auto section = segment.firstIdSection.find(id00);
        if (section != segment.firstIdSection.end() && section->second < entry.position) {
            return entry.description;
        }
    }
    return deviceSpecific;
}

}  // namespace kvt
