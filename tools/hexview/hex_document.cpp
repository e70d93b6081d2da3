#include "tools/hexview/hex_document.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tools/io/hex_input.h"

namespace kvt {
namespace {

bool PreadAll(int fd, void* buffer, size_t count, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

bool PwriteAll(int fd, const void* buffer, size_t count, uint64_t offset) {
    auto* p = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = pwrite(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

uint64_t MapSize(uint64_t length) {
    return length / 8 + 1;
}

// A-Z to a-z, nothing else.
inline uint8_t Fold(uint8_t c) {
    return static_cast<uint8_t>(c + ((uint8_t)(c - 'A') < 26 ? 32 : 0));
}

void FoldBytes(uint8_t* p, size_t n) {
    size_t i = 0;
#ifdef __SSE2__
    // 16 bytes at a time: bytes in A..Z (a signed compare after a shift of the range) get 32.
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'A'));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(-128 + 26));
    const __m128i bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i upper = _mm_cmplt_epi8(_mm_add_epi8(v, shift), limit);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + i),
                         _mm_add_epi8(v, _mm_and_si128(upper, bit)));
    }
#endif
    for (; i < n; ++i) p[i] = Fold(p[i]);
}

// First occurrence of pat in hay, or null: the first byte by memchr, then the rest.
const uint8_t* SearchBytes(const uint8_t* hay, size_t n, const uint8_t* pat, size_t m) {
    if (m == 0 || n < m) return nullptr;
    const uint8_t first = pat[0];
    const uint8_t* end = hay + (n - m) + 1;  // one past the last possible start
    const uint8_t* p = hay;
    while (p < end) {
        p = static_cast<const uint8_t*>(std::memchr(p, first, static_cast<size_t>(end - p)));
        if (p == nullptr) return nullptr;
        if (std::memcmp(p + 1, pat + 1, m - 1) == 0) return p;
        ++p;
    }
    return nullptr;
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

FindResult FindInFile(int fd, uint64_t length, const uint8_t* pattern, size_t patternLength,
                      FindMode mode, uint64_t from, uint64_t& at, const ProgressFn& progress) {
    if (patternLength == 0 || patternLength > kHexChunk / 2) return FindResult::NotFound;
    if (from >= length || length - from < patternLength) return FindResult::NotFound;
    std::vector<uint8_t> pat(pattern, pattern + patternLength);
    if (mode == FindMode::IgnoreCase) FoldBytes(pat.data(), pat.size());
    // One 4 MiB buffer per thread, kept between searches.
    thread_local std::unique_ptr<uint8_t, FreeDeleter> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(4096, kHexChunk)));
    if (!buffer) return FindResult::Failed;
    const uint64_t total = length - from;
    // The first windows are small, so repeated searches with near occurrences stay cheap;
    // they grow to 4 MiB.
    size_t window = std::max<size_t>(64 * 1024, 2 * patternLength);
    uint64_t start = from;
    while (length - start >= patternLength) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(window, length - start));
        window = static_cast<size_t>(std::min<uint64_t>(uint64_t(window) * 2, kHexChunk));
        if (!PreadAll(fd, buffer.get(), n, start)) return FindResult::Failed;
        if (mode == FindMode::IgnoreCase) FoldBytes(buffer.get(), n);
        if (const uint8_t* hit = SearchBytes(buffer.get(), n, pat.data(), pat.size())) {
            at = start + static_cast<uint64_t>(hit - buffer.get());
            return FindResult::Found;
        }
        if (start + n >= length) break;
        // The next window repeats the last patternLength - 1 bytes, so an occurrence across
        // the boundary is seen once, in the next window.
        start += n - (patternLength - 1);
        if (progress && !progress(start - from, total)) return FindResult::Cancelled;
    }
    return FindResult::NotFound;
}

// ---- HexDocument -----------------------------------------------------------------------------

HexDocument::~HexDocument() {
    if (!baseName_.empty()) {
        RemoveFiles();
    } else {
        Close();
    }
}

void HexDocument::Close() {
    if (dataFd_ >= 0) close(dataFd_);
    if (mapFd_ >= 0) close(mapFd_);
    dataFd_ = mapFd_ = -1;
}

