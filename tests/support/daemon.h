// A private korvanta-driver for tests: started on a board profile (or the host, read-only)
// with its own runtime folder, stopped and cleaned up when the object goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/driver_request.h"
#include "protocol/frame.h"

namespace kvt::test {

// Path of a board profile shipped in boards/, e.g. BoardProfile("intel-desktop").
std::string BoardProfile(const std::string& name);

struct DaemonOptions {
    std::string board;  // profile file; empty: the host backend
    bool readOnly = false;
    std::string runtimeDir;              // empty: a fresh private folder, removed afterwards
    std::vector<std::string> extraArgs;  // passed to korvanta-driver as they stand
};

class PrivateDaemon {
  public:
    PrivateDaemon() = default;
    ~PrivateDaemon();
    PrivateDaemon(const PrivateDaemon&) = delete;
    PrivateDaemon& operator=(const PrivateDaemon&) = delete;

    // Starts the daemon and waits (up to 10 s) until its sockets answer. On failure `error`
    // says why (including what the daemon printed).
    bool Start(const DaemonOptions& options, std::string* error = nullptr);
    // SIGTERM and wait; true when the daemon ended by itself within 5 s.
    bool Stop();
    // True while the daemon process lives.
    bool Running();

    pid_t pid() const { return pid_; }
    // The runtime folder clients are given (KORVANTA_RUNTIME_DIR), and the folder the daemon
    // listens in: the same for the host, a folder of its own below it for a board.
    const std::string& runtimeDir() const { return runtimeDir_; }
    const std::string& socketDir() const { return socketDir_; }
    std::string SocketPath(const std::string& device = "Korvanta") const;

  private:
    pid_t pid_ = -1;
    std::string runtimeDir_;
    std::string socketDir_;
    std::string logPath_;
    bool ownsFolder_ = false;
};

// One raw exchange on a daemon socket: sends `frame` (any bytes), then reads one answer or
// until the daemon closes. `answered` is set when a whole answer prefix arrived.
struct RawAnswer {
    bool connected = false;
    bool answered = false;
    alignas(8) AnswerHeader header{};  // aligned, so their 32-bit fields are too
    alignas(8) DriverRequest block{};
    std::vector<uint8_t> payload;
};
RawAnswer RawExchange(const std::string& socketPath, std::span<const uint8_t> frame,
                      int timeoutMs = 5000);

// A well-formed request frame.
std::vector<uint8_t> MakeFrame(uint32_t code, const DriverRequest& block, uint16_t flags = 0,
                               uint32_t processor = 0, std::span<const uint8_t> payload = {});

}  // namespace kvt::test
