// korvanta-driver: serves the driver requests of Korvanta on this machine or on a simulated
// board, over Unix sockets under <runtime>/korvanta.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "driver/audit.h"
#include "driver/board/board.h"
#include "driver/handler.h"
#include "driver/host/host_backend.h"
#include "driver/journal.h"
#include "driver/server.h"
#include "platform/format.h"
#include "protocol/endpoint.h"
#include "protocol/frame.h"

namespace {

using namespace kvt;
using namespace kvt::driver;

struct Options {
    std::string board;
    std::string runtimeDir;
    bool readOnly = false;
    bool detach = false;
    bool stop = false;
    bool devPort = false;
    std::string auditFile;    // empty: the default for the kind of daemon
    std::string policyFile;   // empty: /etc/korvanta/policy for the host daemon, none for a board
    std::string journalFile;  // empty: the default for the kind of daemon
    size_t journalLimit = kJournalDefaultLimit;  // entries per journal file before it rotates
    std::string systemLogSocket = "/dev/log";
    std::string group = "korvanta";              // host daemon: the group it serves besides root
    bool groupGiven = false;                     // a board daemon serves root and the group too
    std::chrono::milliseconds idleExit{600000};  // a board daemon without clients ends then
};

constexpr const char* kUsage =
    "usage: korvanta-driver [--board FILE] [--runtime-dir DIR] [--read-only] [--dev-port]\n"
    "                       [--detach] [--stop] [--audit-file FILE] [--system-log SOCKET]\n"
    "                       [--group NAME] [--policy FILE] [--idle-exit MILLISECONDS]\n"
    "                       [--journal FILE] [--journal-limit ENTRIES]";

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--board" || arg == "--runtime-dir") && i + 1 < argc) {
            (arg == "--board" ? options.board : options.runtimeDir) = argv[++i];
        } else if (arg == "--idle-exit" && i + 1 < argc) {
            options.idleExit = std::chrono::milliseconds(std::atoll(argv[++i]));
        } else if (arg == "--group" && i + 1 < argc) {
            options.group = argv[++i];
            options.groupGiven = true;
        } else if (arg == "--policy" && i + 1 < argc) {
            options.policyFile = argv[++i];
        } else if (arg == "--journal" && i + 1 < argc) {
            options.journalFile = argv[++i];
        } else if (arg == "--journal-limit" && i + 1 < argc) {
            long long limit = std::atoll(argv[++i]);
            if (limit < 1 || limit > 1000000) return false;
            options.journalLimit = static_cast<size_t>(limit);
        } else if (arg == "--audit-file" && i + 1 < argc) {
            options.auditFile = argv[++i];
        } else if (arg == "--system-log" && i + 1 < argc) {
            options.systemLogSocket = argv[++i];
        } else if (arg == "--read-only") {
            options.readOnly = true;
        } else if (arg == "--dev-port") {
            options.devPort = true;
        } else if (arg == "--detach") {
            options.detach = true;
        } else if (arg == "--stop") {
            options.stop = true;
        } else {
            return false;
        }
    }
    return true;
}

