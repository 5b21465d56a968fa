// Merging messages into an iPhone backup: the record update of files put
// into a backup, and the merge job from the phone's cached database to the
// swapped-in sms.db and Manifest.mbdb.

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/mbdbrecord.h"
#include "backup/mbdbupdate.h"
#include "jobs/ios6restoremessagesthread.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"
#include "tests/support/fakebackup.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFileInfo>
#include <QMessageBox>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>
#include <QTranslator>

#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <memory>

namespace {

const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");
const QString kSmsDbId = QStringLiteral("3d0d7e5fb2ce288813306e4d4636395e047a3d28");

QByteArray sha1(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Every file below a folder (relative path to contents); folders as "<dir>".
QMap<QString, QByteArray> snapshot(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        files.insert(base.relativeFilePath(path),
                     info.isDir() ? QByteArray("<dir>") : readAll(path));
    }
    return files;
}

MbdbRecord recordAt(const MbdbRecordSet &set, const QString &domain, const QString &path)
{
    return set.value(backupFileId(domain, path));
}

// ------------------------------------------------------------------ fixture

// A phone's cached sms.db and the backup it came from, and a list of
// messages from another source to merge into it.
struct Fixture
{
    explicit Fixture(const QString &root, PhoneSchema schema = PhoneSchema::ios6())
        : store(root + "/store")
        , backup(root + "/backup")
        , source(root + "/source")
        , fake(backup)
    {
        // The phone: two conversations, one attachment.
        PhoneSmsDb db(store, schema);
        h1 = db.addHandle("+15550001");
        h2 = db.addHandle("+15550002");
        c1 = db.addChat(h1);
        c2 = db.addChat(h2);
        PhoneSmsDb::Message m;
        m.text = "p1", m.handle = h1, m.date = 1000;
        db.addMessage(c1, m);
        m.text = "q1", m.handle = h2, m.date = 1500;
        db.addMessage(c2, m);
        m.text = "p2", m.handle = h1, m.date = 3000, m.guid = "PHONE-P2";
        const qint64 p2 = db.addMessage(c1, m);
        m.guid.clear();
        m.text = "p3", m.handle = 0, m.date = 5000, m.fromMe = true;
        db.addMessage(c1, m);
        phoneAttachment = db.addAttachment(p2, "IMG_0001.JPG", "phone photo");
        phoneAttachmentRel = db.attachmentPhonePath(phoneAttachment).mid(2);
        db.close();

        // Its backup: the same sms.db and the attachment file.
        fake.addFolder(kHome, "");
        fake.addFolder(kHome, "Library");
        fake.addFolder(kHome, "Library/SMS");
        FakeBackup::Entry &smsDb = fake.addFile(kHome, "Library/SMS/sms.db",
                                                readAll(PhoneSmsDb::smsDbPathOf(store)));
        smsDb.inodeLow = 100;
        fake.addFile(kHome, "Library/SMS/sms.db-wal", "old log frames");
        fake.addFile(kHome, "Library/SMS/sms.db-shm", QByteArray(64, '\x01'));
        fake.addFolder(kMedia, "Library");
        fake.addFolder(kMedia, "Library/SMS");
        fake.addFolder(kMedia, "Library/SMS/Attachments");
        fake.addFile(kMedia, phoneAttachmentRel, "phone photo").inodeLow = 90;
        fake.write();

        set.reset();
        QDir().mkpath(source);
    }

    // Records of the other source.
    _MsgHandle *handle(const QString &id)
    {
        auto *h = new _MsgHandle;
        h->ROWID = 500 + set.data()->handles.size();
        h->id = id;
        set.data()->handles.insert(h->ROWID, h);
        return h;
    }
    _MsgChat *chat(_MsgHandle *h, const QString &service = "SMS")
    {
        auto *c = new _MsgChat;
        c->ROWID = 700 + set.data()->chats.size();
        c->chat_identifier = h->id;
        c->service_name = service;
        c->guid = service + ";-;" + h->id;
        c->handles.insert(QString::number(h->ROWID), h);
        set.data()->chats.insert(c->ROWID, c);
        return c;
    }
    _MsgMessage *message(_MsgChat *c, const QString &text, int date, qint64 key,
                         const QString &guid = QString())
    {
        auto *m = new _MsgMessage;
        m->ROWID = key;
        m->orderKey = key;
        m->guid = guid.isNull() ? PhoneSmsDb::newGuid() : guid;
        m->text = text;
        m->date = date;
        m->service = c ? c->service_name : "SMS";
        m->chat = c;
        m->handle = c && !c->handles.isEmpty() ? c->handles.first() : nullptr;
        set.data()->messages.insert(key, m);
        list.append(m);
        return m;
    }
    // An attachment whose file lies in the source folder (content null: no file).
    _MsgAttachment *attach(_MsgMessage *m, const QString &filename, const QByteArray &content)
    {
        auto *a = new _MsgAttachment;
        a->ROWID = 900 + set.data()->attachments.size();
        a->guid = PhoneSmsDb::newGuid();
        a->filename = filename;
        a->transfer_name = QFileInfo(filename).fileName();
        a->mime_type = "image/jpeg";
        a->localPath = source + "/" + QString::number(a->ROWID) + ".bin";
        if (!content.isNull())
            writeAll(a->localPath, content);
        set.data()->attachments.insert(a->ROWID, a);
        m->attachments.insert(QString::number(a->ROWID), a);
        return a;
    }

    QString backupDb() const { return QDir(backup).absoluteFilePath(kSmsDbId); }
    QString manifest() const { return QDir(backup).absoluteFilePath("Manifest.mbdb"); }
    QString backupFile(const QString &rel) const
    {
        return QDir(backup).absoluteFilePath(backupFileId(kMedia, rel));
    }
    QList<QVariantList> rows(const QString &sql) const { return sqliteRows(backupDb(), sql); }
    QStringList texts() const
    {
        QStringList out;
        for (const QVariantList &r : rows("select text from message order by rowid"))
            out << r.value(0).toString();
        return out;
    }
    // The filename column of the attachment row with this guid.
    QString filenameOf(const _MsgAttachment *a) const
    {
        return sqliteScalar(backupDb(), "select filename from attachment where guid=?", {a->guid})
                .toString();
    }

