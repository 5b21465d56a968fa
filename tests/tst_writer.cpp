// The writer of local message databases: phone databases built by the
// fixtures read and merged into new archives and read back, merges repeated
// and overlapping, messages that cannot be stored, attachment files placed
// inside the store and taken back when a run is not kept, and a writer
// process killed part-way.

#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <sqlite3.h>
#include <memory>
#include <sys/resource.h>

namespace {

const char *const kUs = "310"; // a mobile country code of the United States
const char *const kChildVar = "PEL_WRITER_CHILD";

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

QString md5Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Every file below folder (relative paths), symbolic links included.
QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

QString smsDbOf(const QString &store)
{
    return PhoneSmsDb::smsDbPathOf(store);
}

qint64 countRows(const QString &store, const QString &table)
{
    return sqliteScalar(smsDbOf(store), QStringLiteral("select count(*) from %1").arg(table))
            .toLongLong();
}

// Everything a store holds, read through the database class.
MsgDataSet loadStore(const QString &store)
{
    IOS6MessageDb db(QDir(store), kUs, false);
    MsgDataSet set;
    set.reset();
    db.messages(set, 0);
    return set;
}

MsgMessageList allMessages(const MsgDataSet &set)
{
    MsgMessageList list(set.data()->messages.begin(), set.data()->messages.end());
    sortMessages(list);
    return list;
}

// What a reader sees of a store, as comparable lines (row ids left out).
struct StoreView
{
    QStringList chats, handles, messages;
};

QString attachmentLine(const _MsgAttachment *a, bool fullFilename)
{
    const QString name = fullFilename ? a->filename : a->filename.section(QLatin1Char('/'), -1);
    return QStringLiteral("%1:%2:%3:%4:%5")
            .arg(a->guid, name, a->mime_type, QString::number(a->total_bytes),
                 a->localPath.isEmpty() ? QStringLiteral("-") : md5Of(fileBytes(a->localPath)));
}

StoreView viewOf(const MsgDataSet &set, bool fullFilenames = true)
{
    StoreView v;
    const _MsgDataSet *d = set.data();
    for (const _MsgChat *c : d->chats) {
        QStringList ids;
        for (const _MsgHandle *h : c->handles)
            ids << h->id + QLatin1Char('/') + h->service;
        ids.sort();
        v.chats << QStringList {c->guid,
                                c->chat_identifier,
                                c->service_name,
                                QString::number(c->style),
                                c->display_name,
                                ids.join(QLatin1Char(',')),
                                QString::number(c->messages.size())}
                           .join(QLatin1Char('|'));
    }
    for (const _MsgHandle *h : d->handles)
        v.handles << QStringList {h->id, h->service, h->country, h->uncanonicalized_id}.join(
                QLatin1Char('|'));
    for (const _MsgMessage *m : d->messages) {
        QStringList atts;
        for (const _MsgAttachment *a : sortedAttachments(*m))
            atts << attachmentLine(a, fullFilenames);
        atts.sort();
        QStringList chats;
        for (const _MsgChat *c : d->chats)
            for (const _MsgMessage *cm : c->messages)
                if (cm == m)
                    chats << c->guid;
        chats.sort();
        v.messages << QStringList {chats.join(QLatin1Char(',')),
                                   m->guid,
                                   m->text,
                                   QString::number(m->date),
                                   QString::number(m->is_from_me),
                                   m->handle ? m->handle->id : QStringLiteral("-"),
                                   m->otherHandle ? m->otherHandle->id : QStringLiteral("-"),
                                   QString::number(m->item_type),
                                   m->group_title,
                                   m->service,
                                   m->subject,
                                   atts.join(QLatin1Char(','))}
                              .join(QLatin1Char('|'));
    }
    v.chats.sort();
    v.handles.sort();
    v.messages.sort();
    return v;
}

// Merges the list in one run and returns what the run did.
ExportMessagesDb::Counts merge(const QString &target, const MsgMessageList &list)
{
    ExportMessagesDb writer(QDir(target), kUs);
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
    return writer.counts();
}

QString integrityOf(const QString &store)
{
    return sqliteScalar(smsDbOf(store), QStringLiteral("pragma integrity_check")).toString();
}

// Records made in code, owned by one data set.
class Records
{
public:
    Records() { m_set.reset(); }

    _MsgHandle *handle(const QString &id, const QString &service = QStringLiteral("SMS"))
    {
        auto *h = new _MsgHandle;
        h->ROWID = ++m_next;
        h->id = id;
        h->service = service;
        h->country = QStringLiteral("us");
        d()->handles.insert(h->ROWID, h);
        return h;
    }

    _MsgChat *chat(const QList<_MsgHandle *> &handles,
                   const QString &service = QStringLiteral("SMS"), qint64 rowid = 0)
    {
        auto *c = new _MsgChat;
        c->ROWID = rowid ? rowid : ++m_next;
        c->service_name = service;
        c->style = handles.size() > 1 ? 43 : 45;
        c->chat_identifier = handles.size() == 1 ? handles.first()->id
                                                 : QStringLiteral("chat%1").arg(c->ROWID);
        c->guid = service + QStringLiteral(";-;") + c->chat_identifier;
        for (_MsgHandle *h : handles)
            c->handles.insert(QString::number(h->ROWID), h);
        d()->chats.insert(c->ROWID, c);
        return c;
    }

    _MsgMessage *message(_MsgChat *chat, _MsgHandle *from, const QString &text, int date,
                         bool fromMe = false)
    {
        auto *m = new _MsgMessage;
        m->ROWID = m->orderKey = ++m_next;
        m->guid = newGuid();
        m->text = text;
        m->date = date;
        m->is_from_me = fromMe ? 1 : 0;
        m->service = chat ? chat->service_name : QStringLiteral("SMS");
        m->handle = from;
        m->handle_id = from ? from->ROWID : 0;
        m->chat = chat;
        if (chat)
            chat->messages.insert(QString::number(m->ROWID), m);
        d()->messages.insert(m->ROWID, m);
        return m;
    }

    // An attachment whose file (when bytes are given) lies in a folder of
    // the source, apart from any target.
    _MsgAttachment *attachment(_MsgMessage *m, const QString &filename, const QByteArray &bytes,
                               const QString &sourceFolder)
    {
        auto *a = new _MsgAttachment;
        a->ROWID = ++m_next;
        a->guid = newGuid();
        a->filename = filename;
        a->mime_type = QStringLiteral("image/jpeg");
        a->total_bytes = bytes.size();
        if (!bytes.isNull()) {
            a->localPath
                    = QDir(sourceFolder).absoluteFilePath(QStringLiteral("src-%1").arg(a->ROWID));
            writeFile(a->localPath, bytes);
        }
        d()->attachments.insert(a->ROWID, a);
        m->attachments.insert(QString::number(a->ROWID), a);
        m->text += QChar(0xFFFC);
        return a;
    }

