#include "recovery/messagescans.h"
#include "store/countrylibdb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "tests/support/ios5smsdb.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>
#include <memory>
#include <sqlite3.h>

namespace {

// Hash of a file and of its write-ahead log, to show a scan wrote neither.
QByteArray fileState(const QString &path)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    for (const QString &p : {path, path + "-wal", path + "-shm"}) {
        QFile f(p);
        h.addData(p.toUtf8());
        if (f.open(QIODevice::ReadOnly))
            h.addData(f.readAll());
    }
    return h.result();
}

// Keeps a write-ahead log as the phone leaves it: closing the builder's
// connection does not fold it into the database file.
void keepWalOnClose(RawSqlite &db)
{
    sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

struct Salvaged
{
    QString guid, text, chatIdentifier, handle;
    int date = 0, fromMe = 0;
    QVariant srcRowid;
    QString service;
};

QList<Salvaged> salvagedMessages(const QString &store)
{
    QList<Salvaged> out;
    for (const QVariantList &r : sqliteRows(store + "/recycle.db",
                                            "select guid, text, chat_identifier, handle, date, "
                                            "is_from_me, src_rowid, service from message "
                                            "order by rowid"))
        out.append({r[0].toString(), r[1].toString(), r[2].toString(), r[3].toString(),
                    r[4].toInt(), r[5].toInt(), r[6], r[7].toString()});
    return out;
}

int recycleCount(const QString &store, const char *table)
{
    return sqliteScalar(store + "/recycle.db", QString("select count(*) from %1").arg(table))
            .toInt();
}

// The deleted messages whose guid and text still lie side by side in the
// file on a page that is not an index page.
QSet<QString> survivingRecords(const QString &path,
                               const QHash<QString, PhoneSmsDb::Message> &deleted)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = f.readAll();
    const int pageSize = (uchar(bytes[16]) << 8) | uchar(bytes[17]);
    QSet<QString> out;
    for (auto it = deleted.cbegin(); it != deleted.cend(); ++it) {
        const QByteArray probe = (it.key() + it->text).toUtf8();
        for (qsizetype k = bytes.indexOf(probe); k >= 0; k = bytes.indexOf(probe, k + 1)) {
            const qsizetype page = k / pageSize;
            const char type = bytes[page * pageSize + (page == 0 ? 100 : 0)];
            if (type != 2 && type != 10)
                out.insert(it.key());
        }
    }
    return out;
}

// The indexes of a recycle.db, name and statement, and whether SQLite
// finds them in step with the rows.
QStringList indexesOf(const QString &store)
{
    QStringList out;
    for (const QVariantList &row :
         sqliteRows(store + "/recycle.db",
                    "select name, sql from sqlite_master where type='index' and sql is not null "
                    "order by name"))
        out << row.value(0).toString() + ": " + row.value(1).toString();
    return out;
}

bool indexesSound(const QString &store)
{
    return sqliteScalar(store + "/recycle.db", "pragma integrity_check").toString() == "ok";
}

QString paddedText(const QString &head, int i)
{
    return QString("%1 %2 ").arg(head).arg(i) + QString("words of the day ").repeated(3 + i % 5);
}

} // namespace

