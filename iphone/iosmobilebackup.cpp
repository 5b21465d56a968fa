#include "iphone/iosmobilebackup.h"

#include "iphone/backup2tool.h"
#include "iphone/iosdevice.h"
#include "store/datafolder.h"
#include "store/errorreport.h"
#include "store/plistvalue.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>
#include <QUrl>
#include <QtDebug>

#include <limits>
#include <stdexcept>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

constexpr quint64 kQueryFailed = std::numeric_limits<quint64>::max();
// Property lists larger than this are not read.
constexpr qint64 kMaxPlistBytes = 64 * 1024 * 1024;

const QString kRestartNote
        = QStringLiteral("<br/><br/>Note: You can restart your device to try again.");

std::function<QList<BackupVolume>()> &volumeSource()
{
    static std::function<QList<BackupVolume>()> source;
    return source;
}

QString &volumeSourceDefault()
{
    static QString root;
    return root;
}

QString markerPath()
{
    return dataFolder().absoluteFilePath(QString::fromLatin1(kTempBackupMarkerName));
}

QString defaultRoot()
{
    if (volumeSource())
        return volumeSourceDefault();
#ifdef Q_OS_WIN
    return QDir(QDir::rootPath()).absolutePath();
#else
    // The system root is not writable for a user here; the home folder is.
    return QDir::homePath();
#endif
}

// The root the marker names, or an empty text when it names none that can
// be used. On Windows only its leading drive letter and colon count.
QString markerRoot(const QByteArray &content)
{
    const QString text = QString::fromUtf8(content);
#ifdef Q_OS_WIN
    static const QRegularExpression drive(QStringLiteral("^([a-zA-Z]:)"));
    const QRegularExpressionMatch m = drive.match(text);
    return m.hasMatch() ? m.captured(1) + QLatin1Char('/') : QString();
#else
    // An absolute, clean path of an existing folder, nothing else: a marker
    // that was edited into something odd makes the choice again.
    if (text.isEmpty() || !QDir::isAbsolutePath(text) || QDir::cleanPath(text) != text)
        return {};
    if (!QFileInfo(text).isDir())
        return {};
    return text;
#endif
}

QByteArray readSmallFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || f.size() > kMaxPlistBytes)
        return {};
    return f.readAll();
}

PlistValue readPlist(const QString &path)
{
    return parsePlistBuffer(readSmallFile(path));
}

bool isPseudoFileSystem(const QByteArray &type)
{
    static const QList<QByteArray> pseudo {
            "tmpfs",   "devtmpfs", "ramfs",    "proc",       "sysfs",    "cgroup",
            "cgroup2", "devpts",   "mqueue",   "debugfs",    "tracefs",  "securityfs",
            "pstore",  "bpf",      "autofs",   "fusectl",    "configfs", "hugetlbfs",
            "nsfs",    "squashfs", "efivarfs", "binfmt_misc"};
    return pseudo.contains(type);
}

// The backup files that a complete backup always has, with Status.plist
// saying the snapshot finished. Newer phones list their files in Manifest.db
// instead of Manifest.mbdb: with orManifestDb such a backup counts as
// finished too, and whoever reads it tells the user it cannot be read.
bool isFinishedBackup(const QDir &folder, bool orManifestDb = false)
{
    const bool listed = QFileInfo(folder.filePath("Manifest.mbdb")).isFile()
            || (orManifestDb && QFileInfo(folder.filePath("Manifest.db")).isFile());
    if (!QFileInfo(folder.filePath("Status.plist")).isFile()
        || !QFileInfo(folder.filePath("Manifest.plist")).isFile() || !listed)
        return false;
    const PlistValue status = readPlist(folder.filePath("Status.plist"));
    return status.dictItem(QStringLiteral("SnapshotState")).toString() == QLatin1String("finished");
}

QString incompleteBackupMessage()
{
    return QStringLiteral("The backup of your device is incomplete.") + kRestartNote;
}

} // namespace

namespace tempbackup {
void setVolumeSource(std::function<QList<BackupVolume>()> source, const QString &defaultRoot)
{
    volumeSource() = std::move(source);
    volumeSourceDefault() = defaultRoot;
}
} // namespace tempbackup

quint64 freeDiskSpace(const QDir &folder)
{
#ifdef Q_OS_WIN
    ULARGE_INTEGER available;
    const std::wstring path = QDir::toNativeSeparators(folder.absolutePath()).toStdWString();
    if (!GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr))
        return kQueryFailed;
    return available.QuadPart;
