#include "bonjour.h"
#include "tracker.h"
#include "zeroconf.h"

#include <QDebug>
#include <QHostAddress>
#include <QTimer>

// onLookup(QHostInfo) is named as a string slot receiver, so the type must be
// known to the meta-type system by that name before the first lookup.
static int hostInfoMetaType()
{
    static const int id = qRegisterMetaType<QHostInfo>("QHostInfo");
    return id;
}

Bonjour::Bonjour()
    : QObject(nullptr)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &Bonjour::onTimer);
    timer->setInterval(10);
    timer->start();
}

void Bonjour::publish(const QString &type, const QString &name, quint16 port)
{
    auto *service = new DiscoverableService(type, name, this);
    service->setPort(port);
    service->setTextData(publishTxt);
    connect(service, &DiscoverableService::registered, this, &Bonjour::onRegistered);
    connect(service, &DiscoverableService::registrationError, this, &Bonjour::onRegistrationError);
    service->registerService(true);
    qDebug() << "registering" << service->host() << " on port " << service->port();
}

void Bonjour::subscribe(const QString &type)
{
    auto *browser = new ServiceBrowser(type, this);
    connect(browser, &ServiceBrowser::browsingFailed, this, &Bonjour::onBrowsingFailed);
    connect(browser, &ServiceBrowser::serviceAdded, this, &Bonjour::onServiceAdded);
    connect(browser, &ServiceBrowser::serviceRemoved, this, [this](const QString &name, const QString &) {
        onServiceRemoved(name);
    });
    browser->browse();
}

void Bonjour::resolve(const QString &type, const QString &name, const QString &domain)
{
    qDebug() << "Resolve" << type << name << domain;
    auto *service = new DiscoverableService(type, name, this);
    service->setDomain(domain);
    connect(service, &DiscoverableService::resolved, this, &Bonjour::onResolved);
    connect(service, &DiscoverableService::resolveError, this, &Bonjour::onResolveError);
    service->resolve(false);
}

void Bonjour::onRegistrationError(int err)
{
    qDebug() << "Registration Failed:" << err;
    // The one failure a script can act on: it may choose another name.
    auto *service = qobject_cast<DiscoverableService *>(sender());
    if (err != zeroconf::NameConflict || !service)
        return;
    if (ObjectTracker *tracker = ObjectTracker::forObject(this)) {
        const QByteArray n = service->serviceName().toLocal8Bit();
        const QByteArray t = service->serviceType().toLocal8Bit();
        tracker->dispatch(this, "onNameConflict", "%s %s", n.constData(), t.constData());
    }
}

void Bonjour::onRegistered()
{
    qDebug() << "Registered OK";
}

void Bonjour::onServiceAdded(QString name, QString domain)
{
    auto *browser = qobject_cast<ServiceBrowser *>(sender());
    if (!browser)
        return;
    const QString fullType = QLatin1Char('_') + browser->serviceType() + QLatin1String("._")
        + QLatin1String(browser->socketType() == QAbstractSocket::TcpSocket ? "tcp" : "udp");
    qDebug() << "Service added" << fullType << name << domain;
    if (ObjectTracker *tracker = ObjectTracker::forObject(this)) {
        const QByteArray t = fullType.toLocal8Bit();
        const QByteArray n = name.toLocal8Bit();
        const QByteArray d = domain.toLocal8Bit();
        tracker->dispatch(this, "onServiceAdded", "%s %s %s", t.constData(), n.constData(), d.constData());
    }
}

void Bonjour::onServiceRemoved(QString name)
{
    qDebug() << "Service Removed" << name;
    if (ObjectTracker *tracker = ObjectTracker::forObject(this)) {
        const QByteArray n = name.toLocal8Bit();
        tracker->dispatch(this, "onServiceRemoved", "%s", n.constData());
    }
}

void Bonjour::onBrowsingFailed(int err)
{
    qDebug() << "Browsing Failed:" << err;
}

void Bonjour::onResolved(QByteArray domainName)
{
    auto *service = qobject_cast<DiscoverableService *>(sender());
    if (!service)
        return;
    const QString host = service->host();
    const int port = service->port();
    qDebug() << "Resolved " << domainName << " to host " << host << " on port " << port;
    // In place before the handler runs, so that onResolved can read it.
    resolvedTxt = service->textData();
    if (ObjectTracker *tracker = ObjectTracker::forObject(this)) {
        const QByteArray h = host.toLocal8Bit();
        tracker->dispatch(this, "onResolved", "%s %s %d", domainName.constData(), h.constData(), port);
    }
    hostInfoMetaType();
    QHostInfo::lookupHost(host, this, SLOT(onLookup(QHostInfo)));
    service->deleteLater();
}

void Bonjour::onResolveError(int err)
{
    qDebug() << "onResolveError:" << err;
    if (QObject *service = sender())
        service->deleteLater();
}

void Bonjour::onLookup(QHostInfo hostinfo)
{
    const QList<QHostAddress> addresses = hostinfo.addresses();
    qDebug() << "Lookup complete:" << hostinfo.hostName() << addresses;
    for (const QHostAddress &address : addresses) {
        qDebug() << address.toString() << int(address.protocol());
        if (address.protocol() != QAbstractSocket::IPv4Protocol)
            continue;
        qDebug() << "Lookup found IPv4 address" << address.toString();
        if (ObjectTracker *tracker = ObjectTracker::forObject(this)) {
            const QByteArray h = hostinfo.hostName().toLocal8Bit();
            const QByteArray a = address.toString().toLocal8Bit();
            tracker->dispatch(this, "onLookup", "%s %s", h.constData(), a.constData());
        }
        break;
    }
}

void Bonjour::onTimer()
{
    // Null format: a script that cannot take the tick ends the process.
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->dispatch(this, "onTimer", nullptr);
}

QString chooseMachineID(const QList<InterfaceSummary> &interfaces)
{
    for (const InterfaceSummary &i : interfaces) {
        if (!i.flags.testFlag(QNetworkInterface::IsLoopBack) && i.flags.testFlag(QNetworkInterface::IsRunning))
            return i.hardwareAddress;
    }
    return QString();
}

QString machineID()
{
    QList<InterfaceSummary> summaries;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        summaries.append({ i.flags(), i.hardwareAddress() });
    return chooseMachineID(summaries);
}
