// The page reader: raw reads, header fields, b-tree pages and walks, cells
// and payloads, freelist trunks, record decoding, and damaged files.

#include "recovery/sqlite3file.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/sqlitebytes.h"
#include "tests/support/sqlitesweep.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <sqlite3.h>

#include <cmath>
#include <functional>
#include <limits>

using Check = std::function<void(const Sqlite3File &)>;
Q_DECLARE_METATYPE(Check)

namespace {

QByteArray be32(qint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (24 - 8 * i)) & 0xff);
    return b;
}

const uchar *u(const QByteArray &b)
{
    return reinterpret_cast<const uchar *>(b.constData());
}

// The rows of a table as SQLite reads them, keyed by rowid.
QMap<qint64, QVariantList> sqlRows(const QString &path, const QString &table)
{
    QMap<qint64, QVariantList> out;
    for (QVariantList r : sqliteRows(path, QString("select rowid, * from %1").arg(table))) {
        const qint64 id = r.takeFirst().toLongLong();
        r.removeFirst(); // the rowid alias reads as the rowid; the record holds NULL
        out.insert(id, r);
    }
    return out;
}

// A decoded value equals what SQLite reads, by SQLite's storage class.
bool sameValue(const QVariant &decoded, const QVariant &sql)
{
    if (!sql.isValid() || sql.isNull())
        return !decoded.isValid();
    switch (sql.typeId()) {
    case QMetaType::QByteArray:
        return decoded.typeId() == QMetaType::QByteArray
                && decoded.toByteArray() == sql.toByteArray();
    case QMetaType::Double:
        return decoded.typeId() == QMetaType::Double && decoded.toDouble() == sql.toDouble();
    case QMetaType::QString:
        return decoded.typeId() == QMetaType::QString && decoded.toString() == sql.toString();
    default:
        return (decoded.typeId() == QMetaType::Int || decoded.typeId() == QMetaType::LongLong)
                && decoded.toLongLong() == sql.toLongLong();
    }
}

// Every row in the leaves below a root, decoded by the reader.
QMap<qint64, QList<QVariant>> decodedRows(const Sqlite3File &file, int root)
{
    QMap<qint64, QList<QVariant>> out;
    for (const Sqlite3FilePage &leaf : file.leafPages(file.readBtreePage(root)))
        for (const uchar *c : leaf.cells) {
            const Sqlite3FileRow row = file.rowData(file.parseCell(leaf, c));
            QList<QVariant> values = row.values;
            if (!values.isEmpty())
                values.removeFirst(); // the rowid alias
            out.insert(row.rowid, values);
        }
    return out;
}

int rootPage(const QString &path, const QString &name)
{
    return sqliteScalar(path, "select rootpage from sqlite_master where name=?", {name}).toInt();
}

QString phoneSchema()
{
    return "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, "
           "country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service));"
           "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
           "NULL, text TEXT, handle_id INTEGER DEFAULT 0, attributedBody BLOB, service TEXT, "
           "date INTEGER, is_from_me INTEGER DEFAULT 0);";
}

// Fills the phone-like tables: handles and messages of varied lengths, some
// long enough to overflow any page size used here.
void fillPhoneTables(RawSqlite &db, int messages)
{
    db.exec("BEGIN");
    for (int h = 1; h <= 20; ++h)
        db.run("insert into handle(id, country, service) values(?, 'us', ?)",
               {QString("+1555000%1").arg(h, 4, 10, QChar('0')), h % 3 ? "SMS" : "iMessage"});
    for (int i = 1; i <= messages; ++i) {
        QString text = QString("message %1 ").arg(i).repeated(1 + (i * 7) % 13);
        if (i % 17 == 0)
            text = QString("long %1 \u00e9\u20ac ").arg(i).repeated(3000);
        const QVariant body = i % 5 == 0 ? QVariant(QByteArray(40 + i % 300, char(i))) : QVariant();
        db.run("insert into message(guid, text, handle_id, attributedBody, service, date, "
               "is_from_me) values(?,?,?,?,?,?,?)",
               {QString("GUID-%1").arg(i), text, 1 + i % 20, body, i % 2 ? "SMS" : "iMessage",
                qint64(400000000) + i * 61, i % 2});
    }
    db.exec("COMMIT");
}

} // namespace

class TestSqliteFile : public QObject
{
    Q_OBJECT

private slots:
    void boundedReads();
    void varints_data();
    void varints();

    void openRejects_data();
    void openRejects();
    void openFailures();

    void readsRealDatabase_data();
    void readsRealDatabase();
    void payloadAroundLocalLimit_data();
    void payloadAroundLocalLimit();
    void reservedBytesAtPageEnds();
    void freelistOfDeletedPages_data();
    void freelistOfDeletedPages();

    void decodesEveryStoredType();
    void decodesCraftedRecords_data();
    void decodesCraftedRecords();
    void recordWarnings();

    void pageEdges();
    void walksBelowInteriorPages();

    void damagedFiles_data();
    void damagedFiles();
    void deepChainOfInteriorPages();
    void cellsSharingOneOverflowChain();

private:
    QTemporaryDir m_dir;
};

// ---------------------------------------------------------------- raw reads

void TestSqliteFile::boundedReads()
{
    const QByteArray b = QByteArray::fromHex("0102030405060708ff");
    const uchar *p = u(b);
    const uchar *end = p + b.size();
    QCOMPARE(boundedBE16(p + 7, end), qint16(0x08ff)); // last byte is the file's last
    QCOMPARE(boundedBE16(p + 8, end), qint16(0)); // one byte past the end
    QCOMPARE(boundedBE32(p + 5, end), qint32(0x060708ff));
    QCOMPARE(boundedBE32(p + 6, end), qint32(0));
    QCOMPARE(boundedBE64(p + 1, end), qint64(0x02030405060708ffLL));
    QCOMPARE(boundedBE64(p + 2, end), qint64(0));
    QCOMPARE(boundedByte(p + 8, end), 0xff);
    QCOMPARE(boundedByte(end, end), 0);
    QCOMPARE(boundedByte(p, nullptr), 0);
    QCOMPARE(boundedByte(nullptr, end), 0);
    QCOMPARE(readBE16(p + 7), qint16(0x08ff));
    QCOMPARE(readBE64(u(QByteArray::fromHex("ffffffffffffffff"))), qint64(-1));
    QCOMPARE(boundedBytes(4, p + 6, end), QByteArray::fromHex("0708ff"));
    QCOMPARE(boundedBytes(0, p, end), QByteArray());
    QCOMPARE(boundedBytes(3, end, end), QByteArray());
    QCOMPARE(boundedBytes(-1, p, end), QByteArray());
    uchar dest[4] = {0xaa, 0xaa, 0xaa, 0xaa};
    QCOMPARE(boundedCopy(dest, 4, p + 7, end), qint64(2));
    QCOMPARE(dest[1], uchar(0xff));
    QCOMPARE(dest[2], uchar(0xaa));
}

