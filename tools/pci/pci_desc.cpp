#include "tools/pci/pci_desc.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hwaccess/session.h"
#include "platform/hex.h"

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

// The vendor and device names of a "PciId.txt", kept as a file in the user's cache folder so
// that a short-lived process need not parse the 800 KB list: made once per version of the
// list (its identity, size and modification time are in the header), mapped and searched
// in place. Every field is checked before use; a damaged or stale file is made again.
class NamesCache {
  public:
    ~NamesCache() {
        if (map_ != nullptr) ::munmap(map_, size_);
    }

    // The cache file for the list at sourcePath, or null when it is missing, stale or damaged.
    static std::shared_ptr<const NamesCache> Open(const std::string& path,
                                                  const struct stat& source) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) return nullptr;
        struct stat st {};
        void* map = MAP_FAILED;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            st.st_size >= static_cast<off_t>(kHeaderWords * 4)) {
            map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        }
        ::close(fd);
        if (map == MAP_FAILED) return nullptr;
        auto cache = std::shared_ptr<NamesCache>(new NamesCache);
        cache->map_ = map;
        cache->size_ = static_cast<size_t>(st.st_size);
        if (!cache->Valid(source)) return nullptr;
        return cache;
    }

    // Writes the cache file of a parsed list (through a temporary file and a rename).
    static void Write(const std::string& path, const struct stat& source, const FileIndex& index) {
        std::vector<uint32_t> vendors, devices;
        std::string strings;
        std::vector<std::pair<uint32_t, size_t>> order(index.firstVendor.begin(),
                                                       index.firstVendor.end());
        std::sort(order.begin(), order.end());
        for (const auto& [id, at] : order) {
            const Vendor& vendor = index.vendors[at];
            std::vector<std::pair<uint32_t, const std::string*>> named;
            for (const auto& [deviceId, name] : vendor.devices) named.push_back({deviceId, &name});
            std::sort(named.begin(), named.end());
            vendors.insert(vendors.end(), {id, static_cast<uint32_t>(strings.size()),
                                           static_cast<uint32_t>(vendor.name.size()),
                                           static_cast<uint32_t>(devices.size() / 3),
                                           static_cast<uint32_t>(named.size())});
            strings += vendor.name;
            for (const auto& [deviceId, name] : named) {
                devices.insert(devices.end(), {deviceId, static_cast<uint32_t>(strings.size()),
                                               static_cast<uint32_t>(name->size())});
                strings += *name;
            }
        }
        uint32_t header[kHeaderWords] = {kMagic, kVersion};
        PutIdentity(header, source);
        header[12] = static_cast<uint32_t>(vendors.size() / 5);
        header[13] = static_cast<uint32_t>(devices.size() / 3);
        header[14] = static_cast<uint32_t>(strings.size());
        std::string bytes(reinterpret_cast<const char*>(header), sizeof header);
        bytes.append(reinterpret_cast<const char*>(vendors.data()), vendors.size() * 4);
        bytes.append(reinterpret_cast<const char*>(devices.data()), devices.size() * 4);
        bytes += strings;
        const std::string temporary = path + ".new" + std::to_string(::getpid());
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) return;
        const bool written =
            ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
        ::close(fd);
        if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
    }

    // The vendor's name; false when the list names no such vendor.
    bool VendorName(uint32_t id, std::string* name) const {
        const uint32_t* v = FindVendor(id);
        return v != nullptr && Text(v[1], v[2], name);
    }
    bool DeviceName(uint32_t vendorId, uint32_t deviceId, std::string* name) const {
        const uint32_t* v = FindVendor(vendorId);
        if (v == nullptr) return false;
        const uint32_t* d = Devices();
        size_t lo = v[3], hi = size_t(v[3]) + v[4];
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (d[3 * mid] < deviceId) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo >= size_t(v[3]) + v[4] || d[3 * lo] != deviceId) return false;
        return Text(d[3 * lo + 1], d[3 * lo + 2], name);
    }

  private:
    static constexpr uint32_t kMagic = 0x494E564B;  // "KVNI"
    static constexpr uint32_t kVersion = 1;
    static constexpr size_t kHeaderWords = 16;

    NamesCache() = default;

    static void PutIdentity(uint32_t* header, const struct stat& source) {
        const uint64_t fields[5] = {uint64_t(source.st_dev), uint64_t(source.st_ino),
                                    uint64_t(source.st_size), uint64_t(source.st_mtim.tv_sec),
                                    uint64_t(source.st_mtim.tv_nsec)};
        std::memcpy(header + 2, fields, sizeof fields);
    }
    const uint32_t* Words() const { return static_cast<const uint32_t*>(map_); }
    uint32_t VendorCount() const { return Words()[12]; }
    uint32_t DeviceCount() const { return Words()[13]; }
    const uint32_t* Vendors() const { return Words() + kHeaderWords; }
    const uint32_t* Devices() const { return Vendors() + 5 * size_t(VendorCount()); }
    const char* Strings() const {
        return reinterpret_cast<const char*>(Devices() + 3 * size_t(DeviceCount()));
    }

    bool Valid(const struct stat& source) const {
        uint32_t expected[kHeaderWords] = {kMagic, kVersion};
        PutIdentity(expected, source);
        if (std::memcmp(Words(), expected, 12 * 4) != 0) return false;
        const uint64_t total = uint64_t(kHeaderWords) * 4 + uint64_t(VendorCount()) * 20 +
                               uint64_t(DeviceCount()) * 12 + Words()[14];
        if (total != size_) return false;
        // Every vendor's devices lie inside the device table.
        for (uint32_t i = 0; i < VendorCount(); ++i) {
            const uint32_t* v = Vendors() + 5 * size_t(i);
            if (uint64_t(v[3]) + v[4] > DeviceCount()) return false;
        }
        return true;
    }
    const uint32_t* FindVendor(uint32_t id) const {
        size_t lo = 0, hi = VendorCount();
        while (lo < hi) {
            const size_t mid = lo + (hi - lo) / 2;
            if (Vendors()[5 * mid] < id) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        if (lo >= VendorCount() || Vendors()[5 * lo] != id) return nullptr;
        return Vendors() + 5 * lo;
    }
    bool Text(uint32_t offset, uint32_t length, std::string* out) const {
        if (uint64_t(offset) + length > Words()[14]) return false;
        out->assign(Strings() + offset, length);
        return true;
    }

    void* map_ = nullptr;
    size_t size_ = 0;
};

