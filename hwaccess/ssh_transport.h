// The daemon of another machine, reached through OpenSSH: `--remote [USER@]HOST[:PORT]`.
//
// For each device the transport starts `ssh ... HOST korvanta-cli [--board NAME] driver stdio
// --device DEVICE` and speaks the daemon's frames over the child's standard input and output
// (one socket pair). On the target, `driver stdio` connects to that machine's daemon as the
// ssh user, with the client's checks of the socket's folders and of the user serving it, so the
// daemon there applies its own authorisation (root, its group; a board daemon its own user).
// ssh checks the host key and authenticates as it always does (the user's own ssh config and
// keys); nothing is passed through a shell on this side.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "hwaccess/transport.h"

namespace kvt {

struct RemoteTarget {
    std::string user;  // empty: ssh's own choice (the config's User, else the local user)
    std::string host;  // a name, an IPv4 address or an IPv6 address (without brackets)
    int port = 0;      // 0: ssh's own choice
    // As given: "user@host:port", an IPv6 address in brackets when a port follows.
    std::string Text() const;
};

// Parses [USER@]HOST[:PORT] (an IPv6 address as [ADDRESS] or [ADDRESS]:PORT). Only what
// cannot be taken for an ssh option passes: a user and host of letters, digits, '.', '-' and
// '_' that do not start with '-', a port of 1 to 65535. False with the reason in *why.
bool ParseRemoteTarget(const std::string& text, RemoteTarget& target, std::string* why);

// A board profile name as the target machine looks it up: letters, digits, '.', '-' and '_',
// not starting with '-' or '.'; no path (a file of this machine means nothing there).
bool IsRemoteBoardName(const std::string& name);

// The ssh command for one device: $KORVANTA_SSH split at blanks (default "ssh"), its options,
// the target and the command run there ($KORVANTA_REMOTE_CLI, default "korvanta-cli").
std::vector<std::string> SshCommand(const RemoteTarget& target, const std::string& board,
                                    const std::string& device);

class SshTransport : public SocketTransport {
  public:
    SshTransport(RemoteTarget target, std::string board);
    ~SshTransport() override;
    const RemoteTarget& target() const { return target_; }
    // The ssh process that serves a device now, or -1.
    pid_t ProcessOf(const std::string& device);

  protected:
    int Connect(const std::string& device, TransportStatus* failed) override;
    TransportStatus Closed(const std::string& device, TransportFailure failure) override;
    // A frame written to ssh may have reached the daemon: a lost connection is never
    // replaced within the request (the next request starts ssh again).
    bool ReplaceDropped() const override { return false; }

  private:
    struct Child {
        pid_t pid = -1;
        int errFd = -1;      // ssh's standard error
        std::string errors;  // what it printed so far (its last lines)
    };
    // Ends the child (it has had `grace` milliseconds to end by itself) and tells how:
    // the last line it printed, else its exit status.
    std::string EndChild(Child& child, int graceMs);

    RemoteTarget target_;
    std::string board_;
    std::mutex childrenMutex_;
    std::map<std::string, Child> children_;
};

}  // namespace kvt
