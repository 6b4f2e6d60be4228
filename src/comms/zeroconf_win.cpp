// The Windows backend of the discovery adapter: DnsServiceRegister,
// DnsServiceBrowse and DnsServiceResolve of dnsapi.dll (Windows 10 1809 and
// later). They are looked up at run time, so the host still starts where
// they are missing (older Windows, wine); every call then fails with
// DaemonNotRunning, as on Linux without avahi-daemon.
#include "zeroconf.h"

#ifdef Q_OS_WIN

#include <QCoreApplication>
#include <QHash>
#include <QHostInfo>
#include <QMutex>
#include <QPointer>
#include <QTimer>

#include <windows.h>
#include <windns.h>

#include <functional>
#include <vector>

namespace zeroconf {

namespace {

// Not in mingw-w64's headers: the answer of a request that will complete
// through its callback.
const DWORD kRequestPending = 9506;

struct Api
{
    decltype(&DnsServiceConstructInstance) construct = nullptr;
    decltype(&DnsServiceFreeInstance) freeInstance = nullptr;
    decltype(&DnsServiceRegister) registerService = nullptr;
    decltype(&DnsServiceDeRegister) deregisterService = nullptr;
    decltype(&DnsServiceBrowse) browse = nullptr;
    decltype(&DnsServiceBrowseCancel) browseCancel = nullptr;
    decltype(&DnsServiceResolve) resolve = nullptr;
    decltype(&DnsServiceResolveCancel) resolveCancel = nullptr;
    decltype(&DnsFree) freeRecords = nullptr;
    bool ok = false;
};

template <class F>
void resolveFunction(HMODULE dll, F &f, const char *name)
{
    f = reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
}

const Api &api()
{
    static const Api loaded = [] {
        Api a;
        HMODULE dll = LoadLibraryW(L"dnsapi.dll");
        if (!dll)
            return a;
        resolveFunction(dll, a.construct, "DnsServiceConstructInstance");
        resolveFunction(dll, a.freeInstance, "DnsServiceFreeInstance");
        resolveFunction(dll, a.registerService, "DnsServiceRegister");
        resolveFunction(dll, a.deregisterService, "DnsServiceDeRegister");
        resolveFunction(dll, a.browse, "DnsServiceBrowse");
        resolveFunction(dll, a.browseCancel, "DnsServiceBrowseCancel");
        resolveFunction(dll, a.resolve, "DnsServiceResolve");
        resolveFunction(dll, a.resolveCancel, "DnsServiceResolveCancel");
        resolveFunction(dll, a.freeRecords, "DnsFree");
        a.ok = a.construct && a.freeInstance && a.registerService && a.deregisterService && a.browse
            && a.browseCancel && a.resolve && a.resolveCancel && a.freeRecords;
        return a;
    }();
    return loaded;
}

// Full DNS-SD names: "_name._tcp" in domain "local." is "_name._tcp.local".
QString fullName(const QString &prefix, const QString &domain)
{
    QString d = domain.isEmpty() ? QStringLiteral("local") : domain;
    if (d.endsWith(QLatin1Char('.')))
        d.chop(1);
    return prefix + QLatin1Char('.') + d;
}

} // namespace

// One request in flight. The system calls back on a thread of its own, at
// any time, possibly after the adapter that asked is gone: the callback sees
// only the request's number and posts it to the main thread, where the
// table of live requests says whether anyone still listens.
struct WinRequest
{
    quint64 id = 0;
    std::wstring name; // the request structures point into these
    std::wstring host;
    std::vector<std::wstring> keys, values; // the TXT record announced
    std::vector<PCWSTR> keyPointers, valuePointers;
    DNS_SERVICE_CANCEL cancel{};
    DNS_SERVICE_REGISTER_REQUEST registerRequest{};
    PDNS_SERVICE_INSTANCE instance = nullptr;

    static QHash<quint64, QPointer<QObject>> &live()
    {
        static QHash<quint64, QPointer<QObject>> table;
        return table;
    }
    // A new request whose answers go to owner while it lives.
    static WinRequest *make(QObject *owner)
    {
        static quint64 counter = 0;
        auto *r = new WinRequest;
        r->id = ++counter;
        live().insert(r->id, owner);
        return r;
    }
    void *context() const { return reinterpret_cast<void *>(quintptr(id)); }

    // Runs f on the main thread if the request is still wanted there.
    static void post(quint64 id, std::function<void(QObject *)> f)
    {
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app,
            [id, f] {
                const QPointer<QObject> owner = live().value(id);
                if (owner)
                    f(owner.data());
            },
            Qt::QueuedConnection);
    }

