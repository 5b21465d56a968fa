// Helpers shared by the far ends of the MobileDevice stand-in's services.

#include "standins/apple/servicekit.h"

#include <QDateTime>
#include <QJsonArray>

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cmath>

namespace standin {

using Clock = std::chrono::steady_clock;

CFStringRef makeString(const QString &text)
{
    const QByteArray u = text.toUtf8();
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const uint8_t *>(u.constData()),
                                   u.size(), kCFStringEncodingUTF8, false);
}

QString stringOf(CFTypeRef ref)
{
    if (!ref || CFGetTypeID(ref) != CFStringGetTypeID())
        return {};
    CFIndex used = 0;
    const CFIndex n = CFStringGetLength(ref);
    CFStringGetBytes(ref, {0, n}, kCFStringEncodingUTF8, '?', false, nullptr, 0, &used);
    QByteArray bytes(used, Qt::Uninitialized);
    CFStringGetBytes(ref, {0, n}, kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<uint8_t *>(bytes.data()), used, &used);
    return QString::fromUtf8(bytes);
}

CFTypeRef fromJson(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::Bool:
        return CFRetain(v.toBool() ? kCFBooleanTrue : kCFBooleanFalse);
    case QJsonValue::Double: {
        const double d = v.toDouble();
        if (d == std::floor(d) && std::fabs(d) < 9.0e18) {
            const int64_t i = int64_t(d);
            return CFNumberCreate(nullptr, 4, &i);
        }
        return CFNumberCreate(nullptr, 6, &d);
    }
    case QJsonValue::String:
        return makeString(v.toString());
    case QJsonValue::Array: {
        CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (const QJsonValue &e : v.toArray()) {
            if (CFTypeRef x = fromJson(e)) {
                CFArrayAppendValue(a, x);
                CFRelease(x);
            }
        }
        return a;
    }
    case QJsonValue::Object: {
        const QJsonObject o = v.toObject();
        if (o.size() == 1 && o.contains(QLatin1String("$data"))) {
            const QByteArray b
                    = QByteArray::fromBase64(o.value(QLatin1String("$data")).toString().toLatin1());
            return CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(b.constData()),
                                b.size());
        }
        if (o.size() == 1 && o.contains(QLatin1String("$real"))) {
            const double d = o.value(QLatin1String("$real")).toDouble();
            return CFNumberCreate(nullptr, 6, &d);
        }
        if (o.size() == 1 && o.contains(QLatin1String("$date"))) {
            const QDateTime t = QDateTime::fromString(o.value(QLatin1String("$date")).toString(),
                                                      Qt::ISODate);
            return CFDateCreate(nullptr, double(t.toMSecsSinceEpoch()) / 1000.0 - 978307200.0);
        }
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
                nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (auto it = o.begin(); it != o.end(); ++it) {
            CFTypeRef x = fromJson(it.value());
            if (!x)
                continue;
            CFStringRef k = makeString(it.key());
            CFDictionarySetValue(d, k, x);
            CFRelease(k);
            CFRelease(x);
        }
        return d;
    }
    default:
        return nullptr;
    }
}

