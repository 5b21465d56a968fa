#include "iphone/mobiledevice.h"

#include "iphone/applelibrary.h"
#include "iphone/plistexpansion.h"
#include "iphone/servicesocket.h"
#include "store/messagebox.h"

#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>

#include <atomic>
#include <limits>
#include <mutex>
#include <stdexcept>

DeviceNotifyTarget deviceNotifyTarget;

namespace {

using CFStringRef = CFTypeRef;
using NotificationCallback = void (*)(AMDeviceNotificationInfo *, void *);

// Guards every target while a call-back reads it, so that a receiver can
// leave (mobiledevice_set_target with null) without a call-back in flight.
std::recursive_mutex targetMutex;

std::atomic<int> lengthTimeout {60000};
std::atomic<int> serviceTimeout {60000};
std::mutex messageLimitsMutex;
mobiledevice::MessageLimits currentMessageLimits;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// For the texts written for the error box (line breaks, entities).
[[noreturn]] void failForBox(const QString &text)
{
    throw BoxTextError(text.toUtf8().toStdString());
}

// A MobileDevice function by name; a missing one is an error, never a call
// of a null address.
template<typename Fn> Fn am(const char *name)
{
    auto fn = mobiledevice_am_function<Fn>(name);
    if (!fn)
        fail(QStringLiteral("%1 is missing from the MobileDevice library.")
                     .arg(QString::fromLatin1(name)));
    return fn;
}

int callDevice(const char *name, AMDeviceRef device)
{
    return am<int (*)(AMDeviceRef)>(name)(device);
}

QString sessionError(const char *call, int code)
{
    const QString advice = QStringLiteral(
            "Please restart your iPhone and computer to try again. If a prompt message pops out "
            "on your iPhone, please click \"Trust\".");
    return QStringLiteral("%1<br/><br/>Error code: %2")
            .arg(advice, QString::fromLatin1(call).arg(code));
}

// Closes the session of one operation on every way out.
class SessionScope
{
public:
    explicit SessionScope(AMDeviceRef device)
        : m_device(device)
    {
        QString error;
        if (mobiledevice_open_session(device, error) != 0)
            failForBox(error);
    }
    ~SessionScope() { mobiledevice_close_session(m_device); }
    SessionScope(const SessionScope &) = delete;
    SessionScope &operator=(const SessionScope &) = delete;

private:
    AMDeviceRef m_device;
};

// What a framing error shows of the message concerned.
QString messageText(const CFType &message)
{
    return mobiledevice::shortXml(message, 800);
}

} // namespace

DeviceNotifyTarget::DeviceNotifyTarget()
    : receiver(nullptr)
    , connectedSlot("")
    , disconnectedSlot("")
{ }

DeviceNotifyTarget::DeviceNotifyTarget(QObject *receiver, const char *connectedSlot,
                                       const char *disconnectedSlot)
    : receiver(receiver)
    , connectedSlot(connectedSlot)
    , disconnectedSlot(disconnectedSlot)
{ }

void mobiledevice_set_target(DeviceNotifyTarget *target, QObject *receiver,
                             const char *connectedSlot, const char *disconnectedSlot)
{
    std::lock_guard lock(targetMutex);
    // What the notifications told so far stays with the target.
    target->receiver = receiver;
    target->connectedSlot = connectedSlot ? connectedSlot : "";
    target->disconnectedSlot = disconnectedSlot ? disconnectedSlot : "";
}

void mobiledevice_subscribe(DeviceNotifyTarget *target)
{
    if (!mobiledevice_frameworks_loaded()) {
        QString error;
        if (!mobiledevice_load_frameworks(error))
            fail(error);
    }
    auto subscribe = am<int (*)(NotificationCallback, unsigned int, unsigned int, void *, void **)>(
            "AMDeviceNotificationSubscribe");
    {
        std::lock_guard lock(targetMutex);
        if (target->subscribed) {
            // A second subscription would announce every event twice.
            if (target->receiver && target->connectedSlot && *target->connectedSlot) {
                for (AMDeviceRef device : std::as_const(target->attached))
                    QMetaObject::invokeMethod(target->receiver, target->connectedSlot,
                                              Qt::QueuedConnection, Q_ARG(void *, device));
            }
            return;
        }
        target->subscribed = true;
    }
    void *notification = nullptr;
    if (subscribe(mobiledevice_notification_callback, 0, 0, target, &notification) != 0) {
        std::lock_guard lock(targetMutex);
        target->subscribed = false;
        fail(QStringLiteral("AMDeviceNotificationSubscribe failed."));
    }
}