    static void WINAPI registered(DWORD status, PVOID context, PDNS_SERVICE_INSTANCE instance)
    {
        const QString name = instance && instance->pszInstanceName ? QString::fromWCharArray(instance->pszInstanceName)
                                                                   : QString();
        if (instance)
            api().freeInstance(instance);
        post(reinterpret_cast<quintptr>(context), [status, name](QObject *o) {
            static_cast<DiscoverableService *>(o)->onWinRegistered(int(status), name);
        });
    }

    static void WINAPI resolved(DWORD status, PVOID context, PDNS_SERVICE_INSTANCE instance)
    {
        QString host;
        quint16 port = 0;
        DiscoverableService::TextData text;
        if (instance) {
            if (instance->pszHostName)
                host = QString::fromWCharArray(instance->pszHostName);
            port = instance->wPort;
            for (DWORD i = 0; i < instance->dwPropertyCount; ++i) {
                if (!instance->keys || !instance->keys[i])
                    continue;
                const PWSTR value = instance->values ? instance->values[i] : nullptr;
                text.insert(QString::fromWCharArray(instance->keys[i]),
                            value ? QString::fromWCharArray(value).toUtf8() : QByteArray());
            }
            api().freeInstance(instance);
        }
        post(reinterpret_cast<quintptr>(context), [status, host, port, text](QObject *o) {
            static_cast<DiscoverableService *>(o)->onWinResolved(int(status), host, port, text);
        });
    }

    static void WINAPI browsed(DWORD status, PVOID context, PDNS_RECORD records)
    {
        const quint64 id = reinterpret_cast<quintptr>(context);
        if (status != ERROR_SUCCESS) {
            post(id, [status](QObject *o) { static_cast<ServiceBrowser *>(o)->onWinBrowsed(int(status), {}, false); });
        }
        // The service functions speak UTF-16 only, whatever the header's
        // character-set default says.
        for (auto *r = reinterpret_cast<PDNS_RECORDW>(records); r; r = r->pNext) {
            if (r->wType != DNS_TYPE_PTR || !r->Data.PTR.pNameHost)
                continue;
            const QString instance = QString::fromWCharArray(r->Data.PTR.pNameHost);
            // A goodbye announcement carries a time to live of zero.
            const bool removed = r->dwTtl == 0;
            post(id, [instance, removed](QObject *o) {
                static_cast<ServiceBrowser *>(o)->onWinBrowsed(ERROR_SUCCESS, instance, removed);
            });
        }
        if (records)
            api().freeRecords(records, DnsFreeRecordList);
    }
};

bool daemonAvailable()
{
    return api().ok;
}

} // namespace zeroconf

using zeroconf::postSignal;
using zeroconf::WinRequest;

DiscoverableService::~DiscoverableService()
{
    if (registration) {
        WinRequest::live().remove(registration->id);
        // The system may still read the request while it withdraws the
        // announcement, so the request is never freed: a few hundred bytes
        // per publication, once.
        zeroconf::api().deregisterService(&registration->registerRequest, nullptr);
    }
    if (resolution) {
        WinRequest::live().remove(resolution->id);
        zeroconf::api().resolveCancel(&resolution->cancel);
        delete resolution;
    }
}

void DiscoverableService::registerService(bool noAutoRename)
{
    strictName = noAutoRename;
    const zeroconf::Api &dns = zeroconf::api();
    if (!dns.ok || registration) {
        postSignal(this, &DiscoverableService::registrationError,
                   dns.ok ? zeroconf::RegistrationFailed : zeroconf::DaemonNotRunning);
        return;
    }
    auto *r = WinRequest::make(this);
    r->name = (name + QLatin1Char('.') + zeroconf::fullName(type, dom)).toStdWString();
    r->host = (QHostInfo::localHostName() + QLatin1String(".local")).toStdWString();
    // Windows keeps no key without a value: a key alone goes out as "key=".
    for (auto it = text.cbegin(); it != text.cend(); ++it) {
        r->keys.push_back(it.key().toStdWString());
        r->values.push_back(QString::fromUtf8(it.value()).toStdWString());
    }
    for (size_t i = 0; i < r->keys.size(); ++i) {
        r->keyPointers.push_back(r->keys[i].c_str());
        r->valuePointers.push_back(r->values[i].c_str());
    }
    r->instance = dns.construct(r->name.c_str(), r->host.c_str(), nullptr, nullptr, portNumber, 0, 0,
                                DWORD(r->keys.size()), r->keyPointers.data(), r->valuePointers.data());
    r->registerRequest.Version = DNS_QUERY_REQUEST_VERSION1;
    r->registerRequest.pServiceInstance = r->instance;
    r->registerRequest.pRegisterCompletionCallback = &WinRequest::registered;
    r->registerRequest.pQueryContext = r->context();
    registration = r;
    if (!r->instance || dns.registerService(&r->registerRequest, &r->cancel) != zeroconf::kRequestPending)
        postSignal(this, &DiscoverableService::registrationError, zeroconf::RegistrationFailed);
}