void TestSqliteFile::varints_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("read");
    QTest::addColumn<qint64>("value");
    QTest::newRow("one byte") << QByteArray::fromHex("7f") << 1 << qint64(127);
    QTest::newRow("two bytes") << QByteArray::fromHex("8100") << 2 << qint64(128);
    QTest::newRow("trailing bytes ignored") << QByteArray::fromHex("81007f") << 2 << qint64(128);
    QTest::newRow("eight bytes") << QByteArray::fromHex("ffffffffffffff7f") << 8
                                 << qint64((1LL << 56) - 1);
    QTest::newRow("nine bytes take all of the last")
            << QByteArray::fromHex("8180808080808080ff") << 9 << qint64((1LL << 57) + 0xff);
    QTest::newRow("nine bytes negative")
            << QByteArray::fromHex("ffffffffffffffffff") << 9 << qint64(-1);
    QTest::newRow("cut by the end") << QByteArray::fromHex("8181") << 0 << qint64(-7);
    QTest::newRow("nine bytes cut") << QByteArray::fromHex("ffffffffffffffff") << 0 << qint64(-7);
    QTest::newRow("empty") << QByteArray() << 0 << qint64(-7);
}

void TestSqliteFile::varints()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, read);
    QFETCH(qint64, value);
    qint64 v = -7; // left alone when nothing is read
    QCOMPARE(readVarint(v, u(bytes), u(bytes) + bytes.size()), read);
    QCOMPARE(v, value);
    if (read) {
        // The encoding of the value takes exactly the bytes read.
        QCOMPARE(varintLength(value), read);
        QCOMPARE(sqliteVarint(quint64(value)), bytes.left(read));
    }
    QCOMPARE(varintLength(0), 1);
    QCOMPARE(varintLength((1LL << 14) - 1), 2);
    QCOMPARE(varintLength(1LL << 14), 3);
    QCOMPARE(varintLength(1LL << 56), 9);
    QCOMPARE(varintLength(-1), 9);
}

// ---------------------------------------------------------------- opening

void TestSqliteFile::openRejects_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("pageSize"); // 0: refused with "invalid page size."
    QByteArray header = SqliteImage(1024, 2).bytes;
    auto withSize = [&](int field) {
        QByteArray b = header;
        b[16] = char(field >> 8);
        b[17] = char(field & 0xff);
        return b;
    };
    QTest::newRow("empty file") << QByteArray() << 0;
    QTest::newRow("17 bytes") << header.left(17) << 0;
    QTest::newRow("field 0") << withSize(0) << 0;
    QTest::newRow("field 256") << withSize(256) << 0;
    QTest::newRow("field 513") << withSize(513) << 0;
    QTest::newRow("field 3") << withSize(3) << 0;
    QTest::newRow("field 0xffff") << withSize(0xffff) << 0;
    QTest::newRow("512") << withSize(512) << 512;
    QTest::newRow("1024") << header << 1024;
    QTest::newRow("32768 stored as 0x8000") << withSize(0x8000) << 32768;
    QTest::newRow("65536 stored as 1") << withSize(1) << 65536;
    QTest::newRow("18 bytes") << header.left(18) << 1024;
}

void TestSqliteFile::openRejects()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, pageSize);
    const QString path = m_dir.filePath(QString("open-%1.db").arg(QTest::currentDataTag()));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    for (bool fromFile : {true, false}) {
        Sqlite3File file(path);
        if (!pageSize) {
            try {
                fromFile ? file.openAndMap() : file.openBytes(bytes);
                QFAIL("opened");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString(e.what()), QString("invalid page size."));
            }
            // Nothing is read from a file that failed to open.
            QCOMPARE(file.pageCount(), 0);
            QCOMPARE(file.readBtreePage(1).cells.size(), 0);
            QVERIFY(!file.mapBegin());
            QCOMPARE(file.size(), qint64(0));
            QCOMPARE(file.firstFreelistTrunk(), 0);
        } else {
            QCOMPARE(fromFile ? file.openAndMap() : file.openBytes(bytes), pageSize);
            QCOMPARE(file.pageSize(), pageSize);
            QCOMPARE(file.pageCount(), int(bytes.size() / pageSize));
            QCOMPARE(file.size(), qint64(bytes.size()));
            QCOMPARE(file.mapEnd() - file.mapBegin(), qint64(bytes.size()));
        }
    }
}

void TestSqliteFile::openFailures()
{
    const QString missing = m_dir.filePath("no-such.db");
    Sqlite3File file(missing);
    try {
        file.openAndMap();
        QFAIL("opened");
    } catch (const std::runtime_error &e) {
        QVERIFY2(QString(e.what()).startsWith("open " + missing + " failed. "), e.what());
    }
    Sqlite3File folder(m_dir.path());
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, folder.openAndMap());
}

// ---------------------------------------------------------------- real files

void TestSqliteFile::readsRealDatabase_data()
{
    QTest::addColumn<int>("pageSize");
    for (int size : {512, 1024, 4096, 32768, 65536})
        QTest::addRow("%d", size) << size;
}

