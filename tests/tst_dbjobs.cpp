// The jobs that change local message databases and the files beside them,
// each run under its progress dialog as the program runs it: copying
// messages into a new or existing local database, deleting messages with
// their attachment files, extracting attachment files into a folder, and
// converting the old single-file databases. Every job is also cancelled and
// made to fail part-way, and must then leave the archive as it was.

#include "jobs/attachmentextractthread.h"
#include "jobs/backupsmsthread.h"
#include "jobs/deletemmsthread.h"
#include "jobs/updatelocaldbthread.h"
#include "store/datafolder.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTranslator>
#include <QRegularExpression>
#include <QtTest>

#include <atomic>
#include <functional>
#include <memory>

namespace {

const QChar kFFFC(0xFFFC);

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

// Every file below folder with the MD5 of its content, sorted.
QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        out << QDir(folder).relativeFilePath(path) + QLatin1Char(' ') + md5Of(fileBytes(path));
    }
    out.sort();
    return out;
}

QString smsDbOf(const QString &store)
{
    return PhoneSmsDb::smsDbPathOf(store);
}

// The rows of every message table of a store's database, as text.
QStringList tableRows(const QString &store)
{
    QStringList out;
    for (const char *table : {"chat", "handle", "message", "attachment", "chat_handle_join",
                              "chat_message_join", "message_attachment_join"}) {
        const auto rows = sqliteRows(smsDbOf(store),
                                     QStringLiteral("select * from %1 order by rowid").arg(table));
        for (const QVariantList &row : rows) {
            QStringList cells;
            for (const QVariant &v : row)
                cells << (v.isNull() ? QStringLiteral("NULL") : v.toString());
            out << QLatin1String(table) + QLatin1Char(':') + cells.join(QLatin1Char('|'));
        }
    }
    return out;
}

// What a store holds: its rows and its files.
struct StoreSnapshot
{
    QStringList rows;
    QStringList files;
    bool operator==(const StoreSnapshot &o) const { return rows == o.rows && files == o.files; }
};

StoreSnapshot snapshot(const QString &store)
{
    return {tableRows(store), filesBelow(store)};
}

qint64 countRows(const QString &store, const QString &table)
{
    return sqliteScalar(smsDbOf(store), QStringLiteral("select count(*) from %1").arg(table))
            .toLongLong();
}

// A store's records as the program loads them.
struct LoadedStore
{
    MsgDataSet set;
    MsgMessageList messages;
};

LoadedStore loadStore(const QString &store)
{
    LoadedStore out;
    IOS6MessageDb db(QDir(store), QString(), false);
    out.set.reset();
    db.messages(out.set, 0);
    out.messages = out.set.data()->messages.values();
    return out;
}

using Outcome = JobOutcome;

// Runs job under form as an action would, pressing OK on every box.
Outcome runUnder(ProgressForm &form, QThread &job)
{
    return runJobPressingOk(form, &job);
}

std::function<void(int)> cancelAfter(ProgressForm &form, int n)
{
    return cancelAfterItems(form, n);
}

// A phone store with a few conversations, texts and picture attachments.
QString makePhoneStore(const QString &folder, int messages, quint32 seed)
{
    GeneratedSmsDbSpec spec;
    spec.messages = messages;
    spec.chats = 5;
    spec.attachmentShare = 0.25;
    spec.systemItemShare = 0;
    spec.seed = seed;
    generatePhoneSmsDb(folder, spec);
    return folder;
}

// ---------------------------------------------------------- old databases

// Writes an old-format database: message, handle, attachment and
// message_attachment, with the attachment files in "attachments" beside it.
class OldDb
{
public:
    explicit OldDb(const QString &folder, bool withAttachmentTables = true)
        : m_folder(folder)
    {
        QDir().mkpath(folder);
        m_db = std::make_unique<RawSqlite>(folder + "/mms.db", true);
        m_db->exec("CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
                   "person TEXT);"
                   "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, handle_id "
                   "INTEGER, body TEXT, subject TEXT, date INTEGER, is_send INTEGER);");
        if (withAttachmentTables)
            m_db->exec("CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                       "filename TEXT, mime_type TEXT);"
                       "CREATE TABLE message_attachment (message_id INTEGER, attachment_id "
                       "INTEGER);");
    }

    qint64 handle(const QString &address, const QString &person = {})
    {
        return m_db->run("INSERT INTO handle (address, person) VALUES (?, ?)", {address, person});
    }
    qint64 message(qint64 handle, const QString &body, qint64 unixDate, bool sent,
                   const QString &subject = {})
    {
        return m_db->run("INSERT INTO message (handle_id, body, subject, date, is_send) VALUES "
                         "(?, ?, ?, ?, ?)",
                         {handle, body, subject, unixDate, sent ? 1 : 0});
    }
    // The file is written at "attachments/" + filename unless bytes is null.
    qint64 attachment(qint64 message, const QString &filename, const QString &mime,
                      const QByteArray &bytes)
    {
        const qint64 a = m_db->run("INSERT INTO attachment (filename, mime_type) VALUES (?, ?)",
                                   {filename, mime});
        m_db->run("INSERT INTO message_attachment (message_id, attachment_id) VALUES (?, ?)",
                  {message, a});
        if (!bytes.isNull())
            writeFile(m_folder + "/attachments/" + filename, bytes);
        return a;
    }
    void close() { m_db.reset(); }

private:
    QString m_folder;
    std::unique_ptr<RawSqlite> m_db;
};

// The message rows of a converted store: text, date, is_from_me, and the
// filename and file bytes of its one attachment when it has one.
struct StoredMessage
{
    QString text;
    qint64 date = 0;
    int fromMe = 0;
    QString guid;
    QString attachmentFilename;
    QString attachmentMime;
    QByteArray attachmentBytes;
    QString chatGuid;
};

