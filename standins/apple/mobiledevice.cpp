// Our MobileDevice stand-in: simulated iPhones driven by a scenario (see
// mdapi.h). One process-wide lock guards the devices; notifications go out
// on the library's own thread; each started service is served by a thread
// of its own on the far end of a socket pair.

#include "standins/apple/mdapi.h"
#include "standins/apple/servicekit.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace standin;
using Clock = std::chrono::steady_clock;

struct FileRelayConfig
{
    QString archive;
    QString status = QStringLiteral("Acknowledged");
    QStringList sources {QStringLiteral("UserDatabases")};
    qint64 replyLength = -1;
    bool stallBeforeReply = false;
    qint64 stallAfterBytes = -1;
};

struct Device
{
    QString udid;
    bool attached = false;
    bool paired = true;
    bool pairable = true;
    qint64 leaveAfterMs = -1;
    QMap<QString, int> errors;
    CFMutableDictionaryRef domains = nullptr; // domain name -> dictionary
    FileRelayConfig fileRelay;
    QJsonObject entry; // the scenario's entry, for the services
    std::shared_ptr<DeviceStore> store;
    int connections = 0;
    int sessions = 0;
    int openServices = 0; // far ends still serving
    QMap<QString, int> counts;
    QStringList services;
    QStringList requests;
    QStringList formats; // "binary" or "xml", one per property list received
};

struct Subscription
{
    AMDeviceNotificationCallback callback;
    void *context;
};

struct Event
{
    Clock::time_point when;
    Device *device;
    unsigned int message;
    int subscriber; // -1: every subscriber there was when it was queued
    size_t subscribers; // for -1: how many there were
    bool applyState; // a timed arrival or departure, done when delivered
};

struct Runtime
{
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<std::unique_ptr<Device>> devices; // never freed: references stay valid
    std::vector<Subscription> subscriptions;
    std::deque<Event> events;
    bool scenarioLoaded = false;
    bool stopping = false;
    std::thread notifier;
    std::vector<std::thread> serviceThreads;
    std::vector<int> serviceSockets;

    // Ends the library's threads; safe to call more than once.
    void stopThreads()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
            for (int fd : serviceSockets)
                ::shutdown(fd, SHUT_RDWR);
        }
        wake.notify_all();
        if (notifier.joinable())
            notifier.join();
        for (auto &t : serviceThreads) {
            if (t.joinable())
                t.join();
        }
    }

    ~Runtime()
    {
        stopThreads();
        for (auto &d : devices) {
            if (d->domains)
                CFRelease(d->domains);
        }
    }
};

Runtime &rt()
{
    static Runtime r;
    return r;
}


Device *findDevice(AMDeviceRef ref)
{
    for (auto &d : rt().devices) {
        if (d.get() == ref)
            return d.get();
    }
    return nullptr;
}

Device *findUdid(const QString &udid)
{
    for (auto &d : rt().devices) {
        if (d->udid == udid)
            return d.get();
    }
    return nullptr;
}

// Lock held. Arrival (1) or departure (2) of a device, now or later; the
// subscribers hear of it on the notifier thread.
void announce(Device *d, unsigned int message, qint64 afterMs = 0)
{
    const bool now = afterMs <= 0;
    if (now) {
        const bool arrive = message == 1;
        if (d->attached == arrive)
            return;
        d->attached = arrive;
    }
    rt().events.push_back({Clock::now() + std::chrono::milliseconds(afterMs), d, message, -1,
                           rt().subscriptions.size(), !now});
    if (now && message == 1 && d->leaveAfterMs >= 0)
        announce(d, 2, d->leaveAfterMs);
    rt().wake.notify_all();
}

