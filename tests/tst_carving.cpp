// Carving deleted records out of free pages, freeblocks and the unallocated
// space of pages: the matching rules on hand-made bytes, and recovery of rows
// deleted from real databases shaped like a phone's message tables.

#include "recovery/sqlite3file.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/sqlitebytes.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const uchar *u(const QByteArray &b)
{
    return reinterpret_cast<const uchar *>(b.constData());
}

QByteArray be32(qint32 v)
{
    QByteArray b(4, '\0');
    for (int i = 0; i < 4; ++i)
        b[i] = char((v >> (24 - 8 * i)) & 0xff);
    return b;
}

// The message table of a phone's sms.db up to was_deduplicated, as
// (name, declaration) pairs; the first is the rowid alias.
struct ColumnDecl
{
    const char *name;
    const char *decl;
};
const QList<ColumnDecl> kMessageColumns {
        {"ROWID", "INTEGER PRIMARY KEY AUTOINCREMENT"},
        {"guid", "TEXT UNIQUE NOT NULL"},
        {"text", "TEXT"},
        {"replace", "INTEGER DEFAULT 0"},
        {"service_center", "TEXT"},
        {"handle_id", "INTEGER DEFAULT 0"},
        {"subject", "TEXT"},
        {"country", "TEXT"},
        {"attributedBody", "BLOB"},
        {"version", "INTEGER DEFAULT 0"},
        {"type", "INTEGER DEFAULT 0"},
        {"service", "TEXT"},
        {"account", "TEXT"},
        {"account_guid", "TEXT"},
        {"error", "INTEGER DEFAULT 0"},
        {"date", "INTEGER"},
        {"date_read", "INTEGER"},
        {"date_delivered", "INTEGER"},
        {"is_delivered", "INTEGER DEFAULT 0"},
        {"is_finished", "INTEGER DEFAULT 0"},
        {"is_emote", "INTEGER DEFAULT 0"},
        {"is_from_me", "INTEGER DEFAULT 0"},
        {"is_empty", "INTEGER DEFAULT 0"},
        {"is_delayed", "INTEGER DEFAULT 0"},
        {"is_auto_reply", "INTEGER DEFAULT 0"},
        {"is_prepared", "INTEGER DEFAULT 0"},
        {"is_read", "INTEGER DEFAULT 0"},
        {"is_system_message", "INTEGER DEFAULT 0"},
        {"is_sent", "INTEGER DEFAULT 0"},
        {"has_dd_results", "INTEGER DEFAULT 0"},
        {"is_service_message", "INTEGER DEFAULT 0"},
        {"is_forward", "INTEGER DEFAULT 0"},
        {"was_downgraded", "INTEGER DEFAULT 0"},
        {"is_archive", "INTEGER DEFAULT 0"},
        {"cache_has_attachments", "INTEGER DEFAULT 0"},
        {"cache_roomnames", "TEXT"},
        {"was_data_detected", "INTEGER DEFAULT 0"},
        {"was_deduplicated", "INTEGER DEFAULT 0"},
};

QString messageTableSql()
{
    QStringList cols;
    for (const ColumnDecl &c : kMessageColumns)
        cols << QString("%1 %2").arg(c.name, c.decl);
    return QString("CREATE TABLE message (%1);").arg(cols.join(", "));
}

// The carving column list of the same table: the declared type and the
// not-null, default and primary-key flags.
QList<_SqliteCol> messageColumns()
{
    QList<_SqliteCol> out;
    for (const ColumnDecl &c : kMessageColumns) {
        const QString d = c.decl;
        out.append(_SqliteCol(c.name, d.section(' ', 0, 0), d.contains("NOT NULL"),
                              d.contains("DEFAULT"), d.contains("PRIMARY KEY")));
    }
    return out;
}

QList<_SqliteCol> handleColumns()
{
    return {{"ROWID", "INTEGER", false, false, true},
            {"id", "TEXT", true, false, false},
            {"country", "TEXT", false, false, false},
            {"service", "TEXT", true, false, false},
            {"uncanonicalized_id", "TEXT", false, false, false}};
}

const char *kHandleTableSql
        = "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, "
          "country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, UNIQUE (id, service));";

bool isService(const QVariant &v)
{
    const QString s = v.toString();
    return s.compare("SMS", Qt::CaseInsensitive) == 0
            || s.compare("iMessage", Qt::CaseInsensitive) == 0;
}

// The filters the scans use.
bool messageRow(const Sqlite3FileRow *r)
{
    return r->values.size() > 37 && isService(r->values[11]);
}

bool handleRow(const Sqlite3FileRow *r)
{
    return r->values.size() > 4 && isService(r->values[3]);
}

bool sameValue(const QVariant &decoded, const QVariant &sql)
{
    if (!sql.isValid() || sql.isNull())
        return !decoded.isValid();
    switch (sql.typeId()) {
    case QMetaType::QByteArray:
        return decoded.typeId() == QMetaType::QByteArray
                && decoded.toByteArray() == sql.toByteArray();
    case QMetaType::QString:
        return decoded.typeId() == QMetaType::QString && decoded.toString() == sql.toString();
    default:
        return decoded.toLongLong() == sql.toLongLong();
    }
}

