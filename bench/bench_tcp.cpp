// TCP: script servers (TcpServer/TcpSocket with a Lua MsgHandler) against
// native Qt servers of the same shape, all on the main thread's event loop,
// driven by the same client on a thread of its own over loopback. The echo
// servers are written the plain way (read all, write it back on each
// onReadyRead); the body servers answer every request line with the same
// 1 MiB body, to many clients at once. Prints the four figures and their
// script/native ratios.
//
//   bench_tcp [MiB each way, default 256] [rounds, default 3]
//
// Exit status: 0 when every ratio meets its target, 3 when one misses it,
// 1 when an echo was wrong or a connection failed.
//
// The client uses plain POSIX sockets, so it shares no code with either
// server. Each figure is the best of its rounds, servers taking turns.
#include "luax.h"
#include "standalone.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace {

const int kChunk = 64 * 1024;
const int kMessage = 64;
const int kBody = 1024 * 1024;
const int kBodyClients = 16;

FILE *report = stdout; // the real standard output; the host's chatter goes to /dev/null


class NativeEchoServer : public QTcpServer {
public:
    NativeEchoServer()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
};

// One body for every request line that arrives.
class NativeBodyServer : public QTcpServer {
public:
    explicit NativeBodyServer(const QByteArray &body)
    {
        connect(this, &QTcpServer::newConnection, this, [this, body] {
            while (QTcpSocket *s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s, body] {
                    for (int n = s->readAll().count('\n'); n > 0; --n)
                        s->write(body);
                });
                connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
        listen(QHostAddress::LocalHost, 0);
    }
};

const char kScriptServer[] = R"lua(
local body = ...
server = qt.TcpServer.create("127.0.0.1", 0)
bodyServer = qt.TcpServer.create("127.0.0.1", 0)
local answers = {}   -- sockets of bodyServer
function MsgHandler(obj, msg)
  if msg == "onReadyRead" then
    if answers[obj] then
      local _, lines = obj:read():gsub("\n", "")
      for _ = 1, lines do obj:write(body) end
    else
      obj:write(obj:read())
    end
  elseif msg == "onNewConnection" then
    -- every pending connection; the object map keeps each handle
    if obj == bodyServer then
      for s in function() return bodyServer:socket() end do answers[s] = true end
    else
      while server:socket() do end
    end
  elseif msg == "onDisconnected" then
    answers[obj] = nil
    obj:destroy()
  end
end
return server:port(), bodyServer:port()
)lua";

int connectTo(quint16 port, bool noDelay)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    if (noDelay) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

bool readExactly(int fd, char *buf, size_t n)
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = recv(fd, buf + got, n - got, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            return false;
        }
        got += size_t(r);
    }
    return true;
}

