#include "store/absdb.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

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

QString rawValue(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st = nullptr;
    QString out;
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK
        && sqlite3_step(st) == SQLITE_ROW)
        out = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return out;
}

// A database class that opens its file on first use and counts the opens.
class FileDb : public AbsDb
{
public:
    explicit FileDb(const QString &path)
        : m_path(path)
    { }
    void ensureOpen() override
    {
        if (handle())
            return;
        ++opens;
        openThrow(m_path, ReadWriteCreate);
        QString err;
        exec("pragma foreign_keys=on", err);
    }
    int opens = 0;

private:
    QString m_path;
};

// The message-database interface can be implemented with the data set only
// declared.
class NullMessageDb : public AbsIOSMessageDb
{
public:
    void ensureOpen() override { }
    void chats(MsgDataSet &) override { }
    void messages(MsgDataSet &, qint64) override { }
    int iosVersion() override { return 6; }
};

const char *kIos6Tables[] = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"};

} // namespace

class TestAbsDb : public QObject
{
    Q_OBJECT
private slots:
    void endTransactionWithoutTransaction()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("a.db");
        FileDb db(path);
        db.endTransaction(true);
        db.endTransaction(false);
        QCOMPARE(db.opens, 0);
        QVERIFY(db.handle() == nullptr);
        QVERIFY(!QFile::exists(path));
    }

    void transactions()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("a.db");
        rawExec(path, "create table t(a)");
        FileDb db(path);
        db.beginTransaction();
        QCOMPARE(db.opens, 1);
        QVERIFY(db.inTransaction());
        db.executeThrow(Sqlite3Sql("insert into t values(1)"));
        db.endTransaction(true);
        QVERIFY(!db.inTransaction());
        db.endTransaction(true); // a second end is harmless

        db.beginTransaction();
        db.executeThrow(Sqlite3Sql("insert into t values(2)"));
        db.endTransaction(false);
        QCOMPARE(rawValue(path, "select group_concat(a) from t"), QString("1"));

        // Closed in the middle of a transaction: the work is discarded; a
        // later commit says so instead of committing nothing, a later
        // rollback has nothing left to do, and the object is usable again.
        db.beginTransaction();
        db.executeThrow(Sqlite3Sql("insert into t values(3)"));
        db.close();
        QCOMPARE(rawValue(path, "select group_concat(a) from t"), QString("1"));
        try {
            db.endTransaction(true);
            QFAIL("commit after close did not throw");
        } catch (const std::exception &e) {
            QVERIFY2(QString(e.what()).contains("discarded"), e.what());
        }
        QVERIFY(!db.inTransaction());
        QVERIFY(db.handle() == nullptr); // nothing was reopened for it

        db.beginTransaction();
        db.executeThrow(Sqlite3Sql("insert into t values(4)"));
        db.close();
        db.ensureOpen(); // reopened by a later operation
        db.endTransaction(false);
        QVERIFY(!db.inTransaction());
        db.beginTransaction();
        db.executeThrow(Sqlite3Sql("insert into t values(5)"));
        db.endTransaction(true);
        QCOMPARE(rawValue(path, "select group_concat(a) from t"), QString("1,5"));
    }

    void failedCommitKeepsTransaction()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("fk.db");
        rawExec(path,
                "create table p(id integer primary key);"
                "create table c(pid integer references p(id) deferrable initially deferred);");
        FileDb db(path);
        db.beginTransaction();
        db.executeThrow(Sqlite3Sql("insert into c values(?)").addIntParam(7));
        try {
            db.endTransaction(true);
            QFAIL("commit did not throw");
        } catch (const std::exception &e) {
            QVERIFY2(QString(e.what()).contains("FOREIGN KEY"), e.what());
        }
        QVERIFY(db.inTransaction());
        db.endTransaction(false);
        QVERIFY(!db.inTransaction());
        QCOMPARE(rawValue(path, "select count(*) from c"), QString("0"));
    }

    void insertRowAndSelectAll()
    {
        QTemporaryDir tmp;
        const QString path = tmp.filePath("r.db");
        rawExec(path,
                "create table h(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT, "
                "photo BLOB, n INTEGER);"
                "create table empty(a);");
        FileDb db(path);
        QVERIFY(db.selectAll("empty").isEmpty());
        QCOMPARE(db.opens, 1);

        Sqlite3Row row;
        row.insert("id", QString("+15550001"));
        row.insert("photo", QByteArray("\0\1", 2));
        row.insert("n", QVariant());
        row.insert("ROWID", qint64(99));
        QCOMPARE(db.insertRow(row, "h", {"ROWID"}), 1);
        row.insert("id", QString("+15550002"));
        QCOMPARE(db.insertRow(row, "h"), 99); // ROWID given this time

        const QList<Sqlite3Row> rows = db.selectAll("h");
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].value("ROWID"), QVariant(qint64(1)));
        QCOMPARE(rows[0].value("id"), QVariant(QString("+15550001")));
        QCOMPARE(rows[0].value("photo"), QVariant(QByteArray("\0\1", 2)));
        QVERIFY(!rows[0].value("n").isValid());
        QCOMPARE(rows[1].value("ROWID"), QVariant(qint64(99)));
        QCOMPARE(rawValue(path, "select typeof(n)||typeof(photo) from h where rowid=99"),
                 QString("nullblob"));

        // A row read from one table goes into another as it is.
        rawExec(path,
                "create table h2(ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT, "
                "photo BLOB, n INTEGER)");
        for (const Sqlite3Row &r : rows)
            db.insertRow(r, "h2", {"ROWID"});
        QCOMPARE(rawValue(path, "select group_concat(id||hex(photo)||ifnull(n,'null')) from h2"),
                 QString("+155500010001null,+155500020001null"));

        QVERIFY_THROWS_EXCEPTION(std::exception, db.selectAll("missing"));
        QVERIFY_THROWS_EXCEPTION(std::exception, db.insertRow(row, "missing"));
        // A hostile table name is a name, not SQL.
        QVERIFY_THROWS_EXCEPTION(std::exception, db.selectAll("h; drop table h2"));
        QCOMPARE(rawValue(path, "select count(*) from h2"), QString("2"));
    }

    void ios6Schema_data()
    {
        QTest::addColumn<QStringList>("tables");
        QTest::addColumn<int>("expected");
        const QStringList all
                = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"};
        QTest::newRow("all five") << all << 6;
        QTest::newRow("five among others") << (QStringList(all) << "attachment"
                                                                << "message_attachment_join"
                                                                << "_SqliteDatabaseProperties")
                                           << 6;
        for (const char *missing : kIos6Tables) {
            QStringList t = all;
            t.removeAll(missing);
            QTest::newRow(qPrintable(QString("without %1").arg(missing))) << t << 5;
        }
        QTest::newRow("iOS 5 layout")
                << QStringList({"message", "group_member", "msg_group", "msg_pieces"}) << 5;
        QTest::newRow("names differ in case") << QStringList(
                {"Chat", "HANDLE", "chat_handle_join", "message", "chat_message_join"})
                                              << 5;
        QTest::newRow("no tables") << QStringList() << 5;
    }
    void ios6Schema()
    {
        QFETCH(QStringList, tables);
        QFETCH(int, expected);
        QTemporaryDir tmp;
        const QString path = tmp.filePath("sms.db");
        QString sql
                = "create table if not exists placeholder_never(a); drop table placeholder_never;";
        for (const QString &t : tables)
            sql += QString("create table \"%1\"(ROWID INTEGER PRIMARY KEY);").arg(t);
        // Views and indexes named like the tables do not count.
        if (tables.size() < 5)
            sql += "create view chat_message_join_v as select 1; create table other(x);"
                   "create index handle_ix on other(x);";
        rawExec(path, sql.toUtf8().constData());
        QCOMPARE(AbsIOSMessageDb::isIOS6Schema(path), expected);
    }

    void ios6SchemaFiles()
    {
        QTemporaryDir tmp;
        // An empty file is an empty database.
        const QString empty = tmp.filePath("empty.db");
        QFile f(empty);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        QCOMPARE(AbsIOSMessageDb::isIOS6Schema(empty), 5);

        // A missing file throws and nothing is created.
        const QString missing = tmp.filePath("none/sms.db");
        const QString missing2 = tmp.filePath("sms.db");
        QVERIFY_THROWS_EXCEPTION(std::exception, AbsIOSMessageDb::isIOS6Schema(missing));
        QVERIFY_THROWS_EXCEPTION(std::exception, AbsIOSMessageDb::isIOS6Schema(missing2));
        QVERIFY(!QFile::exists(missing2));
        QVERIFY(!QFile::exists(tmp.filePath("none")));
        QCOMPARE(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList({"empty.db"}));

        // Not a database: the wrapper's error.
        const QString junk = tmp.filePath("junk.db");
        QFile j(junk);
        QVERIFY(j.open(QIODevice::WriteOnly));
        j.write(QByteArray(2048, '\x5a'));
        j.close();
        try {
            AbsIOSMessageDb::isIOS6Schema(junk);
            QFAIL("no exception");
        } catch (const std::exception &e) {
            QVERIFY2(QString(e.what()).contains("not a database"), e.what());
        }
    }

    void interfaceIsImplementable()
    {
        NullMessageDb db;
        AbsIOSMessageDb *base = &db;
        QCOMPARE(base->iosVersion(), 6);
        base->endTransaction(true);
    }
};

QTEST_GUILESS_MAIN(TestAbsDb)
#include "tst_absdb.moc"
