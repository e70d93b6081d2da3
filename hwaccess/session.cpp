#include "hwaccess/session.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

#include "hwaccess/board_platform.h"
#include "hwaccess/ssh_transport.h"
#include "protocol/endpoint.h"

extern char** environ;

namespace kvt {

namespace fs = std::filesystem;

std::string ProgramFolder() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return self.parent_path().string();
}

std::string DataFolder() {
    std::error_code ec;
    const fs::path program = ProgramFolder();
    for (const fs::path& dir :
         {program, program / ".." / "share" / "korvanta", fs::path("/usr/share/korvanta")}) {
        if (fs::is_regular_file(dir / "regdes.txt", ec)) {
            fs::path canonical = fs::weakly_canonical(dir, ec);
            return ec ? dir.string() : canonical.string();
        }
    }
    return program.string();
}

std::string FindBoardProfile(const std::string& boardArg) {
    std::error_code ec;
    if (boardArg.empty()) return {};
    if (fs::is_regular_file(boardArg, ec)) return fs::absolute(boardArg, ec).string();
    std::string file = boardArg;
    if (fs::path(file).extension() != ".json") file += ".json";
    // A name only: no folders, so a name cannot reach outside the boards folders.
    if (fs::path(boardArg).has_parent_path()) return {};
    for (const fs::path& dir :
         {fs::path(ProgramFolder()) / "boards", fs::path(DataFolder()) / "boards"}) {
        fs::path candidate = dir / file;
        if (fs::is_regular_file(candidate, ec)) return fs::weakly_canonical(candidate, ec).string();
    }
    return {};
}

std::unique_ptr<HardwareSession> HardwareSession::Create(const std::string& boardArg,
                                                         std::string* error) {
    std::unique_ptr<HardwareSession> s(new HardwareSession());
    if (!boardArg.empty()) {
        s->profilePath_ = FindBoardProfile(boardArg);
        if (s->profilePath_.empty()) {
            if (error) *error = "no board profile named '" + boardArg + "'";
            return nullptr;
        }
        s->boardName_ = fs::path(s->profilePath_).stem().string();
        s->runtimeDir_ = BoardRuntimeDir(s->profilePath_);
    } else {
        s->runtimeDir_ = HostRuntimeDir();
    }
    s->transport_ = std::make_unique<SocketTransport>(s->runtimeDir_, s->IsBoard());
    HardwareSession* session = s.get();
    // The version record is taken once, on the first request that needs the form.
    s->client_ = std::make_unique<DriverClient>(
        *s->transport_, [session] { return session->platform_->Version(); });
    s->platform_ = s->IsBoard() ? MakeBoardPlatform(*s->client_) : MakeHostPlatform();
    return s;
}

std::unique_ptr<HardwareSession> HardwareSession::CreateRemote(const std::string& remote,
                                                               const std::string& boardName,
                                                               std::string* error) {
    RemoteTarget target;
    if (!ParseRemoteTarget(remote, target, error)) return nullptr;
    if (!boardName.empty() && !IsRemoteBoardName(boardName)) {
        if (error)
            *error = "--board " + boardName +
                     ": with --remote, a board is the name of a profile on the target machine "
                     "(letters, digits, '.', '-' and '_')";
        return nullptr;
    }
    std::unique_ptr<HardwareSession> s(new HardwareSession());
    s->remote_ = target.Text();
    s->boardName_ = boardName;
    s->transport_ = std::make_unique<SshTransport>(target, boardName);
    HardwareSession* session = s.get();
    s->client_ = std::make_unique<DriverClient>(
        *s->transport_, [session] { return session->platform_->Version(); });
    // The target's own values, as its daemon gives them.
    s->platform_ = boardName.empty() ? MakeRemoteHostPlatform(*s->client_, target.host)
                                     : MakeBoardPlatform(*s->client_);
    return s;
}

HardwareSession::~HardwareSession() = default;

std::string HardwareSession::Describe() const {
    if (IsRemote())
        return boardName_.empty() ? "Remote host: " + remote_
                                  : "Simulated board: " + boardName_ + " on " + remote_;
    return IsBoard() ? "Simulated board: " + boardName_ : std::string("Host");
}

