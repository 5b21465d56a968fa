// Recovery of deleted messages from the window: the command on a local
// database and on a saved iPhone copy, what a later load shows, giving a
// number to salvaged messages, cancelling, and deleting salvaged messages.
#include "jobs/deletemmsthread.h"
#include "recovery/recoverdeletedthread.h"
#include "standins/fakeadb.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/demodata.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/screenshot.h"
#include "tests/support/windowtest.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QImage>
#include <QLineEdit>
#include <QTest>

#include <memory>
#include <sqlite3.h>

namespace {

// Hash of a database file with its log and shared-memory file.
QByteArray fileState(const QString &path)
{
    QCryptographicHash h(QCryptographicHash::Sha256);
    for (const QString &p : {path, path + "-wal", path + "-shm", path + "-journal"}) {
        QFile f(p);
        h.addData(p.toUtf8());
        if (f.open(QIODevice::ReadOnly))
            h.addData(f.readAll());
    }
    return h.result();
}

QString padded(const QString &head, int i)
{
    return QString("%1 %2 ").arg(head).arg(i) + QString("words of the day ").repeated(3 + i % 5);
}

// Where the bytes of deleted texts lie in a database file: on a table leaf
// page between the cell pointer array and the cell content (unallocated
// space), or inside the cell content area (freeblocks). Read from the file
// format alone.
struct LivePagePlaces
{
    int unallocated = 0;
    int freeblocks = 0;
    int elsewhere = 0;
};

LivePagePlaces placesOf(const QString &path, const QList<QString> &texts)
{
    QFile f(path);
    LivePagePlaces out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    const QByteArray bytes = f.readAll();
    const int pageSize = (uchar(bytes[16]) << 8) | uchar(bytes[17]);
    auto be16 = [&](qsizetype o) { return (uchar(bytes[o]) << 8) | uchar(bytes[o + 1]); };
    for (const QString &text : texts) {
        // Stale copies elsewhere (a page that a split turned into an
        // interior page keeps its old cells) do not count.
        int place = 0; // 1 unallocated, 2 freeblock
        const QByteArray probe = text.toUtf8();
        for (qsizetype at = bytes.indexOf(probe); at >= 0 && !place;
             at = bytes.indexOf(probe, at + 1)) {
            const qsizetype page = at / pageSize;
            const qsizetype header = page * pageSize + (page == 0 ? 100 : 0);
            if (uchar(bytes[header]) != 13)
                continue;
            const qsizetype arrayEnd = header - page * pageSize + 8 + 2 * be16(header + 3);
            const qsizetype contentStart = be16(header + 5);
            const qsizetype inPage = at - page * pageSize;
            if (inPage >= arrayEnd && inPage < contentStart)
                place = 1;
            else if (inPage >= contentStart)
                place = 2;
        }
        if (place == 1)
            ++out.unallocated;
        else if (place == 2)
            ++out.freeblocks;
        else
            ++out.elsewhere;
    }
    return out;
}

// A message database whose rows were deleted the way a phone deletes them
// (no secure delete, no vacuum): every fourth message of a conversation
// that stays, a whole conversation with its handle, and a conversation
// whose messages named a handle row that never existed (their
// correspondent cannot be found again). The three conversations' messages
// were written in turn, so that no message page is emptied: every deleted
// record stays on a live page, in a freeblock or in the unallocated space,
// and SQLite keeps it there when the program later writes the file (the
// schema upgrade of a local database).
struct Fixture
{
    QString store;
    QString smsPath;
    QString keptId = "+12025551000";
    QSet<QString> deletedKeptTexts;
    QHash<QString, int> deletedDates; // text -> date of every deleted message
    int deletedMessages = 0;
};

Fixture buildStore(const QString &store, const PhoneSchema &schema, bool deleteRows = true)
{
    Fixture f;
    f.store = store;
    QDir().mkpath(store);
    PhoneSmsDb sms(store, schema);
    f.smsPath = sms.path();
    sms.db().exec("PRAGMA secure_delete=0;");
    // A phone's log stays beside its database: closing does not fold it in.
    if (schema.wal)
        sqlite3_db_config(sms.db().handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sms.begin();
    QList<qint64> handles;
    // Enough handles that deleting most of them frees whole pages, where
    // their rows keep their rowids.
    for (int i = 0; i < 300; ++i)
        handles << sms.addHandle(QString("+1202555%1").arg(1000 + i), "SMS", "us",
                                 QString("(202) 555-%1").arg(1000 + i));
    const qint64 keptChat = sms.addChat(handles[0]);
    const qint64 goneChat = sms.addChat(handles[1]);
    const qint64 lostChat = sms.addChatRow("lost-room", "SMS", 45, {});
    int date = 400000000;
    QList<qint64> doomed;
    QHash<qint64, QString> textOf;
    QHash<qint64, int> dateOf;
    auto add = [&](qint64 chat, const QString &head, int i, qint64 handle, bool fromMe,
                   bool deleted) {
        const QString text = padded(head, i);
        date += 61;
        const qint64 row = sms.addText(chat, text, handle, date, fromMe);
        if (deleted)
            doomed << row;
        textOf.insert(row, text);
        dateOf.insert(row, date);
    };
    // Every fourth message of the kept conversation goes, and the gone and
    // lost ones whole: half of every page.
    for (int i = 0; i < 30; ++i) {
        add(keptChat, "kept chat", 4 * i, handles[0], i % 4 == 0, true);
        add(goneChat, "gone chat", i, handles[1], i % 3 == 0, true);
        add(keptChat, "kept chat", 4 * i + 1, handles[0], false, false);
        add(keptChat, "kept chat", 4 * i + 2, handles[0], true, false);
        add(lostChat, "lost chat", i, 777, false, true);
        add(keptChat, "kept chat", 4 * i + 3, handles[0], false, false);
    }
    sms.commit();
    if (deleteRows) {
        sms.begin();
        for (qint64 row : std::as_const(doomed)) {
            sms.db().run("delete from message where rowid=?", {row});
            sms.db().run("delete from chat_message_join where message_id=?", {row});
            f.deletedDates.insert(textOf.value(row), dateOf.value(row));
            if (textOf.value(row).startsWith("kept chat"))
                f.deletedKeptTexts.insert(textOf.value(row));
        }
        for (qint64 chat : {goneChat, lostChat}) {
            sms.db().run("delete from chat_handle_join where chat_id=?", {chat});
            sms.db().run("delete from chat where rowid=?", {chat});
        }
        sms.commit();
        // No message page went to the freelist.
        if (sms.db().scalar("PRAGMA freelist_count").toInt() != 0)
            qFatal("the fixture freed message pages");
        sms.db().run("delete from handle where rowid between ? and ?", {handles[1], handles[250]});
        f.deletedMessages = int(f.deletedDates.size());
    }
    sms.close();
    if (schema.localColumns)
        fillChatLastDates(f.smsPath);
    return f;
}

int recycleCount(const QString &store, const char *table, const QString &where = {})
{
    const QString path = QDir(store).absoluteFilePath("recycle.db");
    if (!QFileInfo::exists(path))
        return -1;
    return sqliteScalar(path, QString("select count(*) from %1 %2").arg(table, where)).toInt();
}

// Selects the node; the recovery commands need a second round of queued calls.
void select(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
{
    selectNode(w, node);
    QCoreApplication::processEvents();
}

bool isRed(MainWindow &w, AbsTreeItemModel::_ItemNode *node)
{
    return w.treeModelObject()->indexForNode(node).data(Qt::ForegroundRole).value<QColor>()
            == QColor(255, 0, 0);
}

// The conversation nodes of a source by chat identifier of their first chat.
QHash<QString, _ChatSessionItemNode *> conversations(_AbsDBItemNode *src)
{
    QHash<QString, _ChatSessionItemNode *> out;
    for (auto *n : src->children) {
        auto *c = static_cast<_ChatSessionItemNode *>(n);
        if (!c->chats.isEmpty())
            out.insert(c->chats.first()->chat_identifier, c);
    }
    return out;
}

QList<_MsgMessage *> messagesOf(const _ChatSessionItemNode *c)
{
    QList<_MsgMessage *> out;
    for (const _MsgChat *chat : c->chats)
        out += chat->messages.values();
    return out;
}

int highlighted(const QList<_MsgMessage *> &list)
{
    return int(std::count_if(list.cbegin(), list.cend(),
                             [](const _MsgMessage *m) { return m->highlight; }));
}

} // namespace

class TestRecoveryWindow : public QObject
{
    Q_OBJECT

    WindowTestEnv env;
    std::unique_ptr<FakeAdb> adb;

    // The folder of a source of the data folder: a local database or a
    // saved iPhone copy.
    static QString sourceFolder(bool localDb, const QString &name)
    {
        return localDb ? localDatabasesFolder().absoluteFilePath(name)
                       : dataFolder().absoluteFilePath("virtual_ios/" + name);
    }
    static _AbsDBItemNode *sourceNode(MainWindow &w, bool localDb, const QString &name)
    {
        ItemModelMain *m = w.treeModelObject();
        const auto &list = localDb ? m->localDbRoot->children : m->devicesRoot->children;
        for (auto *n : list)
            if (n->text.contains(name))
                return static_cast<_AbsDBItemNode *>(n);
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(env.setUp());
        adb = std::make_unique<FakeAdb>();
        QVERIFY(adb->isValid());
    }
    void init() { clearDataSubfolders({"local_databases", "virtual_ios", "virtual_android"}); }

    void recoverShowsSalvagedMessagesInRed_data()
    {
        QTest::addColumn<bool>("localDb");
        QTest::addColumn<PhoneSchema>("schema");
        QTest::newRow("local database") << true << PhoneSchema::olderLocal();
        QTest::newRow("saved iPhone copy") << false << PhoneSchema::ios6();
    }

    // The command, a later load without scanning, and a number given to the
    // conversation of unknown number.
    void recoverShowsSalvagedMessagesInRed()
    {
        QFETCH(bool, localDb);
        QFETCH(PhoneSchema, schema);
        const Fixture f = buildStore(sourceFolder(localDb, "Kept"), schema);
        // The deleted records lie in both kinds of free space of live pages.
        const LivePagePlaces places = placesOf(f.smsPath, f.deletedDates.keys());
        QVERIFY2(places.unallocated > 0 && places.freeblocks > 0 && places.elsewhere == 0,
                 qPrintable(QString("%1 unallocated, %2 in freeblocks, %3 elsewhere")
                                    .arg(places.unallocated)
                                    .arg(places.freeblocks)
                                    .arg(places.elsewhere)));
        int salvaged = 0;
        {
            MainWindow w;
            _AbsDBItemNode *src = sourceNode(w, localDb, "Kept");
            QVERIFY(src);
            select(w, src);
            QVERIFY(!src->children.isEmpty());
            QCOMPARE(recycleCount(f.store, "message"), -1); // loading made none
            const QByteArray before = fileState(f.smsPath);

            ModalAnswerer answerer;
            answerer.act("QMessageBox", [](QWidget *box) {
                saveShot(box, "recovered-box");
                ModalAnswerer::clickButton(box, "btnOk");
            });
            QVERIFY(QMetaObject::invokeMethod(&w, "miRecoverDeleted"));
            QVERIFY(answerer.stuck().isEmpty());
            QCOMPARE(fileState(f.smsPath), before);
            w.resize(1100, 700);
            w.show();
            QCoreApplication::processEvents();
            saveShot(&w, QString("recovered-window-%1").arg(localDb ? "local" : "saved"));

            salvaged = recycleCount(f.store, "message");
            const int handles = recycleCount(f.store, "handle");
            // Every deleted message is back, with its text and date.
            QCOMPARE(salvaged, f.deletedMessages);
            QVERIFY(handles >= 200);
            QCOMPARE(answerer.seen().size(), 1);
            QCOMPARE(answerer.seen().at(0).text,
                     ids("IDS_RECOVERED_%1_MESSAGES_%2_HANDLES").arg(salvaged).arg(handles));

            // The conversations: the kept one, live, now holds its deleted
            // messages in red; the gone one is back under its salvaged
            // handle and the lost one under an unknown number, both red.
            src = sourceNode(w, localDb, "Kept");
            const auto convs = conversations(src);
            QVERIFY(convs.contains(f.keptId));
            QVERIFY(!isRed(w, convs.value(f.keptId)));
            const QList<_MsgMessage *> kept = messagesOf(convs.value(f.keptId));
            QCOMPARE(kept.size() - highlighted(kept), 90);
            for (const _MsgMessage *m : kept)
                if (m->highlight)
                    QVERIFY2(f.deletedKeptTexts.contains(m->text), qPrintable(m->text));
            QCOMPARE(highlighted(kept), int(f.deletedKeptTexts.size()));
            // Named by its salvaged handle when the handle's row kept its
            // rowid, else by the handle_id it had.
            _ChatSessionItemNode *gone = convs.value("+12025551001", convs.value("unknown2"));
            QVERIFY(gone);
            QVERIFY(isRed(w, gone));
            QVERIFY(convs.contains("unknown777"));
            QVERIFY(isRed(w, convs.value("unknown777")));
            const QList<_MsgMessage *> lost = messagesOf(convs.value("unknown777"));
            QCOMPARE(lost.size(), 30);
            QCOMPARE(highlighted(lost), lost.size());
            QCOMPARE(highlighted(messagesOf(gone)), 30);

            // The list of the source shows every message, salvaged ones red.
            QCOMPARE(w.currentSourceNode(), src);
            const MsgMessageList shown = w.shownMessages();
            QCOMPARE(shown.size(), 90 + salvaged);
            int red = 0;
            for (int row = 0; row < shown.size(); ++row)
                if (w.smsModelObject()->rowIndex(row).data(Qt::ForegroundRole).value<QBrush>().color()
                    == QColor(255, 0, 0))
                    ++red;
            QCOMPARE(red, salvaged);
            QHash<QString, int> back;
            for (const _MsgMessage *m : shown)
                if (m->highlight)
                    back.insert(m->text, m->date);
            QCOMPARE(back, f.deletedDates);
        }

        // A later start shows them without scanning again.
        const QByteArray recycleBefore = fileState(f.store + "/recycle.db");
        MainWindow w;
        _AbsDBItemNode *src = sourceNode(w, localDb, "Kept");
        ModalAnswerer answerer;
        select(w, src);
        auto convs = conversations(src);
        QVERIFY(convs.contains("unknown777"));
        QVERIFY(isRed(w, convs.value("unknown777")));
        QCOMPARE(highlighted(w.shownMessages()), salvaged);
        QVERIFY(answerer.seen().isEmpty());
        QCOMPARE(fileState(f.store + "/recycle.db"), recycleBefore);

        // A number for the conversation of unknown number moves its messages.
        const int lostCount = int(messagesOf(convs.value("unknown777")).size());
        select(w, convs.value("unknown777"));
        answerer.act("SetMsgNumDialog", [](QWidget *d) {
            saveShot(d, "set-number-dialog");
            d->findChild<QLineEdit *>("txtNumber")->setText("  +12025550999 ");
            QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
        });
        answerer.press("QMessageBox", "btnYes");
        QVERIFY(QMetaObject::invokeMethod(&w, "miAssignNumber"));
        QVERIFY(answerer.stuck().isEmpty());
        QCOMPARE(answerer.seen().size(), 2);
        src = sourceNode(w, localDb, "Kept");
        convs = conversations(src);
        QVERIFY(!convs.contains("unknown777"));
        QVERIFY(convs.contains("+12025550999"));
        QVERIFY(isRed(w, convs.value("+12025550999")));
        QCOMPARE(messagesOf(convs.value("+12025550999")).size(), lostCount);
        QCOMPARE(recycleCount(f.store, "message", "where chat_identifier='+12025550999'"),
                 lostCount);
    }

    void viewingSavedCopiesChangesNothing_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<PhoneSchema>("schema");
        PhoneSchema wal = PhoneSchema::ios6();
        wal.wal = true;
        QTest::newRow("iPhone copy") << "virtual_ios" << PhoneSchema::ios6();
        QTest::newRow("early iPhone copy") << "virtual_ios" << PhoneSchema::ios6WithoutItemType();
        QTest::newRow("iPhone copy with its log") << "virtual_ios" << wal;
        QTest::newRow("Android copy") << "virtual_android" << PhoneSchema::olderLocal();
    }

    // Selecting a saved copy, its conversations and its messages reads it as
    // it is: no schema upgrade, no file of the copy changed, none added.
    void viewingSavedCopiesChangesNothing()
    {
        QFETCH(QString, folder);
        QFETCH(PhoneSchema, schema);
        const QString store = dataFolder().absoluteFilePath(folder + "/Copy");
        const Fixture f = buildStore(store, schema);
        const int columns
                = int(sqliteRows(f.smsPath, "select name from pragma_table_info('message')").size());
        if (schema.wal) {
            // A copy holds the database and its log; the wal-index beside
            // them is made anew by whoever reads them.
            QVERIFY(QFileInfo::exists(f.smsPath + "-wal"));
            QFile::remove(f.smsPath + "-shm");
        }
        auto filesOf = [&store] {
            QMap<QString, QByteArray> out;
            QDirIterator it(store, QDir::Files | QDir::Hidden | QDir::System,
                            QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                QFile file(path);
                if (file.open(QIODevice::ReadOnly))
                    out.insert(path, QCryptographicHash::hash(file.readAll(),
                                                              QCryptographicHash::Sha256));
            }
            return out;
        };
        const QMap<QString, QByteArray> before = filesOf();
        {
            MainWindow w;
            _AbsDBItemNode *src = nullptr;
            for (auto *n : w.treeModelObject()->devicesRoot->children)
                if (n->text.contains("Copy"))
                    src = static_cast<_AbsDBItemNode *>(n);
            QVERIFY(src);
            select(w, src);
            QCOMPARE(w.shownMessages().size(), 90);
            const QList<AbsTreeItemModel::_ItemNode *> chats = src->children;
            QVERIFY(!chats.isEmpty());
            for (auto *chat : chats)
                select(w, chat);
            select(w, src);
            // While a log is read its wal-index stands beside it; it goes
            // with the last connection.
            QMap<QString, QByteArray> now = filesOf();
            now.remove(f.smsPath + "-shm");
            QCOMPARE(now, before);
        }
        QCOMPARE(filesOf(), before);
        QCOMPARE(int(sqliteRows(f.smsPath, "select name from pragma_table_info('message')").size()),
                 columns);
    }

    // The generated demo data: its pictures are images, and its saved iPhone
    // copy holds a conversation deleted the way a phone deletes it, which
    // the command brings back whole, in red, under its number.
    void demoDataShowsPicturesAndRecovery()
    {
        DemoDataSpec spec;
        spec.messages = 600;
        spec.chats = 8;
        QVERIFY(fillDemoDataFolder(dataFolder().absolutePath(), spec) > 600);
        int pictures = 0;
        QDirIterator it(dataFolder().absolutePath(), {"*.JPG"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            QVERIFY2(!QImage(path).isNull(), qPrintable(path));
            ++pictures;
        }
        QVERIFY(pictures > 0);

        MainWindow w;
        _AbsDBItemNode *src = sourceNode(w, false, "Demo iPhone");
        QVERIFY(src);
        select(w, src);
        ModalAnswerer answerer;
        answerer.press("QMessageBox", "btnOk");
        QVERIFY(QMetaObject::invokeMethod(&w, "miRecoverDeleted"));
        QCOMPARE(answerer.seen().size(), 1);
        const int salvaged = recycleCount(src->db.dynamicCast<IOS6MessageDb>()->dataDir().absolutePath(),
                                          "message");
        QVERIFY(salvaged >= 20);
        QCOMPARE(answerer.seen().at(0).text,
                 ids("IDS_RECOVERED_%1_MESSAGES_%2_HANDLES").arg(salvaged).arg(3));
        src = sourceNode(w, false, "Demo iPhone");
        _ChatSessionItemNode *gone = conversations(src).value("+13035550199");
        QVERIFY(gone);
        QVERIFY(isRed(w, gone));
        const QList<_MsgMessage *> back = messagesOf(gone);
        QCOMPARE(back.size(), 20);
        QCOMPARE(highlighted(back), 20);
    }

    // The number dialog keeps what it works on when the source goes while it
    // runs, and the window touches nothing of the gone node afterwards.
    void sourceRemovedWhileTheDialogRuns()
    {
        const Fixture f = buildStore(sourceFolder(true, "Gone"), PhoneSchema::olderLocal());
        MainWindow w;
        _AbsDBItemNode *src = sourceNode(w, true, "Gone");
        select(w, src);
        ModalAnswerer answerer;
        answerer.setDefaultBoxAnswer("btnOk");
        QVERIFY(QMetaObject::invokeMethod(&w, "miRecoverDeleted"));
        src = sourceNode(w, true, "Gone");
        _ChatSessionItemNode *lost = conversations(src).value("unknown777");
        QVERIFY(lost);
        const int lostCount = int(messagesOf(lost).size());
        select(w, lost);
        answerer.act("SetMsgNumDialog", [&w, src](QWidget *d) {
            w.removeSourceNode(src);
            d->findChild<QLineEdit *>("txtNumber")->setText("+12025550888");
            QMetaObject::invokeMethod(d, "accept", Qt::QueuedConnection);
        });
        answerer.press("QMessageBox", "btnYes");
        QVERIFY(QMetaObject::invokeMethod(&w, "miAssignNumber"));
        QVERIFY(answerer.stuck().isEmpty());
        QVERIFY(!sourceNode(w, true, "Gone"));
        QCOMPARE(recycleCount(f.store, "message", "where chat_identifier='+12025550888'"),
                 lostCount);
    }

    // A database without deleted rows: the command says so and nothing red
    // appears.
    void scanWithoutDeletedRows()
    {
        const Fixture f = buildStore(sourceFolder(true, "Clean"), PhoneSchema::olderLocal(), false);
        MainWindow w;
        _AbsDBItemNode *src = sourceNode(w, true, "Clean");
        select(w, src);
        ModalAnswerer answerer;
        answerer.press("QMessageBox", "btnOk");
        QVERIFY(QMetaObject::invokeMethod(&w, "miRecoverDeleted"));
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().at(0).text, QString("No deleted messages were found"));
        QCOMPARE(recycleCount(f.store, "message"), 0);
        src = sourceNode(w, true, "Clean");
        QCOMPARE(src->children.size(), 3);
        for (auto *n : src->children)
            QVERIFY(!isRed(w, n));
        QCOMPARE(highlighted(w.shownMessages()), 0);
    }

    // Without a scannable source the command only asks for one.
    void commandNeedsAnIPhoneOrADatabase()
    {
        MainWindow w;
        ModalAnswerer answerer;
        answerer.press("QMessageBox", "btnOk");
        QVERIFY(QMetaObject::invokeMethod(&w, "miRecoverDeleted"));
        QCOMPARE(answerer.seen().size(), 1);
        QCOMPARE(answerer.seen().at(0).text, ids("IDS_CHOOSE_IPHONE_OR_DB_TO_RECOVER"));
    }

    // Cancelling between the two scans undoes the first one's rows too:
    // recycle.db keeps what an earlier scan stored and nothing more.
    void cancelMidScanLeavesRecycleDbAsItWas()
    {
        const QString store = env.makeDir("cancel");
        buildStore(store, PhoneSchema::ios6());
        auto db = QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(QDir(store), "310", false));
        {
            ProgressForm form("scan");
            RecoverDeletedThread job(db, &form);
            QVERIFY(runJobPressingOk(form, &job).ok);
            QVERIFY(job.messagesRecovered() > 0);
        }
        // More deleted rows, then a scan cancelled after the handle scan.
        {
            RawSqlite raw(PhoneSmsDb::smsDbPathOf(store));
            raw.exec("PRAGMA secure_delete=0;");
            raw.exec("begin;");
            for (int i = 0; i < 300; ++i)
                raw.run("insert into handle (id, country, service, uncanonicalized_id) values "
                        "(?, 'us', 'SMS', ?)",
                        {QString("+1303555%1").arg(1000 + i), QString("(303) 555-%1").arg(1000 + i)});
            raw.exec("commit; begin; delete from message where rowid % 3 = 2; "
                     "delete from handle where id like '+1303%'; commit;");
        }
        const int messages = recycleCount(store, "message");
        const int handles = recycleCount(store, "handle");
        const auto rows = sqliteRows(store + "/recycle.db", "select guid from message order by 1");
        ProgressForm form("scan");
        RecoverDeletedThread job(db, &form);
        int handlesMidScan = 0;
        auto cancel = cancelAfterItems(form, 1);
        job.betweenScansHook = [&] {
            Sqlite3Cursor c = recycleStoreOf(db.data())->queryThrow(
                    Sqlite3Sql("select count(*) from handle"));
            c.moveNext();
            handlesMidScan = int(c.getInt64(0));
            cancel(1);
        };
        ModalAnswerer answerer;
        const JobOutcome out = runJobUnderForm(form, &job, answerer);
        QVERIFY(!out.ok);
        QVERIFY(out.boxes.isEmpty());
        QVERIFY2(handlesMidScan > handles, qPrintable(QString::number(handlesMidScan)));
        QCOMPARE(recycleCount(store, "message"), messages);
        QCOMPARE(recycleCount(store, "handle"), handles);
        QCOMPARE(sqliteRows(store + "/recycle.db", "select guid from message order by 1"), rows);
        QCOMPARE(job.messagesRecovered(), 0);
    }

