#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

class QIODevice;

// The file index of an iPhone backup, Manifest.mbdb: a 6-byte header ("mbdb"
// 05 00) and then records one after another, every number big-endian.

// A byte string of the index: a 16-bit length, then that many bytes. The
// length 0xFFFF marks an absent string and 0 an empty one; neither has bytes.
struct MbdbString
{
    static constexpr quint16 kAbsent = 0xFFFF;

    quint16 length = kAbsent;
    QByteArray bytes;

    MbdbString() = default;
    static MbdbString fromText(const QString &text);
    static MbdbString empty();

    // Stores the bytes; the length is their count taken as 16 bits (the
    // writer refuses a string whose count does not fit).
    void setData(const QByteArray &data);
    // UTF-8 text of the bytes up to the first NUL; empty for an absent or
    // empty string.
    QString toString() const;
    // True for a present, non-empty string (length 1 to 0xFFFE).
    bool isValid() const { return length != 0 && length != kAbsent; }
    bool isAbsent() const { return length == kAbsent; }
    bool operator==(const MbdbString &o) const = default;
};

struct MbdbProperty
{
    MbdbString name;
    MbdbString value;
    bool operator==(const MbdbProperty &o) const = default;
};

// One file, folder or symbolic link of a backup.
struct MbdbRecord
{
    MbdbString domain; // "HomeDomain", "MediaDomain", "AppDomain-<id>" ...
    MbdbString path; // relative to the domain's root, "/" separated
    MbdbString linkTarget; // symbolic links only
    MbdbString dataHash; // SHA-1 of the contents, 20 raw bytes
    MbdbString encryptionKey; // wrapped file key of an encrypted backup
    quint16 mode = 0; // Unix type and permission bits
    quint32 inodeHigh = 0;
    quint32 inodeLow = 0;
    quint32 userId = 0;
    quint32 groupId = 0;
    quint32 lastModified = 0; // Unix seconds
    quint32 lastAccessed = 0;
    quint32 created = 0;
    qint64 size = 0;
    quint8 protectionClass = 0;
    QList<MbdbProperty> properties;

    // backupFileId of domain and path: the record's file name in the backup.
    QString fileId() const;
    // Decided by the mode's type bits alone: an empty file is not a folder.
    bool isDirectory() const { return (mode & 0xF000) == 0x4000; }
    bool isSymlink() const { return (mode & 0xF000) == 0xA000; }
    bool isRegularFile() const { return (mode & 0xF000) == 0x8000; }
    bool operator==(const MbdbRecord &o) const = default;
};

// Records keyed by file id; no two share one.
using MbdbRecordSet = QHash<QString, MbdbRecord>;

// Lower-case hex SHA-1 of the UTF-8 of domain, "-" and path.
QString backupFileId(const QString &domain, const QString &path);

// True when a record carries a file encryption key: the files of such a
// backup are encrypted, whatever its Manifest.plist says (a damaged or
// rewritten plist may well say nothing).
bool mbdbRecordsCarryKeys(const MbdbRecordSet &records);

// Domain, then path, comparing UTF-16 code units case-sensitively.
bool mbdbRecordLessThan(const MbdbRecord &a, const MbdbRecord &b);

// True for a relative "/"-separated path that can stand for names below a
// folder: not empty, not absolute, and no empty, "." or ".." component and
// no backslash. Backup paths come from the backup and are checked with this
// wherever they become tree nodes or file names.
bool isSafeBackupPath(const QString &path);

// Big-endian primitives. Every read throws std::runtime_error when the device
// ends before the value does; every write when the device takes fewer bytes.
quint8 readUInt8(QIODevice &device);
quint16 readUInt16BE(QIODevice &device);
quint32 readUInt32BE(QIODevice &device);
qint64 readInt64BE(QIODevice &device);
MbdbString readMbdbString(QIODevice &device);
void writeUInt8(QIODevice &device, quint8 value);
void writeUInt16BE(QIODevice &device, quint16 value);
void writeUInt32BE(QIODevice &device, quint32 value);
void writeInt64BE(QIODevice &device, qint64 value);
void writeMbdbString(QIODevice &device, const MbdbString &value);

// Reads every record of a Manifest.mbdb; a later record with the file id of
// an earlier one replaces it. The file is untrusted: a record cut short by the
// end of the file throws std::runtime_error naming the record, and nothing is
// read past the end. A file shorter than its header has no records; the
// header's contents are not checked.
MbdbRecordSet readMbdb(const QString &path);
// The same over bytes in memory; name is used in error texts.
MbdbRecordSet parseMbdb(const QByteArray &data,
                        const QString &name = QStringLiteral("Manifest.mbdb"));

// Writes the records sorted with mbdbRecordLessThan into a new file that then
// replaces the one at path; on failure (std::runtime_error) the old file stays.
void writeMbdb(const QList<MbdbRecord> &records, const QString &path);
// The bytes writeMbdb writes.
QByteArray serializeMbdb(const QList<MbdbRecord> &records);