// Rows of a table as SQLite reads them, keyed by rowid; the alias column
// comes back as NULL, as a record holds it.
QMap<qint64, QVariantList> tableRows(RawSqlite &db, const QString &table)
{
    QMap<qint64, QVariantList> out;
    for (QVariantList r : db.rows(QString("select rowid, * from %1").arg(table))) {
        const qint64 id = r.takeFirst().toLongLong();
        r[0] = QVariant();
        out.insert(id, r);
    }
    return out;
}

// Rows recovered the way the scans do it: the cells of table leaves that
// went to the freelist whole are decoded; then the free space of the table's
// live leaves and every page on the freelist is carved, each with the
// carving its kind takes.
QList<Sqlite3FileRow> recoverRows(const Sqlite3File &file, int root, const QList<_SqliteCol> &cols,
                                  const Sqlite3RowFilter &filter)
{
    QList<Sqlite3FileRow> rows;
    QList<qint32> pages;
    for (const Sqlite3FileTrunk &t : file.freelistTrunks()) {
        pages.append(t.pageNumber);
        for (qint32 n : t.leaves) {
            const Sqlite3FilePage page = file.readBtreePage(n);
            if (!page.isBtreePage()) {
                pages.append(n);
                continue;
            }
            for (const Sqlite3FilePage &leaf : file.leafPages(page)) {
                pages.append(leaf.pageNumber);
                if (leaf.pageType != Sqlite3FilePage::LeafTable)
                    continue;
                for (const uchar *c : leaf.cells) {
                    const Sqlite3FileRow row = file.rowData(file.parseCell(leaf, c));
                    if (filter(&row))
                        rows.append(row);
                }
            }
        }
    }
    for (const Sqlite3FilePage &leaf : file.leafPages(file.readBtreePage(root)))
        pages.append(leaf.pageNumber);
    for (qint32 n : pages) {
        const Sqlite3FilePage page = file.readBtreePage(n);
        rows += page.isBtreePage() ? file.carveFreeSpace(cols, 0, page, filter)
                                   : file.carvePage(cols, 0, n, 0, filter);
    }
    return rows;
}

} // namespace

class TestCarving : public QObject
{
    Q_OBJECT

private slots:
    void matchRules_data();
    void matchRules();
    void searchSteps();
    void emptyAndShortRanges();
    void tooFewColumns();
    void prefixBytes();
    void freeSpaceOfCraftedPages();
    void hostileCandidates_data();
    void hostileCandidates();

    void pageOfMatchingCandidates();
    void deletedMessages_data();
    void deletedMessages();
    void deletedHandles();
    void rowidsOfIntactCells();
    void overflowingDeletedMessage();
    void recordsOlderThanTheirColumns();
    void handlesOlderThanAnAddedColumn();

private:
    QTemporaryDir m_dir;
};

// ---------------------------------------------------------------- rules

