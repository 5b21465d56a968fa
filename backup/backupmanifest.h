#pragma once

#include "backup/backupextract.h"
#include "backup/backupfilenode.h"
#include "backup/keybag.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

// The device facts of a backup, read from its Manifest.plist.
struct BackupDeviceInfo
{
    QString UniqueDeviceID;
    QString DeviceName;
    QDateTime Date;
    QString ProductType;
    QString ProductVersion;
    QString SerialNumber;
    bool IsEncrypted = false;
    QByteArray BackupKeyBag;
};

// One iPhone backup folder: its device facts, a display name, and the tree of
// its files built from Manifest.mbdb with the well-known files sorted out.
// The category members point into the tree and own nothing.
class BackupManifest : public QObject
{
    Q_OBJECT
public:
    explicit BackupManifest(const QString &folderPath, QObject *parent = nullptr);
    ~BackupManifest() override;

    // Both loads first finish a change of the folder that a killed merge
    // left halfway.
    // Reads Manifest.plist into deviceInfo and displayName (again on every
    // call). Throws std::runtime_error when the file is missing or cannot be
    // read; a file that is no property list, or lacks keys, leaves defaults.
    void loadManifestPlist();
    // Builds the file tree and categories from Manifest.mbdb, once; throws
    // std::runtime_error when the file cannot be read, leaving the tree empty.
    void loadManifestMbdb();
    // Builds the tree and categories from records already read, unless the
    // tree is built.
    void buildFileTree(const MbdbRecordSet &records);
    // Parses BackupKeyBag afresh into keybag and unlocks it with the
    // password's UTF-8: false for a wrong password; throws std::runtime_error
    // for a keybag that no password unlocks.
    bool unlockBackup(const QString &password);
    // Writes the plain contents of one backup file to targetPath, decrypting
    // it in an encrypted backup (see extractBackupFileData). The target path
    // is used as given: callers confine it. Throws std::runtime_error.
    void extractBackupFile(const BackupFileNode *node, const QString &targetPath, void *userData,
                           ExtractProgressFn progress) const;

    // True when Manifest.plist says so or, once the tree is built, when the
    // records of Manifest.mbdb carry file keys: the backup's files are then
    // ciphertext and are only ever read through the unlocked keybag.
    bool isEncrypted() const { return deviceInfo.IsEncrypted || recordsCarryKeys; }

    BackupDeviceInfo deviceInfo;
    bool recordsCarryKeys = false;
    QString displayName;
    QDir folder;
    BackupFileNode root;
    Keybag keybag;

    QList<BackupFileNode *> photos;
    QList<BackupFileNode *> videos;
    QMap<QString, BackupFileNode *> thumbnails;
    QMap<QString, BackupFileNode *> smsParts;
    QMap<QString, BackupFileNode *> smsAttachments;
    QMap<QString, BackupFileNode *> smsPreviews;
    BackupFileNode *smsDbNode = nullptr;
    BackupFileNode *addressBookNode = nullptr;
    BackupFileNode *addressBookImagesNode = nullptr;
    BackupFileNode *notesNode = nullptr;
    BackupFileNode *calendarNode = nullptr;
    BackupFileNode *calendarExtrasNode = nullptr;
    BackupFileNode *recordingsDbNode = nullptr;
    BackupFileNode *voicemailDbNode = nullptr;
    BackupFileNode *bookmarksNode = nullptr;
    BackupFileNode *callHistoryNode = nullptr;
    BackupFileNode *callHistoryStoreNode = nullptr;
    QMap<QString, BackupFileNode *> recordings;
    QMap<int, BackupFileNode *> voicemails;

private:
    void classify(BackupFileNode *node);
    // Finishes or undoes a change of the folder that a killed run left
    // halfway (see SwapJournal).
    void finishInterruptedChange();
};

// The default folder of iPhone backups: "Apple Computer/MobileSync/Backup"
// below the user's roaming application data (the XDG data home here). Neither
// created nor tested.
QDir itunesBackupFolder();

// True when the folder holds both Manifest.mbdb and Manifest.plist.
bool isBackupFolder(const QDir &folder);
// True when the folder holds Manifest.plist and, instead of Manifest.mbdb,
// the Manifest.db database that newer phones write: a backup of a kind that
// cannot be read here.
bool isManifestDbBackupFolder(const QDir &folder);
// Absolute paths of the direct subfolders of root that are backups, by name.
QStringList findBackupFolders(const QDir &root);

// Lower-case hex MD5 of the backup folder's absolute, clean path: the name of
// the backup's cache folder.
QString backupCacheKey(const BackupManifest &manifest);