QList<StoredMessage> storedMessages(const QString &store)
{
    QList<StoredMessage> out;
    const auto rows = sqliteRows(
            smsDbOf(store),
            "select m.text, m.date, m.is_from_me, m.guid, a.filename, a.mime_type, c.guid from "
            "message as m left join message_attachment_join as j on j.message_id=m.rowid left "
            "join attachment as a on a.rowid=j.attachment_id left join chat_message_join as cj "
            "on cj.message_id=m.rowid left join chat as c on c.rowid=cj.chat_id order by "
            "m.rowid");
    for (const QVariantList &r : rows) {
        StoredMessage m;
        m.text = r.value(0).toString();
        m.date = r.value(1).toLongLong();
        m.fromMe = r.value(2).toInt();
        m.guid = r.value(3).toString();
        m.attachmentFilename = r.value(4).toString();
        m.attachmentMime = r.value(5).toString();
        if (!m.attachmentFilename.isEmpty())
            m.attachmentBytes = fileBytes(IOS6MessageDb::attachmentLocalPath(
                    QDir(store + "/file-relay"), m.attachmentFilename));
        m.chatGuid = r.value(6).toString();
        out << m;
    }
    return out;
}

} // namespace

class TestDbJobs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void backupIntoNewAndExistingDatabase();
    void backupOfEmptyListCreatesDatabase();
    void backupKeepsMessageWhoseFileCannotBeCopied();
    void backupCancelledOrFailedKeepsArchive_data();
    void backupCancelledOrFailedKeepsArchive();
    void backupCancelAroundCommit_data();
    void backupCancelAroundCommit();

    void deleteRemovesRowsAndFiles();
    void deleteKeepsSharedAndForeignFiles();
    void deleteCancelledOrFailedKeepsArchive_data();
    void deleteCancelledOrFailedKeepsArchive();
    void deleteCancelAroundCommit_data();
    void deleteCancelAroundCommit();

    void outputFileNames_data();
    void outputFileNames();
    void extractWritesOnlyInsideItsFolder();
    void extractCancelledRemovesOnlyItsOwnFiles();
    void extractCancelAroundCommit_data();
    void extractCancelAroundCommit();

    void convertOldDatabases();
    void convertAgainAddsNothingAndKeepsEarlierBackup();
    void convertFailureKeepsOldFileAndTarget();
    void convertWithNothingToDo();

private:
    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<QTemporaryDir> m_work;
    QTranslator m_translator;
    QString work(const QString &name) const { return m_work->path() + QLatin1Char('/') + name; }
};

void TestDbJobs::initTestCase()
{
    m_env = std::make_unique<TestEnv>();
    resetDataFolderCache();
    QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
    QCoreApplication::installTranslator(&m_translator);
}

void TestDbJobs::init()
{
    m_work = std::make_unique<QTemporaryDir>();
    QVERIFY(m_work->isValid());
    removeFolderRecursively(localDatabasesFolder().absolutePath());
    removeFolderRecursively(dataFolder().absoluteFilePath("data"));
}

// ------------------------------------------------------------------ backup

void TestDbJobs::backupIntoNewAndExistingDatabase()
{
    const QString phone = makePhoneStore(work("phone"), 60, 7);
    const LoadedStore source = loadStore(phone);
    const int n = int(source.messages.size());
    const QString target = localDatabasesFolder().absoluteFilePath("Family");
    QVERIFY(!QFileInfo::exists(target));

    {
        ProgressForm form(ids("IDS_BACKING_UP_SMS"));
        BackupSMSThread job(source.messages, QDir(target), QString(), &form);
        const Outcome out = runUnder(form, job);
        QVERIFY(out.ok);
        QCOMPARE(
                out.boxes,
                QStringList {QString("Successfully Backup %1 Messages to local Database.").arg(n)});
        QCOMPARE(job.counts().added, n);
    }
    QCOMPARE(countRows(target, "message"), qint64(n));
    // Every attachment's file came along, with its bytes.
    const LoadedStore copied = loadStore(target);
    int files = 0;
    for (const _MsgMessage *m : copied.messages)
        for (const _MsgAttachment *a : m->attachments) {
            QVERIFY2(QFileInfo(a->localPath).isFile(), qPrintable(a->filename));
            ++files;
        }
    QCOMPARE(files, int(countRows(phone, "attachment")));

    // Copying the same messages again counts them all and stores nothing.
    const StoreSnapshot before = snapshot(target);
    {
        ProgressForm form(ids("IDS_BACKING_UP_SMS"));
        BackupSMSThread job(source.messages, QDir(target), QString(), &form);
        const Outcome out = runUnder(form, job);
        QVERIFY(out.ok);
        QCOMPARE(
                out.boxes,
                QStringList {QString("Successfully Backup %1 Messages to local Database.").arg(n)});
        QCOMPARE(job.counts().added, 0);
        QCOMPARE(job.counts().existing, n);
    }
    QCOMPARE(snapshot(target), before);

    // Another phone's messages join the existing database.
    const LoadedStore other = loadStore(makePhoneStore(work("other"), 30, 99));
    {
        ProgressForm form(ids("IDS_BACKING_UP_SMS"));
        BackupSMSThread job(other.messages, QDir(target), QString(), &form);
        QVERIFY(runUnder(form, job).ok);
    }
    QCOMPARE(countRows(target, "message"), qint64(n + other.messages.size()));
}

// An attachment whose file cannot be copied (a name longer than the file
// system allows) keeps its message and row; the job succeeds and says so.
void TestDbJobs::backupKeepsMessageWhoseFileCannotBeCopied()
{
    const QString phone = makePhoneStore(work("phone"), 60, 7);
    const LoadedStore source = loadStore(phone);
    _MsgAttachment *bad = nullptr;
    for (const _MsgMessage *m : source.messages)
        for (_MsgAttachment *a : m->attachments)
            if (!bad && QFileInfo(a->localPath).isFile())
                bad = a;
    QVERIFY(bad);
    bad->filename = bad->filename.section('/', 0, -2) + '/' + QString(300, 'n') + ".jpg";
    const QString target = localDatabasesFolder().absoluteFilePath("Partial");
    const int n = int(source.messages.size());
    ProgressForm form(ids("IDS_BACKING_UP_SMS"));
    BackupSMSThread job(source.messages, QDir(target), QString(), &form);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("stored without its file"));
    const Outcome out = runUnder(form, job);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes,
             QStringList {QString("Successfully Backup %1 Messages to local Database.<br/>1 "
                                  "attachment file(s) could not be copied; their messages were "
                                  "kept without the file.")
                                  .arg(n)});
    QCOMPARE(job.counts().added, n);
    QCOMPARE(job.counts().filesNotCopied, 1);
    QCOMPARE(countRows(target, "message"), qint64(n));
    QCOMPARE(countRows(target, "attachment"), countRows(phone, "attachment"));
}