void TestCarving::matchRules_data()
{
    // Columns: ROWID, c1 (declared type and flags below), c2 TEXT NOT NULL.
    // Bytes: c1's serial type, c2's serial type (text of 2), c1's content,
    // c2's content "\x02\x02". The bytes are chosen so that no other
    // position starts a match ('b' is even: a blob type).
    QTest::addColumn<QString>("type");
    QTest::addColumn<int>("flags"); // 1 not null, 2 default, 4 primary key
    QTest::addColumn<QByteArray>("c1"); // serial type varint + content
    QTest::addColumn<bool>("fits");
    QTest::addColumn<QVariant>("value");

    const QByteArray null = sqliteVarint(0);
    auto typed = [](quint64 t, const QByteArray &content) { return sqliteVarint(t) + content; };
    QTest::newRow("NULL, no flags") << "TEXT" << 0 << null << true << QVariant();
    QTest::newRow("NULL, not null") << "TEXT" << 1 << null << false << QVariant();
    QTest::newRow("NULL, default") << "INTEGER" << 2 << null << false << QVariant();
    QTest::newRow("NULL, primary key") << "INTEGER" << 4 << null << false << QVariant();
    QTest::newRow("integer 1 byte") << "INTEGER" << 2 << typed(1, "\x05") << true << QVariant(5);
    QTest::newRow("integer 2 bytes")
            << "INTEGER" << 0 << typed(2, QByteArray("\x01\x00", 2)) << true << QVariant(256);
    QTest::newRow("integer 3 bytes")
            << "INTEGER" << 0 << typed(3, QByteArray("\xff\xff\xfe", 3)) << true << QVariant(-2);
    QTest::newRow("integer 4 bytes")
            << "INTEGER" << 0 << typed(4, QByteArray("\x00\x01\x00\x00", 4)) << true
            << QVariant(65536);
    QTest::newRow("integer 6 bytes")
            << "INTEGER" << 0 << typed(5, QByteArray("\x00\x01\x00\x00\x00\x00", 6)) << true
            << QVariant(qint64(1) << 32);
    QTest::newRow("integer 8 bytes")
            << "INTEGER" << 0 << typed(6, QByteArray("\x01\x00\x00\x00\x00\x00\x00\x00", 8)) << true
            << QVariant(qint64(1) << 56);
    QTest::newRow("integer 0") << "INTEGER" << 2 << typed(8, {}) << true << QVariant(0);
    QTest::newRow("integer 1") << "INTEGER" << 2 << typed(9, {}) << true << QVariant(1);
    QTest::newRow("integer column, text")
            << "INTEGER" << 0 << typed(15, "b") << false << QVariant();
    QTest::newRow("integer column, blob")
            << "INTEGER" << 0 << typed(14, "b") << false << QVariant();
    QTest::newRow("text") << "TEXT" << 0 << typed(15, "b") << true << QVariant("b");
    QTest::newRow("empty text") << "TEXT" << 1 << typed(13, {}) << true << QVariant("");
    QTest::newRow("text column, blob") << "TEXT" << 0 << typed(14, "b") << false << QVariant();
    QTest::newRow("text column, integer") << "TEXT" << 0 << typed(1, "\x01") << false << QVariant();
    QTest::newRow("text column, 0") << "TEXT" << 0 << typed(8, {}) << false << QVariant();
    QTest::newRow("text column, real")
            << "TEXT" << 0 << typed(7, QByteArray(8, '\0')) << false << QVariant();
    QTest::newRow("reserved 10 fits anything")
            << "TEXT" << 1 << typed(10, {}) << true << QVariant();
    QTest::newRow("reserved 11 fits anything")
            << "BLOB" << 1 << typed(11, {}) << true << QVariant();
    QTest::newRow("negative type fits anything")
            << "INTEGER" << 1 << sqliteVarint(quint64(-1)) << true << QVariant();
    QTest::newRow("blob") << "BLOB" << 0 << typed(16, "\x01\x02") << true
                          << QVariant(QByteArray("\x01\x02"));
    QTest::newRow("empty blob") << "BLOB" << 0 << typed(12, {}) << true << QVariant(QByteArray());
    QTest::newRow("blob column, text") << "BLOB" << 0 << typed(15, "b") << false << QVariant();
    // An INTEGER column has numeric affinity, so a real fits it.
    QTest::newRow("integer column, real")
            << "INTEGER" << 0 << typed(7, QByteArray::fromHex("3ff0000000000000")) << true
            << QVariant(1.0);
    QTest::newRow("real column, real")
            << "REAL" << 0 << typed(7, QByteArray::fromHex("bff0000000000000")) << true
            << QVariant(-1.0);
}

void TestCarving::matchRules()
{
    QFETCH(QString, type);
    QFETCH(int, flags);
    QFETCH(QByteArray, c1);
    QFETCH(bool, fits);
    QFETCH(QVariant, value);
    const QList<_SqliteCol> cols {{"ROWID", "INTEGER", false, false, true},
                                  {"c1", type, bool(flags & 1), bool(flags & 2), bool(flags & 4)},
                                  {"c2", "TEXT", true, false, false}};
    qint64 t = 0;
    const int typeLen = readVarint(t, u(c1), u(c1) + c1.size());
    const QByteArray region = c1.left(typeLen) + sqliteVarint(17) + c1.mid(typeLen) + "\x02\x02";
    SqliteImage img(512, 2);
    img.put(img.pageOffset(2) + 100, region);
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const uchar *start = file.mapBegin() + img.pageOffset(2) + 100;
    const QList<Sqlite3FileRow> rows
            = file.carveRecords(cols, 0, 512, start, start + region.size(), {});
    if (!fits) {
        QCOMPARE(rows.size(), 0);
        return;
    }
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].values.size(), 3);
    QVERIFY(!rows[0].values[0].isValid());
    QCOMPARE(rows[0].values[1].typeId(), value.typeId());
    QCOMPARE(rows[0].values[1], value);
    QCOMPARE(rows[0].values[2], QVariant(QString("\x02\x02")));
    QCOMPARE(rows[0].rowid, qint64(0)); // nothing of the cell before it
}

// After a kept row the search goes on 4 bytes past its body; after a row the
// filter rejects, at the next byte.
void TestCarving::searchSteps()
{
    const QList<_SqliteCol> text {{"ROWID", "INTEGER", false, false, true},
                                  {"a", "TEXT", true, false, false}};
    auto carve = [&](const QByteArray &region, const Sqlite3RowFilter &filter) {
        SqliteImage img(512, 2);
        img.put(img.pageOffset(2), region);
        Sqlite3File file("");
        file.openBytes(img.bytes);
        const uchar *start = file.mapBegin() + img.pageOffset(2);
        QStringList out;
        for (const Sqlite3FileRow &r :
             file.carveRecords(text, 0, 512, start, start + region.size(), filter))
            out << r.values.value(1).toString();
        return out;
    };
    // Letters of even codes cannot start a text candidate of their own.
    const QByteArray x = "\x13"
                         "abc";
    const QByteArray y = "\x13"
                         "bdf";
    QCOMPARE(carve(x + QByteArray(4, '\0') + y, {}), (QStringList {"abc", "bdf"}));
    QCOMPARE(carve(x + QByteArray(3, '\0') + y, {}), (QStringList {"abc"}));
    const Sqlite3RowFilter onlyY
            = [](const Sqlite3FileRow *r) { return r->values.value(1).toString() == "bdf"; };
    QCOMPARE(carve(x + QByteArray(3, '\0') + y, onlyY), (QStringList {"bdf"}));

    // A candidate inside another one's body: skipped after a kept row, found
    // when the outer one is rejected.
    const QByteArray nested = QByteArray("\x11\x0f"
                                         "Z",
                                         3);
    QCOMPARE(carve(nested, {}),
             (QStringList {"\x0f"
                           "Z"}));
    const Sqlite3RowFilter notOuter = [](const Sqlite3FileRow *r) {
        return r->values.value(1).toString()
                != "\x0f"
                   "Z";
    };
    QCOMPARE(carve(nested, notOuter), (QStringList {"Z"}));
}

