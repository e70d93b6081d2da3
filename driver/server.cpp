#include "driver/server.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/sockios.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/audit.h"
#include "driver/wire.h"
#include "protocol/endpoint.h"

namespace kvt::driver {

namespace {

using Clock = std::chrono::steady_clock;

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Bytes sent on a socket that its client has not read yet (they pin kernel memory).
size_t Unread(int fd) {
    int bytes = 0;
    return fd >= 0 && ioctl(fd, SIOCOUTQ, &bytes) == 0 && bytes > 0 ? static_cast<size_t>(bytes)
                                                                    : 0;
}

}  // namespace

struct Server::Connection {
    int fd = -1;
    std::string device;
    Caller caller;
    Clock::time_point deadline;
    Clock::time_point since;  // when it went idle or its current frame began
    std::vector<uint8_t> buffer;
    size_t received = 0;
    bool answering = false;
    uint8_t prefix[kAnswerPrefixSize];
    Answer answer;
    size_t sent = 0;        // bytes of prefix + payload sent
    bool answered = false;  // has sent an answer: the client may not have read it all yet
    bool waiting = false;   // a complete memory read waits for the user's answers to drain
    bool done = false;
    uint32_t watched = 0;  // events registered with epoll (0: not registered)
};

Server::Server(RequestHandler& handler, ServerOptions options)
    : handler_(handler), options_(std::move(options)) {
    self_ = geteuid();
    folder_ = options_.runtimeDir + "/korvanta";
}

Server::~Server() {
    Shutdown();
}

bool Server::Authorised(uid_t uid, gid_t gid, std::span<const gid_t> groups) const {
    if (!options_.hostDaemon && uid == self_) return true;
    if (!Shared()) return false;
    if (uid == 0) return true;
    if (!haveGroup_) return false;
    // The groups the peer process holds, as the kernel reports them: a process that dropped
    // the group is not served, whatever the group database says of its user.
    return gid == group_ || std::find(groups.begin(), groups.end(), group_) != groups.end();
}

bool Server::PrepareFolder(std::string* error) {
    const std::string& runtime = options_.runtimeDir;
    if (runtime.empty() || runtime[0] != '/') {
        *error = "runtime folder must be an absolute path: " + runtime;
        return false;
    }
    if (!MakeFolders(runtime)) {
        *error = Errno("cannot create runtime folder " + runtime);
        return false;
    }
    // Whoever may write into the runtime folder or any folder above it could swap our folder
    // under us: each must belong to us or root, and others may write only to sticky ones
    // (such as /tmp).
    for (std::string path = runtime; !path.empty();) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            *error = path + " is not a folder";
            return false;
        }
        if ((st.st_uid != self_ && st.st_uid != 0) ||
            ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0)) {
            *error =
                "runtime folder " + path + " can be changed by other users: refusing to use it";
            return false;
        }
        size_t slash = path.find_last_of('/');
        path = slash == 0 && path.size() > 1 ? "/" : (slash == 0 ? "" : path.substr(0, slash));
    }

    mode_t mode = (Shared() && haveGroup_) ? 0750 : 0700;
    struct stat st;
    if (lstat(folder_.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(folder_.c_str(), mode) != 0) {
            *error = Errno("cannot create " + folder_);
            return false;
        }
        if (lstat(folder_.c_str(), &st) != 0) {
            *error = Errno("cannot examine " + folder_);
            return false;
        }
    }
    if (S_ISLNK(st.st_mode)) {
        *error = folder_ + " is a symbolic link: refusing to use it";
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = folder_ + " is not a folder";
        return false;
    }
    if (st.st_uid != self_) {
        *error = folder_ + " belongs to uid " + std::to_string(st.st_uid) + ", not to uid " +
                 std::to_string(self_) + ": refusing to use it";
        return false;
    }
    int fd = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = Errno("cannot open " + folder_);
        return false;
    }
    bool ok = fchmod(fd, mode) == 0 &&
              (!(Shared() && haveGroup_) || fchown(fd, static_cast<uid_t>(-1), group_) == 0);
    if (!ok) *error = Errno("cannot set the mode of " + folder_);
    close(fd);
    return ok;
}

