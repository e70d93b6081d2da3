// One copy of the program per user: a lock file decides which starting copy wins, and the
// winner listens on a local socket named after it ("MUTEX_KORVANTA-<uid>"). A later copy
// asks the running one to raise and activate its main window, then ends.
#pragma once

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

namespace kvt {

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    // baseName: "MUTEX_KORVANTA"; the socket and the lock live in the temporary folder.
    explicit SingleInstance(const QString& baseName = QStringLiteral("MUTEX_KORVANTA"),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one copy (it then holds the lock and listens). When the
    // lock cannot be made at all, the process carries on as if it were the only copy.
    bool Claim();
    bool owned() const { return owned_; }

    // Asks the running copy to come to the front; true when it answered.
    bool ActivateRunningCopy(int timeoutMs = 3000);

    QString serverName() const { return serverName_; }

  signals:
    void activationRequested();

  private:
    void OnNewConnection();

    QString serverName_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
    bool owned_ = false;
};

}  // namespace kvt