void TestCarving::emptyAndShortRanges()
{
    const QList<_SqliteCol> cols = handleColumns();
    SqliteImage img(512, 2);
    img.put(img.pageOffset(2), QByteArray("\x81", 1));
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const uchar *p = file.mapBegin() + img.pageOffset(2);
    QVERIFY(file.carveRecords(cols, 0, 512, p, p, {}).isEmpty());
    QVERIFY(file.carveRecords(cols, 0, 512, p + 5, p, {}).isEmpty());
    QVERIFY(file.carveRecords(cols, 0, 512, p, p + 1, {}).isEmpty()); // a cut varint
    QVERIFY(file.carveRecords(cols, 0, 512, nullptr, p, {}).isEmpty());
    QVERIFY(file.carvePage(cols, 0, 0, 0, {}).isEmpty());
    QVERIFY(file.carvePage(cols, 0, -3, 0, {}).isEmpty());
    QVERIFY(file.carvePage(cols, 0, 99, 0, {}).isEmpty());
    // A range reaching past the mapping is cut at its end.
    const QByteArray rec = sqliteVarint(19) + sqliteVarint(0) + sqliteVarint(19) + sqliteVarint(0)
            + "idx"
              "SMS";
    SqliteImage tail(512, 2);
    tail.put(tail.bytes.size() - rec.size(), rec);
    Sqlite3File tailFile("");
    tailFile.openBytes(tail.bytes);
    const QList<Sqlite3FileRow> rows = tailFile.carveRecords(
            cols, 0, 512, tailFile.mapEnd() - rec.size(), tailFile.mapEnd() + 4096, {});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].values.value(1).toString(), QString("idx"));
    QCOMPARE(rows[0].values.value(3).toString(), QString("SMS"));
}

void TestCarving::tooFewColumns()
{
    SqliteImage img(512, 2);
    Sqlite3File file("");
    file.openBytes(img.bytes);
    // Said once per call, not once per byte tried.
    QTest::ignoreMessage(QtWarningMsg, "tbCols size < 2.");
    QTest::failOnWarning(QRegularExpression("tbCols"));
    QVERIFY(file.carvePage({{"ROWID", "INTEGER", false, false, true}}, 0, 2, 0, {}).isEmpty());
}

void TestCarving::prefixBytes()
{
    const QList<_SqliteCol> cols {{"ROWID", "INTEGER", false, false, true},
                                  {"a", "TEXT", true, false, false},
                                  {"b", "INTEGER", true, false, false}};
    const QByteArray region = sqliteVarint(19) + sqliteVarint(1)
            + "PPabc"
              "\x07";
    SqliteImage img(512, 2);
    img.put(img.pageOffset(2) + 50, region);
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const uchar *p = file.mapBegin() + img.pageOffset(2) + 50;
    const QList<Sqlite3FileRow> rows = file.carveRecords(cols, 2, 512, p, p + region.size(), {});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].values, (QVariantList {QByteArray("PP"), QString("abc"), 7}));
    // Without the prefix the same bytes decode shifted.
    const QList<Sqlite3FileRow> plain = file.carveRecords(cols, 0, 512, p, p + region.size(), {});
    QCOMPARE(plain.value(0).values.value(1).toString(), QString("PPa"));
}

