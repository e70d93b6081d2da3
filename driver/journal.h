// The daemon's write journal: one entry per served write, with the value the target held
// before it where that can be read without side effects, so the write can be undone.
//
// Stored as JSON lines, one entry each, appended and flushed to disk before the write is
// answered, so a crash loses at most the entry being written (a torn last line is skipped when
// the file is read again). When the file holds `limit` entries it becomes FILE.1 (replacing
// the one before) and a new file starts; ids keep increasing across files and restarts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace kvt::driver {

struct JournalEntry {
    enum class Kind { Port, Pci, Memory, Msr, Smbus, Cmos };

    uint64_t id = 0;
    std::string time;  // ISO-8601, UTC
    std::string user;  // the caller's user name, or its uid when it has none
    uint32_t uid = 0;
    Kind kind = Kind::Port;
    // The target, by kind: port (port), pci (configAddress with its register; a write through
    // the PCI Express window also physical = its address, offset = the whole register), memory
    // (physical), msr (msr, processor), smbus (configAddress of the controller's function,
    // port = its I/O base, slave, command, op = SmbusKernelOp), cmos (port = the bank's index
    // port, offset).
    uint32_t port = 0, configAddress = 0, msr = 0, processor = 0, offset = 0;
    uint32_t slave = 0, command = 0, op = 0;
    uint64_t physical = 0;
    uint32_t width = 0;  // bytes written
    // Values as the bytes of the target, least significant first. `oldValue` is empty when
    // the old value is unknown (ports; registers whose reads have effects; long memory writes);
    // `newValue` is empty for memory writes too long to keep. `after` is what the target read
    // right after the write (empty when it was not read): an undo compares the target with it,
    // so bits the hardware ignores do not count as a change made since.
    std::vector<uint8_t> oldValue, newValue, after;
    bool oldKnown = false;
    std::optional<uint64_t> undoOf;  // the entry this one undid

    // The entry's public JSON object: id, time, user, kind, address, width, old, new (and
    // undo_of for an undo).
    std::string PublicJson() const;
};

const char* KindName(JournalEntry::Kind kind);

// Bits of an smbus entry's op beside its SmbusKernelOp: the write went through the
// controller's ports (not the kernel's adapter), and the controller's host interface there.
inline constexpr uint32_t kJournalOpThroughPorts = 0x100;
inline constexpr uint32_t kJournalOpAcpiStyle = 0x200;
inline constexpr uint32_t kJournalOpMask = 0xFF;

// Memory writes up to this many bytes keep their old and new bytes.
inline constexpr uint32_t kJournalMaxBytes = 4096;
// Entries per file before it is rotated.
inline constexpr size_t kJournalDefaultLimit = 10000;

class WriteJournal {
  public:
    WriteJournal(std::string file, size_t limit = kJournalDefaultLimit);
    ~WriteJournal();
    WriteJournal(const WriteJournal&) = delete;
    WriteJournal& operator=(const WriteJournal&) = delete;

    // Creates the folder (mode 0700), takes the journal's lock (FILE.lock) and reads the
    // entries kept so far; false (with `error`) when the file cannot be used or another
    // running daemon keeps it: the journal is off then.
    bool Open(std::string* error);
    bool open() const { return fd_ >= 0; }
    const std::string& file() const { return file_; }
    // "journal: FILE (N entries)" or "journal: off (why)".
    std::string StatusLine() const;

    // Gives the entry its id and time and appends it; false when it could not be written.
    bool Append(JournalEntry& entry);

    // The newest `count` entries with an id below `before` (0: from the newest), oldest first.
    // `more` tells whether older ones are kept.
    std::vector<const JournalEntry*> Newest(uint64_t before, size_t count, bool& more) const;
    const JournalEntry* Find(uint64_t id) const;
    // The undo entry of `id`, if it was undone.
    const JournalEntry* UndoneBy(uint64_t id) const;
    // The newest entry that is no undo and was not undone.
    const JournalEntry* NewestUndoable() const;

  private:
    bool Load(const std::string& path);
    bool Rotate();

    std::string file_;
    size_t limit_;
    int fd_ = -1;
    int lockFd_ = -1;  // holds the journal's lock while the daemon runs
    std::string why_;
    size_t inFile_ = 0;  // entries in the current file
    uint64_t nextId_ = 1;
    std::deque<JournalEntry> entries_;  // the previous file's and the current file's, by id
};

// Parses one stored line; false for a torn or foreign line.
bool ParseJournalLine(const std::string& line, JournalEntry& entry);
std::string JournalLine(const JournalEntry& entry);

// The journal of a daemon: /var/lib/korvanta/journal for the host daemon; for a board daemon,
// journal/<profile name> in the user's state folder ($XDG_STATE_HOME or ~/.local/state)/korvanta.
std::string DefaultJournalFile(bool hostDaemon, const std::string& boardProfile);
// The user name of a uid, or the number as text.
std::string UserName(uid_t uid);

}  // namespace kvt::driver