// A copy that shares nothing with the original: what the device hands out.
CFTypeRef deepCopy(CFTypeRef v)
{
    CFDataRef bytes
            = CFPropertyListCreateData(nullptr, v, kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
    if (!bytes)
        return nullptr;
    CFTypeRef copy = CFPropertyListCreateWithData(nullptr, bytes, 0, nullptr, nullptr);
    CFRelease(bytes);
    return copy;
}

QString xmlOf(CFTypeRef v)
{
    CFDataRef bytes
            = CFPropertyListCreateData(nullptr, v, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
    if (!bytes)
        return {};
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(CFDataGetBytePtr(bytes)),
                                           CFDataGetLength(bytes));
    CFRelease(bytes);
    return text;
}


// Waits until the near end closes (or the library goes away), reading and
// dropping whatever arrives.
void stall(int fd)
{
    char sink[4096];
    while (!stopping()) {
        pollfd p {fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return;
        if (r > 0) {
            const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
            if (n <= 0)
                return;
        }
    }
}

bool readExactly(int fd, char *buf, size_t len)
{
    size_t got = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (got < len) {
        // What has arrived is taken without a wait.
        const ssize_t ready = ::recv(fd, buf + got, len - got, MSG_DONTWAIT);
        if (ready == 0 || (ready < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        if (ready > 0) {
            got += size_t(ready);
            continue;
        }
        if (stopping() || Clock::now() > deadline)
            return false;
        pollfd p {fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        const ssize_t n = ::recv(fd, buf + got, len - got, 0);
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

bool sendAll(int fd, const char *buf, size_t len)
{
    size_t sent = 0;
    while (sent < len) {
        const ssize_t n = ::send(fd, buf + sent, len - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool sendAll(int fd, const char *head, size_t headLen, const char *body, size_t bodyLen)
{
    iovec parts[2] = {{const_cast<char *>(head), headLen}, {const_cast<char *>(body), bodyLen}};
    msghdr message {};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    while (parts[1].iov_len > 0 || parts[0].iov_len > 0) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        size_t left = size_t(n);
        for (iovec &part : parts) {
            const size_t taken = std::min(left, part.iov_len);
            part.iov_base = static_cast<char *>(part.iov_base) + taken;
            part.iov_len -= taken;
            left -= taken;
        }
        if (parts[0].iov_len == 0) {
            message.msg_iov = parts + 1;
            message.msg_iovlen = 1;
        }
    }
    return true;
}

bool sendMessage(int fd, CFTypeRef message, qint64 announced, CFIndex format)
{
    CFDataRef body
            = CFPropertyListCreateData(nullptr, message, format, 0, nullptr);
    if (!body)
        return false;
    const uint32_t n = uint32_t(announced >= 0 ? announced : CFDataGetLength(body));
    const unsigned char prefix[4] = {uchar(n >> 24), uchar(n >> 16), uchar(n >> 8), uchar(n)};
    const bool ok = sendAll(fd, reinterpret_cast<const char *>(prefix), 4)
            && sendAll(fd, reinterpret_cast<const char *>(CFDataGetBytePtr(body)),
                       size_t(CFDataGetLength(body)));
    CFRelease(body);
    return ok;
}

CFTypeRef receiveMessage(int fd, QString *format)
{
    unsigned char prefix[4];
    if (!readNext(fd, reinterpret_cast<char *>(prefix), 4))
        return nullptr;
    const uint32_t n = uint32_t(prefix[0]) << 24 | uint32_t(prefix[1]) << 16
            | uint32_t(prefix[2]) << 8 | prefix[3];
    if (n == 0 || n > (1u << 20))
        return nullptr;
    QByteArray body(qsizetype(n), Qt::Uninitialized);
    if (!readExactly(fd, body.data(), n))
        return nullptr;
    if (format)
        *format = body.startsWith("bplist") ? QStringLiteral("binary") : QStringLiteral("xml");
    CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const uint8_t *>(body.constData()),
                                  body.size());
    CFTypeRef v = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    CFRelease(data);
    return v;
}

CFTypeRef dictionaryWith(const char *key, const QString &value)
{
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFStringRef k = makeString(QString::fromLatin1(key));
    CFStringRef v = makeString(value);
    CFDictionarySetValue(d, k, v);
    CFRelease(k);
    CFRelease(v);
    return d;
}

void stallSilently(int fd)
{
    while (!stopping()) {
        pollfd p {fd, POLLRDHUP, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return;
        if (r > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return;
    }
}

bool readNext(int fd, char *buf, size_t len)
{
    if (len == 0)
        return true;
    const ssize_t first = ::recv(fd, buf, len, MSG_DONTWAIT);
    if (first == 0)
        return false;
    if (first > 0)
        return size_t(first) == len || readExactly(fd, buf + first, len - size_t(first));
    for (;;) {
        if (stopping())
            return false;
        pollfd p {fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0)
            break;
    }
    return readExactly(fd, buf, len);
}

CFTypeRef valueOf(CFTypeRef dictionary, const QString &key)
{
    if (!dictionary || CFGetTypeID(dictionary) != CFDictionaryGetTypeID())
        return nullptr;
    CFStringRef k = makeString(key);
    CFTypeRef v = CFDictionaryGetValue(dictionary, k);
    CFRelease(k);
    return v;
}

CFTypeRef elementOf(CFTypeRef array, CFIndex index)
{
    if (!array || CFGetTypeID(array) != CFArrayGetTypeID() || index < 0
        || index >= CFArrayGetCount(array))
        return nullptr;
    return CFArrayGetValueAtIndex(array, index);
}

bool isReal(CFTypeRef number)
{
    if (!number || CFGetTypeID(number) != CFNumberGetTypeID())
        return false;
    const CFNumberType t = CFNumberGetType(number);
    return t == 5 || t == 6 || t == 12 || t == 13;
}

bool isInteger(CFTypeRef number)
{
    return number && CFGetTypeID(number) == CFNumberGetTypeID() && !isReal(number);
}

} // namespace standin