// The free space of a leaf page is the gap before its cell content and its
// freeblocks; live cells are not carved. Any other page is carved from byte
// 8 to its end.
void TestCarving::freeSpaceOfCraftedPages()
{
    const QList<_SqliteCol> cols = handleColumns();
    auto handle = [](const QByteArray &id) {
        return SqliteImage::record({0, 13 + 2 * quint64(id.size()), 0, 19, 0}, id + "SMS");
    };
    SqliteImage img(1024, 3);
    // Page 2: one live cell at the end and the cell content from 550; a
    // stale cell in the gap before it; a record in a freeblock at 600 (link
    // 0, size 60) whose cell header the freeblock's link and size overwrote;
    // another record at 700, in the content area but in no freeblock.
    img.leafTablePage(2, {SqliteImage::tableCell(1, {0, 21, 0, 19, 0}, "liveSMS")});
    const qint64 p2 = img.pageOffset(2);
    img.put16(p2 + 5, 550);
    img.put(p2 + 200,
            sqliteVarint(quint64(handle("gap1").size())) + sqliteVarint(42) + handle("gap1"));
    img.put16(p2 + 1, 600);
    img.put(p2 + 600, QByteArray(4, '\0'));
    img.put16(p2 + 602, 60);
    img.put(p2 + 604, handle("free1").mid(1));
    img.put(p2 + 700, handle("beyond-the-block").mid(1)); // neither gap nor freeblock
    // Page 3: an interior page, carved after its first 8 bytes.
    img.interiorTablePage(3, {}, 2);
    img.put(img.pageOffset(3) + 12, handle("inner").mid(1));

    Sqlite3File file("");
    file.openBytes(img.bytes);
    const Sqlite3FilePage leaf = file.readBtreePage(2);
    QCOMPARE(leaf.freeblocks.size(), 1);
    QStringList ids;
    QList<qint64> rowids;
    for (const Sqlite3FileRow &r : file.carveFreeSpace(cols, 0, leaf, handleRow)) {
        ids << r.values.value(1).toString();
        rowids << r.rowid;
    }
    QCOMPARE(ids, (QStringList {"gap1", "free1"}));
    // The gap kept the cell's payload size and rowid; the freeblock did not.
    QCOMPARE(rowids, (QList<qint64> {42, 0}));

    ids.clear();
    for (const Sqlite3FileRow &r : file.carveFreeSpace(cols, 0, file.readBtreePage(3), handleRow))
        ids << r.values.value(1).toString();
    QCOMPARE(ids, (QStringList {"inner"}));
}

void TestCarving::hostileCandidates_data()
{
    QTest::addColumn<QByteArray>("region");
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("localBytes"); // of column a, before its overflow pages
    QTest::addColumn<int>("overflowBytes");
    const QByteArray huge = sqliteVarint((quint64(1) << 62) + 12);
    // Blob columns of 2^61 bytes each: their sum passes 64 bits.
    QTest::newRow("content sizes beyond 64 bits")
            << huge + huge + huge + huge + "xyz" << 0 << 0 << 0;
    QTest::newRow("body larger than the file") << sqliteVarint(12 + 2 * 100000) + sqliteVarint(12)
                    + sqliteVarint(12) + sqliteVarint(12)
                    + "abc" << 0 << 0 << 0;
    // Records of more than usable - 35 bytes of payload overflow. A 600-byte
    // blob with 7 header bytes is a payload of 607 bytes; on 512-byte pages
    // its local part is K = 39 + (607 - 39) mod 508 = 99 bytes: the header
    // and 92 bytes of the blob, then the first overflow page number.
    const QByteArray overflow
            = sqliteVarint(12 + 2 * 600) + sqliteVarint(12) + sqliteVarint(12) + sqliteVarint(12);
    const QByteArray local(92, 'L');
    QTest::newRow("overflow page 0") << overflow + local + be32(0) << 0 << 0 << 0;
    QTest::newRow("overflow page 1") << overflow + local + be32(1) << 0 << 0 << 0;
    QTest::newRow("overflow page past the file") << overflow + local + be32(99) << 0 << 0 << 0;
    QTest::newRow("overflow page number cut")
            << overflow + local + QByteArray(2, '\0') << 0 << 0 << 0;
    QTest::newRow("one overflow page") << overflow + local + be32(3) << 1 << 92 << 508;
    // 1200 bytes: payload 1207, local part 39 + 1168 mod 508 = 191 bytes, 184
    // of them the blob's; the two overflow pages it needs are page 3 twice.
    const QByteArray ring
            = sqliteVarint(12 + 2 * 1200) + sqliteVarint(12) + sqliteVarint(12) + sqliteVarint(12);
    QTest::newRow("overflow chain comes back")
            << ring + QByteArray(184, 'L') + be32(3) << 1 << 184 << 508;
}

// Candidates whose sizes or overflow pages cannot be right are dropped, and
// none makes the carving read or gather more than the file holds.
void TestCarving::hostileCandidates()
{
    QFETCH(QByteArray, region);
    QFETCH(int, rows);
    QFETCH(int, localBytes);
    QFETCH(int, overflowBytes);
    const QList<_SqliteCol> cols {{"ROWID", "INTEGER", false, false, true},
                                  {"a", "BLOB", true, false, false},
                                  {"b", "BLOB", true, false, false},
                                  {"c", "BLOB", true, false, false},
                                  {"d", "BLOB", true, false, false}};
    SqliteImage img(512, 3);
    img.put(img.pageOffset(2), region);
    img.put32(img.pageOffset(3), 3); // page 3 names itself as the next page
    img.put(img.pageOffset(3) + 4, QByteArray(508, 'O'));
    Sqlite3File file("");
    file.openBytes(img.bytes);
    const uchar *p = file.mapBegin() + img.pageOffset(2);
    // Short chance matches inside the bytes are of no interest here.
    const Sqlite3RowFilter large = [](const Sqlite3FileRow *r) {
        return r->values.value(1).toByteArray().size() >= 500;
    };
    const QList<Sqlite3FileRow> found
            = file.carveRecords(cols, 0, 512, p, p + region.size(), large);
    QCOMPARE(int(found.size()), rows);
    for (const Sqlite3FileRow &r : found) {
        const QByteArray a = r.values.value(1).toByteArray();
        QCOMPARE(a, QByteArray(localBytes, 'L') + QByteArray(overflowBytes, 'O'));
        QCOMPARE(r.values.value(2).toByteArray(), QByteArray());
    }
}

