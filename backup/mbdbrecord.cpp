#include "backup/mbdbrecord.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// Exactly n bytes or an error: a short read means the data ends inside a field.
QByteArray readExactly(QIODevice &device, qint64 n, const char *what)
{
    const qint64 at = device.pos();
    QByteArray bytes = device.read(n);
    if (bytes.size() != n) {
        QString text
                = QStringLiteral("the data ends inside %1 at byte %2 (%3 bytes needed, %4 left)")
                          .arg(QLatin1String(what))
                          .arg(at)
                          .arg(n)
                          .arg(qMax<qint64>(0, bytes.size()));
        if (!device.errorString().isEmpty()
            && device.errorString() != QLatin1String("Unknown error"))
            text += QStringLiteral(": ") + device.errorString();
        fail(text);
    }
    return bytes;
}

quint64 bigEndian(const QByteArray &bytes)
{
    quint64 v = 0;
    for (char c : bytes)
        v = (v << 8) | quint8(c);
    return v;
}

void writeExactly(QIODevice &device, const QByteArray &bytes, const char *what)
{
    if (device.write(bytes) != bytes.size())
        fail(QStringLiteral("Cannot write %1: %2").arg(QLatin1String(what), device.errorString()));
}

QByteArray bigEndianBytes(quint64 value, int width)
{
    QByteArray bytes(width, '\0');
    for (int i = width - 1; i >= 0; --i) {
        bytes[i] = char(value & 0xFF);
        value >>= 8;
    }
    return bytes;
}

MbdbRecord readRecord(QIODevice &device)
{
    MbdbRecord r;
    r.domain = readMbdbString(device);
    r.path = readMbdbString(device);
    r.linkTarget = readMbdbString(device);
    r.dataHash = readMbdbString(device);
    r.encryptionKey = readMbdbString(device);
    r.mode = readUInt16BE(device);
    r.inodeHigh = readUInt32BE(device);
    r.inodeLow = readUInt32BE(device);
    r.userId = readUInt32BE(device);
    r.groupId = readUInt32BE(device);
    r.lastModified = readUInt32BE(device);
    r.lastAccessed = readUInt32BE(device);
    r.created = readUInt32BE(device);
    r.size = readInt64BE(device);
    r.protectionClass = readUInt8(device);
    const int count = readUInt8(device);
    r.properties.reserve(count);
    for (int i = 0; i < count; ++i) {
        MbdbProperty p;
        p.name = readMbdbString(device);
        p.value = readMbdbString(device);
        r.properties.append(p);
    }
    return r;
}

MbdbRecordSet readRecords(QIODevice &device, const QString &name)
{
    MbdbRecordSet set;
    if (device.bytesAvailable() < 6)
        return set;
    readExactly(device, 6, "the header");
    int index = 0;
    while (!device.atEnd()) {
        const qint64 start = device.pos();
        try {
            MbdbRecord r = readRecord(device);
            set.insert(r.fileId(), std::move(r));
        } catch (const std::runtime_error &e) {
            fail(QStringLiteral(
                         "%1 is damaged: record %2, which starts at byte %3, is cut short (%4).")
                         .arg(name)
                         .arg(index + 1)
                         .arg(start)
                         .arg(QString::fromUtf8(e.what())));
        }
        ++index;
    }
    return set;
}

void checkString(const MbdbString &s, const char *what)
{
    const bool hasNoBytes = s.length == 0 || s.length == MbdbString::kAbsent;
    if (hasNoBytes ? !s.bytes.isEmpty() : s.bytes.size() != s.length)
        fail(QStringLiteral(
                     "Cannot write Manifest.mbdb: the %1 string holds %2 bytes but its length "
                     "says %3 (at most 65534 bytes fit).")
                     .arg(QLatin1String(what))
                     .arg(s.bytes.size())
                     .arg(s.length));
}

void writeRecord(QIODevice &device, const MbdbRecord &r)
{
    checkString(r.domain, "domain");
    checkString(r.path, "path");
    checkString(r.linkTarget, "link target");
    checkString(r.dataHash, "data hash");
    checkString(r.encryptionKey, "encryption key");
    if (r.properties.size() > 255)
        fail(QStringLiteral("Cannot write Manifest.mbdb: the record of %1 has %2 properties, "
                            "at most 255 fit.")
                     .arg(r.path.toString())
                     .arg(r.properties.size()));
    for (const MbdbProperty &p : r.properties) {
        checkString(p.name, "property name");
        checkString(p.value, "property value");
    }
    writeMbdbString(device, r.domain);
    writeMbdbString(device, r.path);
    writeMbdbString(device, r.linkTarget);
    writeMbdbString(device, r.dataHash);
    writeMbdbString(device, r.encryptionKey);
    writeUInt16BE(device, r.mode);
    writeUInt32BE(device, r.inodeHigh);
    writeUInt32BE(device, r.inodeLow);
    writeUInt32BE(device, r.userId);
    writeUInt32BE(device, r.groupId);
    writeUInt32BE(device, r.lastModified);
    writeUInt32BE(device, r.lastAccessed);
    writeUInt32BE(device, r.created);
    writeInt64BE(device, r.size);
    writeUInt8(device, r.protectionClass);
    writeUInt8(device, quint8(r.properties.size()));
    for (const MbdbProperty &p : r.properties) {
        writeMbdbString(device, p.name);
        writeMbdbString(device, p.value);
    }
}

