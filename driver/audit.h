// Where the daemon's audit lines (one per write request and per stop) go: the system log when
// one listens at its socket, otherwise a file the daemon owns. A line that cannot be written
// is reported, so that the write it describes can be refused.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

namespace kvt::driver {

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

  private:
    bool OpenSystemLog();
    bool OpenFile();

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
// daemon, audit.log in the user's state folder ($XDG_STATE_HOME or ~/.local/state)/korvanta.
std::string DefaultAuditFile(bool hostDaemon);

}  // namespace kvt::driver