#else
    const QStorageInfo info(folder.absolutePath());
    if (!info.isValid() || !info.isReady())
        return kQueryFailed;
    return quint64(info.bytesAvailable());
#endif
}

QList<BackupVolume> backupVolumes()
{
    if (volumeSource())
        return volumeSource()();
    QList<BackupVolume> volumes;
#ifdef Q_OS_WIN
    for (const QFileInfo &drive : QDir::drives()) {
        QString name = drive.absolutePath();
        if (name.size() > 2)
            name.truncate(2);
        const QString driveRoot = name + QLatin1Char('\\');
        if (GetDriveTypeW(reinterpret_cast<const wchar_t *>(driveRoot.utf16())) != DRIVE_FIXED)
            continue;
        volumes.append({drive.absolutePath(), freeDiskSpace(QDir(drive.absolutePath()))});
    }
#else
    for (const QStorageInfo &info : QStorageInfo::mountedVolumes()) {
        if (!info.isValid() || !info.isReady() || info.isReadOnly()
            || isPseudoFileSystem(info.fileSystemType()))
            continue;
        const QString root = info.rootPath();
        if (root.startsWith(QLatin1String("/proc")) || root.startsWith(QLatin1String("/sys"))
            || root.startsWith(QLatin1String("/dev")) || root.startsWith(QLatin1String("/run"))
            || root.startsWith(QLatin1String("/boot")))
            continue;
        volumes.append({root, freeDiskSpace(QDir(root))});
    }
    volumes.append({QDir::homePath(), freeDiskSpace(QDir(QDir::homePath()))});
#endif
    return volumes;
}

QString chooseBackupVolume(const QList<BackupVolume> &volumes, const QString &defaultRoot)
{
    QString choice;
    quint64 best = 0;
    for (const BackupVolume &v : volumes) {
        // A volume whose free space cannot be told is no better than a full one.
        if (v.freeBytes == kQueryFailed || v.freeBytes <= best)
            continue;
        const QDir root(v.root);
        const QString probe = QStringLiteral("__test%1").arg(QDateTime::currentMSecsSinceEpoch());
        if (!root.exists() || !root.mkpath(probe))
            continue;
        // rmdir, not rmpath: the volume's own folder must stay.
        root.rmdir(probe);
        choice = root.absolutePath();
        best = v.freeBytes;
    }
    return choice.isEmpty() ? defaultRoot : choice;
}

QDir tempBackupRoot()
{
    const QString marker = markerPath();
    QString root;
    {
        QFile f(marker);
        if (f.open(QIODevice::ReadOnly))
            root = markerRoot(f.read(4096));
    }
    if (root.isEmpty()) {
        root = chooseBackupVolume(backupVolumes(), defaultRoot());
        QSaveFile f(marker);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(root.toUtf8());
            if (!f.commit())
                qWarning("tempBackupRoot: cannot write %s", qUtf8Printable(marker));
        }
    }
    return QDir(QDir(root).absoluteFilePath(QString::fromLatin1(kTempBackupFolderName)));
}

bool claimTempBackupRoot(const QDir &root)
{
    const QString path = root.absolutePath();
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        return false;
    if (!QDir().mkpath(path))
        return false;
    const QString owner = root.absoluteFilePath(QString::fromLatin1(kTempBackupOwnerFile));
    if (QFileInfo::exists(owner))
        return true;
    QFile f(owner);
    return f.open(QIODevice::WriteOnly) && f.write("Pelicorde temporary iPhone backups\n") > 0;
}

void removeTempBackupRoot()
{
    const QDir folder = tempBackupRoot();
    const QString path = folder.absolutePath();
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir())) {
        qWarning("removeTempBackupRoot: %s is not a folder; left alone", qUtf8Printable(path));
    } else if (info.exists()) {
        if (QFileInfo(folder.absoluteFilePath(QString::fromLatin1(kTempBackupOwnerFile))).isFile())
            removeFolderRecursively(path);
        else
            qWarning("removeTempBackupRoot: %s was not made by this program; left alone",
                     qUtf8Printable(path));
    }
    QFile::remove(markerPath());
}

bool isUsableDeviceId(const QString &udid)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9-]{1,128}$"));
    return re.match(udid).hasMatch();
}