void HexDocument::Detach() {
    Close();
    length_ = 0;
    top = position = 0;
    ClearSelection();
}

void HexDocument::RemoveFiles() {
    Detach();
    if (!baseName_.empty()) {
        unlink(DataPath(baseName_).c_str());
        unlink(MapPath(baseName_).c_str());
    }
}

int HexDocument::Attach(uint64_t length, uint64_t baseAddress, const std::string& baseName) {
    Detach();
    searched_ = false;
    // Remembered even for length 0, so the files made under this name go with the document.
    if (!baseName.empty()) baseName_ = baseName;
    if (length == 0) return 0;
    int data = open(DataPath(baseName).c_str(), O_RDWR | O_CLOEXEC);
    struct stat st {};
    if (data < 0 || fstat(data, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) < length) {
        if (data >= 0) close(data);
        return 1;
    }
    int map = open(MapPath(baseName).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    // A truncated file grown again reads as zeros without writing them.
    if (map < 0 || ftruncate(map, static_cast<off_t>(MapSize(length))) != 0) {
        close(data);
        if (map >= 0) close(map);
        return 1;
    }
    dataFd_ = data;
    mapFd_ = map;
    length_ = length;
    baseAddress_ = baseAddress;
    position = top = 0;
    column = kColumnHigh;
    ClearSelection();
    return 0;
}

bool HexDocument::AttachReadOnly(const std::string& path) {
    Detach();
    searched_ = false;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) close(fd);
        return false;
    }
    dataFd_ = fd;
    length_ = static_cast<uint64_t>(st.st_size);
    baseAddress_ = 0;
    column = kColumnHigh;
    return true;
}

size_t HexDocument::ReadData(void* buffer, uint64_t offset, size_t count) const {
    if (dataFd_ < 0 || offset >= length_) return 0;
    size_t n = static_cast<size_t>(std::min<uint64_t>(count, length_ - offset));
    return PreadAll(dataFd_, buffer, n, offset) ? n : 0;
}

size_t HexDocument::ReadMap(uint8_t* buffer, uint64_t offset, size_t count) const {
    if (mapFd_ < 0 || offset >= length_ || count == 0) return 0;
    uint64_t last = offset + std::min<uint64_t>(count, length_ - offset) - 1;
    size_t n = static_cast<size_t>(last / 8 - offset / 8 + 1);
    return PreadAll(mapFd_, buffer, n, offset / 8) ? n : 0;
}

bool HexDocument::IsModified(uint64_t offset) const {
    uint8_t byte = 0;
    return ReadMap(&byte, offset, 1) == 1 && (byte >> (offset % 8)) & 1;
}

bool HexDocument::ClearMap() {
    if (mapFd_ < 0) return false;
    return ftruncate(mapFd_, 0) == 0 &&
           ftruncate(mapFd_, static_cast<off_t>(MapSize(length_))) == 0;
}

bool HexDocument::ClearMarks(uint64_t offset, uint64_t count) {
    if (mapFd_ < 0 || offset >= length_) return false;
    const uint64_t end = offset + std::min(count, length_ - offset);
    // Partial map bytes at both ends are read and changed; whole ones in between are zeroed.
    auto clearBits = [&](uint64_t from, uint64_t to) {
        uint8_t byte = 0;
        if (!PreadAll(mapFd_, &byte, 1, from / 8)) return false;
        for (uint64_t i = from; i < to; ++i) byte = static_cast<uint8_t>(byte & ~(1u << (i % 8)));
        return PwriteAll(mapFd_, &byte, 1, from / 8);
    };
    uint64_t i = offset;
    if (i % 8 != 0 || end - i < 8) {
        uint64_t stop = std::min(end, (i / 8 + 1) * 8);
        if (!clearBits(i, stop)) return false;
        i = stop;
    }
    static const uint8_t zeros[4096] = {};
    while (end - i >= 8) {
        uint64_t bytes = std::min<uint64_t>((end - i) / 8, sizeof zeros);
        if (!PwriteAll(mapFd_, zeros, static_cast<size_t>(bytes), i / 8)) return false;
        i += bytes * 8;
    }
    return i >= end || clearBits(i, end);
}

