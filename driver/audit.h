// Where the daemon's audit lines (one per write request and per stop) go: the system log when
// one listens at its socket, otherwise a file the daemon owns. Nothing here waits: a system log
// that does not take a line at once has the line go to the file instead. A line is written
// whole or not at all; one that cannot be written anywhere is reported, so that the write it
// describes is refused.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace kvt::driver {

// Creates a folder and its missing parents, each new one with mode 0700.
bool MakeFolders(const std::string& path);

class AuditLog {
  public:
    AuditLog(std::string ident, std::string systemLogSocket, std::string file);
    ~AuditLog();
    AuditLog(const AuditLog&) = delete;
    AuditLog& operator=(const AuditLog&) = delete;

    // Chooses the destination; false when neither the system log nor the file can be used.
    bool Open();
    // "system log (/dev/log)" or "file /var/log/korvanta/audit.log", or why neither works.
    const std::string& Destination() const { return destination_; }
    // Writes one line; false when it could not be written anywhere.
    bool Write(const std::string& line);
    // Whether a line could be written now (a destination is open or the file can be opened).
    bool Ready();

  private:
    bool OpenSystemLog();
    bool OpenFile();
    // Reopens the file when it was removed or replaced since it was opened.
    bool FileStillThere();
    bool WriteFile(const std::string& line);

    std::string ident_;
    std::string systemLogSocket_;
    std::string file_;
    std::string destination_;
    int socket_ = -1;
    int fd_ = -1;
    std::string head_;  // "<time> ident[pid]: " of the file's lines
    time_t headTime_ = 0;
    pid_t headPid_ = 0;
    std::string text_;
};

// The audit file of a daemon: /var/log/korvanta/audit.log for the host daemon; for a board
// daemon, audit.log in the user's state folder ($XDG_STATE_HOME or ~/.local/state)/korvanta,
// and without either, in the user's private runtime folder ($XDG_RUNTIME_DIR) or a folder
// that only the user may enter under the system's temporary folder.
std::string DefaultAuditFile(bool hostDaemon);

}  // namespace kvt::driver
