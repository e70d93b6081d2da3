// `driver stdio`: the target machine's end of `--remote`. ssh runs it there as the remote user;
// it makes that machine's daemon ready as every command does, connects to it (with the checks
// of its folders and of the user serving it) and passes the frames through unchanged in both
// directions, so the daemon checks and authorises the remote user and every field itself.
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "cli/cli.h"
#include "hwaccess/transport.h"
#include "protocol/driver_request.h"

namespace kvt::cli {

namespace {

bool WriteAll(int fd, const char* data, size_t size, bool socket) {
    while (size > 0) {
        ssize_t n = socket ? ::send(fd, data, size, MSG_NOSIGNAL) : ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Copies standard input to the daemon and the daemon's answers to standard output until one
// side ends. Each direction has its own thread, so neither waits for the other.
int Relay(int daemon) {
    signal(SIGPIPE, SIG_IGN);
    // The client keeps its own time limit; a kept connection may wait between requests.
    timeval none{0, 0};
    setsockopt(daemon, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
    setsockopt(daemon, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    auto inputEnded = std::make_shared<std::atomic<bool>>(false);
    std::thread toDaemon([daemon, inputEnded] {
        char buffer[65536];
        for (;;) {
            ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !WriteAll(daemon, buffer, static_cast<size_t>(n), true)) break;
        }
        *inputEnded = true;
        ::shutdown(daemon, SHUT_WR);
    });
    // The thread may still wait on standard input when the daemon has ended.
    toDaemon.detach();
    char buffer[65536];
    bool outputLost = false;
    for (;;) {
        ssize_t n = ::recv(daemon, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (!WriteAll(STDOUT_FILENO, buffer, static_cast<size_t>(n), false)) {
            outputLost = true;
            break;
        }
    }
    if (*inputEnded || outputLost) return 0;
    return Fail("the daemon closed the connection");
}

Action DefineDriverStdio(CLI::App& command) {
    auto device = std::make_shared<std::string>(kNtDeviceName);
    command.add_option("--device", *device, "the device whose socket to pass through")
        ->check(OneOf({kNtDeviceName, kConsumerDeviceName}));
    return [device](Context& context) {
        if (!context.remote().empty())
            return Fail("driver stdio runs on the target machine; it takes no --remote");
        HardwareSession* session = context.Session();
        if (session == nullptr) return 1;
        TransportStatus failed;
        int daemon = ConnectDaemon(session->runtimeDir(), *device, session->IsBoard(), &failed);
        if (daemon < 0) {
            return Fail(std::string("the daemon cannot be reached: ") +
                        DescribeFailure(failed.failure) +
                        (failed.detail.empty() ? "" : " (" + failed.detail + ")"));
        }
        return Relay(daemon);
    };
}

CommandRegistrar driverStdio{{"driver stdio",
                              "Passes driver requests between standard input and output and "
                              "the daemon (what --remote runs on the target through ssh)",
                              &DefineDriverStdio}};

}  // namespace

}  // namespace kvt::cli