// A crafted page on which every byte starts a candidate whose serial types
// all fit and whose body fills most of the page: the carving's work stays
// in proportion to the page, not to its square.
void TestCarving::pageOfMatchingCandidates()
{
    SqliteImage img(65536, 2);
    // 0x81 0xfa 0x0d: a text of 16000 bytes; inside it, 0xfa 0x0d a text of
    // 7808 and 0x0d an empty one. Every position reads as four texts.
    const QByteArray pattern("\x81\xfa\x0d", 3);
    img.put(img.pageOffset(2), pattern.repeated(65535 / 3));
    const QList<_SqliteCol> cols {{"ROWID", "INTEGER", false, false, true},
                                  {"a", "TEXT", true, false, false},
                                  {"b", "TEXT", true, false, false},
                                  {"c", "TEXT", true, false, false},
                                  {"d", "TEXT", true, false, false}};
    Sqlite3File file("");
    file.openBytes(img.bytes);
    int offered = 0;
    const Sqlite3RowFilter none = [&offered](const Sqlite3FileRow *) {
        ++offered;
        return false;
    };
    QElapsedTimer t;
    t.start();
    QVERIFY(file.carvePage(cols, 0, 2, 0, none).isEmpty());
    QVERIFY(offered > 0);
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
}

// ---------------------------------------------------------------- real files

void TestCarving::deletedMessages_data()
{
    QTest::addColumn<int>("pageSize");
    for (int size : {512, 1024, 4096, 8192})
        QTest::addRow("%d", size) << size;
}

// Messages deleted from a phone-shaped table come back whole from the free
// space of its leaves and from freed pages; nothing half-read is carved.
// Free space also holds stale copies of live rows that page rebuilds left
// behind; they come back as they were.
void TestCarving::deletedMessages()
{
    QFETCH(int, pageSize);
    const QString path = m_dir.filePath(QString("messages-%1.db").arg(pageSize));
    auto db = createRecoverableDb(path, pageSize);
    db->exec(QString(kHandleTableSql) + messageTableSql());
    const int count = 300;
    db->exec("BEGIN");
    for (int i = 1; i <= count; ++i) {
        QString text = QString("message %1 says ").arg(i) + QString("%1 ").arg(i).repeated(i % 23);
        if (i % 25 == 0)
            text += QString(pageSize * 2, QChar(0x263a)); // spills onto overflow pages
        db->run("insert into message(guid, text, handle_id, attributedBody, service, account, "
                "account_guid, date, date_read, is_from_me, is_read, cache_roomnames) "
                "values(?,?,?,?,?,?,?,?,?,?,?,?)",
                {QString("A1B2C3D4-0000-0000-0000-%1").arg(i, 12, 10, QChar('0')), text, 1 + i % 7,
                 i % 4 == 0 ? QVariant(QByteArray(30 + i % 50, char(i))) : QVariant(),
                 i % 3 ? "SMS" : "iMessage", "e:", QVariant(), qint64(380000000) + 3600 * i,
                 i % 2 ? QVariant(qint64(380000000) + 3600 * i + 60) : QVariant(), i % 2, 1,
                 i % 10 == 0 ? QVariant("chat12345") : QVariant()});
    }
    db->exec("COMMIT");
    const QMap<qint64, QVariantList> before = tableRows(*db, "message");
    // Some whole pages go to the freelist first, so that pages freed by the
    // deletes become its leaves rather than its trunks.
    db->exec("create table filler(x); insert into filler select zeroblob(100) from "
             "(with recursive n(i) as (select 1 union all select i+1 from n where i < 20) "
             "select i from n); drop table filler;");
    db->exec("delete from message where rowid % 3 = 0");
    const QMap<qint64, QVariantList> after = tableRows(*db, "message");
    const int root = db->scalar("select rootpage from sqlite_master where name='message'").toInt();
    db->close();

    Sqlite3File file(path);
    file.openAndMap();
    const QList<Sqlite3FileRow> carved = recoverRows(file, root, messageColumns(), messageRow);
    QSet<qint64> found;
    for (const Sqlite3FileRow &r : carved) {
        QCOMPARE(r.values.size(), kMessageColumns.size());
        const qint64 id = r.values[1].toString().right(12).toLongLong();
        QVERIFY2(before.contains(id), qPrintable(r.values[1].toString()));
        if (!after.contains(id))
            found.insert(id);
        for (int c = 1; c < r.values.size(); ++c)
            QVERIFY2(sameValue(r.values[c], before[id][c]),
                     qPrintable(QString("row %1 column %2").arg(id).arg(kMessageColumns[c].name)));
        if (r.rowid) // a rowid is given only when it is the row's own
            QCOMPARE(r.rowid, id);
    }
    // Every deleted row whose guid and text (or the start of a text that
    // goes on on overflow pages) still lie together on a page other than an
    // index page is found: its record was not overwritten when SQLite moved
    // cells between pages and into free space.
    QFile raw(path);
    QVERIFY(raw.open(QIODevice::ReadOnly));
    const QByteArray bytes = raw.readAll();
    QSet<qint64> deleted, survived;
    for (qint64 id : before.keys()) {
        if (after.contains(id))
            continue;
        deleted.insert(id);
        const QString text = before[id][2].toString();
        const QByteArray guid
                = (before[id][1].toString() + (text.size() > 1000 ? text.left(20) : text)).toUtf8();
        for (qsizetype k = bytes.indexOf(guid); k >= 0; k = bytes.indexOf(guid, k + 1)) {
            const qsizetype page = k / pageSize;
            const char type = bytes[page * pageSize + (page == 0 ? 100 : 0)];
            if (type != 2 && type != 10)
                survived.insert(id);
        }
    }
    QCOMPARE(found, survived);
    QVERIFY2(found.size() * 5 >= deleted.size() * 4,
             qPrintable(QString("%1 of %2").arg(found.size()).arg(deleted.size())));
}

