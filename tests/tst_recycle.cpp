#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "store/msgutil.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QLockFile>
#include <QRegularExpression>
#include <QtTest>
#include <limits>
#include <memory>

namespace {

_MsgMessage message(const QString &guid, const QString &text, int date, int fromMe = 0,
                    const QString &service = "SMS", qint64 handleId = 0)
{
    _MsgMessage m;
    m.guid = guid;
    m.text = text;
    m.date = date;
    m.is_from_me = fromMe;
    m.service = service;
    m.handle_id = handleId;
    return m;
}

_MsgRecycleMessage recycled(qint64 rowid, const QString &service, qint64 handleId,
                            const QString &chatIdentifier, const QString &handle = {},
                            int date = 400000000)
{
    _MsgRecycleMessage r;
    r.ROWID = rowid;
    r.guid = QString("00000000-0000-0000-0000-%1")
                     .arg(qAbs(rowid) % 1000000000000LL, 12, 10, QChar('0'));
    r.text = "recovered";
    r.service = service;
    r.handle_id = handleId;
    r.date = date;
    r.highlight = true;
    r.chat_identifier = chatIdentifier;
    r.handleAddress = handle;
    return r;
}

_MsgChat *addLiveChat(_MsgDataSet &set, qint64 rowid, const QString &identifier,
                      const QString &service, const QStringList &handleIds)
{
    auto *chat = new _MsgChat;
    chat->ROWID = rowid;
    chat->chat_identifier = identifier;
    chat->service_name = service;
    chat->guid = service + ";-;" + identifier;
    chat->lastDate = 300000000;
    set.chats.insert(rowid, chat);
    for (const QString &id : handleIds) {
        auto *h = new _MsgHandle;
        h->ROWID = rowid * 10 + set.handles.size() + 1;
        h->id = id;
        h->service = service;
        set.handles.insert(h->ROWID, h);
        chat->handles.insert(QString::number(h->ROWID), h);
    }
    return chat;
}

const QRegularExpression
        kUpperGuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");

} // namespace

class TestRecycle : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> env;
    int counter = 0;
    QString newStore()
    {
        const QString store
                = QDir(env->home()).absoluteFilePath(QString("stores/s%1").arg(++counter));
        QDir().mkpath(store);
        return store;
    }

