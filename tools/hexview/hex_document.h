// The data behind the hex edit control: a data file that holds the bytes and a modification
// map with one bit per byte (bit i mod 8 of map byte i / 8). Nothing is held in memory whole:
// the control reads the rows it shows, edits go straight into the file, and bulk work (find,
// copy, save) streams the data in windows of 4 MiB. Offsets are 64-bit, so any file size works.
// The caret, top row and selection of the control live here too, so searching and typing
// follow the same rules in the window and on the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvt {

inline constexpr uint64_t kHexChunk = 0x400000;  // bulk transfers go through 4 MiB

// Called now and then during long work with the bytes done and the total; returning false
// cancels the work.
using ProgressFn = std::function<bool(uint64_t done, uint64_t total)>;

enum class FindMode { IgnoreCase = 0, Exact = 1 };
enum class FindResult { Found, NotFound, Cancelled, Failed };

// Caret columns.
enum CaretColumn { kColumnAddress = 0, kColumnAscii = 1, kColumnHigh = 2, kColumnLow = 3 };

// Fills buffer with count bytes from offset; false on a read error.
using ReadFn = std::function<bool(uint8_t* buffer, size_t count, uint64_t offset)>;

// The first offset >= from where pattern occurs completely inside [0, length) of the file,
// reading windows of 4 MiB that overlap by the pattern length less one. IgnoreCase folds only
// A-Z and a-z.
FindResult FindInFile(int fd, uint64_t length, const uint8_t* pattern, size_t patternLength,
                      FindMode mode, uint64_t from, uint64_t& at, const ProgressFn& progress = {});
// The same over bytes that read supplies.
FindResult FindWith(const ReadFn& read, uint64_t length, const uint8_t* pattern,
                    size_t patternLength, FindMode mode, uint64_t from, uint64_t& at,
                    const ProgressFn& progress = {});
// The last offset < before where pattern occurs completely inside [0, length), searching
// windows backwards from there.
FindResult FindBackWith(const ReadFn& read, uint64_t length, const uint8_t* pattern,
                        size_t patternLength, FindMode mode, uint64_t before, uint64_t& at,
                        const ProgressFn& progress = {});
// First occurrence of pattern in [hay, hay + n), or null; vector filters where the processor
// has them. IgnoreCase expects a pattern already folded to lower case.
const uint8_t* SearchBytes(const uint8_t* hay, size_t n, const uint8_t* pattern, size_t m,
                           FindMode mode);

class HexDocument {
  public:
    static constexpr uint32_t kBytesPerRow = 16;
    static constexpr uint64_t kMaxCopy = kHexChunk;  // largest selection Copy takes

    HexDocument() = default;
    // Closes the files; with a base name both files are deleted.
    ~HexDocument();
    HexDocument(const HexDocument&) = delete;
    HexDocument& operator=(const HexDocument&) = delete;

    static std::string DataPath(const std::string& baseName) { return baseName + ".tmp"; }
    static std::string MapPath(const std::string& baseName) { return baseName + "map.tmp"; }

    // 0 on success, 1 on failure. Closes any attached files first. Length 0 only detaches.
    // Otherwise opens base name + ".tmp" for reading and writing (it must hold at least
    // length bytes) and makes base name + "map.tmp" all zero; the caret goes to the high
    // nibble of byte 0.
    int Attach(uint64_t length, uint64_t baseAddress, const std::string& baseName);
    // Shows the file behind baseFd without copying it: the data file (base name + ".tmp",
    // made sparse, length bytes) holds only the bytes typed since, which the map marks; the
    // document takes baseFd on success. 0 on success, 1 on failure.
    int AttachOverlay(int baseFd, uint64_t length, const std::string& baseName);
    // Shows a file in place, read-only and without a map (searching on the command line).
    bool AttachReadOnly(const std::string& path);
    // Closes the files; they stay on disk.
    void Detach();
    // Closes and deletes both files of the base name.
    void RemoveFiles();

    bool attached() const { return dataFd_ >= 0; }
    bool writable() const { return mapFd_ >= 0; }
    uint64_t length() const { return length_; }
    uint64_t baseAddress() const { return baseAddress_; }
    const std::string& baseName() const { return baseName_; }
    int dataFd() const { return dataFd_; }
    // The file shown under an overlay, or -1.
    int baseFd() const { return baseFd_; }
    // After the marked bytes went into the file behind fd (the base or a copy of it): fd
    // becomes the base, the marks and typed bytes go. The document takes fd.
    bool Rebase(int fd);
    // Calls fn for each run of marked bytes in [from, to) in order (runs never cross a
    // 4 MiB boundary); stops when fn returns false. False on a read error or a stop.
    bool ForEachRun(uint64_t from, uint64_t to,
                    const std::function<bool(uint64_t offset, uint64_t count)>& fn) const;
    // True once a byte was typed since attach, the last Rebase or ClearMap.
    bool modified() const { return modified_; }