void writeRecords(QIODevice &device, const QList<MbdbRecord> &records)
{
    // Sort once on decoded keys rather than decoding in every comparison.
    struct Key
    {
        QString domain, path;
        const MbdbRecord *record;
    };
    std::vector<Key> keys;
    keys.reserve(records.size());
    for (const MbdbRecord &r : records)
        keys.push_back({r.domain.toString(), r.path.toString(), &r});
    std::stable_sort(keys.begin(), keys.end(), [](const Key &a, const Key &b) {
        return a.domain != b.domain ? a.domain < b.domain : a.path < b.path;
    });
    writeExactly(device, QByteArray("mbdb\x05\x00", 6), "the header");
    for (const Key &k : keys)
        writeRecord(device, *k.record);
}

} // namespace

MbdbString MbdbString::fromText(const QString &text)
{
    MbdbString s;
    s.setData(text.toUtf8());
    return s;
}

MbdbString MbdbString::empty()
{
    MbdbString s;
    s.length = 0;
    return s;
}

void MbdbString::setData(const QByteArray &data)
{
    bytes = data;
    length = quint16(data.size());
}

QString MbdbString::toString() const
{
    if (!isValid())
        return {};
    const qsizetype nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QString MbdbRecord::fileId() const
{
    return backupFileId(domain.toString(), path.toString());
}

QString backupFileId(const QString &domain, const QString &path)
{
    return QString::fromLatin1(QCryptographicHash::hash((domain + QLatin1Char('-') + path).toUtf8(),
                                                        QCryptographicHash::Sha1)
                                       .toHex());
}

bool mbdbRecordLessThan(const MbdbRecord &a, const MbdbRecord &b)
{
    const QString da = a.domain.toString(), db = b.domain.toString();
    if (da != db)
        return da < db;
    return a.path.toString() < b.path.toString();
}

bool isSafeBackupPath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QLatin1Char('\\'))
        || path.contains(QChar(0)))
        return false;
    for (const QStringView part : QStringView(path).split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

quint8 readUInt8(QIODevice &device)
{
    return quint8(bigEndian(readExactly(device, 1, "an 8-bit number")));
}

quint16 readUInt16BE(QIODevice &device)
{
    return quint16(bigEndian(readExactly(device, 2, "a 16-bit number")));
}

quint32 readUInt32BE(QIODevice &device)
{
    return quint32(bigEndian(readExactly(device, 4, "a 32-bit number")));
}

qint64 readInt64BE(QIODevice &device)
{
    return qint64(bigEndian(readExactly(device, 8, "a 64-bit size")));
}

MbdbString readMbdbString(QIODevice &device)
{
    MbdbString s;
    s.length = quint16(bigEndian(readExactly(device, 2, "a string length")));
    if (s.isValid())
        s.bytes = readExactly(device, s.length, "a string");
    return s;
}

void writeUInt8(QIODevice &device, quint8 value)
{
    writeExactly(device, bigEndianBytes(value, 1), "an 8-bit number");
}

void writeUInt16BE(QIODevice &device, quint16 value)
{
    writeExactly(device, bigEndianBytes(value, 2), "a 16-bit number");
}

void writeUInt32BE(QIODevice &device, quint32 value)
{
    writeExactly(device, bigEndianBytes(value, 4), "a 32-bit number");
}

void writeInt64BE(QIODevice &device, qint64 value)
{
    writeExactly(device, bigEndianBytes(quint64(value), 8), "a 64-bit size");
}

void writeMbdbString(QIODevice &device, const MbdbString &value)
{
    writeUInt16BE(device, value.length);
    if (!value.isValid())
        return;
    if (value.bytes.size() != value.length)
        fail(QStringLiteral("Cannot write a string of %1 bytes whose length says %2.")
                     .arg(value.bytes.size())
                     .arg(value.length));
    writeExactly(device, value.bytes, "a string");
}

MbdbRecordSet readMbdb(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("Cannot open %1: %2").arg(path, file.errorString()));
    return readRecords(file, path);
}

MbdbRecordSet parseMbdb(const QByteArray &data, const QString &name)
{
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    return readRecords(buffer, name);
}

void writeMbdb(const QList<MbdbRecord> &records, const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    writeRecords(file, records);
    if (!file.commit())
        fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}

QByteArray serializeMbdb(const QList<MbdbRecord> &records)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    writeRecords(buffer, records);
    return buffer.data();
}