bool mobiledevice_is_attached(DeviceNotifyTarget *target, AMDeviceRef device)
{
    std::lock_guard lock(targetMutex);
    return target && device && target->attached.contains(device);
}

void mobiledevice_notification_callback(AMDeviceNotificationInfo *info, void *context)
{
    auto *target = static_cast<DeviceNotifyTarget *>(context);
    if (!info || !target)
        return;
    std::lock_guard lock(targetMutex);
    if (info->message == 1)
        target->attached.insert(info->device);
    else if (info->message == 2)
        target->attached.remove(info->device);
    const char *slot = info->message == 1 ? target->connectedSlot
            : info->message == 2          ? target->disconnectedSlot
                                          : nullptr;
    if (!slot || !*slot || !target->receiver)
        return;
    // The receiver lives in the GUI thread: the call is queued there, even
    // when this call-back runs in that thread itself (the slot runs modal
    // dialogs, which must not run inside the call-back and under the lock).
    // The lock keeps the receiver alive until the event is posted.
    QMetaObject::invokeMethod(target->receiver, slot, Qt::QueuedConnection,
                              Q_ARG(void *, info->device));
}

int mobiledevice_open_session(AMDeviceRef device, QString &error)
{
    int c = callDevice("AMDeviceConnect", device);
    if (c != 0) {
        error = sessionError("AMDeviceConnect(%1)", c);
        return c;
    }
    // Past the connect, every failure disconnects again: a device is never
    // left connected by a session that did not open.
    const char *failed = nullptr;
    try {
        if (callDevice("AMDeviceIsPaired", device) == 0) {
            c = callDevice("AMDevicePair", device);
            if (c != 0)
                failed = "AMDevicePair(%1)";
        }
        if (!failed) {
            c = callDevice("AMDeviceValidatePairing", device);
            if (c != 0)
                failed = "AMDeviceValidatePairing(%1)";
        }
        if (!failed) {
            c = callDevice("AMDeviceStartSession", device);
            if (c != 0)
                failed = "AMDeviceStartSession(%1)";
        }
    } catch (...) {
        if (auto disconnect = mobiledevice_am_function<int (*)(AMDeviceRef)>("AMDeviceDisconnect"))
            disconnect(device);
        throw;
    }
    if (failed) {
        callDevice("AMDeviceDisconnect", device);
        error = sessionError(failed, c);
        return c;
    }
    return 0;
}

void mobiledevice_close_session(AMDeviceRef device)
{
    if (auto stop = mobiledevice_am_function<int (*)(AMDeviceRef)>("AMDeviceStopSession"))
        stop(device);
    if (auto disconnect = mobiledevice_am_function<int (*)(AMDeviceRef)>("AMDeviceDisconnect"))
        disconnect(device);
}

QList<CFType> mobiledevice_copy_value(AMDeviceRef device, const QStringList &keys,
                                      const QString &domain)
{
    auto copy = am<CFTypeRef (*)(AMDeviceRef, CFStringRef, CFStringRef)>("AMDeviceCopyValue");
    SessionScope session(device);
    const CFType domainValue = domain.isEmpty() ? CFType() : CFType::fromString(domain);
    QList<CFType> values;
    for (const QString &key : keys) {
        const CFType keyValue = key.isEmpty() ? CFType() : CFType::fromString(key);
        values.append(CFType(copy(device, domainValue.ref(), keyValue.ref()), true));
    }
    return values;
}

int mobiledevice_set_value(AMDeviceRef device, const QString &domain, const QString &key,
                           const CFType &value)
{
    auto set = am<int (*)(AMDeviceRef, CFStringRef, CFStringRef, CFTypeRef)>("AMDeviceSetValue");
    SessionScope session(device);
    return set(device, CFType::fromString(domain).ref(), CFType::fromString(key).ref(),
               value.ref());
}

