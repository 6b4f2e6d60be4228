#include "tcp.h"
#include "tracker.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

TcpServer::TcpServer()
    : QTcpServer(nullptr)
{
    connect(this, &QTcpServer::newConnection, this, &TcpServer::onNewConnection);
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