void TestCarving::deletedHandles()
{
    const QString path = m_dir.filePath("handles.db");
    auto db = createRecoverableDb(path, 1024);
    db->exec(kHandleTableSql);
    db->exec("BEGIN");
    for (int i = 1; i <= 120; ++i)
        db->run("insert into handle(id, country, service, uncanonicalized_id) values(?,?,?,?)",
                {QString("+4477009%1").arg(i, 5, 10, QChar('0')),
                 i % 5 ? QVariant("gb") : QVariant(), i % 2 ? "SMS" : "iMessage",
                 i % 3 ? QVariant(QString("077009%1").arg(i, 5, 10, QChar('0'))) : QVariant()});
    db->exec("COMMIT");
    const QMap<qint64, QVariantList> before = tableRows(*db, "handle");
    db->exec("delete from handle where rowid in (2, 3, 50, 51, 52, 119)");
    const int root = db->scalar("select rootpage from sqlite_master where name='handle'").toInt();
    db->close();

    Sqlite3File file(path);
    file.openAndMap();
    QMap<QString, Sqlite3FileRow> found;
    for (const Sqlite3FileRow &r : recoverRows(file, root, handleColumns(), handleRow))
        found.insert(r.values[1].toString(), r);
    QCOMPARE(found.size(), 6);
    for (qint64 id : {2, 3, 50, 51, 52, 119}) {
        const QVariantList &want = before[id];
        const Sqlite3FileRow r = found.value(want[1].toString());
        QCOMPARE(r.values.size(), 5);
        for (int c = 1; c < 5; ++c)
            QVERIFY(sameValue(r.values[c], want[c]));
        QVERIFY(r.rowid == 0 || r.rowid == id);
    }
}

// A record written before columns were added holds fewer fields than the
// list: with a minimum count it fits, its field count taken from the header
// length before it when that survives, else the longest the filter keeps.
void TestCarving::recordsOlderThanTheirColumns()
{
    // ROWID, a TEXT NOT NULL, b TEXT. The record holds a alone, a text of
    // five bytes whose first byte (0x13) would also pass for b's type.
    const QList<_SqliteCol> cols {{"ROWID", "INTEGER", false, false, true},
                                  {"a", "TEXT", true, false, false},
                                  {"b", "TEXT", false, false, false}};
    const QByteArray record = QByteArray("\x17\x13" "abcd", 6);
    auto carve = [&](const QByteArray &region, int minimum, const Sqlite3RowFilter &filter) {
        SqliteImage img(512, 2);
        img.put(img.pageOffset(2), region + QByteArray(8, '\0'));
        Sqlite3File file("");
        file.openBytes(img.bytes);
        const uchar *start = file.mapBegin() + img.pageOffset(2);
        QList<QVariantList> out;
        for (const Sqlite3FileRow &r : file.carveRecords(Sqlite3CarveColumns(cols, minimum), 0, 512,
                                                         start, start + region.size() + 8, filter))
            out << r.values;
        return out;
    };
    const QVariantList whole {QVariant(), QString("\x13" "abcd")};
    // Header length 3 and the alias's NULL before it attest one field.
    const QByteArray attested = QByteArray("\x03\x00", 2) + record;
    QCOMPARE(carve(attested, 2, {}).value(0), whole);
    // Without a minimum only records of the whole list fit: the body's
    // first byte is taken for b's serial type and the row comes out wrong.
    QVERIFY(carve(attested, 0, {}).value(0) != whole);
    // Without the header length the longest count comes first; the filter
    // turns it down and the shorter one is taken.
    const Sqlite3RowFilter twoValues = [](const Sqlite3FileRow *r) { return r->values.size() == 2; };
    QCOMPARE(carve(record, 2, twoValues).value(0), whole);
    QCOMPARE(carve(record, 0, twoValues), QList<QVariantList>());
}