    _MsgDataSet *d() const { return m_set.data(); }

private:
    MsgDataSet m_set;
    qint64 m_next = 100;
};

// ---------------------------------------------------------------- child

// The writer as a process of its own: reads the source store, merges every
// message into the target and reports each write on standard output. It
// commits only when told to on standard input, so that a kill before that
// always falls inside the run.
int writerChildMain(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = qEnvironmentVariable(kChildVar).split(QLatin1Char('|'));
    if (args.size() != 2)
        return 2;
    QFile out;
    out.open(stdout, QIODevice::WriteOnly | QIODevice::Unbuffered);
    auto say = [&out](const QByteArray &line) {
        out.write(line + '\n');
        out.flush();
    };
    try {
        const MsgDataSet set = loadStore(args.at(0));
        const MsgMessageList list = allMessages(set);
        ExportMessagesDb writer(QDir(args.at(1)), kUs);
        writer.begin();
        say("began");
        int n = 0;
        for (_MsgMessage *m : list) {
            writer.write(m);
            say("w " + QByteArray::number(++n));
        }
        say("written");
        QFile in;
        in.open(stdin, QIODevice::ReadOnly);
        in.readLine();
        writer.end();
        say("committed");
    } catch (const std::exception &e) {
        say(QByteArray("error ") + e.what());
        return 1;
    }
    return 0;
}

} // namespace

class TestWriter : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> m_env;
    int m_folders = 0;

    QString newFolder(const QString &name = QStringLiteral("f"))
    {
        return m_env->makeDir(QStringLiteral("%1%2").arg(name).arg(++m_folders));
    }

    // A phone database with conversations of every kind and attachment files.
    QString generatedPhone(int messages, quint32 seed)
    {
        const QString store = newFolder(QStringLiteral("phone"));
        GeneratedSmsDbSpec spec;
        spec.messages = messages;
        spec.chats = 12;
        spec.groupChatShare = 0.3;
        spec.attachmentShare = 0.1;
        spec.systemItemShare = 0.05;
        spec.seed = seed;
        generatePhoneSmsDb(store, spec);
        return store;
    }

