#include "backup/mbdbupdate.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <limits>

namespace {

// Seconds since 1970 as the index stores them (unsigned 32 bits).
quint32 indexTime(const QDateTime &t)
{
    if (!t.isValid())
        return 0;
    const qint64 s = t.toSecsSinceEpoch();
    if (s < 0)
        return 0;
    return s > qint64(std::numeric_limits<quint32>::max()) ? std::numeric_limits<quint32>::max()
                                                           : quint32(s);
}

struct FileFacts
{
    quint32 modified = 0;
    quint32 created = 0;
    qint64 size = 0;
};

FileFacts factsOf(const QString &path)
{
    const QFileInfo info(path);
    FileFacts f;
    f.modified = indexTime(info.lastModified());
    // Not every file system keeps a creation time; the modification time
    // stands in for it then.
    const QDateTime birth = info.birthTime();
    f.created = birth.isValid() ? indexTime(birth) : f.modified;
    f.size = info.size();
    return f;
}

// The largest inode number of the set read as signed 32 bits, 0 at least.
quint32 largestInode(const MbdbRecordSet &records)
{
    qint32 largest = 0;
    for (const MbdbRecord &r : records)
        largest = qMax(largest, qint32(r.inodeLow));
    return quint32(largest);
}

MbdbRecord newRecord(const QString &domain, const QString &path, quint16 mode, quint32 inode)
{
    MbdbRecord r;
    r.domain = MbdbString::fromText(domain);
    r.path = MbdbString::fromText(path);
    r.mode = mode;
    r.inodeLow = inode;
    r.userId = 501;
    r.groupId = 501;
    r.protectionClass = 4;
    return r;
}

} // namespace

QByteArray fileSha1Digest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file))
        return {};
    return hash.result();
}

bool refreshMbdbFileRecord(MbdbRecord &record, const QString &localPath)
{
    const QByteArray digest = fileSha1Digest(localPath);
    if (digest.size() != 20)
        return false;
    const FileFacts facts = factsOf(localPath);
    record.dataHash.setData(digest);
    record.size = facts.size;
    record.lastModified = facts.modified;
    record.lastAccessed = facts.modified;
    record.created = facts.created;
    return true;
}

bool updateMbdbRecords(MbdbRecordSet &records, const QString &localPath, const QString &domain,
                       const QString &relativePath)
{
    if (!isSafeBackupPath(relativePath))
        return false;
    const QString fileId = backupFileId(domain, relativePath);
    const auto existing = records.constFind(fileId);
    // A folder or a link in the file's place is not turned into a file.
    if (existing != records.constEnd() && existing->mode != 0 && !existing->isRegularFile())
        return false;

    quint32 inode = largestInode(records);
    const FileFacts facts = factsOf(localPath);

    QString p = relativePath;
    qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    while (slash > 0) {
        p.truncate(slash);
        const QString id = backupFileId(domain, p);
        if (records.contains(id))
            break;
        MbdbRecord folder = newRecord(domain, p, kMbdbNewFolderMode, ++inode);
        folder.lastModified = facts.modified;
        folder.lastAccessed = facts.modified;
        folder.created = facts.created;
        records.insert(id, folder);
        slash = p.lastIndexOf(QLatin1Char('/'));
    }

    auto it = records.find(fileId);
    if (it == records.end())
        it = records.insert(fileId, newRecord(domain, relativePath, kMbdbNewFileMode, ++inode));

    MbdbRecord &r = it.value();
    const QByteArray digest = fileSha1Digest(localPath);
    if (digest.isEmpty())
        r.dataHash = MbdbString::empty();
    else
        r.dataHash.setData(digest);
    r.size = facts.size;
    r.lastModified = facts.modified;
    r.lastAccessed = facts.modified;
    r.created = facts.created;
    return true;
}
