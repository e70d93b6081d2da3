#include "tools/hexview/file_save.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "tools/hexview/file_io.h"

namespace kvt {
namespace {

constexpr char kMagic[8] = {'K', 'V', 'T', 'J', 'R', 'N', 'L', '1'};
constexpr char kEndMagic[8] = {'K', 'V', 'T', 'J', 'E', 'N', 'D', '1'};
constexpr size_t kHeaderSize = 32;   // magic, device, inode, file size
constexpr size_t kTrailerSize = 24;  // record count, hash of all before, end magic

uint64_t Fnv(uint64_t hash, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}
constexpr uint64_t kFnvStart = 0xcbf29ce484222325ull;

void Put64(std::vector<uint8_t>& out, uint64_t v) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t Get64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

void SyncFolder(const std::string& folder) {
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

// A folder of the user's own, made 0700 when missing; no link.
bool OwnFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The journal being written: records buffered and appended, the hash kept as it goes.
struct JournalWriter {
    int fd = -1;
    uint64_t offset = 0, hash = kFnvStart, records = 0;
    std::vector<uint8_t> buffer;
    bool Flush() {
        if (buffer.empty()) return true;
        hash = Fnv(hash, buffer.data(), buffer.size());
        bool ok = PwriteAll(fd, buffer.data(), buffer.size(), offset);
        offset += buffer.size();
        buffer.clear();
        return ok;
    }
    bool Append(const uint8_t* p, size_t n) {
        if (buffer.size() + n > kHexChunk && !Flush()) return false;
        if (n > kHexChunk) {
            hash = Fnv(hash, p, n);
            bool ok = PwriteAll(fd, p, n, offset);
            offset += n;
            return ok;
        }
        buffer.insert(buffer.end(), p, p + n);
        return true;
    }
};

// Applies the records of a complete journal to fd; false when it is not complete or a
// record does not fit the file.
bool ApplyJournal(int journal, int fd) {
    struct stat js {
    }, fs{};
    if (fstat(journal, &js) != 0 || fstat(fd, &fs) != 0) return false;
    const uint64_t size = static_cast<uint64_t>(js.st_size);
    if (size < kHeaderSize + kTrailerSize) return false;
    uint8_t header[kHeaderSize], trailer[kTrailerSize];
    if (!PreadAll(journal, header, sizeof header, 0) ||
        !PreadAll(journal, trailer, sizeof trailer, size - kTrailerSize)) {
        return false;
    }
    if (std::memcmp(header, kMagic, 8) != 0 || std::memcmp(trailer + 16, kEndMagic, 8) != 0 ||
        Get64(header + 8) != static_cast<uint64_t>(fs.st_dev) ||
        Get64(header + 16) != static_cast<uint64_t>(fs.st_ino)) {
        return false;
    }
    // The whole journal is checked before a byte of the file changes.
    std::vector<uint8_t> buffer(kHexChunk);
    uint64_t hash = kFnvStart;
    for (uint64_t at = 0; at < size - kTrailerSize;) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - kTrailerSize - at));
        if (!PreadAll(journal, buffer.data(), n, at)) return false;
        hash = Fnv(hash, buffer.data(), n);
        at += n;
    }
    if (hash != Get64(trailer + 8)) return false;
    const uint64_t fileSize = static_cast<uint64_t>(fs.st_size);
    uint64_t records = 0;
    for (uint64_t at = kHeaderSize; at < size - kTrailerSize; ++records) {
        uint8_t record[16];
        if (size - kTrailerSize - at < sizeof record || !PreadAll(journal, record, 16, at)) {
            return false;
        }
        uint64_t offset = Get64(record), count = Get64(record + 8);
        at += 16;
        if (count > kHexChunk || count > size - kTrailerSize - at || offset > fileSize ||
            count > fileSize - offset) {
            return false;
        }
        if (!PreadAll(journal, buffer.data(), static_cast<size_t>(count), at) ||
            !PwriteAll(fd, buffer.data(), static_cast<size_t>(count), offset)) {
            return false;
        }
        at += count;
    }
    return records == Get64(trailer) && fsync(fd) == 0;
}

// Removes the journal's half-written siblings ("<name>.XXXXXX") left by a dead save.
void RemoveUnfinished(const std::string& folder, const std::string& name) {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    const std::string prefix = name + ".";
    while (struct dirent* entry = readdir(dir)) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

// Holds off SIGINT, SIGTERM and SIGHUP while a named temporary file exists.
struct SignalsHeld {
    sigset_t old{};
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &old);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

std::string RandomSuffix() {
    static std::mt19937_64 random{std::random_device{}()};
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(random()));
    return text;
}

}  // namespace

