// Reading and writing iOS 6 message databases: local archives made by the
// writer and read back, and phone databases built by the fixtures with SQL of
// their own.

#include "jobs/exportmessagestxt.h"
#include "recovery/messagescans.h"
#include "store/exportmessagesdb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/ios5smsdb.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const kUs = "310"; // a mobile country code of the United States

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QString localSmsDb(const QString &store)
{
    return PhoneSmsDb::smsDbPathOf(store);
}

// Copies the database at source to target in the middle of a write, as a
// copy taken off a busy phone may be: pages of the unfinished transaction
// are in the file, their old contents in a hot journal beside it. The write
// fills a table of its own; the source is rolled back afterwards.
bool copyMidWrite(const QString &source, const QString &target)
{
    sqlite3 *db = nullptr;
    const auto run = [&db](const char *sql) {
        return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    };
    bool ok = sqlite3_open_v2(source.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
                    == SQLITE_OK
            && run("PRAGMA journal_mode=DELETE") && run("CREATE TABLE scratch(x)")
            && run("PRAGMA cache_size=10") && run("BEGIN")
            && run("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<200) "
                   "INSERT INTO scratch SELECT randomblob(4000) FROM n");
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    QFile::remove(target + "-journal");
    ok = ok && QFileInfo(source + "-journal").size() > 0 && QFile::copy(source, target)
            && QFile::copy(source + "-journal", target + "-journal");
    run("ROLLBACK");
    sqlite3_close(db);
    return ok;
}

// Texts of a message list, in list order.
QStringList textsOf(const MsgMessageList &list)
{
    QStringList out;
    for (const _MsgMessage *m : list)
        out << m->text;
    return out;
}

MsgMessageList sortedMessagesOf(const _MsgChat *chat)
{
    MsgMessageList list(chat->messages.begin(), chat->messages.end());
    sortMessages(list);
    return list;
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

// A message record as a producer makes one.
_MsgMessage makeMessage(const QString &text, int date, bool fromMe)
{
    _MsgMessage m;
    m.guid = newGuid();
    m.text = text;
    m.service = QStringLiteral("SMS");
    m.account = QStringLiteral("p:+12025550100");
    m.date = date;
    m.date_read = fromMe ? 0 : date + 10;
    m.date_delivered = fromMe ? date + 2 : 0;
    m.is_from_me = fromMe ? 1 : 0;
    m.is_sent = fromMe ? 1 : 0;
    m.is_read = 1;
    m.is_finished = 1;
    return m;
}

_MsgHandle makeHandle(const QString &id, const QString &service = QStringLiteral("SMS"))
{
    _MsgHandle h;
    h.id = id;
    h.service = service;
    h.country = QStringLiteral("us");
    return h;
}

} // namespace

class TestIos6Db : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> m_env;
    int m_stores = 0;

    QString newStore() { return m_env->makeDir(QStringLiteral("store%1").arg(++m_stores)); }

private slots:
    void initTestCase() { m_env = std::make_unique<TestEnv>(); }

    // A conversation written through the writer into a new local database and
    // read back by a fresh object: chat with its handles, messages in date
    // order with their fields, attachments with their files.
    void writeThenReadRoundTrip()
    {
        const QString store = newStore();
        _MsgHandle anna = makeHandle(QStringLiteral("+12025550143"));
        anna.contactName = QStringLiteral("Anna Berg");
        anna.uncanonicalized_id = QStringLiteral("(202) 555-0143");
        _MsgHandle ben = makeHandle(QStringLiteral("ben@example.com"), QStringLiteral("iMessage"));
        _MsgChat group;
        group.guid = QStringLiteral("iMessage;+;chat123456789012345678");
        group.style = 43;
        group.chat_identifier = QStringLiteral("chat123456789012345678");
        group.service_name = QStringLiteral("iMessage");
        group.room_name = QStringLiteral("chat123456789012345678");
        group.display_name = QStringLiteral("Climbing");
        group.handles.insert(QStringLiteral("1"), &anna);
        group.handles.insert(QStringLiteral("2"), &ben);

        QList<_MsgMessage> written;
        written << makeMessage(QStringLiteral("third"), 500003000, false)
                << makeMessage(QStringLiteral("first \U0001F600"), 500001000, true)
                << makeMessage(QString(QChar(0xFFFC)) + QStringLiteral("second"), 500002000, false);
        written[0].subject = QStringLiteral("Re: rope");
        written[0].attributedBody = QByteArray("\x04\x0bstreamtyped", 13);
        written[1].service_center = QStringLiteral("+12025550000");
        written[2].cache_roomnames = QStringLiteral("chat123456789012345678");
        // The records link their senders as a producer links them.
        written[0].handle = &anna;
        written[2].handle = &ben;

        _MsgAttachment att;
        att.guid = newGuid();
        att.created_date = 500002000;
        att.filename
                = QStringLiteral("~/Library/SMS/Attachments/ab/12/%1/IMG_0001.JPG").arg(att.guid);
        att.mime_type = QStringLiteral("image/jpeg");
        att.uti = QStringLiteral("public.jpeg");
        att.transfer_name = QStringLiteral("IMG_0001.JPG");
        att.total_bytes = 5;
        att.user_info = QByteArray("bplist00", 8);
        written[2].attachments.insert(QStringLiteral("1"), &att);

        qint64 chatId = 0;
        {
            IOS6MessageDb db(QDir(store), kUs, true);
            db.beginTransaction();
            chatId = db.insertChat(&group);
            const qint64 annaId = db.handleRowid(&anna);
            const qint64 benId = db.handleRowid(&ben);
            QVERIFY(annaId > 0 && benId > 0 && annaId != benId);
            QVERIFY(db.hasChatHandleJoin(chatId, annaId));
            QVERIFY(db.hasChatHandleJoin(chatId, benId));
            const qint64 senders[] = {annaId, 0, benId};
            for (int i = 0; i < written.size(); ++i) {
                const qint64 id = db.insertMessage(&written[i], senders[i], -1);
                QCOMPARE(db.messageRowidByGuid(written[i].guid), id);
                db.addChatMessageJoin(chatId, id);
                db.updateChatLast(chatId, written[i].date);
                if (i == 2) {
                    const qint64 a = db.insertAttachment(&att);
                    QCOMPARE(db.attachmentRowidByGuid(&att), a);
                    db.addMessageAttachmentJoin(id, a);
                }
            }
            db.setLastAddressedHandle(chatId, anna.id);
            db.endTransaction(true);
        }
        QVERIFY(writeFile(
                QDir(store).absoluteFilePath("file-relay/var/mobile/" + att.filename.mid(2)),
                "JPEG!"));

        IOS6MessageDb db(QDir(store), kUs, true);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        QCOMPARE(set.data()->chats.size(), 1);
        const _MsgChat *chat = set.data()->chats.value(chatId);
        QVERIFY(chat);
        QCOMPARE(chat->guid, group.guid);
        QCOMPARE(chat->style, 43);
        QCOMPARE(chat->display_name, group.display_name);
        QCOMPARE(chat->room_name, group.room_name);
        QCOMPARE(chat->last_addressed_handle, anna.id);
        QCOMPARE(chat->group_id, md5Guid(group.guid.toUtf8()));
        QCOMPARE(chat->lastDate, 500003000);
        QVERIFY(chat->isGroup());
        QStringList ids;
        for (const _MsgHandle *h : chat->handles)
            ids << h->id + '/' + h->service + '/' + h->contactName;
        ids.sort();
        QCOMPARE(ids,
                 QStringList({QStringLiteral("+12025550143/SMS/Anna Berg"),
                              QStringLiteral("ben@example.com/iMessage/")}));

        const MsgMessageList list = sortedMessagesOf(chat);
        QCOMPARE(textsOf(list), QStringList({written[1].text, written[2].text, written[0].text}));
        for (const _MsgMessage *m : list) {
            const _MsgMessage *w = nullptr;
            for (const _MsgMessage &x : written)
                if (x.guid == m->guid)
                    w = &x;
            QVERIFY(w);
            QCOMPARE(m->orderKey, m->ROWID);
            QCOMPARE(m->chat, chat);
            QCOMPARE(m->date, w->date);
            QCOMPARE(m->date_read, w->date_read);
            QCOMPARE(m->date_delivered, w->date_delivered);
            QCOMPARE(m->is_from_me, w->is_from_me);
            QCOMPARE(m->is_sent, w->is_sent);
            QCOMPARE(m->subject, w->subject);
            QCOMPARE(m->attributedBody, w->attributedBody);
            QCOMPARE(m->service_center, w->service_center);
            QCOMPARE(m->cache_roomnames, w->cache_roomnames);
            QCOMPARE(m->version, 10);
            QCOMPARE(m->other_handle, -1);
            QCOMPARE(m->otherHandle, nullptr);
            // The stored key is the record's own hash.
            QCOMPARE(sqliteScalar(localSmsDb(store), "select logic_hash from message where rowid=?",
                                  {m->ROWID})
                             .toString(),
                     logicHash(*m));
        }
        QCOMPARE(list[0]->handle, nullptr); // sent by this phone
        QCOMPARE(list[1]->handle->id, QStringLiteral("ben@example.com"));
        QCOMPARE(list[2]->handle->id, QStringLiteral("+12025550143"));
        QCOMPARE(list[2]->country, QStringLiteral("us")); // from the sender

        QCOMPARE(list[1]->attachments.size(), 1);
        QCOMPARE(list[1]->cache_has_attachments, 1); // set by the schema's trigger
        const _MsgAttachment *a = list[1]->attachments.first();
        QCOMPARE(list[1]->attachments.firstKey(), QString::number(a->ROWID));
        QCOMPARE(a->guid, att.guid);
        QCOMPARE(a->filename, att.filename);
        QCOMPARE(a->transfer_name, att.transfer_name);
        QCOMPARE(a->total_bytes, qint64(5));
        QCOMPARE(a->user_info, att.user_info);
        QCOMPARE(a->created_date, att.created_date);
        QCOMPARE(fileBytes(a->localPath), QByteArray("JPEG!"));
        QCOMPARE(messageDisplayText(*list[1]), QStringLiteral("second [IMAGE]"));
        QCOMPARE(db.messageCount(), qint64(3));

        // Reading again into the same set adds nothing and changes nothing.
        const QString before = list[1]->text + list[1]->handle->id;
        db.messages(set, chatId);
        QCOMPARE(set.data()->messages.size(), 3);
        QCOMPARE(set.data()->attachments.size(), 1);
        QCOMPARE(set.data()->handles.size(), 2);
        QCOMPARE(chat->messages.size(), 3);
        QCOMPARE(list[1]->attachments.size(), 1);
        QCOMPARE(list[1]->text + list[1]->handle->id, before);
    }

    // The optional columns: what each insert names depends on the table, so
    // that one writer serves archives and older phones alike.
    void insertsWriteOptionalColumnsOnlyWhenPresent()
    {
        const QString store = newStore();
        IOS6MessageDb db(QDir(store), kUs, true);
        QVERIFY(!db.hasItemTypeColumn()); // asks nothing before the first open
        QVERIFY(!QFile::exists(localSmsDb(store)));
        db.ensureOpen();
        QVERIFY(db.hasItemTypeColumn());
        const QString path = localSmsDb(store);

        _MsgHandle h = makeHandle(QStringLiteral("+12025550101"));
        h.country.clear();
        const qint64 hid = db.insertHandle(&h);
        QVERIFY(sqliteScalar(path, "select country from handle where rowid=?", {hid}).isNull());
        QCOMPARE(sqliteScalar(path, "select typeof(_ct_name) from handle where rowid=?", {hid})
                         .toString(),
                 QStringLiteral("text"));

        struct Case
        {
            qint64 other;
            QString hashArg;
            QVariant storedOther;
        };
        const QList<Case> cases = {{0, {}, -1}, {-1, {}, -1}, {7, QStringLiteral("fixed"), 7}};
        for (const Case &c : cases) {
            _MsgMessage m = makeMessage(QStringLiteral("hello"), 400000000, false);
            m.item_type = 2;
            m.group_title = QStringLiteral("Named");
            m.share_direction = 1;
            const qint64 id = db.insertMessage(&m, hid, c.other, c.hashArg);
            const QVariantList row = sqliteRows(path,
                                                "select other_handle, logic_hash, item_type, "
                                                "group_title, share_direction, handle_id from "
                                                "message where rowid=?",
                                                {id})
                                             .value(0);
            QCOMPARE(row.value(0).toLongLong(), c.storedOther.toLongLong());
            QCOMPARE(row.value(1).toString(), c.hashArg.isEmpty() ? logicHash(m) : c.hashArg);
            QCOMPARE(row.value(2).toInt(), 2);
            QCOMPARE(row.value(3).toString(), QStringLiteral("Named"));
            QCOMPARE(row.value(4).toInt(), 1);
            QCOMPARE(row.value(5).toLongLong(), hid);
        }
        // The look-up by logic hash finds the record's own hash.
        _MsgMessage plain = makeMessage(QStringLiteral("find me"), 400000100, true);
        QCOMPARE(db.messageRowidByLogicHash(&plain), qint64(0));
        const qint64 plainId = db.insertMessage(&plain, 0, 0);
        QCOMPARE(db.messageRowidByLogicHash(&plain), plainId);

        // An archive written by an older release: no item_type family, no
        // logic hash; the same inserts leave those columns out.
        const QString older = newStore();
        PhoneSmsDb phone(older, PhoneSchema::olderLocal());
        phone.close();
        IOS6MessageDb old(QDir(older), kUs, false);
        _MsgMessage m = makeMessage(QStringLiteral("old"), 400000000, false);
        m.item_type = 0;
        m.group_title = QStringLiteral("ignored");
        const qint64 oid = old.insertMessage(&m, 1, 7);
        QVERIFY(!old.hasItemTypeColumn());
        QCOMPARE(old.messageRowidByLogicHash(&m), qint64(0));
        QCOMPARE(sqliteScalar(PhoneSmsDb::smsDbPathOf(older),
                              "select text from message where rowid=?", {oid})
                         .toString(),
                 QStringLiteral("old"));
    }

    // Rows of different shapes in turn, and a new opening in between: each
    // row stores exactly its own values, typed as the record has them (a
    // value left out of one row never shows up in the next).
    void insertsOfMixedShapesStoreTheirOwnValues()
    {
        const QString store = newStore();
        const QString path = localSmsDb(store);
        struct Shape
        {
            QString text, subject, serviceCenter;
            QByteArray body;
            qint64 other;
        };
        const QList<Shape> shapes = {
                {QStringLiteral("plain"), {}, {}, {}, 0},
                {QStringLiteral("with subject"), QStringLiteral("Re: it"), {}, {}, 0},
                {QStringLiteral("caf\u00e9 \U0001F600"), {}, QStringLiteral("+12025550000"),
                 QByteArray("\x04\x0b\0x", 4), 5},
                {QString(), {}, {}, {}, 0}, // a null text is stored as ''
                {QStringLiteral(""), QStringLiteral("S"), {}, {}, 0},
                {QStringLiteral("last"), {}, {}, QByteArray("b", 1), 0},
        };
        QStringList expected;
        {
            IOS6MessageDb db(QDir(store), kUs, true);
            for (int round = 0; round < 2; ++round) {
                db.beginTransaction();
                for (int i = 0; i < shapes.size(); ++i) {
                    const Shape &s = shapes[i];
                    _MsgMessage m = makeMessage(s.text, 400000000 + i, i % 2);
                    m.subject = s.subject;
                    m.service_center = s.serviceCenter;
                    m.attributedBody = s.body;
                    const qint64 id = db.insertMessage(&m, i + 1, s.other);
                    const auto quote = [](const QString &t) {
                        return t.isEmpty() ? QStringLiteral("NULL") : QStringLiteral("'%1'").arg(t);
                    };
                    expected << QStringLiteral("%1|'%2'|%3|%4|%5|%6|%7|%8|'%9'")
                                        .arg(id)
                                        .arg(s.text)
                                        .arg(quote(s.subject), quote(s.serviceCenter),
                                             s.body.isEmpty()
                                                     ? QStringLiteral("NULL")
                                                     : QStringLiteral("X'%1'").arg(QString::fromLatin1(
                                                               s.body.toHex().toUpper())),
                                             QString::number(s.other > 0 ? s.other : -1),
                                             QString::number(i + 1), QString::number(i % 2),
                                             logicHash(m));
                }
                db.endTransaction(true);
                // The next round runs on a new opening of the same object.
                db.close();
            }
        }
        QStringList stored;
        for (const QVariantList &row :
             sqliteRows(path,
                        "select rowid, quote(text), quote(subject), quote(service_center), "
                        "quote(attributedBody), other_handle, handle_id, is_from_me, "
                        "quote(logic_hash) from message order by rowid",
                        {})) {
            QStringList cells;
            for (const QVariant &v : row)
                cells << v.toString();
            stored << cells.join(QLatin1Char('|'));
        }
        QCOMPARE(stored, expected);
    }

    void insertChatRulesAndJoins()
    {
        const QString store = newStore();
        IOS6MessageDb db(QDir(store), kUs, true);
        const QString path = localSmsDb(store);

        // Another service, even one differing in letter case only, is refused
        // before anything is written.
        _MsgChat bad;
        bad.guid = QStringLiteral("sms;-;+12025550101");
        bad.service_name = QStringLiteral("sms");
        QCOMPARE(exceptionText([&] { db.insertChat(&bad); }),
                 QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:sms"));
        QCOMPARE(sqliteScalar(path, "select count(*) from chat").toInt(), 0);

        // A handle that is stored already is joined, not stored again; the
        // group id kept by the record is written as it is.
        _MsgHandle h = makeHandle(QStringLiteral("+12025550101"));
        const qint64 hid = db.insertHandle(&h);
        _MsgChat chat;
        chat.guid = QStringLiteral("SMS;-;+12025550101");
        chat.chat_identifier = h.id;
        chat.group_id = QStringLiteral("GROUP-ID");
        chat.handles.insert(QStringLiteral("9"), &h);
        const qint64 cid = db.insertChat(&chat);
        QCOMPARE(db.chatRowidByGuid(chat.guid), cid);
        QCOMPARE(sqliteScalar(path, "select count(*) from handle").toInt(), 1);
        QVERIFY(db.hasChatHandleJoin(cid, hid));
        QCOMPARE(sqliteScalar(path, "select group_id from chat").toString(),
                 QStringLiteral("GROUP-ID"));
        QVERIFY(sqliteScalar(path, "select display_name from chat").isNull());

        // Joins added twice stay one row each.
        db.addChatHandleJoin(cid, hid);
        db.addChatMessageJoin(cid, 5);
        db.addChatMessageJoin(cid, 5);
        db.addMessageAttachmentJoin(5, 6);
        db.addMessageAttachmentJoin(5, 6);
        QCOMPARE(sqliteScalar(path, "select count(*) from chat_handle_join").toInt(), 1);
        QCOMPARE(sqliteScalar(path, "select count(*) from chat_message_join").toInt(), 1);
        QCOMPARE(sqliteScalar(path, "select count(*) from message_attachment_join").toInt(), 1);

        // _last only ever rises.
        db.updateChatLast(cid, 300);
        db.updateChatLast(cid, 200);
        QCOMPARE(sqliteScalar(path, "select _last from chat").toInt(), 300);

        // A phone's database has no _last: nothing is run, nothing fails.
        const QString phoneStore = newStore();
        PhoneSmsDb phone(phoneStore);
        const qint64 pc = phone.addChat(phone.addHandle(QStringLiteral("+12025550102")));
        phone.close();
        IOS6MessageDb pdb(QDir(phoneStore), kUs, false);
        pdb.updateChatLast(pc, 999);
        QCOMPARE(sqliteScalar(PhoneSmsDb::smsDbPathOf(phoneStore), "select count(*) from chat")
                         .toInt(),
                 1);
    }

    // Deleting goes through the schema's triggers: orphaned handles,
    // attachments and chats go, shared ones stay, and no file is removed.
    void deleteMessageWithTriggers_data()
    {
        QTest::addColumn<bool>("phone");
        QTest::newRow("local archive") << false;
        QTest::newRow("phone database with attachment triggers") << true;
    }
    void deleteMessageWithTriggers()
    {
        QFETCH(bool, phone);
        const QString store = newStore();
        qint64 anna, ben, chatA, chatB, m1, m2, m3, shared, own;
        QString ownFile;
        {
            PhoneSmsDb b(store, phone ? PhoneSchema::ios6() : PhoneSchema::olderLocal());
            anna = b.addHandle(QStringLiteral("+12025550143"));
            ben = b.addHandle(QStringLiteral("+12025550144"));
            chatA = b.addChat(anna);
            chatB = b.addChat(ben);
            m1 = b.addText(chatA, QStringLiteral("a1"), anna, 100);
            m2 = b.addText(chatA, QStringLiteral("a2"), anna, 200);
            m3 = b.addText(chatB, QStringLiteral("b1"), ben, 300);
            shared = b.addAttachment(m1, QStringLiteral("shared.jpg"), "S");
            b.db().run("insert into message_attachment_join values(?, ?)", {m2, shared});
            own = b.addAttachment(m3, QStringLiteral("own.jpg"), "O");
            ownFile = b.attachmentLocalFile(own);
        }
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        auto count = [&](const char *sql, qint64 arg = 0) {
            return sqliteScalar(path, sql, arg ? QVariantList({arg}) : QVariantList()).toInt();
        };

        // One of two messages: the chat and the shared attachment stay.
        db.deleteMessage(set.data()->messages.value(m1));
        QCOMPARE(count("select count(*) from message where rowid=?", m1), 0);
        QCOMPARE(count("select count(*) from chat"), 2);
        QCOMPARE(count("select count(*) from attachment"), 2);
        QCOMPARE(count("select count(*) from handle"), 2);

        // The last message of a chat: the chat goes; its handle stays while
        // chat_handle_join still names it.
        db.deleteMessage(set.data()->messages.value(m2));
        QCOMPARE(count("select count(*) from chat where rowid=?", chatA), 0);
        QCOMPARE(count("select count(*) from attachment where rowid=?", shared), 0);
        QCOMPARE(count("select count(*) from message_attachment_join"), 1);

        // An unshared attachment row goes with its message; its file stays.
        db.deleteMessage(set.data()->messages.value(m3));
        QCOMPARE(count("select count(*) from attachment"), 0);
        QVERIFY(QFile::exists(ownFile));
        QCOMPARE(count("select count(*) from chat where rowid=?", chatB), 0);
    }

    // A record without a chat: the message and its join rows go, every chat
    // row stays.
    void deleteMessageWithoutChat()
    {
        const QString store = newStore();
        qint64 chat, loose;
        {
            PhoneSmsDb b(store, PhoneSchema::olderLocal());
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            chat = b.addChat(h);
            b.addText(chat, QStringLiteral("stays"), h, 100);
            loose = b.addText(0, QStringLiteral("loose"), h, 200);
            b.addAttachment(loose, QStringLiteral("x.jpg"), "X");
        }
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        IOS6MessageDb db(QDir(store), kUs, false);
        _MsgMessage record;
        record.ROWID = loose;
        db.deleteMessage(&record);
        QCOMPARE(sqliteScalar(path, "select group_concat(text) from message").toString(),
                 QStringLiteral("stays"));
        QCOMPARE(sqliteScalar(path, "select count(*) from message_attachment_join").toInt(), 0);
        QCOMPARE(sqliteScalar(path, "select count(*) from attachment").toInt(), 0);
        QCOMPARE(sqliteScalar(path, "select count(*) from chat").toInt(), 1);
        Q_UNUSED(chat);
    }

    // An early iOS 6 phone database: no item_type family, no _last, none of
    // the archive's own columns. It reads, and the writer fits its rows to it.
    void phoneDatabaseWithoutItemType()
    {
        const QString store = newStore();
        qint64 chat, quiet, h;
        {
            PhoneSmsDb b(store, PhoneSchema::ios6WithoutItemType());
            h = b.addHandle(QStringLiteral("+12025550143"));
            chat = b.addChat(h);
            quiet = b.addChat(b.addHandle(QStringLiteral("+12025550199")));
            b.addText(chat, QStringLiteral("late"), h, 9000);
            b.addText(chat, QStringLiteral("early"), h, 1000, true);
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        QVERIFY(!db.hasItemTypeColumn());
        const _MsgChat *c = set.data()->chats.value(chat);
        QCOMPARE(c->lastDate, 9000); // the newest message, as there is no _last
        QCOMPARE(set.data()->chats.value(quiet)->lastDate, 0);
        QCOMPARE(textsOf(sortedMessagesOf(c)), QStringList({"early", "late"}));
        for (const _MsgMessage *m : c->messages) {
            QCOMPARE(m->item_type, 0);
            QCOMPARE(m->other_handle, 0); // a column the table lacks reads as 0
        }
        QCOMPARE(db.messageCount(), qint64(2));

        _MsgMessage m = makeMessage(QStringLiteral("merged"), 5000, true);
        m.item_type = 0;
        const qint64 id = db.insertMessage(&m, h, 3);
        db.addChatMessageJoin(chat, id);
        QCOMPARE(db.messageRowidByGuid(m.guid), id);
        QCOMPARE(db.messageCount(), qint64(3));
        QVERIFY(!RawSqlite(PhoneSmsDb::smsDbPathOf(store), false, true)
                         .columns("message")
                         .contains("item_type"));
    }

    // A chat's newest date counts its location-sharing rows whichever way
    // the set is read: chats first, all messages at once, or one chat alone
    // (which reads that chat's rows only); a message written after the dates
    // were taken moves its chat's date on.
    void newestDatesWhicheverReadOrder_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("chats, then all messages") << "chats,all";
        QTest::newRow("all messages") << "all";
        QTest::newRow("one chat") << "one";
        QTest::newRow("one chat, then all messages") << "one,all";
    }
    void newestDatesWhicheverReadOrder()
    {
        QFETCH(QString, order);
        const QString store = newStore();
        qint64 anna, ben, single, group;
        {
            PhoneSmsDb b(store);
            anna = b.addHandle(QStringLiteral("+12025550143"));
            ben = b.addHandle(QStringLiteral("+12025550144"));
            single = b.addChat(anna);
            group = b.addGroupChat({anna, ben}, QStringLiteral("iMessage"), QString());
            b.addText(single, QStringLiteral("hi anna"), anna, 100);
            b.addText(group, QStringLiteral("hi team"), ben, 200);
            b.addSystemItem(group, 4, ben, anna, 800); // location sharing, newest
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        for (const QString &step : order.split(',')) {
            if (step == "chats")
                db.chats(set);
            else
                db.messages(set, step == "one" ? group : 0);
        }
        _MsgDataSet *ds = set.data();
        QCOMPARE(ds->chats.value(group)->lastDate, 800);
        QCOMPARE(ds->chats.value(group)->messages.size(), 1); // the item itself is left out
        if (order == "one") {
            QCOMPARE(ds->messages.size(), 1); // nothing of the other chat is read
            QCOMPARE(ds->chats.value(single)->lastDate, 0);
            return;
        }
        QCOMPARE(ds->chats.value(single)->lastDate, 100);

        // A later message, read into the same set.
        _MsgMessage m = makeMessage(QStringLiteral("later"), 900, true);
        const qint64 id = db.insertMessage(&m, anna, 3);
        db.addChatMessageJoin(single, id);
        db.messages(set, 0);
        QCOMPARE(ds->chats.value(single)->lastDate, 900);
        QCOMPARE(ds->chats.value(single)->messages.size(), 2);
    }

    // Group chats, system items, a handle in two chats, location-sharing
    // items and messages that no chat holds.
    void groupChatsAndLoneMessages()
    {
        const QString store = newStore();
        qint64 anna, ben, carl, single, group, added, loose, located, nullType, stranger, both;
        {
            PhoneSmsDb b(store);
            anna = b.addHandle(QStringLiteral("+12025550143"));
            ben = b.addHandle(QStringLiteral("+12025550144"));
            carl = b.addHandle(QStringLiteral("+12025550145"));
            stranger = b.addHandle(QStringLiteral("+12025550199"), "SMS", "gb");
            single = b.addChat(anna);
            group = b.addGroupChat({anna, ben}, QStringLiteral("iMessage"), QStringLiteral("Team"));
            b.addText(single, QStringLiteral("hi anna"), anna, 100);
            b.addText(group, QStringLiteral("hi team"), ben, 200);
            added = b.addSystemItem(group, 1, anna, carl, 300);
            located = b.addSystemItem(group, 4, ben, anna, 800);
            loose = b.addText(0, QStringLiteral("no chat"), anna, 500);
            PhoneSmsDb::Message m;
            m.text = QStringLiteral("from a stranger");
            m.handle = stranger;
            m.date = 600;
            m.country = QStringLiteral("fr");
            b.addMessage(single, m);
            nullType = b.addText(group, QStringLiteral("null type"), ben, 700);
            both = b.addText(single, QStringLiteral("in both chats"), anna, 750);
            b.db().run("insert into chat_message_join values(?, ?)", {group, both});
            b.db().run("update message set item_type=NULL where rowid=?", {nullType});
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        _MsgDataSet *ds = set.data();

        // One handle record, found in both chats.
        QCOMPARE(ds->handles.size(), 2);
        QCOMPARE(ds->chats.value(single)->handles.value(QString::number(anna)),
                 ds->chats.value(group)->handles.value(QString::number(anna)));
        QVERIFY(ds->chats.value(group)->isGroup());
        QCOMPARE(chatDisplayName(*ds->chats.value(group), false), QStringLiteral("Team"));

        // The system item links its second handle when that one is loaded
        // (carl is in no chat, so the link stays empty).
        QVERIFY(ds->messages.contains(added));
        QCOMPARE(ds->messages.value(added)->item_type, 1);
        QCOMPARE(ds->messages.value(added)->other_handle, int(carl));
        QCOMPARE(ds->messages.value(added)->otherHandle, nullptr);
        QCOMPARE(ds->messages.value(added)->handle, ds->handles.value(anna));

        // A message joined to two chats: one record, in both chats.
        const _MsgMessage *shared = ds->messages.value(both);
        QVERIFY(shared);
        QCOMPARE(ds->chats.value(single)->messages.value(QString::number(both)), shared);
        QCOMPARE(ds->chats.value(group)->messages.value(QString::number(both)), shared);
        QVERIFY(shared->chat == ds->chats.value(single) || shared->chat == ds->chats.value(group));

        // Location sharing is neither loaded nor counted; a message no chat
        // holds is not loaded; a NULL item_type is an ordinary message.
        QVERIFY(!ds->messages.contains(located));
        QVERIFY(!ds->messages.contains(loose));
        QVERIFY(ds->messages.contains(nullType));
        QCOMPARE(ds->messages.size(), 6);
        QCOMPARE(db.messageCount(), qint64(7)); // join rows: one message counts twice

        // A sender that no chat names: no handle, its own country kept.
        const _MsgMessage *fromStranger = nullptr;
        for (const _MsgMessage *m : ds->messages)
            if (m->text == QLatin1String("from a stranger"))
                fromStranger = m;
        QVERIFY(fromStranger);
        QCOMPARE(fromStranger->handle, nullptr);
        QCOMPARE(fromStranger->country, QStringLiteral("fr"));

        // The newest date of a chat counts every row it joins, location
        // sharing included, whether the chats are read alone or with all
        // their messages.
        MsgDataSet chatsOnly;
        chatsOnly.reset();
        db.chats(chatsOnly);
        QCOMPARE(ds->chats.value(group)->lastDate, 800);
        QCOMPARE(ds->chats.value(single)->lastDate, 750);
        for (const _MsgChat *c : ds->chats)
            QCOMPARE(chatsOnly.data()->chats.value(c->ROWID)->lastDate, c->lastDate);

        // One chat only: the chat's messages, with the chats all there.
        MsgDataSet one;
        one.reset();
        db.messages(one, single);
        QCOMPARE(one.data()->chats.size(), 2);
        QCOMPARE(one.data()->chats.value(single)->messages.size(), 3);
        QCOMPARE(one.data()->chats.value(group)->messages.size(), 0);
        // 0 and negative ids both mean every chat.
        MsgDataSet all;
        all.reset();
        db.messages(all, -5);
        QCOMPARE(all.data()->messages.size(), 6);
    }

    // Numbers are put in canonical form for the handle's country, or for the
    // library's current country when the row has none.
    void handleNumbersAreCanonical()
    {
        const QString store = newStore();
        qint64 local, german;
        {
            PhoneSmsDb b(store);
            local = b.addHandle(QStringLiteral("(202) 555-0143"), "SMS", QString());
            german = b.addHandle(QStringLiteral("+49 171 1234567"), "SMS", "de");
            b.addChat(local);
            b.addChat(german);
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        QCOMPARE(set.data()->handles.value(local)->id, QStringLiteral("+12025550143"));
        QCOMPARE(set.data()->handles.value(local)->country, QStringLiteral("us"));
        QCOMPARE(set.data()->handles.value(german)->id, QStringLiteral("+491711234567"));
    }

    // The file of an attachment is looked for below the store's mirror of
    // the phone and nowhere else.
    void attachmentLocalPathRule_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("expected"); // relative to file-relay; "-" for none
        QTest::newRow("home") << "~/Library/SMS/Attachments/ab/12/x.jpg"
                              << "var/mobile/Library/SMS/Attachments/ab/12/x.jpg";
        QTest::newRow("absolute") << "/var/mobile/a.jpg"
                                  << "var/mobile/a.jpg";
        QTest::newRow("forbidden characters") << "a:b?.jpg"
                                              << "ab.jpg";
        QTest::newRow("inner dots that stay inside") << "~/Library/../Media/x.jpg"
                                                     << "var/mobile/Media/x.jpg";
        QTest::newRow("dots out of the store") << "~/../../../../etc/passwd"
                                               << "-";
        QTest::newRow("dots from the top") << "../secret.txt"
                                           << "-";
        QTest::newRow("backslash dots") << "~\\..\\..\\..\\..\\x"
                                        << "-";
        QTest::newRow("backslash dots after home") << "~/..\\..\\..\\..\\x"
                                                   << "-";
        QTest::newRow("double slash") << "//etc/passwd"
                                      << "-";
        QTest::newRow("the folder itself") << "/"
                                           << "-";
        QTest::newRow("dots hidden by removed characters") << "~/.:./.:./.:./.:./x"
                                                           << "-";
    }
    void attachmentLocalPathRule()
    {
        QFETCH(QString, filename);
        QFETCH(QString, expected);
        const QString store = newStore();
        const QDir relay(QDir(store).absoluteFilePath("file-relay"));
        const QString got = IOS6MessageDb::attachmentLocalPath(relay, filename);
        QCOMPARE(got, expected == "-" ? QString() : relay.absoluteFilePath(expected));
    }

    // Symbolic links in the store count by where they lead.
    void attachmentPathsThroughLinks()
    {
        const QString store = newStore();
        const QString outside = m_env->makeDir(QStringLiteral("outside%1").arg(m_stores));
        QVERIFY(writeFile(outside + "/victim.txt", "precious"));
        const QDir relay(QDir(store).absoluteFilePath("file-relay"));
        const QString att = relay.absoluteFilePath("var/mobile/Library/SMS/Attachments");
        QVERIFY(writeFile(relay.absoluteFilePath("var/mobile/Media/pic.jpg"), "PIC"));
        QVERIFY(writeFile(att + "/plain/a.jpg", "A"));
        QVERIFY(QFile::link(outside, att + "/out"));
        QVERIFY(QFile::link(outside + "/victim.txt", att + "/file.jpg"));
        QVERIFY(QFile::link(relay.absoluteFilePath("var/mobile/Media"), att + "/in"));
        QVERIFY(QFile::link("../../../../../../../" + QFileInfo(outside).fileName(), att + "/rel"));
        QVERIFY(QFile::link(outside + "/missing", att + "/dangling"));
        QCOMPARE(fileBytes(att + "/rel/victim.txt"), QByteArray("precious"));

        const struct
        {
            const char *name;
            bool kept;
        } cases[] = {
                {"plain/a.jpg", true},     {"in/pic.jpg", true},       {"in/missing.jpg", false},
                {"out/victim.txt", false}, {"file.jpg", false},        {"rel/victim.txt", false},
                {"dangling", false},       {"nothing/here.jpg", true},
        };
        for (const auto &c : cases) {
            const QString name = QStringLiteral("~/Library/SMS/Attachments/") + c.name;
            const QString got = IOS6MessageDb::attachmentLocalPath(relay, name);
            QVERIFY2(got.isEmpty() != c.kept, c.name);
            if (c.kept)
                QCOMPARE(got, att + '/' + c.name);
        }
    }

    // A crafted database whose attachment names point out of the store, by
    // dots or through a symbolic link, gives those attachments no file.
    void hostileAttachmentNamesGetNoFile()
    {
        const QString store = newStore();
        const QString outside = m_env->makeDir("outside");
        QVERIFY(writeFile(outside + "/victim.txt", "precious"));
        const QString relay = QDir(store).absoluteFilePath("file-relay");
        QVERIFY(QDir().mkpath(relay + "/var/mobile/Library/SMS/Attachments"));
        QVERIFY(QFile::link(outside, relay + "/var/mobile/Library/SMS/Attachments/link"));
        qint64 dots, link, fine;
        {
            PhoneSmsDb b(store);
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            const qint64 c = b.addChat(h);
            const qint64 m = b.addText(c, QString(QChar(0xFFFC)), h, 100);
            fine = b.addAttachment(m, QStringLiteral("ok.jpg"), "OK");
            dots = b.addAttachment(m, QStringLiteral("a.jpg"), "A", "image/jpeg", "public.jpeg",
                                   false);
            link = b.addAttachment(m, QStringLiteral("b.jpg"), "B", "image/jpeg", "public.jpeg",
                                   false);
            // From var/mobile four steps up is the temporary home.
            b.db().run("update attachment set filename=? where rowid=?",
                       {QStringLiteral("~/../../../../outside/victim.txt"), dots});
            b.db().run("update attachment set filename=? where rowid=?",
                       {QStringLiteral("~/Library/SMS/Attachments/link/victim.txt"), link});
        }
        // The fixture's name does reach the victim when taken literally.
        const QString crafted
                = sqliteScalar(PhoneSmsDb::smsDbPathOf(store),
                               "select filename from attachment where rowid=?", {dots})
                          .toString();
        QCOMPARE(QFileInfo(relay + "/var/mobile/" + crafted.mid(2)).canonicalFilePath(),
                 QFileInfo(outside + "/victim.txt").canonicalFilePath());

        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        QCOMPARE(set.data()->attachments.size(), 3);
        QVERIFY(set.data()->attachments.value(dots)->localPath.isEmpty());
        QVERIFY(set.data()->attachments.value(link)->localPath.isEmpty());
        QCOMPARE(fileBytes(set.data()->attachments.value(fine)->localPath), QByteArray("OK"));
    }

    // Reading a copy of a phone's database without upgrade leaves its files
    // as they were, a write-ahead log with rows not yet in the file included;
    // once the same object writes, what it wrote reaches the file itself.
    // The schema test reads the same way; a copy in write-ahead-log mode that
    // came without its log files is left without them.
    void readingLeavesPhoneCopyUnchanged_data()
    {
        QTest::addColumn<bool>("wal");
        QTest::addColumn<bool>("logRows");
        QTest::newRow("rollback journal") << false << false;
        QTest::newRow("write-ahead log") << true << true;
        QTest::newRow("write-ahead log without its files") << true << false;
    }
    void readingLeavesPhoneCopyUnchanged()
    {
        QFETCH(bool, wal);
        QFETCH(bool, logRows);
        const QString store = newStore();
        PhoneSchema schema;
        schema.wal = wal;
        qint64 chat;
        {
            PhoneSmsDb b(store, schema);
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            chat = b.addChat(h);
            b.addText(chat, QStringLiteral("in the file"), h, 100);
            if (logRows) {
                // Rows still in the log, as a live phone leaves them.
                b.db().exec("PRAGMA wal_checkpoint(TRUNCATE);");
                sqlite3_db_config(b.db().handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
                b.addText(chat, QStringLiteral("in the log"), h, 200);
            }
        }
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        const QByteArray db0 = fileBytes(path);
        const QByteArray wal0 = fileBytes(path + "-wal");
        QCOMPARE(wal0.isEmpty(), !logRows);
        QCOMPARE(QFile::exists(path + "-wal"), logRows);
        const bool shm0 = QFile::exists(path + "-shm");
        {
            QCOMPARE(AbsIOSMessageDb::isIOS6Schema(path), 6);
            IOS6MessageDb db(QDir(store), kUs, false);
            MsgDataSet set;
            set.reset();
            db.messages(set, 0);
            db.loadRecycledChats(set);
            QCOMPARE(db.messageCount(), qint64(logRows ? 2 : 1));
            QCOMPARE(set.data()->messages.size(), logRows ? 2 : 1);
        }
        QVERIFY(fileBytes(path) == db0);
        QVERIFY(fileBytes(path + "-wal") == wal0);
        QCOMPARE(QFile::exists(path + "-wal"), logRows);
        QCOMPARE(QFile::exists(path + "-shm"), shm0);
        QVERIFY(!QFile::exists(path + "-journal"));

        // Writing after reading, through the writer or any statement of the
        // caller's: what was written is in the database file alone, without
        // its log.
        _MsgMessage m = makeMessage(QStringLiteral("written"), 300, true);
        {
            IOS6MessageDb db(QDir(store), kUs, false);
            MsgDataSet set;
            set.reset();
            db.messages(set, 0);
            db.addChatMessageJoin(chat, db.insertMessage(&m, 0, 0));
            db.messages(set, 0);
        }
        {
            IOS6MessageDb db(QDir(store), kUs, false);
            QCOMPARE(db.messageCount(), qint64(logRows ? 3 : 2));
            db.beginTransaction();
            db.executeThrow(Sqlite3Sql("update message set text='changed' where guid=?")
                                    .addTextParam(m.guid));
            db.endTransaction(true);
            QCOMPARE(db.messageCount(), qint64(logRows ? 3 : 2));
        }
        const QString copy = m_env->makeDir(QStringLiteral("copy%1").arg(m_stores)) + "/sms.db";
        QVERIFY(QFile::copy(path, copy));
        QCOMPARE(sqliteScalar(copy, "select text from message where guid=?", {m.guid}).toString(),
                 QStringLiteral("changed"));
        QCOMPARE(sqliteScalar(copy, "select count(*) from message").toInt(), logRows ? 3 : 2);
    }

    // A saved copy of a phone's database (or a backup's), opened to be
    // shown, stays byte for byte as it came with its journal or log, in
    // both schema generations: a copy taken while the phone was writing
    // holds a hot journal, which a connection that may write rolls back,
    // and one in write-ahead-log mode rows not yet in the file. Nothing can
    // be written through the reader.
    void phoneCopyIsShownUnchanged_data()
    {
        QTest::addColumn<int>("generation");
        QTest::addColumn<bool>("wal");
        QTest::newRow("iOS 6, unfinished write") << 6 << false;
        QTest::newRow("iOS 6, rows in the log") << 6 << true;
        QTest::newRow("iOS 5, unfinished write") << 5 << false;
    }
    void phoneCopyIsShownUnchanged()
    {
        QFETCH(int, generation);
        QFETCH(bool, wal);
        const QString source = newStore();
        const QString store = newStore();
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        int messages = 2;
        if (generation == 6) {
            PhoneSchema schema;
            schema.wal = wal;
            PhoneSmsDb b(wal ? store : source, schema);
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            const qint64 chat = b.addChat(h);
            b.addText(chat, QStringLiteral("one"), h, 100);
            b.addText(chat, QStringLiteral("two"), h, 200);
            if (wal) {
                b.db().exec("PRAGMA wal_checkpoint(TRUNCATE);");
                sqlite3_db_config(b.db().handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
                b.addText(chat, QStringLiteral("in the log"), h, 300);
                messages = 3;
            }
        } else {
            IOS5SmsDb b(source);
            const qint64 g = b.addGroup(111);
            b.addMember(g, "(202) 555-0143");
            b.addSms(g, "(202) 555-0143", 1300000000, 2, "one");
            b.addSms(g, "(202) 555-0143", 1300000100, 3, "two");
        }
        if (!wal)
            QVERIFY(copyMidWrite(PhoneSmsDb::smsDbPathOf(source), path));
        const QString log = path + (wal ? "-wal" : "-journal");
        const QByteArray db0 = fileBytes(path);
        const QByteArray log0 = fileBytes(log);
        QVERIFY(!log0.isEmpty());
        {
            const QSharedPointer<AbsIOSMessageDb> db
                    = AbsIOSMessageDb::openPhoneCopy(QDir(store), kUs);
            QCOMPARE(db->iosVersion(), generation);
            MsgDataSet set;
            set.reset();
            db->chats(set);
            db->messages(set, 0);
            QCOMPARE(set.data()->messages.size(), messages);
            const QString error = exceptionText(
                    [&] { db->executeThrow(Sqlite3Sql("CREATE TABLE added(x)")); });
            QVERIFY2(error.contains("readonly"), qPrintable(error));
        }
        QVERIFY(fileBytes(path) == db0);
        QVERIFY(fileBytes(log) == log0);
        QVERIFY(!QFile::exists(path + (wal ? "-journal" : "-wal")));
    }

    // The reader of a folder that should hold a phone's copy never throws
    // and never makes a database: a folder without sms.db or with a file
    // that is no database tells so at the first read, and stays as it was.
    void phoneCopyReaderOfBrokenFolders_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no sms.db at all
        QTest::newRow("no database") << QByteArray();
        QTest::newRow("not a database") << QByteArray("this is not an SQLite file at all, no");
    }
    void phoneCopyReaderOfBrokenFolders()
    {
        QFETCH(QByteArray, content);
        const QString store = newStore();
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        if (!content.isEmpty()) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        QSharedPointer<AbsIOSMessageDb> db;
        try {
            db = AbsIOSMessageDb::phoneCopyReader(QDir(store), kUs);
        } catch (...) {
            QFAIL("the reader threw");
        }
        QVERIFY(db);
        MsgDataSet set;
        set.reset();
        QVERIFY(!exceptionText([&] { db->chats(set); }).isEmpty());
        QCOMPARE(QFileInfo::exists(path), !content.isEmpty());
        if (!content.isEmpty())
            QCOMPARE(fileBytes(path), content);
        QVERIFY(!QFile::exists(path + "-journal"));
        QVERIFY(!QFile::exists(path + "-wal"));
    }

    // A copy in write-ahead-log mode in a folder the program may not write
    // is still read whole: as it is when its log and index lie beside it, as
    // an immutable file when no log does, else from a private copy with its
    // log. Nothing in the folder changes.
    void readOnlyFolderIsStillRead_data()
    {
        QTest::addColumn<bool>("logRows");
        QTest::addColumn<bool>("withShm");
        QTest::addColumn<int>("via");
        QTest::newRow("no log files") << false << false << int(Sqlite3DB::ReadVia::Immutable);
        QTest::newRow("rows in the log") << true << true << int(Sqlite3DB::ReadVia::File);
        QTest::newRow("rows in the log, no index")
                << true << false << int(Sqlite3DB::ReadVia::PrivateCopy);
    }
    void readOnlyFolderIsStillRead()
    {
        QFETCH(bool, logRows);
        QFETCH(bool, withShm);
        QFETCH(int, via);
        QTemporaryDir top;
        QVERIFY(top.isValid());
        const QString store = top.filePath(QStringLiteral("store"));
        PhoneSchema schema;
        schema.wal = true;
        {
            PhoneSmsDb b(store, schema);
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            const qint64 chat = b.addChat(h);
            b.addText(chat, QStringLiteral("in the file"), h, 100);
            if (logRows) {
                b.db().exec("PRAGMA wal_checkpoint(TRUNCATE);");
                sqlite3_db_config(b.db().handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
                b.addText(chat, QStringLiteral("in the log"), h, 200);
            }
        }
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        if (!withShm)
            QFile::remove(path + "-shm");
        QCOMPARE(QFile::exists(path + "-shm"), withShm);
        // Every folder readable by all, writable by its owner alone.
        for (QString f = QFileInfo(path).path(); f.size() >= top.path().size();
             f = QFileInfo(f).path())
            QVERIFY(::chmod(QFile::encodeName(f).constData(), 0755) == 0);
        QDirIterator files(QFileInfo(path).path(), QDir::Files);
        QHash<QString, QByteArray> before;
        while (files.hasNext()) {
            const QString f = files.next();
            QVERIFY(::chmod(QFile::encodeName(f).constData(), 0644) == 0);
            before.insert(f, fileBytes(f));
        }
        QCOMPARE(before.contains(path + "-wal"), logRows);

        // The reading runs as another user, to whom the folder is read-only.
        int fds[2];
        QCOMPARE(::pipe(fds), 0);
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            ::close(fds[0]);
            QByteArray out;
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                out = "no other user";
            } else {
                try {
                    out = QByteArray::number(AbsIOSMessageDb::isIOS6Schema(path));
                    IOS6MessageDb db(QDir(store), kUs, false);
                    out += ' ' + QByteArray::number(db.messageCount());
                    out += ' ' + QByteArray::number(int(db.readVia()));
                } catch (const std::exception &e) {
                    out = QByteArray("error ") + e.what();
                }
            }
            [[maybe_unused]] const ssize_t n = ::write(fds[1], out.constData(), size_t(out.size()));
            ::_exit(0);
        }
        ::close(fds[1]);
        QByteArray answer;
        char buf[512];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
            answer.append(buf, n);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        if (answer == "no other user")
            QSKIP("cannot run as another user here");
        QCOMPARE(answer, QByteArray("6 ") + (logRows ? "2 " : "1 ") + QByteArray::number(via));

        QDirIterator after(QFileInfo(path).path(), QDir::Files);
        QStringList names;
        while (after.hasNext()) {
            const QString f = after.next();
            names << f;
            QVERIFY2(before.value(f) == fileBytes(f), qPrintable(f));
        }
        QCOMPARE(names.size(), before.size());
    }

    // Newer phones store dates as nanoseconds since 2001. They are read as
    // seconds, whatever unit each row uses: by the reader (messages,
    // attachments, each chat's newest date), by the writer of a local
    // database (which stores seconds), by a text export, and by the scan
    // for deleted rows.
    void nanosecondDates_data()
    {
        QTest::addColumn<bool>("mixed");
        QTest::newRow("nanoseconds") << false;
        QTest::newRow("seconds and nanoseconds") << true;
    }
    void nanosecondDates()
    {
        QFETCH(bool, mixed);
        constexpr qint64 kBase = 700000000; // 2023-03-08 in iOS seconds
        constexpr qint64 kNano = 1000000000;
        const int count = 40;
        // The newest message is stored in seconds when the units are mixed,
        // so that the largest raw value is not the newest date.
        auto raw = [&](int i) {
            const qint64 seconds = kBase + 1000 * i;
            return mixed && i % 2 == 1 ? seconds : seconds * kNano;
        };
        const QString store = newStore();
        QHash<QString, qint64> secondsByText;
        QStringList deletedGuids;
        qint64 chat = 0;
        {
            PhoneSmsDb b(store);
            b.db().exec("PRAGMA secure_delete=0;");
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            chat = b.addChat(h);
            for (int i = 0; i < count; ++i) {
                PhoneSmsDb::Message m;
                m.text = QStringLiteral("message %1 ").arg(i)
                        + QStringLiteral("with some words ").repeated(4);
                m.handle = h;
                m.date = raw(i);
                m.guid = PhoneSmsDb::newGuid();
                const qint64 row = b.addMessage(chat, m);
                if (i == 3)
                    b.addAttachment(row, QStringLiteral("p.jpg"), "jpeg");
                secondsByText.insert(m.text, kBase + 1000 * i);
                if (i % 5 == 2)
                    deletedGuids << m.guid;
            }
            b.close();
        }
        const qint64 newest = kBase + 1000 * (count - 1);

        // Read: every date in seconds, the chat's newest date too.
        MsgDataSet set;
        set.reset();
        {
            IOS6MessageDb db(QDir(store), kUs, false);
            MsgDataSet chats;
            chats.reset();
            db.chats(chats);
            QCOMPARE(chats.data()->chats.value(chat)->lastDate, newest);
            db.messages(set, 0);
        }
        QCOMPARE(set.data()->messages.size(), count);
        QCOMPARE(set.data()->chats.value(chat)->lastDate, newest);
        for (const _MsgMessage *m : std::as_const(set.data()->messages)) {
            const qint64 expected = secondsByText.value(m->text);
            QCOMPARE(m->date, expected);
            QCOMPARE(m->date_read, expected + 30);
            for (const _MsgAttachment *a : m->attachments)
                QCOMPARE(a->created_date, expected);
        }

        // Merged into a local database: stored as seconds.
        const QString local = newStore();
        {
            ExportMessagesDb writer(QDir(local), kUs);
            writer.begin();
            for (_MsgMessage *m : std::as_const(set.data()->messages))
                writer.write(m);
            writer.end();
        }
        const QString localDb = PhoneSmsDb::smsDbPathOf(local);
        for (const QVariantList &row : sqliteRows(localDb, "select text, date, date_read from message"))
        {
            const qint64 expected = secondsByText.value(row[0].toString());
            QCOMPARE(row[1].toLongLong(), expected);
            QCOMPARE(row[2].toLongLong(), expected + 30);
        }
        QCOMPARE(sqliteScalar(localDb, "select created_date from attachment").toLongLong(),
                 kBase + 3000);
        QCOMPARE(sqliteScalar(localDb, "select max(_last) from chat").toLongLong(), newest);

        // Exported: the dates of the messages.
        const QString txt = m_env->makeDir(QStringLiteral("txt%1").arg(m_stores)) + "/out.txt";
        {
            ExportMessagesTxt e(txt);
            e.begin();
            MsgMessageList list(set.data()->messages.begin(), set.data()->messages.end());
            sortMessages(list);
            for (_MsgMessage *m : list)
                e.write(m);
            e.end();
        }
        const QString text = QString::fromUtf8(fileBytes(txt));
        for (qint64 seconds : {kBase, newest}) {
            const QString shown = QLocale::system().toString(
                    QDateTime::fromSecsSinceEpoch(seconds + kIosEpochOffset), QLocale::ShortFormat);
            QVERIFY2(text.contains(shown), qPrintable(shown));
        }

        // Deleted rows salvaged by the scan: their dates in seconds.
        {
            RawSqlite phone(PhoneSmsDb::smsDbPathOf(store));
            phone.exec("PRAGMA secure_delete=0;");
            for (const QString &guid : std::as_const(deletedGuids))
                phone.run("delete from message where guid=?", {guid});
        }
        {
            IOS6MessageDb db(QDir(store), kUs, false);
            MsgDataSet chats;
            chats.reset();
            db.chats(chats);
            const QList<_MsgChat *> list = chats.data()->chats.values();
            scanDeletedHandles(db);
            scanDeletedMessages(db, list);
        }
        const QList<QVariantList> salvaged
                = sqliteRows(store + "/recycle.db", "select text, date, date_read from message");
        QVERIFY(!salvaged.isEmpty());
        for (const QVariantList &row : salvaged) {
            QVERIFY2(secondsByText.contains(row[0].toString()), qPrintable(row[0].toString()));
            const qint64 expected = secondsByText.value(row[0].toString());
            QCOMPARE(row[1].toLongLong(), expected);
            QCOMPARE(row[2].toLongLong(), expected + 30);
        }
        // And shown beside the live messages with the same dates.
        IOS6MessageDb reader(QDir(store), kUs, false);
        MsgDataSet shown;
        shown.reset();
        reader.chats(shown);
        reader.loadRecycledChats(shown);
        int recycled = 0;
        for (const _MsgMessage *m : std::as_const(shown.data()->messages)) {
            if (m->ROWID >= 0)
                continue;
            ++recycled;
            QCOMPARE(m->date, secondsByText.value(m->text));
        }
        QCOMPARE(recycled, salvaged.size());
    }

    // Contact names come from the phone's address book when the store has
    // one (also replacing a stored name), else from the archive's _ct_name.
    void contactNamesFromAddressBook()
    {
        const QString store = newStore();
        qint64 known, unknown;
        {
            PhoneSmsDb b(store, PhoneSchema::olderLocal());
            known = b.addHandle(QStringLiteral("+12025550143"), "SMS", "us", {},
                                QStringLiteral("Stored Name"));
            unknown = b.addHandle(QStringLiteral("+12025550144"), "SMS", "us", {},
                                  QStringLiteral("Kept Without Book"));
            b.addChat(known);
            b.addChat(unknown);
        }
        {
            IOS6MessageDb db(QDir(store), kUs, false);
            MsgDataSet set;
            set.reset();
            db.chats(set);
            QCOMPARE(set.data()->handles.value(known)->contactName, QStringLiteral("Stored Name"));
            QCOMPARE(set.data()->handles.value(unknown)->contactName,
                     QStringLiteral("Kept Without Book"));
        }
        {
            AddressBookFixture book(store);
            const qint64 p = book.addPerson(QStringLiteral("Anna"), QStringLiteral("Berg"));
            book.addPhone(p, QStringLiteral("(202) 555-0143"));
            book.addImage(p, "PHOTO");
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        QCOMPARE(set.data()->handles.value(known)->contactName, QStringLiteral("Anna Berg"));
        QCOMPARE(set.data()->handles.value(known)->photo, QByteArray("PHOTO"));
        QCOMPARE(set.data()->handles.value(unknown)->contactName, QString());
        QCOMPARE(chatDisplayName(*set.data()->chats.value(1), false), QStringLiteral("Anna Berg"));
    }

    // The live-again check asks the database in guid order; the salvaged
    // messages keep the recycle store's order all the same, which decides
    // the row ids of the conversations made for them.
    void recycledChatsKeepStoreOrder()
    {
        const QString store = newStore();
        QString liveGuid;
        {
            PhoneSmsDb b(store);
            const qint64 h = b.addHandle(QStringLiteral("+12025550143"));
            const qint64 live = b.addText(b.addChat(h), QStringLiteral("live"), h, 1000);
            liveGuid = b.db().scalar("select guid from message where rowid=?", {live}).toString();
        }
        // Guids falling in the store's order, the live one among them; all of
        // one handle_id, so each new conversation takes the next free row id.
        const QStringList guids = {QStringLiteral("FFFFFFFF-0000-0000-0000-000000000003"),
                                   liveGuid,
                                   QStringLiteral("BBBBBBBB-0000-0000-0000-000000000002"),
                                   QStringLiteral("11111111-0000-0000-0000-000000000001")};
        {
            MessageRecycleDb recycle(QDir(store).absoluteFilePath("recycle.db"));
            for (int i = 0; i < guids.size(); ++i) {
                _MsgMessage m = makeMessage(QStringLiteral("salvaged %1").arg(i), 500 + i, false);
                m.guid = guids[i];
                m.handle_id = 7;
                const QString ident = QStringLiteral("+1303555000%1").arg(i);
                recycle.insertRecycledMessage(m, ident, ident, 0);
            }
        }
        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        db.loadRecycledChats(set);
        QStringList order;
        for (const _MsgChat *chat : set.data()->chats)
            if (isRecoveredChat(chat->ROWID))
                order.prepend(chat->chat_identifier); // the highest row id came first
        QCOMPARE(order, QStringList({"+13035550000", "+13035550002", "+13035550003"}));
        QCOMPARE(set.data()->chats.lastKey(), qint64(1));
        QVERIFY(set.data()->chats.contains(-(7 + kRecoveredChatBase)));
    }

    // Every column of every row a generated phone database holds, read with
    // plain SQLite, against the records the reader made of it: no column
    // left out or mixed up with another, shared texts equal to their rows
    // (more distinct values than the reader keeps shared, too), the joins
    // filed under the right keys.
    void loadedRecordsMatchTheRows()
    {
        const QString store = newStore();
        GeneratedSmsDbSpec spec;
        spec.messages = 5000;
        spec.chats = 40;
        spec.attachmentShare = 0.05;
        spec.attachmentFiles = false;
        generatePhoneSmsDb(store, spec);
        const QString path = PhoneSmsDb::smsDbPathOf(store);
        {
            // Values in the columns the generator leaves at their defaults,
            // each column following its own pattern.
            RawSqlite raw(path);
            QStringList sets;
            const QStringList ints = {
                    "replace", "version", "type", "error", "is_delivered", "is_finished",
                    "is_emote", "is_empty", "is_delayed", "is_auto_reply", "is_prepared",
                    "is_system_message", "has_dd_results", "is_service_message", "is_forward",
                    "was_downgraded", "is_archive", "cache_has_attachments", "was_data_detected",
                    "was_deduplicated", "is_audio_message", "is_played", "group_action_type",
                    "share_status", "share_direction", "is_expirable", "expire_state",
                    "message_action_type"};
            for (int i = 0; i < ints.size(); ++i)
                sets << QStringLiteral("%1 = (rowid * %2 + %3) % %4")
                                .arg(ints[i])
                                .arg(i + 2)
                                .arg(i)
                                .arg(i % 3 == 0 ? 5000000000LL : 7 + i);
            sets << "service_center = case when rowid % 5 = 0 then 'sc' || (rowid % 4) end"
                 << "subject = case when rowid % 7 = 0 then 'subject ' || rowid end"
                 << "country = case rowid % 4 when 0 then 'ca' when 1 then '' end"
                 << "attributedBody = case when rowid % 6 = 0 then randomblob(rowid % 40 + 1) end"
                 << "account_guid = 'guid-' || rowid"
                 << "cache_roomnames = case when rowid % 3 = 0 then 'room' || (rowid % 9) end"
                 << "date_played = case when rowid % 4 = 0 then date * 1000000000 else rowid end"
                 << "date_read = case when rowid % 10 = 0 then date_read * 1000000000 "
                    "else date_read end"
                 << "other_handle = case when rowid % 8 = 0 then handle_id else other_handle end"
                 << "item_type = case when rowid % 97 = 0 then 4 else item_type end";
            raw.exec("update message set " + sets.join(", "));
            raw.exec("update attachment set created_date = rowid * 3, start_date = rowid * 5, "
                     "transfer_state = rowid % 6, is_outgoing = rowid % 2, "
                     "user_info = randomblob(rowid % 9 + 1), total_bytes = rowid * 1000000007");
            raw.exec("update chat set style = rowid % 50, state = rowid % 4, account_id = 'acc' || "
                     "rowid, properties = randomblob(5), room_name = 'room' || rowid, "
                     "is_archived = rowid % 2, last_addressed_handle = 'lah' || rowid");
        }

        IOS6MessageDb db(QDir(store), QString::fromLatin1(kUs), false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        db.messages(set, 0);
        const _MsgDataSet *ds = set.data();

        enum Kind { Int32, Int64, Date, Text, Blob };
        struct Col
        {
            Kind kind;
            std::function<QVariant(const void *)> field;
        };
        auto expected = [](Kind kind, const QVariant &v) -> QVariant {
            switch (kind) {
            case Int32:
                return qint32(v.toLongLong());
            case Int64:
                return v.toLongLong();
            case Date:
                return iosDateFromColumn(v.toLongLong());
            case Text:
                return v.toString();
            case Blob:
                return v.toByteArray();
            }
            return {};
        };
        // Compares one row with its record, column by column; every column of
        // the table must be known here.
        auto compareRow = [&](const QString &table, const QStringList &names,
                              const QVariantList &row, const void *record,
                              const QHash<QString, Col> &cols,
                              const QSet<QString> &skipped) -> bool {
            for (int i = 0; i < names.size(); ++i) {
                if (skipped.contains(names[i]))
                    continue;
                const auto col = cols.constFind(names[i]);
                if (col == cols.constEnd()) {
                    qWarning() << "column not compared:" << table << names[i];
                    return false;
                }
                const QVariant want = expected(col->kind, row[i]);
                const QVariant got = col->field(record);
                if (want != got) {
                    qWarning() << table << "row" << row[0] << names[i] << "read" << got
                               << "holds" << want;
                    return false;
                }
            }
            return true;
        };
#define COL(T, kind, expr) Col {kind, [](const void *p) { const T &r = *static_cast<const T *>(p); return QVariant(expr); }}
        const QHash<QString, Col> messageCols = {
                {"ROWID", COL(_MsgMessage, Int64, r.ROWID)},
                {"guid", COL(_MsgMessage, Text, r.guid)},
                {"text", COL(_MsgMessage, Text, r.text)},
                {"replace", COL(_MsgMessage, Int32, r.replace)},
                {"service_center", COL(_MsgMessage, Text, r.service_center)},
                {"handle_id", COL(_MsgMessage, Int64, r.handle_id)},
                {"subject", COL(_MsgMessage, Text, r.subject)},
                {"attributedBody", COL(_MsgMessage, Blob, r.attributedBody)},
                {"version", COL(_MsgMessage, Int32, r.version)},
                {"type", COL(_MsgMessage, Int32, r.type)},
                {"service", COL(_MsgMessage, Text, r.service)},
                {"account", COL(_MsgMessage, Text, r.account)},
                {"account_guid", COL(_MsgMessage, Text, r.account_guid)},
                {"error", COL(_MsgMessage, Int32, r.error)},
                {"date", COL(_MsgMessage, Date, r.date)},
                {"date_read", COL(_MsgMessage, Date, r.date_read)},
                {"date_delivered", COL(_MsgMessage, Date, r.date_delivered)},
                {"is_delivered", COL(_MsgMessage, Int32, r.is_delivered)},
                {"is_finished", COL(_MsgMessage, Int32, r.is_finished)},
                {"is_emote", COL(_MsgMessage, Int32, r.is_emote)},
                {"is_from_me", COL(_MsgMessage, Int32, r.is_from_me)},
                {"is_empty", COL(_MsgMessage, Int32, r.is_empty)},
                {"is_delayed", COL(_MsgMessage, Int32, r.is_delayed)},
                {"is_auto_reply", COL(_MsgMessage, Int32, r.is_auto_reply)},
                {"is_prepared", COL(_MsgMessage, Int32, r.is_prepared)},
                {"is_read", COL(_MsgMessage, Int32, r.is_read)},
                {"is_system_message", COL(_MsgMessage, Int32, r.is_system_message)},
                {"is_sent", COL(_MsgMessage, Int32, r.is_sent)},
                {"has_dd_results", COL(_MsgMessage, Int32, r.has_dd_results)},
                {"is_service_message", COL(_MsgMessage, Int32, r.is_service_message)},
                {"is_forward", COL(_MsgMessage, Int32, r.is_forward)},
                {"was_downgraded", COL(_MsgMessage, Int32, r.was_downgraded)},
                {"is_archive", COL(_MsgMessage, Int32, r.is_archive)},
                {"cache_has_attachments", COL(_MsgMessage, Int32, r.cache_has_attachments)},
                {"cache_roomnames", COL(_MsgMessage, Text, r.cache_roomnames)},
                {"was_data_detected", COL(_MsgMessage, Int32, r.was_data_detected)},
                {"was_deduplicated", COL(_MsgMessage, Int32, r.was_deduplicated)},
                {"is_audio_message", COL(_MsgMessage, Int32, r.is_audio_message)},
                {"is_played", COL(_MsgMessage, Int32, r.is_played)},
                {"date_played", COL(_MsgMessage, Date, r.date_played)},
                {"item_type", COL(_MsgMessage, Int32, r.item_type)},
                {"other_handle", COL(_MsgMessage, Int32, r.other_handle)},
                {"group_title", COL(_MsgMessage, Text, r.group_title)},
                {"group_action_type", COL(_MsgMessage, Int32, r.group_action_type)},
                {"share_status", COL(_MsgMessage, Int32, r.share_status)},
                {"share_direction", COL(_MsgMessage, Int32, r.share_direction)},
                {"is_expirable", COL(_MsgMessage, Int32, r.is_expirable)},
                {"expire_state", COL(_MsgMessage, Int32, r.expire_state)},
                {"message_action_type", COL(_MsgMessage, Int32, r.message_action_type)},
        };
        const QHash<QString, Col> chatCols = {
                {"ROWID", COL(_MsgChat, Int64, r.ROWID)},
                {"guid", COL(_MsgChat, Text, r.guid)},
                {"style", COL(_MsgChat, Int32, r.style)},
                {"state", COL(_MsgChat, Int32, r.state)},
                {"account_id", COL(_MsgChat, Text, r.account_id)},
                {"properties", COL(_MsgChat, Blob, r.properties)},
                {"chat_identifier", COL(_MsgChat, Text, r.chat_identifier)},
                {"service_name", COL(_MsgChat, Text, r.service_name)},
                {"room_name", COL(_MsgChat, Text, r.room_name)},
                {"account_login", COL(_MsgChat, Text, r.account_login)},
                {"is_archived", COL(_MsgChat, Int32, r.is_archived)},
                {"last_addressed_handle", COL(_MsgChat, Text, r.last_addressed_handle)},
                {"display_name", COL(_MsgChat, Text, r.display_name)},
                {"group_id", COL(_MsgChat, Text, r.group_id)},
        };
        const QHash<QString, Col> attachmentCols = {
                {"ROWID", COL(_MsgAttachment, Int64, r.ROWID)},
                {"guid", COL(_MsgAttachment, Text, r.guid)},
                {"created_date", COL(_MsgAttachment, Date, r.created_date)},
                {"start_date", COL(_MsgAttachment, Date, r.start_date)},
                {"filename", COL(_MsgAttachment, Text, r.filename)},
                {"uti", COL(_MsgAttachment, Text, r.uti)},
                {"mime_type", COL(_MsgAttachment, Text, r.mime_type)},
                {"transfer_state", COL(_MsgAttachment, Int32, r.transfer_state)},
                {"is_outgoing", COL(_MsgAttachment, Int32, r.is_outgoing)},
                {"user_info", COL(_MsgAttachment, Blob, r.user_info)},
                {"transfer_name", COL(_MsgAttachment, Text, r.transfer_name)},
                {"total_bytes", COL(_MsgAttachment, Int64, r.total_bytes)},
        };
        const QHash<QString, Col> handleCols = {
                {"ROWID", COL(_MsgHandle, Int64, r.ROWID)},
                {"country", COL(_MsgHandle, Text, r.country)},
                {"service", COL(_MsgHandle, Text, r.service)},
                {"uncanonicalized_id", COL(_MsgHandle, Text, r.uncanonicalized_id)},
        };
#undef COL

        RawSqlite raw(path, false, true);
        // Messages: the ones of a chat, location sharing left out.
        const QStringList messageNames = raw.columns("message");
        QCOMPARE(messageNames.size(), 50);
        const QList<QVariantList> messageRows = raw.rows(
                "select * from message where rowid in (select message_id from chat_message_join) "
                "and item_type <> 4 order by rowid");
        QVERIFY(messageRows.size() > 4900);
        QCOMPARE(ds->messages.size(), messageRows.size());
        auto loaded = ds->messages.cbegin();
        for (const QVariantList &row : messageRows) {
            const _MsgMessage *m = loaded.value();
            QCOMPARE(loaded.key(), row[0].toLongLong());
            ++loaded;
            QVERIFY(compareRow("message", messageNames, row, m, messageCols, {"country"}));
            // An empty country is the handle's.
            const QString country = row[messageNames.indexOf("country")].toString();
            QCOMPARE(m->country, country.isEmpty() && m->handle ? m->handle->country : country);
            QCOMPARE(m->orderKey, m->ROWID);
            QCOMPARE(m->handle, ds->handles.value(m->handle_id));
            QCOMPARE(m->otherHandle,
                     m->other_handle > 0 ? ds->handles.value(m->other_handle) : nullptr);
        }

        // Each chat holds its messages under their decimal rowids.
        QMap<qint64, QList<qint64>> joined;
        for (const QVariantList &j : raw.rows(
                     "select j.chat_id, j.message_id from chat_message_join as j inner join "
                     "message as m on j.message_id = m.rowid and m.item_type <> 4"))
            joined[j[0].toLongLong()] << j[1].toLongLong();
        const QStringList chatNames = raw.columns("chat");
        const QList<QVariantList> chatRows = raw.rows("select * from chat order by rowid");
        QCOMPARE(ds->chats.size(), chatRows.size());
        for (const QVariantList &row : chatRows) {
            const _MsgChat *chat = ds->chats.value(row[0].toLongLong());
            QVERIFY(chat);
            QVERIFY(compareRow("chat", chatNames, row, chat, chatCols, {}));
            QStringList keys;
            for (qint64 id : joined.value(chat->ROWID)) {
                keys << QString::number(id);
                QCOMPARE(chat->messages.value(QString::number(id)), ds->messages.value(id));
                QCOMPARE(ds->messages.value(id)->chat, chat);
            }
            std::sort(keys.begin(), keys.end());
            QCOMPARE(chat->messages.keys(), keys);
        }

        const QStringList handleNames = raw.columns("handle");
        const QList<QVariantList> handleRows = raw.rows(
                "select * from handle where rowid in (select handle_id from chat_handle_join)");
        QCOMPARE(ds->handles.size(), handleRows.size());
        for (const QVariantList &row : handleRows)
            QVERIFY(compareRow("handle", handleNames, row, ds->handles.value(row[0].toLongLong()),
                               handleCols, {"id"}));

        const QStringList attachmentNames = raw.columns("attachment");
        const QList<QVariantList> attachmentRows = raw.rows("select * from attachment");
        QVERIFY(attachmentRows.size() > 200);
        QCOMPARE(ds->attachments.size(), attachmentRows.size());
        for (const QVariantList &row : attachmentRows)
            QVERIFY(compareRow("attachment", attachmentNames, row,
                               ds->attachments.value(row[0].toLongLong()), attachmentCols, {}));
        // Location sharing items are left out, their attachments not.
        for (const QVariantList &j : raw.rows("select ma.message_id, ma.attachment_id from "
                                               "message_attachment_join as ma inner join message "
                                               "as m on ma.message_id = m.rowid and "
                                               "m.item_type <> 4")) {
            const _MsgMessage *m = ds->messages.value(j[0].toLongLong());
            QVERIFY(m);
            QCOMPARE(m->attachments.value(j[1].toString()),
                     ds->attachments.value(j[1].toLongLong()));
        }
    }

    // Salvaged messages of the recycle store join the list, except those the
    // database still holds.
    void recycledChatsMergedIntoList()
    {
        const QString store = newStore();
        qint64 anna, chat, live;
        QString liveGuid;
        {
            PhoneSmsDb b(store);
            anna = b.addHandle(QStringLiteral("+12025550143"));
            chat = b.addChat(anna);
            live = b.addText(chat, QStringLiteral("live"), anna, 1000);
            liveGuid = b.db().scalar("select guid from message where rowid=?", {live}).toString();
        }
        {
            MessageRecycleDb recycle(QDir(store).absoluteFilePath("recycle.db"));
            auto salvage = [&](const QString &text, const QString &guid, const QString &ident,
                               int date) {
                _MsgMessage m = makeMessage(text, date, false);
                if (!guid.isEmpty())
                    m.guid = guid;
                m.handle_id = anna;
                recycle.insertRecycledMessage(m, ident, ident, 0);
            };
            salvage(QStringLiteral("still live"), liveGuid, QStringLiteral("+12025550143"), 1000);
            salvage(QStringLiteral("lost to anna"), {}, QStringLiteral("+12025550143"), 900);
            salvage(QStringLiteral("lost elsewhere"), {}, QStringLiteral("+12025550177"), 800);
            salvage(QStringLiteral("lost, nobody known"), {}, {}, 700);
        }

        IOS6MessageDb db(QDir(store), kUs, false);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        db.loadRecycledChats(set);
        db.loadRecycledChats(set); // a second time adds nothing
        _MsgDataSet *ds = set.data();

        QStringList texts;
        for (const _MsgMessage *m : ds->messages)
            texts << m->text;
        texts.sort();
        QCOMPARE(texts,
                 QStringList({"live", "lost elsewhere", "lost to anna", "lost, nobody known"}));
        // The message of a known conversation joins the live chat.
        QCOMPARE(textsOf(sortedMessagesOf(ds->chats.value(chat))),
                 QStringList({"lost to anna", "live"}));
        for (const _MsgMessage *m : ds->messages) {
            QVERIFY(m->chat);
            QVERIFY(m->chat->messages.contains(QString::number(m->ROWID)));
            if (m->text == QLatin1String("live"))
                continue;
            QVERIFY(m->ROWID < 0);
            if (m->text == QLatin1String("lost elsewhere")) {
                QVERIFY(m->chat->ROWID < 0);
                QVERIFY(!isUnknownRecoveredChat(m->chat->ROWID));
                QCOMPARE(m->chat->chat_identifier, QStringLiteral("+12025550177"));
            } else if (m->text.startsWith(QLatin1String("lost, nobody"))) {
                QVERIFY(isUnknownRecoveredChat(m->chat->ROWID));
            }
        }
        // The sessions of the tree show the salvaged conversations too.
        QCOMPARE(set.chatSessions().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestIos6Db)
#include "tst_ios6db.moc"