void DiscoverableService::onWinRegistered(int status, const QString &registeredName)
{
    if (status != ERROR_SUCCESS) {
        emit registrationError(zeroconf::RegistrationFailed);
        return;
    }
    // Windows renames on a conflict; we asked for the name or nothing.
    if (strictName && !registeredName.isEmpty() && !registeredName.startsWith(name + QLatin1Char('.'))) {
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
    const zeroconf::Api &dns = zeroconf::api();
    if (!dns.ok) {
        postSignal(this, &DiscoverableService::resolveError, zeroconf::DaemonNotRunning);
        return;
    }
    resolving = true;
    auto *r = WinRequest::make(this);
    r->name = (name + QLatin1Char('.') + zeroconf::fullName(type, dom.isEmpty() ? QStringLiteral("local.") : dom))
                  .toStdWString();
    DNS_SERVICE_RESOLVE_REQUEST request{};
    request.Version = DNS_QUERY_REQUEST_VERSION1;
    request.QueryName = &r->name[0];
    request.pResolveCompletionCallback = &WinRequest::resolved;
    request.pQueryContext = r->context();
    resolution = r;
    startResolveTimer();
    if (dns.resolve(&request, &r->cancel) != zeroconf::kRequestPending)
        QMetaObject::invokeMethod(
            this, [this] { failResolve(zeroconf::ResolveFailed); }, Qt::QueuedConnection);
}

void DiscoverableService::onWinResolved(int status, const QString &host, quint16 port, const TextData &txt)
{
    if (!resolving)
        return;
    if (status != ERROR_SUCCESS) {
        failResolve(zeroconf::ResolveFailed);
        return;
    }
    resolving = false;
    resolveTimer->stop();
    WinRequest::live().remove(resolution->id);
    delete resolution; // completed: the system is done with it
    resolution = nullptr;
    hostName = host;
    portNumber = port;
    text = txt;
    if (dom.isEmpty())
        dom = QStringLiteral("local.");
    if (!dom.endsWith(QLatin1Char('.')))
        dom += QLatin1Char('.');
    emit resolved((name + QLatin1Char('.') + type + QLatin1Char('.') + dom).toUtf8());
}

void DiscoverableService::failResolve(int error)
{
    resolving = false;
    if (resolveTimer)
        resolveTimer->stop();
    if (resolution) {
        WinRequest::live().remove(resolution->id);
        zeroconf::api().resolveCancel(&resolution->cancel);
        delete resolution;
        resolution = nullptr;
    }
    emit resolveError(error);
}

ServiceBrowser::~ServiceBrowser()
{
    if (browser) {
        WinRequest::live().remove(browser->id);
        zeroconf::api().browseCancel(&browser->cancel);
    }
}

void ServiceBrowser::browse()
{
    if (browser)
        return;
    const zeroconf::Api &dns = zeroconf::api();
    if (!dns.ok) {
        postSignal(this, &ServiceBrowser::browsingFailed, zeroconf::DaemonNotRunning);
        return;
    }
    auto *r = WinRequest::make(this);
    r->name = zeroconf::fullName(type, QString()).toStdWString();
    DNS_SERVICE_BROWSE_REQUEST request{};
    request.Version = DNS_QUERY_REQUEST_VERSION1;
    request.QueryName = r->name.c_str();
    request.pBrowseCallback = &WinRequest::browsed;
    request.pQueryContext = r->context();
    browser = r;
    if (dns.browse(&request, &r->cancel) != zeroconf::kRequestPending)
        postSignal(this, &ServiceBrowser::browsingFailed, zeroconf::BrowseFailed);
}

void ServiceBrowser::onWinBrowsed(int status, const QString &instance, bool removed)
{
    if (status != ERROR_SUCCESS) {
        emit browsingFailed(zeroconf::BrowseFailed);
        return;
    }
    // "name._type._tcp.local": the name is what stands before the type.
    const int at = instance.indexOf(QLatin1Char('.') + type + QLatin1Char('.'));
    const QString serviceName = at > 0 ? instance.left(at) : instance;
    const QString domain = at > 0 ? instance.mid(at + type.size() + 2) + QLatin1Char('.') : QStringLiteral("local.");
    if (removed)
        emit serviceRemoved(serviceName, domain);
    else
        emit serviceAdded(serviceName, domain);
}

#endif // Q_OS_WIN