StartResult Server::CheckStaleSocket(const std::string& path, std::string* error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return StartResult::Ok;
        *error = Errno("cannot examine " + path);
        return StartResult::Failed;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = path + " is a symbolic link: refusing to use it";
        return StartResult::Failed;
    }
    if (!S_ISSOCK(st.st_mode) || st.st_uid != self_) {
        *error = path + " exists and is not a socket of uid " + std::to_string(self_);
        return StartResult::Failed;
    }
    if (DaemonAnswers(path)) {
        *error = "a daemon already answers at " + path;
        return StartResult::AlreadyRunning;
    }
    if (unlink(path.c_str()) != 0) {
        *error = Errno("cannot remove the stale socket " + path);
        return StartResult::Failed;
    }
    return StartResult::Ok;
}

bool Server::Listen(Listener& listener, std::string* error) {
    sockaddr_un address;
    if (!FillAddress(listener.path, address)) {
        *error = "socket path too long: " + listener.path;
        return false;
    }
    listener.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener.fd < 0) {
        *error = Errno("socket");
        return false;
    }
    // The socket appears with mode 0600 and is opened up only once its group is right.
    mode_t old = umask(0177);
    int rc = bind(listener.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    umask(old);
    if (rc != 0) {
        *error = Errno("cannot bind " + listener.path);
        close(listener.fd);
        listener.fd = -1;
        return false;
    }
    struct stat st;
    if (lstat(listener.path.c_str(), &st) == 0) {
        listener.dev = st.st_dev;
        listener.ino = st.st_ino;
    }
    if (Shared()) {
        if (haveGroup_ && lchown(listener.path.c_str(), static_cast<uid_t>(-1), group_) != 0) {
            *error = Errno("cannot give " + listener.path + " to group " + options_.group);
            return false;
        }
        if (chmod(listener.path.c_str(), 0660) != 0) {
            *error = Errno("cannot set the mode of " + listener.path);
            return false;
        }
    }
    if (listen(listener.fd, 128) != 0) {
        *error = Errno("listen on " + listener.path);
        return false;
    }
    return true;
}

StartResult Server::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    // A stop signal that arrives once the sockets answer must reach Run's signal descriptor
    // rather than end the process with its sockets left behind: block it before binding.
    sigset_t signals = StopSignals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    if (Shared()) {
        std::vector<char> text(16384);
        group entry;
        group* found = nullptr;
        if (getgrnam_r(options_.group.c_str(), &entry, text.data(), text.size(), &found) == 0 &&
            found != nullptr) {
            haveGroup_ = true;
            group_ = found->gr_gid;
        }
    }
    if (!PrepareFolder(error)) return StartResult::Failed;
    for (const char* device : {kNtDeviceName, kConsumerDeviceName}) {
        Listener listener;
        listener.device = device;
        listener.path = SocketPath(options_.runtimeDir, device);
        StartResult stale = CheckStaleSocket(listener.path, error);
        if (stale != StartResult::Ok) {
            Shutdown();
            return stale;
        }
        bool ok = Listen(listener, error);
        listeners_.push_back(listener);
        if (!ok) {
            Shutdown();
            return StartResult::Failed;
        }
    }
    return StartResult::Ok;
}