// Header fields, every b-tree page and walk, and every live row, against
// what SQLite itself reports of the same file (dbstat lists each b-tree and
// overflow page with its type, cell count and position in its tree).
void TestSqliteFile::readsRealDatabase()
{
    QFETCH(int, pageSize);
    const QString path = m_dir.filePath(QString("real-%1.db").arg(pageSize));
    {
        auto db = createRecoverableDb(path, pageSize);
        db->exec(phoneSchema());
        fillPhoneTables(*db, pageSize >= 32768 ? 1500 : 400);
        db->exec("delete from message where rowid % 4 = 0");
    }
    Sqlite3File file(path);
    QCOMPARE(file.openAndMap(), pageSize);
    QCOMPARE(file.pageCount(), sqliteScalar(path, "pragma page_count").toInt());
    QCOMPARE(file.freelistPageCount(), sqliteScalar(path, "pragma freelist_count").toInt());

    // Each b-tree, walked from its root: the pages in pre-order, each with
    // its type and cell count; the leaves left to right.
    const QList<QVariantList> trees
            = sqliteRows(path, "select name, rootpage from sqlite_master where rootpage > 0");
    QVERIFY(trees.size() >= 4); // tables, their unique indexes, sqlite_sequence
    for (const QVariantList &t : trees) {
        const QString name = t[0].toString();
        const QList<QVariantList> stat = sqliteRows(
                path,
                "select pageno, pagetype, ncell from dbstat where name=? and pagetype != "
                "'overflow' order by path",
                {name});
        const QList<Sqlite3FilePage> all = file.allPages(file.readBtreePage(t[1].toInt()));
        QCOMPARE(all.size(), stat.size());
        QList<int> leaves;
        for (int i = 0; i < all.size(); ++i) {
            QCOMPARE(all[i].pageNumber, stat[i][0].toInt());
            QCOMPARE(all[i].isLeafPage(), stat[i][1].toString() == "leaf");
            QCOMPARE(all[i].cells.size(), stat[i][2].toInt());
            QVERIFY(all[i].isBtreePage());
            QCOMPARE(all[i].header - all[i].page, all[i].pageNumber == 1 ? 100 : 0);
            if (all[i].isLeafPage())
                leaves.append(all[i].pageNumber);
        }
        QList<int> walked;
        for (const Sqlite3FilePage &p : file.leafPages(file.readBtreePage(t[1].toInt())))
            walked.append(p.pageNumber);
        QCOMPARE(walked, leaves);
    }

    // Every live row decodes to what SQLite reads.
    for (const QString table : {"message", "handle"}) {
        const QMap<qint64, QVariantList> expected = sqlRows(path, table);
        const QMap<qint64, QList<QVariant>> decoded = decodedRows(file, rootPage(path, table));
        QCOMPARE(decoded.keys(), expected.keys());
        for (auto it = expected.begin(); it != expected.end(); ++it) {
            const QList<QVariant> &row = decoded[it.key()];
            QCOMPARE(row.size(), it.value().size());
            for (int c = 0; c < row.size(); ++c)
                QVERIFY2(
                        sameValue(row[c], it.value()[c]),
                        qPrintable(QString("%1 row %2 column %3").arg(table).arg(it.key()).arg(c)));
        }
    }

    // Freelist pages are exactly the pages that belong to no b-tree and no
    // overflow chain.
    QSet<int> used;
    for (const QVariantList &r : sqliteRows(path, "select pageno from dbstat"))
        used.insert(r[0].toInt());
    QSet<int> free;
    for (const Sqlite3FileTrunk &t : file.freelistTrunks()) {
        free.insert(t.pageNumber);
        for (qint32 l : t.leaves)
            free.insert(l);
    }
    QCOMPARE(free.size(), file.freelistPageCount());
    QSet<int> every;
    for (int n = 1; n <= file.pageCount(); ++n)
        every.insert(n);
    QCOMPARE(free, every - used);
}

void TestSqliteFile::payloadAroundLocalLimit_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::addColumn<int>("blobSize");
    // A one-column blob record of n bytes (58 <= n < 8186) is n + 3 bytes.
    for (int size : {512, 1024, 4096}) {
        const int localMax = size - 35;
        for (int payload : {localMax - 1, localMax, localMax + 1, localMax + 2,
                            localMax + (size - 4) / 2, 3 * size, 5 * size + 17})
            QTest::addRow("%d page, blob %d", size, payload - 3) << size << payload - 3;
    }
}

// A payload of up to usable - 35 bytes stays in its cell; one byte more puts
// part of it on overflow pages, which the reader joins back.
void TestSqliteFile::payloadAroundLocalLimit()
{
    QFETCH(int, pageSize);
    QFETCH(int, blobSize);
    const QString path = m_dir.filePath(QString("local-%1-%2.db").arg(pageSize).arg(blobSize));
    QByteArray blob(blobSize, '\0');
    for (int i = 0; i < blobSize; ++i)
        blob[i] = char(i * 31 + i / 251);
    {
        auto db = createRecoverableDb(path, pageSize);
        db->exec("create table t(b blob)");
        db->run("insert into t values(?)", {blob});
    }
    Sqlite3File file(path);
    file.openAndMap();
    const Sqlite3FilePage leaf = file.readBtreePage(rootPage(path, "t"));
    QCOMPARE(leaf.cells.size(), 1);
    const Sqlite3FileCell cell = file.parseCell(leaf, leaf.cells[0]);
    const qint64 payload = 1 + sqliteVarint(12 + 2 * quint64(blobSize)).size() + blobSize;
    QCOMPARE(cell.payloadSize, payload);
    QCOMPARE(cell.rowid, qint64(1));
    if (payload <= pageSize - 35) {
        QCOMPARE(cell.localSize, qint32(payload));
        QCOMPARE(cell.firstOverflow, 0);
    } else {
        QVERIFY(cell.localSize < payload);
        QVERIFY(cell.firstOverflow > 1);
        QVERIFY(cell.firstOverflow <= file.pageCount());
    }
    const QByteArray whole = file.cellPayload(cell);
    QCOMPARE(whole.size(), payload);
    const Sqlite3FileRow row = file.rowData(cell);
    QCOMPARE(row.values.size(), 1);
    QCOMPARE(row.values[0].toByteArray(), blob);
}