bool HexDocument::WriteByte(uint64_t offset, uint8_t value) {
    if (mapFd_ < 0 || offset >= length_) return false;
    if (!PwriteAll(dataFd_, &value, 1, offset)) return false;
    uint8_t byte = 0;
    if (!PreadAll(mapFd_, &byte, 1, offset / 8)) return false;
    byte = static_cast<uint8_t>(byte | (1u << (offset % 8)));
    return PwriteAll(mapFd_, &byte, 1, offset / 8);
}

uint64_t HexDocument::SelectionLow() const {
    return static_cast<uint64_t>(std::max<int64_t>(0, std::min(selStart, selEnd)));
}
uint64_t HexDocument::SelectionHigh() const {
    return static_cast<uint64_t>(std::max<int64_t>(0, std::max(selStart, selEnd)));
}

uint64_t HexDocument::RowCount() const {
    return (length_ + kBytesPerRow - 1) / kBytesPerRow;
}

uint64_t HexDocument::LastPageTop() const {
    uint64_t rows = RowCount();
    return rows > visibleRows ? (rows - visibleRows) * kBytesPerRow : 0;
}

bool HexDocument::Step(int dx, int dy) {
    if (length_ == 0 || column == kColumnAddress) return false;
    uint64_t oldPosition = position;
    int oldColumn = column;
    uint64_t p = position;
    bool ok = true;
    if (dy != 0) {
        if (dy < 0) {
            ok = p >= kBytesPerRow;
            if (ok) p -= kBytesPerRow;
        } else {
            p += kBytesPerRow;
        }
    } else if (column == kColumnAscii) {
        if (dx < 0) {
            ok = p > 0;
            if (ok) --p;
        } else {
            ++p;
        }
    } else if (dx > 0) {
        if (column == kColumnHigh) {
            column = kColumnLow;
        } else {
            column = kColumnHigh;
            ++p;
        }
    } else {
        if (column == kColumnLow) {
            column = kColumnHigh;
        } else if (p > 0) {
            column = kColumnLow;
            --p;
        } else {
            ok = false;
        }
    }
    if (!ok || p >= length_) {
        column = oldColumn;
        return false;
    }
    position = p;
    return position != oldPosition || column != oldColumn;
}

bool HexDocument::Type(uint8_t c) {
    if (mapFd_ < 0 || position >= length_) return false;
    if (column == kColumnAscii) {
        if (!WriteByte(position, c)) return false;
        Step(1, 0);
        return true;
    }
    if (column != kColumnHigh && column != kColumnLow) return false;
    int digit;
    if (c >= '0' && c <= '9') {
        digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
    } else {
        return false;
    }
    uint8_t byte = 0;
    if (ReadData(&byte, position, 1) != 1) return false;
    byte = column == kColumnHigh ? static_cast<uint8_t>((byte & 0x0F) | (digit << 4))
                                 : static_cast<uint8_t>((byte & 0xF0) | digit);
    if (!WriteByte(position, byte)) return false;
    Step(1, 0);
    return true;
}

FindResult HexDocument::FindNext(const std::vector<uint8_t>& pattern, FindMode mode,
                                 const ProgressFn& progress) {
    if (dataFd_ < 0) return FindResult::NotFound;
    uint64_t from = searched_ ? position + 1 : 0;
    uint64_t at = 0;
    FindResult result =
        FindInFile(dataFd_, length_, pattern.data(), pattern.size(), mode, from, at, progress);
    if (result != FindResult::Found) return result;
    searched_ = true;
    top = std::min(at - at % kBytesPerRow, LastPageTop());
    position = at;
    selStart = static_cast<int64_t>(at);
    selEnd = static_cast<int64_t>(at + pattern.size());
    return result;
}

HexDocument::CopyResult HexDocument::CopySelection(std::string& bytes) const {
    if (!HasSelection() || dataFd_ < 0) return CopyResult::NoSelection;
    uint64_t low = SelectionLow();
    uint64_t high = std::min(SelectionHigh(), length_);
    if (high <= low) return CopyResult::NoSelection;
    if (high - low > kMaxCopy) return CopyResult::TooLarge;
    bytes.resize(static_cast<size_t>(high - low));
    if (ReadData(bytes.data(), low, bytes.size()) != bytes.size()) {
        bytes.clear();
        return CopyResult::Failed;
    }
    return CopyResult::Ok;
}

