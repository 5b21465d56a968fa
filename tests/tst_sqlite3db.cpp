#include "store/sqlite3db.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

// Fixtures are written with SQLite's C interface directly, independent of the
// wrapper under test.
namespace {

void rawExec(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open_v2(path.toUtf8().constData(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
             SQLITE_OK);
    char *err = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &err);
    const QString msg = QString::fromUtf8(err ? err : "");
    sqlite3_free(err);
    sqlite3_close(db);
    QVERIFY2(rc == SQLITE_OK, qPrintable(msg));
}

// typeof() and quote() of one column of one row, read back with raw SQLite.
QString rawQuoted(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st = nullptr;
    QString out;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK) {
        while (sqlite3_step(st) == SQLITE_ROW) {
            if (!out.isEmpty())
                out += QLatin1Char('|');
            out += QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
        }
    } else {
        out = QString::fromUtf8(sqlite3_errmsg(db));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

QString exceptionText(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return QString();
}

const char *kTypesSchema = "create table vals(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, t TEXT, "
                           "i INTEGER, b BLOB, n);"
                           "create table copy(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, t TEXT, "
                           "i INTEGER, b BLOB, n);";

} // namespace

class TestSqlite3Db : public QObject
{
    Q_OBJECT
private slots:
    void version() { QCOMPARE(sqlite_qt_version(), 5); }

    void openModes_data()
    {
        QTest::addColumn<QString>("file"); // "missing", "db", "garbage", "dir"
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("error"); // empty: opens
        QTest::addColumn<bool>("existsAfter");

        QTest::newRow("read-only, missing") << "missing" << 1 << "unable to open" << false;
        QTest::newRow("read-write, missing") << "missing" << 2 << "unable to open" << false;
        QTest::newRow("create, missing") << "missing" << 6 << "" << true;
        QTest::newRow("read-only, database") << "db" << 1 << "" << true;
        QTest::newRow("read-write, database") << "db" << 2 << "" << true;
        QTest::newRow("create, database") << "db" << 6 << "" << true;
        QTest::newRow("not a database") << "garbage" << 2 << "not a database" << true;
        QTest::newRow("folder") << "dir" << 6 << "unable to open" << true;
        QTest::newRow("unknown mode") << "db" << 3 << "invalid open mode" << true;
        QTest::newRow("mode 4 alone") << "missing" << 4 << "invalid open mode" << false;
    }
    void openModes()
    {
        QFETCH(QString, file);
        QFETCH(int, mode);
        QFETCH(QString, error);
        QFETCH(bool, existsAfter);

        QTemporaryDir tmp;
        const QString path = tmp.filePath(file);
        if (file == "db")
            rawExec(path, "create table t(a)");
        else if (file == "garbage") {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(4096, 'x'));
        } else if (file == "dir")
            QVERIFY(QDir().mkdir(path));

        Sqlite3DB db;
        const QString text = exceptionText([&] { db.openThrow(path, mode); });
        if (error.isEmpty()) {
            QVERIFY2(text.isEmpty(), qPrintable(text));
            QVERIFY(db.handle() != nullptr);
        } else {
            QVERIFY2(text.contains(error), qPrintable(text));
            QVERIFY2(text.contains("open database"), qPrintable(text));
            QVERIFY(db.handle() == nullptr);
        }
        QCOMPARE(QFileInfo::exists(path), existsAfter);
    }

