#include "support/daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "protocol/endpoint.h"

namespace kvt::test {

namespace {

int ConnectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string BoardProfile(const std::string& name) {
    return std::string(KORVANTA_SOURCE_DIR) + "/boards/" + name + ".json";
}

PrivateDaemon::~PrivateDaemon() {
    Stop();
    if (ownsFolder_) {
        std::error_code ec;
        std::filesystem::remove_all(runtimeDir_, ec);
    }
}

bool PrivateDaemon::Start(const DaemonOptions& options, std::string* error) {
    std::string ignored;
    if (error == nullptr) error = &ignored;
    Stop();
    if (options.runtimeDir.empty()) {
        if (!ownsFolder_) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvanta-test-XXXXXX";
            std::vector<char> name(pattern.begin(), pattern.end());
            name.push_back('\0');
            if (mkdtemp(name.data()) == nullptr) {
                *error = "mkdtemp failed";
                return false;
            }
            runtimeDir_ = name.data();
            ownsFolder_ = true;
        }
    } else {
        runtimeDir_ = options.runtimeDir;
    }
    logPath_ = runtimeDir_ + ".log";
    // A board listens in its own folder under the runtime folder, where a client finds it.
    socketDir_ =
        options.board.empty() ? runtimeDir_ : BoardRuntimeDirUnder(runtimeDir_, options.board);

    std::vector<std::string> args = {KORVANTA_DRIVER_BIN, "--runtime-dir", socketDir_};
    if (!options.board.empty()) args.insert(args.end(), {"--board", options.board});
    if (options.readOnly) args.push_back("--read-only");
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());
    // The write journal stays in the test's folder, not in the user's state folder.
    if (std::find(options.extraArgs.begin(), options.extraArgs.end(), "--journal") ==
        options.extraArgs.end())
        args.insert(args.end(), {"--journal", runtimeDir_ + "/journal/writes"});

    pid_t child = fork();
    if (child < 0) {
        *error = "fork failed";
        return false;
    }
    if (child == 0) {
        int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    pid_ = child;

    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            *error = "korvanta-driver ended: " + ReadFile(logPath_);
            return false;
        }
        int fd = ConnectTo(SocketPath());
        if (fd >= 0) {
            close(fd);
            int fd2 = ConnectTo(SocketPath("korvavxd.vxd"));
            if (fd2 >= 0) {
                close(fd2);
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    *error = "korvanta-driver did not answer within 10 s";
    Stop();
    return false;
}

bool PrivateDaemon::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool PrivateDaemon::Stop() {
    if (pid_ <= 0) return true;
    kill(pid_, SIGTERM);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            std::remove(logPath_.c_str());
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return false;
}

std::string PrivateDaemon::SocketPath(const std::string& device) const {
    return socketDir_ + "/korvanta/" + device;
}

RawAnswer RawExchange(const std::string& socketPath, std::span<const uint8_t> frame,
                      int timeoutMs) {
    RawAnswer result;
    int fd = ConnectTo(socketPath);
    if (fd < 0) return result;
    result.connected = true;
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    std::vector<uint8_t> bytes;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t chunk[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        until - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
        // The daemon keeps the connection for more requests: one whole answer ends the read.
        if (bytes.size() >= kAnswerPrefixSize) {
            AnswerHeader header;
            std::memcpy(&header, bytes.data(), sizeof header);
            if (bytes.size() >= kAnswerPrefixSize + header.payloadLength) break;
        }
    }
    close(fd);
    if (bytes.size() >= kAnswerPrefixSize) {
        result.answered = true;
        std::memcpy(&result.header, bytes.data(), sizeof result.header);
        std::memcpy(&result.block, bytes.data() + sizeof result.header, kDriverRequestSize);
        result.payload.assign(bytes.begin() + kAnswerPrefixSize, bytes.end());
    }
    return result;
}

std::vector<uint8_t> MakeFrame(uint32_t code, const DriverRequest& block, uint16_t flags,
                               uint32_t processor, std::span<const uint8_t> payload) {
    FrameHeader header{kFrameMagic, kFrameVersion, flags,
                       code,        processor,     static_cast<uint32_t>(payload.size())};
    std::vector<uint8_t> frame(kRequestPrefixSize + payload.size());
    std::memcpy(frame.data(), &header, sizeof header);
    std::memcpy(frame.data() + sizeof header, &block, kDriverRequestSize);
    if (!payload.empty())
        std::memcpy(frame.data() + kRequestPrefixSize, payload.data(), payload.size());
    return frame;
}

}  // namespace kvt::test
