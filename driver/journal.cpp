#include "driver/journal.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "driver/audit.h"
#include "protocol/pci_address.h"

namespace kvt::driver {

namespace {

using Json = nlohmann::ordered_json;

// Longest line read back: a 4 KiB memory write keeps three hex copies of its bytes.
constexpr size_t kMaxLine = 64 * 1024;

constexpr const char* kKindNames[] = {"port", "pci", "memory", "msr", "smbus", "cmos"};

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * bytes.size());
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

bool FromHex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0) return false;
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [](char c) {
            return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        };
        int hi = digit(text[i]), lo = digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

// A value as the public document gives it: a number up to 8 bytes, else hex bytes in address
// order; null when not known.
Json PublicValue(const std::vector<uint8_t>& bytes, bool known) {
    if (!known || bytes.empty()) return nullptr;
    if (bytes.size() > 8) return Hex(bytes);
    uint64_t value = 0;
    for (size_t i = bytes.size(); i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

Json PublicAddress(const JournalEntry& e) {
    using Kind = JournalEntry::Kind;
    switch (e.kind) {
        case Kind::Port:
            return e.port;
        case Kind::Memory:
            return e.physical;
        case Kind::Msr:
            return Json{{"msr", e.msr}, {"processor", e.processor}};
        case Kind::Pci: {
            // Sized writes keep the whole register, bits 11-8 in the extended form's bits.
            const PciAddress a = PciAddress::FromExtendedConfigAddress(e.configAddress);
            return Json{{"bus", a.bus},
                        {"device", a.device},
                        {"function", a.function},
                        // through the PCI Express window: the register's whole offset
                        {"offset", e.physical != 0 ? e.offset
                                   : e.width == 4  ? a.reg & 0xFFCu
                                                   : a.reg}};
        }
        case Kind::Smbus: {
            const PciAddress a = PciAddress::FromConfigAddress(e.configAddress);
            return Json{{"bus", a.bus},   {"device", a.device}, {"function", a.function},
                        {"base", e.port}, {"slave", e.slave},   {"command", e.command}};
        }
        case Kind::Cmos:
            return Json{{"bank", e.port}, {"offset", e.offset}};
    }
    return nullptr;
}

Json PublicObject(const JournalEntry& e) {
    Json object = {{"id", e.id},
                   {"time", e.time},
                   {"user", e.user},
                   {"kind", KindName(e.kind)},
                   {"address", PublicAddress(e)},
                   {"width", e.width},
                   {"old", PublicValue(e.oldValue, e.oldKnown)},
                   {"new", PublicValue(e.newValue, true)}};
    if (e.undoOf) object["undo_of"] = *e.undoOf;
    return object;
}

std::string NowIso() {
    auto now = std::chrono::system_clock::now();
    time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms.count()));
    return text;
}

}  // namespace

const char* KindName(JournalEntry::Kind kind) {
    return kKindNames[static_cast<int>(kind)];
}

std::string JournalEntry::PublicJson() const {
    return PublicObject(*this).dump();
}

std::string JournalLine(const JournalEntry& e) {
    Json line = PublicObject(e);
    // What an undo needs beyond the public fields, exactly.
    line["raw"] = {{"uid", e.uid},
                   {"port", e.port},
                   {"config", e.configAddress},
                   {"physical", e.physical},
                   {"msr", e.msr},
                   {"processor", e.processor},
                   {"offset", e.offset},
                   {"slave", e.slave},
                   {"command", e.command},
                   {"op", e.op},
                   {"old", Hex(e.oldValue)},
                   {"old_known", e.oldKnown},
                   {"new", Hex(e.newValue)},
                   {"after", Hex(e.after)}};
    return line.dump() + "\n";
}

bool ParseJournalLine(const std::string& text, JournalEntry& e) {
    Json line = Json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object()) return false;
    try {
        e = JournalEntry{};
        e.id = line.at("id").get<uint64_t>();
        e.time = line.at("time").get<std::string>();
        e.user = line.at("user").get<std::string>();
        std::string kind = line.at("kind").get<std::string>();
        bool known = false;
        for (int i = 0; i < 6; ++i) {
            if (kind == kKindNames[i]) {
                e.kind = static_cast<JournalEntry::Kind>(i);
                known = true;
            }
        }
        if (!known || e.id == 0) return false;
        e.width = line.at("width").get<uint32_t>();
        if (line.contains("undo_of")) e.undoOf = line["undo_of"].get<uint64_t>();
        const Json& raw = line.at("raw");
        e.uid = raw.at("uid").get<uint32_t>();
        e.port = raw.at("port").get<uint32_t>();
        e.configAddress = raw.at("config").get<uint32_t>();
        e.physical = raw.at("physical").get<uint64_t>();
        e.msr = raw.at("msr").get<uint32_t>();
        e.processor = raw.at("processor").get<uint32_t>();
        e.offset = raw.at("offset").get<uint32_t>();
        e.slave = raw.at("slave").get<uint32_t>();
        e.command = raw.at("command").get<uint32_t>();
        e.op = raw.at("op").get<uint32_t>();
        e.oldKnown = raw.at("old_known").get<bool>();
        return FromHex(raw.at("old").get<std::string>(), e.oldValue) &&
               FromHex(raw.at("new").get<std::string>(), e.newValue) &&
               FromHex(raw.at("after").get<std::string>(), e.after);
    } catch (const Json::exception&) {
        return false;
    }
}

WriteJournal::WriteJournal(std::string file, size_t limit)
    : file_(std::move(file)), limit_(limit == 0 ? 1 : limit) {}