void notifierLoop()
{
    Runtime &r = rt();
    std::unique_lock lock(r.mutex);
    while (!r.stopping) {
        if (r.events.empty()) {
            r.wake.wait(lock);
            continue;
        }
        auto next
                = std::min_element(r.events.begin(), r.events.end(),
                                   [](const Event &a, const Event &b) { return a.when < b.when; });
        if (next->when > Clock::now()) {
            r.wake.wait_until(lock, next->when);
            continue;
        }
        Event e = *next;
        r.events.erase(next);
        if (e.applyState) {
            announce(e.device, e.message);
            continue;
        }
        std::vector<Subscription> targets;
        if (e.subscriber >= 0)
            targets.push_back(r.subscriptions[size_t(e.subscriber)]);
        else
            targets.assign(
                    r.subscriptions.begin(),
                    r.subscriptions.begin()
                            + std::ptrdiff_t(std::min(e.subscribers, r.subscriptions.size())));
        lock.unlock();
        for (const Subscription &s : targets) {
            AMDeviceNotificationInfo info {e.device, e.message};
            s.callback(&info, s.context);
        }
        lock.lock();
    }
}

// Lock held.
int loadScenario(const QByteArray &json)
{
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return -1;
    Runtime &r = rt();
    r.scenarioLoaded = true;
    // Pending timed arrivals and departures of the old scenario are dropped.
    r.events.erase(std::remove_if(r.events.begin(), r.events.end(),
                                  [](const Event &e) { return e.applyState; }),
                   r.events.end());
    QList<Device *> named;
    for (const QJsonValue &v : doc.object().value(QLatin1String("devices")).toArray()) {
        const QJsonObject o = v.toObject();
        const QString udid = o.value(QLatin1String("udid")).toString();
        if (udid.isEmpty())
            continue;
        Device *d = findUdid(udid);
        if (!d) {
            r.devices.push_back(std::make_unique<Device>());
            d = r.devices.back().get();
            d->udid = udid;
        }
        named.append(d);
        d->paired = o.value(QLatin1String("paired")).toBool(true);
        d->pairable = o.value(QLatin1String("pairable")).toBool(true);
        d->leaveAfterMs = o.value(QLatin1String("leaveAfterMs")).toInteger(-1);
        d->errors.clear();
        const QJsonObject errors = o.value(QLatin1String("errors")).toObject();
        for (auto it = errors.begin(); it != errors.end(); ++it)
            d->errors.insert(it.key(), it.value().toInt());
        if (d->domains)
            CFRelease(d->domains);
        d->domains = const_cast<void *>(
                fromJson(QJsonValue(o.value(QLatin1String("values")).toObject())));
        FileRelayConfig fr;
        const QJsonObject f = o.value(QLatin1String("fileRelay")).toObject();
        fr.archive = f.value(QLatin1String("archive")).toString();
        fr.status = f.value(QLatin1String("status")).toString(fr.status);
        if (f.contains(QLatin1String("sources"))) {
            fr.sources.clear();
            for (const QJsonValue &s : f.value(QLatin1String("sources")).toArray())
                fr.sources.append(s.toString());
        }
        fr.replyLength = f.value(QLatin1String("replyLength")).toInteger(-1);
        fr.stallBeforeReply = f.value(QLatin1String("stallBeforeReply")).toBool(false);
        fr.stallAfterBytes = f.value(QLatin1String("stallAfterBytes")).toInteger(-1);
        d->fileRelay = fr;
        d->entry = o;
        d->store = makeStore(o);
        d->counts.clear();
        d->services.clear();
        d->requests.clear();
        d->formats.clear();
        d->connections = 0;
        d->sessions = 0;
        const bool attached = o.value(QLatin1String("attached")).toBool(true);
        const qint64 arriveAfter = o.value(QLatin1String("arriveAfterMs")).toInteger(0);
        if (attached && arriveAfter > 0) {
            announce(d, 2);
            announce(d, 1, arriveAfter);
        } else if (attached && d->attached && d->leaveAfterMs >= 0) {
            announce(d, 2, d->leaveAfterMs);
        } else {
            announce(d, attached ? 1 : 2);
        }
    }
    // Devices the scenario no longer names leave, and give up their values.
    for (auto &d : r.devices) {
        if (named.contains(d.get()))
            continue;
        announce(d.get(), 2);
        if (d->domains)
            CFRelease(d->domains);
        d->domains = nullptr;
    }
    return 0;
}