private slots:
    void initTestCase() { m_env = std::make_unique<TestEnv>(); }

    // A phone's database read and merged into a new archive reads back the
    // same: conversations with their correspondents, messages with their
    // fields and conversations, attachments with their files. Merging the
    // same list again adds nothing and copies nothing.
    void phoneDatabaseRoundTrip()
    {
        const QString phone = generatedPhone(400, 7);
        const MsgDataSet source = loadStore(phone);
        const MsgMessageList list = allMessages(source);
        QVERIFY(list.size() > 300);

        const QString target = newFolder(QStringLiteral("archive"));
        const ExportMessagesDb::Counts first = merge(target, list);
        QCOMPARE(first.added, list.size());
        QCOMPARE(first.existing, 0);
        QCOMPARE(first.skipped, 0);
        QCOMPARE(integrityOf(target), QStringLiteral("ok"));

        const StoreView want = viewOf(source);
        const StoreView got = viewOf(loadStore(target));
        QCOMPARE(got.chats, want.chats);
        QCOMPARE(got.handles, want.handles);
        QCOMPARE(got.messages, want.messages);

        // Every attachment file sits at the same place below file-relay.
        const QString attachments
                = QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments");
        const QStringList files = filesBelow(phone + attachments);
        QVERIFY(files.size() > 10);
        QCOMPARE(filesBelow(target + attachments), files);
        QCOMPARE(first.filesCopied, files.size());

        // Every message keeps the logic hash of its source record.
        for (const _MsgMessage *m : list)
            QCOMPARE(sqliteScalar(smsDbOf(target),
                                  QStringLiteral("select logic_hash from message where guid=?"),
                                  {m->guid})
                             .toString(),
                     logicHash(*m));

        const QStringList tables {"message",
                                  "chat",
                                  "handle",
                                  "attachment",
                                  "chat_message_join",
                                  "chat_handle_join",
                                  "message_attachment_join"};
        QMap<QString, qint64> rows;
        for (const QString &t : tables)
            rows.insert(t, countRows(target, t));
        const QByteArray dbBefore = fileBytes(smsDbOf(target));

        const ExportMessagesDb::Counts again = merge(target, list);
        QCOMPARE(again.added, 0);
        QCOMPARE(again.existing, list.size());
        QCOMPARE(again.filesCopied, 0);
        for (const QString &t : tables)
            QCOMPARE(countRows(target, t), rows.value(t));
        QCOMPARE(fileBytes(smsDbOf(target)), dbBefore);
        QCOMPARE(filesBelow(target + attachments), files);
    }

    // The writer stores a message row exactly as the database class's own
    // insert does: every column, the optional ones and the texts written
    // only when not empty included, in a new archive and in an upgraded
    // copy of an older phone's database.
    void messageRowsAsTheDatabaseStoresThem_data()
    {
        QTest::addColumn<bool>("phoneCopy");
        QTest::newRow("new archive") << false;
        QTest::newRow("upgraded phone copy") << true;
    }

    void messageRowsAsTheDatabaseStoresThem()
    {
        QFETCH(bool, phoneCopy);
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"), QStringLiteral("iMessage"));
        _MsgHandle *bob = r.handle(QStringLiteral("+12025550102"), QStringLiteral("iMessage"));
        _MsgChat *group = r.chat({ann, bob}, QStringLiteral("iMessage"));
        MsgMessageList list;
        _MsgMessage *plain = r.message(group, ann, QStringLiteral("plain"), 400000000);
        plain->text = QString(); // a null text
        list << plain;
        _MsgMessage *full = r.message(group, bob, QStringLiteral("full"), 400000100, true);
        full->service_center = QStringLiteral("+12025550000");
        full->subject = QStringLiteral("subject");
        full->country = QStringLiteral("us");
        full->attributedBody = QByteArray("\x04\x0bstreamtyped", 13);
        full->cache_roomnames = QStringLiteral("room");
        full->account_guid = QStringLiteral("AC-1");
        full->is_audio_message = 1;
        full->is_played = 1;
        full->date_played = 400000200;
        full->share_status = 1;
        full->share_direction = 1;
        full->is_expirable = 1;
        full->expire_state = 2;
        full->message_action_type = 3;
        full->group_action_type = 1;
        list << full;
        _MsgMessage *named = r.message(group, ann, QString(), 400000300);
        named->item_type = 2;
        named->group_title = QStringLiteral("Weekend");
        list << named;
        _MsgMessage *added = r.message(group, ann, QString(), 400000400);
        added->item_type = 1;
        added->otherHandle = bob;
        added->other_handle = int(bob->ROWID);
        list << added;

        auto makeTarget = [&](const QString &name) {
            const QString store = newFolder(name);
            if (phoneCopy) {
                PhoneSmsDb db(store, PhoneSchema::ios6WithoutItemType());
                db.close();
            }
            return store;
        };
        const QString viaWriter = makeTarget(QStringLiteral("writer"));
        merge(viaWriter, list);

        // The same rows through IOS6MessageDb::insertMessage, with the handle
        // ids the writer's database gave.
        const QString viaDb = makeTarget(QStringLiteral("direct"));
        {
            IOS6MessageDb db(QDir(viaDb), kUs, true);
            db.beginTransaction();
            for (const _MsgMessage *m : list) {
                const QVariantList ids = sqliteRows(smsDbOf(viaWriter),
                                                    "select handle_id, other_handle from "
                                                    "message where guid=?",
                                                    {m->guid})
                                                 .value(0);
                db.insertMessage(m, ids.value(0).toLongLong(),
                                 m->otherHandle ? ids.value(1).toLongLong() : 0);
            }
            db.endTransaction(true);
        }
        const QString rows = QStringLiteral("select * from message order by guid");
        const QList<QVariantList> want = sqliteRows(smsDbOf(viaDb), rows);
        const QList<QVariantList> got = sqliteRows(smsDbOf(viaWriter), rows);
        QCOMPARE(got.size(), list.size());
        for (int i = 0; i < got.size(); ++i) {
            // Column 0 is the ROWID; cache_has_attachments is the triggers'.
            QCOMPARE(got.at(i).mid(1), want.at(i).mid(1));
            for (int c = 1; c < got.at(i).size(); ++c)
                QCOMPARE(got.at(i).at(c).isNull(), want.at(i).at(c).isNull());
        }
    }

    // Two sources that share messages, by guid or only by content (another
    // guid, as a second copy of the same phone may give): the second merge
    // adds only what the first lacked.
    void overlappingSourcesAddOnlyNewMessages()
    {
        const QString a = newFolder(QStringLiteral("phoneA"));
        const QString b = newFolder(QStringLiteral("phoneB"));
        QStringList guids;
        for (int i = 0; i < 9; ++i)
            guids << PhoneSmsDb::newGuid();
        auto build = [&guids](const QString &store, int from, int to, int otherGuidAt) {
            PhoneSmsDb db(store);
            const qint64 h = db.addHandle(QStringLiteral("+12025550143"));
            const qint64 c = db.addChat(h);
            for (int i = from; i <= to; ++i) {
                PhoneSmsDb::Message m;
                m.text = QStringLiteral("message %1").arg(i);
                m.handle = h;
                m.date = 400000000 + 60 * i;
                m.fromMe = i % 2;
                m.guid = i == otherGuidAt ? PhoneSmsDb::newGuid() : guids.at(i);
                const qint64 id = db.addMessage(c, m);
                if (i == 4)
                    db.addAttachment(id, QStringLiteral("IMG_0004.JPG"), QByteArray(300, 'j'));
            }
        };
        build(a, 0, 5, -1);
        build(b, 3, 8, 5); // 3 and 4 by guid, 5 by content only, 6 to 8 new

        const QString target = newFolder(QStringLiteral("archive"));
        QCOMPARE(merge(target, allMessages(loadStore(a))).added, 6);
        const ExportMessagesDb::Counts second = merge(target, allMessages(loadStore(b)));
        QCOMPARE(second.added, 3);
        QCOMPARE(second.existing, 3);

        QStringList texts;
        const MsgDataSet merged = loadStore(target);
        QCOMPARE(merged.data()->chats.size(), 1);
        for (const _MsgMessage *m : allMessages(merged))
            texts << messageBodyText(*m);
        QStringList want;
        for (int i = 0; i <= 8; ++i)
            want << QStringLiteral("message %1").arg(i);
        QCOMPARE(texts, want);
        QCOMPARE(countRows(target, QStringLiteral("attachment")), 1);
        QCOMPARE(countRows(target, QStringLiteral("handle")), 1);
    }

    // Messages without a conversation, and those of the conversation that
    // recovery makes for unknown correspondents, are not stored; other
    // recovered conversations (negative row ids) are.
    void messagesThatCannotBeStored_data()
    {
        QTest::addColumn<bool>("hasChat");
        QTest::addColumn<qint64>("chatRowid");
        QTest::addColumn<bool>("stored");
        QTest::newRow("no conversation") << false << qint64(0) << false;
        QTest::newRow("unknown correspondents") << true << qint64(-2047483647) << false;
        QTest::newRow("below unknown correspondents") << true << qint64(-2047483700) << false;
        QTest::newRow("recovered, correspondent known") << true << qint64(-1947483647) << true;
        QTest::newRow("ordinary") << true << qint64(12) << true;
    }

    void messagesThatCannotBeStored()
    {
        QFETCH(bool, hasChat);
        QFETCH(qint64, chatRowid);
        QFETCH(bool, stored);
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = hasChat ? r.chat({h}, QStringLiteral("SMS"), chatRowid) : nullptr;
        _MsgMessage *m = r.message(c, h, QStringLiteral("hello"), 400000000);
        const QString src = newFolder(QStringLiteral("src"));
        r.attachment(m, QStringLiteral("~/Library/SMS/Attachments/aa/bb/X/IMG_1.JPG"), "jpeg", src);

        const QString target = newFolder(QStringLiteral("archive"));
        const ExportMessagesDb::Counts counts = merge(target, {m});
        QCOMPARE(counts.added, stored ? 1 : 0);
        QCOMPARE(counts.skipped, stored ? 0 : 1);
        QCOMPARE(countRows(target, QStringLiteral("message")), stored ? 1 : 0);
        QCOMPARE(countRows(target, QStringLiteral("attachment")), stored ? 1 : 0);
        QCOMPARE(filesBelow(target + QStringLiteral("/file-relay")).size(), stored ? 2 : 1);
    }

    // The hash of the last message stored or found is kept for the caller;
    // a skipped message leaves none. Handing the database out between
    // writes (its own statements are dropped then) loses no row.
    void lastLogicHashAndHandOut()
    {
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = r.chat({h}, QStringLiteral("SMS"));
        _MsgMessage *m1 = r.message(c, h, QStringLiteral("one"), 400000000);
        _MsgMessage *m2 = r.message(c, h, QStringLiteral("two"), 400000060);
        _MsgMessage *orphan = r.message(nullptr, h, QStringLiteral("lost"), 400000120);

        const QString target = newFolder(QStringLiteral("archive"));
        ExportMessagesDb writer(QDir(target), kUs);
        writer.begin();
        writer.write(m1);
        QCOMPARE(writer.lastLogicHash(), logicHash(*m1));
        QVERIFY(writer.database().isOpen());
        writer.write(m2);
        QCOMPARE(writer.lastLogicHash(), logicHash(*m2));
        writer.write(orphan);
        QVERIFY(writer.lastLogicHash().isNull());
        writer.write(m1); // found, not stored again
        QCOMPARE(writer.lastLogicHash(), logicHash(*m1));
        writer.end();
        QCOMPARE(writer.counts().added, 2);
        QCOMPARE(writer.counts().existing, 1);
        QCOMPARE(countRows(target, QStringLiteral("message")), 2);
        QCOMPARE(countRows(target, QStringLiteral("chat_message_join")), 2);
        QCOMPARE(integrityOf(target), QStringLiteral("ok"));
    }

    // Rolling back to a mark undoes the rows, the counts and the held-back
    // chat updates made since, and the writer matches the rows again from
    // the database: a conversation and a correspondent made after the mark
    // are made anew, not taken from memory.
    void markRolledBackAndWrittenAgain()
    {
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"));
        _MsgHandle *bob = r.handle(QStringLiteral("+12025550102"));
        _MsgChat *withAnn = r.chat({ann});
        _MsgChat *withBob = r.chat({bob});
        _MsgMessage *first = r.message(withAnn, ann, QStringLiteral("first"), 400000000);
        _MsgMessage *later = r.message(withAnn, ann, QStringLiteral("later"), 400000600);
        _MsgMessage *toBob = r.message(withBob, nullptr, QStringLiteral("hi Bob"), 400000300, true);

        const QString target = newFolder(QStringLiteral("archive"));
        ExportMessagesDb writer(QDir(target), kUs);
        writer.begin();
        writer.write(first);
        writer.setMark();
        writer.write(later);
        writer.write(toBob);
        QCOMPARE(writer.counts().added, 3);
        writer.rollBackToMark();
        QCOMPARE(writer.counts().added, 1);
        QVERIFY(writer.lastLogicHash().isNull());
        writer.setMark();
        writer.write(toBob);
        writer.write(first); // found, not stored again
        writer.releaseMark();
        writer.end();
        QCOMPARE(writer.counts().added, 2);
        QCOMPARE(writer.counts().existing, 1);
        QCOMPARE(integrityOf(target), QStringLiteral("ok"));

        const MsgDataSet back = loadStore(target);
        QStringList seen;
        for (const _MsgChat *c : back.data()->chats) {
            QStringList texts;
            for (const _MsgMessage *m : c->messages)
                texts << m->text;
            seen << c->chat_identifier + QLatin1Char(':') + texts.join(QLatin1Char('/'))
                            + QLatin1Char('@') + QString::number(c->lastDate);
        }
        seen.sort();
        // Ann's conversation ends with "first": "later" was rolled back.
        QCOMPARE(seen,
                 (QStringList {"+12025550101:first@400000000",
                               "+12025550102:hi Bob@400000300"}));
        QCOMPARE(countRows(target, QStringLiteral("handle")), 2);
        QCOMPARE(countRows(target, QStringLiteral("chat_handle_join")), 2);
        QCOMPARE(sqliteScalar(smsDbOf(target),
                              QStringLiteral("select count(*) from message where handle_id != 0 "
                                             "and handle_id not in (select ROWID from handle)"))
                         .toInt(),
                 0);
    }

    // One text sent in the same second to two conversations has one logic
    // hash; it must still show in both.
    void sameMessageInTwoConversations()
    {
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"), QStringLiteral("iMessage"));
        _MsgHandle *bob = r.handle(QStringLiteral("+12025550102"), QStringLiteral("iMessage"));
        _MsgHandle *cy = r.handle(QStringLiteral("+12025550103"), QStringLiteral("iMessage"));
        _MsgChat *one = r.chat({ann, bob}, QStringLiteral("iMessage"));
        _MsgChat *two = r.chat({ann, cy}, QStringLiteral("iMessage"));
        _MsgMessage *m1 = r.message(one, nullptr, QStringLiteral("On my way"), 400000000, true);
        _MsgMessage *m2 = r.message(two, nullptr, QStringLiteral("On my way"), 400000000, true);
        QCOMPARE(logicHash(*m1), logicHash(*m2));

        const QString target = newFolder(QStringLiteral("archive"));
        const ExportMessagesDb::Counts counts = merge(target, {m1, m2});
        QCOMPARE(counts.added, 1);
        QCOMPARE(counts.existing, 1);

        const MsgDataSet back = loadStore(target);
        QCOMPARE(back.data()->chats.size(), 2);
        for (const _MsgChat *c : back.data()->chats) {
            QCOMPARE(c->messages.size(), 1);
            QCOMPARE(c->messages.first()->text, QStringLiteral("On my way"));
            QCOMPARE(c->lastDate, 400000000);
        }
        // Again: nothing new.
        QCOMPARE(merge(target, {m1, m2}).added, 0);
        QCOMPARE(countRows(target, QStringLiteral("chat_message_join")), 2);
    }

    // Attachment names from a source are not trusted: whatever they say, the
    // file lands inside the target's file-relay folder, never on the
    // database's own files, and the stored row names where it went.
    void attachmentFilesStayInsideTheStore_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<bool>("keepsName");
        QTest::newRow("phone path") << "~/Library/SMS/Attachments/0a/10/ABC/IMG_1.JPG" << true;
        QTest::newRow("absolute phone path") << "/var/mobile/Media/DCIM/IMG_2.JPG" << true;
        QTest::newRow("dot-dot") << "../../../../outside.jpg" << false;
        QTest::newRow("home dot-dot") << "~/../../../../../outside.jpg" << false;
        QTest::newRow("root dot-dot") << "/../../../outside.jpg" << false;
        QTest::newRow("backslashes") << "..\\..\\..\\..\\..\\outside.jpg" << false;
        QTest::newRow("mixed") << "~/Library/../../../..\\..\\..\\outside.jpg" << false;
        QTest::newRow("the database") << "~/Library/SMS/sms.db" << false;
        QTest::newRow("its journal") << "~/Library/SMS/sms.db-journal" << false;
        QTest::newRow("address book") << "~/Library/AddressBook/AddressBook.sqlitedb" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("only dots") << "~/.." << false;
        QTest::newRow("through a link") << "~/Library/SMS/Attachments/link/outside.jpg" << false;
    }

    void attachmentFilesStayInsideTheStore()
    {
        QFETCH(QString, filename);
        QFETCH(bool, keepsName);
        // The store lies a few folders deep, so that ".." has somewhere to go.
        const QString top = newFolder(QStringLiteral("top"));
        const QString target = top + QStringLiteral("/a/b/c/archive");
        const QString outside = top + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(QDir().mkpath(target
                              + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments")));
        QVERIFY(QFile::link(
                outside,
                target + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments/link")));
        {
            // The database exists before, as a local database does.
            ExportMessagesDb w(QDir(target), kUs);
            w.begin();
            w.end();
        }
        const QByteArray dbBefore = fileBytes(smsDbOf(target));

        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgMessage *m = r.message(r.chat({h}), h, QStringLiteral("look"), 400000000);
        const QByteArray bytes("picture bytes");
        _MsgAttachment *a = r.attachment(m, filename, bytes, newFolder(QStringLiteral("src")));
        QCOMPARE(merge(target, {m}).filesCopied, 1);

        // Nothing was written anywhere but in the archive.
        QStringList inArchive;
        for (const QString &f : filesBelow(target))
            inArchive << QStringLiteral("a/b/c/archive/") + f;
        QCOMPARE(filesBelow(top), inArchive);
        QCOMPARE(integrityOf(target), QStringLiteral("ok"));
        QVERIFY(fileBytes(smsDbOf(target)) != dbBefore);
        QCOMPARE(countRows(target, QStringLiteral("message")), 1);

        const MsgDataSet back = loadStore(target);
        const _MsgMessage *got = back.data()->messages.first();
        QCOMPARE(got->attachments.size(), 1);
        const _MsgAttachment *ga = got->attachments.first();
        QCOMPARE(ga->guid, a->guid);
        QVERIFY2(ga->localPath.startsWith(target + QStringLiteral("/file-relay/")),
                 qPrintable(ga->localPath));
        QCOMPARE(fileBytes(ga->localPath), bytes);
        QCOMPARE(ga->filename == filename, keepsName);
        if (!keepsName) {
            // The file name is kept where it can be (the logic hash covers it).
            QCOMPARE(sortedAttachments(*got).size(), 1);
            QVERIFY(ga->filename.startsWith(QStringLiteral("~/Library/SMS/Attachments/")));
        }
    }

    // Different files under one name each keep their own place; a file
    // already at the target is never overwritten, and is taken only by an
    // attachment with the same content.
    void attachmentNamesStayUnique()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        const QString name = QStringLiteral("~/Library/SMS/Attachments/00/00/SAME/IMG_0001.JPG");
        const QString place
                = target
                + QStringLiteral(
                          "/file-relay/var/mobile/Library/SMS/Attachments/00/00/SAME/IMG_0001.JPG");
        // A file left at that place by something else.
        QVERIFY(writeFile(place, "somebody else's file"));

        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = r.chat({h});
        const QString src = newFolder(QStringLiteral("src"));
        QList<_MsgMessage *> list;
        const QList<QByteArray> contents {"first picture", "second picture", "first picture",
                                          "somebody else's file"};
        for (int i = 0; i < contents.size(); ++i) {
            _MsgMessage *m
                    = r.message(c, h, QStringLiteral("picture %1").arg(i), 400000000 + i * 600);
            r.attachment(m, name, contents.at(i), src);
            list << m;
        }
        // One more with the name but no file at hand: it gets no file of the others.
        _MsgMessage *lost = r.message(c, h, QStringLiteral("picture 4"), 400009000);
        r.attachment(lost, name, QByteArray(), src);
        list << lost;

        const ExportMessagesDb::Counts counts = merge(target, list);
        QCOMPARE(counts.added, 5);
        // Each different file gets its own place; the one equal to the file
        // already there takes that one.
        QCOMPARE(counts.filesCopied, 3);
        QCOMPARE(fileBytes(place), QByteArray("somebody else's file"));

        const MsgDataSet back = loadStore(target);
        QMap<QString, QByteArray> byText;
        for (const _MsgMessage *m : back.data()->messages) {
            QCOMPARE(m->attachments.size(), 1);
            const _MsgAttachment *a = m->attachments.first();
            QVERIFY(a->filename.endsWith(QStringLiteral("/IMG_0001.JPG")));
            byText.insert(messageBodyText(*m),
                          QFileInfo(a->localPath).isFile() ? fileBytes(a->localPath)
                                                           : QByteArray("none"));
        }
        QCOMPARE(byText.value("picture 0"), contents.at(0));
        QCOMPARE(byText.value("picture 1"), contents.at(1));
        QCOMPARE(byText.value("picture 2"), contents.at(2));
        QCOMPARE(byText.value("picture 3"), contents.at(3));
        QCOMPARE(byText.value("picture 4"), QByteArray("none"));
    }

    // A run that is not kept takes its attachment files and folders back
    // with its rows; what earlier runs stored stays.
    void runThatIsNotKeptLeavesNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("abort") << "abort";
        QTest::newRow("failed write") << "failed write";
        QTest::newRow("writer destroyed") << "destroyed";
        QTest::newRow("database closed by its user") << "closed";
        QTest::newRow("end after the database was closed") << "end after close";
    }

    void runThatIsNotKeptLeavesNothing()
    {
        QFETCH(QString, how);
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = r.chat({h});
        _MsgMessage *kept = r.message(c, h, QStringLiteral("kept"), 400000000);
        r.attachment(kept, QStringLiteral("~/Library/SMS/Attachments/01/01/K/IMG_K.JPG"), "kept",
                     src);
        QCOMPARE(merge(target, {kept}).filesCopied, 1);
        const QStringList filesBefore = filesBelow(target + QStringLiteral("/file-relay"));
        QDirIterator folders(target, QDir::Dirs | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
        QStringList foldersBefore;
        while (folders.hasNext())
            foldersBefore << folders.next();
        foldersBefore.sort();

        _MsgMessage *m1 = r.message(c, h, QStringLiteral("one"), 400000600);
        r.attachment(m1, QStringLiteral("~/Library/SMS/Attachments/02/02/A/IMG_A.JPG"), "a", src);
        r.attachment(m1, QStringLiteral("~/Library/SMS/Attachments/01/01/B/IMG_B.JPG"), "b", src);
        _MsgMessage *m2 = r.message(c, h, QStringLiteral("two"), 400000700);
        r.attachment(m2, QStringLiteral("../../escaping.jpg"), "c", src);
        // A conversation the database refuses.
        _MsgChat *bad = r.chat({r.handle(QStringLiteral("+12025550199"), QStringLiteral("Fax"))},
                               QStringLiteral("Fax"));
        _MsgMessage *m3 = r.message(bad, nullptr, QStringLiteral("three"), 400000800);

        {
            ExportMessagesDb writer(QDir(target), kUs);
            writer.begin();
            writer.write(m1);
            writer.write(m2);
            QCOMPARE(writer.counts().filesCopied, 3);
            if (how == "abort") {
                writer.abort();
            } else if (how == "failed write") {
                QVERIFY_THROWS_EXCEPTION(std::runtime_error, writer.write(m3));
                writer.abort();
            } else if (how == "closed") {
                writer.database().close();
                // Nothing more goes in: it would be stored outside the run.
                QVERIFY_THROWS_EXCEPTION(std::runtime_error, writer.write(m1));
            } else if (how == "end after close") {
                writer.database().close();
                QVERIFY_THROWS_EXCEPTION(std::exception, writer.end());
            }
        }
        QCOMPARE(filesBelow(target + QStringLiteral("/file-relay")), filesBefore);
        QDirIterator after(target, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        QStringList foldersAfter;
        while (after.hasNext())
            foldersAfter << after.next();
        foldersAfter.sort();
        QCOMPARE(foldersAfter, foldersBefore);
        QCOMPARE(countRows(target, QStringLiteral("message")), 1);
        QCOMPARE(countRows(target, QStringLiteral("attachment")), 1);
        QCOMPARE(integrityOf(target), QStringLiteral("ok"));
    }

    // A user that ends the transaction through the database (as the phone
    // cache does after its own clean-up) keeps what it committed, files and
    // held-back chat updates included, and loses what it rolled back.
    void transactionEndedThroughTheDatabase_data()
    {
        QTest::addColumn<bool>("commit");
        QTest::addColumn<bool>("callEnd");
        QTest::newRow("commit, writer destroyed") << true << false;
        QTest::newRow("commit, then end") << true << true;
        QTest::newRow("rollback, writer destroyed") << false << false;
        QTest::newRow("rollback, then end") << false << true;
    }

    void transactionEndedThroughTheDatabase()
    {
        QFETCH(bool, commit);
        QFETCH(bool, callEnd);
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"));
        _MsgHandle *bob = r.handle(QStringLiteral("+12025550102"));
        _MsgChat *group = r.chat({ann, bob}, QStringLiteral("iMessage"));
        _MsgMessage *m1 = r.message(group, ann, QStringLiteral("one"), 400000000);
        r.attachment(m1, QStringLiteral("~/Library/SMS/Attachments/03/03/C/IMG_C.JPG"), "c", src);
        _MsgMessage *m2 = r.message(group, bob, QStringLiteral("two"), 400000500);
        {
            ExportMessagesDb writer(QDir(target), kUs);
            writer.begin();
            writer.write(m1);
            writer.write(m2);
            writer.database().endTransaction(commit);
            if (callEnd)
                writer.end();
        }
        QCOMPARE(countRows(target, QStringLiteral("message")), commit ? 2 : 0);
        QCOMPARE(filesBelow(target
                            + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments")),
                 commit ? QStringList {QStringLiteral("03/03/C/IMG_C.JPG")} : QStringList());
        if (commit) {
            const QVariantList chat
                    = sqliteRows(smsDbOf(target), "select _last, last_addressed_handle from chat")
                              .value(0);
            QCOMPARE(chat.value(0).toInt(), 400000500);
            QCOMPARE(chat.value(1).toString(), bob->id);
        }
    }

    // A file that cannot be copied (here: the disk is full part-way) does
    // not stop the run: its message and attachment row are stored without
    // a file, counted, and no part of the file stays; the other files are
    // copied as before.
    void copyFailureKeepsTheMessage()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = r.chat({h});
        _MsgMessage *small = r.message(c, h, QStringLiteral("small"), 400000000);
        r.attachment(small, QStringLiteral("~/Library/SMS/Attachments/01/01/S/small.jpg"), "s",
                     src);
        _MsgMessage *big = r.message(c, h, QStringLiteral("big"), 400000100);
        _MsgAttachment *bigFile
                = r.attachment(big, QStringLiteral("~/Library/SMS/Attachments/01/01/B/big.mov"),
                               QByteArray(3 << 20, 'v'), src);
        _MsgMessage *after = r.message(c, h, QStringLiteral("after"), 400000200);
        r.attachment(after, QStringLiteral("~/Library/SMS/Attachments/01/01/A/after.jpg"), "a",
                     src);

        ExportMessagesDb writer(QDir(target), kUs);
        writer.begin();
        // Files may not grow beyond 1 MiB while the run writes.
        struct rlimit old;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = old;
        limited.rlim_cur = 1 << 20;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        QString error;
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("stored without its file.*big\\.mov")));
        try {
            writer.write(small);
            writer.write(big);
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
        }
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QCOMPARE(error, QString());
        writer.write(after);
        writer.end();
        QCOMPARE(writer.counts().added, 3);
        QCOMPARE(writer.counts().filesCopied, 2);
        QCOMPARE(writer.counts().filesNotCopied, 1);

        const QString attachments
                = target + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments");
        QCOMPARE(filesBelow(attachments),
                 QStringList({QStringLiteral("01/01/A/after.jpg"),
                              QStringLiteral("01/01/S/small.jpg")}));
        QVERIFY(!QFileInfo::exists(attachments + QStringLiteral("/01/01/B")));
        const MsgDataSet back = loadStore(target);
        QCOMPARE(back.data()->messages.size(), 3);
        QCOMPARE(back.data()->attachments.size(), 3);
        for (const _MsgAttachment *a : std::as_const(back.data()->attachments)) {
            const bool isBig = a->guid == bigFile->guid;
            QCOMPARE(a->filename.endsWith(QStringLiteral("big.mov")), isBig);
            QCOMPARE(QFileInfo(a->localPath).isFile(), !isBig);
        }
    }

    // Every copied file, and then the folders naming it, reach the disk
    // before the commit that refers to them.
    void copiedFilesReachTheDiskBeforeTheCommit()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        _MsgChat *c = r.chat({h});
        QList<_MsgMessage *> list;
        for (int i = 0; i < 3; ++i) {
            _MsgMessage *m = r.message(c, h, QStringLiteral("m%1").arg(i), 400000000 + i);
            r.attachment(m, QStringLiteral("~/Library/SMS/Attachments/0%1/01/X/f%1.jpg").arg(i),
                         QByteArray(10 + i, 'x'), src);
            list << m;
        }
        QStringList events;
        ExportMessagesDb::diskSyncObserver = [&events](const QString &path) {
            events << QStringLiteral("sync ") + QDir::cleanPath(path);
        };
        ExportMessagesDb writer(QDir(target), kUs);
        writer.begin();
        sqlite3_commit_hook(
                writer.database().handle(),
                [](void *p) {
                    static_cast<QStringList *>(p)->append(QStringLiteral("commit"));
                    return 0;
                },
                &events);
        for (_MsgMessage *m : list)
            writer.write(m);
        writer.end();
        ExportMessagesDb::diskSyncObserver = nullptr;

        const qsizetype commit = events.indexOf(QStringLiteral("commit"));
        QVERIFY2(commit > 0, qPrintable(events.join(QLatin1Char('\n'))));
        const QString root = QDir::cleanPath(
                target + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments"));
        for (int i = 0; i < 3; ++i) {
            QString path = root + QStringLiteral("/0%1/01/X/f%1.jpg").arg(i);
            const qsizetype file = events.indexOf(QStringLiteral("sync ") + path);
            QVERIFY2(file >= 0 && file < commit, qPrintable(path));
            // Each folder up to the attachments folder, after what it names.
            qsizetype previous = file;
            for (path = QFileInfo(path).path(); path.size() >= root.size();
                 path = QFileInfo(path).path()) {
                const qsizetype folder = events.indexOf(QStringLiteral("sync ") + path);
                QVERIFY2(folder > previous && folder < commit, qPrintable(path));
                previous = folder;
            }
        }
    }

    // Merge rules around messages that are already stored: found by guid
    // with another hash, their new attachments are joined; an attachment
    // of the same name and size under another guid is not stored twice; a
    // group message already stored still sets the last addressed handle; a
    // stored attachment whose file was missing gets it.
    // A run long enough that the writer's tables of the messages it stored
    // grow several times over: every message met again in the same run, by
    // content (in another conversation, which it joins) or by guid (its
    // text edited), is found rather than stored twice.
    void longRunFindsItsOwnMessagesAgain()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"));
        _MsgChat *sms = r.chat({ann});
        _MsgChat *imessage = r.chat({ann}, QStringLiteral("iMessage"));
        constexpr int kCount = 700;
        MsgMessageList list;
        for (int i = 0; i < kCount; ++i)
            list << r.message(sms, i % 3 ? ann : nullptr, QStringLiteral("text %1").arg(i),
                              400000000 + i);
        for (int i = 0; i < kCount; ++i) {
            const _MsgMessage *first = list.at(i);
            list << r.message(imessage, first->handle, first->text, first->date);
        }
        for (int i = 0; i < kCount; ++i) {
            _MsgMessage *edited = r.message(sms, list.at(i)->handle,
                                            QStringLiteral("edited %1").arg(i), 400000000 + i);
            edited->guid = list.at(i)->guid;
            list << edited;
        }
        const ExportMessagesDb::Counts counts = merge(target, list);
        QCOMPARE(counts.added, kCount);
        QCOMPARE(counts.existing, 2 * kCount);
        QCOMPARE(countRows(target, QStringLiteral("message")), kCount);
        QCOMPARE(sqliteScalar(smsDbOf(target),
                              "select count(*) from chat_message_join j join chat c on "
                              "c.rowid=j.chat_id where c.service_name='iMessage'")
                         .toInt(),
                 kCount);
        QCOMPARE(countRows(target, QStringLiteral("chat_message_join")), 2 * kCount);
        // The next run reads them back from the file and finds them all.
        const ExportMessagesDb::Counts again = merge(target, list);
        QCOMPARE(again.added, 0);
        QCOMPARE(again.existing, 3 * kCount);
        QCOMPARE(countRows(target, QStringLiteral("chat_message_join")), 2 * kCount);
    }

    void mergeIntoStoredMessages()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"));
        _MsgHandle *bob = r.handle(QStringLiteral("+12025550102"));
        _MsgChat *group = r.chat({ann, bob}, QStringLiteral("iMessage"));
        _MsgMessage *m = r.message(group, bob, QStringLiteral("photo"), 400000000);
        _MsgAttachment *noFile
                = r.attachment(m, QStringLiteral("~/Library/SMS/Attachments/aa/aa/P/IMG_P.JPG"),
                               QByteArray(), src);
        noFile->total_bytes = 5;
        _MsgMessage *byAnn = r.message(group, ann, QStringLiteral("later"), 400000100);
        QCOMPARE(merge(target, {m, byAnn}).added, 2);
        QCOMPARE(sqliteScalar(smsDbOf(target), "select last_addressed_handle from chat").toString(),
                 ann->id);

        // The same message from another source: same guid, its text edited
        // (another hash), the attachment now with its file, plus a second
        // copy of that attachment under another guid.
        Records r2;
        _MsgHandle *ann2 = r2.handle(ann->id);
        _MsgHandle *bob2 = r2.handle(bob->id);
        _MsgChat *group2 = r2.chat({ann2, bob2}, QStringLiteral("iMessage"));
        group2->guid = group->guid;
        _MsgMessage *again = r2.message(group2, bob2, QStringLiteral("photo!"), 400000000);
        again->guid = m->guid;
        _MsgAttachment *withFile = r2.attachment(again, noFile->filename, "12345", src);
        withFile->guid = noFile->guid;
        _MsgAttachment *otherGuid = r2.attachment(again, noFile->filename, "12345", src);
        _MsgAttachment *newOne = r2.attachment(
                again, QStringLiteral("~/Library/SMS/Attachments/bb/bb/Q/IMG_Q.JPG"), "qq", src);

        const ExportMessagesDb::Counts counts = merge(target, {again});
        QCOMPARE(counts.added, 0);
        QCOMPARE(counts.existing, 1);
        QCOMPARE(sqliteScalar(smsDbOf(target), "select last_addressed_handle from chat").toString(),
                 bob->id);
        QCOMPARE(countRows(target, QStringLiteral("message")), 2);
        QCOMPARE(countRows(target, QStringLiteral("attachment")), 2);

        const MsgDataSet back = loadStore(target);
        const _MsgMessage *got = nullptr;
        for (const _MsgMessage *x : back.data()->messages)
            if (x->guid == m->guid)
                got = x;
        QVERIFY(got);
        QCOMPARE(got->text, m->text); // the stored message is not changed
        QMap<QString, QByteArray> files;
        for (const _MsgAttachment *a : got->attachments)
            files.insert(a->guid, fileBytes(a->localPath));
        QCOMPARE(files.size(), 2);
        QCOMPARE(files.value(noFile->guid), QByteArray("12345"));
        QCOMPARE(files.value(newOne->guid), QByteArray("qq"));
        QVERIFY(!files.contains(otherGuid->guid));
    }

    // One attachment (by guid) named by two messages of one run, and again
    // by a third message of the next run, is one row joined to each, with
    // one file.
    void attachmentSharedByMessages()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        const QString src = newFolder(QStringLiteral("src"));
        const QString name = QStringLiteral("~/Library/SMS/Attachments/cc/cc/S/IMG_S.JPG");
        Records r;
        _MsgHandle *ann = r.handle(QStringLiteral("+12025550101"));
        _MsgChat *chat = r.chat({ann}, QStringLiteral("SMS"));
        _MsgMessage *m1 = r.message(chat, ann, QStringLiteral("one"), 400000000);
        _MsgMessage *m2 = r.message(chat, ann, QStringLiteral("two"), 400000060);
        _MsgMessage *m3 = r.message(chat, ann, QStringLiteral("three"), 400000120);
        _MsgAttachment *a1 = r.attachment(m1, name, "shared", src);
        for (_MsgMessage *m : {m2, m3})
            r.attachment(m, name, "shared", src)->guid = a1->guid;
        QCOMPARE(merge(target, {m1, m2}).added, 2);
        QCOMPARE(merge(target, {m3}).added, 1);
        QCOMPARE(countRows(target, QStringLiteral("attachment")), 1);
        QCOMPARE(sqliteScalar(smsDbOf(target),
                              "select count(distinct message_id) from message_attachment_join")
                         .toInt(),
                 3);
        QCOMPARE(fileBytes(IOS6MessageDb::attachmentLocalPath(
                         QDir(QDir(target).absoluteFilePath(QStringLiteral("file-relay"))), name)),
                 QByteArray("shared"));
    }

    // An empty run makes the database; an empty file that a process stopped
    // while creating it left behind is made anew rather than taken for a
    // database without tables.
    void emptyRunsAndLeftEmptyFile()
    {
        const QString target = newFolder(QStringLiteral("archive"));
        merge(target, {});
        QCOMPARE(countRows(target, QStringLiteral("message")), 0);
        QVERIFY(sqliteScalar(smsDbOf(target), "select count(*) from sqlite_master").toInt() > 10);
        const QByteArray made = fileBytes(smsDbOf(target));
        merge(target, {});
        QCOMPARE(fileBytes(smsDbOf(target)), made);

        const QString left = newFolder(QStringLiteral("archive"));
        QVERIFY(writeFile(smsDbOf(left), QByteArray()));
        Records r;
        _MsgHandle *h = r.handle(QStringLiteral("+12025550143"));
        QCOMPARE(merge(left, {r.message(r.chat({h}), h, QStringLiteral("hi"), 400000000)}).added,
                 1);
        QCOMPARE(integrityOf(left), QStringLiteral("ok"));
    }

    // A writer process killed at a random point of its run leaves a database
    // that opens, is intact and holds exactly what it held before the run;
    // running the merge again then stores everything.
    void killedWriterLeavesTheArchiveAsItWas()
    {
        const QString phone = generatedPhone(250, 11);
        const QString earlier = generatedPhone(60, 12);
        const QString target = newFolder(QStringLiteral("archive"));
        const int base = merge(target, allMessages(loadStore(earlier))).added;
        QVERIFY(base > 0);
        QMap<QString, qint64> rowsBefore;
        for (const char *table : {"chat", "handle", "attachment", "chat_message_join",
                                  "chat_handle_join", "message_attachment_join"})
            rowsBefore.insert(QLatin1String(table), countRows(target, QLatin1String(table)));
        const int total = allMessages(loadStore(phone)).size();

        const quint32 seed = QRandomGenerator::global()->generate();
        qInfo("kill seed %u", seed);
        QRandomGenerator random(seed);
        for (int round = 0; round < 3; ++round) {
            // 0: right after begin; total: after the last write, before commit.
            const int killAt = random.bounded(total + 1);
            QProcess child;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QString::fromLatin1(kChildVar), phone + QLatin1Char('|') + target);
            child.setProcessEnvironment(env);
            child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            child.start(QCoreApplication::applicationFilePath(), {});
            QVERIFY(child.waitForStarted());
            int written = -1;
            QByteArray last;
            while (written < killAt) {
                if (!child.canReadLine() && !child.waitForReadyRead(60000))
                    break;
                while (child.canReadLine() && written < killAt) {
                    last = child.readLine().trimmed();
                    if (last == "began")
                        written = 0;
                    else if (last.startsWith("w "))
                        written = last.mid(2).toInt();
                    else if (last == "written")
                        written = total;
                }
            }
            QVERIFY2(written >= killAt, last.constData());
            QThread::usleep(random.bounded(3000));
            child.kill();
            QVERIFY(child.waitForFinished(60000));
            QCOMPARE(child.exitStatus(), QProcess::CrashExit);
            QVERIFY(!child.readAllStandardOutput().contains("committed"));

            QCOMPARE(integrityOf(target), QStringLiteral("ok"));
            QCOMPARE(countRows(target, QStringLiteral("message")), base);
            for (auto it = rowsBefore.cbegin(); it != rowsBefore.cend(); ++it)
                QCOMPARE(countRows(target, it.key()), it.value());
            QCOMPARE(loadStore(target).data()->messages.size(), base);
        }
        const ExportMessagesDb::Counts counts = merge(target, allMessages(loadStore(phone)));
        QCOMPARE(counts.added, total);
        QCOMPARE(countRows(target, QStringLiteral("message")), base + total);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVar))
        return writerChildMain(argc, argv);
    QCoreApplication app(argc, argv);
    TestWriter test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_writer.moc"