namespace {

// Asks the daemon for its status: Ok when it runs and serves us.
TransportStatus Probe(DriverClient& client, std::string* status = nullptr) {
    std::string text;
    RequestStatus asked = client.DriverStatus(text);
    if (asked.served()) {
        if (status != nullptr) *status = text;
        return TransportResult::Ok;
    }
    return {asked.failure == TransportFailure::NoDaemon ? TransportResult::OpenFailed
                                                        : TransportResult::RequestFailed,
            asked.failure, asked.detail};
}

std::string FindDriverProgram() {
    std::error_code ec;
    // Beside the program in the build tree; in libexec/korvanta/ of the prefix it was installed to.
    const fs::path folder = ProgramFolder();
    for (const fs::path& candidate :
         {folder / "korvanta-driver", folder / ".." / "libexec" / "korvanta" / "korvanta-driver"}) {
        if (fs::is_regular_file(candidate, ec)) return fs::weakly_canonical(candidate, ec).string();
    }
    for (const char* dir : {"/usr/libexec/korvanta", "/usr/local/bin", "/usr/bin"}) {
        fs::path candidate = fs::path(dir) / "korvanta-driver";
        if (fs::is_regular_file(candidate, ec)) return candidate.string();
    }
    return {};
}

std::string FindPkexec() {
    for (const char* path : {"/usr/bin/pkexec", "/bin/pkexec"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return {};
}

// Runs the program and waits for it; true when it exited with status 0. What it printed on
// standard error (its first line) goes to *message, so a failure reads as one line.
bool RunAndWait(const std::vector<std::string>& argv, std::string* message) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = 0;
    int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    if (spawned != 0) {
        close(err[0]);
        return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) break;
    }
    // The starter has ended; whatever it printed waits in the pipe.
    fcntl(err[0], F_SETFL, O_NONBLOCK);
    char text[1024];
    ssize_t n = read(err[0], text, sizeof text - 1);
    close(err[0]);
    if (n > 0) {
        std::string line(text, static_cast<size_t>(n));
        line = line.substr(0, line.find('\n'));
        if (message) *message = line;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool HardwareSession::LoadDriver(std::string* why) {
    auto fail = [why](const std::string& reason) {
        if (why) *why = reason;
        return false;
    };
    std::string status;
    TransportStatus probe = Probe(*client_, &status);
    if (IsRemote()) {
        // The target's `driver stdio` has started its daemon (a board's as its profile stands
        // there) or said why it could not.
        if (probe == TransportResult::Ok) return true;
        return fail("the daemon on " + remote_ +
                    " cannot be reached: " + DescribeFailure(probe.failure) +
                    (probe.detail.empty() ? "" : " (" + probe.detail + ")"));
    }
    if (probe == TransportResult::Ok) {
        if (!IsBoard()) return true;
        // A board daemon serves the profile as it was when it started: when the file has
        // changed since (or the daemon serves another profile), it is replaced.
        std::error_code ec;
        fs::path absolute = fs::absolute(profilePath_, ec);
        std::string line = ProfileStatusLine(ec ? profilePath_ : absolute.string());
        if (!line.empty() && status.find("\n" + line + "\n") != std::string::npos) return true;
        client_->StopDriver();
        transport_->Disconnect();
        std::string socket = SocketPath(runtimeDir_, kNtDeviceName);
        for (int i = 0; i < 300 && access(socket.c_str(), F_OK) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (probe == TransportResult::RequestFailed) {
        TransportFailure failure = probe.failure;
        if (failure != TransportFailure::NoAnswer) {
            const std::string& detail = probe.detail;
            return fail(std::string(IsBoard() ? "the board daemon" : "the driver daemon") +
                        " cannot be reached: " + DescribeFailure(failure) +
                        (detail.empty() ? "" : " (" + detail + ")"));
        }
        return fail(IsBoard() ? "the board daemon closed the connection without an answer: it "
                                "serves only the user who started it"
                              : "the driver daemon closed the connection without an answer: "
                                "only root and members of group korvanta are served");
    }

    std::string driver = FindDriverProgram();
    if (driver.empty()) return fail("korvanta-driver not found beside the program");
    std::vector<std::string> argv;
    if (IsBoard()) {
        argv = {driver, "--detach", "--board", profilePath_, "--runtime-dir", runtimeDir_};
    } else if (geteuid() == 0) {
        argv = {driver, "--detach", "--runtime-dir", runtimeDir_};
    } else {
        std::string pkexec = FindPkexec();
        if (pkexec.empty()) {
            return fail(
                "the driver daemon is not running, and starting it needs root "
                "(pkexec is not installed)");
        }
        argv = {pkexec, driver, "--detach", "--runtime-dir", runtimeDir_};
    }
    std::string message;
    if (!RunAndWait(argv, &message)) {
        return fail("the driver daemon could not be started" +
                    (message.empty() ? std::string() : ": " + message));
    }
    // --detach returns once the daemon listens; allow a short grace period all the same.
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (Probe(*client_) == TransportResult::Ok) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fail("the driver daemon started but does not answer");
}

}  // namespace kvt
