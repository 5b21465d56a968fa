#pragma once

#include "iphone/mobiledevice.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QThread>

#include <functional>

class IOSDevice;
class ProgressForm;
class backup2tool;

// The temporary backup root: the folder "__quillmarsh_iosbk_temp" below a
// root chosen once (the fixed drive, or on Linux the writable volume, with
// the most free space) and remembered in the data folder's marker file.
// Device backups lie in it, one folder per UniqueDeviceID.
inline constexpr const char *kTempBackupFolderName = "__quillmarsh_iosbk_temp";
inline constexpr const char *kTempBackupMarkerName = "__quillmarsh_iosbk_temp.path";
// Written into the temporary backup folder by the program that uses it;
// removeTempBackupRoot deletes only a folder that holds it.
inline constexpr const char *kTempBackupOwnerFile = ".pelicorde-backup-root";

// The temporary backup folder (not created here). Chooses and remembers a
// root when the marker file is missing or names no usable root.
QDir tempBackupRoot();
// Deletes the temporary backup folder (only when it is a real folder that
// this program marked as its own) and the marker file.
void removeTempBackupRoot();
// Creates the temporary backup folder when needed and marks it as ours.
bool claimTempBackupRoot(const QDir &root);
// Free bytes available to this user on the folder's volume; all bits set
// when the query fails.
quint64 freeDiskSpace(const QDir &folder);

// A place that may hold the temporary backup folder, with its free space.
struct BackupVolume
{
    QString root;
    quint64 freeBytes = 0;
};
// The candidates of this machine: on Windows the fixed drives, elsewhere
// the writable, real (not in-memory or pseudo) mounted volumes and the home
// folder.
QList<BackupVolume> backupVolumes();
// The candidate with the most free space that passes a write test (ties keep
// the earlier one), else defaultRoot.
QString chooseBackupVolume(const QList<BackupVolume> &volumes, const QString &defaultRoot);

namespace tempbackup {
// Tests only: replaces the machine's candidates and default root; an empty
// function restores them.
void setVolumeSource(std::function<QList<BackupVolume>()> source, const QString &defaultRoot = {});
} // namespace tempbackup

// What the backup and restore jobs need of an attached iPhone.
struct BackupDevice
{
    AMDeviceRef deviceHandle = nullptr;
    QString UniqueDeviceID;
    QString ProductVersion;

    // From any record with these three members (the attached iPhone's).
    template<typename Device> static BackupDevice of(const Device &d)
    {
        return BackupDevice {static_cast<AMDeviceRef>(d.deviceHandle), d.UniqueDeviceID,
                             d.ProductVersion};
    }
};

// Whether a device identifier may name a folder: letters, digits and "-".
bool isUsableDeviceId(const QString &udid);
// Whether folder holds a backup that a new backup may build on: no marker of
// an unfinished run beside it, Status.plist with "SnapshotState" "finished",
// Manifest.plist and Manifest.mbdb present, and Manifest.plist's Lockdown
// "ProductVersion" equal to productVersion (which must not be empty).
bool isReusableBackup(const QDir &root, const QString &udid, const QString &productVersion);
// The marker of a run that has not ended well: root/UDID + ".pending".
QString pendingMarkerPath(const QDir &root, const QString &udid);

// The tool's failure text as the restore job shows it.
QString restoreErrorMessage(const QString &toolText);
// The tool's failure text as the backup job shows it.
QString backupErrorMessage(const QString &toolText);

// Backs an attached iPhone up with the maker's backup tool into the
// temporary backup root. After success the backup is backupRoot()/UDID.
class IOSMobileBackupThread : public QThread
{
    Q_OBJECT
public:
    // The device's members are copied here: it need not outlive the job.
    IOSMobileBackupThread(const IOSDevice *device, ProgressForm *form, QObject *parent = nullptr);
    IOSMobileBackupThread(const BackupDevice &device, ProgressForm *form,
                          QObject *parent = nullptr);
    // Into root instead of the temporary backup root.
    IOSMobileBackupThread(const BackupDevice &device, const QDir &root, ProgressForm *form,
                          QObject *parent = nullptr);
    ~IOSMobileBackupThread() override;

    QDir backupRoot() const { return root; }
    backup2tool *runner() const { return tool; }

protected:
    void run() override;

protected slots:
    void backupUpdate(double progress, QString status, QString text);

private:
    BackupDevice device;
    ProgressForm *form;
    QDir root;
    backup2tool *tool;
};

// Restores the backup folder root/UDID to the same iPhone with the maker's
// backup tool.
class IOSMobileRestoreThread : public QThread
{
    Q_OBJECT
public:
    IOSMobileRestoreThread(const IOSDevice *device, const QDir &root, ProgressForm *form,
                           QObject *parent = nullptr);
    IOSMobileRestoreThread(const BackupDevice &device, const QDir &root, ProgressForm *form,
                           QObject *parent = nullptr);
    ~IOSMobileRestoreThread() override;

    backup2tool *runner() const { return tool; }

protected:
    void run() override;

protected slots:
    void backupUpdate(double progress, QString status, QString text);

private:
    BackupDevice device;
    QDir root;
    ProgressForm *form;
    backup2tool *tool;
};
