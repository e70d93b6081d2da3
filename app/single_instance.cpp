#include "app/single_instance.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <cstring>

namespace kvt {

namespace {

constexpr char kActivate[] = "activate\n";
constexpr char kAnswer[] = "ok ";

// A folder (not a link) of this user that nobody else may enter.
bool PrivateFolder(const QByteArray& path, QString* why) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        *why = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(path),
                                            QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    QString problem;
    if (S_ISLNK(st.st_mode)) {
        problem = QStringLiteral("is a link");
    } else if (!S_ISDIR(st.st_mode)) {
        problem = QStringLiteral("is not a folder");
    } else if (st.st_uid != ::getuid()) {
        problem = QStringLiteral("belongs to another user");
    } else if ((st.st_mode & 077) != 0) {
        problem = QStringLiteral("may be entered by other users (mode %1)")
                      .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
    }
    if (problem.isEmpty()) return true;
    *why = QString::fromLocal8Bit(path) + QLatin1Char(' ') + problem;
    return false;
}

// Makes one folder with mode 0700 unless it exists.
void MakeFolder(const QByteArray& path) {
    if (::mkdir(path.constData(), 0700) == 0) ::chmod(path.constData(), 0700);
}

}  // namespace

QString PrivateInstanceFolder(QString* why) {
    QString reason;
    QByteArray base = qgetenv("XDG_RUNTIME_DIR");
    if (base.isEmpty() || !base.startsWith('/') || !PrivateFolder(base, &reason)) {
        // No runtime folder of the user's own: the state folder in the home folder.
        QByteArray state = qgetenv("XDG_STATE_HOME");
        if (state.isEmpty() || !state.startsWith('/')) {
            const QByteArray home = qgetenv("HOME");
            if (home.isEmpty() || !home.startsWith('/')) {
                if (why) *why = QStringLiteral("no runtime folder and no home folder");
                return {};
            }
            MakeFolder(home + "/.local");
            state = home + "/.local/state";
        }
        base = state;
        MakeFolder(base);
    }
    const QByteArray folder = base + "/korvanta";
    MakeFolder(folder);
    if (!PrivateFolder(folder, &reason)) {
        if (why) *why = reason;
        return {};
    }
    return QString::fromLocal8Bit(folder);
}

SingleInstance::SingleInstance(const QString& target, const QString& description,
                               const QString& baseName, QObject* parent)
    : QObject(parent),
      name_(QStringLiteral("%1-%2").arg(baseName, target)),
      description_(description) {}

SingleInstance::~SingleInstance() {
    if (server_ != nullptr) server_->close();
    if (lock_) lock_->unlock();
}

QString SingleInstance::InstanceTarget(const QString& profilePath) {
    if (profilePath.isEmpty()) return QStringLiteral("host");
    QString name = QFileInfo(profilePath).completeBaseName();
    for (QChar& c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('-') && c != QLatin1Char('_'))
            c = QLatin1Char('_');
    }
    const QByteArray hash = QCryptographicHash::hash(
        QFileInfo(profilePath).absoluteFilePath().toUtf8(), QCryptographicHash::Sha256);
    return QStringLiteral("board-%1-%2")
        .arg(name.left(32), QString::fromLatin1(hash.toHex().left(12)));
}

bool SingleInstance::Claim() {
    const QString folder = PrivateInstanceFolder(&problem_);
    if (folder.isEmpty()) return true;  // nowhere private for the lock: carry on alone
    serverName_ = QDir(folder).filePath(name_);
    lock_ = std::make_unique<QLockFile>(serverName_ + QStringLiteral(".lock"));
    // Only a lock whose process has ended counts as stale, never an old one.
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        if (lock_->error() == QLockFile::LockFailedError) return false;
        // The lock cannot be made at all: carry on alone.
        problem_ = QStringLiteral("cannot make %1.lock").arg(serverName_);
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
                socket->write(kAnswer + description_.toUtf8() + '\n');
                socket->flush();
                emit activationRequested();
            }
        });
    }
}

bool SingleInstance::ActivateRunningCopy(int timeoutMs, QString* servedBy) {
    if (serverName_.isEmpty()) {
        const QString folder = PrivateInstanceFolder();
        if (folder.isEmpty()) return false;
        serverName_ = QDir(folder).filePath(name_);
    }
    QDeadlineTimer deadline(timeoutMs);
    auto remaining = [&] {
        return static_cast<int>(std::max<qint64>(1, deadline.remainingTime()));
    };
    // The running copy may still be starting and not listen yet: try again for a while.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(serverName_);
        if (socket.waitForConnected(remaining())) {
            socket.write(kActivate);
            socket.waitForBytesWritten(1000);
            while (!socket.canReadLine() && socket.waitForReadyRead(remaining())) {
            }
            const bool answered = socket.canReadLine();
            const QByteArray line = answered ? socket.readLine().trimmed() : QByteArray();
            if (servedBy != nullptr && line.startsWith(QByteArray(kAnswer).trimmed()))
                *servedBy = QString::fromUtf8(line.mid(3));
            socket.disconnectFromServer();
            return answered;
        }
        QThread::msleep(50);
    }
    return false;
}

}  // namespace kvt
