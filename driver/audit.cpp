#include "driver/audit.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kvt::driver {

namespace {

// LOG_AUTHPRIV | LOG_NOTICE, as a system log message priority.
constexpr int kPriority = (10 << 3) | 5;

}  // namespace

bool MakeFolders(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(path.substr(0, slash)))
        return false;
    return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

AuditLog::AuditLog(std::string ident, std::string systemLogSocket, std::string file)
    : ident_(std::move(ident)),
      systemLogSocket_(std::move(systemLogSocket)),
      file_(std::move(file)) {}

AuditLog::~AuditLog() {
    if (socket_ >= 0) close(socket_);
    if (fd_ >= 0) close(fd_);
}

bool AuditLog::Open() {
    if (OpenSystemLog()) {
        destination_ = "system log (" + systemLogSocket_ + ")";
        return true;
    }
    if (OpenFile()) {
        destination_ = "file " + file_;
        return true;
    }
    destination_ = "nowhere: no system log listens at " + systemLogSocket_ + " and " + file_ +
                   " cannot be written (" + std::strerror(errno) + ")";
    return false;
}

bool AuditLog::OpenSystemLog() {
    if (systemLogSocket_.empty()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (systemLogSocket_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, systemLogSocket_.c_str(), systemLogSocket_.size() + 1);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return false;
    }
    socket_ = fd;
    return true;
}

bool AuditLog::OpenFile() {
    if (file_.empty()) return false;
    size_t slash = file_.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeFolders(file_.substr(0, slash)))
        return false;
    // Only a folder that others cannot change, and never a link or a file someone else
    // planted in place of the file: they could read the lines or make them vanish.
    std::string folder = slash == std::string::npos ? "." : file_.substr(0, slash ? slash : 1);
    struct stat st;
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
        (st.st_uid != geteuid() && st.st_uid != 0) ||
        ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
        errno = EPERM;
        return false;
    }
    int fd = open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        errno = EPERM;
        return false;
    }
    fd_ = fd;
    return true;
}

bool AuditLog::Write(const std::string& line) {
    if (socket_ >= 0) {
        std::string message = "<" + std::to_string(kPriority) + ">" + ident_ + "[" +
                              std::to_string(getpid()) + "]: " + line;
        // A reader that does not take the line now must not stop the daemon: the line goes
        // to the file instead.
        ssize_t n = send(socket_, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(message.size())) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS) {
            // The system log went away: the file from now on.
            close(socket_);
            socket_ = -1;
            if (fd_ < 0 && OpenFile()) destination_ = "file " + file_;
        }
        if (fd_ < 0 && !OpenFile()) return false;
        return WriteFile(line);
    }
    if (fd_ < 0 && !OpenFile()) return false;
    return WriteFile(line);
}

bool AuditLog::Ready() {
    if (socket_ >= 0) return true;
    if (fd_ >= 0) return FileStillThere();
    if (!OpenFile()) return false;
    destination_ = "file " + file_;
    return true;
}

bool AuditLog::FileStillThere() {
    struct stat open, named;
    if (fstat(fd_, &open) == 0 && lstat(file_.c_str(), &named) == 0 && open.st_nlink > 0 &&
        open.st_dev == named.st_dev && open.st_ino == named.st_ino)
        return true;
    // Removed or replaced (rotated, deleted): lines written to the old one would be lost.
    close(fd_);
    fd_ = -1;
    return OpenFile();
}

bool AuditLog::WriteFile(const std::string& line) {
    if (!FileStillThere()) return false;
    // The line's head ("<time> ident[pid]: ") changes once a second at most: it is made again
    // only then, and each line is put together in one reused buffer.
    time_t now = time(nullptr);
    pid_t pid = getpid();
    if (now != headTime_ || pid != headPid_ || head_.empty()) {
        char stamp[32] = "";
        tm local{};
        if (localtime_r(&now, &local) != nullptr)
            strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
        head_ = std::string(stamp) + " " + ident_ + "[" + std::to_string(pid) + "]: ";
        headTime_ = now;
        headPid_ = pid;
    }
    text_.assign(head_).append(line).push_back('\n');
    off_t end = lseek(fd_, 0, SEEK_END);
    ssize_t n = write(fd_, text_.data(), text_.size());
    if (n == static_cast<ssize_t>(text_.size())) return true;
    // Part of a line (a full disk): take it back, so the next line does not fuse with it.
    if (n > 0 && end >= 0 && ftruncate(fd_, end) != 0) {
        // Nothing more to do: the write is refused all the same.
    }
    return false;
}

std::string DefaultAuditFile(bool hostDaemon) {
    if (hostDaemon) return "/var/log/korvanta/audit.log";
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return std::string(state) + "/korvanta/audit.log";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/korvanta/audit.log";
    // No home: a private folder, never a fixed name in /tmp that another user could take first.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/korvanta-audit.log";
    return "/tmp/korvanta-" + std::to_string(getuid()) + "/audit.log";
}

}  // namespace kvt::driver
