#pragma once

#include "iphone/mobiledevice.h"

#include <QDir>
#include <QList>
#include <QMetaType>
#include <QString>

// One attached iPhone: the identity lockdown reports and the MobileDevice
// reference through which every operation reaches it. Copied by value; the
// device reference is neither retained nor released.
class IOSDevice
{
public:
    IOSDevice();
    virtual ~IOSDevice();
    IOSDevice(const IOSDevice &) = default;
    IOSDevice &operator=(const IOSDevice &) = default;

    // Reads the five identity values of the phone in one lockdown session;
    // a value the phone does not report stays empty. Throws the session's
    // error (std::runtime_error).
    static IOSDevice fromLockdown(AMDeviceRef device);

    // "ios_cache/<UniqueDeviceID>" below the data folder, created when
    // missing. An identifier that could leave that folder (a separator, "..",
    // characters a file name cannot hold) is replaced by a digest of it.
    QDir cacheDir() const;

    // The numbers of ProductVersion: "7.1.2" gives 7, 1, 2; an empty or
    // number-less version gives an empty list.
    QList<int> versionNumbers() const;

    // False, after telling the user why, when iCloud backup (asked with
    // checkCloudBackup) or backup encryption (asked with checkEncryption) is
    // on. A phone that cannot be asked does not stop the transfer: true.
    bool checkTransferAllowed(bool checkCloudBackup, bool checkEncryption) const;

    QString DeviceName;
    QString UniqueDeviceID;
    QString MobileSubscriberCountryCode;
    QString ProductVersion;
    QString ProductType;
    AMDeviceRef deviceHandle = nullptr;
};

Q_DECLARE_METATYPE(IOSDevice)