// Pages with reserved bytes at their end hold less b-tree content: payloads
// spill onto overflow pages sooner and each overflow page holds less.
void TestSqliteFile::reservedBytesAtPageEnds()
{
    const QString path = m_dir.filePath("reserved.db");
    QList<QByteArray> blobs;
    {
        auto db = createRecoverableDb(path, 1024);
        int reserve = 40;
        QCOMPARE(sqlite3_file_control(db->handle(), "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve),
                 SQLITE_OK);
        db->exec("create table t(id integer primary key, b blob)");
        for (int n : {900, 949, 950, 951, 985, 2000, 5000}) {
            QByteArray b(n, '\0');
            for (int i = 0; i < n; ++i)
                b[i] = char(i % 251);
            blobs << b;
            db->run("insert into t(b) values(?)", {b});
        }
    }
    Sqlite3File file(path);
    file.openAndMap();
    QCOMPARE(file.usableSize(), 1024 - 40);
    const QMap<qint64, QList<QVariant>> rows = decodedRows(file, rootPage(path, "t"));
    QCOMPARE(rows.size(), blobs.size());
    for (int i = 0; i < blobs.size(); ++i)
        QCOMPARE(rows.value(i + 1).value(0).toByteArray(), blobs[i]);
}

void TestSqliteFile::freelistOfDeletedPages_data()
{
    QTest::addColumn<int>("pageSize");
    QTest::newRow("512") << 512;
    QTest::newRow("4096") << 4096;
}

// Deleting most rows moves whole pages to the freelist, more than one trunk
// holds; freed table leaves keep their cells, which still decode to the
// deleted rows.
void TestSqliteFile::freelistOfDeletedPages()
{
    QFETCH(int, pageSize);
    const QString path = m_dir.filePath(QString("freelist-%1.db").arg(pageSize));
    const int perTrunk = pageSize / 4 - 2;
    const int rows = (perTrunk + 40) * 3;
    {
        auto db = createRecoverableDb(path, pageSize);
        db->exec("create table t(id integer primary key, name text, n integer)");
        db->exec("BEGIN");
        for (int i = 1; i <= rows; ++i)
            db->run("insert into t(name, n) values(?, ?)",
                    {QString("row %1 ").arg(i) + QString(pageSize / 3, QChar('a' + i % 26)), i});
        db->exec("COMMIT");
        db->exec(QString("delete from t where id > 5 and id <= %1").arg(rows - 5));
    }
    const QMap<qint64, QVariantList> live = sqlRows(path, "t");
    QCOMPARE(live.size(), 10);

    Sqlite3File file(path);
    file.openAndMap();
    const QList<Sqlite3FileTrunk> trunks = file.freelistTrunks();
    QVERIFY(trunks.size() >= 2);
    QCOMPARE(trunks.first().pageNumber, file.firstFreelistTrunk());
    int freePages = 0;
    QSet<qint64> recovered;
    for (const Sqlite3FileTrunk &t : trunks) {
        QVERIFY(t.leaves.size() <= perTrunk);
        freePages += 1 + int(t.leaves.size());
        for (qint32 n : t.leaves) {
            const Sqlite3FilePage page = file.readBtreePage(n);
            if (page.pageType != Sqlite3FilePage::LeafTable)
                continue;
            for (const uchar *c : page.cells) {
                const Sqlite3FileRow row = file.rowData(file.parseCell(page, c));
                QCOMPARE(row.values.size(), 3);
                QCOMPARE(row.values[2].toLongLong(), row.rowid);
                QVERIFY(row.values[1].toString().startsWith(QString("row %1 ").arg(row.rowid)));
                recovered.insert(row.rowid);
            }
        }
    }
    QCOMPARE(freePages, file.freelistPageCount());
    QVERIFY2(recovered.size() > rows / 2, qPrintable(QString::number(recovered.size())));
}

// ---------------------------------------------------------------- records

// Each storage class SQLite writes, read back with the type this system
// gives it.
void TestSqliteFile::decodesEveryStoredType()
{
    const QString path = m_dir.filePath("types.db");
    struct Case
    {
        const char *sql;
        QVariant expected;
        int typeId;
    };
    const QList<Case> cases {
            {"NULL", QVariant(), QMetaType::UnknownType},
            {"0", QVariant(0), QMetaType::Int},
            {"1", QVariant(1), QMetaType::Int},
            {"-1", QVariant(-1), QMetaType::Int},
            {"-200", QVariant(-200), QMetaType::Int},
            {"300", QVariant(300), QMetaType::Int},
            {"-8388608", QVariant(-8388608), QMetaType::Int},
            {"8388607", QVariant(8388607), QMetaType::Int},
            {"-2147483648", QVariant(-2147483647 - 1), QMetaType::Int},
            {"-140737488355328", QVariant(qint64(-140737488355328LL)), QMetaType::LongLong},
            {"140737488355327", QVariant(qint64(140737488355327LL)), QMetaType::LongLong},
            {"-9223372036854775808", QVariant(std::numeric_limits<qint64>::min()),
             QMetaType::LongLong},
            {"1.0e0 + 0.5", QVariant(1.5), QMetaType::Double},
            {"-2.25e300", QVariant(-2.25e300), QMetaType::Double},
            {"''", QVariant(QString("")), QMetaType::QString},
            {"x''", QVariant(QByteArray("")), QMetaType::QByteArray},
            {"'h\u00e9llo \U0001F600'", QVariant(QString("h\u00e9llo \U0001F600")),
             QMetaType::QString},
            {"x'00ff10'", QVariant(QByteArray::fromHex("00ff10")), QMetaType::QByteArray},
            // A text holding a zero byte ends there; the next value still
            // starts after the whole text.
            {"CAST(x'610062630064' AS TEXT)", QVariant(QString("a")), QMetaType::QString},
    };
    QStringList cols, values;
    for (int i = 0; i < cases.size(); ++i) {
        cols << QString("c%1").arg(i);
        values << cases[i].sql;
    }
    {
        auto db = createRecoverableDb(path, 1024);
        db->exec(QString("create table t(%1, tail text)").arg(cols.join(",")));
        db->exec(QString("insert into t values(%1, 'tail')").arg(values.join(",")));
    }
    Sqlite3File file(path);
    file.openAndMap();
    const Sqlite3FilePage leaf = file.readBtreePage(rootPage(path, "t"));
    const Sqlite3FileRow row = file.rowData(file.parseCell(leaf, leaf.cells.value(0)));
    QCOMPARE(row.rowid, qint64(1));
    QCOMPARE(row.values.size(), cases.size() + 1);
    for (int i = 0; i < cases.size(); ++i) {
        QVERIFY2(row.values[i].typeId() == cases[i].typeId, cases[i].sql);
        QVERIFY2(row.values[i] == cases[i].expected, cases[i].sql);
    }
    QCOMPARE(row.values.last(), QVariant(QString("tail")));
}

void TestSqliteFile::decodesCraftedRecords_data()
{
    QTest::addColumn<QList<quint64>>("types");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QVariantList>("expected");
    const quint64 negative = 0x8000000000000000ULL;
    QTest::newRow("no serial types")
            << QList<quint64> {} << QByteArray("ignored") << QVariantList {};
    QTest::newRow("reserved types 10 and 11 are NULL")
            << QList<quint64> {10, 11, 1} << QByteArray("\x05", 1)
            << QVariantList {QVariant(), QVariant(), 5};
    QTest::newRow("negative type is NULL and takes nothing")
            << QList<quint64> {negative, 1} << QByteArray("\x07", 1)
            << QVariantList {QVariant(), 7};
    QTest::newRow("8 and 9 take no bytes")
            << QList<quint64> {8, 9, 1} << QByteArray("\x2a", 1) << QVariantList {0, 1, 42};
    QTest::newRow("24-bit top bit set")
            << QList<quint64> {3} << QByteArray::fromHex("800001") << QVariantList {-8388607};
    QTest::newRow("48-bit negative") << QList<quint64> {5} << QByteArray::fromHex("fffffffffffe")
                                     << QVariantList {QVariant(qint64(-2))};
    QTest::newRow("real 1.0") << QList<quint64> {7} << QByteArray::fromHex("3ff0000000000000")
                              << QVariantList {1.0};
    QTest::newRow("empty blob and text") << QList<quint64> {12, 13} << QByteArray()
                                         << QVariantList {QByteArray(""), QString("")};
    QTest::newRow("text at the very end") << QList<quint64> {1, 13 + 2 * 3}
                                          << QByteArray("\x01xyz", 4) << QVariantList {1, "xyz"};
    QTest::newRow("fixed width past the end reads 0")
            << QList<quint64> {1, 4, 6} << QByteArray::fromHex("09aabb")
            << QVariantList {9, 0, QVariant(qint64(0))};
    QTest::newRow("text and blob cut at the end")
            << QList<quint64> {13 + 2 * 10, 12 + 2 * 10} << QByteArray("abc")
            << QVariantList {"abc", QByteArray()};
    QTest::newRow("huge blob cut at the end")
            << QList<quint64> {(quint64(1) << 62) + 12, 1} << QByteArray("xy")
            << QVariantList {QByteArray("xy"), 0};
    QTest::newRow("invalid UTF-8 does not stop the record")
            << QList<quint64> {13 + 2 * 2, 1} << QByteArray("\xff\xfe\x03", 3)
            << QVariantList {QString::fromUtf8("\xff\xfe", 2), 3};
}

// Records SQLite never writes, built byte by byte in a leaf cell.
void TestSqliteFile::decodesCraftedRecords()
{
    QFETCH(QList<quint64>, types);
    QFETCH(QByteArray, body);
    QFETCH(QVariantList, expected);
    SqliteImage img(512, 2);
    img.leafTablePage(2, {SqliteImage::tableCell(77, types, body)});
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const Sqlite3FilePage page = file.readBtreePage(2);
    const Sqlite3FileRow row = file.rowData(file.parseCell(page, page.cells.value(0)));
    QCOMPARE(row.rowid, qint64(77));
    QCOMPARE(row.values.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        QCOMPARE(row.values[i].typeId(), expected[i].typeId());
        QCOMPARE(row.values[i], expected[i]);
    }
}

void TestSqliteFile::recordWarnings()
{
    SqliteImage img(512, 2);
    QByteArray manyTypes(40000, '\0');
    img.leafTablePage(2,
                      {// header length varint cut: 0x81 with nothing after it
                       sqliteVarint(1) + sqliteVarint(1) + QByteArray("\x81", 1),
                       // a serial type cut by the end of the payload
                       sqliteVarint(3) + sqliteVarint(2) + QByteArray("\x05\x00\x81", 3),
                       // a well-formed record after the damaged ones
                       SqliteImage::tableCell(3, {1}, QByteArray("\x04", 1))});
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const Sqlite3FilePage page = file.readBtreePage(2);
    QCOMPARE(page.cells.size(), 3);
    QTest::ignoreMessage(QtWarningMsg, "Sqlite3File::rowData, read header length failed.");
    QCOMPARE(file.rowData(file.parseCell(page, page.cells[0])).values.size(), 0);
    QTest::ignoreMessage(QtWarningMsg, "Sqlite3File::rowData, read column type failed.");
    const Sqlite3FileRow cut = file.rowData(file.parseCell(page, page.cells[1]));
    QCOMPARE(cut.rowid, qint64(2));
    QCOMPARE(cut.values.size(), 0);
    QCOMPARE(file.rowData(file.parseCell(page, page.cells[2])).values, QVariantList {4});

    // A header of more serial types than any table can have columns.
    SqliteImage big(65536, 2);
    const QByteArray rec = sqliteVarint(40003) + manyTypes;
    big.leafTablePage(2, {sqliteVarint(quint64(rec.size())) + sqliteVarint(9) + rec});
    Sqlite3File bigFile("");
    bigFile.openBytes(big.bytes);
    const Sqlite3FilePage bigPage = bigFile.readBtreePage(2);
    const Sqlite3FileCell cell = bigFile.parseCell(bigPage, bigPage.cells.value(0));
    QCOMPARE(cell.payloadSize, qint64(rec.size()));
    QTest::ignoreMessage(QtWarningMsg, "Sqlite3File::rowData, too many columns.");
    QCOMPARE(bigFile.rowData(cell).values.size(), 0);
}

// ---------------------------------------------------------------- pages

void TestSqliteFile::pageEdges()
{
    SqliteImage img(512, 3);
    img.leafTablePage(2, {SqliteImage::tableCell(1, {1}, QByteArray("\x01", 1))});
    // Page 3: a freeblock chain 200 -> 300 -> (its offset is past the page)
    img.leafTablePage(3, {});
    img.put16(img.pageOffset(3) + 1, 200);
    img.put16(img.pageOffset(3) + 200, 300);
    img.put16(img.pageOffset(3) + 202, 10);
    img.put16(img.pageOffset(3) + 300, 600);
    img.put16(img.pageOffset(3) + 302, 10);
    // Truncate in the middle of page 3: a partial page is not counted.
    const QByteArray bytes = img.bytes.left(512 * 2 + 400);
    Sqlite3File file("");
    file.openBytes(bytes);
    QCOMPARE(file.pageCount(), 2);

    const Sqlite3FilePage zero = file.readBtreePage(0);
    QCOMPARE(zero.pageType, quint8(0));
    QCOMPARE(zero.pageNumber, 0);
    QVERIFY(zero.cells.isEmpty());
    QVERIFY(!zero.page);

    const Sqlite3FilePage one = file.readBtreePage(1);
    QCOMPARE(one.header - one.page, 100);
    QCOMPARE(one.pageType, quint8(13));
    QCOMPARE(one.cellContentStart, 512);

    const Sqlite3FilePage two = file.readBtreePage(2);
    QCOMPARE(two.header, two.page);
    QCOMPARE(two.page - file.mapBegin(), 512);

    // The partial page still reads up to the end of the file; the freeblock
    // whose offset lies past the page is listed and ends the chain.
    const Sqlite3FilePage three = file.readBtreePage(3);
    QCOMPARE(three.pageType, quint8(13));
    QCOMPARE(three.freeblocks.size(), 3);
    QCOMPARE(three.freeblocks[0] - three.page, 200);
    QCOMPARE(three.freeblocks[1] - three.page, 300);
    QCOMPARE(three.freeblocks[2], file.mapEnd());

    const Sqlite3FilePage past = file.readBtreePage(9);
    QCOMPARE(past.pageNumber, 9);
    QCOMPARE(past.pageType, quint8(0));
    QVERIFY(!past.page);
    QVERIFY(file.leafPages(past).isEmpty());

    // A trunk whose entries run past the end of the file lists 0 for each.
    SqliteImage t(512, 3);
    t.trunkPage(3, 0, {2, 2, 2, 2, 2, 2});
    Sqlite3File trunkFile("");
    trunkFile.openBytes(t.bytes.left(1024 + 8 + 4 * 4 + 2));
    QCOMPARE(trunkFile.readFreelistTrunk(3).leaves, (QList<qint32> {2, 2, 2, 2, 0, 0}));
    const Sqlite3FileTrunk none = trunkFile.readFreelistTrunk(0);
    QCOMPARE(none.pageNumber, 0);
    QVERIFY(!none.page);
    QVERIFY(none.leaves.isEmpty());
    QVERIFY(trunkFile.readFreelistTrunk(50).leaves.isEmpty());
}

void TestSqliteFile::walksBelowInteriorPages()
{
    // 2: interior (children 3, 4, right-most 5); 5: interior with no cells,
    // right-most 6; 3, 4, 6: leaves.
    SqliteImage img(512, 6);
    img.interiorTablePage(2, {{3, 10}, {4, 20}}, 5);
    img.interiorTablePage(5, {}, 6);
    for (int n : {3, 4, 6})
        img.leafTablePage(n, {SqliteImage::tableCell(n, {1}, QByteArray(1, char(n)))});
    Sqlite3File file("");
    file.openBytes(img.bytes);
    auto numbers = [](const QList<Sqlite3FilePage> &pages) {
        QList<int> out;
        for (const Sqlite3FilePage &p : pages)
            out.append(p.pageNumber);
        return out;
    };
    QCOMPARE(numbers(file.leafPages(file.readBtreePage(2))), (QList<int> {3, 4, 6}));
    QCOMPARE(numbers(file.allPages(file.readBtreePage(2))), (QList<int> {2, 3, 4, 5, 6}));
    // An interior page without cells leads to the leaves below its right-most child.
    QCOMPARE(numbers(file.leafPages(file.readBtreePage(5))), (QList<int> {6}));
    QCOMPARE(numbers(file.leafPages(file.readBtreePage(4))), (QList<int> {4}));
    const Sqlite3FilePage two = file.readBtreePage(2);
    QCOMPARE(two.rightMostPointer, 5);
    const Sqlite3FileCell c = file.parseCell(two, two.cells[1]);
    QCOMPARE(c.leftChild, 4);
    QCOMPARE(c.rowid, qint64(20));
    QCOMPARE(c.payloadSize, qint64(0));
}

// ---------------------------------------------------------------- damage

void TestSqliteFile::damagedFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // What must hold after a full sweep, beyond ending without a fault.
    QTest::addColumn<Check>("check");

    const int ps = 512;
    auto base = [] {
        SqliteImage img(512, 8);
        img.interiorTablePage(2, {{3, 5}, {4, 9}}, 5);
        for (int n : {3, 4, 5})
            img.leafTablePage(n,
                              {SqliteImage::tableCell(n, {13 + 2 * 5, 1}, "hello\x01"),
                               SqliteImage::tableCell(n + 100, {1}, "\x02")});
        img.trunkPage(6, 0, {7, 8});
        img.setFreelist(6, 3);
        return img;
    };
    auto noCheck = Check([](const Sqlite3File &) {});

    {
        SqliteImage img = base();
        img.trunkPage(6, 6, {7, 8});
        QTest::newRow("freelist trunk links to itself")
                << img.bytes
                << Check([](const Sqlite3File &f) { QCOMPARE(f.freelistTrunks().size(), 1); });
    }
    {
        SqliteImage img = base();
        img.trunkPage(6, 7, {});
        img.trunkPage(7, 8, {});
        img.trunkPage(8, 6, {});
        QTest::newRow("freelist trunks in a ring")
                << img.bytes
                << Check([](const Sqlite3File &f) { QCOMPARE(f.freelistTrunks().size(), 3); });
    }
    {
        SqliteImage img = base();
        img.put32(img.pageOffset(6) + 4, 0x7fffffff);
        QTest::newRow("trunk leaf count beyond its page")
                << img.bytes << Check([ps](const Sqlite3File &f) {
                       QCOMPARE(f.readFreelistTrunk(6).leaves.size(), ps / 4 - 2);
                   });
    }
    {
        SqliteImage img = base();
        img.put32(img.pageOffset(6) + 4, -5);
        QTest::newRow("negative trunk leaf count") << img.bytes << Check([](const Sqlite3File &f) {
            QVERIFY(f.readFreelistTrunk(6).leaves.isEmpty());
        });
    }
    {
        SqliteImage img = base();
        img.interiorTablePage(5, {{2, 1}, {5, 2}}, 2); // back to its parent and itself
        QTest::newRow("child pointers form a cycle")
                << img.bytes << Check([](const Sqlite3File &f) {
                       QCOMPARE(f.allPages(f.readBtreePage(2)).size(), 4);
                       QCOMPARE(f.leafPages(f.readBtreePage(2)).size(), 2);
                   });
    }
    {
        SqliteImage img = base();
        img.interiorTablePage(2, {{3, 5}, {3, 6}, {0, 7}, {-4, 8}, {99, 9}}, 3);
        QTest::newRow("children repeated, zero, negative, past the end")
                << img.bytes << Check([](const Sqlite3File &f) {
                       QCOMPARE(f.leafPages(f.readBtreePage(2)).size(), 1);
                   });
    }
    {
        SqliteImage img = base();
        img.put16(img.pageOffset(3) + 3, 0xffff);
        QTest::newRow("cell count beyond the page")
                << img.bytes << Check([ps](const Sqlite3File &f) {
                       QCOMPARE(f.readBtreePage(3).cells.size(), (ps - 8) / 2);
                   });
    }
    {
        SqliteImage img = base();
        img.put16(img.pageOffset(3) + 8, 0xffff);
        img.put16(img.pageOffset(3) + 10, 0x8000);
        QTest::newRow("cell pointers past the page") << img.bytes << noCheck;
    }
    {
        SqliteImage img = base();
        img.put16(img.pageOffset(1) + 100 + 3, 1);
        img.put16(img.pageOffset(1) + 100 + 8, 0xfff0);
        QTest::newRow("cell pointer of page 1 that a signed reading makes negative")
                << img.bytes << noCheck;
    }
    {
        SqliteImage img = base();
        img.put16(img.pageOffset(3) + 1, 300);
        img.put16(img.pageOffset(3) + 300, 300);
        img.put16(img.pageOffset(3) + 302, 50);
        QTest::newRow("freeblock links to itself") << img.bytes << Check([](const Sqlite3File &f) {
            QCOMPARE(f.readBtreePage(3).freeblocks.size(), 1);
        });
    }
    {
        SqliteImage img = base();
        img.put16(img.pageOffset(3) + 1, 300);
        img.put16(img.pageOffset(3) + 300, 200);
        img.put16(img.pageOffset(3) + 200, 300);
        img.put16(img.pageOffset(3) + 302, 0xffff);
        QTest::newRow("freeblocks link backwards, size past the page")
                << img.bytes << Check([](const Sqlite3File &f) {
                       QCOMPARE(f.readBtreePage(3).freeblocks.size(), 1);
                   });
    }
    {
        // A cell whose payload claims 2^62 bytes, on an overflow page that
        // names itself as the next page. On 512-byte pages its local part is
        // K = M + (P - M) mod (U - 4) = 39 + 25 = 64 bytes.
        SqliteImage img = base();
        const QByteArray cell = sqliteVarint(quint64(1) << 62) + sqliteVarint(1)
                + SqliteImage::record({12 + 2 * 1000}, QByteArray(61, 'x')) + be32(7);
        img.leafTablePage(4, {cell});
        img.put32(img.pageOffset(7), 7);
        QTest::newRow("huge payload on an overflow page that loops")
                << img.bytes << Check([](const Sqlite3File &f) {
                       const Sqlite3FilePage p = f.readBtreePage(4);
                       const Sqlite3FileCell c = f.parseCell(p, p.cells.value(0));
                       QCOMPARE(c.localSize, 64);
                       QCOMPARE(c.firstOverflow, 7);
                       QCOMPARE(int(f.cellPayload(c).size()), 64 + 508);
                   });
    }
    {
        SqliteImage img = base();
        // overflow chain 7 -> 8 -> 7 under a payload of 5000 bytes, whose
        // local part is 39 + (5000 - 39) mod 508 = 428 bytes
        const QByteArray cell = sqliteVarint(5000) + sqliteVarint(1)
                + SqliteImage::record({12 + 2 * 4997}, QByteArray(425, 'y')) + be32(7);
        img.leafTablePage(4, {cell});
        img.put32(img.pageOffset(7), 8);
        img.put32(img.pageOffset(8), 7);
        QTest::newRow("overflow chain in a ring") << img.bytes << Check([](const Sqlite3File &f) {
            const Sqlite3FilePage p = f.readBtreePage(4);
            const Sqlite3FileCell c = f.parseCell(p, p.cells.value(0));
            QCOMPARE(c.localSize, 428);
            QCOMPARE(c.firstOverflow, 7);
            QCOMPARE(int(f.cellPayload(c).size()), 428 + 2 * 508);
        });
    }
    {
        SqliteImage img = base();
        // the last cell of the file: varints that run to its end
        img.put16(img.pageOffset(8) + 0, 0); // page 8 becomes a leaf with one cell at 511
        img.leafTablePage(8, {});
        img.put16(img.pageOffset(8) + 3, 1);
        img.put16(img.pageOffset(8) + 8, 509);
        img.put(img.pageOffset(8) + 509, QByteArray("\xff\xff\xff", 3));
        QTest::newRow("varints running past the end of the file")
                << img.bytes << Check([](const Sqlite3File &f) {
                       const Sqlite3FilePage p = f.readBtreePage(8);
                       const Sqlite3FileCell c = f.parseCell(p, p.cells.value(0));
                       QCOMPARE(c.payloadSize, qint64(0));
                       QCOMPARE(c.rowid, qint64(0));
                       QCOMPARE(c.payload - p.page, 509); // nothing read, nothing taken
                   });
    }
    {
        SqliteImage img = base();
        // a record header length of 2^40 over a short payload
        img.leafTablePage(3,
                          {sqliteVarint(8) + sqliteVarint(1) + sqliteVarint(quint64(1) << 40)
                           + QByteArray(2, '\x01')});
        QTest::newRow("record header longer than its payload") << img.bytes << noCheck;
    }
    {
        SqliteImage img = base();
        // a page type byte of 0x08: bit 3 set, yet no b-tree page
        img.put8(img.pageOffset(5), 0x08);
        QTest::newRow("unknown page type below an interior page")
                << img.bytes << Check([](const Sqlite3File &f) {
                       const Sqlite3FilePage p = f.readBtreePage(5);
                       QVERIFY(!p.isBtreePage());
                       QVERIFY(p.cells.isEmpty());
                   });
    }
    QTest::newRow("cut inside page 3") << base().bytes.left(2 * 512 + 77) << noCheck;
    QTest::newRow("cut inside the header") << base().bytes.left(60) << noCheck;
    {
        SqliteImage img = base();
        img.put8(20, 250); // reserved bytes that would leave too little of a page
        QTest::newRow("reserved bytes beyond reason")
                << img.bytes << Check([ps](const Sqlite3File &f) { QCOMPARE(f.usableSize(), ps); });
    }
}