void TestDbJobs::backupOfEmptyListCreatesDatabase()
{
    const QString target = localDatabasesFolder().absoluteFilePath("Empty");
    ProgressForm form(ids("IDS_BACKING_UP_SMS"));
    BackupSMSThread job(MsgMessageList(), QDir(target), QString(), &form);
    const Outcome out = runUnder(form, job);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes, QStringList {"Successfully Backup 0 Messages to local Database."});
    QVERIFY(QFileInfo(smsDbOf(target)).isFile());
    QCOMPARE(countRows(target, "message"), qint64(0));
}

void TestDbJobs::backupCancelledOrFailedKeepsArchive_data()
{
    QTest::addColumn<bool>("existing");
    QTest::addColumn<bool>("fail");
    QTest::newRow("cancel, existing database") << true << false;
    QTest::newRow("cancel, new database") << false << false;
    QTest::newRow("failure, existing database") << true << true;
    QTest::newRow("failure, new database") << false << true;
}

void TestDbJobs::backupCancelledOrFailedKeepsArchive()
{
    QFETCH(bool, existing);
    QFETCH(bool, fail);
    const QString target = localDatabasesFolder().absoluteFilePath("Archive");
    if (existing) {
        const LoadedStore first = loadStore(makePhoneStore(work("first"), 20, 3));
        ProgressForm form(ids("IDS_BACKING_UP_SMS"));
        BackupSMSThread job(first.messages, QDir(target), QString(), &form);
        QVERIFY(runUnder(form, job).ok);
    }
    const StoreSnapshot before = existing ? snapshot(target) : StoreSnapshot();

    // Messages with attachments that the database lacks, and for the
    // failure a last message whose conversation no database can hold.
    LoadedStore source = loadStore(makePhoneStore(work("phone"), 40, 11));
    _MsgChat bogusChat;
    bogusChat.guid = "Bogus;-;+15550000000";
    bogusChat.chat_identifier = "+15550000000";
    bogusChat.service_name = "Bogus";
    _MsgMessage bogus;
    bogus.guid = "B0605000-0000-0000-0000-000000000001";
    bogus.text = "never stored";
    bogus.date = 2000000000;
    bogus.chat = &bogusChat;
    if (fail)
        source.messages << &bogus;

    ProgressForm form(ids("IDS_BACKING_UP_SMS"));
    BackupSMSThread job(source.messages, QDir(target), QString(), &form);
    if (!fail)
        job.itemHook = cancelAfter(form, 30);
    const Outcome out = runUnder(form, job);
    QVERIFY(!out.ok);
    QVERIFY(out.stuck.isEmpty());
    if (fail) {
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY2(out.boxes.at(0).contains("service_name:Bogus"), qPrintable(out.boxes.at(0)));
    } else {
        QCOMPARE(out.boxes, QStringList());
    }
    // Rows were written and files copied before the end; none of it stays.
    QVERIFY(job.counts().added > 0);
    QVERIFY(job.counts().filesCopied > 0);
    if (existing)
        QCOMPARE(snapshot(target), before);
    else
        QVERIFY2(!QFileInfo::exists(target), qPrintable(filesBelow(target).join('\n')));
}

// Cancel pressed just before the commit keeps nothing; pressed just after
// it (or inside the writer's end, while it syncs the files and commits) it is
// refused, and the job reports the database it made.
void TestDbJobs::backupCancelAroundCommit_data()
{
    QTest::addColumn<QString>("point"); // a kill point, or "disk-sync" inside end()
    QTest::addColumn<bool>("committed");
    QTest::newRow("before the commit") << "commit-asked" << false;
    QTest::newRow("after the commit began") << "commit-begun" << true;
    QTest::newRow("inside the writer's end") << "disk-sync" << true;
}

void TestDbJobs::backupCancelAroundCommit()
{
    QFETCH(QString, point);
    QFETCH(bool, committed);
    const QString target = localDatabasesFolder().absoluteFilePath("Archive");
    const LoadedStore source = loadStore(makePhoneStore(work("phone"), 12, 5));
    ProgressForm form(ids("IDS_BACKING_UP_SMS"));
    BackupSMSThread job(source.messages, QDir(target), QString(), &form);
    std::unique_ptr<CancelAtKillPoint> press;
    std::atomic_bool synced {false};
    if (point == "disk-sync") {
        // The last flush of a run is end()'s, just before its commit: count
        // the flushes of the same backup into another folder first.
        std::atomic_int flushes {0};
        ExportMessagesDb::diskSyncObserver = [&flushes](const QString &) { ++flushes; };
        {
            ProgressForm dryForm(ids("IDS_BACKING_UP_SMS"));
            BackupSMSThread dry(source.messages,
                                QDir(localDatabasesFolder().absoluteFilePath("Dry")), QString(),
                                &dryForm);
            QVERIFY(runUnder(dryForm, dry).ok);
        }
        QVERIFY(flushes > 0);
        const int last = flushes;
        auto seen = std::make_shared<std::atomic_int>(0);
        ExportMessagesDb::diskSyncObserver = [&form, &synced, seen, last](const QString &) {
            if (++*seen == last) {
                synced = true;
                pressCancelNow(form);
            }
        };
    } else {
        press = std::make_unique<CancelAtKillPoint>(form, point.toLatin1().constData());
    }
    const Outcome out = runUnder(form, job);
    ExportMessagesDb::diskSyncObserver = nullptr;
    QVERIFY(press ? press->pressed() : bool(synced));
    QCOMPARE(out.ok, committed);
    QVERIFY(out.stuck.isEmpty());
    QCOMPARE(form.cancelPressed(), !committed);
    if (committed) {
        QCOMPARE(out.boxes, QStringList {ids("IDS_SUC_BACKUP_%1_SMS").arg(12)});
        QCOMPARE(countRows(target, "message"), qint64(12));
    } else {
        QCOMPARE(out.boxes, QStringList());
        QVERIFY2(!QFileInfo::exists(target), qPrintable(filesBelow(target).join('\n')));
    }
}