WriteJournal::~WriteJournal() {
    if (fd_ >= 0) close(fd_);
    if (lockFd_ >= 0) close(lockFd_);
}

bool WriteJournal::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    size_t count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.size() > kMaxLine) continue;
        JournalEntry entry;
        // A torn line (a crash while it was written) or one out of order is skipped.
        if (!ParseJournalLine(line, entry) || entry.id < nextId_) continue;
        nextId_ = entry.id + 1;
        entries_.push_back(std::move(entry));
        ++count;
    }
    inFile_ = count;
    return true;
}

bool WriteJournal::Open(std::string* error) {
    size_t slash = file_.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : file_.substr(0, slash ? slash : 1);
    struct stat st;
    // Only a folder that others cannot change, and never a link in place of the file.
    if (!MakeFolders(folder) || lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & 022) != 0) {
        why_ = folder + " is not a folder only its owner may change";
        if (error) *error = why_;
        return false;
    }
    // One daemon per journal: a second one would hand out the same ids and rotate the file
    // under the first. The lock lives in a file of its own, which rotation leaves in place.
    // A daemon that was just told to stop may still hold it for a moment: wait up to 2 s.
    int lock = ::open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    int cause = lock < 0 ? errno : 0;
    for (int i = 0; lock >= 0 && i <= 100; ++i) {
        if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
            cause = 0;
            break;
        }
        cause = errno;
        if (cause != EWOULDBLOCK) break;
        usleep(20000);
    }
    if (lock < 0 || cause != 0) {
        why_ = cause == EWOULDBLOCK ? file_ + " is kept by another running daemon"
                                    : file_ + ".lock cannot be used (" + std::strerror(cause) + ")";
        if (lock >= 0) close(lock);
        if (error) *error = why_;
        return false;
    }
    lockFd_ = lock;
    Load(file_ + ".1");
    Load(file_);
    int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        why_ = file_ + " cannot be written (" + std::strerror(fd < 0 ? errno : EPERM) + ")";
        if (fd >= 0) close(fd);
        if (error) *error = why_;
        return false;
    }
    fd_ = fd;
    return true;
}

std::string WriteJournal::StatusLine() const {
    if (fd_ < 0) return "journal: off (" + why_ + ")";
    return "journal: " + file_ + " (" + std::to_string(entries_.size()) + " entries)";
}

bool WriteJournal::Rotate() {
    if (rename(file_.c_str(), (file_ + ".1").c_str()) != 0) return false;
    int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd_);
    fd_ = fd;
    // Entries of the file that was .1 are gone now.
    while (entries_.size() > inFile_) entries_.pop_front();
    inFile_ = 0;
    return true;
}

bool WriteJournal::Append(JournalEntry& entry) {
    if (fd_ < 0) return false;
    if (inFile_ >= limit_ && !Rotate()) {
        why_ = file_ + " could not be rotated (" + std::strerror(errno) + ")";
        return false;
    }
    entry.id = nextId_;
    entry.time = NowIso();
    std::string line = JournalLine(entry);
    // One write of the whole line, then to the disk: a crash loses at most this entry.
    ssize_t n = write(fd_, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size())) {
        // A partial line is skipped when read back; the next entry starts on a line of its own.
        if (n > 0) {
            ssize_t ignored = write(fd_, "\n", 1);
            (void)ignored;
        }
        return false;
    }
    fdatasync(fd_);
    ++nextId_;
    ++inFile_;
    entries_.push_back(entry);
    return true;
}

std::vector<const JournalEntry*> WriteJournal::Newest(uint64_t before, size_t count,
                                                      bool& more) const {
    std::vector<const JournalEntry*> out;
    size_t end = entries_.size();
    while (before != 0 && end > 0 && entries_[end - 1].id >= before) --end;
    size_t begin = end > count ? end - count : 0;
    for (size_t i = begin; i < end; ++i) out.push_back(&entries_[i]);
    more = begin > 0;
    return out;
}

const JournalEntry* WriteJournal::Find(uint64_t id) const {
    // Ids increase along the list.
    size_t lo = 0, hi = entries_.size();
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        if (entries_[mid].id < id)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < entries_.size() && entries_[lo].id == id ? &entries_[lo] : nullptr;
}

const JournalEntry* WriteJournal::UndoneBy(uint64_t id) const {
    for (size_t i = entries_.size(); i-- > 0;) {
        if (entries_[i].id <= id) break;
        if (entries_[i].undoOf == id) return &entries_[i];
    }
    return nullptr;
}

const JournalEntry* WriteJournal::NewestUndoable() const {
    // Walks back over undo entries and the writes they undid.
    std::vector<uint64_t> undone;
    for (size_t i = entries_.size(); i-- > 0;) {
        const JournalEntry& e = entries_[i];
        if (e.undoOf) {
            undone.push_back(*e.undoOf);
            continue;
        }
        if (std::find(undone.begin(), undone.end(), e.id) != undone.end()) continue;
        return &e;
    }
    return nullptr;
}

std::string DefaultJournalFile(bool hostDaemon, const std::string& boardProfile) {
    if (hostDaemon) return "/var/lib/korvanta/journal";
    std::string name = boardProfile.substr(boardProfile.find_last_of('/') + 1);
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0)
        name.resize(name.size() - 5);
    if (name.empty() || name[0] == '.') name = "board" + name;
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/korvanta/journal/" + name;
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/korvanta/journal/" + name;
    return "/tmp/korvanta-" + std::to_string(getuid()) + "/journal/" + name;
}

std::string UserName(uid_t uid) {
    passwd entry{}, *result = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &result) == 0 && result != nullptr)
        return result->pw_name;
    return std::to_string(uid);
}

}  // namespace kvt::driver
