#include "tools/hexview/hex_document.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/hex.h"
#include "tools/hexview/file_io.h"
#include "tools/io/hex_input.h"

namespace kvt {
namespace {

uint64_t MapSize(uint64_t length) {
    return length / 8 + 1;
}

// A-Z to a-z, nothing else.
inline uint8_t Fold(uint8_t c) {
    return static_cast<uint8_t>(c + ((uint8_t)(c - 'A') < 26 ? 32 : 0));
}

inline bool IsLower(uint8_t c) {
    return static_cast<uint8_t>(c - 'a') < 26;
}

// The pattern's middle bytes at p (the first and last were matched by the filter).
inline bool MiddleMatches(const uint8_t* p, const uint8_t* pat, size_t m, bool fold) {
    if (m <= 2) return true;
    if (!fold) return std::memcmp(p + 1, pat + 1, m - 2) == 0;
    for (size_t k = 1; k + 1 < m; ++k) {
        if (Fold(p[k]) != pat[k]) return false;
    }
    return true;
}

// Candidates from i on, byte by byte (the tail after the vector loop, and other processors).
const uint8_t* SearchScalar(const uint8_t* hay, size_t n, const uint8_t* pat, size_t m, size_t i,
                            bool fold) {
    const uint8_t first = pat[0], last = pat[m - 1];
    if (!fold) {
        const uint8_t* end = hay + (n - m) + 1;  // one past the last possible start
        for (const uint8_t* p = hay + i; p < end; ++p) {
            p = static_cast<const uint8_t*>(std::memchr(p, first, static_cast<size_t>(end - p)));
            if (p == nullptr) return nullptr;
            if (p[m - 1] == last && MiddleMatches(p, pat, m, false)) return p;
        }
        return nullptr;
    }
    for (; i + m <= n; ++i) {
        if (Fold(hay[i]) == first && Fold(hay[i + m - 1]) == last &&
            MiddleMatches(hay + i, pat, m, true)) {
            return hay + i;
        }
    }
    return nullptr;
}

#if defined(__x86_64__) || defined(__i386__)
// The vector filter: at every start, the first and the last pattern byte are compared at
// once for a whole register of starts; only starts where both agree are checked further.
// Ignoring case, a letter of the (lower-case) pattern is compared with the byte OR 20h,
// which equals it exactly for the byte in either case.
__attribute__((target("avx2"))) inline __m256i Avx2Hits(const uint8_t* p, size_t lastAt,
                                                        __m256i first, __m256i last,
                                                        __m256i foldFirst, __m256i foldLast) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + lastAt));
    return _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_or_si256(a, foldFirst), first),
                            _mm256_cmpeq_epi8(_mm256_or_si256(b, foldLast), last));
}

__attribute__((target("avx2"))) const uint8_t* SearchAvx2(const uint8_t* hay, size_t n,
                                                          const uint8_t* pat, size_t m, bool fold) {
    const size_t lastAt = m - 1;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(pat[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(pat[lastAt]));
    const __m256i foldFirst = _mm256_set1_epi8(fold && IsLower(pat[0]) ? 0x20 : 0);
    const __m256i foldLast = _mm256_set1_epi8(fold && IsLower(pat[lastAt]) ? 0x20 : 0);
    size_t i = 0;
    for (; i + lastAt + 64 <= n; i += 64) {
        __m256i h0 = Avx2Hits(hay + i, lastAt, first, last, foldFirst, foldLast);
        __m256i h1 = Avx2Hits(hay + i + 32, lastAt, first, last, foldFirst, foldLast);
        if (_mm256_testz_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h0, h1))) continue;
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(h0)) |
                        uint64_t(static_cast<uint32_t>(_mm256_movemask_epi8(h1))) << 32;
        while (mask != 0) {
            const uint8_t* p = hay + i + static_cast<unsigned>(__builtin_ctzll(mask));
            if (MiddleMatches(p, pat, m, fold)) return p;
            mask &= mask - 1;
        }
    }
    return SearchScalar(hay, n, pat, m, i, fold);
}