// ------------------------------------------------------------------ delete

// A local database of two conversations: "A" with a text and a picture,
// "B" with one picture. Returns the store folder.
static QString makeLocalDb(const QString &phoneFolder, const QString &target)
{
    PhoneSmsDb phone(phoneFolder);
    const qint64 ha = phone.addHandle("+15551230001");
    const qint64 hb = phone.addHandle("+15551230002");
    const qint64 ca = phone.addChat(ha);
    const qint64 cb = phone.addChat(hb);
    phone.addText(ca, "hello A", ha, 400000000);
    const qint64 ma = phone.addText(ca, kFFFC, ha, 400000100);
    phone.addAttachment(ma, "a.jpg", "picture of A");
    const qint64 mb = phone.addText(cb, kFFFC, hb, 400000200, true);
    phone.addAttachment(mb, "b.jpg", "picture of B");
    phone.close();
    ExportMessagesDb writer {QDir(target), QString()};
    writer.begin();
    for (_MsgMessage *m : loadStore(phoneFolder).messages)
        writer.write(m);
    writer.end();
    return target;
}

static MsgMessageList messagesWhere(const LoadedStore &s,
                                    const std::function<bool(_MsgMessage *)> &f)
{
    MsgMessageList out;
    for (_MsgMessage *m : s.messages)
        if (f(m))
            out << m;
    sortMessages(out);
    return out;
}

