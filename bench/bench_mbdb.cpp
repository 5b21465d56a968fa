// Reading, writing and tree-building of a large Manifest.mbdb. The floor of
// the reader: the file loaded and a plain loop parsing the same records into
// plain structs with no checks, each keyed by its file id (the SHA-1 of
// domain and path) as readMbdb keys them (target: readMbdb within 2x).
//
//   bench_mbdb [records]
#include "backup/backupmanifest.h"
#include "backup/mbdbrecord.h"
#include "bench/benchreport.h"
#include "tests/support/fakebackup.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <cstdio>

namespace {

struct PlainRecord
{
    QByteArray domain, path, linkTarget, dataHash, encryptionKey;
    quint16 mode;
    quint32 inodeHigh, inodeLow, userId, groupId, lastModified, lastAccessed, created;
    qint64 size;
    quint8 protectionClass;
    QList<QPair<QByteArray, QByteArray>> properties;
};

class PlainReader
{
public:
    explicit PlainReader(const QByteArray &bytes)
        : p(reinterpret_cast<const uchar *>(bytes.constData()))
    { }
    quint64 number(int n)
    {
        quint64 v = 0;
        for (int i = 0; i < n; ++i)
            v = v << 8 | *p++;
        return v;
    }
    QByteArray text()
    {
        const quint16 n = quint16(number(2));
        if (n == 0xFFFF || n == 0)
            return QByteArray();
        QByteArray out(reinterpret_cast<const char *>(p), n);
        p += n;
        return out;
    }
    const uchar *p;
};

QHash<QString, PlainRecord> plainRead(const QString &file)
{
    QFile in(file);
    in.open(QIODevice::ReadOnly);
    const QByteArray bytes = in.readAll();
    QHash<QString, PlainRecord> out;
    PlainReader r(bytes);
    r.p += 6;
    const uchar *end = reinterpret_cast<const uchar *>(bytes.constData()) + bytes.size();
    while (r.p < end) {
        PlainRecord rec;
        rec.domain = r.text();
        rec.path = r.text();
        rec.linkTarget = r.text();
        rec.dataHash = r.text();
        rec.encryptionKey = r.text();
        rec.mode = quint16(r.number(2));
        rec.inodeHigh = quint32(r.number(4));
        rec.inodeLow = quint32(r.number(4));
        rec.userId = quint32(r.number(4));
        rec.groupId = quint32(r.number(4));
        rec.lastModified = quint32(r.number(4));
        rec.lastAccessed = quint32(r.number(4));
        rec.created = quint32(r.number(4));
        rec.size = qint64(r.number(8));
        rec.protectionClass = quint8(r.number(1));
        const int properties = int(r.number(1));
        for (int i = 0; i < properties; ++i) {
            QByteArray name = r.text();
            rec.properties.append({name, r.text()});
        }
        const QString id = QString::fromLatin1(
                QCryptographicHash::hash(rec.domain + '-' + rec.path, QCryptographicHash::Sha1)
                        .toHex());
        out.insert(id, std::move(rec));
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 150000;
    QTemporaryDir dir;
    QByteArray bytes("mbdb\x05\x00", 6);
    for (int i = 0; i < count; ++i) {
        FakeBackup::Entry e;
        const QString domain
                = i % 3 ? "MediaDomain" : QString("AppDomain-com.example.app%1").arg(i % 50);
        const QString path = QString("Library/Folder%1/File %2.jpg").arg(i % 400).arg(i);
        e.domain = domain.toUtf8();
        e.path = path.toUtf8();
        e.dataHash = QByteArray(20, char(i));
        e.size = i;
        bytes += FakeBackup::recordBytes(e);
    }
    const QString file = dir.filePath("Manifest.mbdb");
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    f.close();
    QFile plist(dir.filePath("Manifest.plist"));
    plist.open(QIODevice::WriteOnly);
    plist.close();

    qsizetype plainCount = 0, readCount = 0;
    const double floor = bench::bestMs([&] { plainCount = plainRead(file).size(); });
    MbdbRecordSet set;
    const double read = bench::bestMs([&] {
        set = MbdbRecordSet();
        set = readMbdb(file);
        readCount = set.size();
    });
    const double write = bench::bestMs([&] { writeMbdb(set.values(), dir.filePath("out.mbdb")); });
    const double tree = bench::bestMs([&] {
        BackupManifest m(dir.path());
        m.loadManifestMbdb();
    });

    std::printf("Manifest.mbdb of %d records (%lld bytes, %lld read), best of %d rounds\n", count,
                qlonglong(bytes.size()), qlonglong(readCount), bench::kRounds);
    bench::report("mbdb.read", read, floor, "ms", bench::Want::AtMost, 2.0);
    bench::report("mbdb.write_sorted", write, floor, "ms");
    bench::report("mbdb.read+tree", tree, floor, "ms");
    return readCount == count && plainCount == count ? 0 : 1;
}