bool SendAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Asks the daemon at the runtime folder to end. 0 when it ended or none runs.
int StopDaemon(const std::string& runtimeDir) {
    std::string path = SocketPath(runtimeDir, kNtDeviceName);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "korvanta-driver: socket path too long: %s\n", path.c_str());
        return 1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        std::printf("korvanta-driver: no daemon runs at %s\n", path.c_str());
        return 0;
    }
    timeval timeout{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    uint8_t frame[kRequestPrefixSize] = {};
    FrameHeader header{kFrameMagic, kFrameVersion, 0, kExtStop, 0, 0};
    std::memcpy(frame, &header, sizeof header);
    uint8_t answer[kAnswerPrefixSize];
    size_t got = 0;
    if (SendAll(fd, frame, sizeof frame)) {
        while (got < sizeof answer) {
            ssize_t n = recv(fd, answer + got, sizeof answer - got, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
    }
    close(fd);
    AnswerHeader reply{};
    if (got == sizeof answer) std::memcpy(&reply, answer, sizeof reply);
    if (got != sizeof answer || reply.magic != kAnswerMagic || reply.success != 1) {
        std::fprintf(stderr, "korvanta-driver: the daemon at %s refused to stop\n", path.c_str());
        return 1;
    }
    // The daemon removes its sockets as it ends.
    for (int i = 0; i < 300 && DaemonAnswers(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}

// Start-up outcome passed from a detached daemon to the waiting parent.
void Report(int pipeFd, const std::string& message) {
    if (pipeFd < 0) return;
    ssize_t ignored = write(pipeFd, message.data(), message.size());
    (void)ignored;
    close(pipeFd);
}

int Serve(const Options& options, const std::string& runtimeDir, int reportFd) {
    std::unique_ptr<Backend> backend;
    // Taken before the profile is read, so an edit made meanwhile shows as a change.
    std::string profileLine = options.board.empty() ? "" : ProfileStatusLine(options.board);
    if (!options.board.empty()) {
        std::string error;
        backend = LoadBoardBackend(options.board, &error);
        if (!backend) {
            std::string message = "korvanta-driver: cannot load board " +
                                  EscapeControls(options.board) + ": " + error;
            if (reportFd >= 0)
                Report(reportFd, "E" + message);
            else
                std::fprintf(stderr, "%s\n", message.c_str());
            return 1;
        }
    } else {
        HostPaths paths;
        paths.portInstructions = !options.devPort;
        backend = CreateHostBackend(paths);
    }

    // What members may do; a policy that cannot be read whole stops the start.
    HandlerOptions handlerOptions;
    std::string policyFile = options.policyFile;
    if (policyFile.empty() && options.board.empty()) policyFile = "/etc/korvanta/policy";
    if (!policyFile.empty()) {
        std::string error;
        if (!handlerOptions.policy.Load(policyFile, &error)) {
            std::string message = "korvanta-driver: policy not loaded: " + error;
            if (reportFd >= 0)
                Report(reportFd, "E" + message);
            else
                std::fprintf(stderr, "%s\n", message.c_str());
            return 1;
        }
    }

    openlog("korvanta-driver", LOG_PID, options.board.empty() ? LOG_DAEMON : LOG_USER);
    AuditLog audit(
        "korvanta-driver", options.systemLogSocket,
        options.auditFile.empty() ? DefaultAuditFile(options.board.empty()) : options.auditFile);
    // Without a place for audit lines the daemon still serves reads; every write is refused.
    bool audited = audit.Open();
    handlerOptions.readOnly = options.readOnly;
    handlerOptions.profileLine = profileLine;
    handlerOptions.profilePath = options.board;
    handlerOptions.writeLogger = [&audit](const std::string& line) { return audit.Write(line); };
    handlerOptions.auditReady = [&audit] { return audit.Ready(); };
    handlerOptions.auditDestination = [&audit] { return audit.Destination(); };
    // Without a journal the daemon still serves; its status says why writes are not kept.
    WriteJournal journal(options.journalFile.empty()
                             ? DefaultJournalFile(options.board.empty(), options.board)
                             : options.journalFile,
                         options.journalLimit);
    std::string journalError;
    if (!journal.Open(&journalError))
        syslog(LOG_WARNING, "write journal off: %s", journalError.c_str());
    handlerOptions.journal = &journal;
    RequestHandler handler(*backend, handlerOptions);

    ServerOptions serverOptions;
    serverOptions.runtimeDir = runtimeDir;
    serverOptions.hostDaemon = options.board.empty();
    serverOptions.group = options.group;
    serverOptions.boardServesGroup = !options.board.empty() && options.groupGiven;
    if (!options.board.empty()) serverOptions.idleExit = options.idleExit;
    Server server(handler, serverOptions);
    std::string error;
    switch (server.Start(&error)) {
        case StartResult::Ok:
            break;
        case StartResult::AlreadyRunning:
            // A daemon that already serves this folder counts as a successful start.
            if (reportFd >= 0)
                Report(reportFd, "R");
            else
                std::fprintf(stderr, "korvanta-driver: already running (%s)\n", error.c_str());
            return 0;
        case StartResult::Failed:
            if (reportFd >= 0)
                Report(reportFd, "Ekorvanta-driver: " + error);
            else
                std::fprintf(stderr, "korvanta-driver: %s\n", error.c_str());
            return 1;
    }
    syslog(LOG_INFO, "serving %s at %s/korvanta%s", backend->Name().c_str(), runtimeDir.c_str(),
           options.readOnly ? " (read-only)" : "");
    std::string auditNote = "korvanta-driver: audit lines go to " + audit.Destination() +
                            (audited ? "" : "; write requests are refused");
    audit.Write("serving " + backend->Name() + " at " + runtimeDir +
                "/korvanta; audit lines go to " + audit.Destination());
    if (reportFd < 0) std::fprintf(stderr, "%s\n", auditNote.c_str());
    if (reportFd >= 0) {
        int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
            close(null);
        }
        Report(reportFd, "O" + auditNote);
    }
    server.Run();
    syslog(LOG_INFO, "stopped");
    closelog();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s\n", kUsage);
            return 0;
        }
    }
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    // A file size limit makes an audit line fail (and its write be refused), not end the daemon.
    signal(SIGXFSZ, SIG_IGN);

    std::error_code ec;
    if (!options.board.empty()) {
        std::filesystem::path board = std::filesystem::absolute(options.board, ec);
        if (!ec) options.board = board.string();
    }
    std::string runtimeDir = options.runtimeDir;
    if (runtimeDir.empty())
        runtimeDir = options.board.empty() ? HostRuntimeDir() : BoardRuntimeDir(options.board);
    std::filesystem::path absolute = std::filesystem::absolute(runtimeDir, ec);
    if (!ec) runtimeDir = absolute.lexically_normal().string();
    while (runtimeDir.size() > 1 && runtimeDir.back() == '/') runtimeDir.pop_back();

    if (options.stop) return StopDaemon(runtimeDir);
    if (!options.detach) return Serve(options, runtimeDir, -1);

    // Detached: the parent waits until the daemon listens (or says why it cannot).
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("korvanta-driver: pipe");
        return 1;
    }
    pid_t child = fork();
    if (child < 0) {
        std::perror("korvanta-driver: fork");
        return 1;
    }
    if (child == 0) {
        close(pipeFds[0]);
        setsid();
        if (chdir("/") != 0) {
            // Nothing relies on the working folder: paths were made absolute above.
        }
        return Serve(options, runtimeDir, pipeFds[1]);
    }
    close(pipeFds[1]);
    std::string message;
    char chunk[512];
    ssize_t n;
    while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) message.append(chunk, static_cast<size_t>(n));
    close(pipeFds[0]);
    if (message == "R") return 0;
    if (!message.empty() && message[0] == 'O') {
        std::fprintf(stderr, "%s\n", message.c_str() + 1);
        return 0;
    }
    if (!message.empty() && message[0] == 'E') {
        std::fprintf(stderr, "%s\n", message.c_str() + 1);
        return 1;
    }
    std::fprintf(stderr, "korvanta-driver: the daemon ended during start-up\n");
    return 1;
}
