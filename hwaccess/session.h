// What the desktop program and the command line work against: the host, or a simulated
// board (`--board NAME|FILE`). Holds the transport, the driver client and the platform.
#pragma once

#include <memory>
#include <string>

#include "hwaccess/driver_client.h"
#include "hwaccess/transport.h"
#include "platform/platform.h"

namespace kvt {

class HardwareSession {
  public:
    // boardArg empty: the host. Otherwise a board name (a profile in the boards folder beside
    // the program, or in the source tree's boards/) or the path of a profile file.
    // Returns null with a one-line reason in *error when the board cannot be found.
    static std::unique_ptr<HardwareSession> Create(const std::string& boardArg, std::string* error);
    // The daemon of another machine through ssh (`--remote [USER@]HOST[:PORT]`): its host
    // daemon, or with boardName the board daemon of the remote user (a profile name that
    // machine knows). Returns null with the reason when the target or the name is not
    // acceptable; nothing is run then.
    static std::unique_ptr<HardwareSession> CreateRemote(const std::string& remote,
                                                         const std::string& boardName,
                                                         std::string* error);
    ~HardwareSession();

    bool IsBoard() const { return !profilePath_.empty() || (IsRemote() && !boardName_.empty()); }
    bool IsRemote() const { return !remote_.empty(); }
    // The remote target as given ("me@lab7:2222"); empty for this machine.
    const std::string& remote() const { return remote_; }
    const std::string& profilePath() const { return profilePath_; }
    const std::string& runtimeDir() const { return runtimeDir_; }
    // "Host" or "Simulated board: <name>", and for a remote target "Remote host: <target>" or
    // "Simulated board: <name> on <target>" — for the title, the status bar and `driver status`.
    std::string Describe() const;

    // Makes the driver daemon ready: connects, and when nothing answers starts it (the board
    // daemon for a board; for the host directly when root, else through pkexec) and waits
    // until it answers. A daemon already running counts as success.
    bool LoadDriver(std::string* why = nullptr);

    DriverClient& client() { return *client_; }
    Platform& platform() { return *platform_; }
    DriverTransport& transport() { return *transport_; }

  private:
    HardwareSession() = default;
    std::string profilePath_;
    std::string boardName_;
    std::string runtimeDir_;
    std::string remote_;
    std::unique_ptr<SocketTransport> transport_;
    std::unique_ptr<DriverClient> client_;
    std::unique_ptr<Platform> platform_;  // a board's asks through client_
};

// Folder of the running program file (without a trailing slash).
std::string ProgramFolder();
// Folder of the data files (regdes.txt, PciId.txt, boards/, ...), without a trailing slash:
// the program's folder in the build tree, else share/korvanta of the prefix the program was
// installed to, else /usr/share/korvanta; the program's folder when none holds them.
std::string DataFolder();
// Finds a board profile: an existing file path, or NAME(.json) in the boards folder of the
// data folder. Empty when not found.
std::string FindBoardProfile(const std::string& boardArg);

}  // namespace kvt