QString pendingMarkerPath(const QDir &root, const QString &udid)
{
    return root.absoluteFilePath(udid + QStringLiteral(".pending"));
}

bool isReusableBackup(const QDir &root, const QString &udid, const QString &productVersion)
{
    if (productVersion.isEmpty() || QFileInfo::exists(pendingMarkerPath(root, udid)))
        return false;
    const QDir folder(root.absoluteFilePath(udid));
    if (!isFinishedBackup(folder))
        return false;
    const PlistValue manifest = readPlist(folder.filePath("Manifest.plist"));
    return manifest.dictItem(QStringLiteral("Lockdown"))
                   .dictItem(QStringLiteral("ProductVersion"))
                   .toString()
            == productVersion;
}

QString backupErrorMessage(const QString &toolText)
{
    return toolText.toHtmlEscaped() + kRestartNote;
}

QString restoreErrorMessage(const QString &toolText)
{
    const QString text = toolText.toHtmlEscaped();
    if (text.contains(QLatin1String("Find My iPhone must be disabled"), Qt::CaseInsensitive)) {
        const QUrl guide = serviceUrl(QStringLiteral("/guides/how-to-disable-find-my-iphone.html"));
        if (guide.isEmpty())
            return QStringLiteral("Please disable \"Find my iPhone\" first and then restart your "
                                  "iPhone to try again.<br/><br/>");
        return QStringLiteral("Please follow <a href=\"%1\"> this tutorial</a> to disable \"Find "
                              "my iPhone\" first and then restart your iPhone to try "
                              "again.<br/><br/>")
                .arg(guide.toString(QUrl::FullyEncoded).toHtmlEscaped());
    }
    static const QRegularExpression freeSpace(
            QStringLiteral("Insufficient free disk space on device to restore \\((\\d+) [^\\d]+ "
                           "(\\d+)\\)"),
            QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = freeSpace.match(text);
    if (m.hasMatch()) {
        const qint64 required = m.captured(2).toLongLong();
        const double gb = double(required) / 1024 / 1024 / 1024;
        return QStringLiteral("%1 GB free disk space on your device is required restore data.  "
                              "Please remove some camera roll videos from your device to "
                              "computer to free up disk space first and then try again.")
                .arg(QString::number(gb, 'g', 1));
    }
    return text + kRestartNote;
}

// ---------------------------------------------------------------------------

IOSMobileBackupThread::IOSMobileBackupThread(const IOSDevice *device, ProgressForm *form,
                                             QObject *parent)
    : IOSMobileBackupThread(BackupDevice::of(*device), form, parent)
{ }

IOSMobileBackupThread::IOSMobileBackupThread(const BackupDevice &device, ProgressForm *form,
                                             QObject *parent)
    : IOSMobileBackupThread(device, tempBackupRoot(), form, parent)
{ }

IOSMobileBackupThread::IOSMobileBackupThread(const BackupDevice &device, const QDir &root,
                                             ProgressForm *form, QObject *parent)
    : QThread(parent)
    , device(device)
    , form(form)
    , root(root)
    , tool(new backup2tool(device.deviceHandle, device.UniqueDeviceID, root))
{
    // Made here, in the GUI thread, so that a Cancel pressed at any moment
    // after the job exists reaches the tool.
    connect(tool, &backup2tool::update, this, &IOSMobileBackupThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
}

IOSMobileBackupThread::~IOSMobileBackupThread()
{
    tool->deleteLater();
}

void IOSMobileBackupThread::backupUpdate(double progress, QString, QString)
{
    form->postUpdateProgress(QString(), int(progress), QString());
}

void IOSMobileBackupThread::run()
{
    form->postUpdateProgress(ids("IDS_BACKING_UP_IOS"), 0, QString());
    const QString udid = device.UniqueDeviceID;
    if (!isUsableDeviceId(udid)) {
        form->postErrorOccurred(
                QStringLiteral("The identifier of your device can not be used as a folder name.")
                + kRestartNote);
        return;
    }
    const QString folder = root.absoluteFilePath(udid);
    const QString pending = pendingMarkerPath(root, udid);

    if (QFileInfo(folder).exists() || QFileInfo(folder).isSymLink()) {
        if (isReusableBackup(root, udid, device.ProductVersion) && !QFileInfo(folder).isSymLink()) {
            qDebug("IOSMobileBackupThread: building on the backup in %s", qUtf8Printable(folder));
        } else {
            qDebug("IOSMobileBackupThread: deleting the unusable backup in %s",
                   qUtf8Printable(folder));
            if (QFileInfo(folder).isSymLink())
                QFile::remove(folder);
            else
                removeFolderRecursively(folder);
            if (QFileInfo(folder).exists()) {
                form->postErrorOccurred(
                        QStringLiteral("Can not delete the earlier backup in %1.")
                                .arg(QDir::toNativeSeparators(folder).toHtmlEscaped())
                        + kRestartNote);
                return;
            }
        }
    }
    if (!claimTempBackupRoot(root)) {
        form->postErrorOccurred(
                QStringLiteral("Can not create the folder %1.")
                        .arg(QDir::toNativeSeparators(root.absolutePath()).toHtmlEscaped())
                + kRestartNote);
        return;
    }
    // Until the run has ended well the folder is no base for another run,
    // whatever its files say (the tool may be stopped half-way through an
    // update of an earlier, finished backup).
    {
        QFile marker(pending);
        if (!marker.open(QIODevice::WriteOnly) || marker.write("running\n") <= 0) {
            form->postErrorOccurred(
                    QStringLiteral("Can not write into the folder %1.")
                            .arg(QDir::toNativeSeparators(root.absolutePath()).toHtmlEscaped())
                    + kRestartNote);
            return;
        }
    }

    try {
        tool->run(backup2tool_op(backup2tool_op::Backup));
    } catch (const std::exception &e) {
        removeFolderRecursively(folder);
        QFile::remove(pending);
        form->postErrorOccurred(backupErrorMessage(QString::fromUtf8(e.what())));
        return;
    }
    if (tool->wasCancelled()) {
        // Cancelled: nothing to report; the partial folder stays, marked.
        return;
    }
    if (!isFinishedBackup(QDir(folder), true)) {
        qWarning("IOSMobileBackupThread: the tool ended without a finished backup in %s",
                 qUtf8Printable(folder));
        removeFolderRecursively(folder);
        QFile::remove(pending);
        form->postErrorOccurred(incompleteBackupMessage());
        return;
    }
    QFile::remove(pending);
    form->postSucceed(QString());
}

// ---------------------------------------------------------------------------

IOSMobileRestoreThread::IOSMobileRestoreThread(const IOSDevice *device, const QDir &root,
                                               ProgressForm *form, QObject *parent)
    : IOSMobileRestoreThread(BackupDevice::of(*device), root, form, parent)
{ }

IOSMobileRestoreThread::IOSMobileRestoreThread(const BackupDevice &device, const QDir &root,
                                               ProgressForm *form, QObject *parent)
    : QThread(parent)
    , device(device)
    , root(root)
    , form(form)
    , tool(new backup2tool(device.deviceHandle, device.UniqueDeviceID, root))
{
    connect(tool, &backup2tool::update, this, &IOSMobileRestoreThread::backupUpdate);
    connect(form, &ProgressForm::userCacel, tool, &backup2tool::cancel);
}

IOSMobileRestoreThread::~IOSMobileRestoreThread()
{
    tool->deleteLater();
}

void IOSMobileRestoreThread::backupUpdate(double progress, QString, QString)
{
    form->postUpdateProgress(QString(), int(progress), QString());
}

void IOSMobileRestoreThread::run()
{
    form->postUpdateProgress(ids("IDS_RESTORING_BACKUP_TO_IOS"), 0, QString());
    const QString udid = device.UniqueDeviceID;
    // A half-made backup must never reach the phone.
    if (!isUsableDeviceId(udid) || QFileInfo::exists(pendingMarkerPath(root, udid))
        || !isFinishedBackup(QDir(root.absoluteFilePath(udid)))) {
        form->postErrorOccurred(QStringLiteral("The backup to restore is incomplete; nothing was "
                                               "restored to your device.")
                                + kRestartNote);
        return;
    }
    try {
        tool->run(backup2tool_op(backup2tool_op::Restore));
    } catch (const std::exception &e) {
        form->postErrorOccurred(restoreErrorMessage(QString::fromUtf8(e.what())));
        return;
    }
    // Stopped by Cancel: nothing to report, the dialog ends as cancelled. A
    // tool that ended on its own has restored the phone, whenever Cancel
    // came: that success is reported.
    if (tool->wasCancelled())
        return;
    form->postSucceed(QString());
}
