#include "backup/backupmanifest.h"

#include <stdexcept>

bool BackupManifest::unlockBackup(const QString &password)
{
    // A fresh keybag on every attempt: a wrong password leaves nothing that a
    // later attempt would see.
    keybag = Keybag::parse(deviceInfo.BackupKeyBag);
    return keybag.unlock(password.toUtf8());
}

void BackupManifest::extractBackupFile(const BackupFileNode *node, const QString &targetPath,
                                       void *userData, ExtractProgressFn progress) const
{
    if (!node)
        throw std::invalid_argument("BackupManifest::extractBackupFile: no file node");
    const MbdbRecord &record = node->record;
    BackupFileSpec file;
    file.fileId = record.fileId();
    file.domainPath = record.domain.toString() + QLatin1Char('/') + record.path.toString();
    file.protectionClass = record.protectionClass;
    file.encryptionKey = record.encryptionKey.isValid() ? record.encryptionKey.bytes : QByteArray();
    file.size = record.size;
    file.lastModified = record.lastModified;
    extractBackupFileData(folder.absoluteFilePath(file.fileId), targetPath, file,
                          isEncrypted() ? &keybag : nullptr, userData, progress);
}