    void readOnlyRefusesWrites()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("a.db");
        rawExec(path, "create table t(a)");
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadOnly);
        const QString text = exceptionText(
                [&] { db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(1)); });
        QVERIFY2(text.contains("readonly"), qPrintable(text));
    }

    void notOpenThrows()
    {
        Sqlite3DB db;
        QVERIFY(db.handle() == nullptr);
        QVERIFY(exceptionText([&] { db.queryThrow(Sqlite3Sql("select 1")); }).contains("not open"));
        QVERIFY(exceptionText([&] {
                    db.executeThrow(Sqlite3Sql("select 1"));
                }).contains("not open"));
        QVERIFY(exceptionText([&] { db.beginTran(); }).contains("not open"));
        QString err;
        QVERIFY(db.exec("select 1", err) != 0);
        QVERIFY(!err.isEmpty());
        QCOMPARE(db.lastInsertId(), 0);
        db.close(); // harmless
    }

    // Every parameter type is stored with its own SQLite type and value.
    void parameterTypes()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("p.db");
        rawExec(path, kTypesSchema);
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadWrite);
        const QByteArray blob("\x00\x01\xff\x00z", 5);
        const qint64 big = Q_INT64_C(1) << 40;
        db.executeThrow(Sqlite3Sql("insert into vals(t,i,b,n) values(?,?,?,?)")
                                .addTextParam(QString::fromUtf8("grüße 🙂 'x'"))
                                .addInt64Param(big)
                                .addBlobParam(blob)
                                .addNullParam());
        QCOMPARE(db.lastInsertId(), 1);
        db.executeThrow(Sqlite3Sql("insert into vals(t,i,b,n) values(?,?,?,?)")
                                .addTextParam(QString())
                                .addIntParam(-7)
                                .addBlobParam(QByteArray())
                                .addDoubleParam(1.5));
        QCOMPARE(db.lastInsertId(), 2);

        QCOMPARE(rawQuoted(path,
                           "select typeof(t)||','||typeof(i)||','||typeof(b)||','||typeof(n) "
                           "from vals order by rowid"),
                 QString("text,integer,blob,null|text,integer,blob,real"));
        QCOMPARE(rawQuoted(path, "select quote(t)||','||i||','||quote(b) from vals order by rowid"),
                 QString::fromUtf8("'grüße 🙂 ''x''',1099511627776,X'0001FF007A'|'',-7,X''"));

        Sqlite3Cursor c
                = db.queryThrow(Sqlite3Sql("select * from vals where i=?").addInt64Param(big));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText("t"), QString::fromUtf8("grüße 🙂 'x'"));
        QCOMPARE(c.getInt64("i"), big);
        QCOMPARE(c.getBlob("b"), blob);
        QVERIFY(c.isNull("n"));
        QCOMPARE(c.getText("n"), QString());
        QCOMPARE(c.getInt("n"), 0);
        QVERIFY(!c.moveNext());
    }

    // A row read with getRow and written back with insertSql keeps types.
    void rowRoundTrip()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("r.db");
        rawExec(path, kTypesSchema);
        rawExec(path,
                "insert into vals(t,i,b,n) values('a',1,x'00ff',null);"
                "insert into vals(t,i,b,n) values(null,9223372036854775807,x'',2.25);"
                "insert into vals(t,i,b,n) values('',null,null,'txt');");
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadWrite);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from vals order by rowid"));
        QList<Sqlite3Row> rows;
        while (c.moveNext())
            rows.append(c.getRow());
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].value("t"), QVariant(QString("a")));
        QCOMPARE(rows[0].value("ROWID"), QVariant(qint64(1)));
        QVERIFY(!rows[0].value("n").isValid());
        QCOMPARE(rows[1].value("b").typeId(), int(QMetaType::QByteArray));
        for (const Sqlite3Row &row : rows)
            db.executeThrow(row.insertSql("copy", {"ROWID"}));
        const char *probe = "select quote(t)||','||quote(i)||','||quote(b)||','||quote(n)||','||"
                            "typeof(b) from %1 order by rowid";
        QCOMPARE(rawQuoted(path, QString(probe).arg("copy").toUtf8().constData()),
                 rawQuoted(path, QString(probe).arg("vals").toUtf8().constData()));
        QCOMPARE(rawQuoted(path, "select count(*) from copy"), QString("3"));
    }

    void insertSqlQuotesColumnNames()
    {
        Sqlite3Row row;
        row.insert("a\"b", 1);
        row.insert("x", QString("v'); drop table t; --"));
        row.insert("skip", 2);
        const Sqlite3Sql sql = row.insertSql("t", {"skip"});
        QCOMPARE(sql.sql(), QString("insert into \"t\"(\"a\"\"b\",\"x\") values(?,?)"));
        QCOMPARE(sql.paramCount(), 2);

        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table t(\"a\"\"b\", x)"));
        db.executeThrow(sql);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from t"));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText("x"), QString("v'); drop table t; --"));
    }

    void columnLookup()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table m(ROWID INTEGER PRIMARY KEY, Guid TEXT, "
                                   "\"größe\" INTEGER, date INTEGER)"));
        db.executeThrow(Sqlite3Sql("insert into m values(42, 'g1', 7, 3)"));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from m"));
        // Before the first row every getter gives the empty value.
        QCOMPARE(c.getInt64("rowid"), 0);
        QCOMPARE(c.getText("guid"), QString());
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt64("rowid"), 42);
        QCOMPARE(c.getInt64("RowId"), 42);
        QCOMPARE(c.getText("GUID"), QString("g1"));
        QCOMPARE(c.getText(QString("guid")), QString("g1"));
        QCOMPARE(c.getInt(QString::fromUtf8("GRÖSSE")), 0); // not the same name
        QCOMPARE(c.getInt(QString::fromUtf8("GRÖßE")), 7); // non-ASCII, case ignored
        QCOMPARE(c.getInt64(3), 3);
        QCOMPARE(c.getInt64(9), 0);
        QCOMPARE(c.getInt("missing"), 0);
        QCOMPARE(c.getText("missing"), QString());
        QCOMPARE(c.getBlob("missing"), QByteArray());
        QVERIFY(!c.moveNext());
        QVERIFY(!c.moveNext()); // stays at the end, does not start over
        QCOMPARE(c.getText("guid"), QString());

        // rowid of a table without a declared alias; a duplicated name takes
        // the first column.
        db.executeThrow(Sqlite3Sql("create table h(id TEXT)"));
        db.executeThrow(Sqlite3Sql("insert into h values('x')"));
        Sqlite3Cursor d = db.queryThrow(Sqlite3Sql("select rowid, id, 5 as ID from h"));
        QVERIFY(d.moveNext());
        QCOMPARE(d.getInt64("ROWID"), 1);
        QCOMPARE(d.getText("id"), QString("x"));
        QCOMPARE(d.getRow().value("id"), QVariant(QString("x")));
    }

    // One-value look-ups through the kept statements: a row, a NULL, no
    // row, a look-up after one that left rows unread, and a failure.
    void firstInt64Lookups()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table k(name TEXT, v INTEGER)"));
        for (const auto &[name, v] : {std::pair {"a", 5}, {"b", 0}, {"a", 9}})
            db.executeThrow(Sqlite3Sql("insert into k values(?,?)").addTextParam(name).addIntParam(v));
        db.executeThrow(Sqlite3Sql("insert into k values('n', NULL)"));
        struct Case
        {
            const char *name;
            bool found;
            qint64 value;
        };
        for (const Case &c : {Case {"a", true, 5}, Case {"b", true, 0}, Case {"n", true, 0},
                              Case {"z", false, -1}, Case {"a", true, 5}}) {
            qint64 value = -1;
            const bool found = db.firstInt64Throw(
                    Sqlite3Sql("select v from k where name=? order by rowid").addTextParam(c.name),
                    &value);
            QCOMPARE(found, c.found);
            QCOMPARE(value, c.value);
        }
        // Between look-ups the kept statement is reset: the table can change.
        db.executeThrow(Sqlite3Sql("delete from k where name='a'"));
        QVERIFY(!db.firstInt64Throw(Sqlite3Sql("select v from k where name=? order by rowid")
                                            .addTextParam(QStringLiteral("a"))));
        QVERIFY(exceptionText([&] { db.firstInt64Throw(Sqlite3Sql("select v from nowhere")); })
                        .contains("nowhere"));
        db.close();
        QVERIFY(!exceptionText([&] { db.firstInt64Throw(Sqlite3Sql("select 1")); }).isEmpty());
    }

    // getRow keys the columns by name: the first of equal names wins,
    // whatever the order of the result's columns.
    void getRowFirstOfEqualNames()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        Sqlite3Cursor c = db.queryThrow(
                Sqlite3Sql("select 2 as b, 'x' as c, 1 as a, 3 as b, 'y' as c, 4 as B"));
        QVERIFY(c.moveNext());
        for (int round = 0; round < 2; ++round) // made once, used again
            QCOMPARE(c.getRow(), Sqlite3Row({{"a", qint64(1)},
                                             {"b", qint64(2)},
                                             {"B", qint64(4)},
                                             {"c", QString("x")}}));
    }

    // Copies share one statement; count keeps the position.
    void cursorCopiesAndCount()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table n(v INTEGER)"));
        for (int i = 1; i <= 5; ++i)
            db.executeThrow(Sqlite3Sql("insert into n values(?)").addIntParam(i));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select v from n order by v"));
        QCOMPARE(c.count(), 5);
        QVERIFY(c.moveNext());
        QVERIFY(c.moveNext());
        Sqlite3Cursor copy = c;
        QCOMPARE(copy.getInt("v"), 2);
        QCOMPARE(c.count(), 5);
        QCOMPARE(c.getInt("v"), 2);
        QVERIFY(copy.moveNext());
        QCOMPARE(c.getInt("v"), 3);
        Sqlite3Cursor empty
                = db.queryThrow(Sqlite3Sql("select v from n where v > ?").addIntParam(9));
        QCOMPARE(empty.count(), 0);
        QVERIFY(!empty.moveNext());
    }

    // Queries of one text share a prepared statement only one at a time:
    // cursors open together walk their own rows, and a statement handed
    // back keeps nothing of its last parameters or position.
    void repeatedQueries()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table n(v INTEGER)"));
        for (int i = 1; i <= 4; ++i)
            db.executeThrow(Sqlite3Sql("insert into n values(?)").addIntParam(i));
        const char *sql = "select v from n where v >= ? order by v";
        Sqlite3Cursor a = db.queryThrow(Sqlite3Sql(sql).addIntParam(2));
        Sqlite3Cursor b = db.queryThrow(Sqlite3Sql(sql).addIntParam(3));
        QVERIFY(a.moveNext() && b.moveNext());
        QCOMPARE(a.getInt(0), 2);
        QCOMPARE(b.getInt(0), 3);
        QVERIFY(a.moveNext());
        QCOMPARE(a.getInt(0), 3);
        a = Sqlite3Cursor(); // its statement goes back, half read
        for (int from : {1, 4, 9, 2}) {
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql).addIntParam(from));
            QCOMPARE(c.count(), qMax(0, 5 - from));
            if (from <= 4) {
                QVERIFY(c.moveNext());
                QCOMPARE(c.getInt(0), from);
            }
        }
        QVERIFY(b.moveNext());
        QCOMPARE(b.getInt(0), 4);
        QVERIFY(!b.moveNext());

        // A statement kept across a change of the table sees the new table.
        { Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from n")); }
        db.executeThrow(Sqlite3Sql("drop table n"));
        db.executeThrow(Sqlite3Sql("create table n(w TEXT, v INTEGER)"));
        db.executeThrow(Sqlite3Sql("insert into n values('x', 7)"));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from n"));
        QCOMPARE(c.columnCount(), 2);
        QVERIFY(c.moveNext());
        QCOMPARE(c.getText("w"), QString("x"));
        QCOMPARE(c.getInt("v"), 7);

        // A writer holding a kept statement does not keep others from the file.
        QTemporaryDir tmp;
        const QString path = tmp.filePath("r.db");
        rawExec(path, "create table t(a); insert into t values(1);");
        Sqlite3DB reader;
        reader.openThrow(path, Sqlite3DB::ReadWrite);
        {
            Sqlite3Cursor r = reader.queryThrow(Sqlite3Sql("select a from t"));
            QVERIFY(r.moveNext());
        }
        Sqlite3DB writer;
        writer.openThrow(path, Sqlite3DB::ReadWrite);
        writer.beginTran();
        writer.executeThrow(Sqlite3Sql("insert into t values(2)"));
        writer.commitTran();
        Sqlite3Cursor r = reader.queryThrow(Sqlite3Sql("select a from t"));
        QCOMPARE(r.count(), 2);
    }

    // A kept statement outlives the trimming of the other statements and
    // goes with the opening: after close and a new open it is prepared anew
    // on the new connection, and the old one leaves no connection behind.
    void keptStatementsLiveForTheOpening()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("k.db");
        rawExec(path, "create table t(a INTEGER);");
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadWrite);
        const quint64 serial = db.openSerial();
        sqlite3_stmt *kept = db.keptStatement("insert into t values(?)");
        QCOMPARE(db.keptStatement("insert into t values(?)"), kept);
        // More distinct texts than the statement cache holds.
        for (int i = 0; i < 100; ++i)
            db.executeThrow(Sqlite3Sql(QStringLiteral("select %1 from t").arg(i)));
        QCOMPARE(db.keptStatement("insert into t values(?)"), kept);
        sqlite3_bind_int(kept, 1, 41);
        QCOMPARE(sqlite3_step(kept), SQLITE_DONE);
        sqlite3_reset(kept);
        QCOMPARE(db.openSerial(), serial);

        db.close();
        QVERIFY_THROWS_EXCEPTION(Sqlite3Exception, db.keptStatement("insert into t values(?)"));
        // The first opening holds no lock: another connection may take the
        // file exclusively.
        rawExec(path, "pragma locking_mode=exclusive; begin exclusive; insert into t values(1); "
                      "commit;");
        db.openThrow(path, Sqlite3DB::ReadWrite);
        QVERIFY(db.openSerial() != serial);
        sqlite3_stmt *again = db.keptStatement("insert into t values(?)");
        sqlite3_bind_int(again, 1, 42);
        QCOMPARE(sqlite3_step(again), SQLITE_DONE);
        sqlite3_reset(again);
        QVERIFY_THROWS_EXCEPTION(Sqlite3Exception, db.keptStatement("insert into nowhere values(1)"));
        db.close();
        QCOMPARE(rawQuoted(path, "select a from t order by rowid"), QStringLiteral("41|1|42"));
    }

    void transactions()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("t.db");
        rawExec(path, "create table t(a)");
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadWrite);

        db.beginTran();
        QVERIFY(db.inTran());
        db.executeThrow(Sqlite3Sql("insert into t values(1)"));
        db.commitTran();
        QVERIFY(!db.inTran());

        db.beginTran();
        db.executeThrow(Sqlite3Sql("insert into t values(2)"));
        db.rollbackTran();
        QCOMPARE(rawQuoted(path, "select group_concat(a) from t"), QString("1"));

        QVERIFY(exceptionText([&] { db.commitTran(); }).contains("commit transaction failed"));
        db.beginTran();
        QVERIFY(exceptionText([&] { db.beginTran(); }).contains("begin transaction failed"));

        // Closing inside a transaction discards it, also with a cursor open.
        db.executeThrow(Sqlite3Sql("insert into t values(3)"));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select a from t"));
        QVERIFY(c.moveNext());
        db.close();
        QVERIFY(db.handle() == nullptr);
        QCOMPARE(rawQuoted(path, "select group_concat(a) from t"), QString("1"));
        // The file is not left locked by the abandoned transaction.
        Sqlite3DB other;
        other.openThrow(path, Sqlite3DB::ReadWrite);
        other.executeThrow(Sqlite3Sql("insert into t values(4)"));
        QCOMPARE(rawQuoted(path, "select group_concat(a) from t"), QString("1,4"));
    }

    // Closing a connection ends its cursors: they hold no lock, report the
    // closing instead of a short result, and stay safe to keep and destroy.
    void cursorOutlivesDatabase()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("c.db");
        rawExec(path, "create table t(a); insert into t values(1),(2),(3);");
        Sqlite3Cursor c;
        {
            Sqlite3DB db;
            db.openThrow(path, Sqlite3DB::ReadWrite);
            db.beginTran();
            db.executeThrow(Sqlite3Sql("insert into t values(4)"));
            c = db.queryThrow(Sqlite3Sql("select a from t order by a"));
            QVERIFY(c.moveNext());
            QCOMPARE(c.getInt("a"), 1);
        }
        QCOMPARE(c.getInt("a"), 0);
        QCOMPARE(c.getRow(), Sqlite3Row());
        Sqlite3Cursor copy = c;
        QVERIFY(exceptionText([&] { copy.moveNext(); }).contains("the database was closed"));
        QVERIFY(exceptionText([&] { c.count(); }).contains("the database was closed"));
        // No lock is left behind and the open transaction was discarded.
        Sqlite3DB other;
        other.openThrow(path, Sqlite3DB::ReadWrite);
        other.executeThrow(Sqlite3Sql("insert into t values(5)"));
        QCOMPARE(rawQuoted(path, "select group_concat(a) from t"), QString("1,2,3,5"));

        // Reopening an object while cursors of its earlier opening live.
        Sqlite3Cursor d = other.queryThrow(Sqlite3Sql("select a from t"));
        other.openThrow(path, Sqlite3DB::ReadOnly);
        QVERIFY(exceptionText([&] { d.moveNext(); }).contains("closed"));
        Sqlite3Cursor e = other.queryThrow(Sqlite3Sql("select a from t"));
        QCOMPARE(e.count(), 4);
    }

    void sqlErrors_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<int>("params");
        QTest::addColumn<QString>("error");
        QTest::newRow("syntax") << "selec 1" << 0 << "syntax error";
        QTest::newRow("missing table") << "select * from nope" << 0 << "no such table: nope";
        QTest::newRow("two statements")
                << "select 1; drop table t" << 0 << "more than one statement";
        QTest::newRow("too few params") << "insert into t values(?,?)" << 1 << "takes 2, 1 given";
        QTest::newRow("too many params") << "insert into t(a) values(?)" << 2 << "takes 1, 2 given";
        QTest::newRow("constraint")
                << "insert into t values(?,?)" << 2 << "UNIQUE constraint failed";
        QTest::newRow("empty") << "  " << 0 << "empty statement";
    }
    void sqlErrors()
    {
        QFETCH(QString, sql);
        QFETCH(int, params);
        QFETCH(QString, error);
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table t(a unique, b)"));
        db.executeThrow(Sqlite3Sql("insert into t values(1, 1)"));
        Sqlite3Sql s(sql);
        for (int i = 0; i < params; ++i)
            s.addIntParam(1);
        const QString qtext = exceptionText([&] { db.queryThrow(s).moveNext(); });
        const QString etext = exceptionText([&] { db.executeThrow(s); });
        QVERIFY2(qtext.contains(error), qPrintable(qtext));
        QVERIFY2(etext.contains(error), qPrintable(etext));
        // The table is untouched and the connection still works.
        QCOMPARE(db.queryThrow(Sqlite3Sql("select count(*) as n from t")).count(), 1);
        try {
            db.executeThrow(s);
            QFAIL("no exception");
        } catch (const Sqlite3Exception &e) {
            QVERIFY(e.code() != 0);
        }
    }

    // exec runs a script and reports failure through its result only; the
    // raw handle takes SQLite's own functions.
    void execAndRawHandle()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        QString err;
        QCOMPARE(db.exec("create table a(x); create table b(y); insert into a values(1);", err), 0);
        QVERIFY(err.isEmpty());
        QVERIFY(db.exec("insert into nope values(1)", err) != 0);
        QVERIFY2(err.contains("no such table"), qPrintable(err));

        auto zero = [](sqlite3_context *ctx, int, sqlite3_value **v) {
            sqlite3_result_int(ctx, sqlite3_value_int(v[0]) * 0);
        };
        QCOMPARE(sqlite3_create_function_v2(db.handle(), "zero", 1, SQLITE_UTF8, nullptr, zero,
                                            nullptr, nullptr, nullptr),
                 SQLITE_OK);
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select zero(5) as z, x from a"));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt("z"), 0);
        QCOMPARE(c.getInt("x"), 1);
    }

    void tableInfo()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table t(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                                   "guid TEXT UNIQUE NOT NULL, n INTEGER DEFAULT 0, data BLOB, "
                                   "r REAL, v VARCHAR(10), d DATETIME, x)"));
        const QMap<QString, _SqliteCol> info = db.tbInfo("t");
        QCOMPARE(info.size(), 8);
        QVERIFY(info["ROWID"].primaryKey && info["ROWID"].isInteger());
        QVERIFY(info["guid"].notNull && !info["guid"].hasDefault && info["guid"].isText());
        QVERIFY(info["n"].hasDefault && info["n"].isNumeric());
        QVERIFY(info["data"].isBlob() && !info["data"].isNumeric());
        QVERIFY(info["r"].isReal() && info["r"].isNumeric());
        QVERIFY(info["v"].isText());
        QVERIFY(info["d"].isNumeric() && !info["d"].isInteger());
        QVERIFY(info["x"].isBlob());
        QCOMPARE(db.tbColumns("t").first().name, QString("ROWID"));
        QVERIFY(db.tbInfo("nope").isEmpty());
        QVERIFY(db.tbInfo("t') or 1=1 --").isEmpty());
    }

    void variantParams()
    {
        Sqlite3DB db;
        db.openThrow(":memory:", Sqlite3DB::ReadWriteCreate);
        db.executeThrow(Sqlite3Sql("create table v(a)"));
        const QList<QVariant> values = {QVariant(),
                                        QVariant(true),
                                        QVariant(int(-3)),
                                        QVariant(uint(4000000000u)),
                                        QVariant(qint64(1) << 50),
                                        QVariant(0.5),
                                        QVariant(QString("s")),
                                        QVariant(QByteArray("b")),
                                        QVariant(QByteArray()),
                                        QVariant(QString())};
        for (const QVariant &v : values)
            db.executeThrow(Sqlite3Sql("insert into v values(?)").addVariantParam(v));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select typeof(a) as t, quote(a) as q from v"));
        QStringList got;
        while (c.moveNext())
            got << c.getText("t") + ":" + c.getText("q");
        QCOMPARE(got,
                 QStringList({"null:NULL", "integer:1", "integer:-3", "integer:4000000000",
                              "integer:1125899906842624", "real:0.5", "text:'s'", "blob:X'62'",
                              "blob:X''", "text:''"}));
    }
};

QTEST_GUILESS_MAIN(TestSqlite3Db)
#include "tst_sqlite3db.moc"
