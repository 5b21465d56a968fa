// The backup cache: an iPhone backup (plain or encrypted) copied into a
// store folder that opens as a message database, later runs copying only
// what changed, and runs that fail or are cancelled leaving the earlier
// cache as it was.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/msgdataset.h"
#include "store/progressform.h"
#include "store/texts.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/encryptedbackup.h"
#include "tests/support/fakebackup.h"
#include "tests/support/jobrun.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>

using namespace encbackup;

namespace {

const char *const kUs = "310";
const char *const kSmsDb = "file-relay/var/mobile/Library/SMS/sms.db";
const QByteArray kPassword = "open sesame";

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Every file below folder (links too), relative to it, sorted.
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

// One entry of a backup as the test describes it, in plain text.
struct BackupItem
{
    QString domain;
    QString path;
    bool folder = false;
    QByteArray bytes;
    quint32 time = 1'370'000'000;
    qint32 cls = 4;
    // Ciphertext cut short: an encrypted file that cannot be decrypted.
    bool damaged = false;
};

// A backup folder built from a list of items, plain or encrypted, that a
// test can change and write again.
class PhoneBackup
{
public:
    PhoneBackup(const QString &folder, bool encrypted)
        : m_folder(folder)
        , m_encrypted(encrypted)
    {
        if (encrypted)
            m_keybag = makeKeybag(kPassword, 16, {{1, 1, 0}, {3, 2, 0}, {4, 2, 0}});
    }

    QList<BackupItem> items;

    void addFolder(const QString &domain, const QString &path)
    {
        BackupItem i;
        i.domain = domain;
        i.path = path;
        i.folder = true;
        items << i;
    }
    BackupItem &addFile(const QString &domain, const QString &path, const QByteArray &bytes)
    {
        BackupItem i;
        i.domain = domain;
        i.path = path;
        i.bytes = bytes;
        items << i;
        return items.last();
    }
    BackupItem &item(const QString &path)
    {
        for (BackupItem &i : items)
            if (i.path == path && !i.folder)
                return i;
        qFatal("no backup item %s", qPrintable(path));
    }