private slots:
    void initTestCase() { env = std::make_unique<TestEnv>(); }

    void createdOnFirstUseOnly()
    {
        const QString store = newStore();
        const QString path = store + "/recycle.db";
        IOS6MessageDb sms(QDir(store), "310", true);
        sms.ensureOpen();
        QVERIFY(!QFileInfo::exists(path));
        MessageRecycleDb &db = sms.recycleStore();
        QCOMPARE(db.filePath(), path);
        QVERIFY(db.loadRecycledMessages().isEmpty());
        QVERIFY(db.loadRecycledHandles().isEmpty());
        QVERIFY(QFileInfo(path).isFile());

        RawSqlite raw(path, false, true);
        QStringList tables, indexes;
        for (const QVariantList &r : raw.rows("select type, name from sqlite_master where name "
                                              "not like 'sqlite_%' order by rowid"))
            (r.value(0) == "table" ? tables : indexes) << r.value(1).toString();
        QCOMPARE(tables, QStringList({"message", "chat", "handle"}));
        QCOMPARE(
                indexes,
                QStringList({"message_idx_chat_identifier", "message_idx_chat_date",
                             "message_idx_handle_id", "message_idx_src_rowid",
                             "chat_idx_identifier", "chat_idx_src_rowid", "handle_idx_src_rowid"}));
        const QStringList cols = raw.columns("message");
        QCOMPARE(cols.size(), 42);
        QCOMPARE(cols.mid(36),
                 QStringList({"was_data_detected", "was_deduplicated", "chat_identifier", "handle",
                              "src_rowid", "is_skip"}));
        QCOMPARE(raw.columns("handle"),
                 QStringList(
                         {"ROWID", "id", "country", "service", "uncanonicalized_id", "src_rowid"}));
        QCOMPARE(raw.columns("chat").last(), QString("src_rowid"));
    }

    void failedCreationLeavesNoFile()
    {
        const QString store = newStore();
        const QString path = store + "/recycle.db";
        MessageRecycleDb db(path);
        QVERIFY(QDir().mkpath(path + "-journal")); // the schema cannot be written
        try {
            db.loadRecycledMessages();
            QFAIL("creation should fail");
        } catch (const std::runtime_error &e) {
            QVERIFY2(QString::fromUtf8(e.what()).startsWith("create MessageRecycleDb error. "),
                     e.what());
        }
        QVERIFY(!db.isOpen());
        QVERIFY(!QFileInfo::exists(path));

        QVERIFY(QDir(path + "-journal").removeRecursively());
        QVERIFY(db.insertRecycledHandle(_MsgHandle(), 0) > 0);
        QCOMPARE(db.loadRecycledHandles().size(), 1);
    }

    void emptyFileGetsTheSchema()
    {
        // What an interrupted creation of an older release leaves behind.
        const QString path = newStore() + "/recycle.db";
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        MessageRecycleDb db(path);
        QVERIFY(db.loadRecycledMessages().isEmpty());
        QVERIFY(db.insertRecycledMessage(message("", "x", 1), "", "", 0) > 0);
    }

    void insertsMessagesAsStored_data()
    {
        QTest::addColumn<QString>("guid");
        QTest::addColumn<bool>("kept");
        QTest::newRow("upper case") << "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D" << true;
        QTest::newRow("lower case") << "0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("braces") << "{0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D}" << false;
        QTest::newRow("non-ASCII letter")
                << QString::fromUtf8("0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5\u00C4") << false;
        QTest::newRow("trailing newline") << "0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D\n" << false;
    }
    void insertsMessagesAsStored()
    {
        QFETCH(QString, guid);
        QFETCH(bool, kept);
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        _MsgMessage m = message(guid, "hello", 400000000, 1, "iMessage", 7);
        m.cache_has_attachments = 0;
        _MsgAttachment att;
        att.ROWID = 3;
        m.attachments.insert("3", &att);
        m.is_audio_message = 1; // newer columns are not stored
        const qint64 rowid = db.insertRecycledMessage(m, "+12025550143", "+12025550143", 42);
        QVERIFY(rowid > 0);
        const QVariantList row
                = sqliteRows(path,
                             "select guid, service_center, subject, country, attributedBody, "
                             "cache_has_attachments, src_rowid, is_skip, handle_id, "
                             "chat_identifier, handle, text from message where rowid=?",
                             {rowid})
                          .value(0);
        if (kept)
            QCOMPARE(row.value(0).toString(), guid);
        else
            QVERIFY2(kUpperGuid.match(row.value(0).toString()).hasMatch(),
                     qPrintable(row.value(0).toString()));
        for (int i = 1; i <= 4; ++i) // empty optional values are NULL
            QVERIFY2(row.value(i).isNull(), qPrintable(QString::number(i)));
        QCOMPARE(row.value(5).toInt(), 1);
        QCOMPARE(row.value(6).toLongLong(), 42);
        QCOMPARE(row.value(7).toInt(), 0);
        QCOMPARE(row.value(8).toLongLong(), 7);
        QCOMPARE(row.value(9).toString(), QString("+12025550143"));
        QCOMPARE(row.value(11).toString(), QString("hello"));

        // src_rowid only for a positive source row id; a message without
        // attachments is stored without the flag whatever it says.
        _MsgMessage plain = message("", "x", 1);
        plain.cache_has_attachments = 1;
        const qint64 r0 = db.insertRecycledMessage(plain, "", "", 0);
        const qint64 r1 = db.insertRecycledMessage(message("", "y", 1), "", "", -5);
        const qint64 r2 = db.insertRecycledMessage(message("", "z", 1), "", "", 1);
        QVERIFY(sqliteScalar(path, "select src_rowid from message where rowid=?", {r0}).isNull());
        QVERIFY(sqliteScalar(path, "select src_rowid from message where rowid=?", {r1}).isNull());
        QCOMPARE(sqliteScalar(path, "select src_rowid from message where rowid=?", {r2}).toInt(),
                 1);
        QCOMPARE(sqliteScalar(path, "select cache_has_attachments from message where rowid=?", {r0})
                         .toInt(),
                 0);
    }

    void findsTheSameMessage()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        const QString guid = "11111111-2222-3333-4444-555555555555";
        const qint64 a = db.insertRecycledMessage(message(guid, "hello", 400000000, 1), "", "", 0);
        {
            // A row whose text is NULL, as salvaged rows without a body are.
            RawSqlite raw(path);
            raw.run("insert into message(guid, text, date, is_from_me) values(?, NULL, 400000500, "
                    "0)",
                    {"66666666-7777-8888-9999-000000000000"});
        }
        const qint64 nullRow = 2;

        struct Case
        {
            const char *name;
            _MsgMessage m;
            qint64 expected;
        } cases[] = {
                {"same guid", message(guid, "other", 1, 0), a},
                {"same date, direction, text", message("new", "hello", 400000000, 1), a},
                {"other direction", message("new", "hello", 400000000, 0), 0},
                {"other text", message("new", "hello!", 400000000, 1), 0},
                {"no text against NULL", message("new", QString(), 400000500, 0), nullRow},
                {"empty text against NULL", message("new", "", 400000500, 0), nullRow},
        };
        for (const Case &c : cases)
            QVERIFY2(db.findRecycledMessage(c.m) == c.expected, c.name);

        // A rescan that meets the same salvaged rows stores nothing twice.
        int stored = 0;
        for (const Case &c : cases) {
            if (db.findRecycledMessage(c.m) == 0) {
                db.insertRecycledMessage(c.m, "", "", 0);
                ++stored;
            }
            QVERIFY(db.findRecycledMessage(c.m) != 0);
        }
        QCOMPARE(stored, 2);
    }

    // Inserts and look-ups keep their statements across the store being
    // closed, and across its file being replaced meanwhile.
    void insertsAndFindsAfterReopening()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        const _MsgMessage first = message("11111111-2222-3333-4444-555555555555", "one", 400000000);
        const _MsgMessage second = message("21111111-2222-3333-4444-555555555555", "two", 400000100);
        QCOMPARE(db.insertRecycledMessage(first, "", "", 0), 1);
        QCOMPARE(db.findRecycledMessage(first), 1);
        db.close();
        QCOMPARE(db.findRecycledMessage(first), 1);
        QCOMPARE(db.insertRecycledMessage(second, "", "", 0), 2);
        db.close();
        QVERIFY(QFile::remove(path));
        QCOMPARE(db.findRecycledMessage(second), 0);
        QCOMPARE(db.insertRecycledMessage(second, "", "", 0), 1);
        QCOMPARE(db.findRecycledMessage(second), 1);
        QCOMPARE(sqliteScalar(path, "select count(*) from message").toInt(), 1);
        // A failing insert (the guid is unique) leaves the statement usable.
        QVERIFY_THROWS_EXCEPTION(std::exception,
                                 db.insertRecycledMessage(message(second.guid, "x", 1), "", "", 0));
        QCOMPARE(db.insertRecycledMessage(first, "", "", 0), 2);
    }

    void movesMessagesToANumber()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        _MsgMessage m = message("", "lost", 400000000);
        db.insertRecycledMessage(m, "", "", 9);
        db.beginTransaction();
        db.setRecycledMessageChat(m, "+12025550143", "+12025550143");
        db.setRecycledMessageChat(message("", "never stored", 5), "+1", "+1");
        db.endTransaction(true);
        QCOMPARE(sqliteRows(path, "select chat_identifier, handle from message"),
                 QList<QVariantList>({{"+12025550143", "+12025550143"}}));
    }

    void storesAndFindsHandles()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        _MsgHandle h;
        h.id = "+12025550143";
        h.service = "iMessage";
        h.country = "us";
        h.uncanonicalized_id = "(202) 555-0143";
        QCOMPARE(db.findRecycledHandle(h), 0);
        const qint64 r = db.insertRecycledHandle(h, 17);
        QCOMPARE(db.findRecycledHandle(h), r);
        _MsgHandle sms = h;
        sms.service = "SMS";
        QCOMPARE(db.findRecycledHandle(sms), 0);
        db.insertRecycledHandle(sms, 0);

        _MsgHandle bySrc = db.recycledHandleBySrcRowid(17);
        QCOMPARE(bySrc.ROWID, 17);
        QCOMPARE(bySrc.id, h.id);
        QCOMPARE(bySrc.service, QString("iMessage"));
        QCOMPARE(bySrc.uncanonicalized_id, h.uncanonicalized_id);
        QVERIFY(bySrc.country.isEmpty());
        _MsgHandle none = db.recycledHandleBySrcRowid(18);
        QCOMPARE(none.ROWID, 0);
        QCOMPARE(none.service, QString("SMS"));
        QVERIFY(none.id.isEmpty());

        const QList<_MsgHandle> all = db.loadRecycledHandles();
        QCOMPARE(all.size(), 2);
        QCOMPARE(all.first().ROWID, r); // the recycle.db row id, not src_rowid
        QVERIFY(sqliteScalar(path, "select src_rowid from handle where service='SMS'").isNull());
    }

    void loadsUnskippedMessagesWithNegativeIds()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        _MsgMessage m = message("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "first", 400000000, 1,
                                "iMessage", 7);
        m.account_guid = "acc";
        db.insertRecycledMessage(m, "chat123", "+12025550143", 5);
        db.insertRecycledMessage(message("", "skipped", 1), "", "", 0);
        db.insertRecycledMessage(message("", "third", 2), "", "", 0);
        {
            RawSqlite raw(path);
            raw.run("update message set is_skip=1 where rowid=2");
        }
        const QList<_MsgRecycleMessage> list = db.loadRecycledMessages();
        QCOMPARE(list.size(), 2);
        const _MsgRecycleMessage &r = list.first();
        QCOMPARE(r.ROWID, Q_INT64_C(-2047483649));
        QCOMPARE(r.guid, m.guid);
        QCOMPARE(r.text, QString("first"));
        QCOMPARE(r.is_from_me, 1);
        QCOMPARE(r.handle_id, 7);
        QCOMPARE(r.account_guid, QString("acc"));
        QCOMPARE(r.chat_identifier, QString("chat123"));
        QCOMPARE(r.handleAddress, QString("+12025550143"));
        QVERIFY(r.highlight);
        QCOMPARE(r.other_handle, -1); // columns recycle.db lacks keep a new record's values
        QCOMPARE(list.last().ROWID, Q_INT64_C(-2047483651));
        QCOMPARE(list.last().text, QString("third"));
    }

    void rowIdsBeyondTheRangeAreSkipped()
    {
        const QString path = newStore() + "/recycle.db";
        MessageRecycleDb db(path);
        db.insertRecycledMessage(message("", "ok", 1), "", "", 0);
        {
            RawSqlite raw(path);
            raw.run("insert into message(rowid, guid, text) values(9223372036854775807, 'x', "
                    "'huge')");
        }
        const QList<_MsgRecycleMessage> list = db.loadRecycledMessages();
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().text, QString("ok"));
    }

    void groupsIntoLiveAndRecoveredChats()
    {
        MsgDataSet ds;
        ds.reset();
        _MsgDataSet &set = *ds.data();
        _MsgChat *liveSms = addLiveChat(set, 1, "+12025550143", "SMS", {"+12025550143"});
        _MsgChat *liveIm = addLiveChat(set, 2, "+12025550143", "imessage", {"+12025550143"});
        _MsgChat *group = addLiveChat(set, 3, "chat100", "iMessage", {"+1", "+2", "+3"});
        auto *live = new _MsgMessage(message("live", "live", 300000000));
        live->ROWID = 1;
        set.messages.insert(1, live);

        _MsgRecycleMessage imNew = recycled(-2047483652, "iMessage", 8, "x@example.com");
        imNew.account = "e:me@example.com";
        _MsgRecycleMessage imKnownAccount = recycled(-2047483653, "iMessage", 9, "y@example.com");
        imKnownAccount.account_guid = "ABCDEF01-2345-6789-ABCD-EF0123456789";
        const QList<_MsgRecycleMessage> list = {
                recycled(-2047483649, "SMS", 1, "+12025550143", "", 400000100),
                recycled(-2047483650, "iMessage", 1, "+12025550143"),
                recycled(-2047483651, "SMS", 7, "+12025550199", "", 400000300),
                imNew,
                imKnownAccount,
                recycled(-2047483654, "SMS", 12, "", "", 400000400),
                recycled(-2047483655, "SMS", 12, "", "", 400000500),
                recycled(-2047483656, "iMessage", 0, "chat100", "+2"),
                recycled(-2047483657, "iMessage", 0, "chat100", "+9"),
        };
        MessageRecycleDb::groupRecycledMessages(ds, list);

        auto msg = [&](qint64 id) { return set.messages.value(id); };
        // Every record is in the set under its own id, with the opposite order key.
        QCOMPARE(set.messages.size(), list.size() + 1);
        QCOMPARE(msg(-2047483649)->orderKey, Q_INT64_C(2047483649));
        QVERIFY(msg(-2047483649)->highlight);
        QCOMPARE(msg(1), live);

        // Live chats of the same identifier and service take them.
        QCOMPARE(msg(-2047483649)->chat, liveSms);
        QCOMPARE(msg(-2047483649)->handle, liveSms->handles.first());
        QCOMPARE(liveSms->lastDate, 400000100);
        QCOMPARE(msg(-2047483650)->chat, liveIm);
        QVERIFY(liveSms->messages.contains("-2047483649"));
        QVERIFY(liveIm->messages.contains("-2047483650"));

        // A new SMS conversation: row id from handle_id, one handle under its identifier.
        _MsgChat *smsNew = set.chats.value(-1947483654);
        QVERIFY(smsNew);
        QCOMPARE(smsNew->guid, QString("SMS;-;+12025550199"));
        QCOMPARE(smsNew->chat_identifier, QString("+12025550199"));
        QCOMPARE(smsNew->service_name, QString("SMS"));
        QCOMPARE(smsNew->account_login, QString("E:"));
        QCOMPARE(smsNew->style, 45);
        QCOMPARE(smsNew->lastDate, 400000300);
        QCOMPARE(smsNew->handles.keys(), QStringList("+12025550199"));
        QCOMPARE(smsNew->handles.first(), set.handles.value(-1947483654));
        QCOMPARE(set.handles.value(-1947483654)->id, QString("+12025550199"));
        QCOMPARE(msg(-2047483651)->handle, smsNew->handles.first());

        // New iMessage conversations.
        _MsgChat *im = set.chats.value(-1947483655);
        QVERIFY(im);
        QCOMPARE(im->guid, QString("iMessage;-;x@example.com"));
        QCOMPARE(im->service_name, QString("iMessage"));
        QCOMPARE(im->account_id, md5Guid("x@example.com"));
        QCOMPARE(im->account_login, QString("e:me@example.com"));
        QCOMPARE(set.handles.value(-1947483655)->service, QString("iMessage"));
        QCOMPARE(set.chats.value(-1947483656)->account_id,
                 QString("ABCDEF01-2345-6789-ABCD-EF0123456789"));

        // The conversation of unknown correspondents of handle_id 12.
        _MsgChat *unknown = set.chats.value(-2047483659);
        QVERIFY(unknown);
        QCOMPARE(unknown->chat_identifier, QString("unknown12"));
        QCOMPARE(unknown->guid, QString("SMS;-;unknown12"));
        QCOMPARE(msg(-2047483654)->chat, unknown);
        QCOMPARE(msg(-2047483655)->chat, unknown);
        QCOMPARE(msg(-2047483655)->handle, set.handles.value(-2047483659));
        QCOMPARE(unknown->messages.size(), 2);
        QCOMPARE(unknown->lastDate, 400000500);
        QVERIFY(isUnknownRecoveredChat(unknown->ROWID));
        QVERIFY(!isUnknownRecoveredChat(smsNew->ROWID) && isRecoveredChat(smsNew->ROWID));

        // A live group chat: the sender is found by address, else none.
        QCOMPARE(msg(-2047483656)->chat, group);
        QVERIFY(msg(-2047483656)->handle);
        QCOMPARE(msg(-2047483656)->handle->id, QString("+2"));
        QCOMPARE(msg(-2047483657)->chat, group);
        QVERIFY(!msg(-2047483657)->handle);

        // Live records keep their ids; nothing else was made.
        QCOMPARE(set.chats.size(), 3 + 4);
        QCOMPARE(set.chats.value(1), liveSms);
        QCOMPARE(set.chats.value(2), liveIm);

        // Grouping the same list again adds nothing.
        const int chats = int(set.chats.size()), handles = int(set.handles.size()),
                  messages = int(set.messages.size());
        MessageRecycleDb::groupRecycledMessages(ds, list);
        QCOMPARE(int(set.chats.size()), chats);
        QCOMPARE(int(set.handles.size()), handles);
        QCOMPARE(int(set.messages.size()), messages);
        QCOMPARE(unknown->messages.size(), 2);
    }

    void recoveredChatsNeverShareAnId()
    {
        MsgDataSet ds;
        ds.reset();
        _MsgDataSet &set = *ds.data();
        // Already taken: a chat and a lone handle where new conversations would go.
        addLiveChat(set, -1947483647, "earlier", "SMS", {});
        auto *h = new _MsgHandle;
        h->ROWID = -1947483648;
        set.handles.insert(h->ROWID, h);

        const qint64 big = std::numeric_limits<qint64>::max();
        // Salvaged rows of an iOS 5 database all carry handle_id 0; damaged
        // ones may carry anything.
        const QList<_MsgRecycleMessage> list = {
                recycled(-2047483649, "SMS", 0, "+111"),
                recycled(-2047483650, "SMS", 0, "+222"),
                recycled(-2047483651, "iMessage", 0, "a@example.com"),
                recycled(-2047483652, "SMS", -3, "+333"),
                recycled(-2047483653, "SMS", big, "+444"),
                recycled(-2047483654, "SMS", big, ""),
                recycled(-2047483655, "SMS", std::numeric_limits<qint64>::min(), ""),
                recycled(-2047483656, "SMS", 0, ""),
        };
        MessageRecycleDb::groupRecycledMessages(ds, list);

        QSet<qint64> ids;
        QSet<QString> identifiers;
        for (const _MsgRecycleMessage &r : list) {
            _MsgMessage *m = set.messages.value(r.ROWID);
            QVERIFY(m && m->chat);
            QCOMPARE(set.chats.value(m->chat->ROWID), m->chat);
            const QString ident = m->chat->chat_identifier;
            if (r.chat_identifier.isEmpty()) {
                QVERIFY2(m->chat->ROWID <= -2047483647, qPrintable(ident));
            } else {
                QCOMPARE(ident, r.chat_identifier);
                QVERIFY2(m->chat->ROWID <= -1947483647 && m->chat->ROWID > -2047483647,
                         qPrintable(ident));
                QCOMPARE(m->handle, set.handles.value(m->chat->ROWID));
            }
            if (!identifiers.contains(ident)) {
                identifiers.insert(ident);
                QVERIFY2(!ids.contains(m->chat->ROWID), qPrintable(ident));
                ids.insert(m->chat->ROWID);
            }
        }
        // The taken ids kept their records.
        QCOMPARE(set.chats.value(-1947483647)->chat_identifier, QString("earlier"));
        QCOMPARE(set.handles.value(-1947483648), h);
        // One conversation per identifier; out-of-range handle ids start at
        // the top of their range and move down to a free id.
        QCOMPARE(identifiers.size(), 8);
        QCOMPARE(set.chats.size(), 1 + 8);
    }

    // A deletion of salvaged and live messages killed between its two
    // commits left its record: the salvaged rows go only when sms.db shows
    // that its part was committed; whatever else is found keeps them.
    void interruptedDeletionIsFinishedOrDropped_data()
    {
        using R = IOS6MessageDb::RecycleDeletion;
        QTest::addColumn<QByteArray>("record"); // %1, %2: the live rows' rowids
        QTest::addColumn<int>("liveGone"); // live rows deleted before the finish
        QTest::addColumn<bool>("smsMissing");
        QTest::addColumn<bool>("locked"); // another run holds the record
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("salvagedLeft");
        QTest::addColumn<bool>("recordLeft");
        const QByteArray good = R"({"version":1,"recycle":[1,3],"live":[[%1,"LIVE-1"],[%2,""]]})";
        QTest::newRow("sms.db committed") << good << 2 << false << false << int(R::Finished) << 2
                                          << false;
        QTest::newRow("sms.db not committed")
                << good << 0 << false << false << int(R::Undone) << 4 << false;
        QTest::newRow("sms.db changed since")
                << good << 1 << false << false << int(R::Undone) << 4 << false;
        QTest::newRow("a live row under another guid")
                << QByteArray(R"({"version":1,"recycle":[1,3],"live":[[%1,"OTHER"],[%2,"X"]]})")
                << 0 << false << false << int(R::Finished) << 2 << false;
        QTest::newRow("damaged") << QByteArray("{\"version\":1,\"recy") << 2 << false << false
                                 << int(R::Undone) << 4 << false;
        QTest::newRow("no live rows named")
                << QByteArray(R"({"version":1,"recycle":[1],"live":[]})") << 2 << false << false
                << int(R::Undone) << 4 << false;
        QTest::newRow("a recycle row that is no number")
                << QByteArray(R"({"version":1,"recycle":["1"],"live":[[%1,"LIVE-1"]]})") << 2
                << false << false << int(R::Undone) << 4 << false;
        QTest::newRow("another version")
                << QByteArray(R"({"version":2,"recycle":[1],"live":[[%1,"LIVE-1"]]})") << 2
                << false << false << int(R::Undone) << 4 << false;
        QTest::newRow("sms.db missing")
                << good << 2 << true << false << int(R::Kept) << 4 << true;
        QTest::newRow("held by a running deletion")
                << good << 2 << false << true << int(R::Kept) << 4 << true;
        QTest::newRow("no record") << QByteArray() << 2 << false << false << int(R::Nothing) << 4
                                   << false;
    }

    void interruptedDeletionIsFinishedOrDropped()
    {
        QFETCH(QByteArray, record);
        QFETCH(int, liveGone);
        QFETCH(bool, smsMissing);
        QFETCH(bool, locked);
        QFETCH(int, result);
        QFETCH(int, salvagedLeft);
        QFETCH(bool, recordLeft);

        const QString store = newStore();
        qint64 live[2] = {};
        {
            IOS6MessageDb sms(QDir(store), "310", true);
            sms.ensureOpen();
            MessageRecycleDb &db = sms.recycleStore();
            db.beginTransaction();
            for (int i = 0; i < 4; ++i)
                db.insertRecycledMessage(message("", QString("salvaged %1").arg(i), 400000000 + i),
                                         "+12025550143", "+12025550143", 0);
            db.endTransaction(true);
            db.close();
            sms.close();
        }
        const QString smsPath = store + "/file-relay/var/mobile/Library/SMS/sms.db";
        {
            RawSqlite raw(smsPath);
            live[0] = raw.run("insert into message (guid, text) values ('LIVE-1', 'one')");
            live[1] = raw.run("insert into message (guid, text) values ('', 'two')");
            raw.run("insert into message (guid, text) values ('LIVE-3', 'stays')");
            for (int i = 0; i < liveGone; ++i)
                raw.run("delete from message where rowid=?", {live[i]});
        }
        if (smsMissing)
            QVERIFY(QFile::remove(smsPath));
        const QString recordPath = store + "/.delete-recycle";
        if (!record.isEmpty()) {
            QFile f(recordPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QString::fromUtf8(record).arg(live[0]).arg(live[1]).toUtf8());
        } else {
            // What a run killed while writing its record leaves.
            QFile f(recordPath + ".new");
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("{\"version\"");
        }
        QLockFile holder(recordPath + ".lock");
        if (locked)
            QVERIFY(holder.tryLock(0));

        IOS6MessageDb sms(QDir(store), "310", false);
        QCOMPARE(int(sms.finishRecycleDeletion()), result);
        sms.close();
        sms.recycleStore().close();
        QCOMPARE(sqliteScalar(store + "/recycle.db", "select count(*) from message").toInt(),
                 salvagedLeft);
        QCOMPARE(QFileInfo::exists(recordPath), recordLeft);
        if (!locked)
            QVERIFY(!QFileInfo::exists(recordPath + ".new"));
        if (!smsMissing)
            QCOMPARE(sqliteScalar(smsPath, "select count(*) from message").toInt(), 3 - liveGone);
        if (result == int(IOS6MessageDb::RecycleDeletion::Finished))
            QCOMPARE(sqliteRows(store + "/recycle.db", "select rowid from message where rowid in "
                                                       "(1, 3)"),
                     QList<QVariantList>());
    }

    void loadedStoreGroupsEndToEnd()
    {
        const QString store = newStore();
        IOS6MessageDb sms(QDir(store), "310", true);
        MessageRecycleDb &db = sms.recycleStore();
        db.beginTransaction();
        db.insertRecycledMessage(message("", "to anna", 400000000, 1, "SMS", 4), "+12025550143",
                                 "+12025550143", 11);
        db.insertRecycledMessage(message("", "who?", 400000100, 0, "SMS", 5), "", "", 12);
        db.endTransaction(true);

        MsgDataSet ds; // no set yet: grouping makes one
        MessageRecycleDb::groupRecycledMessages(ds, db.loadRecycledMessages());
        _MsgDataSet &set = *ds.data();
        QCOMPARE(set.messages.size(), 2);
        QCOMPARE(set.messages.value(-2047483649)->chat, set.chats.value(-1947483651));
        QCOMPARE(set.messages.value(-2047483650)->chat, set.chats.value(-2047483652));
        QCOMPARE(set.chats.value(-2047483652)->chat_identifier, QString("unknown5"));
    }
};

QTEST_GUILESS_MAIN(TestRecycle)
#include "tst_recycle.moc"
