#include "tcp.h"
#include "tracker.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

#include <climits>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif

int TcpServer::defaultMaxPending = 0;

TcpServer::TcpServer()
    : QTcpServer(nullptr)
{
    connect(this, &QTcpServer::newConnection, this, &TcpServer::onNewConnection);
    if (defaultMaxPending > 0) {
        backlog = defaultMaxPending;
        setMaxPendingConnections(backlog);
    }
}

bool TcpServer::listenWithBacklog(const QHostAddress &address, quint16 port)
{
    const bool ok = listen(address, port);
    if (ok)
        applyBacklog();
    return ok;
}

void TcpServer::setMaxPending(int n)
{
    backlog = n;
    setMaxPendingConnections(n > 0 ? n : 30); // 30: Qt's own default
    applyBacklog();
}

// Qt 5 always listens with a backlog of 50, which makes a crowd of clients
// arriving at once wait for SYN retries of a second and more. Listening
// again on the same socket only changes the backlog on Linux and the BSDs:
// nothing is closed and no waiting connection is lost. Elsewhere (Windows
// keeps the first backlog) only Qt's own queue follows n.
void TcpServer::applyBacklog()
{
    if (backlog <= 0 || !isListening())
        return;
#ifdef Q_OS_UNIX
    if (::listen(int(socketDescriptor()), backlog) != 0)
        qWarning() << "TcpServer: cannot set the listen backlog to" << backlog;
#endif
}

void TcpServer::stopListening()
{
    while (QTcpSocket *socket = QTcpServer::nextPendingConnection())
        kept.append(socket); // still our child, as Qt made it
    close();
}

bool TcpServer::hasPendingConnections() const
{
    for (const QPointer<QTcpSocket> &socket : kept) {
        if (socket)
            return true;
    }
    return QTcpServer::hasPendingConnections();
}

QTcpSocket *TcpServer::nextPendingConnection()
{
    while (!kept.isEmpty()) {
        if (QTcpSocket *socket = kept.takeFirst().data())
            return socket;
    }
    return QTcpServer::nextPendingConnection();
}

void TcpServer::onNewConnection()
{
    qDebug() << "TcpServer::onNewConnection()";
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, "onNewConnection", "");
}

TcpSocket::TcpSocket(QTcpSocket *s)
    : QObject(s)
    , socket(s)
{
    connect(s, &QTcpSocket::readyRead, this, &TcpSocket::onReadyRead);
    connect(s, &QTcpSocket::connected, this, &TcpSocket::onConnected);
    connect(s, &QTcpSocket::disconnected, this, &TcpSocket::onDisconnected);
    connect(s, &QTcpSocket::errorOccurred, this, &TcpSocket::onError);
    connect(s, &QTcpSocket::stateChanged, this, &TcpSocket::onStateChanged);
    connect(s, &QTcpSocket::bytesWritten, this, &TcpSocket::onBytesWritten);
}

TcpSocket::~TcpSocket()
{
    QAbstractSocket *s = socket.data();
    if (!s)
        return; // going down with the socket
    // The script asked for this one to go: it hears nothing more from it.
    s->disconnect(this);
    s->close();
    s->deleteLater();
}

void TcpSocket::dispatch(const char *message)
{
    // Null once the interpreter is closed: a late signal must not reach it.
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, message, "");
}

void TcpSocket::onReadyRead()
{
    dispatch("onReadyRead");
}

void TcpSocket::onConnected()
{
    dispatch("onConnected");
}

void TcpSocket::onDisconnected()
{
    dispatch("onDisconnected");
}

void TcpSocket::onError()
{
    ObjectTracker *tracker = ObjectTracker::forObject(this);
    if (!tracker || !socket)
        return;
    // Copied before the call: the handler may close or destroy the socket.
    const QByteArray text = socket->errorString().toLocal8Bit();
    tracker->dispatch(this, "onError", "%s", text.constData());
}

void TcpSocket::onStateChanged(QAbstractSocket::SocketState state)
{
    if (!socket)
        return;
    qDebug() << "Socket state changed" << state << socket->peerAddress() << socket->peerName() << socket->peerPort();
}

void TcpSocket::onBytesWritten(qint64 bytes)
{
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, "onBytesWritten", "%d", int(qMin<qint64>(bytes, INT_MAX)));
}