    // The files of a phone's store folder, as a backup lists them: the
    // message database and the address book in "HomeDomain", the
    // attachments in "MediaDomain".
    void addStore(const QString &store)
    {
        const QString library = store + "/file-relay/var/mobile/Library";
        addFolder("HomeDomain", "Library");
        addFolder("HomeDomain", "Library/SMS");
        addFolder("MediaDomain", "Library");
        addFolder("MediaDomain", "Library/SMS");
        QDirIterator it(library, QDir::AllEntries | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList entries;
        while (it.hasNext())
            entries << QDir(library).relativeFilePath(it.next());
        entries.sort();
        for (const QString &rel : entries) {
            const QString path = "Library/" + rel;
            const bool media = rel.startsWith("SMS/Attachments");
            const QString domain = media ? "MediaDomain" : "HomeDomain";
            if (QFileInfo(library + "/" + rel).isDir()) {
                if (rel != "SMS")
                    addFolder(domain, path);
            } else {
                addFile(domain, path, readFile(library + "/" + rel));
            }
        }
    }

    void write() const
    {
        QDir(m_folder).removeRecursively();
        FakeBackup b(m_folder);
        b.device.encrypted = m_encrypted;
        b.device.keybag = m_keybag.bytes;
        quint32 seed = 1;
        for (const BackupItem &i : items) {
            if (i.folder) {
                b.addFolder(i.domain, i.path);
                continue;
            }
            if (!m_encrypted) {
                b.addFile(i.domain, i.path, i.bytes).lastModified = i.time;
                continue;
            }
            const EncryptedFile e
                    = encryptFile(i.bytes, m_keybag.classKeys.value(i.cls), i.cls, seed++);
            FakeBackup::Entry &entry
                    = b.addFile(i.domain, i.path, i.damaged ? e.cipher.chopped(5) : e.cipher);
            entry.size = i.bytes.size();
            entry.dataHash = QCryptographicHash::hash(i.bytes, QCryptographicHash::Sha1);
            entry.encryptionKey = e.storedKey;
            entry.protectionClass = quint8(i.cls);
            entry.lastModified = i.time;
        }
        b.write();
    }

    QString folder() const { return m_folder; }
    QString backupFile(const QString &domain, const QString &path) const
    {
        return m_folder + "/" + FakeBackup::fileId(domain, path);
    }

    // A manifest of the folder as written, unlocked when encrypted.
    std::unique_ptr<BackupManifest> manifest(bool unlock = true) const
    {
        auto m = std::make_unique<BackupManifest>(m_folder);
        m->loadManifestPlist();
        if (m_encrypted && unlock && !m->unlockBackup(QString::fromUtf8(kPassword)))
            qFatal("the fixture's password does not unlock its keybag");
        m->loadManifestMbdb();
        return m;
    }

private:
    QString m_folder;
    bool m_encrypted;
    KeybagFixture m_keybag;
};

struct Phone
{
    QByteArray photo;
    QByteArray voice;
    qint64 anna = 0;
    qint64 bob = 0;
};

// A small phone: Anna (in the address book) with a text and a photo, Bob
// (not in it) with a text and a voice memo.
Phone makePhone(const QString &store)
{
    Phone p;
    p.photo = pseudoRandom(20'000, 7);
    p.voice = pseudoRandom(333, 8);
    {
        PhoneSmsDb db(store);
        p.anna = db.addHandle("+12025550143");
        p.bob = db.addHandle("+12025550199");
        const qint64 annaChat = db.addChat(p.anna);
        const qint64 bobChat = db.addChat(p.bob);
        db.addText(annaChat, "Hello Anna", p.anna, 390'000'000);
        const qint64 m = db.addText(annaChat, "Look at this", p.anna, 390'000'100, true);
        db.addAttachment(m, "IMG_0001.JPG", p.photo);
        db.addText(bobChat, "Hi Bob", p.bob, 390'000'200);
        const qint64 v = db.addText(bobChat, "", p.bob, 390'000'300);
        db.addAttachment(v, "Audio Message.amr", p.voice, "audio/amr",
                         "org.3gpp.adaptive-multi-rate-audio");
    }
    AddressBookFixture book(store);
    const qint64 anna = book.addPerson("Anna", "Berg");
    book.addPhone(anna, "(202) 555-0143");
    book.addImage(anna, "PHOTO");
    book.close();
    return p;
}

struct Outcome
{
    bool ok = false;
    QStringList boxes;
    QStringList stuck;
    QStringList copied;
    QString cacheDir;
};

Outcome runCache(BackupManifest &manifest, const QString &cacheFolder = {},
                 const std::function<void(ModalAnswerer &)> &prepare = {})
{
    Outcome out;
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer("btnOk");
    if (prepare)
        prepare(answerer);
    ProgressForm form(ids("IDS_LOADING_ITUNES_BACKUP"));
    std::unique_ptr<ITunesCacheSMSThread> job(
            cacheFolder.isEmpty() ? new ITunesCacheSMSThread(&manifest, &form)
                                  : new ITunesCacheSMSThread(&manifest, QDir(cacheFolder), &form));
    out.ok = form.runJob(job.get());
    QTest::qWait(20);
    for (const ModalAnswerer::Seen &s : answerer.seen())
        if (s.className == "QMessageBox")
            out.boxes << s.text;
    out.stuck = answerer.stuck();
    out.copied = job->copiedFiles();
    out.cacheDir = job->cacheDir().absolutePath();
    return out;
}

// file_name -> last_date of a cache folder's manifest.db.
QMap<QString, qint64> cacheRows(const QString &cacheDir)
{
    QMap<QString, qint64> rows;
    const QString path = cacheDir + "/manifest.db";
    if (!QFile::exists(path))
        return rows;
    RawSqlite db(path, false, true);
    for (const QVariantList &r : db.rows("select file_name, last_date from manifest"))
        rows.insert(r.at(0).toString(), r.at(1).toLongLong());
    return rows;
}

// The store as the program reads it: "name: text [attachment bytes]" per
// message, sorted, with the contact name of each correspondent.
QStringList readStore(const QString &cacheDir)
{
    IOS6MessageDb db {QDir(cacheDir), kUs, false};
    MsgDataSet set;
    set.reset();
    db.chats(set);
    QStringList out;
    for (_MsgChat *chat : set.data()->chats)
        db.messages(set, chat->ROWID);
    for (_MsgMessage *m : set.data()->messages) {
        QString line = m->handle
                ? (m->handle->contactName.isEmpty() ? m->handle->id : m->handle->contactName)
                : QString("?");
        line += ": " + m->text;
        for (_MsgAttachment *a : m->attachments) {
            line += QString(" [%1 %2]")
                            .arg(a->transfer_name)
                            .arg(a->localPath.isEmpty()
                                         ? QString("missing")
                                         : QString::fromLatin1(
                                                 QCryptographicHash::hash(readFile(a->localPath),
                                                                          QCryptographicHash::Md5)
                                                         .toHex()));
        }
        out << line;
    }
    out.sort();
    return out;
}

QString md5(const QByteArray &b)
{
    return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Md5).toHex());
}

} // namespace

