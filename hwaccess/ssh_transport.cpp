#include "hwaccess/ssh_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kvt {

namespace {

bool SafeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

bool SafeWord(const std::string& word) {
    if (word.empty() || word[0] == '-') return false;
    for (char c : word)
        if (!SafeChar(c)) return false;
    return true;
}

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(text.c_str());
    return port >= 1 && port <= 65535;
}

// One word for the remote user's shell, which ssh hands the command to: in single quotes.
std::string ShellQuote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    while ((start = text.find_first_not_of(" \t", start)) != std::string::npos) {
        size_t end = text.find_first_of(" \t", start);
        if (end == std::string::npos) end = text.size();
        words.push_back(text.substr(start, end - start));
        start = end;
    }
    return words;
}

// Reads what waits on a non-blocking descriptor; false at its end.
bool Drain(int fd, std::string& into) {
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, static_cast<size_t>(n));
            // Only the last lines matter.
            if (into.size() > 16384) into.erase(0, into.size() - 8192);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// The last non-empty line of a text, printable characters only (a remote side must not send
// terminal controls to the user's screen).
std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return {};
    size_t start = text.find_last_of('\n', end);
    start = start == std::string::npos ? 0 : start + 1;
    std::string line;
    for (size_t i = start; i <= end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        line += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return line;
}

}  // namespace

std::string RemoteTarget::Text() const {
    std::string text = user.empty() ? "" : user + "@";
    bool v6 = host.find(':') != std::string::npos;
    text += v6 && port != 0 ? "[" + host + "]" : host;
    if (port != 0) text += ":" + std::to_string(port);
    return text;
}

bool ParseRemoteTarget(const std::string& text, RemoteTarget& target, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why != nullptr) *why = "--remote " + text + ": " + reason;
        return false;
    };
    RemoteTarget parsed;
    std::string rest = text;
    size_t at = rest.find('@');
    if (at != std::string::npos) {
        parsed.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (parsed.user.size() > 32 || !SafeWord(parsed.user))
            return fail("the user takes letters, digits, '.', '-' and '_', not starting with '-'");
    }
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) return fail("an IPv6 address ends with ']'");
        parsed.host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return fail("only ':PORT' may follow the address");
            portText = after.substr(1);
            hasPort = true;
        }
        if (parsed.host.empty() || parsed.host.size() > 45 ||
            parsed.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return fail("not an IPv6 address in brackets");
    } else {
        size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos)
            return fail("write an IPv6 address in brackets: [ADDRESS]:PORT");
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            hasPort = true;
        }
        if (parsed.host.empty()) return fail("no host");
        if (parsed.host.size() > 253 || !SafeWord(parsed.host))
            return fail("the host takes letters, digits, '.', '-' and '_', not starting with '-'");
    }
    if (hasPort && !ParsePort(portText, parsed.port))
        return fail("the port is a decimal number from 1 to 65535");
    target = parsed;
    return true;
}

bool IsRemoteBoardName(const std::string& name) {
    return name.size() <= 128 && SafeWord(name) && name[0] != '.';
}

std::vector<std::string> SshCommand(const RemoteTarget& target, const std::string& board,
                                    const std::string& device) {
    const char* sshText = std::getenv("KORVANTA_SSH");
    std::vector<std::string> argv = SplitBlanks(sshText != nullptr ? sshText : "");
    if (argv.empty()) argv = {"ssh"};
    // No terminal, no escape character, no questions (a host key not known, a passphrase:
    // ssh fails and says why), and a connection that stops answering ends within a minute.
    for (const char* option : {"-T", "-e", "none", "-o", "BatchMode=yes", "-o", "ConnectTimeout=10",
                               "-o", "ServerAliveInterval=15", "-o", "ServerAliveCountMax=3"})
        argv.emplace_back(option);
    if (!target.user.empty()) argv.insert(argv.end(), {"-l", target.user});
    if (target.port != 0) argv.insert(argv.end(), {"-p", std::to_string(target.port)});
    argv.insert(argv.end(), {"--", target.host});

    const char* cliText = std::getenv("KORVANTA_REMOTE_CLI");
    std::string command = ShellQuote(cliText != nullptr && *cliText ? cliText : "korvanta-cli");
    if (!board.empty()) command += " --board " + ShellQuote(board);
    command += " driver stdio --device " + ShellQuote(device);
    argv.push_back(command);
    return argv;
}

