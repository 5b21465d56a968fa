// The far ends of "com.apple.mobilebackup2" and "com.apple.mobilesync":
// the DeviceLink handshake, then the backup service's messages inside
// "DLMessageProcessMessage" envelopes, or the sync session of one data
// class, with answers and faults a scenario sets.
//
// Scenario entries of a device, both with these keys:
//   "deviceReadyFirst": false     the phone opens with "DLMessageDeviceReady"
//   "readyName": "DLMessageDeviceReady"   what it says after the version answer
//   "faults": [{"at": trigger, "kind": kind}]   the answer to trigger goes wrong
// where trigger is "start" (the phone's first message), a message name the
// phone answers ("DLMessageVersionExchange", an "SD..." name, and for the
// backup service the "MessageName" of a request) and kind one of
//   "shortPrefix" 2 bytes of the length, then the connection closes
//   "lengthBeyond" a length 100 bytes beyond the message, then silence
//   "overCap"     a length of 256 MiB, then silence
//   "negativeLength" a length with the top bit set, then silence
//   "closeMidAnswer" half the message, then the connection closes
//   "garbage"     a length and bytes that are no property list
//   "stall"       no answer; what arrives is read and dropped
//   "close"       the connection closes
//   "reply"       the message given as "message" (JSON) instead
//
//   "mobilebackup2": {
//       "versions": [2.0, 2.1],    what the phone speaks; "Hello" picks the
//                                  highest offered real number among them
//       "cloudErrorCode": 0,       the answer to "EnableCloudBackup"
//       "scripts": {"Backup": [step, ...]}   what follows a request: a JSON
//                                  array is sent, "expect:NAME" reads one
//                                  message that must be called NAME
//   }
//   "mobilesync": {
//       "classes": {"com.apple.Contacts": {"batches": [{records}, ...],
//                                          "repeat": 1}},   the batches are
//                                  sent this many times over; -1 without end
//                                  (while the computer acknowledges them)
//       "cancelAt": "SDMessageGetAllRecordsFromDevice"   answered with
//                                  "SDMessageCancelSession"
//       "finishReply": "SDMessageDeviceFinishedSession"
//   }
// The sync version the computer gives must be the integer 106, and the
// backup versions it offers real numbers; anything else is refused.

#include "standins/apple/servicekit.h"

#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace standin {