    QString store, backup, source;
    FakeBackup fake;
    qint64 h1 = 0, h2 = 0, c1 = 0, c2 = 0, phoneAttachment = 0;
    QString phoneAttachmentRel;
    MsgDataSet set;
    MsgMessageList list;
};

using SetUp = std::function<void(Fixture &)>;

struct Outcome
{
    bool ok = false;
    int merged = -1, skipped = -1;
    QStringList errors; // texts of the error boxes
    QStringList boxes; // texts of every box
    QStringList stages;
};

// Runs the merge job under its progress dialog, pressing OK on every box.
// after, when given, is called with the job once it has ended.
Outcome runMerge(Fixture &f,
                 const std::function<void(const QString &, ProgressForm *)> &observer = {},
                 const std::function<void(IOS6RestoreMessagesThread &)> &after = {})
{
    Outcome out;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(ids("IDS_MERGING_IOS6_MESSAGES"));
    IOS6MessageDb cached(QDir(f.store), "310", false);
    IOS6RestoreMessagesThread job("310", &f.list, &cached, QDir(f.backup), &form);
    job.setStageObserver([&](const QString &stage) {
        out.stages << stage;
        if (observer)
            observer(stage, &form);
    });
    out.ok = form.runJob(&job);
    if (after)
        after(job);
    QTest::qWait(20);
    for (const ModalAnswerer::Seen &s : answerer.seen()) {
        if (s.className != QLatin1String("QMessageBox"))
            continue;
        out.boxes << s.text;
        if (s.icon == int(QMessageBox::Critical))
            out.errors << s.text;
    }
    out.merged = job.mergedCount;
    out.skipped = job.skippedCount;
    return out;
}

// From the job's thread: presses Cancel the way the user would.
bool pressCancel(ProgressForm *form)
{
    bool clicked = false;
    QMetaObject::invokeMethod(
            form, [&] { clicked = ModalAnswerer::clickButton(form, QStringLiteral("btnCancel")); },
            Qt::BlockingQueuedConnection);
    return clicked;
}

// Caches the backup's message files into the store folder again, as
// loading the backup does.
bool recache(Fixture &f)
{
    BackupManifest manifest(f.backup);
    manifest.loadManifestPlist();
    manifest.loadManifestMbdb();
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(ids("IDS_LOADING_ITUNES_BACKUP"));
    ITunesCacheSMSThread job(&manifest, QDir(f.store), &form);
    return form.runJob(&job);
}

// The cached copy made anew from the backup's database.
void copyBackupDbToStore(Fixture &f)
{
    const QString cached = PhoneSmsDb::smsDbPathOf(f.store);
    QVERIFY(QFile::remove(cached));
    QVERIFY(QFile::copy(f.backupDb(), cached));
}

// The store folder's files other than the cached database itself.
QStringList strayStoreFiles(const Fixture &f)
{
    QStringList out;
    const QDir sms(QFileInfo(PhoneSmsDb::smsDbPathOf(f.store)).absolutePath());
    for (const QString &name : sms.entryList(QDir::Files | QDir::Hidden))
        if (name != QLatin1String("sms.db"))
            out << name;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(SetUp)

class TestBkMerge : public QObject
{
    Q_OBJECT

    TestEnv m_env;
    QTranslator m_translator;
    int m_serial = 0;

    QString newRoot() { return m_env.makeDir(QStringLiteral("case%1").arg(++m_serial)); }

    // The other source's usual list: some new, one already on the phone, two
    // without a known number.
    void addUsualMessages(Fixture &f)
    {
        _MsgChat *same = f.chat(f.handle("+15550001")); // the phone's chat c1
        _MsgChat *fresh = f.chat(f.handle("+15550003"));
        f.message(same, "n1", 2000, 1000);
        _MsgMessage *n2 = f.message(fresh, "n2", 4000, 1001);
        f.attach(n2, "~/Library/SMS/Attachments/aa/01/NEWGUID/new.jpg", "new bytes");
        f.message(same, "n3", 6000, 1002);
        f.message(same, "already there", 3000, 1003, "PHONE-P2");
        f.message(nullptr, "no chat", 2500, 1004);
        _MsgChat *unknown = f.chat(f.handle("unknown"));
        unknown->ROWID = -2047483650;
        f.message(unknown, "recovered, number unknown", 2600, 1005);
        _MsgChat *nobody = f.chat(f.handle(""));
        nobody->chat_identifier.clear();
        f.message(nobody, "a conversation without any number", 2700, 1006);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&m_translator);
        qputenv("PELICORDE_SERVICE_HOST", "");
    }

    // ------------------------------------------------------------ record update

    void sha1OfFiles()
    {
        const QString dir = newRoot();
        writeAll(dir + "/abc", "abc");
        QCOMPARE(fileSha1Digest(dir + "/abc").toHex(),
                 QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
        writeAll(dir + "/empty", QByteArray());
        QCOMPARE(fileSha1Digest(dir + "/empty").toHex(),
                 QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
        QVERIFY(fileSha1Digest(dir + "/missing").isEmpty());
        QVERIFY(fileSha1Digest(dir).isEmpty());
    }

    void recordsForANewFile_data()
    {
        QTest::addColumn<QStringList>("listed"); // MediaDomain folders already listed
        QTest::addColumn<QString>("rel");
        QTest::addColumn<QStringList>("added"); // new folders, in inode order
        QTest::newRow("folders made from the deepest up")
                << QStringList {"Library", "Library/SMS"}
                << "Library/SMS/Attachments/3f/03/photo.jpg"
                << QStringList {"Library/SMS/Attachments/3f/03", "Library/SMS/Attachments/3f",
                                "Library/SMS/Attachments"};
        QTest::newRow("stops at the first listed folder")
                << QStringList {"Library/SMS/Attachments"} << "Library/SMS/Attachments/3f/photo.jpg"
                << QStringList {"Library/SMS/Attachments/3f"};
        QTest::newRow("no folder") << QStringList {} << "photo.jpg" << QStringList {};
        QTest::newRow("folder listed in another domain only")
                << QStringList {} << "Library/x.jpg" << QStringList {"Library"};
    }

    void recordsForANewFile()
    {
        QFETCH(QStringList, listed);
        QFETCH(QString, rel);
        QFETCH(QStringList, added);
        const QString dir = newRoot();
        const QString file = dir + "/f";
        writeAll(file, "contents of f");
        QVERIFY(setFileTimes(file, 1400000000));

        MbdbRecordSet set;
        MbdbRecord big;
        big.domain = MbdbString::fromText(kMedia);
        big.path = MbdbString::fromText("Media/x");
        big.inodeLow = 100;
        set.insert(big.fileId(), big);
        MbdbRecord huge = big; // top bit set: read as negative, not the largest
        huge.path = MbdbString::fromText("Media/y");
        huge.inodeLow = 0x80000005u;
        set.insert(huge.fileId(), huge);
        MbdbRecord homeLibrary; // the same folder in HomeDomain does not count
        homeLibrary.domain = MbdbString::fromText(kHome);
        homeLibrary.path = MbdbString::fromText("Library");
        homeLibrary.mode = 0x41ED;
        set.insert(homeLibrary.fileId(), homeLibrary);
        for (const QString &p : listed) {
            MbdbRecord r;
            r.domain = MbdbString::fromText(kMedia);
            r.path = MbdbString::fromText(p);
            r.mode = 0x41ED;
            set.insert(r.fileId(), r);
        }
        const qsizetype before = set.size();

        QVERIFY(updateMbdbRecords(set, file, kMedia, rel));
        QCOMPARE(set.size(), before + added.size() + 1);
        quint32 inode = 100;
        for (const QString &p : added) {
            const MbdbRecord r = recordAt(set, kMedia, p);
            QCOMPARE(r.path.toString(), p);
            QCOMPARE(r.mode, quint16(0x41C0));
            QCOMPARE(r.inodeLow, ++inode);
            QCOMPARE(r.userId, 501u);
            QCOMPARE(r.groupId, 501u);
            QCOMPARE(r.protectionClass, quint8(4));
            QCOMPARE(r.size, qint64(0));
            QVERIFY(r.dataHash.isAbsent());
            QCOMPARE(r.lastModified, 1400000000u);
            QCOMPARE(r.lastAccessed, 1400000000u);
        }
        const MbdbRecord r = recordAt(set, kMedia, rel);
        QCOMPARE(r.domain.toString(), kMedia);
        QCOMPARE(r.path.toString(), rel);
        QCOMPARE(r.mode, quint16(0x81A4));
        QCOMPARE(r.inodeLow, ++inode);
        QCOMPARE(r.dataHash.bytes, sha1("contents of f"));
        QCOMPARE(r.dataHash.length, quint16(20));
        QCOMPARE(r.size, qint64(13));
        QCOMPARE(r.lastModified, 1400000000u);
        QCOMPARE(r.lastAccessed, 1400000000u);
        QVERIFY(r.created != 0);
        QVERIFY(r.linkTarget.isAbsent() && r.encryptionKey.isAbsent() && r.properties.isEmpty());
        // What was there stays.
        QCOMPARE(recordAt(set, kHome, "Library"), homeLibrary);
        QCOMPARE(recordAt(set, kMedia, "Media/y"), huge);
    }

    void recordOfAListedFileIsRefreshed()
    {
        const QString dir = newRoot();
        const QString file = dir + "/f";
        writeAll(file, "new and longer contents");
        QVERIFY(setFileTimes(file, 1400000123));

        MbdbRecord old;
        old.domain = MbdbString::fromText(kMedia);
        old.path = MbdbString::fromText("Library/SMS/Attachments/ab/x.jpg");
        old.dataHash.setData(sha1("old"));
        old.encryptionKey.setData("wrapped key");
        old.mode = 0x81ED;
        old.inodeLow = 77;
        old.userId = 1, old.groupId = 2, old.protectionClass = 3;
        old.size = 3;
        old.properties.append({MbdbString::fromText("k"), MbdbString::fromText("v")});
        MbdbRecordSet set;
        set.insert(old.fileId(), old);
        MbdbRecord folder;
        folder.domain = old.domain;
        folder.path = MbdbString::fromText("Library/SMS/Attachments/ab");
        folder.mode = 0x41ED;
        folder.inodeLow = 10;
        set.insert(folder.fileId(), folder);

        QVERIFY(updateMbdbRecords(set, file, kMedia, old.path.toString()));
        QCOMPARE(set.size(), 2); // the folders above the listed one are not looked up
        MbdbRecord expected = old;
        expected.dataHash.setData(sha1("new and longer contents"));
        expected.size = 23; // the index must agree with the file it describes
        expected.lastModified = expected.lastAccessed = 1400000123;
        expected.created = set.value(old.fileId()).created;
        QCOMPARE(set.value(old.fileId()), expected);

        // A second file in a new folder, two calls: the folder comes once.
        writeAll(dir + "/g", "g");
        QVERIFY(updateMbdbRecords(set, dir + "/g", kMedia, "New/one.jpg"));
        QVERIFY(updateMbdbRecords(set, dir + "/g", kMedia, "New/two.jpg"));
        QCOMPARE(recordAt(set, kMedia, "New").inodeLow, 78u);
        QCOMPARE(recordAt(set, kMedia, "New/one.jpg").inodeLow, 79u);
        QCOMPARE(recordAt(set, kMedia, "New/two.jpg").inodeLow, 80u);

        // An empty set numbers from 1; an unreadable file gets an empty hash.
        MbdbRecordSet empty;
        QVERIFY(updateMbdbRecords(empty, dir + "/missing", kMedia, "m.jpg"));
        QCOMPARE(recordAt(empty, kMedia, "m.jpg").inodeLow, 1u);
        QCOMPARE(recordAt(empty, kMedia, "m.jpg").dataHash.length, quint16(0));
    }

    void unsafePathsAndNonFilesAreRefused_data()
    {
        QTest::addColumn<QString>("rel");
        QTest::newRow("climbs out") << "Library/SMS/../../etc/passwd";
        QTest::newRow("absolute") << "/Library/SMS/x";
        QTest::newRow("empty component") << "Library//x";
        QTest::newRow("backslash") << "Library\\x";
        QTest::newRow("empty") << "";
        QTest::newRow("a folder's place") << "Library/SMS";
    }

    void unsafePathsAndNonFilesAreRefused()
    {
        QFETCH(QString, rel);
        const QString file = newRoot() + "/f";
        writeAll(file, "x");
        MbdbRecordSet set;
        MbdbRecord folder;
        folder.domain = MbdbString::fromText(kMedia);
        folder.path = MbdbString::fromText("Library/SMS");
        folder.mode = 0x41ED;
        set.insert(folder.fileId(), folder);
        const MbdbRecordSet before = set;
        QVERIFY(!updateMbdbRecords(set, file, kMedia, rel));
        QCOMPARE(set, before);
    }

    // ------------------------------------------------------------ order

    void mergeOrder_data()
    {
        QTest::addColumn<qint64>("keyA");
        QTest::addColumn<int>("dateA");
        QTest::addColumn<bool>("phoneA");
        QTest::addColumn<qint64>("keyB");
        QTest::addColumn<int>("dateB");
        QTest::addColumn<bool>("phoneB");
        QTest::addColumn<bool>("aFirst");
        QTest::addColumn<bool>("bFirst");
        QTest::newRow("near keys and dates: by key")
                << 10LL << 1060 << false << 20LL << 1000 << false << true << false;
        QTest::newRow("keys 25 apart: by date")
                << 10LL << 1060 << false << 35LL << 1000 << false << false << true;
        QTest::newRow("dates 121 apart: by date")
                << 10LL << 1121 << true << 11LL << 1000 << false << false << true;
        QTest::newRow("same key and date: phone row first")
                << 5LL << 1000 << true << 5LL << 1000 << false << true << false;
        QTest::newRow("same date far keys: phone row first")
                << 500LL << 1000 << true << 5LL << 1000 << false << true << false;
        QTest::newRow("same date far keys, both phone: by key")
                << 500LL << 1000 << true << 5LL << 1000 << true << false << true;
        QTest::newRow("extreme keys do not overflow")
                << std::numeric_limits<qint64>::max() << 1000 << false
                << std::numeric_limits<qint64>::min() << 1001 << false << true << false;
    }

    void mergeOrder()
    {
        QFETCH(qint64, keyA);
        QFETCH(int, dateA);
        QFETCH(bool, phoneA);
        QFETCH(qint64, keyB);
        QFETCH(int, dateB);
        QFETCH(bool, phoneB);
        QFETCH(bool, aFirst);
        QFETCH(bool, bFirst);
        RestoreMergeItem a, b;
        a.key = keyA, a.date = dateA, a.phoneRow = phoneA;
        b.key = keyB, b.date = dateB, b.phoneRow = phoneB;
        QCOMPARE(restoreMergeLess(a, b), aFirst);
        QCOMPARE(restoreMergeLess(b, a), bFirst);
        QVERIFY(!restoreMergeLess(a, a));
    }

    void sortKeepsEveryItem()
    {
        // The order is not transitive; the sort must still give back every
        // item once, and put far-apart dates in date order.
        QRandomGenerator rng(7);
        QList<RestoreMergeItem> items;
        for (int i = 0; i < 500; ++i) {
            RestoreMergeItem it;
            it.key = rng.bounded(60);
            it.date = rng.bounded(400);
            it.phoneRow = rng.bounded(2) == 0;
            it.row.insert("i", i);
            items.append(it);
        }
        sortRestoreMergeItems(items);
        QCOMPARE(items.size(), 500);
        QSet<int> seen;
        for (const RestoreMergeItem &it : items)
            seen.insert(it.row.value("i").toInt());
        QCOMPARE(seen.size(), 500);

        QList<RestoreMergeItem> spaced;
        for (int i = 0; i < 50; ++i) {
            RestoreMergeItem it;
            it.key = 1000 * ((i * 37) % 50);
            it.date = 1000 * ((i * 37) % 50);
            spaced.append(it);
        }
        sortRestoreMergeItems(spaced);
        for (int i = 0; i < 50; ++i)
            QCOMPARE(spaced[i].date, 1000 * i);
    }

    // ------------------------------------------------------------ the merge

    void mergesIntoTheBackup()
    {
        Fixture f(newRoot());
        addUsualMessages(f);
        const QByteArray oldDb = readAll(f.backupDb());
        const QByteArray oldManifest = readAll(f.manifest());
        const QByteArray cachedBefore = readAll(PhoneSmsDb::smsDbPathOf(f.store));
        const MbdbRecordSet oldSet = readMbdb(f.manifest());

        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QVERIFY(out.boxes.isEmpty());
        QCOMPARE(out.merged, 4);
        QCOMPARE(out.skipped, 3);
        QCOMPARE(out.stages, IOS6RestoreMessagesThread::stageNames());

        // Every phone row stays, the new ones go in date order between them.
        QCOMPARE(f.texts(), (QStringList {"p1", "q1", "n1", "p2", "n2", "p3", "n3"}));
        QCOMPARE(f.rows("select date from message order by rowid").size(), 7);
        for (const QVariantList &r : f.rows("select m.text, c.chat_identifier from message m "
                                            "join chat_message_join j on j.message_id=m.rowid "
                                            "join chat c on c.rowid=j.chat_id")) {
            const QString text = r.value(0).toString(), chat = r.value(1).toString();
            if (text == "q1")
                QCOMPARE(chat, QString("+15550002"));
            else if (text == "n2")
                QCOMPARE(chat, QString("+15550003"));
            else
                QCOMPARE(chat, QString("+15550001"));
        }
        QCOMPARE(f.rows("select * from chat_message_join").size(), 7);
        QCOMPARE(f.rows("select rowid from chat where guid='SMS;-;+15550001'").value(0).value(0),
                 QVariant(f.c1));
        // The phone's attachment stays joined to its message under its rowid;
        // the phone's guid kept the phone's text.
        QCOMPARE(f.rows("select m.text, a.rowid from message m join message_attachment_join j on "
                        "j.message_id=m.rowid join attachment a on a.rowid=j.attachment_id "
                        "order by m.rowid"),
                 (QList<QVariantList> {{"p2", f.phoneAttachment}, {"n2", f.phoneAttachment + 1}}));
        QCOMPARE(f.rows("select text from message where guid='PHONE-P2'").value(0).value(0),
                 QVariant("p2"));
        QVERIFY(f.rows("select properties from chat").value(0).value(0).isNull());
        QCOMPARE(sqliteScalar(f.backupDb(), "PRAGMA integrity_check").toString(), QString("ok"));

        // The new attachment: its place was free, so it keeps its name.
        const QString rel = "Library/SMS/Attachments/aa/01/NEWGUID/new.jpg";
        QCOMPARE(sqliteScalar(f.backupDb(), "select filename from attachment where rowid=?",
                              {f.phoneAttachment + 1})
                         .toString(),
                 "~/" + rel);
        QCOMPARE(readAll(f.backupFile(rel)), QByteArray("new bytes"));

        // The index describes the new files.
        const MbdbRecordSet set = readMbdb(f.manifest());
        const QFileInfo dbInfo(f.backupDb());
        const MbdbRecord db = set.value(kSmsDbId);
        QCOMPARE(db.size, dbInfo.size());
        QCOMPARE(db.dataHash.bytes, sha1(readAll(f.backupDb())));
        QCOMPARE(db.lastModified, quint32(dbInfo.lastModified().toSecsSinceEpoch()));
        QCOMPARE(db.lastAccessed, db.lastModified);
        QCOMPARE(db.inodeLow, 100u); // the rest of the record stays
        QCOMPARE(db.mode, oldSet.value(kSmsDbId).mode);
        const MbdbRecord att = recordAt(set, kMedia, rel);
        QCOMPARE(att.mode, quint16(0x81A4));
        QCOMPARE(att.size, qint64(9));
        QCOMPARE(att.dataHash.bytes, sha1("new bytes"));
        QCOMPARE(att.protectionClass, quint8(4));
        QCOMPARE(recordAt(set, kMedia, "Library/SMS/Attachments/aa/01/NEWGUID").inodeLow, 101u);
        QCOMPARE(recordAt(set, kMedia, "Library/SMS/Attachments/aa/01").inodeLow, 102u);
        QCOMPARE(recordAt(set, kMedia, "Library/SMS/Attachments/aa").inodeLow, 103u);
        QCOMPARE(att.inodeLow, 104u);
        QCOMPARE(set.size(), oldSet.size() + 4);
        const QSet<QString> refreshed = {kSmsDbId, backupFileId(kMedia, f.phoneAttachmentRel),
                                         backupFileId(kHome, "Library/SMS/sms.db-wal"),
                                         backupFileId(kHome, "Library/SMS/sms.db-shm")};
        for (auto it = oldSet.constBegin(); it != oldSet.constEnd(); ++it)
            if (!refreshed.contains(it.key()))
                QCOMPARE(set.value(it.key()), it.value());
        // The old database's log would be laid over the merged one after the
        // restore: empty ones take its place, the old ones are kept aside.
        for (const QString suffix : {"-wal", "-shm"}) {
            const QString id = backupFileId(kHome, "Library/SMS/sms.db" + suffix);
            QCOMPARE(readAll(f.backup + "/" + id), QByteArray());
            QVERIFY(QFileInfo(f.backup + "/" + id).isFile());
            QCOMPARE(set.value(id).size, qint64(0));
            QCOMPARE(set.value(id).dataHash.bytes, sha1(QByteArray()));
            const QStringList kept = QDir(f.backup).entryList({id + "-*"}, QDir::Files);
            QCOMPARE(kept.size(), 1);
            QCOMPARE(readAll(f.backup + "/" + kept.first()),
                     suffix == "-wal" ? QByteArray("old log frames") : QByteArray(64, '\x01'));
        }
        // The phone's attachment was not touched.
        QCOMPARE(readAll(f.backupFile(f.phoneAttachmentRel)), QByteArray("phone photo"));

        // The previous database and index are kept under time-stamped names.
        const QStringList names = QDir(f.backup).entryList(QDir::Files);
        const QStringList dbAside = names.filter(QRegularExpression("^" + kSmsDbId + "-\\d{10}$"));
        const QStringList manifestAside
                = names.filter(QRegularExpression("^Manifest\\.mbdb-\\d{10}$"));
        QCOMPARE(dbAside.size(), 1);
        QCOMPARE(manifestAside.size(), 1);
        QCOMPARE(readAll(f.backup + "/" + dbAside.first()), oldDb);
        QCOMPARE(readAll(f.backup + "/" + manifestAside.first()), oldManifest);
        QVERIFY(names.filter(".merging").isEmpty());

        // The cached copy is as it was, and no working file is left by it.
        QCOMPARE(readAll(PhoneSmsDb::smsDbPathOf(f.store)), cachedBefore);
        QCOMPARE(strayStoreFiles(f), QStringList());
    }

    // When the phone does not take the merged backup: the revert puts back
    // every file the merge replaced or added, in one swap. Without one of
    // the kept copies it puts back none, leaving the merged backup whole.
    void revertPutsTheBackupBack_data()
    {
        QTest::addColumn<bool>("keptCopyLost");
        QTest::newRow("every kept copy there") << false;
        QTest::newRow("the database's kept copy lost") << true;
    }

    void revertPutsTheBackupBack()
    {
        QFETCH(bool, keptCopyLost);
        Fixture f(newRoot());
        addUsualMessages(f);
        const QMap<QString, QByteArray> before = snapshot(f.backup);
        QMap<QString, QByteArray> merged;
        QStringList notPutBack, second;
        const Outcome out = runMerge(f, {}, [&](IOS6RestoreMessagesThread &job) {
            merged = snapshot(f.backup);
            if (keptCopyLost) {
                const QStringList kept = QDir(f.backup).entryList(
                        {kSmsDbId + "-*"}, QDir::Files | QDir::Hidden);
                QCOMPARE(kept.size(), 1);
                QVERIFY(QFile::remove(f.backup + "/" + kept.first()));
                merged.remove(kept.first());
            }
            notPutBack = job.revertBackupFolder();
            second = job.revertBackupFolder();
        });
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QCOMPARE(second, QStringList());
        if (!keptCopyLost) {
            QCOMPARE(notPutBack, QStringList());
            QCOMPARE(snapshot(f.backup), before);
            return;
        }
        // The database, its two logs, the new attachment and the index.
        QCOMPARE(notPutBack.size(), 5);
        QVERIFY(notPutBack.contains(QFileInfo(f.backupDb()).absoluteFilePath()));
        QVERIFY(notPutBack.contains(QFileInfo(f.manifest()).absoluteFilePath()));
        QCOMPARE(snapshot(f.backup), merged);
    }

    void cancelStopsALongAttachmentCopy()
    {
        // A large new attachment is copied in blocks: a Cancel pressed during
        // its copy stops it at the next block, not at the end of the file.
        Fixture f(newRoot());
        _MsgMessage *m = f.message(f.chat(f.handle("+15550003")), "big", 4000, 1001);
        f.attach(m, "~/Library/SMS/Attachments/aa/01/BIG/big.mov", QByteArray(40 * 64 * 1024, 'x'));
        const QMap<QString, QByteArray> backupBefore = snapshot(f.backup);
        std::atomic_int blocksAfterPress {-1};
        const Outcome out = runMerge(f, [&](const QString &stage, ProgressForm *form) {
            if (stage != "staged-database")
                return;
            // The next copies are the attachments'.
            setKillPointHook([form, &blocksAfterPress](const char *point) {
                if (qstrcmp(point, "copy") != 0)
                    return;
                if (blocksAfterPress < 0) {
                    pressCancelNow(*form);
                    blocksAfterPress = 0;
                } else {
                    ++blocksAfterPress;
                }
            });
        });
        setKillPointHook({});
        QVERIFY(!out.ok);
        QVERIFY(out.boxes.isEmpty());
        QCOMPARE(blocksAfterPress.load(), 0);
        QCOMPARE(snapshot(f.backup), backupBefore);
    }

    void cancelOrFailureAtEveryStageLeavesTheBackup_data()
    {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<bool>("cancel");
        const QStringList stages = IOS6RestoreMessagesThread::stageNames();
        for (const QString &s : stages) {
            QTest::addRow("cancel at %s", qPrintable(s)) << s << true;
            QTest::addRow("failure at %s", qPrintable(s)) << s << false;
        }
    }

    void cancelOrFailureAtEveryStageLeavesTheBackup()
    {
        QFETCH(QString, stage);
        QFETCH(bool, cancel);
        Fixture f(newRoot());
        addUsualMessages(f);
        const QMap<QString, QByteArray> backupBefore = snapshot(f.backup);
        const QMap<QString, QByteArray> storeBefore = snapshot(f.store);
        const bool swapping = IOS6RestoreMessagesThread::stageNames().indexOf(stage)
                > IOS6RestoreMessagesThread::stageNames().indexOf("staged-manifest");

        bool clicked = false;
        const Outcome out = runMerge(f, [&](const QString &s, ProgressForm *form) {
            if (s != stage)
                return;
            if (cancel)
                clicked = pressCancel(form);
            else
                throw std::runtime_error(("injected failure at " + s).toStdString());
        });

        if (cancel && swapping) {
            // Once the backup begins to change, Cancel is disabled: the job ends
            // as it began, in success.
            QVERIFY(!clicked);
            QVERIFY(out.ok);
            QCOMPARE(f.texts().size(), 7);
            return;
        }
        QVERIFY(!out.ok);
        if (cancel) {
            QVERIFY(clicked);
            QVERIFY(out.boxes.isEmpty()); // a cancel shows nothing
        } else {
            QCOMPARE(out.errors.size(), 1);
            QVERIFY2(out.errors.first().contains("injected failure at " + stage),
                     qPrintable(out.errors.first()));
        }
        QCOMPARE(snapshot(f.backup), backupBefore);
        QCOMPARE(snapshot(f.store), storeBefore);
    }

    void failuresLeaveTheBackup_data()
    {
        QTest::addColumn<SetUp>("setUp");
        QTest::addColumn<QString>("error");
        QTest::newRow("no index") << SetUp([](Fixture &f) { QFile::remove(f.manifest()); })
                                  << "can not find";
        QTest::newRow("damaged index")
                << SetUp([](Fixture &f) { writeAll(f.manifest(), readAll(f.manifest()).left(40)); })
                << "is damaged";
        QTest::newRow("encrypted backup") << SetUp([](Fixture &f) {
            f.fake.device.encrypted = true;
            f.fake.writeManifestPlist(PyPlist::Binary);
        }) << "encrypted";
        QTest::newRow("encrypted database record") << SetUp([](Fixture &f) {
            MbdbRecordSet set = readMbdb(f.manifest());
            set[kSmsDbId].encryptionKey.setData("wrapped");
            writeAll(f.manifest(), serializeMbdb(set.values()));
        }) << "encrypted";
        QTest::newRow("only unknown numbers") << SetUp([](Fixture &f) {
            f.list = {f.list.at(4), f.list.at(5), f.list.at(6)};
        }) << "Only found 3 messages with unknown contact info";
        QTest::newRow("chat of another service") << SetUp([](Fixture &f) {
            f.message(f.chat(f.handle("x@example.com"), "Jabber"), "hi", 4500, 1100);
        }) << "IOS6MessageDb::insertChat, invalid chat, service_name:Jabber";
        QTest::newRow("backup's database is not the cached one") << SetUp([](Fixture &f) {
            RawSqlite db(f.backupDb());
            db.exec("insert into message (guid, text, date) values ('LATER', 'later', 9000)");
        }) << "is no longer the one";
        QTest::newRow("backup's database gone") << SetUp([](Fixture &f) {
            QVERIFY(QFile::remove(f.backupDb()));
        }) << "is no longer the one";
        QTest::newRow("no cached database")
                << SetUp([](Fixture &f) { QFile::remove(PhoneSmsDb::smsDbPathOf(f.store)); })
                << "copy database to";
        QTest::newRow("cached file is no database") << SetUp([](Fixture &f) {
            writeAll(PhoneSmsDb::smsDbPathOf(f.store), QByteArray(4096, 'x'));
        }) << "copy database to";
    }

    void failuresLeaveTheBackup()
    {
        QFETCH(SetUp, setUp);
        QFETCH(QString, error);
        Fixture f(newRoot());
        addUsualMessages(f);
        setUp(f);
        const QMap<QString, QByteArray> backupBefore = snapshot(f.backup);
        const QMap<QString, QByteArray> storeBefore = snapshot(f.store);
        const Outcome out = runMerge(f);
        QVERIFY(!out.ok);
        QCOMPARE(out.errors.size(), 1);
        QVERIFY2(out.errors.first().contains(error), qPrintable(out.errors.first()));
        QCOMPARE(snapshot(f.backup), backupBefore);
        QCOMPARE(snapshot(f.store), storeBefore);
    }

    void attachmentFilesGetConfinedNamesOfTheirOwn()
    {
        Fixture f(newRoot());
        _MsgChat *chat = f.chat(f.handle("+15550001"));
        _MsgMessage *m = f.message(chat, "with files", 7000, 2000);
        struct Case
        {
            const char *name;
            QString filename;
            QByteArray content;
            bool keepsName;
        };
        const QString phonePath = "~/" + f.phoneAttachmentRel;
        const QList<Case> cases = {
                {"climbs out", "~/Library/SMS/Attachments/../../../../Preferences/evil.plist",
                 "evil", false},
                {"not below Library", "/sdcard/DCIM/a.jpg", "sdcard", false},
                {"first of two names", "~/Library/SMS/Attachments/cc/01/same.jpg", "one", true},
                {"second of two names", "~/Library/SMS/Attachments/cc/01/same.jpg", "two", false},
                {"the phone's file, other contents", phonePath, "not the phone's", false},
                {"the phone's file, same contents", phonePath, "phone photo", true},
                {"the database's name", "~/Library/SMS/sms.db", "fake db", false},
                {"a folder's name", "~/Library/SMS/Attachments", "folder", false},
                {"control characters", QString("~/Library/SMS/Attachments/dd/a\nb\x01.jpg"), "ctl",
                 true},
        };
        QList<_MsgAttachment *> atts;
        for (const Case &c : cases)
            atts << f.attach(m, c.filename, c.content);
        _MsgAttachment *missing
                = f.attach(m, "~/Library/SMS/Attachments/ee/gone.jpg", QByteArray());
        _MsgAttachment *missingHostile
                = f.attach(m, "~/Library/SMS/Attachments/../../AddressBook/AddressBook.sqlitedb",
                           QByteArray());
        const QMap<QString, QByteArray> before = snapshot(f.backup);

        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));

        const MbdbRecordSet set = readMbdb(f.manifest());
        QSet<QString> places;
        for (int i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            const QString filename = f.filenameOf(atts[i]);
            QVERIFY2(filename.startsWith("~/Library/SMS/Attachments/"), c.name);
            const QString rel = filename.mid(2);
            QVERIFY2(isSafeBackupPath(rel), c.name);
            QCOMPARE(filename == c.filename, c.keepsName);
            QCOMPARE(readAll(f.backupFile(rel)), c.content);
            const MbdbRecord r = recordAt(set, kMedia, rel);
            QVERIFY2(r.isRegularFile(), c.name);
            QCOMPARE(r.dataHash.bytes, sha1(c.content));
            QCOMPARE(r.size, qint64(c.content.size()));
            if (c.content != "phone photo")
                QVERIFY2(!places.contains(rel), c.name);
            places.insert(rel);
        }
        // A file that is not at hand is not put in; its row keeps its name.
        QCOMPARE(f.filenameOf(missing), missing->filename);
        QVERIFY(!QFileInfo::exists(f.backupFile(missing->filename.mid(2))));
        QVERIFY(!set.contains(backupFileId(kMedia, missing->filename.mid(2))));
        // Nor is one whose name climbs out, and its row gets a confined name:
        // the phone deletes an attachment's file by that name.
        const QString confined = f.filenameOf(missingHostile);
        QVERIFY(confined.startsWith("~/Library/SMS/Attachments/"));
        QVERIFY(isSafeBackupPath(confined.mid(2)));
        QVERIFY(confined.endsWith("/AddressBook.sqlitedb"));
        QVERIFY(!set.contains(backupFileId(kMedia, confined.mid(2))));
        // The phone's own file is untouched, and every new file is one of ours.
        QCOMPARE(readAll(f.backupFile(f.phoneAttachmentRel)), QByteArray("phone photo"));
        const QMap<QString, QByteArray> after = snapshot(f.backup);
        int added = 0;
        for (auto it = after.constBegin(); it != after.constEnd(); ++it)
            if (!before.contains(it.key()) && !it.key().contains('-'))
                ++added;
        QCOMPARE(added, cases.size() - 1); // the phone's own contents were not copied again
        // No record of the index names a place outside its domain.
        for (const MbdbRecord &r : set)
            QVERIFY(r.path.toString().isEmpty() || isSafeBackupPath(r.path.toString()));
    }

    void databaseRecordIsMadeWhenTheIndexLacksIt()
    {
        // A whole record, not an empty one that would name no file.
        Fixture f(newRoot());
        addUsualMessages(f);
        MbdbRecordSet set = readMbdb(f.manifest());
        set.remove(kSmsDbId);
        writeAll(f.manifest(), serializeMbdb(set.values()));
        QVERIFY(runMerge(f).ok);
        const MbdbRecord db = readMbdb(f.manifest()).value(kSmsDbId);
        QCOMPARE(db.domain.toString(), kHome);
        QCOMPARE(db.path.toString(), QString("Library/SMS/sms.db"));
        QVERIFY(db.isRegularFile());
        QCOMPARE(db.size, QFileInfo(f.backupDb()).size());
        QCOMPARE(db.dataHash.bytes, sha1(readAll(f.backupDb())));
        QCOMPARE(db.userId, 501u);
    }

    void messagesWithoutGuidAreNotLost()
    {
        Fixture f(newRoot());
        _MsgChat *chat = f.chat(f.handle("+15550001"));
        _MsgMessage *a = f.message(chat, "first without guid", 7000, 3000, "");
        _MsgMessage *b = f.message(chat, "second without guid", 7100, 3100, "");
        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QCOMPARE(out.merged, 2);
        QCOMPARE(f.texts().mid(4), (QStringList {"first without guid", "second without guid"}));
        const QList<QVariantList> guids
                = f.rows("select guid from message where text like '%without guid'");
        QCOMPARE(guids.size(), 2);
        QVERIFY(!guids[0][0].toString().isEmpty() && guids[0][0] != guids[1][0]);
        QVERIFY(a->guid.isEmpty() && b->guid.isEmpty()); // the caller's records stay as they were
    }

    void repeatedGuidsChatsAndHandlesAreWrittenOnce()
    {
        // One correspondent in two new conversations; the second copy of a
        // message comes with an attachment.
        Fixture f(newRoot());
        _MsgHandle *h = f.handle("+15550009");
        h->service = "SMS";
        _MsgChat *sms = f.chat(h);
        _MsgChat *imessage = f.chat(h, "iMessage");
        f.message(sms, "first copy", 7000, 3000, "DUP-1");
        _MsgMessage *second = f.message(sms, "second copy", 7100, 3001, "DUP-1");
        f.attach(second, "~/Library/SMS/Attachments/dd/02/DUPGUID/dup.jpg", "dup bytes");
        f.message(sms, "another", 7150, 3002);
        f.message(imessage, "over iMessage", 7200, 3003);
        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QCOMPARE(out.merged, 4);
        QCOMPARE(f.texts().mid(4), (QStringList {"first copy", "another", "over iMessage"}));
        QCOMPARE(f.rows("select count(*) from chat where chat_identifier='+15550009'"),
                 (QList<QVariantList> {{2}}));
        QCOMPARE(f.rows("select count(*) from handle where id='+15550009'"),
                 (QList<QVariantList> {{1}}));
        QCOMPARE(f.rows("select c.guid from chat_handle_join j join chat c on c.rowid=j.chat_id "
                        "join handle h on h.rowid=j.handle_id where h.id='+15550009' "
                        "order by c.guid"),
                 (QList<QVariantList> {{"SMS;-;+15550009"}, {"iMessage;-;+15550009"}}));
        QCOMPARE(f.rows("select c.guid, count(*) from chat_message_join j join chat c on "
                        "c.rowid=j.chat_id where c.chat_identifier='+15550009' group by c.guid "
                        "order by c.guid"),
                 (QList<QVariantList> {{"SMS;-;+15550009", 2}, {"iMessage;-;+15550009", 1}}));
        // The second copy's attachment is joined to the row of the first.
        QCOMPARE(f.rows("select m.text from message_attachment_join j join message m on "
                        "m.rowid=j.message_id join attachment a on a.rowid=j.attachment_id "
                        "where a.filename like '%dup.jpg'"),
                 (QList<QVariantList> {{"first copy"}}));
    }

    void phoneRowsStayWhereverTheNewCopySorts()
    {
        // The same message from another source, dated before every phone row.
        Fixture f(newRoot());
        _MsgChat *chat = f.chat(f.handle("+15550001"));
        _MsgMessage *dup = f.message(chat, "changed elsewhere", 10, 5000, "PHONE-P2");
        f.attach(dup, "~/Library/SMS/Attachments/ff/extra.jpg", "extra");
        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QCOMPARE(out.merged, 1);
        QCOMPARE(f.texts(), (QStringList {"p1", "q1", "p2", "p3"}));
        // Its attachment is joined to the phone's row and put into the backup.
        QCOMPARE(f.rows("select count(*) from message_attachment_join j join message m on "
                        "m.rowid=j.message_id where m.guid='PHONE-P2'")
                         .value(0)
                         .value(0),
                 QVariant(2));
        QCOMPARE(readAll(f.backupFile("Library/SMS/Attachments/ff/extra.jpg")),
                 QByteArray("extra"));
    }

    void writeAheadLogOfTheCachedCopyIsMerged()
    {
        // Rows that are still in the cached copy's write-ahead log belong to
        // the phone as much as those in the file.
        PhoneSchema wal = PhoneSchema::ios6();
        wal.wal = true;
        const QString root = newRoot();
        Fixture f(root, wal);
        {
            RawSqlite db(PhoneSmsDb::smsDbPathOf(f.store));
            db.exec("PRAGMA journal_mode=WAL;");
            sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            db.run("insert into message (guid, text, date, handle_id) values ('IN-WAL', "
                   "'only in the log', 5500, ?)",
                   {f.h1});
            db.run("insert into chat_message_join (chat_id, message_id) values (?, "
                   "last_insert_rowid())",
                   {f.c1});
        }
        QVERIFY(QFileInfo(PhoneSmsDb::smsDbPathOf(f.store) + "-wal").size() > 0);
        f.message(f.chat(f.handle("+15550001")), "new", 6000, 4000);
        const Outcome out = runMerge(f);
        QVERIFY2(out.ok, qPrintable(out.errors.join("\n")));
        QCOMPARE(f.texts(), (QStringList {"p1", "q1", "p2", "p3", "only in the log", "new"}));
    }

    void secondMergeKeepsEachPreviousVersion()
    {
        Fixture f(newRoot());
        addUsualMessages(f);
        const QByteArray original = readAll(f.backupDb());
        QVERIFY(runMerge(f).ok);
        const QByteArray first = readAll(f.backupDb());
        const QByteArray firstManifest = readAll(f.manifest());
        copyBackupDbToStore(f); // the backup loaded again
        QVERIFY(runMerge(f).ok); // within the same second, as often as not
        const QStringList names = QDir(f.backup).entryList(QDir::Files, QDir::Name);
        const QStringList dbAside = names.filter(QRegularExpression("^" + kSmsDbId + "-\\d+$"));
        const QStringList manifestAside
                = names.filter(QRegularExpression("^Manifest\\.mbdb-\\d+$"));
        QCOMPARE(dbAside.size(), 2);
        QCOMPARE(manifestAside.size(), 2);
        QCOMPARE(readAll(f.backup + "/" + dbAside[0]), original);
        QCOMPARE(readAll(f.backup + "/" + dbAside[1]), first);
        QCOMPARE(readAll(f.backup + "/" + manifestAside[1]), firstManifest);
        // The attachment already in place is not copied twice.
        QCOMPARE(f.texts(), (QStringList {"p1", "q1", "n1", "p2", "n2", "p3", "n3"}));
        QCOMPARE(readMbdb(f.manifest()).size(), readMbdb(f.backup + "/" + manifestAside[1]).size());
    }

    // The backup's database changes while the merge runs: the merge stops
    // before its swap and the backup keeps what the other writer put there.
    void databaseChangedDuringTheMergeIsKept()
    {
        Fixture f(newRoot());
        addUsualMessages(f);
        QByteArray changed;
        QMap<QString, QByteArray> before;
        const Outcome out = runMerge(f, [&](const QString &stage, ProgressForm *) {
            if (stage != "staged-manifest")
                return;
            {
                RawSqlite db(f.backupDb());
                db.exec("insert into message (guid, text, date) values ('MEANWHILE', "
                        "'written meanwhile', 9000)");
            }
            changed = readAll(f.backupDb());
            before = snapshot(f.backup);
        });
        QVERIFY(!out.ok);
        QCOMPARE(out.errors.size(), 1);
        QVERIFY2(out.errors.first().contains("is no longer the one"),
                 qPrintable(out.errors.first()));
        QCOMPARE(readAll(f.backupDb()), changed);
        QMap<QString, QByteArray> after = snapshot(f.backup);
        for (auto it = before.begin(); it != before.end();) // the merge's staged files
            it = it.key().endsWith(".merging") ? before.erase(it) : std::next(it);
        QCOMPARE(after, before);
    }

    // Merge, load the backup again, merge within the same second, load it
    // again, merge: every merge's messages stay in the backup.
    void mergesAndReloadsWithinOneSecondLoseNothing()
    {
        Fixture f(newRoot());
        _MsgChat *chat = f.chat(f.handle("+15550001"));
        f.message(chat, "a1", 6000, 4000);
        QVERIFY(runMerge(f).ok);
        const quint32 firstTime = readMbdb(f.manifest()).value(kSmsDbId).lastModified;
        QVERIFY(recache(f));

        f.list.clear();
        f.message(chat, "b1", 6100, 4001);
        const Outcome second = runMerge(f);
        QVERIFY2(second.ok, qPrintable(second.errors.join("\n")));
        // The second merge came within the second of the first: its record
        // carries the same time.
        MbdbRecordSet set = readMbdb(f.manifest());
        QVERIFY(set[kSmsDbId].dataHash.bytes != QByteArray());
        set[kSmsDbId].lastModified = firstTime;
        writeAll(f.manifest(), serializeMbdb(set.values()));
        QVERIFY(recache(f));
        QCOMPARE(readAll(PhoneSmsDb::smsDbPathOf(f.store)), readAll(f.backupDb()));

        f.list.clear();
        f.message(chat, "c1", 6200, 4002);
        const Outcome third = runMerge(f);
        QVERIFY2(third.ok, qPrintable(third.errors.join("\n")));
        QCOMPARE(f.texts(), (QStringList {"p1", "q1", "p2", "p3", "a1", "b1", "c1"}));
    }
};

QTEST_MAIN(TestBkMerge)
#include "tst_bkmerge.moc"