// Where the names cache of the list at `path` lives: the user's cache folder, one file per
// list (by its real path). Empty when there is no such folder to be had.
std::string NamesCachePath(const std::string& path) {
    std::string folder;
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        folder = xdg;
    } else if (home != nullptr && home[0] == '/') {
        folder = std::string(home) + "/.cache";
    } else {
        return {};
    }
    ::mkdir(folder.c_str(), 0700);
    folder += "/korvanta";
    ::mkdir(folder.c_str(), 0700);
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return {};
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    const size_t hash = std::hash<std::string>()(real);
    std::free(real);
    char name[32];
    std::snprintf(name, sizeof name, "/pciids-%016zx.idx", hash);
    return folder + name;
}

// The names of the list at `path`: its cache file, else the parsed list (whose cache file is
// then made). Both null when the list cannot be opened.
struct Names {
    std::shared_ptr<const NamesCache> cache;
    std::shared_ptr<const FileIndex> index;
};

constexpr off_t kNamesCacheMinimum = 64 * 1024;

Names NamesOf(const std::string& path) {
    struct Kept {
        struct stat identity {};
        Names names;
    };
    static std::map<std::string, Kept> kept;
    struct stat identity {};
    auto it = kept.find(path);
    if (::stat(path.c_str(), &identity) != 0) {
        if (it != kept.end()) kept.erase(it);
        return {};
    }
    if (it != kept.end() && SameFile(it->second.identity, identity)) return it->second.names;
    Names names;
    // A short list is parsed sooner than its cache file is checked.
    const std::string cachePath =
        identity.st_size >= kNamesCacheMinimum ? NamesCachePath(path) : std::string();
    if (!cachePath.empty() && ::access(path.c_str(), R_OK) == 0) {
        names.cache = NamesCache::Open(cachePath, identity);
    }
    if (!names.cache) {
        names.index = IndexOf(path, FileKind::Id);
        if (!names.index) return {};
        if (!names.index->readError && !cachePath.empty()) {
            NamesCache::Write(cachePath, identity, *names.index);
        }
    }
    kept[path] = Kept{identity, names};
    return names;
}

}  // namespace

bool ScanHex32(std::string_view text, size_t pos, uint32_t* value, size_t* end) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos + 2 < text.size() && text[pos] == '0' &&
        (text[pos + 1] == 'x' || text[pos + 1] == 'X') && HexDigitValue(text[pos + 2]) >= 0) {
        pos += 2;
    }
    uint64_t result = 0;
    size_t start = pos;
    while (pos < text.size() && HexDigitValue(text[pos]) >= 0) {
        result = result * 16 + uint64_t(HexDigitValue(text[pos]));
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
    Names names = NamesOf(PathOf(kPciIdFile));
    std::string name;
    if (names.cache) {
        names.cache->VendorName(vendorId, &name);
        return name;
    }
    if (!names.index) return {};
    NoteError(*names.index, readError);
    auto it = names.index->firstVendor.find(vendorId);
    return it == names.index->firstVendor.end() ? std::string()
                                                : names.index->vendors[it->second].name;
}

std::string PciDescriptions::LookupDeviceName(uint32_t vendorId, uint32_t deviceId,
                                              bool* readError) const {
    Names names = NamesOf(PathOf(kPciIdFile));
    std::string name;
    if (names.cache) {
        names.cache->DeviceName(vendorId, deviceId, &name);
        return name;
    }
    if (!names.index) return {};
    NoteError(*names.index, readError);
    auto it = names.index->firstVendor.find(vendorId);
    if (it == names.index->firstVendor.end()) return {};
    const Vendor& vendor = names.index->vendors[it->second];
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
