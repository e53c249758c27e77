#include "app/SingleInstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

#include "platform/Log.h"

namespace jolto {

namespace {

constexpr const char* activateRequest = "activate\n";
constexpr const char* queryRequest = "query\n";

QString socketPath() {
    return SingleInstance::folder() + QStringLiteral("/instance");
}

} // namespace

SingleInstance::SingleInstance(Kind kind, QObject* parent) : QObject(parent), kind_(kind) {
    // Only this user may connect.
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::answer);
}

SingleInstance::~SingleInstance() {
    server_.close();
    if (lock_) {
        lock_->unlock();
    }
}

QString SingleInstance::folder() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        return runtime + QStringLiteral("/jolto-host");
    }
    return QDir::tempPath() + QStringLiteral("/jolto-host-") + QString::number(::getuid());
}

SingleInstance::Claim SingleInstance::claim(std::chrono::milliseconds timeout) {
    const QString dir = folder();
    QDir().mkpath(dir);
    // In a shared /tmp someone else could have made the folder first and would then see, or
    // answer for, this user's instance.
    if (QFileInfo(dir).ownerId() != ::getuid()) {
        Logger("App").error("The instance folder " + dir.toStdString() +
                            " belongs to another user");
        return Claim::failed;
    }
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    // A lock left by a process that has died is taken over: QLockFile checks its process id.
    lock_ = std::make_unique<QLockFile>(dir + QStringLiteral("/instance.lock"));
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        const auto error = lock_->error();
        lock_.reset();
        if (error == QLockFile::LockFailedError) {
            return reachRunning(timeout);
        }
        Logger("App").error("Couldn't take the instance lock in " + dir.toStdString());
        return Claim::failed;
    }

    // Holding the lock, any socket left over is a dead instance's.
    const QString path = socketPath();
    QLocalServer::removeServer(path);
    if (!server_.listen(path)) {
        // Still the only instance; later launches just won't reach it.
        Logger("App").error("Couldn't listen on " + path.toStdString() + ": " +
                            server_.errorString().toStdString());
    }
    return Claim::first;
}

SingleInstance::Claim SingleInstance::reachRunning(std::chrono::milliseconds timeout) {
    QElapsedTimer elapsed;
    elapsed.start();
    const int stepMs = 100;
    // The running instance may hold the lock but not be listening yet: try until the deadline.
    while (elapsed.elapsed() < timeout.count()) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(stepMs * 10)) {
            socket.write(kind_ == Kind::window ? activateRequest : queryRequest);
            socket.flush();
            QByteArray reply;
            while (!reply.contains('\n') && elapsed.elapsed() < timeout.count() &&
                   socket.waitForReadyRead(stepMs * 10)) {
                reply += socket.readAll();
            }
            reply = reply.trimmed();
            if (reply == "window") {
                return Claim::reachedWindow;
            }
            if (reply == "headless") {
                return Claim::reachedHeadless;
            }
        }
        QThread::msleep(stepMs);
    }
    return Claim::failed;
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > 64) {
                    socket->abort();
                }
                return;
            }
            const QByteArray request = socket->readLine().trimmed();
            socket->write(kind_ == Kind::window ? "window\n" : "headless\n");
            socket->flush();
            socket->disconnectFromServer();
            if (request == "activate" && kind_ == Kind::window) {
                Q_EMIT activationRequested();
            }
        });
    }
}

} // namespace jolto