void TestDbJobs::deleteRemovesRowsAndFiles()
{
    const QString store
            = makeLocalDb(work("phone"), localDatabasesFolder().absoluteFilePath("Two"));
    LoadedStore loaded = loadStore(store);
    QCOMPARE(loaded.messages.size(), 3);
    QString fileA, fileB;
    for (_MsgMessage *m : loaded.messages)
        for (_MsgAttachment *a : m->attachments)
            (m->chat->chat_identifier.endsWith("1") ? fileA : fileB) = a->localPath;
    QVERIFY(QFileInfo(fileA).isFile() && QFileInfo(fileB).isFile());

    // The picture of A and the whole of B.
    MsgMessageList doomed
            = messagesWhere(loaded, [](_MsgMessage *m) { return !m->attachments.isEmpty(); });
    QCOMPARE(doomed.size(), 2);
    QDir folder(store);
    ProgressForm form(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job(&folder, &doomed, &form);
    const Outcome out = runUnder(form, job);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes, QStringList {"Successfully Deleted 2 Messages."});

    QCOMPARE(countRows(store, "message"), qint64(1));
    QCOMPARE(countRows(store, "attachment"), qint64(0));
    QCOMPARE(countRows(store, "message_attachment_join"), qint64(0));
    // B lost its last message: its conversation and correspondent are gone.
    QCOMPARE(sqliteRows(smsDbOf(store), "select chat_identifier from chat"),
             QList<QVariantList>({{"+15551230001"}}));
    QCOMPARE(sqliteRows(smsDbOf(store), "select id from handle"),
             QList<QVariantList>({{"+15551230001"}}));
    QVERIFY(!QFileInfo::exists(fileA));
    QVERIFY(!QFileInfo::exists(fileB));
    // Their now empty folders went with them; the attachment folder stays.
    QVERIFY(!QFileInfo::exists(QFileInfo(fileA).path()));
    QVERIFY(QFileInfo(store + "/file-relay/var/mobile/Library/SMS/Attachments").isDir());
    QCOMPARE(job.filesRemoved(), 2);

    // A folder whose database has gone: an error, and no empty database.
    MsgMessageList rest = loadStore(store).messages;
    QDir gone(work("gone"));
    ProgressForm form2(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job2(&gone, &rest, &form2);
    const Outcome out2 = runUnder(form2, job2);
    QVERIFY(!out2.ok);
    QCOMPARE(out2.boxes.size(), 1);
    QVERIFY(!QFileInfo::exists(smsDbOf(work("gone"))));
}

void TestDbJobs::deleteKeepsSharedAndForeignFiles()
{
    const QString store
            = makeLocalDb(work("phone"), localDatabasesFolder().absoluteFilePath("Two"));
    // The text of A also shows the picture of A (one attachment row for
    // two messages), and the picture of B names the database itself.
    RawSqlite db(smsDbOf(store));
    const qint64 text = db.scalar("select rowid from message where text='hello A'").toLongLong();
    const qint64 picA
            = db.scalar("select rowid from attachment where filename like '%a.jpg'").toLongLong();
    db.run("insert into message_attachment_join (message_id, attachment_id) values (?, ?)",
           {text, picA});
    db.run("update attachment set filename='~/Library/SMS/sms.db' where filename like '%b.jpg'");
    // A file outside the store that a forged local path would name.
    const QString outside = work("outside.jpg");
    QVERIFY(writeFile(outside, "not the archive's"));
    db.close();

    LoadedStore loaded = loadStore(store);
    QString fileA;
    MsgMessageList doomed;
    for (_MsgMessage *m : loaded.messages) {
        if (m->text == QString(kFFFC))
            doomed << m;
        if (m->text == QString(kFFFC) && m->attachments.first()->filename.endsWith("a.jpg"))
            fileA = m->attachments.first()->localPath;
    }
    QCOMPARE(doomed.size(), 2);
    QVERIFY(QFileInfo(fileA).isFile());
    _MsgAttachment forged;
    forged.filename = "~/Library/SMS/Attachments/zz/outside.jpg";
    forged.localPath = outside;
    doomed.first()->attachments.insert("forged", &forged);

    QDir folder(store);
    ProgressForm form(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job(&folder, &doomed, &form);
    QVERIFY(runUnder(form, job).ok);
    doomed.first()->attachments.remove("forged");

    QCOMPARE(countRows(store, "message"), qint64(1));
    // The shared picture stays with the text that still shows it.
    QCOMPARE(countRows(store, "attachment"), qint64(1));
    QCOMPARE(fileBytes(fileA), QByteArray("picture of A"));
    QVERIFY(QFileInfo(smsDbOf(store)).isFile());
    QCOMPARE(fileBytes(outside), QByteArray("not the archive's"));
    QCOMPARE(job.filesRemoved(), 0);
}

void TestDbJobs::deleteCancelledOrFailedKeepsArchive_data()
{
    QTest::addColumn<bool>("fail");
    QTest::newRow("cancelled") << false;
    QTest::newRow("failed") << true;
}

void TestDbJobs::deleteCancelledOrFailedKeepsArchive()
{
    QFETCH(bool, fail);
    const QString store
            = makeLocalDb(work("phone"), localDatabasesFolder().absoluteFilePath("Two"));
    LoadedStore loaded = loadStore(store);
    MsgMessageList all = loaded.messages;
    sortMessages(all);
    if (fail) {
        // The database refuses to delete the last message of the list.
        RawSqlite db(smsDbOf(store));
        db.exec(QString("create trigger refuse before delete on message when old.rowid=%1 "
                        "begin select raise(abort, 'refused by the archive'); end;")
                        .arg(all.last()->ROWID));
    }
    const StoreSnapshot before = snapshot(store);

    QDir folder(store);
    ProgressForm form(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job(&folder, &all, &form);
    if (!fail)
        job.itemHook = cancelAfter(form, 2);
    const Outcome out = runUnder(form, job);
    QVERIFY(!out.ok);
    if (fail) {
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY2(out.boxes.at(0).contains("refused by the archive"), qPrintable(out.boxes.at(0)));
    } else {
        QCOMPARE(out.boxes, QStringList());
    }
    QCOMPARE(snapshot(store), before);
}

// The deletion's point of no return is just before its record of the files
// and its commit: a Cancel before it deletes nothing, one after it (between
// the record and the commit, or after the commit) is refused and the
// deletion reported, so that the window takes the messages away.
void TestDbJobs::deleteCancelAroundCommit_data()
{
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("committed");
    QTest::newRow("before the commit") << "commit-asked" << false;
    QTest::newRow("after the commit began") << "commit-begun" << true;
    QTest::newRow("between the file record and the commit") << "journal-written" << true;
    QTest::newRow("after the database's commit") << "database-committed" << true;
}

void TestDbJobs::deleteCancelAroundCommit()
{
    QFETCH(QString, point);
    QFETCH(bool, committed);
    const QString store
            = makeLocalDb(work("phone"), localDatabasesFolder().absoluteFilePath("Two"));
    LoadedStore loaded = loadStore(store);
    MsgMessageList all = loaded.messages;
    sortMessages(all);
    QStringList pictures;
    for (_MsgMessage *m : all)
        for (_MsgAttachment *a : m->attachments)
            pictures << a->localPath;
    QCOMPARE(pictures.size(), 2);
    const StoreSnapshot before = snapshot(store);

    QDir folder(store);
    ProgressForm form(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job(&folder, &all, &form);
    Outcome out;
    {
        CancelAtKillPoint press(form, point.toLatin1().constData());
        out = runUnder(form, job);
        QVERIFY(press.pressed());
    }
    QCOMPARE(out.ok, committed);
    QVERIFY(out.stuck.isEmpty());
    if (committed) {
        QCOMPARE(out.boxes, QStringList {"Successfully Deleted 3 Messages."});
        QCOMPARE(countRows(store, "message"), qint64(0));
        for (const QString &p : std::as_const(pictures))
            QVERIFY2(!QFileInfo::exists(p), qPrintable(p));
    } else {
        QCOMPARE(out.boxes, QStringList());
        QCOMPARE(snapshot(store), before);
    }
}

// ---------------------------------------------------------------- extract

void TestDbJobs::extractCancelAroundCommit_data()
{
    QTest::addColumn<QString>("point");
    QTest::addColumn<bool>("kept");
    QTest::newRow("before the end") << "commit-asked" << false;
    QTest::newRow("after the end began") << "commit-begun" << true;
}

void TestDbJobs::extractCancelAroundCommit()
{
    QFETCH(QString, point);
    QFETCH(bool, kept);
    const QString src = work("store");
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;
    _MsgMessage m;
    for (int i = 1; i <= 3; ++i) {
        auto a = std::make_unique<_MsgAttachment>();
        a->ROWID = i;
        a->filename = QString("pic%1.jpg").arg(i);
        a->localPath = QString("%1/%2.jpg").arg(src).arg(i);
        QVERIFY(writeFile(a->localPath, "bytes"));
        m.attachments.insert(QString::number(i), a.get());
        attachments.push_back(std::move(a));
    }
    const QString out = work("attachments(1)");
    ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread job(&form, {&m}, out);
    Outcome res;
    {
        CancelAtKillPoint press(form, point.toLatin1().constData());
        res = runUnder(form, job);
        QVERIFY(press.pressed());
    }
    QCOMPARE(res.ok, kept);
    if (kept) {
        QCOMPARE(res.boxes.size(), 1);
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 3);
    } else {
        QCOMPARE(res.boxes, QStringList());
        QVERIFY(!QFileInfo::exists(out));
    }
}

void TestDbJobs::outputFileNames_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("transferName");
    QTest::addColumn<QString>("expected");
    QTest::newRow("phone path") << "~/Library/SMS/Attachments/ab/01/G/IMG_1.jpeg"
                                << ""
                                << "IMG_1.jpeg";
    QTest::newRow("climbing") << "../../../etc/passwd"
                              << ""
                              << "passwd";
    QTest::newRow("absolute") << "/etc/shadow"
                              << ""
                              << "shadow";
    QTest::newRow("backslashes") << "C:\\Users\\x\\pic.gif"
                                 << ""
                                 << "pic.gif";
    QTest::newRow("dot dot") << "~/Library/.."
                             << ""
                             << "attachment";
    QTest::newRow("dot dot with transfer name") << ".."
                                                << "photo.png"
                                                << "photo.png";
    QTest::newRow("forbidden characters") << "a:b*c?d\"e<f>g|h.png"
                                          << ""
                                          << "abcdefgh.png";
    QTest::newRow("control characters") << QString("x\ny\tz.txt") << ""
                                        << "xyz.txt";
    QTest::newRow("trailing dots and blanks") << " name. . "
                                              << ""
                                              << "name";
    QTest::newRow("device name") << "CON"
                                 << ""
                                 << "_CON";
    QTest::newRow("device name with suffix") << "nul.txt"
                                             << ""
                                             << "_nul.txt";
    QTest::newRow("not a device name") << "console.txt"
                                       << ""
                                       << "console.txt";
    QTest::newRow("empty everywhere") << ""
                                      << ""
                                      << "attachment";
    QTest::newRow("long") << QString(300, 'x') + ".jpg"
                          << "" << QString(196, 'x') + ".jpg";
}

void TestDbJobs::outputFileNames()
{
    QFETCH(QString, filename);
    QFETCH(QString, transferName);
    QFETCH(QString, expected);
    _MsgAttachment a;
    a.filename = filename;
    a.transfer_name = transferName;
    QCOMPARE(AttachmentExtractThread::outputFileName(a), expected);
}

void TestDbJobs::extractWritesOnlyInsideItsFolder()
{
    // Attachment files as a store holds them, under hostile phone names.
    const QString src = work("store");
    struct Att
    {
        QString filename;
        QByteArray bytes; // null: no file in the store
    };
    const QList<QList<Att>> perMessage = {
            {{"~/Library/SMS/Attachments/01/same.tar.gz", "first"},
             {"~/Library/SMS/Attachments/02/same.tar.gz", "second"}},
            {{"~/Library/SMS/Attachments/03/same.tar.gz", "third"},
             {"../../outside.jpg", "climber"},
             {"/tmp/absolute.png", "absolute"}},
            {{"..", "dots"}, {"CON", "device"}, {"missing.jpg", QByteArray()}},
            {},
    };
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;
    MsgMessageList list;
    int n = 0;
    for (const QList<Att> &atts : perMessage) {
        auto m = std::make_unique<_MsgMessage>();
        m->date = 400000000 + 1000 * int(messages.size());
        for (const Att &att : atts) {
            auto a = std::make_unique<_MsgAttachment>();
            a->ROWID = ++n;
            a->filename = att.filename;
            a->localPath = QString("%1/%2/file").arg(src).arg(n);
            if (!att.bytes.isNull())
                QVERIFY(writeFile(a->localPath, att.bytes));
            m->attachments.insert(QString::number(n), a.get());
            attachments.push_back(std::move(a));
        }
        list << m.get();
        messages.push_back(std::move(m));
    }

    const QString parent = work("picked");
    QVERIFY(QDir().mkpath(parent));
    const QString out = parent + "/attachments(20240101-120000)";
    ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread job(&form, list, out);
    const Outcome res = runUnder(form, job);
    QVERIFY(res.ok);
    QCOMPARE(res.boxes,
             QStringList {QString("Successfully extacted 7 MMS attachment to %1.").arg(out)});

    QCOMPARE(QDir(parent).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList {"attachments(20240101-120000)"});
    QStringList names = QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort();
    QCOMPARE(names,
             QStringList({"_CON", "absolute.png", "file", "outside.jpg", "same(1).gz", "same(2).gz",
                          "same.tar.gz"}));
    // The first of a name keeps it; the later ones are numbered in order.
    QCOMPARE(fileBytes(out + "/same.tar.gz"), QByteArray("first"));
    QCOMPARE(fileBytes(out + "/same(1).gz"), QByteArray("second"));
    QCOMPARE(fileBytes(out + "/same(2).gz"), QByteArray("third"));
    // No usable name at all: the name of the store's file.
    QCOMPARE(fileBytes(out + "/file"), QByteArray("dots"));
    QVERIFY(!QFileInfo::exists(work("outside.jpg")));
    // Each file carries its message's date.
    const QDateTime second = QDateTime::fromSecsSinceEpoch(400001000 + kIosEpochOffset, Qt::UTC);
    QCOMPARE(QFileInfo(out + "/outside.jpg").lastModified().toUTC(), second);
    QCOMPARE(QFileInfo(out + "/same.tar.gz").lastModified().toUTC(),
             QDateTime::fromSecsSinceEpoch(400000000 + kIosEpochOffset, Qt::UTC));

    // A list without attachments leaves an empty folder and reports 0.
    ProgressForm form2(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread none(&form2, MsgMessageList {messages.back().get()}, out + "-none");
    const Outcome res2 = runUnder(form2, none);
    QVERIFY(res2.ok);
    QCOMPARE(res2.boxes,
             QStringList {
                     QString("Successfully extacted 0 MMS attachment to %1.").arg(out + "-none")});
    QVERIFY(QDir(out + "-none").isEmpty());

    // A folder that cannot be made (a file stands in its way) is an error.
    QVERIFY(writeFile(parent + "/blocker", "a file"));
    ProgressForm form3(ids("IDS_EXTRACTING_MEDIA_FILES"));
    AttachmentExtractThread blocked(&form3, list, parent + "/blocker/attachments(1)");
    const Outcome res3 = runUnder(form3, blocked);
    QVERIFY(!res3.ok);
    QCOMPARE(res3.boxes.size(), 1);
    QCOMPARE(fileBytes(parent + "/blocker"), QByteArray("a file"));
}

void TestDbJobs::extractCancelledRemovesOnlyItsOwnFiles()
{
    const QString src = work("store");
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;
    _MsgMessage m;
    for (int i = 1; i <= 4; ++i) {
        auto a = std::make_unique<_MsgAttachment>();
        a->ROWID = i;
        a->filename = QString("pic%1.jpg").arg(i);
        a->localPath = QString("%1/%2.jpg").arg(src).arg(i);
        QVERIFY(writeFile(a->localPath, "bytes"));
        m.attachments.insert(QString::number(i), a.get());
        attachments.push_back(std::move(a));
    }

    // A new folder (with a new parent) goes altogether.
    {
        const QString out = work("new/attachments(1)");
        ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
        AttachmentExtractThread job(&form, {&m}, out);
        job.itemHook = cancelAfter(form, 2);
        const Outcome res = runUnder(form, job);
        QVERIFY(!res.ok);
        QCOMPARE(res.boxes, QStringList());
        QCOMPARE(job.writtenFiles().size(), 0);
        QVERIFY(!QFileInfo::exists(out));
        QVERIFY(!QFileInfo::exists(work("new")));
    }
    // A folder that was there keeps what the user had in it.
    {
        const QString out = work("attachments(2)");
        QVERIFY(writeFile(out + "/pic1.jpg", "the user's own"));
        ProgressForm form(ids("IDS_EXTRACTING_MEDIA_FILES"));
        AttachmentExtractThread job(&form, {&m}, out);
        job.itemHook = cancelAfter(form, 2);
        QVERIFY(!runUnder(form, job).ok);
        QCOMPARE(QDir(out).entryList(QDir::Files), QStringList {"pic1.jpg"});
        QCOMPARE(fileBytes(out + "/pic1.jpg"), QByteArray("the user's own"));
    }
}

// ---------------------------------------------------------------- convert

void TestDbJobs::convertOldDatabases()
{
    // One old database in the legacy "data" folder, one already under
    // "local_databases".
    const QString legacy = dataFolder().absoluteFilePath("data/Old Phone");
    OldDb old(legacy);
    const qint64 h1 = old.handle("+15551230001", "Ann");
    const qint64 h2 = old.handle("+15551230002");
    old.message(h1, "first", 978307200, false);
    const qint64 both = old.message(h1, QString("pictures") + kFFFC, 1300000000, true, "subj");
    old.attachment(both, "p1.jpg", "image/jpeg", "jpeg bytes");
    old.attachment(both, "sub/p2.png", "IMAGE/PNG", "png bytes");
    const qint64 parts = old.message(h2, "", 1300000100, false);
    old.attachment(parts, "note.txt", "text/plain", "  a note  \n");
    old.attachment(parts, "blank.txt", "text/plain", " \n\t");
    old.attachment(parts, "doc.pdf", "application/pdf", "pdf");
    old.attachment(parts, "../../../secret.jpg", "image/jpeg", QByteArray());
    old.message(4242, "nobody", 1300000200, false); // no handle row
    old.close();
    QVERIFY(writeFile(dataFolder().absoluteFilePath("secret.jpg"), "outside the old folder"));
    const QByteArray oldBytes = fileBytes(legacy + "/mms.db");

    const QString inPlace = localDatabasesFolder().absoluteFilePath("Kept");
    OldDb old2(inPlace);
    old2.message(old2.handle("friend@example.com"), "hi", 1300000300, false);
    old2.close();

    QCOMPARE(UpdateLocalDbThread::oldDatabaseFolders(), QStringList({inPlace, legacy}));
    ProgressForm form("update");
    form.setCancelEnabled(false);
    UpdateLocalDbThread job(&form);
    const Outcome out = runUnder(form, job);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes,
             QStringList {"Successfully updated local database. Please restart software."});

    // The old files stay, renamed and untouched.
    QVERIFY(!QFileInfo::exists(legacy + "/mms.db"));
    QCOMPARE(fileBytes(legacy + "/mms.db-bak"), oldBytes);
    QVERIFY(QFileInfo(inPlace + "/mms.db-bak").isFile());
    QVERIFY(UpdateLocalDbThread::oldDatabaseFolders().isEmpty());

    const QString target = localDatabasesFolder().absoluteFilePath("Old Phone");
    const QList<StoredMessage> stored = storedMessages(target);
    QStringList texts;
    for (const StoredMessage &m : stored)
        texts << m.text;
    QCOMPARE(texts,
             QStringList({"first", "pictures", QString(kFFFC), QString(kFFFC), "  a note  \n",
                          QString(kFFFC)}));
    QCOMPARE(stored.at(0).date, qint64(0));
    QCOMPARE(stored.at(0).fromMe, 0);
    QCOMPARE(stored.at(1).fromMe, 1);
    QCOMPARE(stored.at(1).date, qint64(1300000000 - 978307200));
    // One conversation per address, its guid made of the address.
    QCOMPARE(stored.at(0).chatGuid, QString("SMS;-;+15551230001"));
    QCOMPARE(stored.at(2).chatGuid, QString("SMS;-;+15551230001"));
    QCOMPARE(stored.at(4).chatGuid, QString("SMS;-;+15551230002"));
    QCOMPARE(countRows(target, "chat"), qint64(2));
    QCOMPARE(sqliteScalar(smsDbOf(target), "select _ct_name from handle where id='+15551230001'"),
             QVariant("Ann"));

    // Pictures: their own messages with their files.
    const StoredMessage &p1 = stored.at(2);
    const QString guid = md5Guid(QByteArray("attachments/p1.jpg"));
    QCOMPARE(p1.attachmentFilename,
             QString("~/Library/SMS/Attachments/%1/%2/%3/p1.jpg")
                     .arg(guid.left(2).toLower(), guid.mid(2, 2).toLower(), guid));
    QCOMPARE(p1.attachmentBytes, QByteArray("jpeg bytes"));
    QCOMPARE(p1.attachmentMime, QString("image/jpeg"));
    QCOMPARE(stored.at(3).attachmentBytes, QByteArray("png bytes"));
    QCOMPARE(
            sqliteScalar(smsDbOf(target), "select uti from attachment where mime_type='IMAGE/PNG'"),
            QVariant("public.PNG"));
    // A name that climbs out of the old folder brings no file along.
    QVERIFY(stored.at(5).attachmentFilename.endsWith("/secret.jpg"));
    QVERIFY(stored.at(5).attachmentBytes.isEmpty());
    for (const QString &f : filesBelow(target))
        QVERIFY2(!f.contains("secret"), qPrintable(f));

    // The old database already under local_databases became the same folder's database.
    QCOMPARE(storedMessages(inPlace).size(), 1);
    QCOMPARE(storedMessages(inPlace).at(0).chatGuid, QString("SMS;-;friend@example.com"));
}

void TestDbJobs::convertAgainAddsNothingAndKeepsEarlierBackup()
{
    const QString folder = localDatabasesFolder().absoluteFilePath("Twice");
    OldDb old(folder);
    const qint64 m = old.message(old.handle("+15551230001"), "text", 1300000000, false);
    old.attachment(m, "p.jpg", "image/jpeg", "bytes");
    old.close();
    const QByteArray oldBytes = fileBytes(folder + "/mms.db");

    UpdateLocalDbThread direct(nullptr);
    direct.convertOldLocalDb(QDir(folder), QDir(folder));
    const StoreSnapshot once = snapshot(folder);
    QVERIFY(QFileInfo(folder + "/mms.db").isFile());
    // A backup of an earlier run is in the way of the rename.
    QVERIFY(writeFile(folder + "/mms.db-bak", "an earlier backup"));

    ProgressForm form("update");
    UpdateLocalDbThread job(&form);
    QVERIFY(runUnder(form, job).ok);
    QCOMPARE(fileBytes(folder + "/mms.db-bak"), QByteArray("an earlier backup"));
    QCOMPARE(fileBytes(folder + "/mms(1).db-bak"), oldBytes);
    QVERIFY(!QFileInfo::exists(folder + "/mms.db"));
    const StoreSnapshot twice = snapshot(folder);
    QCOMPARE(twice.rows, once.rows);
    QCOMPARE(countRows(folder, "message"), qint64(2));
}

void TestDbJobs::convertFailureKeepsOldFileAndTarget()
{
    // The first folder converts; the second lacks the attachment tables and
    // fails; the third is not visited.
    const QString data = dataFolder().absoluteFilePath("data");
    OldDb good(data + "/A good");
    good.message(good.handle("+15551230001"), "fine", 1300000000, false);
    good.close();
    OldDb bad(data + "/B bad", false);
    bad.message(bad.handle("+15551230002"), "lost?", 1300000000, false);
    bad.close();
    OldDb later(data + "/C later");
    later.message(later.handle("+15551230003"), "later", 1300000000, false);
    later.close();
    const QByteArray badBytes = fileBytes(data + "/B bad/mms.db");

    // An existing archive of the failing one's name stays as it was.
    const QString existing
            = makeLocalDb(work("phone"), localDatabasesFolder().absoluteFilePath("B bad"));
    const StoreSnapshot before = snapshot(existing);

    QStringList order = UpdateLocalDbThread::oldDatabaseFolders();
    QCOMPARE(order.size(), 3);
    ProgressForm form("update");
    UpdateLocalDbThread job(&form);
    const Outcome out = runUnder(form, job);
    QVERIFY(!out.ok);
    QCOMPARE(out.boxes.size(), 1);
    QVERIFY2(out.boxes.at(0).contains("attachment"), qPrintable(out.boxes.at(0)));

    QCOMPARE(fileBytes(data + "/B bad/mms.db"), badBytes);
    QVERIFY(!QFileInfo::exists(data + "/B bad/mms.db-bak"));
    QCOMPARE(snapshot(existing), before);
    // The failed folder is still usable as it was.
    QCOMPARE(sqliteScalar(data + "/B bad/mms.db", "select body from message"), QVariant("lost?"));
    // Visited folders come in listing order; the ones before the failure are done.
    const int badAt = order.indexOf(data + "/B bad");
    for (int i = 0; i < order.size(); ++i) {
        const bool done = i < badAt;
        QCOMPARE(QFileInfo::exists(order.at(i) + "/mms.db-bak"), done);
        if (order.at(i) != data + "/B bad")
            QCOMPARE(QFileInfo::exists(
                             localDatabasesFolder().absoluteFilePath(QDir(order.at(i)).dirName())),
                     done);
    }

    // A failure on a new target leaves no database behind.
    removeFolderRecursively(existing);
    UpdateLocalDbThread direct(nullptr);
    QVERIFY_THROWS_EXCEPTION(std::exception,
                             direct.convertOldLocalDb(QDir(data + "/B bad"), QDir(existing)));
    QVERIFY(!QFileInfo::exists(existing));
    // Nor does one in the old database's own folder.
    const QString inPlace = localDatabasesFolder().absoluteFilePath("In place");
    QVERIFY(QDir().mkpath(inPlace));
    QVERIFY(QFile::copy(data + "/B bad/mms.db", inPlace + "/mms.db"));
    QVERIFY_THROWS_EXCEPTION(std::exception,
                             direct.convertOldLocalDb(QDir(inPlace), QDir(inPlace)));
    QCOMPARE(QDir(inPlace).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList {"mms.db"});
}

void TestDbJobs::convertWithNothingToDo()
{
    QVERIFY(QDir().mkpath(localDatabasesFolder().absoluteFilePath("Current")));
    ProgressForm form("update");
    UpdateLocalDbThread job(&form);
    const Outcome out = runUnder(form, job);
    QVERIFY(out.ok);
    QCOMPARE(out.boxes,
             QStringList {"Successfully updated local database. Please restart software."});
}

QTEST_MAIN(TestDbJobs)
#include "tst_dbjobs.moc"
