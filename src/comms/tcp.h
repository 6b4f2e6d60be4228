#pragma once
// Native sides of the script classes "TcpServer" and "TcpSocket". Both only
// turn Qt's signals into handler dispatches; the script does the rest.

#include <QAbstractSocket>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

class TcpServer : public QTcpServer {
    Q_OBJECT
public:
    TcpServer();

    // How many connections may wait to be taken: Qt's own queue of accepted
    // ones and the system's listen backlog both get n. Applied at once to a
    // listening server; 0 leaves Qt's and the system's defaults.
    void setMaxPending(int n);
    // Applied by listen() to every server made afterwards (0: defaults).
    static int defaultMaxPending;
    bool listenWithBacklog(const QHostAddress &address, quint16 port);

    // Stops listening. Unlike QTcpServer::close, connections already
    // accepted but not yet taken are kept for nextPendingConnection: their
    // peers think they are connected.
    void stopListening();
    bool hasPendingConnections() const override;
    QTcpSocket *nextPendingConnection() override;

protected slots:
    void onNewConnection();

private:
    void applyBacklog();

    int backlog = 0;
    QList<QPointer<QTcpSocket>> kept;
};

// Wraps one QTcpSocket rather than deriving from it, so that sockets handed
// out by QTcpServer (which creates them itself) get the same script class as
// ones the script creates. The wrapper is the socket's child.
class TcpSocket : public QObject {
    Q_OBJECT
public:
    explicit TcpSocket(QTcpSocket *socket);
    // Deleting the wrapper on its own (the script's destroy) also ends the
    // connection and frees the socket: nothing else could reach it again.
    ~TcpSocket() override;

    QTcpSocket *tcpSocket() const { return static_cast<QTcpSocket *>(socket.data()); }
    // After each write: how much now waits to be sent.
    void noteQueued(qint64 bytes) { queuedMost = qMax(queuedMost, bytes); }

protected slots:
    void onReadyRead();
    void onConnected();
    void onDisconnected();
    void onError();
    void onStateChanged(QAbstractSocket::SocketState state);
    void onBytesWritten(qint64 bytes);

private:
    void dispatch(const char *message);

    // Cleared as soon as the socket starts dying, so that the destructor can
    // tell "deleted with the socket" from "deleted on its own". Held as the
    // base class: the socket still signals from its base-class destructor,
    // when it is no longer a QTcpSocket.
    QPointer<QAbstractSocket> socket;
    // The most that waited to be sent since the queue was last empty: what
    // the heap gets back when it empties or the socket goes.
    qint64 queuedMost = 0;
};
