// The daemon's sockets and event loop: one Unix stream socket per device under
// <runtime>/korvanta. A connection carries any number of requests in turn; the peer is checked
// once when it connects and every frame as it arrives. One thread serves one request at a time
// (epoll, non-blocking connections) and never waits on any one client.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "driver/handler.h"
#include "driver/wire.h"

namespace kvt::driver {

struct ServerOptions {
    std::string runtimeDir;
    // Host daemon: serves root and the group "korvanta", socket mode 0660. Board daemon:
    // serves its own user only, socket mode 0600.
    bool hostDaemon = false;
    std::string group = "korvanta";  // the host daemon's group
    // A board daemon that also serves root and the members of `group` (socket mode 0660), as
    // the host daemon does: one simulated board shared by a class, say.
    bool boardServesGroup = false;
    std::chrono::milliseconds frameTimeout{2000};   // a started request must arrive within this
    std::chrono::milliseconds answerTimeout{5000};  // an answer must be taken within this
    // A kept connection may wait this long between requests: a window holds its connection
    // while it is open. Idle connections also make room when the limits below are reached.
    std::chrono::milliseconds idleTimeout{std::chrono::hours(24)};
    // Open connections, in all and per user. A new connection beyond either limit evicts the
    // one that has waited longest (the user's own first), so stalled or hoarded connections
    // never lock out a client that has something to ask.
    // Every connection counts, answered or not; one whose client has not taken its answer is
    // never evicted (closing it would not free what the client pins).
    size_t maxConnections = 512;
    size_t maxPerUser = 32;
    // Answer bytes a user may have waiting to be taken, over all their connections: those the
    // daemon still holds and those in the sockets that the client has not read. A memory read
    // that would go past it waits (its connection is not read meanwhile) until the user takes
    // what waits, so clients that ask and never read pin no more than this and one more answer
    // of the machine's memory. Small answers are never held back: a connection has at most one
    // answer waiting, and a user at most maxPerUser connections.
    size_t maxUnsentPerUser = 16 * 1024 * 1024;
    // Ends the daemon after this long without any connection (zero: never). Board daemons.
    std::chrono::milliseconds idleExit{0};
};

enum class StartResult { Ok, AlreadyRunning, Failed };

class Server {
  public:
    Server(RequestHandler& handler, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Prepares the socket folder and listens on both devices' sockets.
    StartResult Start(std::string* error);
    // Serves until a stop request, SIGTERM or SIGINT; then removes the sockets.
    void Run();

    // Whether the kernel-reported peer (user, group and supplementary groups) may use this
    // daemon.
    bool Authorised(uid_t uid, gid_t gid, std::span<const gid_t> groups) const;

  private:
    struct Connection;
    struct Listener {
        std::string device;
        std::string path;
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
    };

    // Serves the group besides its own user.
    bool Shared() const { return options_.hostDaemon || options_.boardServesGroup; }
    bool PrepareFolder(std::string* error);
    StartResult CheckStaleSocket(const std::string& path, std::string* error);
    bool Listen(Listener& listener, std::string* error);
    void AcceptOne(Listener& listener);
    void ReadFrom(Connection& connection);
    void SendTo(Connection& connection);
    void DropFinished(std::chrono::steady_clock::time_point now);
    // Whether a complete frame must wait for its user's waiting answers to be taken.
    bool MustWait(const Connection& connection, const ParsedFrame& frame) const;
    size_t Pending(uid_t uid) const;
    void ResumeWaiting();
    void Unwatch(Connection& connection);
    bool MakeRoomFor(uid_t uid);
    void Watch(Connection& connection, uint32_t events);
    void Shutdown();

    RequestHandler& handler_;
    ServerOptions options_;
    std::string folder_;
    std::vector<Listener> listeners_;
    std::vector<std::unique_ptr<Connection>> connections_;
    size_t waiting_ = 0;  // connections whose memory read waits for their user's answers
    bool haveGroup_ = false;
    gid_t group_ = 0;
    uid_t self_ = 0;
    bool stopping_ = false;
    int epoll_ = -1;
    std::chrono::steady_clock::time_point now_ = std::chrono::steady_clock::now();
};

// True when a daemon accepts connections at the socket.
bool DaemonAnswers(const std::string& socketPath);

}  // namespace kvt::driver
