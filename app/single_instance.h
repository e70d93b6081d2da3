// One copy of the program per user and target (the host, or one simulated board): a lock file
// decides which starting copy wins, and the winner listens on a local socket beside it. Both
// live in the user's private runtime folder ($XDG_RUNTIME_DIR, else the user's state folder),
// in a folder "korvanta" that only the user can enter. A later copy for the same target asks
// the running one to raise and activate its main window, then ends; a copy for another
// target runs beside it.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

namespace kvt {

// The user's private folder for the lock and the socket: "<runtime>/korvanta", made with mode
// 0700 when missing and accepted only when it is a folder (not a link) owned by the user that
// nobody else may enter. Empty with a one-line reason in *why when there is none.
QString PrivateInstanceFolder(QString* why = nullptr);

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // target: a short key of what the program works on ("host", or a board's key from
    // InstanceTarget); description: how the running copy names it to a later copy.
    explicit SingleInstance(const QString& target = QStringLiteral("host"),
                            const QString& description = QStringLiteral("Host"),
                            const QString& baseName = QStringLiteral("MUTEX_KORVANTA"),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // The key of a target: "host" for an empty board argument, else "board-<name>-<hash of the
    // profile's path>", so two profiles of one name are two targets.
    static QString InstanceTarget(const QString& profilePath);

    // True when this process is the one copy for its target (it then holds the lock and
    // listens). When the lock cannot be made at all, the process carries on as if it were
    // the only copy; problem() then says why.
    bool Claim();
    bool owned() const { return owned_; }
    const QString& problem() const { return problem_; }

    // Asks the running copy to come to the front; true when it answered. *servedBy receives
    // how it names its target.
    bool ActivateRunningCopy(int timeoutMs = 3000, QString* servedBy = nullptr);

    QString serverName() const { return serverName_; }

  signals:
    void activationRequested();

  private:
    void OnNewConnection();

    QString name_;  // <base>-<target>
    QString description_;
    QString serverName_;
    QString problem_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
    bool owned_ = false;
};

}  // namespace kvt