namespace {

constexpr const char *kEmpty = "___EmptyParameterString___";

CFTypeRef arrayOf(std::initializer_list<CFTypeRef> owned)
{
    CFMutableArrayRef a = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    for (CFTypeRef v : owned) {
        CFArrayAppendValue(a, v);
        CFRelease(v);
    }
    return a;
}

CFTypeRef str(const QString &s)
{
    return makeString(s);
}

CFTypeRef integer(qint64 v)
{
    return CFNumberCreate(nullptr, 4, &v);
}

CFTypeRef real(double v)
{
    return CFNumberCreate(nullptr, 6, &v);
}

void setValue(CFMutableDictionaryRef d, const char *key, CFTypeRef owned)
{
    CFStringRef k = makeString(QString::fromLatin1(key));
    CFDictionarySetValue(d, k, owned);
    CFRelease(k);
    CFRelease(owned);
}

CFMutableDictionaryRef newDictionary()
{
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

QString nameOf(CFTypeRef message)
{
    return stringOf(elementOf(message, 0));
}

// One link connection: answers under the scenario's faults.
class LinkServer
{
public:
    LinkServer(const ServiceCall &call, const QJsonObject &config, CFIndex format)
        : m_call(call)
        , m_config(config)
        , m_format(format)
    {
        for (const QJsonValue &f : config.value(QLatin1String("faults")).toArray())
            m_faults.append(f.toObject());
    }

    int fd() const { return m_call.fd; }

    // Sends message (owned) as the answer to trigger; false when the
    // connection is to end.
    bool answer(const QString &trigger, CFTypeRef message)
    {
        Owned owned(message);
        for (qsizetype i = 0; i < m_faults.size(); ++i) {
            if (m_faults[i].value(QLatin1String("at")).toString() != trigger)
                continue;
            const QJsonObject f = m_faults.takeAt(i);
            return fault(f, message);
        }
        return sendMessage(fd(), message, -1, m_format);
    }

    // The next message, recorded; null when the connection ended.
    CFTypeRef next()
    {
        QString format;
        CFTypeRef m = receiveMessage(fd(), &format);
        if (m) {
            m_call.record(xmlOf(m));
            m_call.recordFormat(format);
        }
        return m;
    }

    // The handshake; false when the connection is to end.
    bool handshake()
    {
        if (m_config.value(QLatin1String("deviceReadyFirst")).toBool(false))
            return answer(QStringLiteral("start"), arrayOf({str("DLMessageDeviceReady")}));
        if (!answer(QStringLiteral("start"),
                    arrayOf({str("DLMessageVersionExchange"), integer(300), integer(0)})))
            return false;
        Owned reply(next());
        if (!reply.ref)
            return false;
        const bool ok = CFGetTypeID(reply.ref) == CFArrayGetTypeID()
                && CFArrayGetCount(reply.ref) == 2
                && nameOf(reply.ref) == QLatin1String("DLMessageVersionExchange")
                && stringOf(elementOf(reply.ref, 1)) == QLatin1String("DLVersionsOk");
        if (!ok) {
            answer(QStringLiteral("-"), arrayOf({str("DLMessageDisconnect"),
                                                 str("version answer not understood")}));
            return false;
        }
        const QString ready = m_config.value(QLatin1String("readyName"))
                                      .toString(QStringLiteral("DLMessageDeviceReady"));
        return answer(QStringLiteral("DLMessageVersionExchange"), arrayOf({str(ready)}));
    }

    // Runs scripted steps; false when the connection is to end.
    bool script(const QString &trigger, const QJsonArray &steps)
    {
        bool first = true;
        for (const QJsonValue &step : steps) {
            if (step.isString()) {
                const QString expected = step.toString().mid(7); // after "expect:"
                Owned got(next());
                if (!got.ref)
                    return false;
                if (nameOf(got.ref) != expected) {
                    answer(QStringLiteral("-"),
                           arrayOf({str("DLMessageDisconnect"),
                                    str(QStringLiteral("expected %1").arg(expected))}));
                    return false;
                }
                continue;
            }
            if (!answer(first ? trigger : QStringLiteral("-"), fromJson(step)))
                return false;
            first = false;
        }
        return true;
    }

private:
    bool fault(const QJsonObject &f, CFTypeRef message)
    {
        const QString kind = f.value(QLatin1String("kind")).toString();
        const auto prefix = [this](quint32 n) {
            const unsigned char b[4] = {uchar(n >> 24), uchar(n >> 16), uchar(n >> 8), uchar(n)};
            return sendAll(fd(), reinterpret_cast<const char *>(b), 4);
        };
        CFDataRef data = CFPropertyListCreateData(nullptr, message, m_format, 0, nullptr);
        const QByteArray body(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                              CFDataGetLength(data));
        CFRelease(data);
        if (kind == QLatin1String("shortPrefix")) {
            sendAll(fd(), "\0\0", 2);
            return false;
        }
        if (kind == QLatin1String("lengthBeyond")) {
            prefix(quint32(body.size() + 100));
            sendAll(fd(), body.constData(), size_t(body.size()));
            stall(fd());
            return false;
        }
        if (kind == QLatin1String("overCap") || kind == QLatin1String("negativeLength")) {
            prefix(kind == QLatin1String("overCap") ? 256u << 20 : 0xFFFFFFF0u);
            sendAll(fd(), body.constData(), size_t(body.size()));
            stall(fd());
            return false;
        }
        if (kind == QLatin1String("closeMidAnswer")) {
            prefix(quint32(body.size()));
            sendAll(fd(), body.constData(), size_t(body.size() / 2));
            return false;
        }
        if (kind == QLatin1String("garbage")) {
            prefix(12);
            sendAll(fd(), "not a plist!", 12);
            return true;
        }
        if (kind == QLatin1String("stall")) {
            stall(fd());
            return false;
        }
        if (kind == QLatin1String("reply")) {
            Owned instead(fromJson(f.value(QLatin1String("message"))));
            return sendMessage(fd(), instead.ref, -1, m_format);
        }
        return false; // "close"
    }

    const ServiceCall &m_call;
    QJsonObject m_config;
    CFIndex m_format;
    QList<QJsonObject> m_faults;
};

CFTypeRef response(qint64 errorCode, double version = -1)
{
    CFMutableDictionaryRef body = newDictionary();
    setValue(body, "MessageName", str("Response"));
    setValue(body, "ErrorCode", integer(errorCode));
    if (version >= 0)
        setValue(body, "ProtocolVersion", real(version));
    return arrayOf({str("DLMessageProcessMessage"), body});
}

} // namespace

void serveBackup2(const ServiceCall &call)
{
    const QJsonObject config = call.device.value(QLatin1String("mobilebackup2")).toObject();
    LinkServer link(call, config, kCFPropertyListBinaryFormat_v1_0);
    if (!link.handshake())
        return;
    QList<double> spoken;
    for (const QJsonValue &v : config.value(QLatin1String("versions")).toArray({2.0, 2.1}))
        spoken.append(v.toDouble());
    const QJsonObject scripts = config.value(QLatin1String("scripts")).toObject();
    for (;;) {
        Owned message(link.next());
        if (!message.ref)
            return;
        const QString name = nameOf(message.ref);
        if (name == QLatin1String("DLMessageDisconnect"))
            return;
        if (name != QLatin1String("DLMessageProcessMessage"))
            continue; // a ping or a status response outside a script
        CFTypeRef body = elementOf(message.ref, 1);
        const QString request = stringOf(valueOf(body, QStringLiteral("MessageName")));
        if (scripts.contains(request)) {
            if (!link.script(request, scripts.value(request).toArray()))
                return;
            continue;
        }
        bool ok = true;
        if (request == QLatin1String("Hello")) {
            CFTypeRef offered = valueOf(body, QStringLiteral("SupportedProtocolVersions"));
            double chosen = -1;
            for (CFIndex i = 0; CFTypeRef v = elementOf(offered, i); ++i) {
                double d = 0;
                if (isReal(v) && CFNumberGetValue(v, 6, &d) && spoken.contains(d))
                    chosen = std::max(chosen, d);
            }
            ok = link.answer(request, chosen < 0 ? response(1) : response(0, chosen));
        } else if (request == QLatin1String("EnableCloudBackup")) {
            ok = link.answer(request, response(config.value(QLatin1String("cloudErrorCode")).toInt(0)));
        } else if (request == QLatin1String("Backup")) {
            const QJsonArray steps {QJsonArray {QStringLiteral("DLMessageGetFreeDiskSpace")},
                                    QStringLiteral("expect:DLMessageStatusResponse"),
                                    QJsonArray {QStringLiteral("DLMessageProcessMessage"),
                                                QJsonObject {{"MessageName", "Response"},
                                                             {"ErrorCode", 0}}}};
            ok = link.script(request, steps);
        } else {
            ok = link.answer(request, response(2));
        }
        if (!ok)
            return;
    }
}

void serveSync(const ServiceCall &call)
{
    const QJsonObject config = call.device.value(QLatin1String("mobilesync")).toObject();
    const QJsonObject classes = config.value(QLatin1String("classes")).toObject();
    const QString cancelAt = config.value(QLatin1String("cancelAt")).toString();
    LinkServer link(call, config, kCFPropertyListXMLFormat_v1_0);
    if (!link.handshake())
        return;
    QString syncing; // the class of the session, once started
    const auto cancel = [&](const QString &trigger, const QString &why) {
        return link.answer(trigger, arrayOf({str("SDMessageCancelSession"),
                                             str(syncing.isEmpty() ? QString::fromLatin1(kEmpty)
                                                                   : syncing),
                                             str(why)}));
    };
    for (;;) {
        Owned message(link.next());
        if (!message.ref)
            return;
        const QString name = nameOf(message.ref);
        const QString dataClass = stringOf(elementOf(message.ref, 1));
        bool ok = true;
        if (name == QLatin1String("DLMessageDisconnect"))
            return;
        if (name == QLatin1String("DLMessagePing"))
            continue;
        if (name == cancelAt) {
            ok = cancel(name, QStringLiteral("The sync was cancelled on the phone."));
        } else if (name == QLatin1String("SDMessageSyncDataClassWithDevice")) {
            CFTypeRef version = elementOf(message.ref, 4);
            qint64 v = 0;
            const bool versionOk
                    = isInteger(version) && CFNumberGetValue(version, 4, &v) && v == 106;
            if (!classes.contains(dataClass) || !versionOk) {
                ok = link.answer(name, arrayOf({str("SDMessageRefuseToSyncDataClassWithComputer"),
                                                str(dataClass),
                                                str(versionOk ? "unknown data class"
                                                              : "unsupported version")}));
            } else {
                syncing = dataClass;
                ok = link.answer(name, arrayOf({str("SDMessageSyncDataClassWithComputer"),
                                                str(dataClass), str("phone-anchor-2")}));
            }
        } else if (syncing.isEmpty() || dataClass != syncing) {
            ok = cancel(name, QStringLiteral("No sync of %1 is running.").arg(dataClass));
        } else if (name == QLatin1String("SDMessageGetAllRecordsFromDevice")) {
            const QJsonObject syncClass = classes.value(syncing).toObject();
            const QJsonArray batches = syncClass.value(QLatin1String("batches")).toArray();
            const int repeat = syncClass.value(QLatin1String("repeat")).toInt(1);
            const qsizetype total = batches.isEmpty() ? 0
                    : repeat < 0                      ? -1
                                                      : batches.size() * qMax(repeat, 1);
            QString trigger = name;
            for (qsizetype i = 0; ok && (total < 0 || i < total); ++i) {
                CFMutableDictionaryRef actions = newDictionary();
                const bool more = total < 0 || i + 1 < total;
                ok = link.answer(trigger,
                                 arrayOf({str("SDMessageProcessChanges"), str(syncing),
                                          fromJson(batches.at(i % batches.size())),
                                          CFRetain(more ? kCFBooleanTrue : kCFBooleanFalse),
                                          actions}));
                if (!ok)
                    break;
                Owned ack(link.next());
                if (!ack.ref)
                    return;
                if (nameOf(ack.ref) != QLatin1String("SDMessageAcknowledgeChangesFromDevice")
                    || stringOf(elementOf(ack.ref, 1)) != syncing) {
                    ok = cancel(QStringLiteral("-"), QStringLiteral("Batch not acknowledged."));
                    break;
                }
                trigger = QStringLiteral("SDMessageAcknowledgeChangesFromDevice");
            }
            if (ok)
                ok = link.answer(trigger, arrayOf({str("SDMessageDeviceReadyToReceiveChanges"),
                                                   str(syncing)}));
        } else if (name == QLatin1String("SDMessageProcessChanges")) {
            CFTypeRef entities = elementOf(message.ref, 2);
            CFMutableDictionaryRef remap = newDictionary();
            if (entities && CFGetTypeID(entities) == CFDictionaryGetTypeID()) {
                const CFIndex n = CFDictionaryGetCount(entities);
                std::vector<const void *> keys(static_cast<size_t>(n));
                CFDictionaryGetKeysAndValues(entities, keys.data(), nullptr);
                for (const void *k : keys) {
                    CFStringRef v = makeString(QStringLiteral("phone/") + stringOf(k));
                    CFDictionarySetValue(remap, k, v);
                    CFRelease(v);
                }
            }
            ok = link.answer(name, arrayOf({str("SDMessageRemapRecordIdentifiers"), str(syncing),
                                            remap}));
        } else if (name == QLatin1String("SDMessageClearAllRecordsOnDevice")) {
            ok = link.answer(name, arrayOf({str("SDMessageDeviceWillClearAllRecords"),
                                            str(syncing)}));
        } else if (name == QLatin1String("SDMessageFinishSessionOnDevice")) {
            const QString reply = config.value(QLatin1String("finishReply"))
                                          .toString(QStringLiteral("SDMessageDeviceFinishedSession"));
            ok = link.answer(name, arrayOf({str(reply), str(syncing)}));
            syncing.clear();
        } else {
            ok = cancel(name, QStringLiteral("Unknown message %1.").arg(name));
        }
        if (!ok)
            return;
    }
}

} // namespace standin