    // A scan's point of no return is its commit into recycle.db: a Cancel
    // just before it keeps nothing, one just after it is refused and the
    // scan is reported with what it stored.
    void cancelAroundTheScanCommit_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<bool>("committed");
        QTest::newRow("before the commit") << "commit-asked" << false;
        QTest::newRow("after it began") << "commit-begun" << true;
    }

    void cancelAroundTheScanCommit()
    {
        QFETCH(QString, point);
        QFETCH(bool, committed);
        const QString store = env.makeDir(QStringLiteral("commit-%1").arg(committed));
        buildStore(store, PhoneSchema::ios6());
        auto db = QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(QDir(store), "310", false));
        ProgressForm form("scan");
        RecoverDeletedThread job(db, &form);
        JobOutcome out;
        {
            CancelAtKillPoint press(form, point.toLatin1().constData());
            out = runJobPressingOk(form, &job);
            QVERIFY(press.pressed());
        }
        QCOMPARE(out.ok, committed);
        QVERIFY(out.boxes.isEmpty());
        QVERIFY(out.stuck.isEmpty());
        if (committed) {
            QVERIFY(job.messagesRecovered() > 0);
            QCOMPARE(recycleCount(store, "message"), job.messagesRecovered());
        } else {
            QCOMPARE(job.messagesRecovered(), 0);
            QVERIFY(recycleCount(store, "message") <= 0); // none, or no recycle.db at all
        }
    }

    // Deleting salvaged messages takes them out of recycle.db together with
    // the live ones; a cancelled deletion keeps both.
    void deletingSalvagedMessages()
    {
        const QString store = env.makeDir("delete");
        buildStore(store, PhoneSchema::olderLocal());
        auto db = QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(QDir(store), "310", true));
        {
            ProgressForm form("scan");
            RecoverDeletedThread job(db, &form);
            QVERIFY(runJobPressingOk(form, &job).ok);
        }
        const int salvaged = recycleCount(store, "message");
        const QString smsPath = PhoneSmsDb::smsDbPathOf(store);
        const int live = sqliteScalar(smsPath, "select count(*) from message").toInt();

        auto loadVictims = [&](MsgDataSet &set) {
            IOS6MessageDb reader(QDir(store), "310", false);
            set.reset();
            reader.chats(set);
            reader.loadRecycledChats(set);
            reader.messages(set, 0);
            MsgMessageList victims;
            int s = 0, l = 0;
            for (_MsgMessage *m : set.data()->messages) {
                if (m->highlight && s < 3) {
                    victims << m;
                    ++s;
                } else if (!m->highlight && l < 2) {
                    victims << m;
                    ++l;
                }
            }
            return victims;
        };
        QDir folder(store);
        {
            MsgDataSet set;
            MsgMessageList victims = loadVictims(set);
            ProgressForm form("delete");
            DeleteMMSThread job(&folder, &victims, &form);
            job.itemHook = cancelAfterItems(form, 4);
            ModalAnswerer answerer;
            QVERIFY(!runJobUnderForm(form, &job, answerer).ok);
            QCOMPARE(recycleCount(store, "message"), salvaged);
            QCOMPARE(sqliteScalar(smsPath, "select count(*) from message").toInt(), live);
        }
        MsgDataSet set;
        MsgMessageList victims = loadVictims(set);
        QCOMPARE(victims.size(), 5);
        ProgressForm form("delete");
        DeleteMMSThread job(&folder, &victims, &form);
        QVERIFY(runJobPressingOk(form, &job).ok);
        QCOMPARE(recycleCount(store, "message"), salvaged - 3);
        QCOMPARE(sqliteScalar(smsPath, "select count(*) from message").toInt(), live - 2);
        for (const _MsgMessage *m : victims)
            if (m->highlight)
                QCOMPARE(sqliteScalar(store + "/recycle.db", "select count(*) from message where rowid=?",
                                      {MessageRecycleDb::recycleRowidOf(*m)})
                                 .toInt(),
                         0);
    }
};

QTEST_MAIN(TestRecoveryWindow)
#include "tst_recoverywindow.moc"