// Handles deleted after a column was added to their table: the carving with
// the table's own columns finds them with the minimum of the phone's list.
void TestCarving::handlesOlderThanAnAddedColumn()
{
    const QString path = m_dir.filePath("handles-altered.db");
    auto db = createRecoverableDb(path, 1024);
    db->exec(kHandleTableSql);
    db->exec("BEGIN");
    for (int i = 1; i <= 120; ++i)
        db->run("insert into handle(id, country, service, uncanonicalized_id) values(?,?,?,?)",
                {QString("+4477009%1").arg(i, 5, 10, QChar('0')), "gb", "SMS",
                 QString("077009%1").arg(i, 5, 10, QChar('0'))});
    db->exec("COMMIT");
    const QMap<qint64, QVariantList> before = tableRows(*db, "handle");
    db->exec("ALTER TABLE handle ADD COLUMN person_centric_id TEXT");
    db->exec("delete from handle where rowid in (2, 3, 50, 51, 52, 119)");
    const int root = db->scalar("select rootpage from sqlite_master where name='handle'").toInt();
    db->close();

    QList<_SqliteCol> altered = handleColumns();
    altered.append({"person_centric_id", "TEXT", false, false, false});
    Sqlite3File file(path);
    file.openAndMap();
    auto carveAll = [&](int minimum) {
        QMap<QString, Sqlite3FileRow> found;
        const Sqlite3CarveColumns columns(altered, minimum);
        for (const Sqlite3FilePage &leaf : file.leafPages(file.readBtreePage(root)))
            for (const Sqlite3FileRow &r : file.carveFreeSpace(columns, 0, leaf, handleRow))
                found.insert(r.values[1].toString(), r);
        return found;
    };
    QCOMPARE(carveAll(0).size(), 0);
    const QMap<QString, Sqlite3FileRow> found = carveAll(5);
    QCOMPARE(found.size(), 6);
    for (qint64 id : {2, 3, 50, 51, 52, 119}) {
        const QVariantList &want = before[id];
        const Sqlite3FileRow r = found.value(want[1].toString());
        QCOMPARE(r.values.size(), 5);
        for (int c = 1; c < 5; ++c)
            QVERIFY(sameValue(r.values[c], want[c]));
        QVERIFY(r.rowid == 0 || r.rowid == id);
    }
}

// Cells that lost no byte (a freed leaf page carved whole) give back their
// rowid with their values.
void TestCarving::rowidsOfIntactCells()
{
    const QString path = m_dir.filePath("intact.db");
    auto db = createRecoverableDb(path, 512);
    db->exec(kHandleTableSql);
    db->exec("BEGIN");
    for (int i = 1; i <= 400; ++i)
        db->run("insert into handle(id, country, service) values(?, 'us', 'SMS')",
                {QString("+1202555%1").arg(i * 37 + 100000)});
    db->exec("COMMIT");
    const QMap<qint64, QVariantList> before = tableRows(*db, "handle");
    db->exec("delete from handle where rowid between 100 and 300");
    db->close();

    Sqlite3File file(path);
    file.openAndMap();
    int pages = 0, rows = 0;
    for (const Sqlite3FileTrunk &t : file.freelistTrunks())
        for (qint32 n : t.leaves) {
            if (file.readBtreePage(n).pageType != Sqlite3FilePage::LeafTable)
                continue;
            ++pages;
            for (const Sqlite3FileRow &r : file.carvePage(handleColumns(), 0, n, 0, handleRow)) {
                QVERIFY(before.contains(r.rowid));
                QCOMPARE(r.values[1], before[r.rowid][1]);
                if (r.rowid >= 100 && r.rowid <= 300)
                    ++rows;
            }
        }
    QVERIFY(pages > 5);
    QVERIFY2(rows > 100, qPrintable(QString::number(rows)));
}

// A deleted message longer than a page is carved with the part of its text
// that lies on overflow pages.
void TestCarving::overflowingDeletedMessage()
{
    const QString path = m_dir.filePath("overflow.db");
    auto db = createRecoverableDb(path, 1024);
    db->exec(QString(kHandleTableSql) + messageTableSql());
    const QString longText = QString("The whole story. ").repeated(300) + "The end.";
    for (int i = 1; i <= 6; ++i)
        db->run("insert into message(guid, text, service, date) values(?,?,?,?)",
                {QString("guid-%1").arg(i), i == 3 ? longText : QString("short %1").arg(i), "SMS",
                 400000000 + i});
    db->exec(
            "create table filler(x); insert into filler values(zeroblob(3000)); drop table filler");
    db->exec("delete from message where rowid = 3");
    const int root = db->scalar("select rootpage from sqlite_master where name='message'").toInt();
    db->close();

    Sqlite3File file(path);
    file.openAndMap();
    const QList<Sqlite3FileRow> rows = recoverRows(file, root, messageColumns(), messageRow);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].values[1].toString(), QString("guid-3"));
    QCOMPARE(rows[0].values[2].toString(), longText);
    QCOMPARE(rows[0].values[15].toLongLong(), qint64(400000003));
}

QTEST_GUILESS_MAIN(TestCarving)
#include "tst_carving.moc"
