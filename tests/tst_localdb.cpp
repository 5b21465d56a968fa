#include "store/ios6messagedb.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>
#include <memory>

namespace {

const QStringList kMessageColumns = {"ROWID",
                                     "guid",
                                     "text",
                                     "replace",
                                     "service_center",
                                     "handle_id",
                                     "subject",
                                     "country",
                                     "attributedBody",
                                     "version",
                                     "type",
                                     "service",
                                     "account",
                                     "account_guid",
                                     "error",
                                     "date",
                                     "date_read",
                                     "date_delivered",
                                     "is_delivered",
                                     "is_finished",
                                     "is_emote",
                                     "is_from_me",
                                     "is_empty",
                                     "is_delayed",
                                     "is_auto_reply",
                                     "is_prepared",
                                     "is_read",
                                     "is_system_message",
                                     "is_sent",
                                     "has_dd_results",
                                     "is_service_message",
                                     "is_forward",
                                     "was_downgraded",
                                     "is_archive",
                                     "cache_has_attachments",
                                     "cache_roomnames",
                                     "was_data_detected",
                                     "was_deduplicated",
                                     "is_audio_message",
                                     "is_played",
                                     "date_played",
                                     "item_type",
                                     "other_handle",
                                     "group_title",
                                     "group_action_type",
                                     "share_status",
                                     "share_direction",
                                     "is_expirable",
                                     "expire_state",
                                     "message_action_type",
                                     "logic_hash"};
const QStringList kChatBaseColumns
        = {"ROWID",       "guid",          "style",           "state",
           "account_id",  "properties",    "chat_identifier", "service_name",
           "room_name",   "account_login", "is_archived",     "last_addressed_handle",
           "display_name"};

QByteArray fileDigest(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

QStringList folderListing(const QString &path)
{
    return QDir(path).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden,
                                QDir::Name);
}

QString queryText(IOS6MessageDb &db, const QString &sql)
{
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(sql));
    return c.moveNext() ? c.getText(c.columnName(0)) : QString("<no row>");
}

// A small phone database with two chats, a group chat, a system item and an
// attachment with its file.
void fillPhoneDb(PhoneSmsDb &db)
{
    qint64 anna = db.addHandle("+12025550143", "SMS", "us", "(202) 555-0143");
    qint64 ben = db.addHandle("ben@example.com", "iMessage", "us");
    qint64 carl = db.addHandle("+12025550177", "iMessage", "us");
    qint64 c1 = db.addChat(anna);
    qint64 c2 = db.addGroupChat({ben, carl}, "iMessage", "Climbing");
    db.addText(c1, "Hi Anna", anna, 400000000, true);
    qint64 m = db.addText(c1, QString::fromUtf8("See you \U0001F600"), anna, 400000100);
    db.addAttachment(m, "IMG_0001.JPG", QByteArray("jpeg bytes"));
    db.addText(c2, "Who brings the rope?", ben, 400000200);
    if (db.schema().itemTypeColumns)
        db.addSystemItem(c2, 2, 0, -1, 400000300, "Climbing");
}

} // namespace

class TestLocalDb : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> env;
    int counter = 0;
    QString newStore()
    {
        return QDir(env->home()).absoluteFilePath(QString("stores/s%1").arg(++counter));
    }