const uint8_t* SearchSse2(const uint8_t* hay, size_t n, const uint8_t* pat, size_t m, bool fold) {
    const size_t lastAt = m - 1;
    const __m128i first = _mm_set1_epi8(static_cast<char>(pat[0]));
    const __m128i last = _mm_set1_epi8(static_cast<char>(pat[lastAt]));
    const __m128i foldFirst = _mm_set1_epi8(fold && IsLower(pat[0]) ? 0x20 : 0);
    const __m128i foldLast = _mm_set1_epi8(fold && IsLower(pat[lastAt]) ? 0x20 : 0);
    size_t i = 0;
    for (; i + lastAt + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i + lastAt));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, foldFirst), first),
                                            _mm_cmpeq_epi8(_mm_or_si128(b, foldLast), last))));
        while (mask != 0) {
            const uint8_t* p = hay + i + static_cast<unsigned>(__builtin_ctz(mask));
            if (MiddleMatches(p, pat, m, fold)) return p;
            mask &= mask - 1;
        }
    }
    return SearchScalar(hay, n, pat, m, i, fold);
}

using SearchFn = const uint8_t* (*)(const uint8_t*, size_t, const uint8_t*, size_t, bool);

SearchFn ChooseSearch() {
    if (const char* force = std::getenv("KORVANTA_SEARCH")) {  // benchmarks compare the paths
        if (std::strcmp(force, "sse2") == 0) return SearchSse2;
        if (std::strcmp(force, "scalar") == 0) {
            return [](const uint8_t* h, size_t n, const uint8_t* p, size_t m, bool f) {
                return SearchScalar(h, n, p, m, 0, f);
            };
        }
    }
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? SearchAvx2 : SearchSse2;
}
#else
using SearchFn = const uint8_t* (*)(const uint8_t*, size_t, const uint8_t*, size_t, bool);
SearchFn ChooseSearch() {
    return [](const uint8_t* h, size_t n, const uint8_t* p, size_t m, bool f) {
        return SearchScalar(h, n, p, m, 0, f);
    };
}
#endif

// Bytes read and searched at a time, within a window: they stay in the second-level cache.
constexpr size_t kSearchPiece = 256 * 1024;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

}  // namespace

const uint8_t* SearchBytes(const uint8_t* hay, size_t n, const uint8_t* pattern, size_t m,
                           FindMode mode) {
    static const SearchFn search = ChooseSearch();
    if (m == 0 || n < m) return nullptr;
    const bool fold = mode == FindMode::IgnoreCase;
    if (m == 1 && !fold) return static_cast<const uint8_t*>(std::memchr(hay, pattern[0], n));
    return search(hay, n, pattern, m, fold);
}

FindResult FindInFile(int fd, uint64_t length, const uint8_t* pattern, size_t patternLength,
                      FindMode mode, uint64_t from, uint64_t& at, const ProgressFn& progress) {
    return FindWith([fd](uint8_t* buffer, size_t count,
                         uint64_t offset) { return PreadAll(fd, buffer, count, offset); },
                    length, pattern, patternLength, mode, from, at, progress);
}

FindResult FindWith(const ReadFn& read, uint64_t length, const uint8_t* pattern,
                    size_t patternLength, FindMode mode, uint64_t from, uint64_t& at,
                    const ProgressFn& progress) {
    if (patternLength == 0 || patternLength > kHexChunk / 2) return FindResult::NotFound;
    if (from >= length || length - from < patternLength) return FindResult::NotFound;
    std::vector<uint8_t> pat(pattern, pattern + patternLength);
    if (mode == FindMode::IgnoreCase) {
        for (uint8_t& c : pat) c = Fold(c);
    }
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
        // The window is read in pieces, each searched while it is still in the cache; an
        // occurrence ending in a piece is seen once that piece is in.
        for (size_t done = 0, searched = 0; done < n;) {
            size_t k = std::min(kSearchPiece, n - done);
            if (!read(buffer.get() + done, k, start + done)) return FindResult::Failed;
            done += k;
            if (done < patternLength) continue;
            const uint8_t* hit =
                SearchBytes(buffer.get() + searched, done - searched, pat.data(), pat.size(), mode);
            if (hit != nullptr) {
                at = start + static_cast<uint64_t>(hit - buffer.get());
                return FindResult::Found;
            }
            searched = done - (patternLength - 1);
        }
        if (start + n >= length) break;
        // The next window repeats the last patternLength - 1 bytes, so an occurrence across
        // the boundary is seen once, in the next window.
        start += n - (patternLength - 1);
        if (progress && !progress(start - from, total)) return FindResult::Cancelled;
    }
    return FindResult::NotFound;
}