SshTransport::SshTransport(RemoteTarget target, std::string board)
    // Frames name processor 0 for a thread that was not pinned: this machine's processor
    // numbers mean nothing on the target.
    : SocketTransport(std::string(), true), target_(std::move(target)), board_(std::move(board)) {}

SshTransport::~SshTransport() {
    Disconnect();
    std::lock_guard<std::mutex> lock(childrenMutex_);
    for (auto& [device, child] : children_) EndChild(child, 0);
    children_.clear();
}

pid_t SshTransport::ProcessOf(const std::string& device) {
    std::lock_guard<std::mutex> lock(childrenMutex_);
    auto found = children_.find(device);
    return found == children_.end() ? -1 : found->second.pid;
}

int SshTransport::Connect(const std::string& device, TransportStatus* failed) {
    *failed = {TransportResult::RequestFailed, TransportFailure::ConnectionLost};
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        failed->detail = std::string("socketpair: ") + std::strerror(errno);
        return -1;
    }
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) {
        failed->detail = std::string("pipe: ") + std::strerror(errno);
        close(pair[0]);
        close(pair[1]);
        return -1;
    }
    std::vector<std::string> argv = SshCommand(target_, board_, device);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pair[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own: no terminal to ask on, and the terminal's Ctrl+C reaches this
    // program, which ends ssh itself.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pair[1]);
    close(err[1]);
    if (spawned != 0) {
        failed->detail = "cannot run " + argv[0] + ": " + std::strerror(spawned);
        close(pair[0]);
        close(err[0]);
        return -1;
    }
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    // The daemon's time limit holds for every exchange through the tunnel as well.
    long ms = ExchangeTimeLimitMs();
    timeval limit{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
    setsockopt(pair[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(pair[0], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::lock_guard<std::mutex> lock(childrenMutex_);
    Child& child = children_[device];
    if (child.pid > 0) EndChild(child, 0);
    child = Child{pid, err[0], {}};
    return pair[0];
}

std::string SshTransport::EndChild(Child& child, int graceMs) {
    if (child.pid <= 0) return {};
    // Whatever ssh still prints comes before its end, and its end closes the pipe.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    bool open = child.errFd >= 0;
    while (open) {
        open = Drain(child.errFd, child.errors);
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (!open || left <= 0) break;
        pollfd p{child.errFd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left));
    }
    int status = 0;
    pid_t ended = waitpid(child.pid, &status, WNOHANG);
    if (ended == 0) {
        kill(child.pid, SIGTERM);
        for (int i = 0; i < 50 && (ended = waitpid(child.pid, &status, WNOHANG)) == 0; ++i)
            usleep(2000);
        if (ended == 0) {
            kill(child.pid, SIGKILL);
            ended = waitpid(child.pid, &status, 0);
        }
    }
    if (child.errFd >= 0) {
        Drain(child.errFd, child.errors);
        close(child.errFd);
    }
    std::string line = LastLine(child.errors);
    child = Child{};
    if (!line.empty()) return line;
    if (ended > 0 && WIFEXITED(status))
        return "ssh exited with status " + std::to_string(WEXITSTATUS(status));
    if (ended > 0 && WIFSIGNALED(status))
        return "ssh ended by signal " + std::to_string(WTERMSIG(status));
    return "ssh ended";
}

TransportStatus SshTransport::Closed(const std::string& device, TransportFailure failure) {
    std::lock_guard<std::mutex> lock(childrenMutex_);
    auto found = children_.find(device);
    std::string how;
    if (found != children_.end()) {
        // A connection that broke off: ssh ends by itself (its last words say why). A time-out
        // or a close on purpose: it is ended now.
        bool broke =
            failure == TransportFailure::NoAnswer || failure == TransportFailure::BrokenAnswer;
        how = EndChild(found->second, broke ? 2000 : 0);
        children_.erase(found);
    }
    if (failure == TransportFailure::TimedOut)
        return {TransportResult::RequestFailed, TransportFailure::TimedOut,
                "ssh " + target_.Text()};
    return {TransportResult::RequestFailed, TransportFailure::ConnectionLost,
            how.empty() ? "ssh " + target_.Text() : how};
}

}  // namespace kvt