// Takes one connection per wake-up: epoll reports the listener again while more wait, so a
// stream of new connections cannot starve those already open, and no accept is spent on
// finding the backlog empty.
void Server::AcceptOne(Listener& listener) {
    int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // EAGAIN, or a connection that went away before we took it
    ucred peer{};
    socklen_t size = sizeof peer;
    std::vector<gid_t> groups(64);
    socklen_t groupBytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
    bool known = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && size == sizeof peer;
    if (known && Shared() && peer.uid != 0) {
        int rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupBytes);
        if (rc != 0 && errno == ERANGE && groupBytes <= 65536 * sizeof(gid_t)) {
            groups.resize(groupBytes / sizeof(gid_t));
            rc = getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &groupBytes);
        }
        known = rc == 0;
        groups.resize(known ? groupBytes / sizeof(gid_t) : 0);
    } else {
        groups.clear();
    }
    if (stopping_ || !known || !Authorised(peer.uid, peer.gid, groups)) {
        close(fd);  // refused: no answer at all
        return;
    }
    if (!MakeRoomFor(peer.uid)) {
        close(fd);
        return;
    }
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->device = listener.device;
    connection->caller = Caller{peer.uid, peer.gid, peer.pid};
    connection->since = now_;
    connection->deadline = connection->since + options_.idleTimeout;
    connection->buffer.resize(kRequestPrefixSize);
    connections_.push_back(std::move(connection));
    // The request has usually arrived with the connection: serve it without another wait.
    ReadFrom(*connections_.back());
}

// Makes room when the user or the daemon is at its limit, evicting the connection that has
// waited longest (idle, or slowest with its frame). Every connection counts. One whose client
// has not taken its answer (held by the daemon or unread in the socket) is never evicted:
// closing it would not free what its client pins. False when no connection can make room:
// the new one is then refused.
bool Server::MakeRoomFor(uid_t uid) {
    auto evictOldest = [&](bool sameUser) {
        Connection* oldest = nullptr;
        size_t count = 0;
        for (auto& c : connections_) {
            if (c->done || (sameUser && c->caller.uid != uid)) continue;
            ++count;
            if (oldest != nullptr && c->since >= oldest->since) continue;
            if (!c->answering && (!c->answered || Unread(c->fd) == 0)) oldest = c.get();
        }
        size_t limit = sameUser ? options_.maxPerUser : options_.maxConnections;
        if (count < limit) return true;
        if (oldest == nullptr) return false;
        oldest->done = true;
        if (oldest->waiting) --waiting_;
        oldest->waiting = false;
        close(oldest->fd);  // its epoll registration goes with the descriptor
        oldest->fd = -1;
        return true;
    };
    return evictOldest(true) && evictOldest(false);
}