FindResult FindBackWith(const ReadFn& read, uint64_t length, const uint8_t* pattern,
                        size_t patternLength, FindMode mode, uint64_t before, uint64_t& at,
                        const ProgressFn& progress) {
    if (patternLength == 0 || patternLength > kHexChunk / 2) return FindResult::NotFound;
    if (before == 0 || length < patternLength) return FindResult::NotFound;
    std::vector<uint8_t> pat(pattern, pattern + patternLength);
    if (mode == FindMode::IgnoreCase) {
        for (uint8_t& c : pat) c = Fold(c);
    }
    std::unique_ptr<uint8_t, FreeDeleter> buffer(
        static_cast<uint8_t*>(std::aligned_alloc(4096, kHexChunk)));
    if (!buffer) return FindResult::Failed;
    // [low, high): the bytes of the occurrences that start before `before`.
    uint64_t high =
        std::min<uint64_t>(length, std::min<uint64_t>(before, length) - 1 + patternLength);
    const uint64_t total = high;
    size_t window = std::max<size_t>(64 * 1024, 2 * patternLength);
    while (high >= patternLength) {
        const uint64_t low = high > window ? high - window : 0;
        window = static_cast<size_t>(std::min<uint64_t>(uint64_t(window) * 2, kHexChunk));
        const size_t n = static_cast<size_t>(high - low);
        if (!read(buffer.get(), n, low)) return FindResult::Failed;
        // The last occurrence in the window: forward searches, each after the one before.
        const uint8_t* last = nullptr;
        for (const uint8_t* p = buffer.get(); p + patternLength <= buffer.get() + n;) {
            const uint8_t* hit = SearchBytes(p, static_cast<size_t>(buffer.get() + n - p),
                                             pat.data(), pat.size(), mode);
            if (hit == nullptr) break;
            last = hit;
            p = hit + 1;
        }
        if (last != nullptr) {
            at = low + static_cast<uint64_t>(last - buffer.get());
            return FindResult::Found;
        }
        if (low == 0) break;
        // The next window ends with this one's first patternLength - 1 bytes.
        high = low + patternLength - 1;
        if (progress && !progress(total - high, total)) return FindResult::Cancelled;
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
    if (baseFd_ >= 0) close(baseFd_);
    dataFd_ = mapFd_ = baseFd_ = -1;
    modified_ = false;
    ClearHistory();
}

void HexDocument::ClearHistory() {
    undo_.clear();
    redo_.clear();
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

int HexDocument::AttachOverlay(int baseFd, uint64_t length, const std::string& baseName) {
    Detach();
    searched_ = false;
    if (!baseName.empty()) baseName_ = baseName;
    if (baseName.empty()) return 1;
    // Sparse: only the pages of typed bytes are ever allocated.
    int data = open(DataPath(baseName).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int map = open(MapPath(baseName).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (data < 0 || map < 0 || ftruncate(data, static_cast<off_t>(length)) != 0 ||
        ftruncate(map, static_cast<off_t>(MapSize(length))) != 0) {
        if (data >= 0) close(data);
        if (map >= 0) close(map);
        return 1;
    }
    dataFd_ = data;
    mapFd_ = map;
    baseFd_ = baseFd;
    length_ = length;
    baseAddress_ = 0;
    position = top = 0;
    column = kColumnHigh;
    ClearSelection();
    return 0;
}

bool HexDocument::Rebase(int fd) {
    if (baseFd_ < 0 || fd < 0) return false;
    if (fd != baseFd_) {
        close(baseFd_);
        baseFd_ = fd;
    }
    // The typed bytes are in the new base now: the overlay's pages go with the marks.
    bool ok = ftruncate(dataFd_, 0) == 0 && ftruncate(dataFd_, static_cast<off_t>(length_)) == 0;
    return ClearMap() && ok;
}

bool HexDocument::ForEachRun(uint64_t from, uint64_t to,
                             const std::function<bool(uint64_t, uint64_t)>& fn) const {
    if (mapFd_ < 0) return true;
    to = std::min(to, length_);
    if (from >= to) return true;
    uint8_t piece[8192];
    uint64_t runStart = 0, runEnd = 0;  // the open run; empty when equal
    auto flush = [&]() {
        bool go = runEnd == runStart || fn(runStart, runEnd - runStart);
        runStart = runEnd = 0;
        return go;
    };
    // Marks of byte i: map byte i / 8, so the map's holes (SEEK_DATA) skip unmarked stretches.
    const uint64_t mapEnd = (to - 1) / 8 + 1;
    uint64_t m = from / 8;
    while (m < mapEnd) {
        off_t data = lseek(mapFd_, static_cast<off_t>(m), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // no marks from here on
        uint64_t dataEnd = mapEnd;
        if (data >= 0) {
            m = std::max<uint64_t>(m, static_cast<uint64_t>(data));
            off_t hole = lseek(mapFd_, static_cast<off_t>(m), SEEK_HOLE);
            if (hole >= 0) dataEnd = std::min<uint64_t>(mapEnd, static_cast<uint64_t>(hole));
        }
        while (m < dataEnd) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof piece, dataEnd - m));
            if (!PreadAll(mapFd_, piece, n, m)) return false;
            for (size_t k = 0; k < n; ++k) {
                if (piece[k] == 0) continue;
                for (unsigned bit = 0; bit < 8; ++bit) {
                    if (!((piece[k] >> bit) & 1)) continue;
                    uint64_t i = (m + k) * 8 + bit;
                    if (i < from || i >= to) continue;
                    if (runEnd == i && i % kHexChunk != 0) {
                        ++runEnd;
                    } else {
                        if (!flush()) return false;
                        runStart = i;
                        runEnd = i + 1;
                    }
                }
            }
            m += n;
        }
    }
    return flush();
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
    if (baseFd_ < 0) return PreadAll(dataFd_, buffer, n, offset) ? n : 0;
    // The file's bytes, with the typed ones from the overlay on top.
    auto* p = static_cast<uint8_t*>(buffer);
    if (!PreadAll(baseFd_, p, n, offset)) return 0;
    if (!modified_) return n;
    bool ok = ForEachRun(offset, offset + n, [&](uint64_t at, uint64_t k) {
        return PreadAll(dataFd_, p + (at - offset), static_cast<size_t>(k), at);
    });
    return ok ? n : 0;
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
    modified_ = false;
    ClearHistory();
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
    modified_ = true;
    uint8_t byte = 0;
    if (!PreadAll(mapFd_, &byte, 1, offset / 8)) return false;
    byte = static_cast<uint8_t>(byte | (1u << (offset % 8)));
    return PwriteAll(mapFd_, &byte, 1, offset / 8);
}

bool HexDocument::WriteBytes(uint64_t offset, const uint8_t* bytes, size_t count) {
    if (mapFd_ < 0 || offset >= length_) return false;
    count = static_cast<size_t>(std::min<uint64_t>(count, length_ - offset));
    if (count == 0 || !PwriteAll(dataFd_, bytes, count, offset)) return false;
    modified_ = true;
    // The map bytes of the range, read, marked and written back.
    const uint64_t first = offset / 8, last = (offset + count - 1) / 8;
    std::vector<uint8_t> map(static_cast<size_t>(last - first + 1));
    if (!PreadAll(mapFd_, map.data(), map.size(), first)) return false;
    for (uint64_t i = offset; i < offset + count; ++i) {
        map[static_cast<size_t>(i / 8 - first)] |= static_cast<uint8_t>(1u << (i % 8));
    }
    return PwriteAll(mapFd_, map.data(), map.size(), first);
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
    Edit edit{position, 0, 0, IsModified(position), position, column};
    if (ReadData(&edit.before, position, 1) != 1) return false;
    if (!TypeAtCaret(c)) return false;
    if (ReadData(&edit.after, edit.offset, 1) != 1) return false;
    undo_.push_back(edit);
    redo_.clear();
    return true;
}

bool HexDocument::TypeAtCaret(uint8_t c) {
    if (column == kColumnAscii) {
        if (!WriteByte(position, c)) return false;
        Step(1, 0);
        return true;
    }
    if (column != kColumnHigh && column != kColumnLow) return false;
    const int digit = HexDigitValue(static_cast<char>(c));
    if (digit < 0) return false;
    uint8_t byte = 0;
    if (ReadData(&byte, position, 1) != 1) return false;
    byte = column == kColumnHigh ? static_cast<uint8_t>((byte & 0x0F) | (digit << 4))
                                 : static_cast<uint8_t>((byte & 0xF0) | digit);
    if (!WriteByte(position, byte)) return false;
    Step(1, 0);
    return true;
}

bool HexDocument::AnyMark() const {
    bool found = false;
    ForEachRun(0, length_, [&](uint64_t, uint64_t) {
        found = true;
        return false;
    });
    return found;
}

bool HexDocument::Undo() {
    if (undo_.empty() || mapFd_ < 0) return false;
    const Edit edit = undo_.back();
    // The byte written back unmarked reads as the file's again (an overlay shows only marked
    // bytes); a byte typed over before keeps its mark.
    if (!PwriteAll(dataFd_, &edit.before, 1, edit.offset)) return false;
    if (!edit.wasMarked && !ClearMarks(edit.offset, 1)) return false;
    undo_.pop_back();
    redo_.push_back(edit);
    modified_ = AnyMark();
    position = edit.position;
    column = edit.column;
    ClearSelection();
    return true;
}

bool HexDocument::Redo() {
    if (redo_.empty() || mapFd_ < 0) return false;
    const Edit edit = redo_.back();
    if (!WriteByte(edit.offset, edit.after)) return false;
    redo_.pop_back();
    undo_.push_back(edit);
    position = edit.position;
    column = edit.column;
    Step(1, 0);
    ClearSelection();
    return true;
}

bool HexDocument::MoveTo(uint64_t offset) {
    if (dataFd_ < 0 || offset >= length_) return false;
    position = offset;
    if (column == kColumnAddress || column == kColumnLow) column = kColumnHigh;
    ClearSelection();
    if (offset < top || offset >= top + PageBytes()) {
        top = std::min(offset - offset % kBytesPerRow, LastPageTop());
    }
    return true;
}

void HexDocument::SelectFound(uint64_t at, size_t length) {
    searched_ = true;
    top = std::min(at - at % kBytesPerRow, LastPageTop());
    position = at;
    selStart = static_cast<int64_t>(at);
    selEnd = static_cast<int64_t>(at + length);
}

FindResult HexDocument::FindAgain(const std::vector<uint8_t>& pattern, FindMode mode, bool backward,
                                  bool& wrapped, const ProgressFn& progress) {
    wrapped = false;
    if (dataFd_ < 0) return FindResult::NotFound;
    const ReadFn read = [this](uint8_t* buffer, size_t count, uint64_t offset) {
        return ReadData(buffer, offset, count) == count;
    };
    uint64_t at = 0;
    FindResult result;
    if (backward) {
        result = FindBackWith(read, length_, pattern.data(), pattern.size(), mode, position, at,
                              progress);
        if (result == FindResult::NotFound) {
            result = FindBackWith(read, length_, pattern.data(), pattern.size(), mode, length_, at,
                                  progress);
            wrapped = result == FindResult::Found;
        }
    } else {
        const uint64_t from = searched_ ? position + 1 : position;
        result = FindWith(read, length_, pattern.data(), pattern.size(), mode, from, at, progress);
        if (result == FindResult::NotFound && from > 0) {
            result = FindWith(read, length_, pattern.data(), pattern.size(), mode, 0, at, progress);
            wrapped = result == FindResult::Found;
        }
    }
    if (result != FindResult::Found) return result;
    SelectFound(at, pattern.size());
    return result;
}

FindResult HexDocument::FindNext(const std::vector<uint8_t>& pattern, FindMode mode,
                                 const ProgressFn& progress) {
    if (dataFd_ < 0) return FindResult::NotFound;
    // The first search since attach starts at the caret itself: offset 0 unless the user
    // moved it; later ones after the occurrence under the caret.
    uint64_t from = searched_ ? position + 1 : position;
    uint64_t at = 0;
    FindResult result =
        FindWith([this](uint8_t* buffer, size_t count,
                        uint64_t offset) { return ReadData(buffer, offset, count) == count; },
                 length_, pattern.data(), pattern.size(), mode, from, at, progress);
    if (result != FindResult::Found) return result;
    SelectFound(at, pattern.size());
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

// Copies [from, to) of in to the same offsets of out: in-kernel where possible.
FileResult CopyRange(int in, int out, uint64_t from, uint64_t to, uint64_t count,
                     const ProgressFn& progress, bool& kernelCopy,
                     std::unique_ptr<uint8_t[]>& buffer) {
    uint64_t done = from;
    while (done < to) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(kHexChunk, to - done));
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

}  // namespace

FileResult CopyFileData(int in, int out, uint64_t count, const ProgressFn& progress) {
    if (ioctl(out, FICLONE, in) == 0) {
        struct stat st {};
        return fstat(out, &st) == 0 && static_cast<uint64_t>(st.st_size) == count
                   ? FileResult::Ok
                   : FileResult::WriteFailed;
    }
    if (ftruncate(out, 0) != 0) return FileResult::WriteFailed;
    bool kernelCopy = true;
    std::unique_ptr<uint8_t[]> buffer;
    // Only the data extents: holes of a sparse image stay holes (the size is set at the end).
    uint64_t at = 0;
    while (at < count) {
        off_t data = lseek(in, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;
        uint64_t from = data < 0 ? at : static_cast<uint64_t>(data);
        if (from >= count) break;
        off_t hole = data < 0 ? -1 : lseek(in, data, SEEK_HOLE);
        uint64_t to = hole < 0 ? count : std::min<uint64_t>(count, static_cast<uint64_t>(hole));
        FileResult r = CopyRange(in, out, from, to, count, progress, kernelCopy, buffer);
        if (r != FileResult::Ok) return r;
        at = to;
    }
    struct stat st {};
    if (ftruncate(out, static_cast<off_t>(count)) != 0 || fstat(in, &st) != 0 ||
        static_cast<uint64_t>(st.st_size) != count) {
        return FileResult::WriteFailed;
    }
    return FileResult::Ok;
}

FileResult MakeWorkingCopy(const std::string& source, const std::string& target,
                           uint64_t expectedSize, const ProgressFn& progress) {
    int in = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) return FileResult::OpenFailed;
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return FileResult::OpenFailed;
    }
    FileResult result = CopyFileData(in, out, expectedSize, progress);
    if (close(out) != 0 && result == FileResult::Ok) result = FileResult::WriteFailed;
    close(in);
    if (result != FileResult::Ok) unlink(target.c_str());
    return result;
}

bool HexTextToBytes(const std::string& text, std::vector<uint8_t>& bytes) {
    if (!IsHexString(text)) return false;
    std::string digits = text.size() % 2 ? "0" + text : text;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(
            static_cast<uint8_t>(LeadingHexValue(std::string_view(digits).substr(i, 2))));
    }
    return true;
}

}  // namespace kvt
