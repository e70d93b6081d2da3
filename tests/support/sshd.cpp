#include "support/sshd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/process.h"

namespace kvt::test {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSshd = "/usr/sbin/sshd";
constexpr const char* kKeygen = "/usr/bin/ssh-keygen";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Accepts(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool SshServer::Available(std::string* why) {
    for (const char* program : {kSshd, kKeygen, "/usr/bin/ssh"}) {
        if (access(program, X_OK) != 0) {
            if (why)
                *why = std::string(program) + " is not installed (openssh-server, openssh-client)";
            return false;
        }
    }
    return true;
}

SshServer::~SshServer() {
    Stop();
    if (!folder_.empty()) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string SshServer::Target() const {
    return user_ + "@127.0.0.1:" + std::to_string(port_);
}

std::string SshServer::SshVariable() const {
    return "KORVANTA_SSH=ssh -F " + folder_ + "/ssh_config";
}

std::string SshServer::RemoteCliVariable() const {
    return std::string("KORVANTA_REMOTE_CLI=") + KORVANTA_CLI_BIN;
}

bool SshServer::Start(std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    if (!Available(error)) return false;
    char pattern[] = "/tmp/kvt-sshd-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("mkdtemp failed");
    folder_ = pattern;
    passwd* pw = getpwuid(geteuid());
    if (pw == nullptr) return fail("the current user has no name");
    user_ = pw->pw_name;
    // sshd started as root separates privileges into this folder, which the distribution's
    // service makes at boot.
    if (geteuid() == 0 && !fs::is_directory("/run/sshd")) {
        mkdir("/run/sshd", 0755);
    }
    for (const char* key : {"host_key", "client_key"}) {
        ProcessResult made = RunProcess(
            {kKeygen, "-q", "-t", "ed25519", "-N", "", "-C", key, "-f", folder_ + "/" + key});
        if (made.status != 0) return fail(std::string("ssh-keygen failed: ") + made.err);
    }
    if (!WriteFile(folder_ + "/authorized_keys", ReadFile(folder_ + "/client_key.pub")))
        return fail("cannot write authorized_keys");

    for (int attempt = 0; attempt < 3; ++attempt) {
        port_ = FreePort();
        if (port_ == 0) return fail("no free port");
        std::ostringstream config;
        config << "Port " << port_ << "\nListenAddress 127.0.0.1\n"
               << "HostKey " << folder_ << "/host_key\n"
               << "PidFile " << folder_ << "/sshd.pid\n"
               << "AuthorizedKeysFile " << folder_ << "/authorized_keys\n"
               << "UsePAM no\nStrictModes no\nPasswordAuthentication no\n"
               << "KbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
               << "PermitRootLogin prohibit-password\nAcceptEnv KORVANTA_*\n"
               << "LogLevel ERROR\n";
        WriteFile(folder_ + "/sshd_config", config.str());
        std::string hostKey = ReadFile(folder_ + "/host_key.pub");
        WriteFile(folder_ + "/known_hosts", "[127.0.0.1]:" + std::to_string(port_) + " " + hostKey);
        WriteFile(folder_ + "/ssh_config",
                  "Host *\n  IdentityFile " + folder_ +
                      "/client_key\n  IdentitiesOnly yes\n  UserKnownHostsFile " + folder_ +
                      "/known_hosts\n  GlobalKnownHostsFile /dev/null\n"
                      "  StrictHostKeyChecking yes\n  PasswordAuthentication no\n"
                      "  SendEnv KORVANTA_RUNTIME_DIR KORVANTA_TIME_LIMIT_MS\n  LogLevel ERROR\n");

        const std::string log = folder_ + "/sshd.log";
        pid_ = fork();
        if (pid_ == 0) {
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (out >= 0) {
                dup2(out, 1);
                dup2(out, 2);
            }
            std::string cfg = folder_ + "/sshd_config";
            execl(kSshd, kSshd, "-D", "-e", "-f", cfg.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            if (Accepts(port_)) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Stop();
        if (attempt == 2) return fail("sshd did not start: " + ReadFile(log));
    }
    return false;
}

void SshServer::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace kvt::test
