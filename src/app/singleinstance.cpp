#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QWidget>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

namespace {

// Copies of different users must never meet, so the user is part of the name.
QString userKey()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariable("USERNAME");
#else
    return QString::number(getuid());
#endif
}

QString serverNameFor(const QString &appId)
{
    // Socket names are paths on POSIX: keep them short and free of odd bytes.
    const QByteArray hash = QCryptographicHash::hash((appId + QLatin1Char('\n') + userKey()).toUtf8(),
                                                     QCryptographicHash::Sha1).toHex().left(16);
    return QStringLiteral("orvane-si-") + userKey() + QLatin1Char('-') + QString::fromLatin1(hash);
}

bool deliver(const QString &serverName, const QString &message, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(serverName);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << message;
    socket.write(payload);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    // Wait for the first copy to confirm, so it has read the message before we go.
    socket.waitForReadyRead(timeoutMs);
    socket.disconnectFromServer();
    return true;
}

} // namespace

SingleApplication::SingleApplication(const QString &appId, int &argc, char **argv)
    : QApplication(argc, argv), name(serverNameFor(appId))
{
}

SingleApplication::~SingleApplication()
{
    delete server;
    delete lock;
}

bool SingleApplication::sendMessage(const QString &message, int timeoutMs)
{
    if (isPrimary())
        return false;
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (deliver(name, message, qMax(1, int(deadline.remainingTime()))))
            return true;
        if (becomePrimary())
            return false;
        // Another copy holds the lock but does not listen yet: it is starting.
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
}

bool SingleApplication::becomePrimary()
{
    if (!lock) {
        lock = new QLockFile(QDir::temp().filePath(name + QLatin1String(".lock")));
    }
    if (!lock->tryLock(0))
        return false;
    // The lock is ours, so any socket file left behind belongs to a dead copy.
    QLocalServer::removeServer(name);
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(name)) {
        qWarning("Single instance: cannot listen on %s: %s", qPrintable(name), qPrintable(server->errorString()));
        delete server;
        server = nullptr;
        lock->unlock();
        return false;
    }
    connect(server, &QLocalServer::newConnection, this, &SingleApplication::onNewConnection);
    return true;
}

void SingleApplication::setActivationWindow(QWidget *window, bool activate)
{
    activationWindow = window;
    activateOnMessage = activate;
}

void SingleApplication::onNewConnection()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.startTransaction();
            QString message;
            in >> message;
            if (!in.commitTransaction())
                return;
            socket->write("ok");
            socket->flush();
            emit messageReceived(message);
            if (activateOnMessage)
                activateWindow();
        });
    }
}

void SingleApplication::activateWindow()
{
    if (!activationWindow)
        return;
    activationWindow->setWindowState(activationWindow->windowState() & ~Qt::WindowMinimized);
    activationWindow->raise();
    activationWindow->activateWindow();
}
