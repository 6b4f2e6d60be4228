#include "tcp.h"
#include "tracker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <climits>

#ifdef Q_OS_UNIX
#include <sys/socket.h>
#endif
#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// What waits for a slow reader is copied into the heap, and glibc's free()
// hands memory back to the system only from the top of the heap. The small
// blocks allocated while the queues grew (strings, events, handles) stay
// above them, so hundreds of megabytes of freed queues would stay resident
// for good, though nothing uses them. Once a few megabytes of queues have
// gone, the free pages are given back a second later: a crowd of sockets
// going together costs one pass over the heap, and a busy server at most
// one a second. (The Windows heap gives back large free blocks by itself.)
void queueReleased(qint64 bytes)
{
#ifdef __GLIBC__
    constexpr qint64 kWorthTrimming = 4 * 1024 * 1024;
    static qint64 released = 0;
    static QTimer *trim = nullptr; // lives as long as the process
    released += bytes;
    if (released < kWorthTrimming || !QCoreApplication::instance())
        return;
    if (!trim) {
        trim = new QTimer;
        trim->setSingleShot(true);
        trim->setInterval(1000);
        QObject::connect(trim, &QTimer::timeout, [] {
            released = 0;
            malloc_trim(0);
        });
    }
    if (!trim->isActive())
        trim->start();
#else
    Q_UNUSED(bytes);
#endif
}

} // namespace

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
    // Its queue is freed with the socket, now or in a moment.
    queueReleased(queuedMost);
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
    if (queuedMost > 0 && socket && socket->bytesToWrite() == 0) {
        queueReleased(queuedMost);
        queuedMost = 0;
    }
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, "onBytesWritten", "%d", int(qMin<qint64>(bytes, INT_MAX)));
}
