#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/ios5smsdb.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/pyplist.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTranslator>
#include <QtTest>
#include <memory>
#include <sqlite3.h>

namespace {

const QChar kObj(0xFFFC);
constexpr qint64 kEpoch = 978307200;

QByteArray fileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// Every file and folder below a folder, relative to it, sorted.
QStringList treeListing(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(root).relativeFilePath(it.next());
    out.sort();
    return out;
}

QByteArray plistArray(const QStringList &items, PyPlist::Format format)
{
    QStringList quoted;
    for (const QString &s : items)
        quoted << PyPlist::quote(s);
    return PyPlist::dump("[" + quoted.join(",") + "]", format);
}

_MsgChat *chatByIdentifier(_MsgDataSet *d, const QString &identifier, const QString &service)
{
    for (_MsgChat *c : std::as_const(d->chats))
        if (c->chat_identifier == identifier && c->service_name == service)
            return c;
    return nullptr;
}

QString attachmentsPartsFolder(const QString &store)
{
    return store + "/file-relay/var/mobile/Library/SMS/Parts";
}

// What a reader's records say of the conversations, independent of row ids
// and of the keys of the tables: one line per chat and per message.
QStringList shapeOf(const _MsgDataSet *d)
{
    QStringList out;
    for (const _MsgChat *chat : d->chats) {
        QStringList ids;
        for (const _MsgHandle *h : chat->handles)
            ids << h->id + "/" + h->service;
        ids.sort();
        out << QString("chat %1 | %2 | %3 | style %4 | room %5 | last %6 | %7")
                        .arg(chat->chat_identifier, chat->guid, chat->service_name)
                        .arg(chat->style)
                        .arg(chat->room_name)
                        .arg(chat->lastDate)
                        .arg(ids.join(","));
        for (const _MsgMessage *m : chat->messages) {
            QStringList atts;
            for (const _MsgAttachment *a : m->attachments)
                atts << a->mime_type + " " + a->uti + " " + a->filename.section('/', -1) + " "
                                + fileBytes(a->localPath);
            out << QString("  msg %1 | %2 | date %3 | me %4 | %5 | from %6 | %7")
                            .arg(chat->chat_identifier, m->text)
                            .arg(m->date)
                            .arg(m->is_from_me)
                            .arg(m->service, m->handle ? m->handle->id : QString("-"),
                                 atts.join(","));
        }
    }
    out.sort();
    return out;
}

} // namespace

class TestIOS5Db : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> env;
    int counter = 0;
    QString newStore()
    {
        const QString path
                = QDir(env->home()).absoluteFilePath(QString("stores/s%1").arg(++counter));
        QDir().mkpath(path);
        return path;
    }

