#include "iphone/mobilesync.h"

#include "iphone/devicelink.h"

#include <limits>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex limitsMutex;
mobilesync::Limits currentLimits;

// The sync protocol version the computer speaks.
constexpr qint32 kSyncVersion = 106;

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

CFType text(const QString &value)
{
    return CFType::fromString(value);
}

CFType send(int socket, std::initializer_list<CFType> elements)
{
    const CFType message = devicelink::message(elements);
    mobiledevice_sendmsg(socket, message, false, mobiledevice::serviceTimeoutMs());
    return message;
}

// The reply to request, which must be called expected.
CFType expect(int socket, const CFType &request, const char *expected)
{
    const CFType reply = mobiledevice_recmsg(socket, request, mobiledevice::serviceTimeoutMs());
    if (devicelink::messageName(reply) != QLatin1String(expected))
        fail(QStringLiteral("invalid feedback after send %1.\n%2")
                     .arg(devicelink::messageName(request), devicelink::xmlText(reply)));
    return reply;
}

} // namespace

void mobiledevice_sync_start(AMDeviceRef device, const mobiledevice_sync_anchors &anchors,
                             int *socket, bool ping)
{
    mobiledevice_start_service(device, "com.apple.mobilesync", socket);
    try {
        mobiledevice_link_version_exchange(*socket);
        const CFType request = send(*socket,
                                    {text(QStringLiteral("SDMessageSyncDataClassWithDevice")),
                                     text(anchors.dataClass), text(anchors.deviceAnchor),
                                     text(anchors.computerAnchor),
                                     CFType::fromNumber(kSyncVersion)});
        expect(*socket, request, "SDMessageSyncDataClassWithComputer");
        if (ping)
            send(*socket, {text(QStringLiteral("DLMessagePing")),
                           text(QStringLiteral("Preparing to get changes for device"))});
    } catch (...) {
        mobiledevice_close_socket(*socket);
        *socket = 0;
        throw;
    }
}

QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString &dataClass)
{
    const CFType request
            = send(socket, {text(QStringLiteral("SDMessageGetAllRecordsFromDevice")),
                            text(dataClass)});
    const mobilesync::Limits limit = mobilesync::limits();
    const auto tooMuch = [&dataClass](const QString &what) {
        fail(QStringLiteral("The iPhone sent %1 while fetching the records of %2; the fetch was "
                            "stopped.")
                     .arg(what, dataClass));
    };
    QList<CFType> records;
    qint64 batches = 0;
    qint64 recordCount = 0;
    qint64 totalBytes = 0;
    for (;;) {
        const CFType batch
                = mobiledevice_recmsg(socket, request, mobiledevice::serviceTimeoutMs());
        const QString name = devicelink::messageName(batch);
        if (name == QLatin1String("SDMessageDeviceReadyToReceiveChanges"))
            return records;
        if (name != QLatin1String("SDMessageProcessChanges"))
            fail(QStringLiteral("invalid feedback after send SDMessageGetAllRecordsFromDevice.\n%1")
                         .arg(devicelink::xmlText(batch)));
        // Batches without records count too: a stream of them never ends.
        if (++batches > limit.batches)
            tooMuch(QStringLiteral("more than %1 batches").arg(limit.batches));
        const CFType entities = devicelink::element(batch, 2);
        if (entities.isDictionary()) {
            recordCount += entities.count();
            if (recordCount > limit.records)
                tooMuch(QStringLiteral("more than %1 records").arg(limit.records));
            const QByteArray xml = entities.toPropertyListBytes(kCFPropertyListXMLFormat);
            totalBytes += xml.size();
            if (totalBytes > limit.totalBytes)
                tooMuch(QStringLiteral("more than %1 bytes of records")
                                .arg(limit.totalBytes));
            // No record is larger than its batch: only a large batch has
            // its records measured one by one.
            if (xml.size() > limit.recordBytes) {
                for (const CFType &key : entities.keys()) {
                    const qint64 size = entities.value(key)
                                                .toPropertyListBytes(kCFPropertyListXMLFormat)
                                                .size();
                    if (size > limit.recordBytes)
                        tooMuch(QStringLiteral("the record %1 of %2 bytes, more than the %3 "
                                               "accepted")
                                        .arg(key.toQString().left(100), QString::number(size),
                                             QString::number(limit.recordBytes)));
                }
            }
            // An independent copy, read back from the bytes measured.
            records.append(CFType::fromPropertyListBytes(xml));
        }
        send(socket, {text(QStringLiteral("SDMessageAcknowledgeChangesFromDevice")),
                      text(dataClass)});
    }
}

CFType mobiledevice_sync_process_changes(int socket, CFType entities, const QString &dataClass,
                                         CFType actions)
{
    const CFType request
            = send(socket, {text(QStringLiteral("SDMessageProcessChanges")), text(dataClass),
                            entities, CFType::fromBool(false), actions});
    const CFType reply = expect(socket, request, "SDMessageRemapRecordIdentifiers");
    const CFType remap = devicelink::element(reply, 2);
    return remap.isEmpty() ? CFType() : CFType::deepCopy(remap);
}

void mobiledevice_sync_clear_all_records(int socket, const QString &dataClass)
{
    const CFType request
            = send(socket, {text(QStringLiteral("SDMessageClearAllRecordsOnDevice")),
                            text(dataClass), text(QString::fromLatin1(devicelink::kEmptyParameter))});
    expect(socket, request, "SDMessageDeviceWillClearAllRecords");
}

void mobiledevice_sync_finish(int socket, const QString &dataClass)
{
    const CFType request = send(
            socket, {text(QStringLiteral("SDMessageFinishSessionOnDevice")), text(dataClass)});
    // The phone may take long to wind up; whatever it answers ends the sync.
    mobiledevice_recmsg(socket, request, mobilesync::finishTimeoutMs());
}

int mobiledevice_sync_set_tethered(AMDeviceRef device, const QString &key, bool disable)
{
    CFType value = CFType::newDictionary();
    value.setValue(QStringLiteral("DisableTethered"), CFType::fromBool(disable));
    return mobiledevice_set_value(device, QStringLiteral("com.apple.mobile.tethered_sync"), key,
                                  value);
}

namespace mobilesync {

int finishTimeoutMs()
{
    // Sixty times the service limit (an hour for the usual minute), as far
    // as an int holds it; a limit below 1 ms stays "no limit".
    const qint64 ms = qint64(mobiledevice::serviceTimeoutMs()) * 60;
    return int(qBound(qint64(std::numeric_limits<int>::min()), ms,
                      qint64(std::numeric_limits<int>::max())));
}

Limits limits()
{
    std::lock_guard lock(limitsMutex);
    return currentLimits;
}

void setLimits(const Limits &limits)
{
    std::lock_guard lock(limitsMutex);
    currentLimits = limits;
}

} // namespace mobilesync