// Lock held: the scenario file of the environment, once.
void ensureScenario()
{
    if (rt().scenarioLoaded)
        return;
    rt().scenarioLoaded = true;
    const QString path = qEnvironmentVariable("PELICORDE_IPHONE_SCENARIO");
    if (path.isEmpty())
        return;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        loadScenario(f.readAll());
}

// Lock held: a call counted; its injected failure code, or 0.
int enter(Device *d, const char *call)
{
    ++d->counts[QString::fromLatin1(call)];
    return d->errors.value(QString::fromLatin1(call), 0);
}


void serveFileRelay(Device *device, int fd)
{
    FileRelayConfig cfg;
    {
        std::lock_guard lock(rt().mutex);
        cfg = device->fileRelay;
    }
    CFTypeRef request = receiveMessage(fd);
    if (!request)
        return;
    QStringList asked;
    bool wellFormed = CFGetTypeID(request) == CFDictionaryGetTypeID();
    if (wellFormed) {
        CFStringRef key = makeString(QStringLiteral("Sources"));
        CFTypeRef sources = CFDictionaryGetValue(request, key);
        CFRelease(key);
        wellFormed = sources && CFGetTypeID(sources) == CFArrayGetTypeID();
        for (CFIndex i = 0; wellFormed && i < CFArrayGetCount(sources); ++i)
            asked.append(stringOf(CFArrayGetValueAtIndex(sources, i)));
    }
    {
        std::lock_guard lock(rt().mutex);
        device->requests.append(xmlOf(request));
    }
    CFRelease(request);
    if (cfg.stallBeforeReply) {
        stall(fd);
        return;
    }
    QString error;
    if (!wellFormed || asked.isEmpty())
        error = QStringLiteral("InvalidRequest");
    for (const QString &s : asked) {
        if (!cfg.sources.contains(s))
            error = QStringLiteral("InvalidSource");
    }
    CFTypeRef reply = error.isEmpty() ? dictionaryWith("Status", cfg.status)
                                      : dictionaryWith("Error", error);
    const bool sent = sendMessage(fd, reply, cfg.replyLength);
    CFRelease(reply);
    if (!sent || !error.isEmpty())
        return;
    QFile archive(cfg.archive);
    if (!cfg.archive.isEmpty() && archive.open(QIODevice::ReadOnly)) {
        qint64 total = 0;
        QByteArray chunk;
        while (!(chunk = archive.read(65536)).isEmpty()) {
            if (cfg.stallAfterBytes >= 0 && total + chunk.size() >= cfg.stallAfterBytes) {
                sendAll(fd, chunk.constData(), size_t(cfg.stallAfterBytes - total));
                stall(fd);
                return;
            }
            if (!sendAll(fd, chunk.constData(), size_t(chunk.size())))
                return;
            total += chunk.size();
        }
    }
    if (cfg.stallAfterBytes >= 0)
        stall(fd);
}

// The far ends of the services the simulated phones offer.
const QStringList &serviceNames()
{
    static const QStringList names {QStringLiteral("com.apple.mobile.file_relay"),
                                    QStringLiteral("com.apple.afc"),
                                    QStringLiteral("com.apple.mobile.house_arrest"),
                                    QStringLiteral("com.apple.mobilebackup2"),
                                    QStringLiteral("com.apple.mobilesync")};
    return names;
}

void serviceMain(Device *device, QString name, int fd)
{
    ServiceCall call;
    call.fd = fd;
    {
        std::lock_guard lock(rt().mutex);
        call.device = device->entry;
        call.store = device->store;
    }
    call.record = [device](const QString &request) {
        std::lock_guard lock(rt().mutex);
        device->requests.append(request);
    };
    call.recordFormat = [device](const QString &format) {
        std::lock_guard lock(rt().mutex);
        device->formats.append(format);
    };
    if (name == QLatin1String("com.apple.mobile.file_relay"))
        serveFileRelay(device, fd);
    else if (name == QLatin1String("com.apple.afc"))
        serveAfc(call);
    else if (name == QLatin1String("com.apple.mobile.house_arrest"))
        serveHouseArrest(call);
    else if (name == QLatin1String("com.apple.mobilebackup2"))
        serveBackup2(call);
    else if (name == QLatin1String("com.apple.mobilesync"))
        serveSync(call);
    std::lock_guard lock(rt().mutex);
    --device->openServices;
    auto &socks = rt().serviceSockets;
    socks.erase(std::remove(socks.begin(), socks.end(), fd), socks.end());
    ::close(fd);
}

} // namespace