// Damaged and crafted files: every reader ends, reads only the file's bytes
// (the sanitizers watch each read) and allocates no more than the file holds.
void TestSqliteFile::damagedFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(Check, check);
    // A copy of exactly the file's bytes, so that a read past them is caught.
    char *raw = new char[bytes.size()];
    std::memcpy(raw, bytes.constData(), size_t(bytes.size()));
    {
        Sqlite3File file("");
        QCOMPARE(file.openBytes(QByteArray::fromRawData(raw, bytes.size())), 512);
        QElapsedTimer t;
        t.start();
        const SqliteSweep s = sweepSqliteFile(file);
        QVERIFY(t.elapsed() < 20000);
        QVERIFY(s.payloadBytes <= qint64(s.cells) * bytes.size());
        check(file);
    }
    delete[] raw;
}

// A chain of interior pages as long as the file, each the only child of the
// one before: the walks do not recurse once per level.
void TestSqliteFile::deepChainOfInteriorPages()
{
    const int pages = 60000;
    SqliteImage img(512, pages);
    for (int n = 2; n < pages; ++n) {
        const qint64 off = img.pageOffset(n);
        img.put8(off, 5);
        img.put16(off + 5, 512);
        img.put32(off + 8, n + 1);
    }
    img.leafTablePage(pages, {SqliteImage::tableCell(1, {1}, QByteArray("\x01", 1))});
    Sqlite3File file("");
    file.openBytes(img.bytes);
    QCOMPARE(file.allPages(file.readBtreePage(2)).size(), pages - 1);
    const QList<Sqlite3FilePage> leaves = file.leafPages(file.readBtreePage(2));
    QCOMPARE(leaves.size(), 1);
    QCOMPARE(leaves[0].pageNumber, pages);
}