// ---- files -------------------------------------------------------------------------------

FileResult CheckEditableFile(const std::string& path, uint64_t& size) {
    struct stat st {};
    // A FIFO or device is refused before it is opened (opening a FIFO could block).
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return FileResult::OpenFailed;
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FileResult::OpenFailed;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!ok) return FileResult::OpenFailed;
    size = static_cast<uint64_t>(st.st_size);
    return FileResult::Ok;
}

namespace {

// Copies count bytes from in (at its offset 0) to out (at 0): in-kernel where possible.
FileResult CopyFd(int in, int out, uint64_t count, const ProgressFn& progress) {
    uint64_t done = 0;
    bool kernelCopy = true;
    std::unique_ptr<uint8_t[]> buffer;
    while (done < count) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kHexChunk, count - done));
        if (kernelCopy) {
            loff_t inOff = static_cast<loff_t>(done), outOff = static_cast<loff_t>(done);
            ssize_t got = copy_file_range(in, &inOff, out, &outOff, n, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 &&
                (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
            if (got <= 0) return FileResult::WriteFailed;  // error, or the source shrank
            done += static_cast<uint64_t>(got);
        } else {
            if (!buffer) buffer.reset(new uint8_t[kHexChunk]);
            if (!PreadAll(in, buffer.get(), n, done) || !PwriteAll(out, buffer.get(), n, done)) {
                return FileResult::WriteFailed;
            }
            done += n;
        }
        if (progress && !progress(done, count)) return FileResult::Cancelled;
    }
    return FileResult::Ok;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

FileResult MakeWorkingCopy(const std::string& source, const std::string& target,
                           uint64_t expectedSize, const ProgressFn& progress) {
    int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return FileResult::OpenFailed;
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return FileResult::OpenFailed;
    }
    FileResult result = FileResult::Ok;
    if (ioctl(out, FICLONE, in) != 0) result = CopyFd(in, out, expectedSize, progress);
    struct stat st {};
    if (result == FileResult::Ok &&
        (fstat(out, &st) != 0 || static_cast<uint64_t>(st.st_size) != expectedSize)) {
        result = FileResult::WriteFailed;
    }
    if (close(out) != 0 && result == FileResult::Ok) result = FileResult::WriteFailed;
    close(in);
    if (result != FileResult::Ok) unlink(target.c_str());
    return result;
}

FileResult SaveDocumentAs(const HexDocument& document, const std::string& target,
                          const ProgressFn& progress) {
    // Follow a link, so the link stays and its file gets the bytes.
    std::string path = target;
    if (char* real = realpath(target.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    struct stat old {};
    bool existed = stat(path.c_str(), &old) == 0;
    if (existed && !S_ISREG(old.st_mode)) return FileResult::OpenFailed;
    std::string folder = FolderOf(path);
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string temp = folder + "/." + name + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return FileResult::OpenFailed;
    FileResult result = FileResult::Ok;
    if (document.attached() && document.length() > 0) {
        result = CopyFd(document.dataFd(), fd, document.length(), progress);
    }
    if (result == FileResult::Ok) {
        mode_t mode = existed ? (old.st_mode & 07777) : (0666 & ~[] {
            mode_t m = umask(0);
            umask(m);
            return m;
        }());
        if (existed && fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not allowed for other owners; the file stays ours with the old mode.
        }
        if (fchmod(fd, mode) != 0 || fsync(fd) != 0) result = FileResult::WriteFailed;
    }
    if (close(fd) != 0 && result == FileResult::Ok) result = FileResult::WriteFailed;
    if (result == FileResult::Ok && rename(temp.c_str(), path.c_str()) != 0) {
        result = FileResult::WriteFailed;
    }
    if (result != FileResult::Ok) {
        unlink(temp.c_str());
        return result;
    }
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return FileResult::Ok;
}

bool HexTextToBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    if (!IsHexString(text)) return false;
    std::string digits = text.size() % 2 ? "0" + text : text;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(
            static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
    }
    return true;
}

}  // namespace kvt