private slots:
    void initTestCase() { env = std::make_unique<TestEnv>(); }

    // A database with SMS, a group, an MMS and iMessage chats with an
    // attachment, read into the records a newer database of the same
    // messages gives: chat guids and identifiers, canonical handle ids,
    // dates since 2001, the attachment paths of the newer layout.
    void readsIntoNewerRecords()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store);
        const qint64 g1 = phone.addGroup(111);
        phone.addMember(g1, "(202) 555-0143");
        const qint64 m1 = phone.addSms(
                {g1, "(202) 555-0143", 1300000000, 2, "Hello", "us", "Subj", "+12025550000"});
        const qint64 m2 = phone.addSms(g1, "(202) 555-0143", 1300000100, 3, "Hi back");

        const qint64 g2 = phone.addGroup(222);
        phone.addMember(g2, "202-555-0177");
        phone.addMember(g2, "+12025550188");
        const qint64 m3 = phone.addSms(g2, "2025550177", 1300000200, 2, "Group hello");
        const qint64 m4 = phone.addSms(g2, "", 1300000300, 3, "Group reply");

        const QString benPlist = "ben@Example.com";
        const qint64 c1
                = phone.addMadridChat(benPlist, plistArray({"ben@example.com"}, PyPlist::Binary),
                                      45, 3, "ACC-BEN", "E:me@example.com");
        const QString room = "chat123456789012345678";
        const qint64 c2 = phone.addMadridChat(
                room, plistArray({"+12025550143", "Carl@Example.com"}, PyPlist::Xml), 43, 3,
                "ACC-ROOM", "E:me@example.com");
        QVERIFY(c1 > 0 && c2 > 0);
        IOS5SmsDb::IMessage yo;
        yo.handle = "ben@example.com";
        yo.date = 330000000;
        yo.dateRead = 330000050;
        yo.text = "Yo";
        yo.guid = "11111111-2222-3333-4444-555555555555";
        const qint64 m5 = phone.addIMessage(yo);

        const QString attGuid = "AB11CD22-0000-4000-8000-00000000FEED";
        IOS5SmsDb::IMessage pic;
        pic.handle = "carl@example.com";
        pic.roomname = room;
        pic.date = 330000100;
        pic.text = QString(kObj);
        pic.guid = "66666666-2222-3333-4444-555555555555";
        pic.attachmentInfo = PyPlist::dump(
                "[{'guid': " + PyPlist::quote(attGuid) + ", 'size': 12}]", PyPlist::Binary);
        pic.attributedBody = "madrid body";
        const qint64 m6 = phone.addIMessage(pic);
        phone.addMadridAttachment(
                attGuid, "/var/mobile/Library/SMS/Attachments/ab/11/" + attGuid + "/photo.jpg",
                "image/jpeg", "public.jpeg", 330000090, 330000091, 5, true, m6);

        IOS5SmsDb::IMessage sent;
        sent.roomname = room;
        sent.date = 330000200;
        sent.dateDelivered = 330000201;
        sent.text = "Nice";
        const qint64 m7 = phone.addIMessage(sent);
        phone.close();

        AddressBookFixture book(store);
        book.addPhone(book.addPerson("Anna", "Berg"), "(202) 555-0143");
        book.close();

        IOS5MessageDb db(QDir(store), "310");
        QCOMPARE(db.iosVersion(), 5);
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        _MsgDataSet *d = set.data();

        // SMS one-to-one chat.
        _MsgChat *sms = d->chats.value(g1);
        QVERIFY(sms);
        QCOMPARE(sms->guid, QString("SMS;-;+12025550143"));
        QCOMPARE(sms->chat_identifier, QString("+12025550143"));
        QCOMPARE(sms->service_name, QString("SMS"));
        QCOMPARE(sms->style, 45);
        QCOMPARE(sms->state, 3);
        QCOMPARE(sms->account_login, QString("E:"));
        QCOMPARE(sms->lastDate, 1300000100 - kEpoch);
        QCOMPARE(sms->handles.keys(), QStringList {"+12025550143"});
        _MsgHandle *anna = sms->handles.value("+12025550143");
        QCOMPARE(anna->service, QString("SMS"));
        QCOMPARE(anna->country, QString("us"));
        QCOMPARE(anna->contactName, QString("Anna Berg"));
        QCOMPARE(sms->messages.keys(), (QStringList {QString::number(m1), QString::number(m2)}));

        _MsgMessage *hello = d->messages.value(m1);
        QCOMPARE(hello->orderKey, m1);
        QCOMPARE(hello->text, QString("Hello"));
        QCOMPARE(hello->service, QString("SMS"));
        QCOMPARE(hello->account, QString("e:"));
        QCOMPARE(hello->subject, QString("Subj"));
        QCOMPARE(hello->service_center, QString("+12025550000"));
        QCOMPARE(hello->country, QString("us"));
        QCOMPARE(hello->date, 1300000000 - kEpoch);
        QCOMPARE(hello->date_read, hello->date);
        QCOMPARE(hello->date_delivered, hello->date);
        QCOMPARE(hello->is_from_me, 0);
        QCOMPARE(hello->handle, anna);
        QCOMPARE(hello->chat, sms);
        QCOMPARE(hello->handle_id, 0);
        QCOMPARE(hello->version, 10);
        QCOMPARE(hello->is_finished + hello->is_prepared + hello->is_read + hello->is_sent
                         + hello->was_data_detected,
                 5);
        QCOMPARE(hello->is_delivered + hello->is_emote + hello->is_empty + hello->is_delayed
                         + hello->cache_has_attachments + hello->was_deduplicated,
                 0);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                        .match(hello->guid)
                        .hasMatch());
        QCOMPARE(d->messages.value(m2)->is_from_me, 1);
        QCOMPARE(d->messages.value(m2)->handle, anna); // one-to-one: the one handle

        // SMS group: sender by address for received messages, none for sent.
        _MsgChat *group = d->chats.value(g2);
        const QString groupId = newGroupChatId("SMS;-;+12025550177");
        QCOMPARE(group->chat_identifier, groupId);
        QCOMPARE(group->guid, "SMS;+;" + groupId);
        QCOMPARE(group->room_name, groupId);
        QCOMPARE(group->style, 43);
        QCOMPARE(group->account_id, md5Guid(("SMS;+;" + groupId).toUtf8()));
        QCOMPARE(group->handles.keys(), (QStringList {"+12025550177", "+12025550188"}));
        QCOMPARE(d->messages.value(m3)->handle, group->handles.value("+12025550177"));
        QCOMPARE(d->messages.value(m4)->handle, nullptr);

        // iMessage one-to-one chat, found by the message's handle.
        _MsgChat *ben = d->chats.value(-c1);
        QVERIFY(ben);
        QCOMPARE(ben->guid, QString("iMessage;-;ben@example.com"));
        QCOMPARE(ben->chat_identifier, QString("ben@example.com"));
        QCOMPARE(ben->service_name, QString("iMessage"));
        QCOMPARE(ben->account_id, QString("ACC-BEN"));
        QCOMPARE(ben->account_login, QString("E:me@example.com"));
        QCOMPARE(ben->room_name, QString());
        QCOMPARE(ben->lastDate, 330000000);
        QCOMPARE(ben->handles.size(), 1);
        _MsgHandle *benHandle = ben->handles.value("ben@example.com");
        QVERIFY(benHandle && benHandle->ROWID < 0);
        QCOMPARE(benHandle->service, QString("iMessage"));
        _MsgMessage *yoMsg = d->messages.value(m5);
        QCOMPARE(yoMsg->guid, yo.guid);
        QCOMPARE(yoMsg->service, QString("iMessage"));
        QCOMPARE(yoMsg->account, yo.account);
        QCOMPARE(yoMsg->account_guid, yo.accountGuid);
        QCOMPARE(yoMsg->date, 330000000);
        QCOMPARE(yoMsg->date_read, 330000050);
        QCOMPARE(yoMsg->date_delivered, 0);
        QCOMPARE(yoMsg->is_from_me, 0);
        QCOMPARE(yoMsg->chat, ben);
        QCOMPARE(yoMsg->handle, benHandle);
        QCOMPARE(yoMsg->attributedBody, QByteArray());

        // iMessage group by room name, with an attachment found by its GUID.
        _MsgChat *roomChat = d->chats.value(-c2);
        QCOMPARE(roomChat->guid, "iMessage;+;" + room);
        QCOMPARE(roomChat->style, 43);
        QCOMPARE(roomChat->lastDate, 330000200);
        QCOMPARE(roomChat->handles.keys(), (QStringList {"+12025550143", "carl@example.com"}));
        QVERIFY(roomChat->handles.value("+12025550143") != anna); // one handle per chat
        QCOMPARE(roomChat->handles.value("+12025550143")->contactName, QString("Anna Berg"));
        _MsgMessage *picMsg = d->messages.value(m6);
        QCOMPARE(picMsg->chat, roomChat);
        QCOMPARE(picMsg->handle, roomChat->handles.value("carl@example.com"));
        QCOMPARE(picMsg->attachments.keys(), QStringList {attGuid});
        _MsgAttachment *att = picMsg->attachments.value(attGuid);
        QVERIFY(att->ROWID < 0);
        QCOMPARE(d->attachments.value(att->ROWID), att);
        QCOMPARE(att->filename, "~/Library/SMS/Attachments/ab/11/" + attGuid + "/photo.jpg");
        QCOMPARE(att->localPath,
                 store + "/file-relay/var/mobile/Library/SMS/Attachments/ab/11/" + attGuid
                         + "/photo.jpg");
        QCOMPARE(att->mime_type, QString("image/jpeg"));
        QCOMPARE(att->uti, QString("public.jpeg"));
        QCOMPARE(att->created_date, 330000090);
        QCOMPARE(att->start_date, 330000091);
        QCOMPARE(att->is_outgoing, 0);
        QCOMPARE(picMsg->attributedBody, attachmentAttributedBody(attGuid));
        _MsgMessage *nice = d->messages.value(m7);
        QCOMPARE(nice->is_from_me, 1);
        QCOMPARE(nice->date_delivered, 330000201);
        QCOMPARE(nice->chat, roomChat);
        QCOMPARE(nice->handle, nullptr); // sent into a group: no sender handle

        QCOMPARE(d->messages.size(), 7);
        QCOMPARE(d->chats.size(), 4);
        QCOMPARE(db.messageCount(), 7);
    }

    // The same conversations kept by a phone of either generation read into
    // the same records.
    void readsLikeTheNewerSchema()
    {
        const QString store5 = newStore();
        IOS5SmsDb old(store5);
        const qint64 g1 = old.addGroup(1);
        old.addMember(g1, "(202) 555-0143");
        old.addSms(g1, "(202) 555-0143", 1300000000, 2, "Hello");
        old.addSms(g1, "(202) 555-0143", 1300000100, 3, "Hi back");
        const qint64 mms = old.addSms(g1, "(202) 555-0143", 1300000200, 3, "");
        old.addPiece(mms, 0, "application/smil", "smil.xml", "<smil/>");
        old.addPiece(mms, 1, "text/plain", "text.txt", "Look");
        old.addPiece(mms, 2, "image/jpeg", "IMG_1.JPG", "jpeg bytes");
        const qint64 g2 = old.addGroup(2);
        old.addMember(g2, "+12025550177");
        old.addMember(g2, "+12025550188");
        old.addSms(g2, "+12025550177", 1300000300, 2, "Group hello");
        old.addSms(g2, "", 1300000400, 3, "Group reply");
        old.addMadridChat("ben@example.com", plistArray({"ben@example.com"}, PyPlist::Binary));
        const QString attGuid = "AB11CD22-0000-4000-8000-0000000000A1";
        IOS5SmsDb::IMessage yo;
        yo.handle = "ben@example.com";
        yo.date = 330000000;
        yo.text = "Yo" + QString(kObj);
        yo.attachmentInfo = PyPlist::dump("[" + PyPlist::quote(attGuid) + "]", PyPlist::Binary);
        const qint64 yoId = old.addIMessage(yo);
        const QString photoPath = "Library/SMS/Attachments/ab/11/" + attGuid + "/photo.jpg";
        old.addMadridAttachment(attGuid, "/var/mobile/" + photoPath, "image/jpeg", "public.jpeg",
                                330000000, 0, 5, true, yoId);
        QDir().mkpath(QFileInfo(store5 + "/file-relay/var/mobile/" + photoPath).path());
        QFile photo(store5 + "/file-relay/var/mobile/" + photoPath);
        QVERIFY(photo.open(QIODevice::WriteOnly));
        photo.write("photo bytes");
        photo.close();
        IOS5SmsDb::IMessage back;
        back.handle = "ben@example.com";
        back.date = 330000100;
        back.dateDelivered = 330000101;
        back.text = "Back";
        old.addIMessage(back);
        old.close();

        const QString store6 = newStore();
        PhoneSmsDb now(store6);
        const qint64 anna = now.addHandle("+12025550143", "SMS", "us");
        const qint64 c1
                = now.addChatRow("+12025550143", "SMS", 45, {anna}, {}, "SMS;-;+12025550143");
        now.addText(c1, "Hello", anna, 1300000000 - kEpoch);
        now.addText(c1, "Hi back", anna, 1300000100 - kEpoch, true);
        const qint64 look
                = now.addText(c1, "Look" + QString(kObj), anna, 1300000200 - kEpoch, true);
        now.addAttachment(look, "IMG_1.JPG", "jpeg bytes", "image/jpeg", "public.jpeg");
        const qint64 carl = now.addHandle("+12025550177", "SMS", "us");
        const qint64 dora = now.addHandle("+12025550188", "SMS", "us");
        const QString room = newGroupChatId("SMS;-;+12025550177");
        const qint64 c2 = now.addChatRow(room, "SMS", 43, {carl, dora}, {}, "SMS;+;" + room);
        now.addText(c2, "Group hello", carl, 1300000300 - kEpoch);
        now.addText(c2, "Group reply", 0, 1300000400 - kEpoch, true);
        const qint64 ben = now.addHandle("ben@example.com", "iMessage", "us");
        const qint64 c3 = now.addChatRow("ben@example.com", "iMessage", 45, {ben});
        const qint64 yo6 = now.addText(c3, "Yo" + QString(kObj), ben, 330000000);
        now.addAttachment(yo6, "photo.jpg", "photo bytes", "image/jpeg", "public.jpeg");
        now.addText(c3, "Back", ben, 330000100, true);
        now.close();

        MsgDataSet newer;
        newer.reset();
        IOS6MessageDb db6(QDir(store6), "310", false);
        try {
            db6.messages(newer, 0);
        } catch (const std::runtime_error &e) {
            if (QByteArray(e.what()).contains("not available"))
                QSKIP("this build has no reader of the newer schema");
            throw;
        }
        MsgDataSet older;
        older.reset();
        IOS5MessageDb db5(QDir(store5), "310");
        db5.messages(older, 0);

        const QStringList want = shapeOf(newer.data());
        const QStringList got = shapeOf(older.data());
        QCOMPARE(got.size(), 10); // three chats, seven messages
        QCOMPARE(got, want);
    }

    void groupMembersShapeTheChat()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store, false);
        const qint64 empty = phone.addGroup(-5);
        const qint64 three = phone.addGroup(7);
        phone.addMember(three, "+4915112345678", "de");
        phone.addMember(three, "+4915112345678", "de"); // the same id again: ignored
        phone.addMember(three, "2025550143", "us");
        phone.addMember(three, "2025550199", "us");
        phone.addSms(three, "+4915112345678", 1300000000, 2, "x", "de");
        phone.close();

        IOS5MessageDb db(QDir(store), "262");
        MsgDataSet set;
        set.reset();
        db.chats(set);
        _MsgChat *e = set.data()->chats.value(empty);
        QVERIFY(e); // a group without messages is still a chat
        QCOMPARE(e->chat_identifier, QString("unknown"));
        QCOMPARE(e->guid, QString("SMS;-;-5"));
        QCOMPARE(e->lastDate, 0);

        _MsgChat *c = set.data()->chats.value(three);
        QVERIFY(c);
        const QString id = newGroupChatId("SMS;-;+4915112345678");
        QCOMPARE(c->chat_identifier, id);
        QCOMPARE(c->guid, "SMS;+;" + id); // the third member changed nothing but handles
        QCOMPARE(c->style, 43);
        QCOMPARE(c->handles.keys(),
                 (QStringList {"+12025550143", "+12025550199", "+4915112345678"}));
        QCOMPARE(c->handles.value("+12025550143")->country, QString("us"));
        QCOMPARE(set.data()->chats.size(), 2); // no iMessage tables: no more chats
    }

    void dates_data()
    {
        QTest::addColumn<bool>("imessage");
        QTest::addColumn<qint64>("date");
        QTest::addColumn<int>("flagsOrDelivered");
        QTest::addColumn<int>("wantDate");
        QTest::addColumn<int>("wantDelivered");
        QTest::addColumn<int>("wantFromMe");

        QTest::newRow("sms at 2001") << false << kEpoch << 2 << 0 << 0 << 0;
        QTest::newRow("sms sent") << false << kEpoch + 86400 << 3 << 86400 << 86400 << 1;
        QTest::newRow("sms other flags") << false << kEpoch + 5 << 1 << 5 << 5 << 0;
        QTest::newRow("sms before 2001")
                << false << qint64(0) << 2 << -978307200 << -978307200 << 0;
        QTest::newRow("imessage at 0") << true << qint64(0) << 0 << 0 << 0 << 0;
        QTest::newRow("imessage received") << true << qint64(400000000) << 0 << 400000000 << 0 << 0;
        QTest::newRow("imessage delivered")
                << true << qint64(400000000) << 400000007 << 400000000 << 400000007 << 1;
    }
    void dates()
    {
        QFETCH(bool, imessage);
        QFETCH(qint64, date);
        QFETCH(int, flagsOrDelivered);
        QFETCH(int, wantDate);
        QFETCH(int, wantDelivered);
        QFETCH(int, wantFromMe);

        const QString store = newStore();
        IOS5SmsDb phone(store);
        qint64 id = 0;
        if (imessage) {
            phone.addMadridChat("ann@example.com", plistArray({"ann@example.com"}, PyPlist::Xml));
            IOS5SmsDb::IMessage m;
            m.handle = "ann@example.com";
            m.date = int(date);
            m.dateDelivered = flagsOrDelivered;
            m.dateRead = 17;
            id = phone.addIMessage(m);
        } else {
            const qint64 g = phone.addGroup(1);
            phone.addMember(g, "+12025550143");
            id = phone.addSms(g, "+12025550143", date, flagsOrDelivered, "t");
        }
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        _MsgMessage *m = set.data()->messages.value(id);
        QVERIFY(m);
        QCOMPARE(m->date, wantDate);
        QCOMPARE(m->date_delivered, wantDelivered);
        QCOMPARE(m->date_read, imessage ? 17 : wantDate);
        QCOMPARE(m->is_from_me, wantFromMe);
        QVERIFY(m->chat);
        QCOMPARE(m->chat->lastDate, wantDate);
    }

    // Text pieces join the text, other pieces become attachments with their
    // bytes written below the store; every further attachment becomes a
    // message of its own.
    void mmsPieces()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store, false);
        const qint64 g = phone.addGroup(3);
        phone.addMember(g, "+12025550143");
        const qint64 m = phone.addSms(g, "+12025550143", 1300000000, 3, "");
        phone.addPiece(m, 0, "application/smil", "smil.xml", "<smil/>");
        phone.addPiece(m, 1, "APPLICATION/xml", "a.xml", "<x/>");
        phone.addPiece(m, 2, "Text/Plain", "text_0.txt", "Hi");
        const qint64 p1 = phone.addPiece(m, 3, "image/jpeg", "IMG_1.JPG", "jpeg one");
        const qint64 p2 = phone.addPiece(m, 4, "image/png", "pic.two.png", "png two");
        const qint64 p3 = phone.addPiece(m, 5, "image", "noext", ""); // file already in the store
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        QTest::ignoreMessage(QtDebugMsg, "IOS5MessageDb::messages, clone attachment message.");
        QTest::ignoreMessage(QtDebugMsg, "IOS5MessageDb::messages, clone attachment message.");
        db.messages(set, 0);
        _MsgDataSet *d = set.data();

        _MsgMessage *msg = d->messages.value(m);
        QCOMPARE(msg->text, "Hi" + QString(kObj));
        QCOMPARE(msg->attachments.size(), 1);
        _MsgAttachment *a1 = d->attachments.value(p1);
        QCOMPARE(msg->attachments.values().first(), a1);
        const QString rel1 = QString("var/mobile/Library/SMS/Parts/%1/%2/%3-3.JPG")
                                     .arg(g, 2, 16, QChar('0'))
                                     .arg(m % 16, 2, 10, QChar('0'))
                                     .arg(m);
        QCOMPARE(a1->localPath, store + "/file-relay/" + rel1);
        QCOMPARE(fileBytes(a1->localPath), QByteArray("jpeg one"));
        QCOMPARE(a1->guid, md5Guid(rel1.toUtf8()));
        QCOMPARE(a1->filename,
                 QString("~/Library/SMS/Attachments/%1/%2/%3/IMG_1.JPG")
                         .arg(a1->guid.left(2).toLower(), a1->guid.mid(2, 2).toLower(), a1->guid));
        QCOMPARE(a1->uti, QString("public.jpeg"));
        QCOMPARE(a1->mime_type, QString("image/jpeg"));
        QCOMPARE(a1->transfer_name, QString("IMG_1.JPG"));
        QCOMPARE(a1->is_outgoing, 1);
        QCOMPARE(a1->transfer_state, 5);
        QVERIFY(qAbs(a1->created_date - dateTimeToIosDate(QDateTime::currentDateTimeUtc())) < 60);
        QCOMPARE(msg->attributedBody, attachmentAttributedBody(a1->guid));

        _MsgAttachment *a2 = d->attachments.value(p2);
        QVERIFY(a2->localPath.endsWith(QString("/%1-4.png").arg(m)));
        QCOMPARE(fileBytes(a2->localPath), QByteArray("png two"));
        _MsgMessage *clone = d->messages.value(IOS5MessageDb::kClonedMessageBase - p2);
        QVERIFY(clone);
        QCOMPARE(clone->text, QString(kObj));
        QCOMPARE(clone->attachments.values(), QList<_MsgAttachment *> {a2});
        QCOMPARE(clone->guid, md5Guid(QString("%1(%2)").arg(a2->guid).arg(m).toUtf8()));
        QCOMPARE(clone->date, msg->date);
        QCOMPARE(clone->orderKey, msg->orderKey);
        QCOMPARE(clone->chat, msg->chat);
        QCOMPARE(clone->handle, msg->handle);
        QCOMPARE(clone->attributedBody, attachmentAttributedBody(a2->guid));
        QVERIFY(!msg->chat->messages.contains(QString::number(clone->ROWID)));

        _MsgAttachment *a3 = d->attachments.value(p3);
        QCOMPARE(a3->uti, QString("public."));
        QVERIFY(a3->localPath.endsWith(QString("/%1-5.").arg(m)));
        QVERIFY(!QFile::exists(a3->localPath)); // empty data: nothing written
        QVERIFY(d->messages.contains(IOS5MessageDb::kClonedMessageBase - p3));
        QCOMPARE(d->attachments.size(), 3); // the application/ pieces are dropped

        // Reading again changes nothing: no text appended, no copy made.
        const int messages = d->messages.size();
        db.messages(set, 0);
        db.messages(set, g);
        QCOMPARE(d->messages.size(), messages);
        QCOMPARE(d->attachments.size(), 3);
        QCOMPARE(msg->text, "Hi" + QString(kObj));
    }

    void hostileContentLocation_data()
    {
        QTest::addColumn<QString>("contentLoc");
        QTest::newRow("parent folders") << "../../../../../../outside/evil.jpg";
        QTest::newRow("absolute") << "/tmp/outside/evil.jpg";
        QTest::newRow("slash in extension") << "x./../../../../../../outside/evil";
        QTest::newRow("backslashes") << "..\\..\\..\\outside\\evil.jpg";
        QTest::newRow("only dots") << "..";
        QTest::newRow("long name") << QString(400, 'n') + ".jpg";
        QTest::newRow("long multibyte") << QString(300, QChar(0x00E9)) + ".gif";
        QTest::newRow("long extension") << "a." + QString(300, 'x');
        QTest::newRow("control characters") << QString("a\nb\tc:d*e?.jpg");
    }
    void hostileContentLocation()
    {
        QFETCH(QString, contentLoc);
        const QString store = newStore() + "/store";
        const QString outside = QFileInfo(store).absolutePath() + "/outside";
        QDir().mkpath(outside);
        IOS5SmsDb phone(store, false);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        const qint64 m = phone.addSms(g, "+12025550143", 1300000000, 2, "");
        const qint64 p = phone.addPiece(m, 1, "image/jpeg", contentLoc, "bytes");
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        _MsgAttachment *a = set.data()->attachments.value(p);
        QVERIFY(a);

        // The bytes land in the Parts folder and nowhere else.
        QCOMPARE(treeListing(outside), QStringList());
        const QStringList parts = treeListing(attachmentsPartsFolder(store));
        QCOMPARE(parts.size(), 3); // two folders and one file
        const QString written = attachmentsPartsFolder(store) + "/" + parts.last();
        QCOMPARE(a->localPath, written);
        QCOMPARE(fileBytes(written), QByteArray("bytes"));
        QVERIFY2(QRegularExpression("^\\d+-\\d+\\.[A-Za-z0-9]{0,16}$")
                         .match(QFileInfo(written).fileName())
                         .hasMatch(),
                 qPrintable(written));

        // The phone-side name is one safe file name below the attachment folder.
        const QString prefix
                = QString("~/Library/SMS/Attachments/%1/%2/%3/")
                          .arg(a->guid.left(2).toLower(), a->guid.mid(2, 2).toLower(), a->guid);
        QVERIFY2(a->filename.startsWith(prefix), qPrintable(a->filename));
        const QString name = a->filename.mid(prefix.size());
        QVERIFY(!name.isEmpty());
        QVERIFY2(!name.contains('/') && !name.contains('\\') && name != ".." && name != ".",
                 qPrintable(name));
        QVERIFY(name.toUtf8().size() <= 200);
        QVERIFY(!name.contains(QRegularExpression("[\\x00-\\x1f:*?\"<>|]")));
        QCOMPARE(a->transfer_name, name);
    }

    // A Parts folder, or a part file, that is a link out of the store is
    // never written through.
    void linksInTheStoreAreNotFollowed()
    {
        const QString store = newStore() + "/store";
        const QString outside = QFileInfo(store).absolutePath() + "/outside";
        QDir().mkpath(outside);
        IOS5SmsDb phone(store, false);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        const qint64 m = phone.addSms(g, "+12025550143", 1300000000, 2, "");
        phone.addPiece(m, 1, "image/jpeg", "a.jpg", "first");
        const qint64 m2 = phone.addSms(g, "+12025550143", 1300000001, 2, "");
        phone.addPiece(m2, 1, "image/jpeg", "b.jpg", "second");
        phone.close();

        // The first message's bucket folder is a link to outside; the second
        // message's part file is a link to a file outside.
        const QString bucket1 = attachmentsPartsFolder(store)
                + QString("/%1/%2").arg(g, 2, 16, QChar('0')).arg(m % 16, 2, 10, QChar('0'));
        QDir().mkpath(QFileInfo(bucket1).path());
        QVERIFY(QFile::link(outside, bucket1));
        const QString bucket2 = attachmentsPartsFolder(store)
                + QString("/%1/%2").arg(g, 2, 16, QChar('0')).arg(m2 % 16, 2, 10, QChar('0'));
        QDir().mkpath(bucket2);
        QFile victim(outside + "/victim.txt");
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("keep me");
        victim.close();
        // A file outside under the name the first part would have.
        QFile elsewhere(outside + QString("/%1-1.jpg").arg(m));
        QVERIFY(elsewhere.open(QIODevice::WriteOnly));
        elsewhere.write("a file elsewhere");
        elsewhere.close();
        const QString part2 = bucket2 + QString("/%1-1.jpg").arg(m2);
        QVERIFY(QFile::link(victim.fileName(), part2));

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        QCOMPARE(treeListing(outside),
                 (QStringList {QString("%1-1.jpg").arg(m), "victim.txt"}));
        QCOMPARE(fileBytes(victim.fileName()), QByteArray("keep me"));
        QCOMPARE(fileBytes(elsewhere.fileName()), QByteArray("a file elsewhere"));
        QVERIFY(!QFileInfo(part2).isSymLink());
        QCOMPARE(fileBytes(part2), QByteArray("second"));
        QCOMPARE(set.data()->attachments.size(), 2); // both still recorded
        // The part behind the linked folder has no file of this store.
        for (const _MsgAttachment *a : set.data()->attachments) {
            if (a->transfer_name == "a.jpg")
                QCOMPARE(a->localPath, QString());
            else
                QCOMPARE(fileBytes(a->localPath), QByteArray("second"));
        }
    }

    // A group whose newest message is gone keeps its chat and messages, and
    // takes the date of the newest message left.
    void groupWithoutNewestMessage()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store);
        const qint64 g = phone.addGroup(9);
        phone.addMember(g, "+12025550143");
        const qint64 a = phone.addSms(g, "+12025550143", 1300000000, 2, "kept");
        const qint64 b = phone.addSms(g, "+12025550143", 1300000500, 2, "also kept");
        const qint64 gone = phone.addSms(g, "+12025550143", 1300000900, 2, "deleted");
        phone.exec(QString("delete from message where ROWID=%1").arg(gone));
        const qint64 lonely = phone.addGroup(10);
        phone.addMember(lonely, "+12025550199");
        phone.setNewestMessage(lonely, 4242);
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        db.messages(set, g);
        _MsgChat *chat = set.data()->chats.value(g);
        QVERIFY(chat);
        QCOMPARE(chat->lastDate, 1300000500 - kEpoch);
        QCOMPARE(chat->messages.keys(), (QStringList {QString::number(a), QString::number(b)}));
        QVERIFY(set.data()->chats.contains(lonely));
        QCOMPARE(set.data()->chats.value(lonely)->lastDate, 0);
        QCOMPARE(set.data()->chats.value(lonely)->chat_identifier, QString("+12025550199"));
    }

    // Records already in the set at the ids the reader would make up (a
    // salvaged chat, handle, message or attachment) stay as they are; the
    // reader's own records go to free ids, and reading again adds nothing.
    void madeUpIdsNeverReplaceRecords()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        const qint64 m = phone.addSms(g, "+12025550143", 1300000000, 2, "");
        phone.addPiece(m, 1, "image/jpeg", "a.jpg", "a");
        const qint64 p2 = phone.addPiece(m, 2, "image/jpeg", "b.jpg", "b");
        const qint64 c = phone.addMadridChat("ann@example.com",
                                             plistArray({"ann@example.com"}, PyPlist::Binary));
        const QString attGuid = "AB11CD22-0000-4000-8000-00000000BEEF";
        IOS5SmsDb::IMessage im;
        im.handle = "ann@example.com";
        im.date = 400000000;
        im.attachmentInfo = attGuid.toLatin1();
        const qint64 imId = phone.addIMessage(im);
        const qint64 att = phone.addMadridAttachment(attGuid, "~/Library/SMS/Attachments/x.jpg",
                                                     "image/jpeg", "public.jpeg", 1, 1, 5, true);
        phone.close();

        MsgDataSet set;
        set.reset();
        _MsgDataSet *d = set.data();
        // What another producer put there first, at exactly those ids. With
        // this one and the SMS member, two handles are in the set when the
        // first iMessage handle is made, so it asks for -3.
        auto *foreignChat = new _MsgChat;
        foreignChat->ROWID = -c;
        foreignChat->guid = "iMessage;-;ann@example.com"; // even the same guid
        foreignChat->chat_identifier = "salvaged";
        d->chats.insert(foreignChat->ROWID, foreignChat);
        auto *foreignHandle = new _MsgHandle;
        foreignHandle->ROWID = -3;
        foreignHandle->id = "salvaged";
        d->handles.insert(-3, foreignHandle);
        auto *foreignMessage = new _MsgMessage;
        foreignMessage->ROWID = IOS5MessageDb::kClonedMessageBase - p2;
        foreignMessage->text = "salvaged";
        d->messages.insert(foreignMessage->ROWID, foreignMessage);
        auto *foreignAtt = new _MsgAttachment;
        foreignAtt->ROWID = -att;
        foreignAtt->guid = "OTHER";
        d->attachments.insert(foreignAtt->ROWID, foreignAtt);

        IOS5MessageDb db(QDir(store), "310");
        QTest::ignoreMessage(QtDebugMsg, "IOS5MessageDb::messages, clone attachment message.");
        db.messages(set, 0);

        QCOMPARE(d->chats.value(-c), foreignChat);
        QCOMPARE(foreignChat->chat_identifier, QString("salvaged"));
        QVERIFY(foreignChat->handles.isEmpty() && foreignChat->messages.isEmpty());
        QCOMPARE(d->handles.value(-3), foreignHandle);
        QCOMPARE(foreignHandle->id, QString("salvaged"));
        QCOMPARE(d->messages.value(IOS5MessageDb::kClonedMessageBase - p2), foreignMessage);
        QCOMPARE(foreignMessage->text, QString("salvaged"));
        QCOMPARE(d->attachments.value(-att), foreignAtt);
        QCOMPARE(foreignAtt->guid, QString("OTHER"));

        _MsgChat *ann = chatByIdentifier(d, "ann@example.com", "iMessage");
        QVERIFY(ann && ann != foreignChat && ann->ROWID < 0);
        QCOMPARE(ann->handles.size(), 1);
        QVERIFY(ann->handles.first() != foreignHandle);
        QCOMPARE(d->handles.value(ann->handles.first()->ROWID), ann->handles.first());
        _MsgMessage *imMsg = d->messages.value(imId);
        QCOMPARE(imMsg->chat, ann);
        QCOMPARE(imMsg->attachments.size(), 1);
        QVERIFY(imMsg->attachments.first() != foreignAtt);
        QCOMPARE(imMsg->attachments.first()->guid, attGuid);
        QCOMPARE(d->attachments.value(imMsg->attachments.first()->ROWID),
                 imMsg->attachments.first());
        _MsgMessage *clone = nullptr;
        for (_MsgMessage *x : std::as_const(d->messages))
            if (x != foreignMessage && x->ROWID < 0)
                clone = x;
        QVERIFY(clone);
        QCOMPARE(clone->attachments.first(), d->attachments.value(p2));

        // The moved chat's messages are read under the id it got.
        MsgDataSet fresh;
        fresh.reset();
        auto *again = new _MsgChat(*foreignChat);
        fresh.data()->chats.insert(again->ROWID, again);
        db.chats(fresh);
        _MsgChat *annFresh = chatByIdentifier(fresh.data(), "ann@example.com", "iMessage");
        QVERIFY(annFresh && annFresh != again);
        db.messages(fresh, annFresh->ROWID);
        QCOMPARE(fresh.data()->messages.keys(), QList<qint64> {imId});

        const int chats = d->chats.size(), handles = d->handles.size(),
                  messages = d->messages.size(), attachments = d->attachments.size();
        db.messages(set, 0);
        db.messages(set, ann->ROWID);
        QCOMPARE(d->chats.size(), chats);
        QCOMPARE(d->handles.size(), handles);
        QCOMPARE(d->messages.size(), messages);
        QCOMPARE(d->attachments.size(), attachments);
    }

    // chatId > 0 reads one SMS group with its pieces, < 0 one iMessage chat
    // without pieces, 0 everything.
    void chatSelection()
    {
        const QString store = newStore();
        IOS5SmsDb phone(store);
        const qint64 g1 = phone.addGroup(1);
        phone.addMember(g1, "+12025550143");
        const qint64 s1 = phone.addSms(g1, "+12025550143", 1300000000, 2, "one");
        phone.addPiece(s1, 1, "text/plain", "t.txt", "piece");
        const qint64 g2 = phone.addGroup(2);
        phone.addMember(g2, "+12025550144");
        const qint64 s2 = phone.addSms(g2, "+12025550144", 1300000000, 2, "two");
        const qint64 c1 = phone.addMadridChat("ann@example.com",
                                              plistArray({"ann@example.com"}, PyPlist::Xml));
        phone.addMadridChat("bob@example.com", plistArray({"bob@example.com"}, PyPlist::Xml));
        IOS5SmsDb::IMessage im;
        im.handle = "ann@example.com";
        const qint64 i1 = phone.addIMessage(im);
        im.handle = "bob@example.com";
        const qint64 i2 = phone.addIMessage(im);
        im.handle = {};
        im.roomname = "chat000000000000000001"; // no such chat
        const qint64 i3 = phone.addIMessage(im);
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        {
            MsgDataSet set;
            set.reset();
            db.messages(set, g1);
            QCOMPARE(set.data()->messages.keys(), QList<qint64> {s1});
            QCOMPARE(set.data()->messages.value(s1)->text, QString("one\npiece"));
        }
        {
            MsgDataSet set;
            set.reset();
            db.messages(set, -c1);
            QCOMPARE(set.data()->messages.keys(), QList<qint64> {i1});
        }
        {
            // An iMessage chat read first, then the group: the group's pieces
            // still join its text once.
            MsgDataSet set;
            set.reset();
            db.messages(set, -c1);
            db.messages(set, 0);
            QCOMPARE(set.data()->messages.keys(), (QList<qint64> {s1, s2, i1, i2, i3}));
            QCOMPARE(set.data()->messages.value(s1)->text, QString("one\npiece"));
            QCOMPARE(set.data()->messages.value(i3)->chat, nullptr);
            QCOMPARE(set.data()->messages.value(i2)->chat->chat_identifier,
                     QString("bob@example.com"));
            db.messages(set, g1);
            QCOMPARE(set.data()->messages.value(s1)->text, QString("one\npiece"));
        }
    }

    void recycledMessagesBesideLiveOnes_data()
    {
        QTest::addColumn<bool>("recycledFirst");
        QTest::newRow("recycled first") << true;
        QTest::newRow("live first") << false;
    }
    // Salvaged messages join the set beside the live ones in either order;
    // no record of either kind is lost, and reading again adds nothing.
    void recycledMessagesBesideLiveOnes()
    {
        QFETCH(bool, recycledFirst);
        const QString store = newStore();
        IOS5SmsDb phone(store);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        const qint64 sms = phone.addSms(g, "+12025550143", 1300000000, 2, "live sms");
        phone.addMadridChat("ann@example.com", plistArray({"ann@example.com"}, PyPlist::Xml));
        IOS5SmsDb::IMessage im;
        im.handle = "ann@example.com";
        im.date = 400000000;
        im.text = "live imessage";
        const qint64 imId = phone.addIMessage(im);
        phone.close();
        {
            MessageRecycleDb recycle(store + "/recycle.db");
            _MsgMessage gone;
            gone.text = "salvaged imessage";
            gone.service = "iMessage";
            gone.date = 399999000;
            recycle.insertRecycledMessage(gone, "ann@example.com", "ann@example.com", 77);
            gone.text = "salvaged unknown";
            gone.service = "SMS";
            recycle.insertRecycledMessage(gone, QString(), QString(), 78);
        }

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        if (recycledFirst)
            db.loadRecycledChats(set);
        db.messages(set, 0);
        if (!recycledFirst)
            db.loadRecycledChats(set);
        _MsgDataSet *d = set.data();

        QStringList texts;
        for (const _MsgMessage *m : std::as_const(d->messages))
            texts << m->text;
        texts.sort();
        QCOMPARE(texts,
                 (QStringList {"live imessage", "live sms", "salvaged imessage",
                               "salvaged unknown"}));
        QCOMPARE(d->messages.value(sms)->chat, d->chats.value(g));
        _MsgChat *ann = d->messages.value(imId)->chat;
        QVERIFY(ann);
        QCOMPARE(ann->service_name, QString("iMessage"));
        QVERIFY(!isRecoveredChat(ann->ROWID));
        QCOMPARE(ann->handles.size(), 1);
        for (const _MsgChat *c : std::as_const(d->chats)) {
            for (const _MsgHandle *h : c->handles)
                QCOMPARE(d->handles.value(h->ROWID), h);
            for (const _MsgMessage *m : c->messages)
                QCOMPARE(d->messages.value(m->ROWID), m);
        }

        const int chats = d->chats.size(), handles = d->handles.size(),
                  messages = d->messages.size();
        db.messages(set, 0);
        db.messages(set, ann->ROWID);
        QCOMPARE(d->chats.size(), chats);
        QCOMPARE(d->handles.size(), handles);
        QCOMPARE(d->messages.size(), messages);
    }

    void attachmentLocalPaths_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("wantFilename");
        QTest::addColumn<QString>("wantLocal"); // below file-relay; empty: none
        QTest::newRow("home") << "~/Library/SMS/Attachments/ab/12/x.jpg"
                              << "~/Library/SMS/Attachments/ab/12/x.jpg"
                              << "var/mobile/Library/SMS/Attachments/ab/12/x.jpg";
        QTest::newRow("phone root") << "/var/mobile/a.jpg"
                                    << "~/a.jpg"
                                    << "var/mobile/a.jpg";
        QTest::newRow("other root") << "/private/a.jpg"
                                    << "/private/a.jpg"
                                    << "private/a.jpg";
        QTest::newRow("refused characters") << "a:b?.jpg"
                                            << "a:b?.jpg"
                                            << "ab.jpg";
        QTest::newRow("empty") << ""
                               << ""
                               << "";
        QTest::newRow("climbs out") << "/var/mobile/../../../../etc/passwd"
                                    << "~/../../../../etc/passwd"
                                    << "";
        QTest::newRow("climbs within") << "~/../../x.jpg"
                                       << "~/../../x.jpg"
                                       << "x.jpg";
        QTest::newRow("through a folder link out") << "~/Library/SMS/Attachments/linked/x.jpg"
                                                   << "~/Library/SMS/Attachments/linked/x.jpg"
                                                   << "";
    }
    // Where an iMessage attachment's file is looked for; a name that climbs
    // out of the store stands for no file.
    void attachmentLocalPaths()
    {
        QFETCH(QString, filename);
        QFETCH(QString, wantFilename);
        QFETCH(QString, wantLocal);
        const QString store = newStore();
        // A folder of the store that is a link to a folder elsewhere.
        const QString outside = newStore() + "/elsewhere";
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(QDir().mkpath(store + "/file-relay/var/mobile/Library/SMS/Attachments"));
        QVERIFY(QFile::link(outside,
                            store + "/file-relay/var/mobile/Library/SMS/Attachments/linked"));
        {
            QFile secret(outside + "/x.jpg");
            QVERIFY(secret.open(QIODevice::WriteOnly));
            secret.write("a file elsewhere");
        }
        IOS5SmsDb phone(store);
        phone.addMadridChat("ann@example.com", plistArray({"ann@example.com"}, PyPlist::Xml));
        const QString guid = "AB11CD22-0000-4000-8000-0000000000C3";
        IOS5SmsDb::IMessage im;
        im.handle = "ann@example.com";
        im.attachmentInfo = ("x" + guid + "y").toLatin1();
        const qint64 id = phone.addIMessage(im);
        phone.addMadridAttachment(guid, filename, "image/jpeg", "public.jpeg", 0, 0, 5, false);
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        MsgDataSet set;
        set.reset();
        db.messages(set, 0);
        _MsgMessage *m = set.data()->messages.value(id);
        QVERIFY(m);
        QCOMPARE(m->attachments.size(), 1);
        _MsgAttachment *a = m->attachments.first();
        QCOMPARE(a->filename, wantFilename);
        QCOMPARE(a->is_outgoing, 1);
        QCOMPARE(a->localPath,
                 wantLocal.isEmpty() ? QString() : store + "/file-relay/" + wantLocal);
    }

    void openingAndReadFunction()
    {
        // A missing database throws and nothing is created.
        const QString none = newStore();
        IOS5MessageDb missing(QDir(none), "310");
        QVERIFY_THROWS_EXCEPTION(std::exception, missing.ensureOpen());
        QVERIFY(!QFile::exists(missing.smsDbPath()));
        QVERIFY(!missing.isOpen());

        const QString store = newStore();
        IOS5SmsDb phone(store, false);
        const qint64 g = phone.addGroup(1);
        phone.addMember(g, "+12025550143");
        const qint64 m = phone.addSms(g, "+12025550143", 1300000000, 0, "x");
        phone.close();

        IOS5MessageDb db(QDir(store), "310");
        QCOMPARE(db.messageCount(), 1);
        QVERIFY(db.tableSchemas().contains("msg_pieces"));
        QVERIFY(!db.tableSchemas().contains("madrid_chat"));
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select read(0), read(2), read(-1), read('x')"));
        QVERIFY(c.moveNext());
        QCOMPARE(c.getInt64(0), 0);
        QCOMPARE(c.getInt64(1), 1);
        QCOMPARE(c.getInt64(2), 1);
        QCOMPARE(c.getInt64(3), 0);
        // The copy is only read: a change through the reader is refused.
        QVERIFY_THROWS_EXCEPTION(
                Sqlite3Exception,
                db.executeThrow(
                        Sqlite3Sql(QString("update message set flags=2 where ROWID=%1").arg(m))));
        QCOMPARE(sqliteScalar(db.smsDbPath(), "select flags from message").toInt(), 0);
    }

    // A copy in write-ahead-log mode with a message only in its log: every
    // reader (the schema test, the reader, the message count) sees that
    // message and leaves the database and its log byte for byte as they were.
    void walCopyIsReadWithoutChange()
    {
        const QString store = newStore();
        {
            IOS5SmsDb phone(store, true);
            phone.db().exec("PRAGMA journal_mode=WAL;");
            const qint64 g = phone.addGroup(1);
            phone.addMember(g, "+12025550143");
            phone.addSms(g, "+12025550143", 1300000000, 2, "in the file");
            phone.db().exec("PRAGMA wal_checkpoint(TRUNCATE);");
            sqlite3_db_config(phone.db().handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            phone.addSms(g, "+12025550143", 1300000100, 2, "only in the log");
            phone.close();
        }
        IOS5MessageDb probe(QDir(store), "310");
        const QString path = probe.smsDbPath();
        const QByteArray db0 = fileBytes(path);
        const QByteArray wal0 = fileBytes(path + "-wal");
        QVERIFY(wal0.size() > 0 && wal0 != "<missing>");
        const bool shm0 = QFile::exists(path + "-shm");

        QCOMPARE(AbsIOSMessageDb::isIOS6Schema(path), 5);
        {
            IOS5MessageDb db(QDir(store), "310");
            QCOMPARE(db.messageCount(), 2);
            MsgDataSet set;
            set.reset();
            db.messages(set, 0);
            QStringList texts;
            for (const _MsgMessage *m : std::as_const(set.data()->messages))
                texts << m->text;
            QVERIFY2(texts.contains("only in the log"), qPrintable(texts.join('|')));
        }
        QVERIFY(fileBytes(path) == db0);
        QVERIFY(fileBytes(path + "-wal") == wal0);
        QCOMPARE(QFile::exists(path + "-shm"), shm0);
        QVERIFY(!QFile::exists(path + "-journal"));
    }

    // A database of neither generation is refused in plain words, not with
    // the SQL error of its first query; nothing is changed or left behind.
    void databaseOfAnotherKind()
    {
        QTranslator catalogue;
        QVERIFY(catalogue.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&catalogue);
        const QString store = newStore();
        IOS5MessageDb db(QDir(store), "310");
        QDir().mkpath(QFileInfo(db.smsDbPath()).path());
        {
            RawSqlite other(db.smsDbPath(), true);
            other.exec("CREATE TABLE notes (id INTEGER PRIMARY KEY, body TEXT);"
                       "INSERT INTO notes (body) VALUES ('x');");
        }
        const QByteArray before = fileBytes(db.smsDbPath());
        QCOMPARE(AbsIOSMessageDb::isIOS6Schema(db.smsDbPath()), 5);
        MsgDataSet set;
        set.reset();
        QString error;
        try {
            db.messages(set, 0);
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
        }
        QCoreApplication::removeTranslator(&catalogue);
        QCOMPARE(error, QStringLiteral("This database is of a kind the program does not read."));
        QVERIFY(!db.isOpen());
        QVERIFY(fileBytes(db.smsDbPath()) == before);
        QCOMPARE(QDir(QFileInfo(db.smsDbPath()).path()).entryList(QDir::Files),
                 QStringList {"sms.db"});
    }
};

QTEST_GUILESS_MAIN(TestIOS5Db)
#include "tst_ios5db.moc"