private slots:
    void initTestCase() { env = std::make_unique<TestEnv>(); }

    void createsFoldersAndSchema_data()
    {
        QTest::addColumn<bool>("upgrade");
        QTest::newRow("with upgrade") << true;
        QTest::newRow("without upgrade") << false;
    }
    void createsFoldersAndSchema()
    {
        QFETCH(bool, upgrade);
        const QString store = newStore() + "/not/yet/there";
        IOS6MessageDb db(QDir(store), "310", upgrade);
        QCOMPARE(db.iosVersion(), 6);
        QVERIFY(!QFileInfo::exists(store)); // the constructor touches nothing
        QCOMPARE(db.smsDbPath(), store + "/file-relay/var/mobile/Library/SMS/sms.db");

        db.ensureOpen();
        QVERIFY(db.isOpen());
        QCOMPARE(db.iosVersion(), 6);
        QVERIFY(QFileInfo(db.smsDbPath()).isFile());
        // Opening the message database creates neither side file.
        QVERIFY(!QFileInfo::exists(store + "/recycle.db"));
        QVERIFY(!QFileInfo::exists(store + "/ct-phone.db"));

        RawSqlite raw(db.smsDbPath(), false, true);
        QCOMPARE(raw.columns("message"), kMessageColumns);
        QCOMPARE(raw.columns("handle"),
                 QStringList({"ROWID", "id", "country", "service", "uncanonicalized_id", "_ct_name",
                              "_photo"}));
        QCOMPARE(raw.columns("chat"), kChatBaseColumns + QStringList({"group_id", "_last"}));
        QCOMPARE(raw.columns("attachment"),
                 QStringList({"ROWID", "guid", "created_date", "start_date", "filename", "uti",
                              "mime_type", "transfer_state", "is_outgoing", "user_info",
                              "transfer_name", "total_bytes"}));
        QCOMPARE(raw.columns("chat_handle_join"), QStringList({"chat_id", "handle_id"}));
        QCOMPARE(raw.columns("chat_message_join"), QStringList({"chat_id", "message_id"}));
        QCOMPARE(raw.columns("message_attachment_join"),
                 QStringList({"message_id", "attachment_id"}));

        // Statement order of the script, as sqlite_master records it.
        QStringList order;
        for (const QVariantList &r : raw.rows("select name from sqlite_master where name not "
                                              "like 'sqlite_%' order by rowid"))
            order << r.value(0).toString();
        QCOMPARE(order,
                 QStringList({"message", "message_idx_handle", "message_idx_logic_hash",
                              "clean_orphaned_handles2", "handle", "chat", "chat_idx_last",
                              "chat_idx_identifier", "attachment", "chat_handle_join",
                              "clean_orphaned_handles", "chat_message_join",
                              "chat_message_join_idx_message_id", "clean_orphaned_messages",
                              "message_attachment_join", "clean_orphaned_attachments",
                              "set_message_has_attachments", "clear_message_has_attachments"}));
        // Defaults a new row relies on.
        raw.close();
        db.executeThrow(Sqlite3Sql("insert into message(guid) values('g')"));
        QCOMPARE(queryText(db, "select other_handle||','||item_type||','||version from message"),
                 QString("-1,0,0"));

        // The cached definitions, searched by the readers and writers.
        const QHash<QString, QString> &schemas = db.tableSchemas();
        for (const char *t : {"message", "handle", "chat", "attachment", "chat_handle_join",
                              "chat_message_join", "message_attachment_join"})
            QVERIFY2(schemas.value(t).startsWith("CREATE TABLE", Qt::CaseInsensitive), t);
        QVERIFY(schemas.value("message").contains("logic_hash"));
        QVERIFY(schemas.value("message").contains("item_type"));
        QVERIFY(schemas.value("handle").contains("_ct_name TEXT", Qt::CaseInsensitive));
        QVERIFY(schemas.value("handle").contains("_photo BLOB", Qt::CaseInsensitive));
        QVERIFY(schemas.value("chat").contains("_last INTEGER", Qt::CaseInsensitive));
        QVERIFY(schemas.value("chat").contains("group_id"));

        // A second open returns at once and does not refresh the cache.
        db.executeThrow(Sqlite3Sql("create table later(a)"));
        db.ensureOpen();
        QVERIFY(!db.tableSchemas().contains("later"));
    }

    void reopenLeavesCompleteDatabaseAlone()
    {
        const QString store = newStore();
        QString path;
        {
            IOS6MessageDb db(QDir(store), "310", true);
            db.ensureOpen();
            db.executeThrow(Sqlite3Sql("insert into message(guid, text) values('g1', 'kept')"));
            path = db.smsDbPath();
        }
        const QByteArray before = fileDigest(path);
        {
            IOS6MessageDb db(QDir(store), "310", true);
            db.ensureOpen();
            QCOMPARE(queryText(db, "select text from message where guid='g1'"), QString("kept"));
        }
        QCOMPARE(fileDigest(path), before);
        QCOMPARE(folderListing(QFileInfo(path).absolutePath()), QStringList({"sms.db"}));
    }

    void upgradeAddsMissingColumnsAndKeepsRows_data()
    {
        QTest::addColumn<PhoneSchema>("schema");
        QTest::addColumn<QStringList>("chatColumns");
        QTest::newRow("phone iOS 6")
                << PhoneSchema::ios6() << kChatBaseColumns + QStringList("group_id");
        QTest::newRow("phone without item_type")
                << PhoneSchema::ios6WithoutItemType() << kChatBaseColumns + QStringList("group_id");
        QTest::newRow("older archive") << PhoneSchema::olderLocal()
                                       << kChatBaseColumns + QStringList({"group_id", "_last"});
    }
    void upgradeAddsMissingColumnsAndKeepsRows()
    {
        QFETCH(PhoneSchema, schema);
        QFETCH(QStringList, chatColumns);
        const QString store = newStore();
        QString path;
        {
            PhoneSmsDb phone(store, schema);
            fillPhoneDb(phone);
            path = phone.path();
        }
        const QList<QVariantList> rowsBefore = sqliteRows(
                path, "select rowid, guid, text, handle_id, date from message order by rowid");
        QVERIFY(rowsBefore.size() >= 3);

        IOS6MessageDb db(QDir(store), "310", true);
        db.ensureOpen();
        {
            RawSqlite raw(path, false, true);
            QCOMPARE(raw.columns("message"), kMessageColumns);
            QCOMPARE(raw.columns("chat"), chatColumns);
            // Local columns of handle and chat._last are never added.
            QCOMPARE(raw.columns("handle").contains("_ct_name"), schema.localColumns);
            QCOMPARE(raw.rows("select rowid, guid, text, handle_id, date from message order by "
                              "rowid"),
                     rowsBefore);
            QCOMPARE(raw.scalar("select count(*) from sqlite_master where type='index' and "
                                "name='message_idx_logic_hash'")
                             .toInt(),
                     1);
            if (!schema.itemTypeColumns) // rows that predate the column get its default
                QCOMPARE(raw.scalar("select count(*) from message where other_handle=-1 and "
                                    "item_type=0")
                                 .toInt(),
                         int(rowsBefore.size()));
        }
        // The cache shows the added columns, so writers fill them.
        QVERIFY(db.tableSchemas().value("message").contains("logic_hash"));
        QVERIFY(db.tableSchemas().value("message").contains("item_type"));
        QVERIFY(db.tableSchemas().value("chat").contains("group_id"));
    }

    void upgradeKeepsExistingLogicHashWithoutIndex()
    {
        const QString store = newStore();
        QString path;
        {
            PhoneSmsDb phone(store, PhoneSchema::ios6());
            fillPhoneDb(phone);
            phone.db().exec("ALTER TABLE message ADD COLUMN logic_hash TEXT;");
            path = phone.path();
        }
        IOS6MessageDb db(QDir(store), "310", true);
        db.ensureOpen();
        QCOMPARE(sqliteScalar(path,
                              "select count(*) from sqlite_master where "
                              "name='message_idx_logic_hash'")
                         .toInt(),
                 0);
        QVERIFY(db.tableSchemas().value("chat").contains("group_id"));
    }

    void phoneCopyWithoutUpgradeStaysByteIdentical_data()
    {
        QTest::addColumn<PhoneSchema>("schema");
        PhoneSchema wal = PhoneSchema::ios6();
        wal.wal = true;
        QTest::newRow("rollback journal") << PhoneSchema::ios6();
        QTest::newRow("write-ahead log") << wal;
        QTest::newRow("without item_type") << PhoneSchema::ios6WithoutItemType();
    }
    void phoneCopyWithoutUpgradeStaysByteIdentical()
    {
        QFETCH(PhoneSchema, schema);
        const QString store = newStore();
        QString path;
        {
            PhoneSmsDb phone(store, schema);
            fillPhoneDb(phone);
            path = phone.path();
        }
        const QString folder = QFileInfo(path).absolutePath();
        const QByteArray before = fileDigest(path);
        const QStringList listing = folderListing(folder);
        {
            IOS6MessageDb db(QDir(store), "310", false);
            db.ensureOpen();
            QCOMPARE(queryText(db, "select count(*) from message"),
                     QString(schema.itemTypeColumns ? "4" : "3"));
            QVERIFY(!db.tableSchemas().value("message").contains("logic_hash"));
            QCOMPARE(db.tableSchemas().value("message").contains("item_type"),
                     schema.itemTypeColumns);
            QVERIFY(!db.tableSchemas().value("handle").contains("_ct_name", Qt::CaseInsensitive));
            QVERIFY(!db.tableSchemas().value("chat").contains("group_id"));
        }
        QCOMPARE(fileDigest(path), before);
        QCOMPARE(folderListing(folder), listing);
    }

    void failedCreationLeavesNoFile()
    {
        const QString store = newStore();
        IOS6MessageDb db(QDir(store), "310", true);
        // A folder where SQLite wants its journal makes the script fail after
        // the file was created.
        const QString blocker = db.smsDbPath() + "-journal";
        QVERIFY(QDir().mkpath(blocker));
        try {
            db.ensureOpen();
            QFAIL("creation should fail");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromUtf8(e.what()).startsWith("create IOS6MessageDb error. "),
                     e.what());
        }
        QVERIFY(!db.isOpen());
        QVERIFY(!QFileInfo::exists(db.smsDbPath()));
        QVERIFY(db.tableSchemas().isEmpty());

        // The next open starts afresh and makes a complete database.
        QVERIFY(QDir(blocker).removeRecursively());
        db.ensureOpen();
        QVERIFY(db.tableSchemas().value("message").contains("logic_hash"));
        QCOMPARE(sqliteScalar(db.smsDbPath(),
                              "select count(*) from sqlite_master where "
                              "type='trigger'")
                         .toInt(),
                 6);
    }

    void emptyFileIsGivenTheSchema_data()
    {
        QTest::addColumn<bool>("upgrade");
        QTest::newRow("local database") << true;
        QTest::newRow("phone copy") << false;
    }
    void emptyFileIsGivenTheSchema()
    {
        // What an interrupted creation used to leave: an sms.db without tables.
        QFETCH(bool, upgrade);
        const QString store = newStore();
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        QDir().mkpath(QFileInfo(path).absolutePath());
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        IOS6MessageDb db(QDir(store), "310", upgrade);
        db.ensureOpen();
        // Only databases of our own are completed; a phone's copy is left as it is.
        QCOMPARE(db.tableSchemas().value("message").contains("logic_hash"), upgrade);
        QCOMPARE(QFileInfo(path).size() > 0, upgrade);
    }

    void failedUpgradeClosesConnection()
    {
        const QString store = newStore();
        QString path;
        {
            PhoneSmsDb phone(store, PhoneSchema::ios6());
            fillPhoneDb(phone);
            // The index name the upgrade needs is taken, so the last step fails.
            phone.db().exec("CREATE INDEX message_idx_logic_hash ON chat(guid);");
            path = phone.path();
        }
        const QByteArray before = fileDigest(path);
        IOS6MessageDb db(QDir(store), "310", true);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                db.ensureOpen();
                QFAIL("the upgrade should fail");
            } catch (const std::runtime_error &e) {
                const QString text = QString::fromLocal8Bit(e.what());
                QVERIFY2(text.startsWith("line:"), e.what());
                QVERIFY2(text.contains(", sql:CREATE INDEX message_idx_logic_hash ON "
                                       "message(logic_hash);, error:"),
                         e.what());
            }
            // Closed, so no later call works on a database with unknown columns.
            QVERIFY(!db.isOpen());
            QVERIFY(db.tableSchemas().isEmpty());
        }
        // Rolled back: the file is as it was.
        QCOMPARE(fileDigest(path), before);
    }

    void triggers_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("expected");
        // expected: message rowids | handle rowids | attachment rowids |
        // cache_has_attachments of messages 1, 2, 3
        QTest::newRow("insert join sets has-attachments") << ""
                                                          << "1,2,3|1,2,3|1,2|1,1,0";
        QTest::newRow("flag stays while another attachment remains")
                << "delete from message_attachment_join where message_id=2 and attachment_id=2"
                << "1,2,3|1,2,3|1|1,1,0";
        QTest::newRow("flag cleared with the last attachment")
                << "delete from message_attachment_join where message_id=2"
                << "1,2,3|1,2,3|1|1,0,0";
        QTest::newRow("shared attachment kept")
                << "delete from message_attachment_join where message_id=2 and attachment_id=1"
                << "1,2,3|1,2,3|1,2|1,1,0";
        QTest::newRow("orphaned messages and their handle go")
                << "delete from chat_message_join where message_id=2"
                << "1|1,3|1,2|1";
        QTest::newRow("handle kept while a message names it") << "delete from message where rowid=3"
                                                              << "1,2|1,2,3|1,2|1,1";
        QTest::newRow("handle of the last message goes") << "delete from message where rowid=2"
                                                         << "1,3|1,3|1,2|1,0";
        QTest::newRow("handle without chat or message goes")
                << "delete from chat_handle_join where handle_id=3"
                << "1,2,3|1,2|1,2|1,1,0";
        QTest::newRow("handle kept while its messages remain")
                << "delete from chat_handle_join where handle_id=1"
                << "1,2,3|1,2,3|1,2|1,1,0";
    }
    void triggers()
    {
        QFETCH(QString, action);
        QFETCH(QString, expected);
        IOS6MessageDb db(QDir(newStore()), "310", true);
        db.ensureOpen();
        QString error;
        QCOMPARE(db.exec("INSERT INTO handle (ROWID, id, service) VALUES (1, '+1', 'SMS'), "
                         "(2, '+2', 'SMS'), (3, '+3', 'SMS');"
                         "INSERT INTO chat (ROWID, guid) VALUES (1, 'SMS;-;+1');"
                         "INSERT INTO chat_handle_join VALUES (1, 1), (1, 3);"
                         "INSERT INTO message (ROWID, guid, handle_id, text) VALUES "
                         "(1, 'm1', 1, 'a'), (2, 'm2', 2, 'b'), (3, 'm3', 1, 'no chat');"
                         "INSERT INTO chat_message_join VALUES (1, 1), (1, 2);"
                         "INSERT INTO attachment (ROWID, guid) VALUES (1, 'a1'), (2, 'a2');"
                         "INSERT INTO message_attachment_join VALUES (1, 1), (2, 1), (2, 2);",
                         error),
                 0);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        if (!action.isEmpty())
            QVERIFY2(db.exec(action, error) == 0, qPrintable(error));
        QCOMPARE(queryText(db,
                           "select (select group_concat(rowid) from (select rowid from message "
                           "order by rowid)) || '|' || (select group_concat(rowid) from (select "
                           "rowid from handle order by rowid)) || '|' || (select "
                           "group_concat(rowid) from (select rowid from attachment order by "
                           "rowid)) || '|' || (select group_concat(cache_has_attachments) from "
                           "(select cache_has_attachments from message order by rowid))"),
                 expected);
    }

    void rejoiningKeepsMessageAndHandle()
    {
        IOS6MessageDb db(QDir(newStore()), "310", true);
        db.ensureOpen();
        QString error;
        QCOMPARE(db.exec("INSERT INTO handle (ROWID, id, service) VALUES (1, '+1', 'SMS');"
                         "INSERT INTO chat (ROWID, guid) VALUES (1, 'SMS;-;+1');"
                         "INSERT INTO chat_handle_join VALUES (1, 1);"
                         "INSERT INTO message (ROWID, guid, handle_id) VALUES (1, 'm1', 1);"
                         "INSERT INTO chat_message_join VALUES (1, 1);",
                         error),
                 0);
        // The writers join with "replace into", which deletes the old row
        // first; only with recursive triggers would that delete fire the
        // clean-up triggers.
        db.executeThrow(
                Sqlite3Sql("replace into chat_message_join(chat_id,message_id) values(1,1)"));
        db.executeThrow(Sqlite3Sql("replace into chat_handle_join(chat_id,handle_id) values(1,1)"));
        QCOMPARE(queryText(db, "select count(*) from message"), QString("1"));
        QCOMPARE(queryText(db, "select count(*) from handle"), QString("1"));
        QCOMPARE(queryText(db, "select count(*) from chat_message_join"), QString("1"));

        // The same statement on a connection with recursive triggers loses the
        // message: what the connection settings guard against.
        const QString path = db.smsDbPath();
        db.close();
        RawSqlite raw(path);
        raw.exec("PRAGMA recursive_triggers=ON;");
        raw.exec("replace into chat_message_join(chat_id,message_id) values(1,1)");
        QCOMPARE(raw.scalar("select count(*) from message").toInt(), 0);
    }

    void phoneTriggersRunWithoutTouchingFiles()
    {
        const QString store = newStore();
        QString path, file;
        {
            PhoneSmsDb phone(store, PhoneSchema::ios6());
            qint64 h = phone.addHandle("+12025550143");
            qint64 m = phone.addText(phone.addChat(h), "pic", h, 400000000);
            qint64 a = phone.addAttachment(m, "IMG_0002.JPG", QByteArray("bytes"));
            path = phone.path();
            file = phone.attachmentLocalFile(a);
        }
        QVERIFY(QFileInfo::exists(file));
        {
            // Without the functions the phone's triggers cannot run.
            RawSqlite raw(path);
            QVERIFY_THROWS_EXCEPTION(std::runtime_error, raw.exec("delete from attachment"));
        }
        IOS6MessageDb db(QDir(store), "310", false);
        db.ensureOpen();
        db.executeThrow(Sqlite3Sql("delete from attachment"));
        db.executeThrow(Sqlite3Sql("delete from message_attachment_join"));
        QCOMPARE(queryText(db, "select count(*) from attachment"), QString("0"));
        QVERIFY(QFileInfo::exists(file));
        QCOMPARE(queryText(db,
                           "select before_delete_attachment_path(1, 'g') || "
                           "delete_attachment_path('x')"),
                 QString("00"));
    }

    void generatedPhoneDatabase()
    {
        // The generator shared with the benchmarks makes what a phone holds,
        // and an upgrade keeps every row of it.
        const QString store = newStore();
        GeneratedSmsDbSpec spec;
        spec.messages = 3000;
        spec.chats = 15;
        spec.attachmentShare = 0.05;
        spec.systemItemShare = 0.05;
        const GeneratedSmsDbStats st = generatePhoneSmsDb(store, spec);
        QCOMPARE(st.messages, 3000);
        QCOMPARE(st.chats, 15);
        QVERIFY(st.groupChats >= 2);
        QVERIFY(st.attachments > 50 && st.systemItems > 5 && st.emojiMessages > 50);

        IOS6MessageDb db(QDir(store), "310", true);
        db.ensureOpen();
        QCOMPARE(queryText(db, "select count(*) from message"), QString::number(st.messages));
        QCOMPARE(queryText(db, "select count(*) from chat_message_join"),
                 QString::number(st.messages));
        QCOMPARE(queryText(db, "select count(*) from chat where style=43"),
                 QString::number(st.groupChats));
        QCOMPARE(queryText(db, "select count(*) from message where item_type<>0"),
                 QString::number(st.systemItems));
        QCOMPARE(queryText(db, "select count(*) from message where cache_has_attachments=1"),
                 QString::number(st.attachments));
        QCOMPARE(queryText(db, "select count(*) from handle"), QString::number(st.handles));
        QCOMPARE(queryText(db, "select count(*) from message where logic_hash is null"),
                 QString::number(st.messages));
        // Every attachment's file lies where its phone path says.
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select filename, total_bytes from attachment"));
        int files = 0;
        while (c.moveNext()) {
            const QString name = c.getText("filename");
            QVERIFY(name.startsWith("~/Library/SMS/Attachments/"));
            QFileInfo f(db.fileRelayDir().absoluteFilePath("var/mobile/" + name.mid(2)));
            QVERIFY2(f.isFile(), qPrintable(f.filePath()));
            QCOMPARE(f.size(), c.getInt64("total_bytes"));
            ++files;
        }
        QCOMPARE(files, st.attachments);

        // The same seed gives the same database.
        const QString again = newStore();
        generatePhoneSmsDb(again, spec);
        QCOMPARE(sqliteScalar(PhoneSmsDb::smsDbPathOf(again),
                              "select group_concat(text, '|') from (select text from message "
                              "order by rowid limit 50)"),
                 sqliteScalar(db.smsDbPath(),
                              "select group_concat(text, '|') from (select text "
                              "from message order by rowid limit 50)"));
    }

    void otherSmsDbPath()
    {
        const QString store = newStore();
        const QString other = QDir(store).absoluteFilePath("work/copy.db");
        IOS6MessageDb db(QDir(store), "310", true);
        db.setSmsDbPath(other);
        db.ensureOpen();
        QVERIFY(QFileInfo(other).isFile());
        QVERIFY(!QFileInfo::exists(store + "/file-relay"));
        QCOMPARE(db.fileRelayDir().absolutePath(), store + "/file-relay");
    }
};

QTEST_GUILESS_MAIN(TestLocalDb)
#include "tst_localdb.moc"