QString mobiledevice_copy_device_identifier(AMDeviceRef device)
{
    auto copy = am<CFStringRef (*)(AMDeviceRef)>("AMDeviceCopyDeviceIdentifier");
    SessionScope session(device);
    return CFType(copy(device), true).toQString();
}

void mobiledevice_start_service(AMDeviceRef device, const char *serviceName, int *socket)
{
    auto start = am<int (*)(AMDeviceRef, CFStringRef, int *, void *)>("AMDeviceStartService");
    int code;
    {
        SessionScope session(device);
        code = start(device, CFType::fromString(QString::fromLatin1(serviceName)).ref(), socket,
                     nullptr);
    }
    if (code != 0)
        failForBox(QStringLiteral("Please turn off Wifi Sync on iTunes to try again.<br/>To do "
                                  "this:  Launch iTunes -&gt; Connect your device -&gt; Go "
                                  "Summary -&gt; Options -&gt; Uncheck Sync with this device "
                                  "over Wi-Fi.<br/><br/>")
                   + QStringLiteral("Error code: AMDeviceStartService(%1)=%2")
                             .arg(QString::fromLatin1(serviceName))
                             .arg(code));
}

int mobiledevice_wait_socket(int socket, int timeoutMs, bool forReading)
{
    return servicesocket::wait(socket, timeoutMs, forReading);
}

int mobiledevice_send_data(int socket, const char *data, int length, int timeoutMs)
{
    return mobiledevice_send_parts(socket, nullptr, 0, data, length, timeoutMs);
}

int mobiledevice_send_parts(int socket, const char *head, int headLength, const char *data,
                            int length, int timeoutMs)
{
    headLength = qMax(headLength, 0);
    length = qMax(length, 0);
    const qint64 total = qint64(headLength) + length;
    if (total <= 0)
        return 0;
    // A peer that takes part of the bytes and then stops reading must not
    // hold the sender beyond its timeout: the rest is sent as the socket
    // accepts it, within that one timeout.
    QDeadlineTimer deadline = timeoutMs >= 1 ? QDeadlineTimer(timeoutMs) : QDeadlineTimer::Forever;
    // The socket is tried first and waited for only when it takes nothing.
    qint64 sent = 0;
    bool wait = false;
    while (sent < total) {
        if (wait) {
            const int remaining = deadline.isForever() ? 0 : int(deadline.remainingTime());
            if (!deadline.isForever() && remaining <= 0)
                break;
            if (mobiledevice_wait_socket(socket, remaining, false) == 0)
                break;
        }
        const long n = sent < headLength
                ? servicesocket::sendSome(socket, head + sent, long(headLength - sent), data,
                                          long(length))
                : servicesocket::sendSome(socket, data + (sent - headLength), long(total - sent));
        if (n < 0)
            break;
        sent += n;
        wait = n == 0;
    }
    return int(qMin<qint64>(sent, std::numeric_limits<int>::max()));
}

int mobiledevice_receive_data(int socket, char *buffer, int length, int timeoutMs)
{
    if (length <= 0)
        return 0;
    // What has arrived is taken at once; the wait is for what has not.
    int received = 0;
    while (received < length) {
        long n = servicesocket::receiveNow(socket, buffer + received, length - received);
        if (n == servicesocket::kWouldBlock) {
            if (mobiledevice_wait_socket(socket, timeoutMs, true) == 0)
                break;
            n = servicesocket::receiveSome(socket, buffer + received, length - received);
        }
        if (n <= 0)
            break;
        received += int(n);
    }
    return received;
}

void mobiledevice_close_socket(int socket)
{
    servicesocket::close(socket);
}

