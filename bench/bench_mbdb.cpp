// Reading, writing and tree-building of a large Manifest.mbdb, beside a
// baseline of the work any reader must do: loading the file and hashing each
// record's domain and path into its file id.
#include "backup/backupmanifest.h"
#include "backup/mbdbrecord.h"
#include "tests/support/fakebackup.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 150000;
    QTemporaryDir dir;
    QByteArray bytes("mbdb\x05\x00", 6);
    QStringList names;
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
        names << domain + "-" + path;
    }
    const QString file = dir.filePath("Manifest.mbdb");
    QFile f(file);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    f.close();
    QFile plist(dir.filePath("Manifest.plist"));
    plist.open(QIODevice::WriteOnly);
    plist.close();

    QElapsedTimer t;
    t.start();
    QFile in(file);
    in.open(QIODevice::ReadOnly);
    const QByteArray loaded = in.readAll();
    QByteArray sink;
    for (const QString &n : names)
        sink = QCryptographicHash::hash(n.toUtf8(), QCryptographicHash::Sha1);
    const qint64 baseline = t.restart();
    const MbdbRecordSet set = readMbdb(file);
    const qint64 read = t.restart();
    writeMbdb(set.values(), dir.filePath("out.mbdb"));
    const qint64 write = t.restart();
    BackupManifest m(dir.path());
    m.loadManifestMbdb();
    const qint64 tree = t.restart();

    std::printf("Manifest.mbdb of %d records (%lld bytes, %d read)\n", count,
                qlonglong(loaded.size()), int(set.size()));
    std::printf("  baseline (load file + file ids): %6lld ms\n", baseline);
    std::printf("  readMbdb:                        %6lld ms\n", read);
    std::printf("  writeMbdb (sorted):              %6lld ms\n", write);
    std::printf("  loadManifestMbdb (read + tree):  %6lld ms\n", tree);
    return 0;
}
