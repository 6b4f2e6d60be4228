// TcpServer and TcpSocket: raw TCP byte streams for scripts. Every call
// returns at once; progress, data and errors arrive as handler dispatches.
#include "classtables.h"
#include "luax.h"
#include "numbers.h"
#include "tcp.h"
#include "tracker.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

#include <climits>
#include <cstdio>

namespace {

TcpServer *checkServer(lua_State *L)
{
    return luaX_checkqobject<TcpServer>(L, 1, "TcpServer");
}

QTcpSocket *checkSocket(lua_State *L)
{
    return luaX_checkqobject<TcpSocket>(L, 1, "TcpSocket")->tcpSocket();
}

void pushSocket(lua_State *L, QTcpSocket *socket)
{
    auto *wrapper = new TcpSocket(socket);
    luaX_pushobject(L, static_cast<QObject *>(wrapper), "TcpSocket");
}

int lserver_create(lua_State *L)
{
    const QHostAddress address(QString::fromUtf8(luaL_checkstring(L, 1)));
    // Scripts hand over plain numbers: truncated, then cut to a port's 16 bits.
    const quint16 port = lua_isnoneornil(L, 2) ? 0 : numbers::low16(numbers::checkInt64(L, 2));
    auto *server = new TcpServer;
    ObjectTracker::instance(L)->adopt(server);
    const bool ok = server->listenWithBacklog(address, port);
    qDebug() << "lserver_create" << ok;
    luaX_pushobject(L, static_cast<QObject *>(server), "TcpServer");
    return 1;
}

int lserver_socket(lua_State *L)
{
    QTcpSocket *socket = checkServer(L)->nextPendingConnection();
    if (!socket)
        return 0;
    pushSocket(L, socket);
    return 1;
}

int lserver_address(lua_State *L)
{
    lua_pushstring(L, checkServer(L)->serverAddress().toString().toLocal8Bit().constData());
    return 1;
}

int lserver_port(lua_State *L)
{
    lua_pushinteger(L, checkServer(L)->serverPort());
    return 1;
}

int checkPositiveInt(lua_State *L, int index, const char *message)
{
    const int64_t n = numbers::checkInt64(L, index);
    luaL_argcheck(L, n > 0 && n <= INT_MAX, index, message);
    return int(n);
}

// server:setMaxPending(n) for this server now; TcpServer.setMaxPending(n),
// through the class with a number, for every server created afterwards.
int lserver_setMaxPending(lua_State *L)
{
    if (lua_type(L, 1) == LUA_TNUMBER) {
        TcpServer::defaultMaxPending = checkPositiveInt(L, 1, "maximum pending connections must be a positive integer");
        return 0;
    }
    TcpServer *server = checkServer(L);
    server->setMaxPending(checkPositiveInt(L, 2, "maximum pending connections must be a positive integer"));
    return 0;
}

int lserver_close(lua_State *L)
{
    checkServer(L)->stopListening();
    return 0;
}

int lsocket_create(lua_State *L)
{
    auto *socket = new QTcpSocket;
    ObjectTracker::instance(L)->adopt(socket);
    pushSocket(L, socket);
    return 1;
}

int lsocket_connect(lua_State *L)
{
    QTcpSocket *socket = checkSocket(L);
    const QString host = QString::fromUtf8(luaL_checkstring(L, 2));
    const quint16 port = numbers::low16(luaL_checkinteger(L, 3));
    socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    return 0;
}

int lsocket_disconnect(lua_State *L)
{
    checkSocket(L)->disconnectFromHost();
    return 0;
}

int lsocket_read(lua_State *L)
{
    const QByteArray data = checkSocket(L)->readAll();
    lua_pushlstring(L, data.constData(), size_t(data.size()));
    return 1;
}

int lsocket_write(lua_State *L)
{
    TcpSocket *wrapper = luaX_checkqobject<TcpSocket>(L, 1, "TcpSocket");
    QTcpSocket *socket = wrapper->tcpSocket();
    size_t len = 0;
    const char *data = luaL_checklstring(L, 2, &len);
    socket->write(data, qint64(len));
    wrapper->noteQueued(socket->bytesToWrite());
    return 0;
}

int lsocket_close(lua_State *L)
{
    checkSocket(L)->close();
    return 0;
}

int lsocket_peer(lua_State *L)
{
    QTcpSocket *socket = checkSocket(L);
    const QByteArray address = socket->peerAddress().toString().toLocal8Bit();
    qDebug().noquote() << QString::fromLocal8Bit(address);
    qDebug().noquote() << socket->peerName();
    lua_pushstring(L, address.constData());
    lua_pushinteger(L, socket->peerPort());
    return 2;
}

int lsocket_bytesToWrite(lua_State *L)
{
    lua_pushinteger(L, lua_Integer(checkSocket(L)->bytesToWrite()));
    return 1;
}

// Qt stops reading from the system once this much waits unread, so the peer
// is held back by TCP itself; reading resumes when the script reads. nil or
// 0 removes the limit.
int lsocket_setReadLimit(lua_State *L)
{
    QTcpSocket *socket = checkSocket(L);
    qint64 limit = 0;
    if (!lua_isnoneornil(L, 2)) {
        limit = numbers::checkInt64(L, 2);
        luaL_argcheck(L, limit >= 0, 2, "read limit must be 0 or a positive number of bytes");
    }
    socket->setReadBufferSize(limit);
    return 0;
}

int lsocket_gc(lua_State *L)
{
    // Collection never ends a connection: the socket may well outlive the
    // script's interest in its handle.
    printf("lsocket_gc %p\n", luaX_toobject(L, 1, "TcpSocket"));
    return 0;
}

} // namespace

const luaL_Reg lserver_methods[] = {
    { "create", lserver_create },
    { "socket", lserver_socket },
    { "address", lserver_address },
    { "port", lserver_port },
    { "setMaxPending", lserver_setMaxPending },
    { "close", lserver_close },
    { nullptr, nullptr },
};

const luaL_Reg lsocket_methods[] = {
    { "create", lsocket_create },
    { "connect", lsocket_connect },
    { "disconnect", lsocket_disconnect },
    { "read", lsocket_read },
    { "write", lsocket_write },
    { "close", lsocket_close },
    { "peer", lsocket_peer },
    { "__gc", lsocket_gc },
    { "bytesToWrite", lsocket_bytesToWrite },
    { "setReadLimit", lsocket_setReadLimit },
    { nullptr, nullptr },
};
