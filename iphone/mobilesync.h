#pragma once

#include "iphone/cftype.h"
#include "iphone/mobiledevice.h"

#include <QList>
#include <QString>

// A client of the phone's sync service "com.apple.mobilesync" over
// DeviceLink (iphone/devicelink.h), for one data class named by the caller:
// start, fetch all records, send changes, clear the class, finish. Every
// message goes as an XML property list; the socket is the caller's; every
// operation throws std::runtime_error on failure.

struct mobiledevice_sync_anchors
{
    mobiledevice_sync_anchors(const QString &dataClass, const QString &deviceAnchor,
                              const QString &computerAnchor)
        : dataClass(dataClass)
        , deviceAnchor(deviceAnchor)
        , computerAnchor(computerAnchor)
    { }

    QString dataClass;
    QString deviceAnchor;
    QString computerAnchor;
};

// Starts the service, opens the link and starts the sync of the class
// (then one "DLMessagePing" when ping); on failure nothing stays open.
void mobiledevice_sync_start(AMDeviceRef device, const mobiledevice_sync_anchors &anchors,
                             int *socket, bool ping);
// Every batch's record dictionary, in the order received; each batch is
// acknowledged. A phone that goes beyond mobilesync::limits() (more
// batches, records or bytes than any real phone sends, or one record
// larger than any real one) is stopped with an error naming the limit.
QList<CFType> mobiledevice_sync_get_all_records(int socket, const QString &dataClass);
// Sends the changes; the phone's remapping of record identifiers.
CFType mobiledevice_sync_process_changes(int socket, CFType entities, const QString &dataClass,
                                         CFType actions);
void mobiledevice_sync_clear_all_records(int socket, const QString &dataClass);
// Ends the sync of the class; the phone's answer may take up to an hour.
void mobiledevice_sync_finish(int socket, const QString &dataClass);
// Writes {"DisableTethered": disable} under key in the lockdown domain
// "com.apple.mobile.tethered_sync"; the MobileDevice code of the write.
int mobiledevice_sync_set_tethered(AMDeviceRef device, const QString &key, bool disable);

namespace mobilesync {

// The time limit of the answer to "SDMessageFinishSessionOnDevice": sixty
// times mobiledevice::serviceTimeoutMs(), at most the largest int.
int finishTimeoutMs();

// What one fetch of all records takes from the phone at most. Sized well
// above what a phone holds (hundreds of thousands of records of a few
// kilobytes each); sizes are those of the records as XML property lists.
struct Limits
{
    qint64 batches = 1000000;
    qint64 records = 4000000;
    qint64 recordBytes = qint64(32) << 20;
    qint64 totalBytes = qint64(2) << 30;
};
Limits limits();
// Tests lower them.
void setLimits(const Limits &limits);

} // namespace mobilesync