bool writeAll(int fd, const char *buf, size_t n)
{
    size_t sent = 0;
    while (sent < n) {
        const ssize_t w = send(fd, buf + sent, n - sent, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += size_t(w);
    }
    return true;
}

// A pattern with every byte value, long enough not to line up with chunks.
std::vector<char> makePattern()
{
    std::vector<char> p(1024 * 1024 + 17);
    std::mt19937 random(20240601);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = char(i < 256 ? i : random() & 0xff);
    return p;
}

// Sends total bytes in 64 KiB chunks while reading the echo; returns MiB/s
// (each way) or -1 when the echo differs from what was sent.
double throughput(quint16 port, qint64 total, const std::vector<char> &pattern)
{
    const int fd = connectTo(port, false);
    if (fd < 0)
        return -1;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const qint64 size = qint64(pattern.size());
    std::vector<char> in(kChunk);
    qint64 sent = 0, received = 0;
    bool exact = true;
    QElapsedTimer clock;
    clock.start();
    while (received < total) {
        pollfd p { fd, short(POLLIN | (sent < total ? POLLOUT : 0)), 0 };
        if (poll(&p, 1, 10000) <= 0)
            break;
        if ((p.revents & POLLOUT) && sent < total) {
            const qint64 offset = sent % size;
            const qint64 n = std::min({ qint64(kChunk), total - sent, size - offset });
            const ssize_t w = send(fd, pattern.data() + offset, size_t(n), MSG_NOSIGNAL);
            if (w > 0)
                sent += w;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = recv(fd, in.data(), in.size(), 0);
            if (r == 0)
                break;
            for (ssize_t i = 0; i < r && exact; ++i)
                exact = in[size_t(i)] == pattern[size_t((received + i) % size)];
            if (r > 0)
                received += r;
        }
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    close(fd);
    if (!exact || received != total)
        return -1;
    return double(total) / (1024.0 * 1024.0) / seconds;
}

// 64-byte request, 64-byte answer, one at a time; returns round trips/s.
double roundTrips(quint16 port, int count)
{
    const int fd = connectTo(port, true);
    if (fd < 0)
        return -1;
    char out[kMessage], back[kMessage];
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        for (int j = 0; j < kMessage; ++j)
            out[j] = char(i * 31 + j);
        if (!writeAll(fd, out, kMessage) || !readExactly(fd, back, kMessage) || memcmp(out, back, kMessage)) {
            close(fd);
            return -1;
        }
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    close(fd);
    return count / seconds;
}

// Connect, send one byte, wait for its echo, close; returns connections/s.
double acceptRate(quint16 port, int count)
{
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < count; ++i) {
        const int fd = connectTo(port, true);
        char c = char(i), back = 0;
        const bool ok = fd >= 0 && writeAll(fd, &c, 1) && readExactly(fd, &back, 1) && back == c;
        if (fd >= 0)
            close(fd);
        if (!ok)
            return -1;
    }
    return count / (clock.nsecsElapsed() / 1e9);
}

// kBodyClients connections at once, each sending a request line and reading
// its whole 1 MiB answer before the next, until count answers have come;
// returns answers/s or -1 when one differed from the body.
double bodies(quint16 port, int count, const std::vector<char> &pattern)
{
    struct Client {
        int fd = -1;
        qint64 got = 0;
        bool asked = false;
    };
    std::vector<Client> clients(kBodyClients);
    for (Client &c : clients) {
        c.fd = connectTo(port, true);
        if (c.fd < 0)
            return -1;
        fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    }
    std::vector<char> in(kChunk);
    std::vector<pollfd> polls(clients.size());
    int asked = 0, answered = 0;
    bool exact = true;
    QElapsedTimer clock;
    clock.start();
    while (answered < count && exact) {
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            if (!c.asked && asked < count) {
                if (!writeAll(c.fd, "GET /\n", 6))
                    exact = false;
                c.asked = true;
                ++asked;
            }
            polls[i] = { c.fd, short(c.asked ? POLLIN : 0), 0 };
        }
        if (poll(polls.data(), polls.size(), 10000) <= 0)
            break;
        for (size_t i = 0; i < clients.size(); ++i) {
            Client &c = clients[i];
            if (!(polls[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t r = recv(c.fd, in.data(), size_t(std::min<qint64>(kChunk, kBody - c.got)), 0);
            if (r <= 0) {
                if (r < 0 && errno == EAGAIN)
                    continue;
                exact = false;
                break;
            }
            exact = exact && !memcmp(in.data(), pattern.data() + c.got, size_t(r));
            c.got += r;
            if (c.got == kBody) {
                c.got = 0;
                c.asked = false;
                ++answered;
            }
        }
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    for (Client &c : clients)
        close(c.fd);
    if (!exact || answered < count)
        return -1;
    return answered / seconds;
}

// Runs the client on its own thread while the main thread serves.
double serve(const std::function<double()> &client)
{
    double result = -1;
    std::thread worker([&] {
        result = client();
        QMetaObject::invokeMethod(
            qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    worker.join();
    // Sockets the servers let go of are deleted later: let that happen now.
    for (int i = 0; i < 3; ++i)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return result;
}

struct Figure {
    const char *name;
    const char *unit;
    double target;
    std::function<double(quint16)> client;
    bool bodies = false;
    double native = -1;
    double script = -1;
};

} // namespace

int main(int argc, char **argv)
{
    if (standalone::answeredBenchmarkProbe(argc, argv))
        return 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const qint64 mib = argc > 1 ? qMax(1, atoi(argv[1])) : 256;
    const int rounds = argc > 2 ? qMax(1, atoi(argv[2])) : 3;

    report = standalone::quietHost();
    if (!report)
        return 2;

    QApplication app(argc, argv);

    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    lua_settop(L, 0);
    const std::vector<char> pattern = makePattern();
    const QByteArray body(pattern.data(), kBody);
    if (luaL_loadstring(L, kScriptServer) != LUA_OK) {
        fprintf(report, "script server: %s\n", lua_tostring(L, -1));
        return 2;
    }
    lua_pushlstring(L, body.constData(), size_t(body.size()));
    if (lua_pcall(L, 1, 2, 0) != LUA_OK) {
        fprintf(report, "script server: %s\n", lua_tostring(L, -1));
        return 2;
    }
    const quint16 scriptPort = quint16(lua_tointeger(L, -2));
    const quint16 scriptBodyPort = quint16(lua_tointeger(L, -1));
    lua_settop(L, 0);

    auto *native = new NativeEchoServer;
    auto *nativeBody = new NativeBodyServer(body);
    const quint16 nativePort = native->serverPort();
    const quint16 nativeBodyPort = nativeBody->serverPort();
    if (!scriptPort || !nativePort || !scriptBodyPort || !nativeBodyPort) {
        fprintf(report, "cannot listen on loopback\n");
        return 2;
    }

    const qint64 total = mib * 1024 * 1024;
    Figure figures[] = {
        { "echo throughput (64 KiB chunks)", "MiB/s each way", 0.9,
            [&](quint16 port) { return throughput(port, total, pattern); } },
        { "64-byte round trips", "round trips/s", 0.9, [](quint16 port) { return roundTrips(port, 20000); } },
        { "accept, echo one byte, close", "connections/s", 0.8, [](quint16 port) { return acceptRate(port, 2000); } },
        { "1 MiB answers, 16 clients", "answers/s", 0.8,
            [&](quint16 port) { return bodies(port, qMax(64, int(mib)), pattern); }, true },
    };

    bool failed = false;
    for (Figure &fig : figures) {
        for (int r = 0; r < rounds; ++r) {
            const double n = serve([&] { return fig.client(fig.bodies ? nativeBodyPort : nativePort); });
            const double s = serve([&] { return fig.client(fig.bodies ? scriptBodyPort : scriptPort); });
            if (n < 0 || s < 0)
                failed = true;
            fig.native = std::max(fig.native, n);
            fig.script = std::max(fig.script, s);
        }
    }

    fprintf(report, "bench_tcp: %lld MiB each way, best of %d rounds\n", static_cast<long long>(mib), rounds);
    for (const Figure &fig : figures) {
        const double ratio = fig.native > 0 ? fig.script / fig.native : 0;
        fprintf(report, "%-32s native %12.1f  script %12.1f %-15s ratio %.2f (target >= %.1f)%s\n", fig.name,
            fig.native, fig.script, fig.unit, ratio, fig.target, ratio >= fig.target ? "" : "  BELOW TARGET");
    }
    if (failed)
        fprintf(report, "bench_tcp: an echo differed from what was sent, or a connection failed\n");
    fflush(report);

    delete native;
    delete nativeBody;
    for (const char *name : { "server", "bodyServer" }) {
        lua_getglobal(L, name);
        lua_getfield(L, -1, "destroy");
        lua_insert(L, -2);
        lua_pcall(L, 1, 0, 0);
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    lua_close(L);
    if (failed)
        return 1;
    for (const Figure &fig : figures) {
        if (fig.native <= 0 || fig.script / fig.native < fig.target)
            return 3;
    }
    return 0;
}
