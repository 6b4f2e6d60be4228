#pragma once
// bonjour.core: zero-configuration networking for scripts. One script class,
// Bonjour, announces services, watches for a type, resolves a found service
// to host, port and IPv4 address, and ticks the script every 10 ms. The
// discovery itself is the zeroconf adapter's (avahi through KDNSSD).

#include <lua.hpp>

#include <QByteArray>
#include <QHostInfo>
#include <QList>
#include <QMap>
#include <QNetworkInterface>
#include <QObject>
#include <QString>

class Bonjour : public QObject
{
    Q_OBJECT
public:
    Bonjour();

    // Everything made here is this object's child and lives until it goes
    // (a resolution's service object only until its answer).
    void publish(const QString &type, const QString &name, quint16 port);
    void subscribe(const QString &type);
    void resolve(const QString &type, const QString &name, const QString &domain);

    // The TXT record that later publish() calls announce.
    void setTxt(const QMap<QString, QByteArray> &txt) { publishTxt = txt; }
    // The TXT record of the service resolved last (empty before).
    QMap<QString, QByteArray> txt() const { return resolvedTxt; }

private slots:
    void onRegistrationError(int err);
    void onRegistered();
    void onServiceAdded(QString name, QString domain);
    void onServiceRemoved(QString name);
    void onBrowsingFailed(int err);
    void onResolved(QByteArray domainName);
    void onResolveError(int err);
    void onLookup(QHostInfo hostinfo);
    void onTimer();

private:
    QMap<QString, QByteArray> publishTxt;
    QMap<QString, QByteArray> resolvedTxt;
};

// What machineID looks at in one network interface.
struct InterfaceSummary
{
    QNetworkInterface::InterfaceFlags flags;
    QString hardwareAddress;
};

// The hardware address of the first running interface that is not the
// loopback, in the order given; "" when none qualifies.
QString chooseMachineID(const QList<InterfaceSummary> &interfaces);
// chooseMachineID over the machine's own interfaces.
QString machineID();

int luaopen_bonjour_core(lua_State *L);
