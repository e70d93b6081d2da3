// An OpenSSH server of the test's own on 127.0.0.1: a free port, a host key and a client key
// made for the test in a private folder, and an ssh_config for the client that knows both.
// It serves the current user; remote commands get the KORVANTA_* variables the client sends.
#pragma once

#include <sys/types.h>

#include <string>

namespace kvt::test {

class SshServer {
  public:
    SshServer() = default;
    ~SshServer();
    SshServer(const SshServer&) = delete;
    SshServer& operator=(const SshServer&) = delete;

    // Whether sshd and ssh-keygen are installed; *why names what is missing.
    static bool Available(std::string* why);
    // Makes the keys and the configuration and starts sshd, waiting until it accepts.
    bool Start(std::string* error);
    void Stop();

    int port() const { return port_; }
    const std::string& user() const { return user_; }
    // "user@127.0.0.1:port", for --remote.
    std::string Target() const;
    // The environment of a client that uses this server: KORVANTA_SSH (ssh -F its config) and
    // KORVANTA_REMOTE_CLI (the build's korvanta-cli). The config passes KORVANTA_RUNTIME_DIR
    // and KORVANTA_TIME_LIMIT_MS on to the remote side.
    std::string SshVariable() const;
    std::string RemoteCliVariable() const;
    const std::string& folder() const { return folder_; }

  private:
    std::string folder_;
    std::string user_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace kvt::test