class TestBkCache : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> m_env;
    int m_counter = 0;

    QString newDir(const QString &name)
    {
        return m_env->makeDir(name + QString::number(++m_counter));
    }

    QStringList expectedStore(const Phone &p) const
    {
        QStringList e {"+12025550199: Hi Bob",
                       "+12025550199:  [Audio Message.amr " + md5(p.voice) + "]",
                       "Anna Berg: Hello Anna",
                       "Anna Berg: Look at this [IMG_0001.JPG " + md5(p.photo) + "]"};
        e.sort();
        return e;
    }

private slots:
    void initTestCase() { m_env = std::make_unique<TestEnv>(); }

    void backupCachedAndOpened_data()
    {
        QTest::addColumn<bool>("encrypted");
        QTest::newRow("plain") << false;
        QTest::newRow("encrypted") << true;
    }

    // The cache folder is named after the backup, holds the phone's files
    // in plain text with their times, lists each in manifest.db and opens as
    // the phone's messages with attachments and contact names.
    void backupCachedAndOpened()
    {
        QFETCH(bool, encrypted);
        const QString store = newDir("phone");
        const Phone phone = makePhone(store);
        PhoneBackup backup(newDir("backup"), encrypted);
        backup.addStore(store);
        backup.item("Library/SMS/sms.db").time = 1'370'000'500;
        backup.item("Library/AddressBook/AddressBook.sqlitedb").time = 0; // a time of 0 is a time
        backup.write();
        auto manifest = backup.manifest();

        const Outcome out = runCache(*manifest);
        QVERIFY2(out.ok, qPrintable(out.boxes.join('|')));
        QVERIFY(out.boxes.isEmpty());
        QCOMPARE(out.cacheDir, dataFolder().filePath("itunes_cache/" + backupCacheKey(*manifest)));

        QStringList expectedFiles {"manifest.db"};
        QMap<QString, qint64> expectedRows;
        for (const BackupItem &i : backup.items) {
            if (i.folder)
                continue;
            const QString rel = "file-relay/var/mobile/" + i.path;
            expectedFiles << rel;
            QCOMPARE(readFile(out.cacheDir + "/" + rel), i.bytes);
            QCOMPARE(QFileInfo(out.cacheDir + "/" + rel).lastModified().toSecsSinceEpoch(),
                     qint64(i.time));
            expectedRows.insert(FakeBackup::fileId(i.domain, i.path), i.time);
        }
        QCOMPARE(cacheRows(out.cacheDir), expectedRows);
        QCOMPARE(out.copied.size(), expectedRows.size());
        expectedFiles.sort();
        QCOMPARE(filesBelow(out.cacheDir), expectedFiles);

        QCOMPARE(readStore(out.cacheDir), expectedStore(phone));
    }

    // Later runs copy the files whose record time changed or whose cached
    // copy is gone, and nothing else; a lost or damaged manifest.db means
    // copying everything again.
    void laterRunsCopyOnlyChanges()
    {
        const QString store = newDir("phone");
        const Phone phone = makePhone(store);
        PhoneBackup backup(newDir("backup"), false);
        backup.addStore(store);
        backup.addFile("HomeDomain", "Library/SMS/zero.plist", "zero").time = 0;
        backup.write();
        auto manifest = backup.manifest();
        const Outcome first = runCache(*manifest);
        QVERIFY(first.ok);
        const QString cache = first.cacheDir;
        qsizetype fileCount = 0;
        for (const BackupItem &i : backup.items)
            fileCount += i.folder ? 0 : 1;
        QCOMPARE(fileCount, 6);
        QCOMPARE(first.copied.size(), fileCount);
        QVERIFY(first.copied.contains("file-relay/var/mobile/Library/SMS/zero.plist"));

        const Outcome same = runCache(*manifest);
        QVERIFY(same.ok);
        QCOMPARE(same.copied, QStringList());

        // A changed photo, a deleted cached address book (its row stays) and
        // a stale write-ahead log beside the message database.
        BackupItem *photoItem = nullptr;
        for (BackupItem &i : backup.items)
            if (i.path.endsWith("IMG_0001.JPG"))
                photoItem = &i;
        QVERIFY(photoItem);
        BackupItem &photo = *photoItem;
        const QByteArray newPhoto = pseudoRandom(5000, 99);
        photo.bytes = newPhoto;
        photo.time += 60;
        backup.item("Library/SMS/sms.db").time += 60;
        backup.write();
        QVERIFY(QFile::remove(cache
                              + "/file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb"));
        QVERIFY(writeFile(cache + "/" + kSmsDb + "-wal", "stale log"));
        QVERIFY(writeFile(cache + "/" + kSmsDb + "-shm", "stale index"));
        manifest = backup.manifest();
        const Outcome changed = runCache(*manifest);
        QVERIFY(changed.ok);
        QStringList expected {"file-relay/var/mobile/" + photo.path,
                              "file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb",
                              QString(kSmsDb)};
        expected.sort();
        QStringList copied = changed.copied;
        copied.sort();
        QCOMPARE(copied, expected);
        QCOMPARE(cacheRows(cache).value(FakeBackup::fileId("MediaDomain", photo.path)),
                 qint64(photo.time));
        QVERIFY(!QFile::exists(cache + "/" + kSmsDb + "-wal"));
        QVERIFY(!QFile::exists(cache + "/" + kSmsDb + "-shm"));
        Phone now = phone;
        now.photo = newPhoto;
        QCOMPARE(readStore(cache), expectedStore(now));

        // manifest.db lost, then damaged: everything is copied again.
        QVERIFY(QFile::remove(cache + "/manifest.db"));
        QCOMPARE(runCache(*manifest).copied.size(), fileCount);
        QVERIFY(writeFile(cache + "/manifest.db", QByteArray(4096, 'x')));
        const Outcome damaged = runCache(*manifest);
        QVERIFY(damaged.ok);
        QCOMPARE(damaged.copied.size(), fileCount);
        QCOMPARE(cacheRows(cache).size(), fileCount);
        QCOMPARE(runCache(*manifest).copied, QStringList());
    }

    // A write-ahead log that the backup holds is the database's own and stays.
    void backupsOwnLogIsKept()
    {
        PhoneBackup backup(newDir("backup"), false);
        backup.addFolder("HomeDomain", "Library");
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "db");
        backup.addFile("HomeDomain", "Library/SMS/sms.db-wal", "log");
        backup.write();
        auto manifest = backup.manifest();
        const Outcome out = runCache(*manifest);
        QVERIFY(out.ok);
        QCOMPARE(readFile(out.cacheDir + "/" + kSmsDb + "-wal"), QByteArray("log"));
        backup.item("Library/SMS/sms.db").time += 5;
        backup.write();
        manifest = backup.manifest();
        QCOMPARE(runCache(*manifest).copied, QStringList {kSmsDb});
        QCOMPARE(readFile(out.cacheDir + "/" + kSmsDb + "-wal"), QByteArray("log"));
    }

    void withoutMessageFolder_data()
    {
        QTest::addColumn<QStringList>("folders");
        QTest::newRow("no Library") << QStringList {"Documents"};
        QTest::newRow("Library without SMS") << QStringList {"Library", "Library/Notes"};
        QTest::newRow("SMS without a Library record") << QStringList {"Library/SMS"};
    }

    // A backup without Library/SMS says so and leaves no cache folder.
    void withoutMessageFolder()
    {
        QFETCH(QStringList, folders);
        PhoneBackup backup(newDir("backup"), false);
        for (const QString &f : folders)
            backup.addFolder("HomeDomain", f);
        backup.addFile("HomeDomain", folders.last() + "/sms.db", "x");
        backup.write();
        auto manifest = backup.manifest();
        const Outcome out = runCache(*manifest);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY(out.boxes.at(0).contains(ids("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP")));
        QVERIFY(!QFileInfo::exists(out.cacheDir));
    }

    // Only the message folder, into a folder the caller names.
    void messagesWithoutAddressBook()
    {
        PhoneBackup backup(newDir("backup"), false);
        backup.addFolder("HomeDomain", "Library");
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "db");
        backup.addFolder("HomeDomain", "Library/SMS/Drafts");
        backup.write();
        auto manifest = backup.manifest();
        const QString target = newDir("store") + "/phone";
        const Outcome out = runCache(*manifest, target);
        QVERIFY(out.ok);
        QCOMPARE(out.cacheDir, target);
        QCOMPARE(filesBelow(target), (QStringList {QString(kSmsDb), "manifest.db"}));
        QVERIFY(QFileInfo(target + "/file-relay/var/mobile/Library/SMS/Drafts").isDir());
        QVERIFY(!QFileInfo::exists(target + "/file-relay/var/mobile/Library/AddressBook"));
    }

    // Names from the backup that could lead out of the cache folder are left
    // out; everything else is cached under its cleaned name.
    void hostileNamesStayInside()
    {
        const QString root = newDir("hostile");
        PhoneBackup backup(root + "/backup", false);
        backup.addFolder("HomeDomain", "Library");
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "db");
        const QStringList hostile {"Library/SMS/../../../../../escape1",
                                   "/Library/SMS/escape2",
                                   "Library/SMS/..",
                                   "Library/SMS/sub\\..\\..\\escape3",
                                   "Library/SMS/ .. ",
                                   "Library/SMS/..:",
                                   "Library/SMS/:",
                                   "Library/SMS//escape4"};
        for (const QString &p : hostile)
            backup.addFile("HomeDomain", p, "evil");
        backup.addFile("MediaDomain", "Library/SMS/Attachments/../../../../escape5", "evil");
        backup.addFile("AppDomain-../../..", "Library/SMS/escape6", "evil");
        backup.addFile("HomeDomain", "Library/SMS/co:lon?.txt", "kept");
        backup.addFile("HomeDomain", "Library/SMS/linked.txt", "replaced by a link");
        backup.write();
        // A backup file that is a link to a file of the user outside it.
        const QString secret = root + "/secret-escape8";
        QVERIFY(writeFile(secret, "secret"));
        const QString linked = backup.backupFile("HomeDomain", "Library/SMS/linked.txt");
        QVERIFY(QFile::remove(linked));
        QVERIFY(QFile::link(secret, linked));
        auto manifest = backup.manifest();

        // A folder named ".." with a file in it, put in the tree by hand.
        BackupFileNode *sms = manifest->root.child("Library")->child("SMS");
        MbdbRecord folderRecord;
        folderRecord.mode = 040755;
        auto *up = new BackupFileNode(sms, folderRecord, "..");
        sms->children.append(up);
        auto *inside = new BackupFileNode(up, manifest->smsDbNode->record, "escape7");
        up->children.append(inside);

        const QString cache = root + "/cache/store";
        const Outcome out = runCache(*manifest, cache);
        QVERIFY2(out.ok, qPrintable(out.boxes.join('|')));
        QCOMPARE(filesBelow(cache),
                 (QStringList {"file-relay/var/mobile/Library/SMS/colon.txt", QString(kSmsDb),
                               "manifest.db"}));
        for (const QString &f : filesBelow(root))
            QVERIFY2(!f.contains("escape") || f.startsWith("backup/") || f == "secret-escape8",
                     qPrintable(f));
        QCOMPARE(readFile(cache + "/file-relay/var/mobile/Library/SMS/colon.txt"),
                 QByteArray("kept"));
    }

    // A link in the cache folder is never followed: a linked folder fails
    // the run (nothing written through it), a linked file is replaced.
    void linksInCacheNotFollowed()
    {
        const QString root = newDir("links");
        const QString store = root + "/phone";
        makePhone(store);
        PhoneBackup backup(root + "/backup", false);
        backup.addStore(store);
        backup.write();
        auto manifest = backup.manifest();
        const QString cache = root + "/cache";
        QVERIFY(runCache(*manifest, cache).ok);

        const QString outside = root + "/outside";
        QVERIFY(writeFile(outside + "/victim", "precious"));
        const QString library = cache + "/file-relay/var/mobile/Library";
        QVERIFY(QFile::remove(library + "/SMS/sms.db"));
        QVERIFY(QFile::link(outside + "/victim", library + "/SMS/sms.db"));
        backup.item("Library/SMS/sms.db").time += 1;
        backup.write();
        manifest = backup.manifest();
        Outcome out = runCache(*manifest, cache);
        QVERIFY(out.ok);
        QCOMPARE(readFile(outside + "/victim"), QByteArray("precious"));
        QVERIFY(!QFileInfo(library + "/SMS/sms.db").isSymLink());

        QVERIFY(QDir(library + "/AddressBook").removeRecursively());
        QVERIFY(QFile::link(outside, library + "/AddressBook"));
        out = runCache(*manifest, cache);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY2(out.boxes.at(0).contains("AddressBook"), qPrintable(out.boxes.at(0)));
        QCOMPARE(filesBelow(outside), QStringList {"victim"});
        QVERIFY(QFileInfo(cache + "/" + kSmsDb).isFile());
    }

    void encryptedWithoutKey_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("never unlocked") << QString();
        QTest::newRow("wrong password") << QString("open sesame!");
    }

    // An encrypted backup that is not unlocked is refused before anything is
    // written.
    void encryptedWithoutKey()
    {
        QFETCH(QString, password);
        const QString store = newDir("phone");
        makePhone(store);
        PhoneBackup backup(newDir("backup"), true);
        backup.addStore(store);
        backup.write();
        auto manifest = backup.manifest(false);
        if (!password.isEmpty())
            QVERIFY(!manifest->unlockBackup(password));
        const Outcome out = runCache(*manifest);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY(out.boxes.at(0).contains(ids("IDS_ITUNES_BACKUP_LOCKED")));
        QVERIFY(!QFileInfo::exists(out.cacheDir));
    }

    void failureKeepsPreviousCache_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("file of a class without key") << "class";
        QTest::newRow("ciphertext cut short") << "cut";
        QTest::newRow("unreadable backup file") << "unreadable";
    }

    // A run that fails midway leaves the earlier cache, its files and its
    // rows as they were, and no ciphertext anywhere; on a first run it
    // leaves no cache folder at all.
    void failureKeepsPreviousCache()
    {
        QFETCH(QString, fault);
        const QString store = newDir("phone");
        const Phone phone = makePhone(store);
        PhoneBackup backup(newDir("backup"), true);
        backup.addStore(store);
        backup.write();
        auto manifest = backup.manifest();
        const Outcome first = runCache(*manifest);
        QVERIFY(first.ok);
        const QString cache = first.cacheDir;
        const QMap<QString, qint64> rows = cacheRows(cache);
        const QStringList files = filesBelow(cache);

        // sms.db changes first (it is copied before the fault is met), then
        // the address book, whose file cannot be had.
        BackupItem &db = backup.item("Library/SMS/sms.db");
        db.bytes = "a newer database";
        db.time += 100;
        BackupItem &book = backup.item("Library/AddressBook/AddressBook.sqlitedb");
        book.time += 100;
        if (fault == "class")
            book.cls = 1; // wrapped with a key that no password gives
        else if (fault == "cut")
            book.damaged = true;
        backup.write();
        if (fault == "unreadable") {
            const QString source = backup.backupFile(book.domain, book.path);
            QVERIFY(QFile::remove(source));
            QVERIFY(QDir().mkdir(source));
        }
        manifest = backup.manifest();
        const Outcome failed = runCache(*manifest);
        QVERIFY(!failed.ok);
        QCOMPARE(failed.boxes.size(), 1);
        QCOMPARE(cacheRows(cache), rows);
        QCOMPARE(filesBelow(cache), files);
        QCOMPARE(readStore(cache), expectedStore(phone));

        // The same fault on a first run: no cache folder is left behind.
        const QString fresh = newDir("fresh") + "/cache";
        QVERIFY(!runCache(*manifest, fresh).ok);
        QVERIFY(!QFileInfo::exists(fresh));
    }

    void changesWithinOneSecondAreCopied_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("same size and time, other bytes") << "bytes";
        QTest::newRow("cached copy cut short") << "cut";
        QTest::newRow("cached copy not decrypted") << "ciphertext";
    }

    // The record's time is whole seconds: a file rewritten within the
    // second of its last copy keeps it, so size and digest decide too; a
    // copy that does not match its row, or was not decrypted, is made anew.
    void changesWithinOneSecondAreCopied()
    {
        QFETCH(QString, change);
        const bool encrypted = change == "ciphertext";
        PhoneBackup backup(newDir("backup"), encrypted);
        backup.addFolder("HomeDomain", "Library");
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "version one");
        backup.addFile("HomeDomain", "Library/SMS/other.plist", "other");
        backup.write();
        auto manifest = backup.manifest();
        const Outcome first = runCache(*manifest);
        QVERIFY(first.ok);
        const QString cache = first.cacheDir;
        QCOMPARE(runCache(*manifest).copied, QStringList());

        QByteArray expected = "version one";
        if (change == "bytes") {
            expected = "version two";
            backup.item("Library/SMS/sms.db").bytes = expected;
            backup.write();
            manifest = backup.manifest();
        } else if (change == "cut") {
            QVERIFY(writeFile(cache + "/" + kSmsDb, "version"));
        } else {
            // As a cache made while the backup passed for a plain one left it.
            RawSqlite db(cache + "/manifest.db");
            db.exec("update manifest set decrypted=0");
        }
        const Outcome again = runCache(*manifest);
        QVERIFY(again.ok);
        const QStringList copied = change == "ciphertext"
                ? QStringList {"file-relay/var/mobile/Library/SMS/other.plist", QString(kSmsDb)}
                : QStringList {QString(kSmsDb)};
        QStringList got = again.copied;
        got.sort();
        QCOMPARE(got, copied);
        QCOMPARE(readFile(cache + "/" + kSmsDb), expected);
        QCOMPARE(runCache(*manifest).copied, QStringList());
    }

    // A cache list from before sizes and digests were kept gains the
    // columns, keeps its rows, and its files are copied once more.
    void olderCacheListIsUpgraded()
    {
        PhoneBackup backup(newDir("backup"), false);
        backup.addFolder("HomeDomain", "Library");
        backup.addFolder("HomeDomain", "Library/SMS");
        backup.addFile("HomeDomain", "Library/SMS/sms.db", "db");
        backup.write();
        auto manifest = backup.manifest();
        const QString cache = newDir("cache") + "/store";
        QVERIFY(writeFile(cache + "/" + kSmsDb, "db"));
        const QString id = FakeBackup::fileId("HomeDomain", "Library/SMS/sms.db");
        {
            RawSqlite db(cache + "/manifest.db", true);
            db.exec("CREATE TABLE manifest (file_name VARCHAR PRIMARY KEY, last_date INTEGER "
                    "NOT NULL)");
            db.run("insert into manifest values (?, ?)", {id, qint64(1'370'000'000)});
            db.run("insert into manifest values ('someone else', 5)");
        }
        QCOMPARE(runCache(*manifest, cache).copied, QStringList {kSmsDb});
        RawSqlite db(cache + "/manifest.db", false, true);
        QCOMPARE(db.rows("select file_name, last_date, size, hex(digest), decrypted from manifest "
                         "order by file_name"),
                 (QList<QVariantList> {
                         {id, qint64(1'370'000'000), qint64(2),
                          QString(QCryptographicHash::hash("db", QCryptographicHash::Sha1).toHex().toUpper()),
                          qint64(0)},
                         {"someone else", qint64(5), QVariant(), QString(), QVariant()}}));
        QCOMPARE(runCache(*manifest, cache).copied, QStringList());
    }

    void damagedPlistOfAnEncryptedBackup_data()
    {
        QTest::addColumn<QByteArray>("plist");
        QTest::newRow("not a property list") << QByteArray("<?xml version=\"1.0\"?><plist><di");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("without IsEncrypted and keybag")
                << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                              "version=\"1.0\"><dict><key>Lockdown</key><dict/></dict></plist>");
    }

    // The records of an encrypted backup carry their files' keys: with its
    // Manifest.plist damaged, the backup is still taken for encrypted, so
    // neither the cache nor an extraction hands out ciphertext as contents.
    void damagedPlistOfAnEncryptedBackup()
    {
        QFETCH(QByteArray, plist);
        const QString store = newDir("phone");
        makePhone(store);
        PhoneBackup backup(newDir("backup"), true);
        backup.addStore(store);
        backup.write();
        QVERIFY(writeFile(backup.folder() + "/Manifest.plist", plist));
        BackupManifest manifest(backup.folder());
        manifest.loadManifestPlist();
        QVERIFY(!manifest.deviceInfo.IsEncrypted);
        manifest.loadManifestMbdb();
        QVERIFY(manifest.isEncrypted());

        const Outcome out = runCache(manifest);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes.size(), 1);
        QVERIFY(out.boxes.at(0).contains(ids("IDS_ITUNES_BACKUP_LOCKED")));
        QVERIFY(!QFileInfo::exists(out.cacheDir));

        QTemporaryDir dir;
        QVERIFY_THROWS_EXCEPTION(std::runtime_error,
                                 manifest.extractBackupFile(manifest.smsDbNode,
                                                            dir.filePath("sms.db"), nullptr,
                                                            nullptr));
        QVERIFY(!QFileInfo::exists(dir.filePath("sms.db")));
    }

    // Cancel while a file is being copied: the run ends without a box and
    // the earlier cache stays whole.
    void cancelKeepsPreviousCache()
    {
        const QString store = newDir("phone");
        const Phone phone = makePhone(store);
        PhoneBackup backup(newDir("backup"), false);
        backup.addStore(store);
        backup.write();
        auto manifest = backup.manifest();
        const Outcome first = runCache(*manifest);
        QVERIFY(first.ok);
        const QString cache = first.cacheDir;
        const QMap<QString, qint64> rows = cacheRows(cache);
        const QStringList files = filesBelow(cache);

        // The new sms.db is a pipe: the copy waits in it until the test has
        // pressed Cancel, and then the photo changed after it is next.
        BackupItem &db = backup.item("Library/SMS/sms.db");
        db.time += 100;
        for (BackupItem &i : backup.items)
            if (!i.folder)
                i.time += 100;
        backup.write();
        const QString pipe = backup.backupFile(db.domain, db.path);
        QVERIFY(QFile::remove(pipe));
        QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        manifest = backup.manifest();

        bool pressed = false;
        const Outcome out = runCache(*manifest, {}, [&](ModalAnswerer &a) {
            a.act("ProgressForm", [&](QWidget *w) {
                // Wait for the job to open the pipe, cancel, then let it read.
                int fd = -1;
                QElapsedTimer t;
                t.start();
                while (fd < 0 && t.elapsed() < 20000) {
                    fd = ::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK);
                    if (fd < 0)
                        QThread::msleep(5);
                }
                if (fd < 0)
                    return;
                pressed = ModalAnswerer::clickButton(w, "btnCancel");
                const QByteArray bytes = "partial";
                [[maybe_unused]] const auto n
                        = ::write(fd, bytes.constData(), size_t(bytes.size()));
                ::close(fd);
            });
        });
        QVERIFY(pressed);
        QVERIFY(!out.ok);
        QCOMPARE(out.boxes, QStringList());
        QVERIFY(out.stuck.isEmpty());
        QCOMPARE(cacheRows(cache), rows);
        QCOMPARE(filesBelow(cache), files);
        QCOMPARE(readStore(cache), expectedStore(phone));
    }

    // The cache's point of no return is just before its files are swapped
    // in: a Cancel before it keeps the earlier cache, one after it (also
    // between the swap's record and the swap) is refused and the new cache
    // is reported, for the caller to read.
    void cancelAroundTheCommit_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<bool>("committed");
        QTest::newRow("before the swap") << "commit-asked" << false;
        QTest::newRow("after the swap began") << "commit-begun" << true;
        QTest::newRow("between the swap's record and the swap") << "journal-written" << true;
    }

    void cancelAroundTheCommit()
    {
        QFETCH(QString, point);
        QFETCH(bool, committed);
        const QString store = newDir("phone");
        const Phone phone = makePhone(store);
        PhoneBackup backup(newDir("backup"), false);
        backup.addStore(store);
        backup.write();
        auto manifest = backup.manifest();
        const Outcome first = runCache(*manifest);
        QVERIFY(first.ok);
        const QString cache = first.cacheDir;
        const QMap<QString, qint64> rows = cacheRows(cache);
        const QStringList files = filesBelow(cache);

        // Every file is newer now: the run copies them all again.
        for (BackupItem &i : backup.items)
            if (!i.folder)
                i.time += 100;
        backup.write();
        manifest = backup.manifest();

        ModalAnswerer answerer;
        answerer.setDefaultBoxAnswer("btnOk");
        answerer.setStuckTimeout(10000);
        ProgressForm form(ids("IDS_LOADING_ITUNES_BACKUP"));
        ITunesCacheSMSThread job(&*manifest, &form);
        bool ok = false;
        {
            CancelAtKillPoint press(form, point.toLatin1().constData());
            ok = form.runJob(&job);
            QVERIFY(press.pressed());
        }
        QCOMPARE(ok, committed);
        QVERIFY(answerer.stuck().isEmpty());
        if (committed) {
            QVERIFY(!job.copiedFiles().isEmpty());
            QVERIFY(cacheRows(cache) != rows);
        } else {
            QCOMPARE(cacheRows(cache), rows);
            QCOMPARE(filesBelow(cache), files);
        }
        QCOMPARE(readStore(cache), expectedStore(phone));
    }
};

QTEST_MAIN(TestBkCache)
#include "tst_bkcache.moc"
