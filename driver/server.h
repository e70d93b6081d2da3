// The daemon's sockets and event loop: one Unix stream socket per device under
// <runtime>/korvanta, one request per connection, served one at a time by a single thread
// (epoll, non-blocking connections) that never waits on any one client.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/handler.h"

namespace kvt::driver {

struct ServerOptions {
    std::string runtimeDir;
    // Host daemon: serves root and the group "korvanta", socket mode 0660. Board daemon:
    // serves its own user only, socket mode 0600.
    bool hostDaemon = false;
    std::chrono::milliseconds frameTimeout{2000};   // a request must arrive within this
    std::chrono::milliseconds answerTimeout{5000};  // an answer must be taken within this
    size_t maxConnections = 64;
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

    // Whether the kernel-reported peer may use this daemon.
    bool Authorised(uid_t uid, gid_t gid) const;

  private:
    struct Connection;
    struct Listener {
        std::string device;
        std::string path;
        int fd = -1;
        dev_t dev = 0;
        ino_t ino = 0;
    };

    bool PrepareFolder(std::string* error);
    StartResult CheckStaleSocket(const std::string& path, std::string* error);
    bool Listen(Listener& listener, std::string* error);
    void AcceptOne(Listener& listener);
    void ReadFrom(Connection& connection);
    void SendTo(Connection& connection);
    void DropFinished(std::chrono::steady_clock::time_point now);
    void Watch(Connection& connection, uint32_t events);
    void Shutdown();

    RequestHandler& handler_;
    ServerOptions options_;
    std::string folder_;
    std::vector<Listener> listeners_;
    std::vector<std::unique_ptr<Connection>> connections_;
    bool haveGroup_ = false;
    gid_t group_ = 0;
    uid_t self_ = 0;
    bool stopping_ = false;
    int epoll_ = -1;
};

// True when a daemon accepts connections at the socket.
bool DaemonAnswers(const std::string& socketPath);

}  // namespace kvt::driver
