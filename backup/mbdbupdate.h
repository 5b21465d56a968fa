#pragma once

#include "backup/mbdbrecord.h"

#include <QByteArray>
#include <QString>

// Keeping a backup's record set in step with files put into the backup
// folder (a merged message database, the attachment files of new messages),
// so that the Manifest.mbdb written afterwards describes them.

// Records made here: owner and group 501, protection class 4; a file is
// 0x81A4 (rw-r--r--), a folder 0x41C0 (rwx------).
inline constexpr quint16 kMbdbNewFileMode = 0x81A4;
inline constexpr quint16 kMbdbNewFolderMode = 0x41C0;

// SHA-1 of the file's whole contents, 20 raw bytes; empty when the file
// cannot be read.
QByteArray fileSha1Digest(const QString &path);

// Makes the set describe the file at localPath (the copy inside the backup
// folder) as domain/relativePath:
// - every parent folder of relativePath, from the deepest up to the first
//   one the set lists already, gets a folder record;
// - the file gets a record when it has none;
// - the file's record takes the file's SHA-1, size, modification time (also
//   as access time) and creation time. Its other fields stay as they were.
// New records are numbered on from the largest inode number of the set.
// Times are the file's own, in whole seconds since 1970, never the clock's.
// Returns false, changing nothing, when relativePath is no safe relative
// path (isSafeBackupPath) or the record at that path is not a regular file.
bool updateMbdbRecords(MbdbRecordSet &records, const QString &localPath, const QString &domain,
                       const QString &relativePath);

// Refreshes a file record from the file at localPath: SHA-1, size and times
// as above. False when the file cannot be read (the record is unchanged).
bool refreshMbdbFileRecord(MbdbRecord &record, const QString &localPath);