void mobiledevice_sendmsg(int socket, const CFType &message, bool binary, int timeoutMs)
{
    const QByteArray body = message.toPropertyListBytes(binary ? kCFPropertyListBinaryFormat
                                                               : kCFPropertyListXMLFormat);
    const qsizetype n = body.size();
    if (n <= 0)
        return;
    // The byte count must fit the int of the send.
    if (n > std::numeric_limits<int>::max())
        fail(QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n%1")
                     .arg(messageText(message)));
    const quint32 length = quint32(n);
    const unsigned char prefix[4]
            = {uchar(length >> 24), uchar(length >> 16), uchar(length >> 8), uchar(length)};
    if (mobiledevice_send_data(socket, reinterpret_cast<const char *>(prefix), 4, timeoutMs) < 4)
        fail(QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n%1")
                     .arg(messageText(message)));
    if (mobiledevice_send_data(socket, body.constData(), int(n), timeoutMs) != n)
        fail(QStringLiteral("mobiledevice_sendmsg(msg) error.\n%1").arg(messageText(message)));
}

CFType mobiledevice_recmsg(int socket, const CFType &request, int timeoutMs)
{
    const auto failure = [&request](const QString &text) {
        fail(request.isEmpty() ? text : text + QLatin1Char('\n') + messageText(request));
    };
    unsigned char prefix[4] = {};
    const int got = mobiledevice_receive_data(socket, reinterpret_cast<char *>(prefix), 4,
                                              mobiledevice::lengthTimeoutMs());
    if (got < 4)
        failure(QStringLiteral("mobiledevice_recmsg(msg-length) error, received length: %1.")
                        .arg(got));
    const qint32 n = qint32(quint32(prefix[0]) << 24 | quint32(prefix[1]) << 16
                            | quint32(prefix[2]) << 8 | quint32(prefix[3]));
    // A device that announces more than any message holds is not believed:
    // nothing of that size is allocated or waited for.
    if (n > mobiledevice::kMaxMessageLength)
        failure(QStringLiteral("mobiledevice_recmsg(msg) error, announced length: %1.").arg(n));
    const QByteArray body = mobiledevice::receiveAnnounced(socket, n, timeoutMs);
    const int received = int(body.size());
    if (received != n)
        failure(QStringLiteral("mobiledevice_recmsg(msg) error, received length: %1.")
                        .arg(received));
    if (n <= 0)
        return CFType();
    // Measured before it is read: a reader expands every shared value.
    const mobiledevice::MessageLimits limits = mobiledevice::messageLimits();
    const plistexpansion::Size size = plistexpansion::measure(body, limits.values, limits.bytes);
    if (!size.readable)
        return CFType();
    if (size.values > limits.values)
        failure(QStringLiteral("mobiledevice_recmsg(msg) error, the message holds more than %1 "
                               "values.")
                        .arg(limits.values));
    if (size.bytes > limits.bytes)
        failure(QStringLiteral("mobiledevice_recmsg(msg) error, the message holds more than %1 "
                               "bytes of values.")
                        .arg(limits.bytes));
    return CFType::fromPropertyListBytes(body);
}

namespace mobiledevice {

QByteArray receiveAnnounced(int socket, qint64 length, int timeoutMs)
{
    constexpr qint64 step = 1 << 20;
    QByteArray bytes;
    while (bytes.size() < length) {
        const qsizetype have = bytes.size();
        const int want = int(qMin(length - have, step));
        bytes.resize(have + want);
        const int got = mobiledevice_receive_data(socket, bytes.data() + have, want, timeoutMs);
        bytes.resize(have + qMax(got, 0));
        if (got < want)
            break;
    }
    return bytes;
}

MessageLimits messageLimits()
{
    std::lock_guard lock(messageLimitsMutex);
    return currentMessageLimits;
}

void setMessageLimits(const MessageLimits &limits)
{
    std::lock_guard lock(messageLimitsMutex);
    currentMessageLimits = limits;
}

QString shortXml(const CFType &value, qsizetype maxCharacters)
{
    return QString::fromUtf8(value.toPropertyListBytes(kCFPropertyListXMLFormat))
            .left(maxCharacters);
}

int lengthTimeoutMs()
{
    return lengthTimeout.load();
}

void setLengthTimeoutMs(int ms)
{
    lengthTimeout.store(ms);
}

int serviceTimeoutMs()
{
    return serviceTimeout.load();
}

void setServiceTimeoutMs(int ms)
{
    serviceTimeout.store(ms);
}

} // namespace mobiledevice
