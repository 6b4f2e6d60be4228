#pragma once
// Zero-configuration service discovery for Bonjour: announcing a service,
// resolving a named one, and browsing for a type. A thin adapter that offers
// only what Bonjour uses, in the shape Bonjour expects, over one backend per
// platform: KDE's KDNSSD, which talks to avahi-daemon over the system D-Bus
// (zeroconf.cpp), or Windows' own DNS-SD functions in dnsapi.dll
// (zeroconf_win.cpp), found at run time: before Windows 10 (and under wine)
// they are missing, and every call then reports DaemonNotRunning.
//
// Every signal is delivered through the event loop, never from inside the
// call that started the work, so a caller may connect after the call and
// log its own line first.
//
// Service types are written "_name._tcp" or "_name._udp".
//
// Error numbers carried by registrationError, resolveError and
// browsingFailed:
//   1  the discovery daemon (avahi-daemon on the system D-Bus) is not running
//      or not reachable
//   2  the daemon refused or dropped the registration (invalid type or name,
//      daemon failure)
//   3  name conflict: the name is taken and automatic renaming was switched off
//   4  resolution failed: the daemon answered that the service could not be
//      resolved (not found, or the daemon's own timeout)
//   5  resolution timed out: nothing answered within the resolve timeout
//   6  the daemon refused to start the browser (invalid type)

#include <QAbstractSocket>
#include <QByteArray>
#include <QExplicitlySharedDataPointer>
#include <QMap>
#include <QObject>
#include <QString>

#ifdef Q_OS_WIN
namespace zeroconf {
struct WinRequest;
}
#else
namespace KDNSSD {
class PublicService;
class RemoteService;
class ServiceBrowser;
}
#endif

namespace zeroconf {

enum Error {
    DaemonNotRunning = 1,
    RegistrationFailed = 2,
    NameConflict = 3,
    ResolveFailed = 4,
    ResolveTimeout = 5,
    BrowseFailed = 6,
};

// Splits "_name._tcp" into "name" and the socket type; anything but "_tcp"
// and "_udp" as the last label gives UnknownSocketType.
struct ServiceType
{
    QString name;
    QAbstractSocket::SocketType socketType = QAbstractSocket::UnknownSocketType;
};
ServiceType parseServiceType(const QString &fullType);

// True when the daemon answers on the system bus (on Windows: when the
// system offers DNS-SD).
bool daemonAvailable();

// The backends answer some failures from inside the very call that started
// the work; our callers connect afterwards or log first, so every outcome is
// posted to the event loop instead.
template <class Object, class Signal>
void postSignal(Object *self, Signal signal, int error)
{
    QMetaObject::invokeMethod(
        self, [self, signal, error] { emit(self->*signal)(error); }, Qt::QueuedConnection);
}

} // namespace zeroconf

class DiscoverableService : public QObject
{
    Q_OBJECT
public:
    DiscoverableService(const QString &serviceType, const QString &serviceName, QObject *parent = nullptr);
    ~DiscoverableService() override;

    QString serviceType() const { return type; } // as given: "_name._tcp"
    QString serviceName() const { return name; }
    QString domain() const { return dom; }
    // The host that offers the service: known once a resolution succeeded;
    // empty for a service of our own.
    QString host() const { return hostName; }
    quint16 port() const { return portNumber; }

    void setPort(quint16 port) { portNumber = port; }
    void setDomain(const QString &domain) { dom = domain; }

    // The TXT record: key to value; a null value is a key alone (a boolean
    // attribute), an empty one is "key=". What registerService announces;
    // after a resolution, what the service announced.
    using TextData = QMap<QString, QByteArray>;
    void setTextData(const TextData &data) { text = data; }
    TextData textData() const { return text; }

    // Announces the service. With noAutoRename a name already taken is an
    // error (NameConflict) instead of a quietly renamed announcement.
    void registerService(bool noAutoRename);
    // Looks up host and port of the named service. forceMulticast has no
    // effect here: avahi picks the transport itself.
    void resolve(bool forceMulticast);

signals:
    void registered();
    void registrationError(int error);
    void resolved(const QByteArray &domainName);
    void resolveError(int error);

private slots:
#ifndef Q_OS_WIN
    void onPublished(bool ok);
    void onRemoteResolved(bool ok);
#endif
    void onResolveTimeout();

private:
    friend struct TestAccess;

    void failResolve(int error);
    // Starts (or restarts) the time a resolution may stay unanswered.
    void startResolveTimer();
#ifdef Q_OS_WIN
    friend struct zeroconf::WinRequest;
    void onWinRegistered(int status, const QString &registeredName);
    void onWinResolved(int status, const QString &host, quint16 port, const TextData &txt);
#endif

    // How long a resolution may stay unanswered before ResolveTimeout.
    static int resolveTimeoutMs;

    QString type;
    QString name;
    QString dom;
    QString hostName;
    quint16 portNumber = 0;
    TextData text;
    bool strictName = false;
    bool resolving = false;
#ifdef Q_OS_WIN
    zeroconf::WinRequest *registration = nullptr;
    zeroconf::WinRequest *resolution = nullptr;
#else
    KDNSSD::PublicService *publisher = nullptr; // our child
    QExplicitlySharedDataPointer<KDNSSD::RemoteService> remote;
#endif
    class QTimer *resolveTimer = nullptr;
};

class ServiceBrowser : public QObject
{
    Q_OBJECT
public:
    explicit ServiceBrowser(const QString &serviceType, QObject *parent = nullptr);
    ~ServiceBrowser() override;

    QString serviceType() const { return parsed.name; } // "name" of "_name._tcp"
    QAbstractSocket::SocketType socketType() const { return parsed.socketType; }
    QString fullServiceType() const { return type; }

    void browse();

signals:
    void serviceAdded(const QString &name, const QString &domain);
    void serviceRemoved(const QString &name, const QString &domain);
    void browsingFailed(int error);

private:
    QString type;
    zeroconf::ServiceType parsed;
#ifdef Q_OS_WIN
    friend struct zeroconf::WinRequest;
    void onWinBrowsed(int status, const QString &instance, bool removed);
    zeroconf::WinRequest *browser = nullptr;
#else
    KDNSSD::ServiceBrowser *browser = nullptr; // our child
#endif
};
