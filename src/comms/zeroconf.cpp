// The parts of the adapter every platform shares, and the KDNSSD backend.
#include "zeroconf.h"

#include <QTimer>

#ifndef Q_OS_WIN
#include <KDNSSD/PublicService>
#include <KDNSSD/RemoteService>
#include <KDNSSD/ServiceBrowser>
#endif

namespace zeroconf {

ServiceType parseServiceType(const QString &fullType)
{
    ServiceType out;
    QString rest = fullType;
    if (rest.endsWith(QLatin1String("._tcp"))) {
        out.socketType = QAbstractSocket::TcpSocket;
        rest.chop(5);
    } else if (rest.endsWith(QLatin1String("._udp"))) {
        out.socketType = QAbstractSocket::UdpSocket;
        rest.chop(5);
    } else {
        // "_name._other": the name is still the first label.
        const int dot = rest.indexOf(QLatin1String("._"));
        if (dot > 0)
            rest.truncate(dot);
    }
    if (rest.startsWith(QLatin1Char('_')))
        rest.remove(0, 1);
    out.name = rest;
    return out;
}

} // namespace zeroconf

int DiscoverableService::resolveTimeoutMs = 10000;

DiscoverableService::DiscoverableService(const QString &serviceType, const QString &serviceName, QObject *parent)
    : QObject(parent)
    , type(serviceType)
    , name(serviceName)
{
}

void DiscoverableService::onResolveTimeout()
{
    if (resolving)
        failResolve(zeroconf::ResolveTimeout);
}

void DiscoverableService::startResolveTimer()
{
    if (!resolveTimer) {
        resolveTimer = new QTimer(this);
        resolveTimer->setSingleShot(true);
        connect(resolveTimer, &QTimer::timeout, this, &DiscoverableService::onResolveTimeout);
    }
    resolveTimer->start(resolveTimeoutMs);
}

ServiceBrowser::ServiceBrowser(const QString &serviceType, QObject *parent)
    : QObject(parent)
    , type(serviceType)
    , parsed(zeroconf::parseServiceType(serviceType))
{
}

#ifndef Q_OS_WIN

using zeroconf::postSignal;

bool zeroconf::daemonAvailable()
{
    return KDNSSD::ServiceBrowser::isAvailable() == KDNSSD::ServiceBrowser::Working;
}

DiscoverableService::~DiscoverableService() = default;

void DiscoverableService::registerService(bool noAutoRename)
{
    strictName = noAutoRename;
    if (!zeroconf::daemonAvailable()) {
        postSignal(this, &DiscoverableService::registrationError, zeroconf::DaemonNotRunning);
        return;
    }
    delete publisher;
    // A null domain lets KDNSSD announce in "local.".
    publisher = new KDNSSD::PublicService(name, type, portNumber, dom.isEmpty() ? QString() : dom);
    publisher->setParent(this);
    publisher->setTextData(text);
    connect(publisher, &KDNSSD::PublicService::published, this, &DiscoverableService::onPublished,
            Qt::QueuedConnection);
    publisher->publishAsync();
}

void DiscoverableService::onPublished(bool ok)
{
    if (!publisher)
        return;
    if (!ok) {
        emit registrationError(zeroconf::RegistrationFailed);
        return;
    }
    // KDNSSD always picks another name on a conflict ("name #2"); we asked
    // for the name or nothing.
    if (strictName && publisher->serviceName() != name) {
        publisher->stop();
        emit registrationError(zeroconf::NameConflict);
        return;
    }
    emit registered();
}

void DiscoverableService::resolve(bool forceMulticast)
{
    Q_UNUSED(forceMulticast)
    if (resolving)
        return;
    if (!zeroconf::daemonAvailable()) {
        postSignal(this, &DiscoverableService::resolveError, zeroconf::DaemonNotRunning);
        return;
    }
    resolving = true;
    remote = new KDNSSD::RemoteService(name, type, dom.isEmpty() ? QStringLiteral("local.") : dom);
    connect(remote.data(), &KDNSSD::RemoteService::resolved, this, &DiscoverableService::onRemoteResolved,
            Qt::QueuedConnection);
    startResolveTimer();
    remote->resolveAsync();
}

void DiscoverableService::onRemoteResolved(bool ok)
{
    // avahi keeps its resolver running and may answer again; the first
    // answer is the one that counts.
    if (!resolving || !remote)
        return;
    if (!ok) {
        failResolve(zeroconf::ResolveFailed);
        return;
    }
    resolving = false;
    resolveTimer->stop();
    hostName = remote->hostName();
    portNumber = remote->port();
    text = remote->textData();
    QString domain = remote->domain();
    if (!domain.endsWith(QLatin1Char('.')))
        domain += QLatin1Char('.');
    dom = domain;
    const QByteArray domainName = (remote->serviceName() + QLatin1Char('.') + type + QLatin1Char('.') + domain).toUtf8();
    remote.reset();
    emit resolved(domainName);
}

void DiscoverableService::failResolve(int error)
{
    resolving = false;
    if (resolveTimer)
        resolveTimer->stop();
    remote.reset();
    emit resolveError(error);
}

ServiceBrowser::~ServiceBrowser() = default;

void ServiceBrowser::browse()
{
    if (browser)
        return;
    if (!zeroconf::daemonAvailable()) {
        postSignal(this, &ServiceBrowser::browsingFailed, zeroconf::DaemonNotRunning);
        return;
    }
    browser = new KDNSSD::ServiceBrowser(type);
    browser->setParent(this);
    connect(browser, &KDNSSD::ServiceBrowser::serviceAdded, this, [this](KDNSSD::RemoteService::Ptr s) {
        emit serviceAdded(s->serviceName(), s->domain());
    });
    connect(browser, &KDNSSD::ServiceBrowser::serviceRemoved, this, [this](KDNSSD::RemoteService::Ptr s) {
        emit serviceRemoved(s->serviceName(), s->domain());
    });
    // The one sign of a browser the daemon refused: "finished" from inside
    // startBrowse itself.
    bool starting = true;
    bool refused = false;
    auto guard = connect(browser, &KDNSSD::ServiceBrowser::finished, this, [&starting, &refused] {
        if (starting)
            refused = true;
    });
    browser->startBrowse();
    starting = false;
    disconnect(guard);
    if (refused)
        postSignal(this, &ServiceBrowser::browsingFailed, zeroconf::BrowseFailed);
}

#endif // !Q_OS_WIN