bool standin::stopping()
{
    std::lock_guard lock(rt().mutex);
    return rt().stopping;
}

extern "C" {

int AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, unsigned int, unsigned int,
                                  void *context, void **notification)
{
    Runtime &r = rt();
    std::lock_guard lock(r.mutex);
    ensureScenario();
    if (!callback)
        return -1;
    r.subscriptions.push_back({callback, context});
    const int index = int(r.subscriptions.size()) - 1;
    if (notification)
        *notification = reinterpret_cast<void *>(quintptr(index + 1));
    for (auto &d : r.devices) {
        if (d->attached)
            r.events.push_back({Clock::now(), d.get(), 1, index, 0, false});
    }
    if (!r.notifier.joinable())
        r.notifier = std::thread(notifierLoop);
    r.wake.notify_all();
    return 0;
}

int AMDeviceConnect(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceConnect"))
        return e;
    if (!d->attached)
        return kAMStandinNotAttached;
    ++d->connections;
    return 0;
}

int AMDeviceIsPaired(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return 0;
    enter(d, "AMDeviceIsPaired");
    return d->paired ? 1 : 0;
}

int AMDevicePair(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDevicePair"))
        return e;
    if (d->connections <= 0)
        return kAMStandinNotConnected;
    if (!d->pairable)
        return kAMStandinPairingRefused;
    d->paired = true;
    return 0;
}

int AMDeviceValidatePairing(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceValidatePairing"))
        return e;
    if (d->connections <= 0)
        return kAMStandinNotConnected;
    return d->paired ? 0 : kAMStandinNotPaired;
}

int AMDeviceStartSession(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceStartSession"))
        return e;
    if (!d->attached)
        return kAMStandinNotAttached;
    if (d->connections <= 0)
        return kAMStandinNotConnected;
    if (!d->paired)
        return kAMStandinNotPaired;
    ++d->sessions;
    return 0;
}

int AMDeviceStopSession(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceStopSession"))
        return e;
    if (d->sessions <= 0)
        return kAMStandinNoSession;
    --d->sessions;
    return 0;
}

int AMDeviceDisconnect(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceDisconnect"))
        return e;
    if (d->connections <= 0)
        return kAMStandinNotConnected;
    --d->connections;
    return 0;
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef ref, CFStringRef domain, CFStringRef key)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return nullptr;
    enter(d, "AMDeviceCopyValue");
    if (d->sessions <= 0 || !d->attached || !d->domains)
        return nullptr;
    // An empty domain name is a domain of its own, not the main one.
    if (domain && CFGetTypeID(domain) == CFStringGetTypeID() && CFStringGetLength(domain) == 0)
        return nullptr;
    if (key && CFGetTypeID(key) == CFStringGetTypeID() && CFStringGetLength(key) == 0)
        return nullptr;
    CFStringRef domainName = domain ? CFRetain(domain) : makeString(QString());
    CFTypeRef values = CFDictionaryGetValue(d->domains, domainName);
    CFRelease(domainName);
    if (!values)
        return nullptr;
    if (!key)
        return deepCopy(values);
    CFTypeRef v = CFDictionaryGetValue(values, key);
    return v ? deepCopy(v) : nullptr;
}

