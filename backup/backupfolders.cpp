// Where backups are kept and how their folders are told apart and named.
#include "backup/backupmanifest.h"

#include "store/datafolder.h"

#include <QFileInfo>

QDir itunesBackupFolder()
{
    return QDir(roamingAppDataFolder() + QStringLiteral("/Apple Computer/MobileSync/Backup"));
}

bool isBackupFolder(const QDir &folder)
{
    return QFileInfo(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))).isFile()
            && QFileInfo(folder.absoluteFilePath(QStringLiteral("Manifest.plist"))).isFile();
}

bool isManifestDbBackupFolder(const QDir &folder)
{
    return !QFileInfo(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))).exists()
            && QFileInfo(folder.absoluteFilePath(QStringLiteral("Manifest.db"))).isFile()
            && QFileInfo(folder.absoluteFilePath(QStringLiteral("Manifest.plist"))).isFile();
}

QStringList findBackupFolders(const QDir &root)
{
    QStringList result;
    const QStringList names
            = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    for (const QString &name : names) {
        const QDir sub(root.absoluteFilePath(name));
        if (isBackupFolder(sub))
            result.append(sub.absolutePath());
    }
    return result;
}

QString backupCacheKey(const BackupManifest &manifest)
{
    return md5Hex(QDir::cleanPath(manifest.folder.absolutePath()));
}
