#include "backup/mbdbrecord.h"
#include "tests/support/fakebackup.h"

#include <QBuffer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

// The backup file index: read and written against bytes made by the test
// fixture's own writer.
class TestMbdb : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }

    static void writeBytes(const QString &file, const QByteArray &bytes)
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(bytes), bytes.size());
    }

    static QString errorOf(const std::function<void()> &f)
    {
        try {
            f();
        } catch (const std::runtime_error &e) {
            return QString::fromUtf8(e.what());
        }
        return {};
    }

    // The fixture entry as the program's record type, field by field.
    static void compareEntry(const MbdbRecord &r, const FakeBackup::Entry &e)
    {
        auto same = [](const MbdbString &s, const std::optional<QByteArray> &want) {
            if (!want)
                return s.isAbsent() && s.bytes.isEmpty();
            return s.length == want->size() && s.bytes == *want;
        };
        QVERIFY(same(r.domain, e.domain));
        QVERIFY(same(r.path, e.path));
        QVERIFY(same(r.linkTarget, e.linkTarget));
        QVERIFY(same(r.dataHash, e.dataHash));
        QVERIFY(same(r.encryptionKey, e.encryptionKey));
        QCOMPARE(r.mode, e.mode);
        QCOMPARE(r.inodeHigh, e.inodeHigh);
        QCOMPARE(r.inodeLow, e.inodeLow);
        QCOMPARE(r.userId, e.userId);
        QCOMPARE(r.groupId, e.groupId);
        QCOMPARE(r.lastModified, e.lastModified);
        QCOMPARE(r.lastAccessed, e.lastAccessed);
        QCOMPARE(r.created, e.created);
        QCOMPARE(r.size, e.size);
        QCOMPARE(r.protectionClass, e.protectionClass);
        QCOMPARE(r.properties.size(), e.properties.size());
        for (int i = 0; i < e.properties.size(); ++i) {
            QVERIFY(same(r.properties[i].name, e.properties[i].first));
            QVERIFY(same(r.properties[i].value, e.properties[i].second));
        }
    }

    static FakeBackup::Entry entry(const QString &domain, const QString &p, qint64 size = 0)
    {
        FakeBackup::Entry e;
        e.domain = domain.toUtf8();
        e.path = p.toUtf8();
        e.size = size;
        return e;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // PEL_FUZZ_SEED_DIR=fuzz/corpus refreshes the fuzzer's seeds.
        const QString seedRoot = qEnvironmentVariable("PEL_FUZZ_SEED_DIR");
        if (!seedRoot.isEmpty()) {
            const QString seeds = seedRoot + "/mbdb";
            FakeBackup phone(m_dir.filePath("seed"));
            phone.addTypicalPhone();
            writeBytes(seeds + "/typical-phone.mbdb", phone.mbdbBytes());
            FakeBackup odd(m_dir.filePath("seed2"));
            FakeBackup::Entry e = entry("HomeDomain", "", 4294967296LL);
            e.encryptionKey = QByteArray(40, 'k');
            e.properties = {{QByteArray("n"), QByteArray()}, {std::nullopt, QByteArray("v")}};
            odd.addRaw(e);
            odd.addLink("MediaDomain", "Library/SMS/x", "../y");
            writeBytes(seeds + "/odd-fields.mbdb", odd.mbdbBytes());
            writeBytes(seeds + "/header-only.mbdb", QByteArray("mbdb\x05\x00", 6));
            FakeBackup hostile(m_dir.filePath("seed3"));
            hostile.addFolder("HomeDomain", "Library");
            hostile.addFile("HomeDomain", "Library/../../x", "x");
            hostile.addFile("MediaDomain", "Library/SMS/Attachments/ab/../c-preview-left.jpg", "p");
            hostile.addFolder("AppDomain-..", "");
            hostile.addFile("AppDomain-com.a", "/abs", "a");
            writeBytes(seeds + "/hostile-paths.mbdb", hostile.mbdbBytes());
        }
    }

    void fileIdIsSha1OfDomainAndPath()
    {
        QCOMPARE(backupFileId("HomeDomain", "Library/SMS/sms.db"),
                 QString("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
        MbdbRecord r;
        r.domain = MbdbString::fromText("HomeDomain");
        r.path = MbdbString::fromText("Library/SMS/sms.db");
        QCOMPARE(r.fileId(), QString("3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
        QCOMPARE(r.fileId(), FakeBackup::fileId("HomeDomain", "Library/SMS/sms.db"));
    }

    // Every field of every record of a phone's index reads as written, and
    // writing the set back gives the fixture's bytes in sorted order.
    void readsAndWritesAPhonesIndex()
    {
        FakeBackup phone(path("phone"));
        phone.addTypicalPhone();
        const QByteArray original = phone.mbdbBytes();
        writeBytes(path("phone.mbdb"), original);

        const MbdbRecordSet set = readMbdb(path("phone.mbdb"));
        QCOMPARE(set.size(), phone.entries().size());
        for (const FakeBackup::Entry &e : phone.entries()) {
            const QString id
                    = FakeBackup::fileId(QString::fromUtf8(*e.domain), QString::fromUtf8(*e.path));
            QVERIFY2(set.contains(id), e.path->constData());
            compareEntry(set.value(id), e);
        }

        QList<FakeBackup::Entry> sorted = phone.entries();
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
            const QString da = QString::fromUtf8(*a.domain), db = QString::fromUtf8(*b.domain);
            return da != db ? da < db : QString::fromUtf8(*a.path) < QString::fromUtf8(*b.path);
        });
        QByteArray want("mbdb\x05\x00", 6);
        for (const auto &e : sorted)
            want += FakeBackup::recordBytes(e);
        writeMbdb(set.values(), path("written.mbdb"));
        QFile written(path("written.mbdb"));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), want);
        QCOMPARE(readMbdb(path("written.mbdb")), set);
    }

    // Absent and empty strings, 64-bit and negative sizes and many properties
    // come back as they were, byte for byte.
    void oddFieldsRoundTrip()
    {
        FakeBackup b(path("odd"));
        FakeBackup::Entry big = entry("HomeDomain", "big", 4294967296LL);
        big.linkTarget = QByteArray(); // present but empty
        big.dataHash = std::nullopt;
        big.encryptionKey = QByteArray("\x00\x01key", 5);
        big.inodeHigh = 0xFFFFFFFF;
        big.lastModified = 0xFFFFFFFF;
        big.protectionClass = 255;
        b.addRaw(big);
        FakeBackup::Entry props = entry("HomeDomain", "props", -1);
        for (int i = 0; i < 200; ++i)
            props.properties.append({QByteArray::number(i),
                                     i % 3 == 0           ? std::optional<QByteArray>()
                                             : i % 3 == 1 ? std::optional<QByteArray>(QByteArray())
                                                          : std::optional<QByteArray>("v")});
        b.addRaw(props);
        FakeBackup::Entry noDomain;
        noDomain.path = QByteArray("orphan");
        b.addRaw(noDomain);
        FakeBackup::Entry bare; // domain and path both absent
        bare.mode = 0;
        b.addRaw(bare);

        const MbdbRecordSet set = parseMbdb(b.mbdbBytes());
        QCOMPARE(set.size(), 4);
        const MbdbRecord r = set.value(backupFileId("HomeDomain", "big"));
        QCOMPARE(r.size, qint64(4294967296LL));
        QCOMPARE(r.linkTarget.length, quint16(0));
        QVERIFY(r.dataHash.isAbsent());
        QVERIFY(!r.linkTarget.isValid() && !r.dataHash.isValid());
        QCOMPARE(r.encryptionKey.toString(), QString()); // text stops at the NUL
        QCOMPARE(set.value(backupFileId("HomeDomain", "props")).properties.size(), 200);
        QCOMPARE(set.value(backupFileId("HomeDomain", "props")).size, qint64(-1));
        for (const FakeBackup::Entry &e : b.entries()) {
            const QString id = backupFileId(e.domain ? QString::fromUtf8(*e.domain) : QString(),
                                            e.path ? QString::fromUtf8(*e.path) : QString());
            compareEntry(set.value(id), e);
        }
        // Read, write, read: the same records and the same bytes again.
        const QByteArray once = serializeMbdb(set.values());
        QCOMPARE(parseMbdb(once), set);
        QCOMPARE(serializeMbdb(parseMbdb(once).values()), once);
    }

    void sizeFieldIsBigEndianHighWordFirst()
    {
        QByteArray record = FakeBackup::recordBytes(entry("D", "p"));
        // In a record without properties the 8 size bytes come just before
        // the protection class and the property count.
        const qsizetype at = record.size() - 10;
        record.replace(at, 8, QByteArray("\x00\x00\x00\x01\x00\x00\x00\x00", 8));
        const MbdbRecordSet set = parseMbdb(QByteArray("mbdb\x05\x00", 6) + record);
        QCOMPARE(set.value(backupFileId("D", "p")).size, qint64(4294967296LL));
    }

    void writerSortsByDomainThenPath()
    {
        const QStringList order = {
                "AppDomain-com.z|zzz",
                "HomeDomain|Library",
                "HomeDomain|Library/SMS/sms.db",
                "HomeDomain|Library/SMS/sms.db-wal",
                "HomeDomain|Library/sms",
                "HomeDomain|library",
                "MediaDomain|A",
        };
        QList<MbdbRecord> records;
        for (qsizetype i = order.size() - 1; i >= 0; --i) {
            MbdbRecord r;
            r.domain = MbdbString::fromText(order[i].section('|', 0, 0));
            r.path = MbdbString::fromText(order[i].section('|', 1));
            r.inodeLow = quint32(i); // marks the record's expected place
            records.append(r);
        }
        std::swap(records[1], records[4]);
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        out.write(serializeMbdb(records));
        out.close();
        out.open(QIODevice::ReadOnly);
        out.seek(6);
        for (int i = 0; i < order.size(); ++i) {
            const MbdbString domain = readMbdbString(out);
            const MbdbString p = readMbdbString(out);
            QCOMPARE(domain.toString() + "|" + p.toString(), order[i]);
            for (int s = 0; s < 3; ++s)
                readMbdbString(out);
            readUInt16BE(out);
            readUInt32BE(out);
            QCOMPARE(readUInt32BE(out), quint32(i));
            out.read(5 * 4 + 8 + 2);
        }
        QVERIFY(out.atEnd());
        QVERIFY(mbdbRecordLessThan(records.last(), records.first()));
    }

    void laterDuplicateWins()
    {
        FakeBackup b(path("dup"));
        b.addRaw(entry("HomeDomain", "Library/SMS/sms.db", 10));
        b.addRaw(entry("MediaDomain", "x", 1));
        b.addRaw(entry("HomeDomain", "Library/SMS/sms.db", 20));
        const MbdbRecordSet set = parseMbdb(b.mbdbBytes());
        QCOMPARE(set.size(), 2);
        QCOMPARE(set.value(backupFileId("HomeDomain", "Library/SMS/sms.db")).size, qint64(20));
    }

    void shortFilesAndOtherHeaders_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("records");
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("3 bytes") << QByteArray("mbd") << 0;
        QTest::newRow("header only") << QByteArray("mbdb\x05\x00", 6) << 0;
        QTest::newRow("other header")
                << QByteArray("XXXX\x01\x02", 6) + FakeBackup::recordBytes(entry("D", "p")) << 1;
    }
    void shortFilesAndOtherHeaders()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, records);
        QCOMPARE(parseMbdb(data).size(), records);
        writeBytes(path("short.mbdb"), data);
        QCOMPARE(readMbdb(path("short.mbdb")).size(), records);
    }

    // Every cut of a three-record file: at a record boundary the records
    // before it read; anywhere else the read fails naming the cut record.
    void everyTruncationIsCaught()
    {
        FakeBackup b(path("cut"));
        FakeBackup::Entry a = entry("HomeDomain", "a", 1);
        a.dataHash = QByteArray(20, '\x11');
        a.properties = {{QByteArray("k"), QByteArray("v")}};
        b.addRaw(a);
        b.addRaw(entry("HomeDomain", "b", 2));
        b.addLink("HomeDomain", "c", "a");
        const QByteArray full = b.mbdbBytes();
        QList<qsizetype> boundaries = {6};
        for (const auto &e : b.entries())
            boundaries.append(boundaries.last() + FakeBackup::recordBytes(e).size());
        QCOMPARE(boundaries.last(), full.size());

        for (qsizetype n = 6; n <= full.size(); ++n) {
            const QByteArray cut(full.constData(), n);
            const qsizetype whole = boundaries.indexOf(n);
            if (whole >= 0) {
                QCOMPARE(parseMbdb(cut).size(), int(whole));
                continue;
            }
            const int record = int(std::upper_bound(boundaries.begin(), boundaries.end(), n)
                                   - boundaries.begin());
            const QString error = errorOf([&] { parseMbdb(cut, "cut.mbdb"); });
            QVERIFY2(error.contains(QString("record %1,").arg(record)),
                     qPrintable(QString("cut at %1: %2").arg(n).arg(error)));
            QVERIFY(error.contains("cut.mbdb is damaged"));
        }
    }

    // Lengths that promise more than the file holds.
    void hostileLengths_data()
    {
        QTest::addColumn<QByteArray>("data");
        const QByteArray header("mbdb\x05\x00", 6);
        QTest::newRow("string longer than the file") << header
                        + QByteArray("\xff\xfe"
                                     "abc",
                                     5);
        QTest::newRow("255 properties, none there")
                << header + FakeBackup::recordBytes(entry("D", "p")).chopped(1) + "\xff";
        QTest::newRow("property name cut") << header
                        + FakeBackup::recordBytes(entry("D", "p")).chopped(1)
                        + "\x01\x00\x09"
                          "ab";
        QTest::newRow("lone length byte") << header + QByteArray("\x00", 1);
    }
    void hostileLengths()
    {
        QFETCH(QByteArray, data);
        // A detached copy so that the sanitizer sees any read past the end.
        const QByteArray copy(data.constData(), data.size());
        QVERIFY(errorOf([&] { parseMbdb(copy); }).contains("is cut short"));
        writeBytes(path("hostile.mbdb"), copy);
        QVERIFY(errorOf([&] { readMbdb(path("hostile.mbdb")); }).contains("is cut short"));
    }

    void missingFileAndFailedWrites()
    {
        QVERIFY(errorOf([&] { readMbdb(path("nothing-here.mbdb")); }).startsWith("Cannot open"));
        QVERIFY(!errorOf([&] { writeMbdb({}, path("no/such/folder/Manifest.mbdb")); }).isEmpty());

        // A record the format cannot hold is refused and the old file stays.
        writeBytes(path("keep.mbdb"), "old");
        MbdbRecord many;
        many.domain = MbdbString::fromText("D");
        for (int i = 0; i < 256; ++i)
            many.properties.append({MbdbString::fromText("n"), MbdbString::empty()});
        QVERIFY(errorOf([&] { writeMbdb({many}, path("keep.mbdb")); }).contains("255"));
        MbdbRecord longPath;
        longPath.path.setData(QByteArray(0x10000, 'x')); // the count does not fit 16 bits
        QVERIFY(!errorOf([&] { writeMbdb({longPath}, path("keep.mbdb")); }).isEmpty());
        MbdbRecord absentWithBytes;
        absentWithBytes.path.setData(QByteArray(0xFFFF, 'x'));
        QVERIFY(!errorOf([&] { writeMbdb({absentWithBytes}, path("keep.mbdb")); }).isEmpty());
        QFile kept(path("keep.mbdb"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("old"));
    }

    void folderIsDecidedByMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("link");
        QTest::newRow("folder") << 040755 << qint64(0) << true << false;
        QTest::newRow("empty file") << 0100644 << qint64(0) << false << false;
        QTest::newRow("file") << 0100644 << qint64(12) << false << false;
        QTest::newRow("link") << 0120755 << qint64(0) << false << true;
        QTest::newRow("no type bits") << 0 << qint64(0) << false << false;
    }
    void folderIsDecidedByMode()
    {
        QFETCH(int, mode);
        QFETCH(qint64, size);
        QFETCH(bool, folder);
        QFETCH(bool, link);
        MbdbRecord r;
        r.mode = quint16(mode);
        r.size = size;
        QCOMPARE(r.isDirectory(), folder);
        QCOMPARE(r.isSymlink(), link);
    }

    void safePaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("safe");
        QTest::newRow("plain") << "Library/SMS/sms.db" << true;
        QTest::newRow("dots inside names") << "a..b/.hidden/x." << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("absolute") << "/etc/passwd" << false;
        QTest::newRow("parent") << "../x" << false;
        QTest::newRow("inner parent") << "a/../../x" << false;
        QTest::newRow("dot") << "a/./b" << false;
        QTest::newRow("lone dot") << "." << false;
        QTest::newRow("double slash") << "a//b" << false;
        QTest::newRow("trailing slash") << "a/" << false;
        QTest::newRow("backslash") << "a\\..\\b" << false;
    }
    void safePaths()
    {
        QFETCH(QString, path);
        QFETCH(bool, safe);
        QCOMPARE(isSafeBackupPath(path), safe);
    }
};

QTEST_GUILESS_MAIN(TestMbdb)
#include "tst_mbdb.moc"