class TestScans : public QObject
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

    void ios6ScansSalvageDeletedRows_data()
    {
        QTest::addColumn<PhoneSchema>("schema");
        // The phone's table of 50 columns (item_type .. message_action_type,
        // no message_source) and the early one of 38.
        QTest::newRow("item-type columns") << PhoneSchema::ios6();
        QTest::newRow("early table") << PhoneSchema::ios6WithoutItemType();
        PhoneSchema wal = PhoneSchema::ios6();
        wal.wal = true;
        QTest::newRow("write-ahead log") << wal;
    }

    void ios6ScansSalvageDeletedRows()
    {
        QFETCH(PhoneSchema, schema);
        const QString store = newStore();
        QSet<QString> liveGuids;
        QHash<QString, PhoneSmsDb::Message> deleted; // by guid
        QHash<QString, qint64> chatOfGuid;
        qint64 keptChat = 0, goneHandle = 0;
        {
            PhoneSmsDb sms(store, schema);
            sms.db().exec("PRAGMA secure_delete=0;");
            if (schema.wal)
                keepWalOnClose(sms.db());
            sms.begin();
            // Enough handles to fill pages, so that deleting most of them
            // frees whole pages with their cells intact.
            QList<qint64> handles;
            for (int i = 0; i < 300; ++i)
                handles << sms.addHandle(QString("+1202555%1").arg(1000 + i), "SMS", "us",
                                         QString("(202) 555-%1").arg(1000 + i));
            const qint64 kept = handles[0], gone = handles[1], other = handles[299];
            goneHandle = gone;
            keptChat = sms.addChat(kept);
            const qint64 goneChat = sms.addChat(gone);
            const qint64 otherChat = sms.addChat(other, "iMessage");
            int date = 400000000;
            auto add = [&](qint64 chat, qint64 handle, int i, const QString &head) {
                PhoneSmsDb::Message m;
                m.text = paddedText(head, i);
                m.handle = handle;
                m.date = date += 61;
                m.fromMe = i % 3 == 0;
                m.guid = PhoneSmsDb::newGuid();
                sms.addMessage(chat, m);
                chatOfGuid.insert(m.guid, chat);
                return m;
            };
            QList<PhoneSmsDb::Message> keptMessages;
            for (int i = 0; i < 150; ++i)
                keptMessages << add(keptChat, kept, i, "kept chat");
            for (int i = 0; i < 150; ++i) {
                const PhoneSmsDb::Message m = add(goneChat, gone, i, "gone chat");
                deleted.insert(m.guid, m);
            }
            QString lastGuid;
            for (int i = 0; i < 60; ++i)
                liveGuids << (lastGuid = add(otherChat, other, i, "other chat").guid);
            // A system item of a group is never salvaged.
            PhoneSmsDb::Message item;
            item.handle = kept;
            item.date = date += 61;
            item.itemType = schema.itemTypeColumns ? 1 : 0;
            item.text = schema.itemTypeColumns ? "system item" : "plain item";
            item.guid = PhoneSmsDb::newGuid();
            const qint64 itemRow = sms.addMessage(keptChat, item);
            sms.commit();

            sms.begin();
            // Every fifth message of the kept chat goes to free blocks.
            for (int i = 0; i < keptMessages.size(); ++i) {
                if (i % 5 == 2) {
                    sms.db().run("delete from message where guid=?", {keptMessages[i].guid});
                    deleted.insert(keptMessages[i].guid, keptMessages[i]);
                } else {
                    liveGuids << keptMessages[i].guid;
                }
            }
            // The other conversation goes whole, with its handle.
            sms.db().run("delete from message where handle_id=?", {gone});
            sms.db().run("delete from chat_message_join where chat_id=?", {goneChat});
            sms.db().run("delete from chat_handle_join where chat_id=?", {goneChat});
            sms.db().run("delete from chat where rowid=?", {goneChat});
            sms.db().run("delete from handle where rowid between ? and ?", {gone, handles[250]});
            if (schema.itemTypeColumns)
                sms.db().run("delete from message where rowid=?", {itemRow});
            else
                liveGuids << item.guid;
            sms.commit();
            // Updating a live row leaves its old copy in free space.
            sms.db().run("update message set text=text||'!' where guid=?", {lastGuid});
            sms.close();
        }
        const QString smsPath = PhoneSmsDb::smsDbPathOf(store);
        QCOMPARE(QFileInfo::exists(smsPath + "-wal"), schema.wal);

        IOS6MessageDb db(QDir(store), "310", false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        const QList<_MsgChat *> chats = set.data()->chats.values();
        const QString keptIdentifier = set.data()->chats.value(keptChat)->chat_identifier;
        const QByteArray before = fileState(smsPath);

        QStringList freshIndexes;
        {
            MessageRecycleDb fresh(newStore() + "/recycle.db");
            fresh.ensureOpen();
            freshIndexes = indexesOf(QFileInfo(fresh.filePath()).path());
        }
        QCOMPARE(freshIndexes.size(), 7);

        scanDeletedHandles(db);
        scanDeletedMessages(db, chats);
        QCOMPARE(fileState(smsPath), before);
        // A first scan makes some indexes after its rows: the store ends
        // with the schema's indexes, all in step with the rows.
        QCOMPARE(indexesOf(store), freshIndexes);
        QVERIFY(indexesSound(store));

        // The deleted handles are salvaged, with the rowid they had when
        // their page went to the freelist whole. (In write-ahead-log mode
        // the freed pages were written emptied; their rows live on only in
        // older frames of the log.)
        if (!schema.wal) {
            QCOMPARE(sqliteScalar(store + "/recycle.db",
                                  "select src_rowid from handle where id like ?", {"%2025551001"})
                             .toLongLong(),
                     goneHandle);
            QVERIFY(recycleCount(store, "handle") >= 200);
        }

        const QList<Salvaged> salvaged = salvagedMessages(store);
        QSet<QString> found;
        for (const Salvaged &s : salvaged) {
            QVERIFY2(!liveGuids.contains(s.guid), qPrintable(s.text));
            QVERIFY2(deleted.contains(s.guid), qPrintable(s.guid + " " + s.text));
            QVERIFY2(!found.contains(s.guid), qPrintable(s.guid));
            found.insert(s.guid);
            const PhoneSmsDb::Message &m = deleted[s.guid];
            QCOMPARE(s.text, m.text);
            QCOMPARE(s.date, m.date);
            QCOMPARE(s.fromMe, int(m.fromMe));
            if (chatOfGuid.value(s.guid) == keptChat) {
                // Its handle is still in a live one-to-one conversation.
                QCOMPARE(s.chatIdentifier, keptIdentifier);
                QCOMPARE(s.handle, keptIdentifier);
            } else if (!schema.wal || !s.chatIdentifier.isEmpty()) {
                // Named by the salvaged handle.
                QVERIFY2(s.chatIdentifier.endsWith("2025551001"), qPrintable(s.chatIdentifier));
                QCOMPARE(s.handle, s.chatIdentifier);
            }
        }
        if (schema.wal) {
            QVERIFY2(found.size() * 10 >= deleted.size() * 8,
                     qPrintable(QString("%1 of %2").arg(found.size()).arg(deleted.size())));
        } else {
            // Every deleted message whose record still lies whole outside
            // the guid index is found; the rest were overwritten when SQLite
            // rebuilt pages.
            const QSet<QString> surviving = survivingRecords(smsPath, deleted);
            QCOMPARE(found, surviving);
            QVERIFY2(found.size() * 10 >= deleted.size() * 8,
                     qPrintable(QString("%1 of %2").arg(found.size()).arg(deleted.size())));
        }

        // A rescan stores nothing twice.
        const int messages = recycleCount(store, "message");
        const int handleRows = recycleCount(store, "handle");
        scanDeletedHandles(db);
        scanDeletedMessages(db, chats);
        QCOMPARE(recycleCount(store, "message"), messages);
        QCOMPARE(recycleCount(store, "handle"), handleRows);
        QCOMPARE(fileState(smsPath), before);
        QCOMPARE(indexesOf(store), freshIndexes);
        QVERIFY(indexesSound(store));

        // The salvaged messages appear beside the live ones.
        IOS6MessageDb reader(QDir(store), "310", false);
        MsgDataSet shown;
        shown.reset();
        reader.chats(shown);
        reader.loadRecycledChats(shown);
        int inKept = 0, inRecovered = 0;
        for (const _MsgMessage *m : std::as_const(shown.data()->messages)) {
            if (m->ROWID >= 0)
                continue;
            QVERIFY(m->highlight);
            QVERIFY(m->chat);
            if (m->chat->ROWID == keptChat)
                ++inKept;
            else if (isRecoveredChat(m->chat->ROWID))
                ++inRecovered;
        }
        QCOMPARE(inKept + inRecovered, salvaged.size());
        QVERIFY(inKept > 0);
        QVERIFY(inRecovered > 100);
    }

    // Columns added to a table between the insertion of rows and their
    // deletion: the deleted records hold fewer fields than the table now
    // declares, and are salvaged whole all the same. The rows are deleted
    // sparsely, so that every record stays on a live page (in a freeblock
    // or the unallocated space), where only carving finds it.
    void ios6RowsOlderThanAddedColumns_data()
    {
        QTest::addColumn<PhoneSchema>("schema");
        QTest::addColumn<QString>("alter"); // empty: the local-database upgrade
        QTest::newRow("message table, upgraded") << PhoneSchema::ios6() << QString();
        QTest::newRow("early message table, upgraded")
                << PhoneSchema::ios6WithoutItemType() << QString();
        QTest::newRow("handle table, column added")
                << PhoneSchema::ios6() << "ALTER TABLE handle ADD COLUMN person_centric_id TEXT;";
        QTest::newRow("handle and message tables, columns added")
                << PhoneSchema::ios6()
                << "ALTER TABLE handle ADD COLUMN person_centric_id TEXT;"
                   "ALTER TABLE message ADD COLUMN message_source INTEGER DEFAULT 0;"
                   "ALTER TABLE message ADD COLUMN time_expressive_send_played INTEGER;";
    }

    void ios6RowsOlderThanAddedColumns()
    {
        QFETCH(PhoneSchema, schema);
        QFETCH(QString, alter);
        const QString store = newStore();
        const QString smsPath = PhoneSmsDb::smsDbPathOf(store);
        QHash<QString, PhoneSmsDb::Message> deleted; // by guid
        QSet<QString> deletedHandles; // uncanonicalized ids
        QList<qint64> messageRows, handleRows;
        QHash<qint64, PhoneSmsDb::Message> messageOf;
        QHash<qint64, QString> handleOf;
        qint64 chat = 0;
        int columnsBefore = 0;
        {
            PhoneSmsDb sms(store, schema);
            sms.begin();
            for (int i = 0; i < 120; ++i) {
                const QString shown = QString("(303) 555-%1").arg(1000 + i);
                const qint64 h = sms.addHandle(QString("+1303555%1").arg(1000 + i), "SMS", "us",
                                               shown);
                handleRows << h;
                handleOf.insert(h, shown);
            }
            chat = sms.addChat(handleRows[0]);
            for (int i = 0; i < 150; ++i) {
                PhoneSmsDb::Message m;
                m.text = paddedText("older row", i);
                m.handle = handleRows[0];
                m.date = 410000000 + 73 * i;
                m.fromMe = i % 4 == 1;
                m.guid = QStringLiteral("0D1E7E0D-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
                const qint64 row = sms.addMessage(chat, m);
                messageRows << row;
                messageOf.insert(row, m);
            }
            sms.commit();
            columnsBefore = int(sms.db().columns("message").size());
            sms.close();
        }
        // The columns come after the rows.
        if (alter.isEmpty()) {
            IOS6MessageDb upgraded(QDir(store), "310", true);
            upgraded.ensureOpen();
        } else {
            RawSqlite(smsPath).exec(alter);
        }
        {
            RawSqlite raw(smsPath);
            if (alter.isEmpty() || alter.contains("message"))
                QVERIFY(raw.columns("message").size() > columnsBefore);
            // Deleted the way a phone deletes: the bytes stay. A third of
            // the rows of full pages, none of the last page, which SQLite
            // would merge into its neighbour.
            raw.exec("PRAGMA secure_delete=0; BEGIN;");
            for (int i = 1; i < messageRows.size() * 6 / 10; i += 3) {
                raw.run("delete from message where rowid=?", {messageRows[i]});
                raw.run("delete from chat_message_join where message_id=?", {messageRows[i]});
                const PhoneSmsDb::Message &m = messageOf[messageRows[i]];
                deleted.insert(m.guid, m);
            }
            for (int i = 2; i < handleRows.size() * 6 / 10; i += 3) {
                raw.run("delete from handle where rowid=?", {handleRows[i]});
                deletedHandles << handleOf.value(handleRows[i]);
            }
            raw.exec("COMMIT;");
            QCOMPARE(raw.scalar("PRAGMA freelist_count").toInt(), 0);
        }
        const QByteArray before = fileState(smsPath);

        IOS6MessageDb db(QDir(store), "310", false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
        scanDeletedHandles(db);
        scanDeletedMessages(db, set.data()->chats.values());
        QCOMPARE(fileState(smsPath), before);

        QSet<QString> handlesFound;
        for (const QVariantList &r :
             sqliteRows(store + "/recycle.db", "select uncanonicalized_id, id, service from handle"))
            if (handleOf.values().contains(r[0].toString())) {
                QVERIFY2(r[1].toString().endsWith(r[0].toString().right(4)), qPrintable(r[1].toString()));
                QCOMPARE(r[2].toString(), QString("SMS"));
                handlesFound << r[0].toString();
            }
        // Stale copies of live handles, which SQLite left when it moved
        // rows, are salvaged too.
        QVERIFY(handlesFound.contains(deletedHandles));

        const QList<Salvaged> salvaged = salvagedMessages(store);
        QSet<QString> found;
        for (const Salvaged &s : salvaged) {
            QVERIFY2(deleted.contains(s.guid), qPrintable(s.guid + " " + s.text));
            const PhoneSmsDb::Message &m = deleted[s.guid];
            QCOMPARE(s.text, m.text);
            QCOMPARE(s.date, int(m.date));
            QCOMPARE(s.fromMe, int(m.fromMe));
            QCOMPARE(s.service, QString("SMS"));
            QVERIFY(!found.contains(s.guid));
            found << s.guid;
        }
        QCOMPARE(found.size(), deleted.size());
    }

    // The same for the older phone layout: SMS and iMessage rows written
    // before a column was added to the message table.
    void ios5RowsOlderThanAnAddedColumn()
    {
        const QString store = newStore();
        const QString smsPath = IOS5SmsDb::smsDbPathOf(store);
        QHash<qint64, QString> deletedSms; // date (seconds since 1970) -> text
        QHash<QString, QString> deletedIMessages; // guid -> text
        {
            IOS5SmsDb sms(store);
            sms.exec("BEGIN");
            const qint64 group = sms.addGroup(1);
            sms.addMember(group, "+12025550144");
            QList<IOS5SmsDb::IMessage> ims;
            for (int i = 0; i < 45; ++i) {
                IOS5SmsDb::IMessage m;
                m.handle = "+12025550155";
                m.date = 385000000 + 41 * i;
                m.dateDelivered = i % 2 ? m.date + 3 : 0;
                m.text = paddedText("older imessage", i);
                m.guid = QStringLiteral("7A11C0DE-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
                sms.addIMessage(m);
                ims << m;
            }
            QList<qint64> rows;
            QHash<qint64, QPair<qint64, QString>> sent;
            for (int i = 0; i < 150; ++i) {
                const QString text = paddedText("older sms", i);
                const qint64 date = 1350000000 + 97 * i;
                const qint64 id = sms.addSms(group, "+12025550144", date, i % 2 ? 3 : 2, text);
                rows << id;
                sent.insert(id, {date, text});
            }
            sms.exec("COMMIT");
            // A system update adds a column; the rows keep their fields.
            sms.exec("ALTER TABLE message ADD COLUMN sr_ck_sync_state INTEGER DEFAULT 0;");
            sms.exec("PRAGMA secure_delete=0;");
            sms.exec("BEGIN");
            for (int i = 1; i < rows.size() * 6 / 10; i += 3) {
                sms.db().run("delete from message where rowid=?", {rows[i]});
                deletedSms.insert(sent[rows[i]].first, sent[rows[i]].second);
            }
            for (int i = 0; i < ims.size(); i += 3) {
                sms.db().run("delete from message where madrid_guid=?", {ims[i].guid});
                deletedIMessages.insert(ims[i].guid, ims[i].text);
            }
            sms.exec("COMMIT");
            QCOMPARE(sms.db().scalar("PRAGMA freelist_count").toInt(), 0);
            sms.close();
        }
        const QByteArray before = fileState(smsPath);

        IOS5MessageDb db(QDir(store), "310");
        scanDeletedMessages(db);
        QCOMPARE(fileState(smsPath), before);

        QSet<qint64> smsFound;
        QSet<QString> imFound;
        for (const Salvaged &s : salvagedMessages(store)) {
            if (s.service == "SMS") {
                const qint64 date = s.date + 978307200LL;
                QVERIFY2(deletedSms.contains(date), qPrintable(s.text));
                QCOMPARE(s.text, deletedSms.value(date));
                QVERIFY(s.chatIdentifier.endsWith("2025550144"));
                QVERIFY(!smsFound.contains(date));
                smsFound << date;
            } else {
                QVERIFY2(deletedIMessages.contains(s.guid), qPrintable(s.guid));
                QCOMPARE(s.text, deletedIMessages.value(s.guid));
                QVERIFY(!imFound.contains(s.guid));
                imFound << s.guid;
            }
        }
        QCOMPARE(smsFound.size(), deletedSms.size());
        QCOMPARE(imFound.size(), deletedIMessages.size());
    }

    void ios5ScanSalvagesDeletedRows()
    {
        const QString store = newStore();
        QHash<QString, qint64> deletedSms; // text -> date (seconds since 1970)
        QHash<QString, int> deletedFlags;
        QHash<QString, QString> deletedIMessages; // guid -> text
        QSet<QString> liveTexts;
        {
            IOS5SmsDb sms(store);
            sms.exec("PRAGMA secure_delete=0;");
            sms.exec("BEGIN");
            const qint64 group = sms.addGroup(1);
            sms.addMember(group, "+12025550111");
            QList<qint64> rows;
            QHash<qint64, QString> textOf;
            for (int i = 0; i < 240; ++i) {
                const QString text = paddedText("sms", i);
                const qint64 date = 1350000000 + 90 * i;
                const int flags = i % 2 ? 3 : 2;
                const qint64 id = sms.addSms(group, "+12025550111", date, flags, text);
                rows << id;
                textOf.insert(id, text);
                if (i >= 60 && i < 180) {
                    deletedSms.insert(text, date);
                    deletedFlags.insert(text, flags);
                } else if (i % 4 == 1) {
                    deletedSms.insert(text, date);
                    deletedFlags.insert(text, flags);
                } else {
                    liveTexts << text;
                }
            }
            for (int i = 0; i < 40; ++i) {
                IOS5SmsDb::IMessage m;
                m.handle = "+12025550122";
                m.date = 380000000 + 50 * i;
                m.dateDelivered = i % 2 ? m.date + 5 : 0;
                m.text = paddedText("imessage", i);
                // Fixed guids, so that every run lays the pages out alike.
                m.guid = QStringLiteral("5C0F2A10-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'));
                m.accountGuid = "A1B2C3D4-1111-2222-3333-444455556666";
                sms.addIMessage(m);
                if (i % 2)
                    deletedIMessages.insert(m.guid, m.text);
                else
                    liveTexts << m.text;
            }
            sms.exec("COMMIT");
            sms.exec("BEGIN");
            // Deleted in the order they were written (a hash's order changes
            // from run to run, and with it what the free pages hold).
            for (const qint64 id : std::as_const(rows))
                if (deletedSms.contains(textOf.value(id)))
                    sms.db().run("delete from message where rowid=?", {id});
            for (int i = 1; i < 40; i += 2)
                sms.db().run("delete from message where madrid_guid=?",
                             {QStringLiteral("5C0F2A10-0000-4000-8000-%1").arg(i, 12, 10, QLatin1Char('0'))});
            sms.exec("COMMIT");
            sms.close();
        }
        const QString smsPath = IOS5SmsDb::smsDbPathOf(store);
        const QByteArray before = fileState(smsPath);

        IOS5MessageDb db(QDir(store), "310");
        scanDeletedMessages(db);
        QCOMPARE(fileState(smsPath), before);

        // Rows are told apart by their dates, all different. The carving
        // of this layout tests little beyond two flag columns, so a record
        // that SQLite partly wrote over can come back damaged (a cut text,
        // other flags); such rows are tolerated in small number, but no row
        // may be a whole copy of a live message, and every whole row must
        // be a deleted one, as it was.
        QHash<qint64, QString> smsByDate;
        for (auto it = deletedSms.cbegin(); it != deletedSms.cend(); ++it)
            smsByDate.insert(it.value() - 978307200, it.key());
        const QList<Salvaged> salvaged = salvagedMessages(store);
        QSet<QString> smsFound, imFound;
        int damaged = 0;
        for (const Salvaged &s : salvaged) {
            QVERIFY2(!liveTexts.contains(s.text), qPrintable(s.text));
            if (s.service == "SMS") {
                QVERIFY2(s.chatIdentifier.endsWith("2025550111"), qPrintable(s.chatIdentifier));
                QCOMPARE(s.handle, s.chatIdentifier);
                const QString text = smsByDate.value(s.date);
                if (text.isEmpty() || s.text != text) {
                    QVERIFY2(!deletedSms.contains(s.text), qPrintable(s.text)); // wrong date
                    ++damaged;
                    continue;
                }
                QCOMPARE(s.fromMe, deletedFlags[text] == 3 ? 1 : 0);
                QVERIFY(!smsFound.contains(s.text));
                smsFound << s.text;
            } else {
                QCOMPARE(s.service, QString("iMessage"));
                QVERIFY2(s.chatIdentifier.endsWith("2025550122"), qPrintable(s.chatIdentifier));
                if (s.text != deletedIMessages.value(s.guid)) {
                    ++damaged;
                    continue;
                }
                QVERIFY(!imFound.contains(s.guid));
                imFound << s.guid;
            }
        }
        QVERIFY2(damaged * 10 <= salvaged.size(), qPrintable(QString::number(damaged)));
        // Pages freed by the deletes are taken again by the phone's triggers,
        // so some rows are gone for good.
        QVERIFY2(smsFound.size() * 10 >= deletedSms.size() * 7,
                 qPrintable(QString("%1 of %2").arg(smsFound.size()).arg(deletedSms.size())));
        QVERIFY2(imFound.size() * 2 >= deletedIMessages.size(),
                 qPrintable(QString("%1 of %2").arg(imFound.size()).arg(deletedIMessages.size())));

        scanDeletedMessages(db);
        QCOMPARE(recycleCount(store, "message"), salvaged.size());

        IOS5MessageDb reader(QDir(store), "310");
        MsgDataSet shown;
        shown.reset();
        reader.chats(shown);
        reader.loadRecycledChats(shown);
        int recovered = 0;
        for (const _MsgMessage *m : std::as_const(shown.data()->messages))
            if (m->ROWID < 0 && m->highlight) {
                QVERIFY(m->chat);
                ++recovered;
            }
        QCOMPARE(recovered, salvaged.size());
    }

    // How a decoded iOS 5 row becomes a message, or is turned away.
    void ios5RowConversion_data()
    {
        QTest::addColumn<QVariantMap>("changes"); // column -> value over a received SMS
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("service");
        QTest::addColumn<int>("fromMe");
        const QVariantMap sms;
        auto im = [](const QVariantMap &over) {
            QVariantMap m {{"is_madrid", 1},
                           {"madrid_service", "Madrid"},
                           {"madrid_guid", "A1B2C3D4-0000-1111-2222-333344445555"},
                           {"madrid_handle", "+12025550199"},
                           {"date", 380000000},
                           {"address", QVariant()}};
            for (auto it = over.cbegin(); it != over.cend(); ++it)
                m.insert(it.key(), it.value());
            return m;
        };
        QTest::newRow("received sms") << sms << true << "SMS" << 0;
        QTest::newRow("sent sms") << QVariantMap {{"flags", 3}} << true << "SMS" << 1;
        QTest::newRow("sms without address") << QVariantMap {{"address", ""}} << false << "" << 0;
        QTest::newRow("sms before 2001") << QVariantMap {{"date", 978307200}} << false << "" << 0;
        QTest::newRow("sms in the future")
                << QVariantMap {{"date", QDateTime::currentSecsSinceEpoch() + 86400}} << false << ""
                << 0;
        QTest::newRow("unknown country") << QVariantMap {{"country", "zz"}} << false << "" << 0;
        QTest::newRow("read flag 2") << QVariantMap {{"read", 2}} << false << "" << 0;
        QTest::newRow("ui flags 3") << QVariantMap {{"UIFlags", 3}} << false << "" << 0;
        QTest::newRow("sms with an iMessage guid")
                << QVariantMap {{"madrid_guid", "X"}} << false << "" << 0;
        QTest::newRow("imessage") << im({}) << true << "iMessage" << 0;
        QTest::newRow("delivered imessage is mine")
                << im({{"madrid_date_delivered", 380000010}}) << true << "iMessage" << 1;
        QTest::newRow("imessage service spelt otherwise")
                << im({{"madrid_service", "madrid"}}) << false << "" << 0;
        QTest::newRow("is_madrid 2") << im({{"is_madrid", 2}}) << false << "" << 0;
    }

    void ios5RowConversion()
    {
        QFETCH(QVariantMap, changes);
        QFETCH(bool, accepted);
        QFETCH(QString, service);
        QFETCH(int, fromMe);
        const ScanColumns cols(ios5MessageColumns(33));
        Sqlite3FileRow row;
        row.rowid = 7;
        row.values = QList<QVariant>(33);
        auto set = [&](const QString &name, const QVariant &v) {
            row.values[cols.indexOf(name)] = v;
        };
        set("address", "(202) 555-0177");
        set("date", qint64(1350000000));
        set("text", "hello");
        set("flags", 2);
        set("UIFlags", 0);
        set("read", 1);
        set("country", "us");
        set("is_madrid", 0);
        for (auto it = changes.cbegin(); it != changes.cend(); ++it)
            set(it.key(), it.value());
        CountryLibDb countries("310");
        _MsgRecycleMessage m;
        QCOMPARE(ios5RowToMessage(row, cols, countries, m), accepted);
        QCOMPARE(acceptIOS5MessageRow(&row),
                 !changes.contains("read") && !changes.contains("UIFlags")
                         && changes.value("is_madrid", 0).toInt() != 2);
        if (!accepted)
            return;
        QCOMPARE(m.service, service);
        QCOMPARE(m.is_from_me, fromMe);
        QCOMPARE(m.ROWID, 7);
        if (service == "SMS") {
            QCOMPARE(m.date, 1350000000 - 978307200);
            QVERIFY2(m.chat_identifier.endsWith("2025550177"), qPrintable(m.chat_identifier));
        } else {
            QCOMPARE(m.guid, QString("A1B2C3D4-0000-1111-2222-333344445555"));
            QCOMPARE(m.date, 380000000);
            QVERIFY2(m.handleAddress.endsWith("2025550199"), qPrintable(m.handleAddress));
            QCOMPARE(m.chat_identifier, m.handleAddress);
        }
    }

    // A table of 32 columns (no madrid_account_guid) keeps is_madrid at 29
    // like the table of 33: its iMessage rows have no address and an iOS
    // date, so they are read as iMessages; taking every such row for an SMS
    // would shift the date by 31 years and drop it for the missing address.
    void ios5RowsOf32Values_data()
    {
        QTest::addColumn<QVariantMap>("values");
        QTest::addColumn<QString>("service"); // empty: rejected
        const QVariantMap sms {{"address", "(202) 555-0177"}, {"date", qint64(1350000000)},
                               {"is_madrid", 0}};
        const QVariantMap im {{"address", QVariant()},
                              {"date", 380000000},
                              {"is_madrid", 1},
                              {"madrid_service", "Madrid"},
                              {"madrid_guid", "A1B2C3D4-0000-1111-2222-333344445555"},
                              {"madrid_handle", "+12025550199"},
                              {"madrid_account", "e:me@example.com"}};
        QVariantMap smsWithGuid = sms;
        smsWithGuid.insert("madrid_guid", "A1B2C3D4-0000-1111-2222-333344445555");
        QVariantMap smsNullMadrid = sms;
        smsNullMadrid.insert("is_madrid", QVariant());
        QTest::newRow("sms") << sms << "SMS";
        QTest::newRow("sms, is_madrid NULL") << smsNullMadrid << "SMS";
        QTest::newRow("imessage") << im << "iMessage";
        QTest::newRow("sms holding an iMessage column") << smsWithGuid << "";
    }

    void ios5RowsOf32Values()
    {
        QFETCH(QVariantMap, values);
        QFETCH(QString, service);
        const ScanColumns cols(ios5MessageColumns(32));
        QCOMPARE(cols.columns().size(), 32);
        Sqlite3FileRow row;
        row.rowid = 9;
        row.values = QList<QVariant>(32);
        auto set = [&](const QString &name, const QVariant &v) {
            QVERIFY(cols.indexOf(name) >= 0);
            row.values[cols.indexOf(name)] = v;
        };
        set("text", "hello");
        set("flags", 2);
        set("UIFlags", 0);
        set("read", 1);
        set("country", "us");
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            set(it.key(), it.value());
        QVERIFY(acceptIOS5MessageRow(&row));
        CountryLibDb countries("310");
        _MsgRecycleMessage m;
        QCOMPARE(ios5RowToMessage(row, cols, countries, m), !service.isEmpty());
        if (service.isEmpty())
            return;
        QCOMPARE(m.service, service);
        if (service == "iMessage") {
            QCOMPARE(m.date, 380000000);
            QCOMPARE(m.guid, QString("A1B2C3D4-0000-1111-2222-333344445555"));
            QCOMPARE(m.account, QString("e:me@example.com"));
            QVERIFY(m.account_guid.isEmpty());
            QVERIFY2(m.chat_identifier.endsWith("2025550199"), qPrintable(m.chat_identifier));
        } else {
            QCOMPARE(m.date, 1350000000 - 978307200);
            QVERIFY2(m.chat_identifier.endsWith("2025550177"), qPrintable(m.chat_identifier));
        }
    }

    // Carved handle rows: the service in any letter case, the country known.
    void ios6HandleConversion()
    {
        const ScanColumns cols(ios6HandleColumns());
        CountryLibDb countries("310");
        struct Case
        {
            QString country, service;
            bool accepted;
        };
        const QList<Case> cases
                = {{"us", "SMS", true},  {"us", "imessage", true}, {"", "SMS", true},
                   {"zz", "SMS", false}, {"us", "Madrid", false},  {"us", "", false}};
        for (const Case &c : cases) {
            Sqlite3FileRow row;
            row.values = {QVariant(), "+12025550144", c.country, c.service, "202-555-0144"};
            _MsgHandle h;
            QCOMPARE(ios6RowToHandle(row, cols, countries, h), c.accepted);
            QCOMPARE(isHandleServiceRow(&row),
                     c.service.compare("sms", Qt::CaseInsensitive) == 0
                             || c.service.compare("imessage", Qt::CaseInsensitive) == 0);
            if (c.accepted)
                QVERIFY2(h.id.endsWith("2025550144"), qPrintable(h.id));
        }
    }

    // A damaged or foreign file gives a clear error and leaves recycle.db as
    // it was.
    void badFilesLeaveRecycleDbAlone_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file at all
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << QByteArray() << "open";
        QTest::newRow("garbage") << QByteArray(8192, 'x') << "invalid page size";
        QByteArray header("SQLite format 3\0", 16);
        QTest::newRow("cut after the header") << header + QByteArray(84, '\0') << "page size";
        QTest::newRow("no message table") << QByteArray("other") << "no message table";
    }

    void badFilesLeaveRecycleDbAlone()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, error);
        for (int generation : {5, 6}) {
            const QString store = newStore();
            const QString path = PhoneSmsDb::smsDbPathOf(store);
            QDir().mkpath(QFileInfo(path).path());
            if (bytes == "other") {
                RawSqlite raw(path, true);
                raw.exec("create table other(x); insert into other values(1);");
            } else if (!bytes.isEmpty()) {
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(bytes);
            }
            std::unique_ptr<IOS6MessageDb> db6;
            std::unique_ptr<IOS5MessageDb> db5;
            MessageRecycleDb *recycle;
            if (generation == 6) {
                db6 = std::make_unique<IOS6MessageDb>(QDir(store), "310", false);
                recycle = &db6->recycleStore();
            } else {
                db5 = std::make_unique<IOS5MessageDb>(QDir(store), "310");
                recycle = &db5->recycleStore();
            }
            _MsgMessage seed;
            seed.guid = "A1B2C3D4-0000-0000-0000-000000000001";
            seed.text = "kept";
            seed.date = 400000000;
            recycle->insertRecycledMessage(seed, "+12025550100", "+12025550100", 0);
            const QByteArray state = fileState(path);
            QString what;
            try {
                if (db6)
                    scanDeletedMessages(*db6, {});
                else
                    scanDeletedMessages(*db5);
            } catch (const std::exception &e) {
                what = QString::fromUtf8(e.what());
            }
            QVERIFY2(what.contains(error, Qt::CaseInsensitive), qPrintable(what));
            QCOMPARE(recycleCount(store, "message"), 1);
            QCOMPARE(fileState(path), state);
        }
    }

    // A failure half-way through takes back what the scan had stored.
    void failedScanRollsBack()
    {
        const QString store = newStore();
        {
            PhoneSmsDb sms(store);
            sms.db().exec("PRAGMA secure_delete=0;");
            const qint64 h = sms.addHandle("+12025550133");
            const qint64 chat = sms.addChat(h);
            sms.begin();
            for (int i = 0; i < 100; ++i)
                sms.addText(chat, paddedText("doomed", i), h, 400000000 + i);
            sms.commit();
            sms.db().exec("delete from message where rowid % 2 = 0");
            sms.close();
        }
        IOS6MessageDb db(QDir(store), "310", false);
        db.recycleStore().ensureOpen();
        RawSqlite(store + "/recycle.db")
                .exec("create trigger full before insert on message when (select count(*) "
                      "from message) >= 5 begin select raise(abort, 'recycle full'); end;");
        const QStringList indexes = indexesOf(store);
        QVERIFY_THROWS_EXCEPTION(std::exception, scanDeletedMessages(db, {}));
        QVERIFY(!db.recycleStore().inTransaction());
        QCOMPARE(recycleCount(store, "message"), 0);
        QCOMPARE(indexesOf(store), indexes);

        // A caller that holds the transaction and commits what a failing
        // scan left still has every index.
        db.recycleStore().beginTransaction();
        QVERIFY_THROWS_EXCEPTION(std::exception, scanDeletedMessages(db, {}));
        db.recycleStore().endTransaction(true);
        QCOMPARE(recycleCount(store, "message"), 5);
        QCOMPARE(indexesOf(store), indexes);
        QVERIFY(indexesSound(store));

        // The store is usable afterwards.
        RawSqlite(store + "/recycle.db").exec("drop trigger full; delete from message;");
        scanDeletedMessages(db, {});
        QVERIFY(recycleCount(store, "message") >= 45);
        QCOMPARE(indexesOf(store), indexes);
        QVERIFY(indexesSound(store));
    }
};

QTEST_GUILESS_MAIN(TestScans)
#include "tst_scans.moc"