void Server::ReadFrom(Connection& c) {
    // The frame is parsed once, as it completes; its payload stays in c.buffer until served.
    ParsedFrame parsed;
    for (;;) {
        size_t needed = 0;
        FrameError frameError;
        ParseStatus status = ParseRequestFrame(
            std::span<const uint8_t>(c.buffer.data(), c.received), parsed, needed, &frameError);
        if (status == ParseStatus::Malformed) {
            c.done = true;
            return;
        }
        if (status == ParseStatus::Complete) break;
        // Grow the buffer with what arrives rather than with what the header promises.
        if (c.buffer.size() < needed)
            c.buffer.resize(std::min(needed, c.received + size_t{256} * 1024));
        ssize_t n = recv(c.fd, c.buffer.data() + c.received, c.buffer.size() - c.received, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            Watch(c, EPOLLIN);
            return;
        }
        if (n <= 0) {
            c.done = true;  // closed, or broken before the frame was complete
            return;
        }
        if (c.received == 0) {
            // A frame begins: it must now arrive whole within the frame time limit.
            c.since = now_;
            c.deadline = c.since + options_.frameTimeout;
        }
        c.received += static_cast<size_t>(n);
    }

    if (MustWait(c, parsed)) {
        // Nothing more is read from it until the user's answers drain; its client waits on us
        // now, so the frame time limit no longer applies.
        if (!c.waiting) ++waiting_;
        c.waiting = true;
        c.deadline = now_ + options_.idleTimeout;
        Unwatch(c);
        return;
    }
    if (c.waiting) --waiting_;
    c.waiting = false;
    c.answer = ServeParsedFrame(handler_, c.caller, c.device, parsed);
    std::vector<uint8_t>().swap(c.buffer);
    EncodeAnswerPrefix(c.answer, c.prefix);
    c.answering = true;
    c.deadline = now_ + options_.answerTimeout;
    c.answered = true;
    if (c.answer.payload.size() > 65536) {
        // A larger send buffer (within the system's limit) moves a memory dump in fewer
        // rounds of waiting for the client to drain the socket.
        int bytes = static_cast<int>(kAnswerPrefixSize + c.answer.payload.size());
        setsockopt(c.fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    if (handler_.stopRequested()) stopping_ = true;
    SendTo(c);
}

void Server::SendTo(Connection& c) {
    const size_t total = kAnswerPrefixSize + c.answer.payload.size();
    while (c.sent < total) {
        iovec parts[2];
        int count = 0;
        if (c.sent < kAnswerPrefixSize) {
            parts[count++] = {c.prefix + c.sent, kAnswerPrefixSize - c.sent};
            if (!c.answer.payload.empty())
                parts[count++] = {c.answer.payload.data(), c.answer.payload.size()};
        } else {
            size_t offset = c.sent - kAnswerPrefixSize;
            parts[count++] = {c.answer.payload.data() + offset, c.answer.payload.size() - offset};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = count;
        ssize_t n = sendmsg(c.fd, &message, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            Watch(c, EPOLLOUT);
            return;
        }
        if (n <= 0) break;
        c.sent += static_cast<size_t>(n);
    }
    handler_.Recycle(std::move(c.answer.payload));
    if (c.sent < total || stopping_) {
        c.done = true;
        return;
    }
    // The connection is kept for the next request.
    c.answer = Answer{};
    c.answering = false;
    c.sent = 0;
    c.received = 0;
    c.buffer.resize(kRequestPrefixSize);
    c.since = now_;
    c.deadline = c.since + options_.idleTimeout;
    // The next frame is read in the next round, so a client sending frames back to back takes
    // its turn with the others.
    Watch(c, EPOLLIN);
}

// Closes finished connections and those past their deadline.
void Server::DropFinished(std::chrono::steady_clock::time_point now) {
    for (auto& c : connections_)
        if (now >= c->deadline) c->done = true;
    std::erase_if(connections_, [this](const std::unique_ptr<Connection>& c) {
        if (!c->done) return false;
        if (c->fd >= 0) close(c->fd);
        if (c->waiting) --waiting_;
        return true;
    });
}

size_t Server::Pending(uid_t uid) const {
    size_t pending = 0;
    for (const auto& c : connections_) {
        if (c->done || c->caller.uid != uid) continue;
        if (c->answering) pending += kAnswerPrefixSize + c->answer.payload.size() - c->sent;
        if (c->answered) pending += Unread(c->fd);
    }
    return pending;
}

bool Server::MustWait(const Connection& c, const ParsedFrame& frame) const {
    bool memoryRead = c.device == kNtDeviceName ? frame.header.code == kNtReadPhysicalMemory
                                                : frame.header.code == kConsumerReadPhysicalMemory;
    if (!memoryRead) return false;
    size_t pending = Pending(c.caller.uid);
    size_t length = std::min<size_t>(frame.request.length, kMaxTransfer);
    // A user with nothing waiting is always served.
    return pending > 0 && pending + kAnswerPrefixSize + length > options_.maxUnsentPerUser;
}

// Serves the memory reads that waited, as far as their users' waiting answers now allow. The
// kernel does not tell when a client reads, so this runs every round while any wait.
void Server::ResumeWaiting() {
    if (waiting_ == 0) return;
    // ReadFrom accepts nothing and removes nothing, so the list stays as it is.
    for (size_t i = 0; i < connections_.size(); ++i) {
        Connection& c = *connections_[i];
        if (c.waiting && !c.done) ReadFrom(c);
    }
}

void Server::Unwatch(Connection& c) {
    if (c.watched == 0) return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    c.watched = 0;
}

// Registers a connection with epoll for the event it waits for. Connections served at once
// (the usual case) are never registered; a closed descriptor leaves epoll by itself.
void Server::Watch(Connection& c, uint32_t events) {
    if (c.watched == events) return;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &c;
    if (epoll_ctl(epoll_, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &event) == 0)
        c.watched = events;
    else
        c.done = true;
}

void Server::Run() {
    sigset_t signals = StopSignals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    int signalFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

    // Event tags: the signal descriptor, the listeners, and connections by address.
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        if (signalFd >= 0) close(signalFd);
        Shutdown();
        return;
    }
    static char signalTag;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = &signalTag;
    if (signalFd >= 0) epoll_ctl(epoll_, EPOLL_CTL_ADD, signalFd, &event);
    for (Listener& listener : listeners_) {
        event.data.ptr = &listener;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, listener.fd, &event);
    }

    bool listening = true;
    Clock::time_point lastClient = Clock::now();
    epoll_event events[64];
    while (true) {
        Clock::time_point now = Clock::now();
        DropFinished(now);
        if (stopping_) {
            if (listening) {
                for (Listener& listener : listeners_)
                    epoll_ctl(epoll_, EPOLL_CTL_DEL, listener.fd, nullptr);
                listening = false;
            }
            if (std::none_of(connections_.begin(), connections_.end(),
                             [](const auto& c) { return c->answering; }))
                break;
        }

        Clock::time_point next = now + std::chrono::seconds(60);
        for (const auto& c : connections_) next = std::min(next, c->deadline);
        if (waiting_ > 0) next = std::min(next, now + std::chrono::milliseconds(5));
        if (!connections_.empty()) lastClient = now;
        if (options_.idleExit.count() > 0 && connections_.empty()) {
            if (now - lastClient >= options_.idleExit) break;  // no client for too long
            next = std::min(next, lastClient + options_.idleExit);
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
        int ready = epoll_wait(epoll_, events, 64, static_cast<int>(std::max<int64_t>(wait, 0)));
        if (ready < 0 && errno != EINTR) break;
        now_ = Clock::now();  // one reading of the clock serves the whole round

        bool signalled = false;
        // Connections first: accepting may add connections, never remove them.
        for (int i = 0; i < ready; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &signalTag) {
                signalfd_siginfo info;
                signalled = read(signalFd, &info, sizeof info) > 0;
                continue;
            }
            bool isListener = false;
            for (const Listener& listener : listeners_) isListener |= tag == &listener;
            if (isListener) continue;
            Connection& c = *static_cast<Connection*>(tag);
            if (c.done) continue;
            if (c.answering)
                SendTo(c);
            else
                ReadFrom(c);
        }
        if (signalled) break;
        ResumeWaiting();
        for (int i = 0; i < ready; ++i)
            for (Listener& listener : listeners_)
                if (events[i].data.ptr == &listener && !stopping_) AcceptOne(listener);
    }
    if (signalFd >= 0) close(signalFd);
    close(epoll_);
    epoll_ = -1;
    Shutdown();
}

void Server::Shutdown() {
    for (auto& c : connections_)
        if (c->fd >= 0) close(c->fd);
    connections_.clear();
    bool removed = false;
    for (Listener& listener : listeners_) {
        if (listener.fd < 0) continue;
        close(listener.fd);
        listener.fd = -1;
        // Remove the socket only while it is still the one we made.
        struct stat st;
        if (lstat(listener.path.c_str(), &st) == 0 && st.st_dev == listener.dev &&
            st.st_ino == listener.ino) {
            unlink(listener.path.c_str());
            removed = true;
        }
    }
    listeners_.clear();
    if (removed) rmdir(folder_.c_str());  // only when empty
}

bool DaemonAnswers(const std::string& socketPath) {
    sockaddr_un address;
    if (!FillAddress(socketPath, address)) return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace kvt::driver