// A thousand cells that all send their payload down the same chain of 100
// overflow pages: the first gets its payload whole; together they gather no
// more than eight times the file plus 32 MiB, not a thousand times the chain.
void TestSqliteFile::cellsSharingOneOverflowChain()
{
    const int leaves = 100, chain = 100, perLeaf = 10;
    SqliteImage img(512, 1 + leaves + chain);
    const int firstChainPage = 2 + leaves;
    for (int i = 0; i < chain; ++i)
        img.put32(img.pageOffset(firstChainPage + i), i + 1 < chain ? firstChainPage + i + 1 : 0);
    // A payload of 39 + 100 * 508 bytes keeps K = 39 + 0 = 39 bytes local.
    const qint64 payload = 39 + qint64(chain) * 508;
    for (int n = 2; n < firstChainPage; ++n) {
        QList<QByteArray> cells;
        for (int c = 0; c < perLeaf; ++c)
            cells << sqliteVarint(quint64(payload)) + sqliteVarint(quint64(n * perLeaf + c))
                            + QByteArray(39, 'l') + be32(firstChainPage);
        img.leafTablePage(n, cells);
    }
    Sqlite3File file("");
    file.openBytes(img.bytes);
    qint64 gathered = 0;
    bool first = true;
    for (int n = 2; n < firstChainPage; ++n) {
        const Sqlite3FilePage page = file.readBtreePage(n);
        QCOMPARE(int(page.cells.size()), perLeaf);
        for (const uchar *c : page.cells) {
            const Sqlite3FileCell cell = file.parseCell(page, c);
            QCOMPARE(cell.localSize, 39);
            QCOMPARE(cell.firstOverflow, firstChainPage);
            const qint64 size = file.cellPayload(cell).size();
            if (first)
                QCOMPARE(size, payload);
            first = false;
            gathered += size - 39;
        }
    }
    QVERIFY(gathered <= 8 * img.bytes.size() + (32 << 20));
    QVERIFY(gathered >= 8 * img.bytes.size()); // the cap, not a chain cut short
}

QTEST_GUILESS_MAIN(TestSqliteFile)
#include "tst_sqlitefile.moc"
