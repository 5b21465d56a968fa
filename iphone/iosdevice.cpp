#include "iphone/iosdevice.h"

#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/texts.h"

#include <QRegularExpression>

#include <exception>

namespace {

// The identifier as a folder name: unchanged when it is a plain name, else a
// digest, so that a phone reporting "../x" cannot place its cache (and what
// is unpacked into it) outside "ios_cache".
QString cacheFolderName(const QString &udid)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._-]*$"));
    if (udid.isEmpty())
        return udid;
    if (plain.match(udid).hasMatch() && udid != QLatin1String(".") && udid != QLatin1String(".."))
        return udid;
    return QStringLiteral("udid-") + md5Hex(udid);
}

void showTransferWarning(const char *key, const char *picture)
{
    showWarning(QStringLiteral("%1<br/><br/><img src=\"%2\"/>")
                        .arg(ids(key), QString::fromLatin1(picture)));
}

} // namespace

IOSDevice::IOSDevice() = default;

IOSDevice::~IOSDevice() = default;

IOSDevice IOSDevice::fromLockdown(AMDeviceRef device)
{
    const QList<CFType> values = mobiledevice_copy_value(
            device,
            {QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
             QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
             QStringLiteral("ProductType")},
            QString());
    IOSDevice d;
    d.deviceHandle = device;
    d.UniqueDeviceID = values.value(0).toQString();
    d.DeviceName = values.value(1).toQString();
    d.MobileSubscriberCountryCode = values.value(2).toQString();
    d.ProductVersion = values.value(3).toQString();
    d.ProductType = values.value(4).toQString();
    return d;
}

QDir IOSDevice::cacheDir() const
{
    QString path = dataFolder().absoluteFilePath(QStringLiteral("ios_cache"));
    const QString name = cacheFolderName(UniqueDeviceID);
    if (!name.isEmpty())
        path += QLatin1Char('/') + name;
    QDir dir(path);
    if (!dir.exists())
        dir.mkpath(QStringLiteral("."));
    return dir;
}

QList<int> IOSDevice::versionNumbers() const
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    QList<int> numbers;
    auto it = number.globalMatch(ProductVersion);
    while (it.hasNext())
        numbers.append(it.next().captured(1).toInt(nullptr, 10)); // too many digits: 0
    return numbers;
}

bool IOSDevice::checkTransferAllowed(bool checkCloudBackup, bool checkEncryption) const
{
    CFType backup;
    try {
        backup = mobiledevice_copy_value(deviceHandle, {QString()},
                                         QStringLiteral("com.apple.mobile.backup"))
                         .value(0);
    } catch (const std::exception &e) {
        qWarning("checkTransferAllowed: %s", e.what());
        return true;
    }
    if (checkCloudBackup && backup.value(QStringLiteral("CloudBackupEnabled")).toBool(false)) {
        showTransferWarning("IDS_TRANSFER_TURN_OFF_ICLOUD_BACKUP", ":res/close_icloudbk.jpg");
        return false;
    }
    if (checkEncryption && backup.value(QStringLiteral("WillEncrypt")).toBool(false)) {
        showTransferWarning("IDS_TRANSFER_TURN_OFF_BACKUP_ENCRYPTION",
                            ":res/close_itunesbkenc.jpg");
        return false;
    }
    return true;
}