std::string SaveJournalFolder() {
    std::string state;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr && xdg[0] == '/') {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        state = std::string(home) + "/.local";
        if (!OwnFolder(state)) return {};
        state += "/state";
    } else {
        return {};
    }
    if (!OwnFolder(state) || !OwnFolder(state + "/korvanta") ||
        !OwnFolder(state + "/korvanta/journal")) {
        return {};
    }
    return state + "/korvanta/journal";
}

std::string SaveJournalPath(const std::string& folder, int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return {};
    char name[64];
    std::snprintf(name, sizeof name, "/%llx-%llx.journal",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return folder + name;
}

Recovery RecoverInterruptedSave(int fd, const std::string& journalFolder) {
    if (journalFolder.empty()) return Recovery::None;
    const std::string path = SaveJournalPath(journalFolder, fd);
    if (path.empty()) return Recovery::None;
    flock(fd, LOCK_EX);  // a save of another window in progress finishes first
    RemoveUnfinished(journalFolder, path.substr(journalFolder.size() + 1));
    int journal = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    Recovery result = Recovery::None;
    if (journal >= 0) {
        struct stat st {};
        if (fstat(journal, &st) == 0 && st.st_uid == geteuid() && ApplyJournal(journal, fd)) {
            unlink(path.c_str());
            SyncFolder(journalFolder);
            result = Recovery::RolledBack;
        } else {
            result = Recovery::Failed;
        }
        close(journal);
    }
    flock(fd, LOCK_UN);
    return result;
}

FileResult SaveInPlace(const HexDocument& document, int fd, const std::string& journalFolder,
                       const ProgressFn& progress) {
    if (document.dataFd() < 0 || fd < 0) return FileResult::OpenFailed;
    if (!document.modified()) return FileResult::Ok;
    if (journalFolder.empty()) return FileResult::OpenFailed;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uint64_t>(st.st_size) != document.length()) {
        return FileResult::OpenFailed;
    }
    const std::string path = SaveJournalPath(journalFolder, fd);
    std::string temp = path + ".XXXXXX";
    flock(fd, LOCK_EX);
    struct Unlock {
        int fd;
        ~Unlock() { flock(fd, LOCK_UN); }
    } unlock{fd};
    JournalWriter journal;
    journal.fd = mkostemp(temp.data(), O_CLOEXEC);
    if (journal.fd < 0) return FileResult::OpenFailed;

    // 1. The old bytes of every run, synced, then given the journal's name.
    std::vector<uint8_t> header(kMagic, kMagic + 8);
    Put64(header, static_cast<uint64_t>(st.st_dev));
    Put64(header, static_cast<uint64_t>(st.st_ino));
    Put64(header, document.length());
    std::vector<uint8_t> buffer;
    bool cancelled = false;
    bool ok = journal.Append(header.data(), header.size()) &&
              document.ForEachRun(0, document.length(), [&](uint64_t at, uint64_t n) {
                  std::vector<uint8_t> record;
                  Put64(record, at);
                  Put64(record, n);
                  buffer.resize(static_cast<size_t>(n));
                  if (!journal.Append(record.data(), record.size()) ||
                      !PreadAll(fd, buffer.data(), buffer.size(), at) ||
                      !journal.Append(buffer.data(), buffer.size())) {
                      return false;
                  }
                  ++journal.records;
                  if (progress && !progress(at, document.length())) {
                      cancelled = true;
                      return false;
                  }
                  return true;
              });
    if (ok && journal.Flush()) {
        std::vector<uint8_t> trailer;
        Put64(trailer, journal.records);
        Put64(trailer, journal.hash);
        trailer.insert(trailer.end(), kEndMagic, kEndMagic + 8);
        ok = PwriteAll(journal.fd, trailer.data(), trailer.size(), journal.offset) &&
             fsync(journal.fd) == 0;
    } else {
        ok = false;
    }
    if (close(journal.fd) != 0) ok = false;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        return cancelled ? FileResult::Cancelled : FileResult::WriteFailed;
    }
    SyncFolder(journalFolder);

    // 2. The new bytes into the file, synced; then the journal goes.
    bool touched = false;  // a byte of the file may have changed
    ok = document.ForEachRun(0, document.length(), [&](uint64_t at, uint64_t n) {
        buffer.resize(static_cast<size_t>(n));
        if (document.ReadData(buffer.data(), at, buffer.size()) != buffer.size()) return false;
        for (size_t done = 0; done < buffer.size();) {
            ssize_t w = pwrite(fd, buffer.data() + done, buffer.size() - done,
                               static_cast<off_t>(at + done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            touched = true;
            done += static_cast<size_t>(w);
        }
        return true;
    });
    if ((ok && fsync(fd) == 0) || !touched) {
        // Not synced: should a crash bring the journal back, the next Open rolls the file
        // back to the old bytes, which is still one of the two states.
        unlink(path.c_str());
        return ok ? FileResult::Ok : FileResult::WriteFailed;
    }
    // Back to the old bytes; a journal that cannot be applied now stays for the next Open.
    int back = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (back >= 0) {
        if (ApplyJournal(back, fd)) {
            unlink(path.c_str());
            SyncFolder(journalFolder);
        }
        close(back);
    }
    return FileResult::WriteFailed;
}

FileResult SaveCopyAs(const HexDocument& document, const std::string& target, int* newFd,
                      const ProgressFn& progress) {
    if (document.baseFd() < 0) return FileResult::OpenFailed;
    // Follow a link, so the link stays and its file is replaced.
    std::string path = target;
    if (char* real = realpath(target.c_str(), nullptr)) {
        path = real;
        std::free(real);
    }
    struct stat old {};
    const bool existed = stat(path.c_str(), &old) == 0;
    if (existed) {
        // A read-only target is refused, also for root.
        if (!S_ISREG(old.st_mode) || (old.st_mode & 0222) == 0) return FileResult::OpenFailed;
        int probe = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe < 0) return FileResult::OpenFailed;
        close(probe);
    }
    const std::string folder = FolderOf(path);
    const std::string name =
        path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    // Unnamed until complete: a crash or kill leaves nothing. Where the file system cannot
    // make unnamed files, a hidden name is used with the stop signals held.
    std::unique_ptr<SignalsHeld> held;
    std::string temp;
    int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return FileResult::OpenFailed;
        held = std::make_unique<SignalsHeld>();
        temp = folder + "/." + name + ".XXXXXX";
        fd = mkostemp(temp.data(), O_CLOEXEC);
        if (fd < 0) return FileResult::OpenFailed;
    }
    auto fail = [&](FileResult r) {
        close(fd);
        if (!temp.empty()) unlink(temp.c_str());
        return r;
    };
    FileResult result = CopyFileData(document.baseFd(), fd, document.length(), progress);
    if (result != FileResult::Ok) return fail(result);
    std::vector<uint8_t> buffer;
    bool ok = document.ForEachRun(0, document.length(), [&](uint64_t at, uint64_t n) {
        buffer.resize(static_cast<size_t>(n));
        return document.ReadData(buffer.data(), at, buffer.size()) == buffer.size() &&
               PwriteAll(fd, buffer.data(), buffer.size(), at);
    });
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = existed ? (old.st_mode & 07777) : (0666 & ~mask);
    if (existed && fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Not allowed for other owners: the file is ours, with the old mode.
    }
    if (!ok || fchmod(fd, mode) != 0 || fsync(fd) != 0) return fail(FileResult::WriteFailed);

    if (temp.empty()) {
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (!existed) {
            if (linkat(AT_FDCWD, self, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0 &&
                linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) != 0) {
                return fail(FileResult::WriteFailed);
            }
        } else {
            // A hidden name only for the moment of the rename, with the stop signals held.
            held = std::make_unique<SignalsHeld>();
            for (int tries = 0; tries < 8 && temp.empty(); ++tries) {
                std::string candidate = folder + "/." + name + "." + RandomSuffix();
                if (linkat(AT_FDCWD, self, AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) == 0 ||
                    linkat(fd, "", AT_FDCWD, candidate.c_str(), AT_EMPTY_PATH) == 0) {
                    temp = candidate;
                }
            }
            if (temp.empty()) return fail(FileResult::WriteFailed);
        }
    }
    if (!temp.empty() && rename(temp.c_str(), path.c_str()) != 0) {
        return fail(FileResult::WriteFailed);
    }
    SyncFolder(folder);
    *newFd = fd;
    return FileResult::Ok;
}

}  // namespace kvt
