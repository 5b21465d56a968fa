#include "backup/mbdbrecord.h"

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

// Bounds-checked reading of the index held in memory: every field is checked
// against the bytes left before it is read.
class Cursor
{
public:
    explicit Cursor(const QByteArray &data)
        : m_data(data)
    { }

    qsizetype pos() const { return m_pos; }
    bool atEnd() const { return m_pos >= m_data.size(); }

    const char *take(qsizetype n, const char *what)
    {
        const qsizetype left = m_data.size() - m_pos;
        if (n > left)
            fail(QStringLiteral("the data ends inside %1 at byte %2 (%3 bytes needed, %4 left)")
                         .arg(QLatin1String(what))
                         .arg(m_pos)
                         .arg(n)
                         .arg(left));
        const char *p = m_data.constData() + m_pos;
        m_pos += n;
        return p;
    }
    quint64 number(int width, const char *what)
    {
        const char *p = take(width, what);
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | quint8(p[i]);
        return v;
    }
    MbdbString string()
    {
        MbdbString s;
        s.length = quint16(number(2, "a string length"));
        if (s.isValid())
            s.bytes = QByteArray(take(s.length, "a string"), s.length);
        return s;
    }

private:
    const QByteArray &m_data;
    qsizetype m_pos = 0;
};

MbdbRecord readRecord(Cursor &in)
{
    MbdbRecord r;
    r.domain = in.string();
    r.path = in.string();
    r.linkTarget = in.string();
    r.dataHash = in.string();
    r.encryptionKey = in.string();
    r.mode = quint16(in.number(2, "the mode"));
    r.inodeHigh = quint32(in.number(4, "the inode number"));
    r.inodeLow = quint32(in.number(4, "the inode number"));
    r.userId = quint32(in.number(4, "the user id"));
    r.groupId = quint32(in.number(4, "the group id"));
    r.lastModified = quint32(in.number(4, "the modification time"));
    r.lastAccessed = quint32(in.number(4, "the access time"));
    r.created = quint32(in.number(4, "the creation time"));
    r.size = qint64(in.number(8, "the size"));
    r.protectionClass = quint8(in.number(1, "the protection class"));
    const int count = int(in.number(1, "the property count"));
    r.properties.reserve(count);
    for (int i = 0; i < count; ++i) {
        MbdbProperty p;
        p.name = in.string();
        p.value = in.string();
        r.properties.append(p);
    }
    return r;
}

MbdbRecordSet readRecords(const QByteArray &data, const QString &name)
{
    MbdbRecordSet set;
    if (data.size() < 6)
        return set;
    Cursor in(data);
    in.take(6, "the header");
    int index = 0;
    while (!in.atEnd()) {
        const qsizetype start = in.pos();
        try {
            MbdbRecord r = readRecord(in);
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

// Big-endian appends to the bytes of a new index.
class Appender
{
public:
    void number(quint64 v, int width)
    {
        for (int i = width - 1; i >= 0; --i)
            m_out.append(char((v >> (8 * i)) & 0xFF));
    }
    void string(const MbdbString &s)
    {
        number(s.length, 2);
        if (s.isValid())
            m_out.append(s.bytes);
    }
    QByteArray &bytes() { return m_out; }

private:
    QByteArray m_out;
};

void writeRecord(Appender &out, const MbdbRecord &r)
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
    out.string(r.domain);
    out.string(r.path);
    out.string(r.linkTarget);
    out.string(r.dataHash);
    out.string(r.encryptionKey);
    out.number(r.mode, 2);
    out.number(r.inodeHigh, 4);
    out.number(r.inodeLow, 4);
    out.number(r.userId, 4);
    out.number(r.groupId, 4);
    out.number(r.lastModified, 4);
    out.number(r.lastAccessed, 4);
    out.number(r.created, 4);
    out.number(quint64(r.size), 8);
    out.number(r.protectionClass, 1);
    out.number(quint64(r.properties.size()), 1);
    for (const MbdbProperty &p : r.properties) {
        out.string(p.name);
        out.string(p.value);
    }
}

QByteArray writeRecords(const QList<MbdbRecord> &records)
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
    Appender out;
    out.bytes().append("mbdb\x05\x00", 6);
    for (const Key &k : keys)
        writeRecord(out, *k.record);
    return out.bytes();
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

bool mbdbRecordsCarryKeys(const MbdbRecordSet &records)
{
    for (const MbdbRecord &r : records)
        if (r.encryptionKey.isValid())
            return true;
    return false;
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
    // Far beyond any phone's index; refused rather than loaded into memory.
    constexpr qint64 kMaxSize = qint64(1) << 30;
    if (file.size() > kMaxSize)
        fail(QStringLiteral("%1 is too large to be a backup index (%2 bytes).")
                     .arg(path)
                     .arg(file.size()));
    const QByteArray data = file.readAll();
    if (file.error() != QFile::NoError)
        fail(QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
    return readRecords(data, path);
}

MbdbRecordSet parseMbdb(const QByteArray &data, const QString &name)
{
    return readRecords(data, name);
}

void writeMbdb(const QList<MbdbRecord> &records, const QString &path)
{
    const QByteArray bytes = writeRecords(records);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    if (file.write(bytes) != bytes.size() || !file.commit())
        fail(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
}

QByteArray serializeMbdb(const QList<MbdbRecord> &records)
{
    return writeRecords(records);
}