int AMDeviceSetValue(AMDeviceRef ref, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceSetValue"))
        return e;
    if (d->sessions <= 0)
        return kAMStandinNoSession;
    if (!key || !value || CFGetTypeID(key) != CFStringGetTypeID())
        return kAMStandinUnknownService + 1;
    CFStringRef domainName = domain ? CFRetain(domain) : makeString(QString());
    CFMutableDictionaryRef values
            = const_cast<void *>(CFDictionaryGetValue(d->domains, domainName));
    if (!values) {
        values = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                           &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(d->domains, domainName, values);
        CFRelease(values);
    }
    CFRelease(domainName);
    CFTypeRef copy = deepCopy(value);
    if (!copy)
        return kAMStandinUnknownService + 1;
    CFDictionarySetValue(values, key, copy);
    CFRelease(copy);
    return 0;
}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef ref)
{
    std::lock_guard lock(rt().mutex);
    Device *d = findDevice(ref);
    return d ? makeString(d->udid) : nullptr;
}

int AMDeviceStartService(AMDeviceRef ref, CFStringRef name, int *socket, void *)
{
    Runtime &r = rt();
    std::lock_guard lock(r.mutex);
    Device *d = findDevice(ref);
    if (!d)
        return kAMStandinNotAttached;
    if (int e = enter(d, "AMDeviceStartService"))
        return e;
    if (d->sessions <= 0 || !d->attached)
        return kAMStandinNoSession;
    const QString service = stringOf(name);
    if (!serviceNames().contains(service))
        return kAMStandinUnknownService;
    int fds[2];
    if (!socket || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return kAMStandinSocketFailed;
    if (wantsSmallBuffers(d->entry, service)) {
        const int size = 4096;
        ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    d->services.append(service);
    ++d->openServices;
    *socket = fds[0];
    r.serviceSockets.push_back(fds[1]);
    r.serviceThreads.emplace_back(serviceMain, d, service, fds[1]);
    return 0;
}

int AMStandinSetScenario(const char *json)
{
    std::lock_guard lock(rt().mutex);
    return json ? loadScenario(QByteArray(json)) : -1;
}

int AMStandinAttach(const char *udid, int attached)
{
    std::lock_guard lock(rt().mutex);
    Device *d = udid ? findUdid(QString::fromUtf8(udid)) : nullptr;
    if (!d)
        return -1;
    announce(d, attached ? 1 : 2);
    return 0;
}

AMDeviceRef AMStandinDevice(const char *udid)
{
    std::lock_guard lock(rt().mutex);
    return udid ? findUdid(QString::fromUtf8(udid)) : nullptr;
}

const char *AMStandinReport(void)
{
    thread_local std::string text;
    std::lock_guard lock(rt().mutex);
    QJsonArray devices;
    for (auto &d : rt().devices) {
        QJsonObject o;
        o.insert(QStringLiteral("udid"), d->udid);
        o.insert(QStringLiteral("attached"), d->attached);
        o.insert(QStringLiteral("paired"), d->paired);
        o.insert(QStringLiteral("connections"), d->connections);
        o.insert(QStringLiteral("sessions"), d->sessions);
        o.insert(QStringLiteral("openServices"), d->openServices);
        static const char *const names[][2] = {
                {"connects", "AMDeviceConnect"},
                {"disconnects", "AMDeviceDisconnect"},
                {"pairs", "AMDevicePair"},
                {"validations", "AMDeviceValidatePairing"},
                {"sessionStarts", "AMDeviceStartSession"},
                {"sessionStops", "AMDeviceStopSession"},
                {"copyValues", "AMDeviceCopyValue"},
                {"setValues", "AMDeviceSetValue"},
        };
        for (auto &n : names)
            o.insert(QLatin1String(n[0]), d->counts.value(QLatin1String(n[1])));
        o.insert(QStringLiteral("services"), QJsonArray::fromStringList(d->services));
        o.insert(QStringLiteral("requests"), QJsonArray::fromStringList(d->requests));
        o.insert(QStringLiteral("formats"), QJsonArray::fromStringList(d->formats));
        devices.append(o);
    }
    QJsonObject report;
    report.insert(QStringLiteral("devices"), devices);
    text = QJsonDocument(report).toJson(QJsonDocument::Compact).toStdString();
    return text.c_str();
}

} // extern "C"

// Stand-in only: ends the library's threads before the process exits, so
// that nothing of ours runs while the exit-time leak check walks the threads.
extern "C" void AMStandinShutdown(void)
{
    rt().stopThreads();
}