    // Copies up to count bytes from offset; returns the count copied (0 from offset >= length).
    size_t ReadData(void* buffer, uint64_t offset, size_t count) const;
    // The map bytes covering data bytes offset ... offset + count - 1 (count cut to the
    // data); returns the number of map bytes copied (0 from offset >= length).
    size_t ReadMap(uint8_t* buffer, uint64_t offset, size_t count) const;
    bool IsModified(uint64_t offset) const;
    // Every mark gone.
    bool ClearMap();
    // The marks of count bytes from offset gone.
    bool ClearMarks(uint64_t offset, uint64_t count);
    // Writes one byte at once and marks it.
    bool WriteByte(uint64_t offset, uint8_t value);
    // Writes count bytes at once and marks them (count cut to the data).
    bool WriteBytes(uint64_t offset, const uint8_t* bytes, size_t count);

    // --- control state -------------------------------------------------------------------
    uint64_t top = 0;       // first byte of the top row, a multiple of kBytesPerRow
    uint64_t position = 0;  // byte under the caret
    int column = kColumnHigh;
    int64_t selStart = -1, selEnd = -1;  // -1, -1: no selection
    uint32_t visibleRows = 1;            // set by the control from its height

    bool HasSelection() const { return selStart >= 0 && selEnd >= 0 && selStart != selEnd; }
    void ClearSelection() { selStart = selEnd = -1; }
    uint64_t SelectionLow() const;
    uint64_t SelectionHigh() const;
    uint64_t RowCount() const;     // rows the data occupies
    uint64_t LastPageTop() const;  // the top at which the last row is the bottom row
    uint64_t PageBytes() const { return uint64_t(visibleRows) * kBytesPerRow; }

    // One caret step: dx = ±1 (by nibble in the hexadecimal columns), dy = ±1 row. A step
    // that would leave the data is undone. Returns true when the position or column changed.
    bool Step(int dx, int dy);
    // A typed character at the caret: a hexadecimal digit into a nibble, any character into
    // the ASCII column; written and marked at once, then the caret steps right. False when
    // the character is not taken.
    bool Type(uint8_t character);
    // Undo and redo of typed bytes, one keystroke at a time: the byte, its mark and the caret
    // go back to what they were before it (or after it). The history starts empty at attach
    // and at Rebase / ClearMap, whose bytes are no longer the document's to take back.
    bool CanUndo() const { return !undo_.empty(); }
    bool CanRedo() const { return !redo_.empty(); }
    bool Undo();
    bool Redo();
    // The caret to offset, its row brought into view (at the top when it was out of view) and
    // the selection cleared; false beyond the data.
    bool MoveTo(uint64_t offset);

    // Searches from the caret: the first search after attach from the position itself (0
    // unless the caret was moved), later ones from the position + 1. On a find the occurrence is
    // selected, the caret moves to it and its row goes to the top (never below the last page).
    FindResult FindNext(const std::vector<uint8_t>& pattern, FindMode mode,
                        const ProgressFn& progress = {});
    // Find next (as FindNext) or previous (the last occurrence starting before the caret),
    // going on from the other end of the data when that side has none; wrapped tells whether
    // it did so to find the occurrence.
    FindResult FindAgain(const std::vector<uint8_t>& pattern, FindMode mode, bool backward,
                         bool& wrapped, const ProgressFn& progress = {});

    enum class CopyResult { Ok, NoSelection, TooLarge, Failed };
    // The selected bytes (lower mark inclusive to higher mark exclusive).
    CopyResult CopySelection(std::string& bytes) const;

  private:
    struct Edit {
        uint64_t offset;
        uint8_t before, after;
        bool wasMarked;
        uint64_t position;  // the caret before the keystroke
        int column;
    };
    void Close();
    void ClearHistory();
    bool AnyMark() const;
    void SelectFound(uint64_t at, size_t length);
    bool TypeAtCaret(uint8_t character);
    std::vector<Edit> undo_, redo_;
    int dataFd_ = -1;
    int baseFd_ = -1;
    bool modified_ = false;
    int mapFd_ = -1;
    uint64_t length_ = 0;
    uint64_t baseAddress_ = 0;
    std::string baseName_;
    bool searched_ = false;
};

// ---- files -------------------------------------------------------------------------------

enum class FileResult { Ok, OpenFailed, WriteFailed, Cancelled };

// Opens path for reading and writing (following symbolic links; regular files only) and
// returns its size. OpenFailed for anything else, a missing or read-only file.
FileResult CheckEditableFile(const std::string& path, uint64_t& size);

// Copies source to target (replaced): a reflink where the file system shares blocks, else in
// 4 MiB chunks, holes kept. A failed, short or cancelled copy removes the target.
FileResult MakeWorkingCopy(const std::string& source, const std::string& target,
                           uint64_t expectedSize, const ProgressFn& progress = {});
// count bytes of in to out at offset 0: a reflink, else in-kernel copies of the data extents
// only (holes stay holes), else through a buffer; out is cut to count.
FileResult CopyFileData(int in, int out, uint64_t count, const ProgressFn& progress = {});

// HEX-mode text to bytes: IsHexString, odd digit counts get a leading 0. False when invalid.
bool HexTextToBytes(const std::string& text, std::vector<uint8_t>& bytes);

}  // namespace kvt
