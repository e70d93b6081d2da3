#include "app/single_instance.h"

#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace kvt {

namespace {
constexpr char kActivate[] = "activate\n";
}

SingleInstance::SingleInstance(const QString& baseName, QObject* parent)
    : QObject(parent),
      serverName_(
          QDir(QDir::tempPath()).filePath(QStringLiteral("%1-%2").arg(baseName).arg(::getuid()))) {}

SingleInstance::~SingleInstance() {
    if (server_ != nullptr) server_->close();
    if (lock_) lock_->unlock();
}

bool SingleInstance::Claim() {
    lock_ = std::make_unique<QLockFile>(serverName_ + QStringLiteral(".lock"));
    // Only a lock whose process has ended counts as stale, never an old one.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError) return false;
        // The lock cannot be made at all (no permission, no folder): carry on alone.
        lock_.reset();
        return true;
    }
    owned_ = true;
    // The lock holder owns the name: a socket left by a copy that crashed is removed.
    QLocalServer::removeServer(serverName_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    server_->listen(serverName_);
    return true;
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->canReadLine() && socket->readLine() == kActivate) {
                socket->write("ok\n");
                socket->flush();
                emit activationRequested();
            }
        });
    }
}

bool SingleInstance::ActivateRunningCopy(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // The running copy may still be starting and not listen yet: try again for a while.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())))) {
            socket.write(kActivate);
            socket.waitForBytesWritten(1000);
            bool answered = socket.waitForReadyRead(
                static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
            socket.disconnectFromServer();
            return answered;
        }
        QThread::msleep(50);
    }
    return false;
}

}  // namespace kvt
