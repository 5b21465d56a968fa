// Jobs that change more than one file, killed at any point: a child process
// runs the job and stops itself (SIGKILL) at the n-th kill point it passes
// (the stages of the swap and every block of the file copies); the parent
// then checks that what the next run or opening finds is the old state or
// the new one, never a mixture, and that running the job again completes.

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/mbdbrecord.h"
#include "iphone/iosdevice.h"
#include "iphone/iosloadfilerelaythread.h"
#include "jobs/deletemmsthread.h"
#include "jobs/exportmessagesthread.h"
#include "jobs/ios6restoremessagesthread.h"
#include "jobs/updatelocaldbthread.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"
#include "tests/support/cpiofixture.h"
#include "tests/support/fakebackup.h"
#include "tests/support/iphonesim.h"
#include "tests/support/jobrun.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QTranslator>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace {

const char *const kChildVar = "PEL_CRASH_CHILD";
const QString kHome = QStringLiteral("HomeDomain");
const QString kMedia = QStringLiteral("MediaDomain");
const QString kSmsRel = QStringLiteral("file-relay/var/mobile/Library/SMS");
constexpr int kAttachments = 5;
constexpr int kKillsPerJob = 20;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray sha1(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
}

// Bytes of a given length that differ with the seed.
QByteArray noise(int length, quint32 seed)
{
    QRandomGenerator g(seed);
    QByteArray out(length, Qt::Uninitialized);
    for (char &c : out)
        c = char(g.bounded(256));
    return out;
}

void copyTree(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(from);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + QLatin1Char('/') + base.relativeFilePath(path);
        if (it.fileInfo().isDir())
            QDir().mkpath(target);
        else
            QFile::copy(path, target);
    }
}

// Relative paths of the files below a folder.
QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    const QDir base(folder);
    while (it.hasNext())
        out << base.relativeFilePath(it.next());
    out.sort();
    return out;
}

QString integrity(const QString &db)
{
    return sqliteScalar(db, QStringLiteral("PRAGMA integrity_check")).toString();
}

QSet<QString> columnSet(const QString &db, const QString &sql)
{
    QSet<QString> out;
    for (const QVariantList &r : sqliteRows(db, sql))
        out.insert(r.value(0).toString());
    return out;
}

// ---------------------------------------------------------------- merge

// The messages merged into the backup: a few texts and pictures into the
// phone's conversation and a new one. Built alike in every process.
void mergeMessages(const QString &root, MsgDataSet &set, MsgMessageList &list)
{
    set.reset();
    auto *h1 = new _MsgHandle;
    h1->ROWID = 501;
    h1->id = QStringLiteral("+15550001");
    auto *h3 = new _MsgHandle;
    h3->ROWID = 503;
    h3->id = QStringLiteral("+15550003");
    set.data()->handles.insert(h1->ROWID, h1);
    set.data()->handles.insert(h3->ROWID, h3);
    QList<_MsgChat *> chats;
    for (_MsgHandle *h : {h1, h3}) {
        auto *c = new _MsgChat;
        c->ROWID = 700 + h->ROWID;
        c->chat_identifier = h->id;
        c->service_name = QStringLiteral("SMS");
        c->guid = QStringLiteral("SMS;-;") + h->id;
        c->handles.insert(QString::number(h->ROWID), h);
        set.data()->chats.insert(c->ROWID, c);
        chats << c;
    }
    for (int i = 0; i < 6; ++i) {
        auto *m = new _MsgMessage;
        m->ROWID = m->orderKey = 1000 + i;
        m->guid = QStringLiteral("NEW-GUID-%1").arg(i);
        m->text = QStringLiteral("new %1").arg(i);
        m->date = 2000 + 700 * i;
        m->service = QStringLiteral("SMS");
        m->chat = chats.at(i % 2);
        m->handle = m->chat->handles.first();
        set.data()->messages.insert(m->ROWID, m);
        list.append(m);
        if (i >= kAttachments)
            continue;
        auto *a = new _MsgAttachment;
        a->ROWID = 900 + i;
        a->guid = QStringLiteral("ATT-GUID-%1").arg(i);
        a->filename = QStringLiteral("~/Library/SMS/Attachments/a%1/0%1/ATT%1/p%1.jpg").arg(i);
        a->transfer_name = QStringLiteral("p%1.jpg").arg(i);
        a->mime_type = QStringLiteral("image/jpeg");
        a->localPath = root + QStringLiteral("/source/att%1.bin").arg(i);
        set.data()->attachments.insert(a->ROWID, a);
        m->attachments.insert(QString::number(a->ROWID), a);
    }
}

QString attachmentRel(int i)
{
    return QStringLiteral("Library/SMS/Attachments/a%1/0%1/ATT%1/p%1.jpg").arg(i);
}

QByteArray attachmentBytes(int i)
{
    // Several copy blocks each.
    return noise(150000 + i, 40 + i);
}

bool cacheBackup(const QString &backup, const QString &store)
{
    BackupManifest manifest(backup);
    manifest.loadManifestPlist();
    manifest.loadManifestMbdb();
    ProgressForm form(ids("IDS_LOADING_ITUNES_BACKUP"));
    ITunesCacheSMSThread job(&manifest, QDir(store), &form);
    return runJobPressingOk(form, &job).ok;
}

bool runMerge(const QString &root)
{
    // As the user does: the backup is loaded (and cached), then merged into.
    if (!cacheBackup(root + "/backup", root + "/store"))
        return false;
    MsgDataSet set;
    MsgMessageList list;
    mergeMessages(root, set, list);
    IOS6MessageDb cached(QDir(root + "/store"), "310", false);
    ProgressForm form(ids("IDS_MERGING_IOS6_MESSAGES"));
    IOS6RestoreMessagesThread job("310", &list, &cached, QDir(root + "/backup"), &form);
    const JobOutcome out = runJobPressingOk(form, &job);
    for (const QString &b : out.boxes)
        std::printf("box %s\n", qPrintable(b));
    return out.ok;
}

// Kill points count from here on only (see childMain).
std::atomic<bool> g_armed {true};

// A merge, then its revert, as when the phone does not take the backup;
// only the revert's kill points count.
bool runMergeAndRevert(const QString &root)
{
    g_armed = false;
    if (!cacheBackup(root + "/backup", root + "/store"))
        return false;
    MsgDataSet set;
    MsgMessageList list;
    mergeMessages(root, set, list);
    IOS6MessageDb cached(QDir(root + "/store"), "310", false);
    ProgressForm form(ids("IDS_MERGING_IOS6_MESSAGES"));
    IOS6RestoreMessagesThread job("310", &list, &cached, QDir(root + "/backup"), &form);
    if (!runJobPressingOk(form, &job).ok)
        return false;
    g_armed = true;
    const QStringList notPutBack = job.revertBackupFolder();
    for (const QString &p : notPutBack)
        std::printf("not put back %s\n", qPrintable(p));
    return notPutBack.isEmpty();
}

void makeMergeTemplate(const QString &root)
{
    PhoneSmsDb db(root + "/phone");
    const qint64 h1 = db.addHandle("+15550001");
    const qint64 h2 = db.addHandle("+15550002");
    const qint64 c1 = db.addChat(h1);
    const qint64 c2 = db.addChat(h2);
    db.addText(c1, "p1", h1, 1000);
    db.addText(c2, "q1", h2, 1500);
    const qint64 p2 = db.addText(c1, "p2", h1, 3000);
    db.addText(c1, "p3", 0, 5000, true);
    const qint64 att = db.addAttachment(p2, "IMG_0001.JPG", "phone photo");
    const QString attRel = db.attachmentPhonePath(att).mid(2);
    db.close();

    FakeBackup fake(root + "/backup");
    fake.addFolder(kHome, "");
    fake.addFolder(kHome, "Library");
    fake.addFolder(kHome, "Library/SMS");
    fake.addFile(kHome, "Library/SMS/sms.db", readAll(PhoneSmsDb::smsDbPathOf(root + "/phone")));
    fake.addFile(kHome, "Library/SMS/sms.db-wal", "");
    fake.addFile(kHome, "Library/SMS/sms.db-shm", QByteArray(64, '\x01'));
    fake.addFolder(kMedia, "Library");
    fake.addFolder(kMedia, "Library/SMS");
    fake.addFolder(kMedia, "Library/SMS/Attachments");
    fake.addFile(kMedia, attRel, "phone photo");
    fake.write();
    for (int i = 0; i < kAttachments; ++i)
        writeAll(root + QStringLiteral("/source/att%1.bin").arg(i), attachmentBytes(i));
    QDir(root + "/phone").removeRecursively();
}

const QStringList kMergedTexts = {"p1", "q1", "p2", "p3", "new 0", "new 1", "new 2",
                                  "new 3", "new 4", "new 5"};

// "old", "new", or what is wrong. Staged files that a run killed before its
// swap left are not part of the backup (its index does not list them); the
// next run removes them (settled: after it).
QString mergeState(const QString &root, const QString &templ, bool settled)
{
    const QString backup = root + "/backup";
    const QString dbId = backupFileId(kHome, "Library/SMS/sms.db");
    for (const QString &name : QDir(backup).entryList(QDir::Files | QDir::Hidden)) {
        if (name.startsWith(".swap-journal") || name.contains(".reverted")
            || (settled && (name.endsWith(".merging") || name.contains(".reverting"))))
            return "left behind: " + name;
        if (name.endsWith(".merging"))
            QFile::remove(backup + "/" + name);
    }
    const QByteArray db = readAll(backup + "/" + dbId);
    const QByteArray manifest = readAll(backup + "/Manifest.mbdb");
    bool anyNew = false;
    for (int i = 0; i < kAttachments; ++i)
        anyNew |= QFileInfo::exists(backup + "/" + backupFileId(kMedia, attachmentRel(i)));
    if (db == readAll(templ + "/backup/" + dbId)) {
        if (manifest != readAll(templ + "/backup/Manifest.mbdb"))
            return "old database with another index";
        if (anyNew)
            return "old database with new attachment files";
        if (filesBelow(backup) != filesBelow(templ + "/backup"))
            return "old database with other files: " + filesBelow(backup).join(' ');
        return "old";
    }
    if (integrity(backup + "/" + dbId) != "ok")
        return "damaged database";
    QStringList texts;
    for (const QVariantList &r : sqliteRows(backup + "/" + dbId, "select text from message"))
        texts << r.value(0).toString();
    texts.sort();
    QStringList expected = kMergedTexts;
    expected.sort();
    if (texts != expected)
        return "database holds " + texts.join(',');
    const MbdbRecordSet set = readMbdb(backup + "/Manifest.mbdb");
    const MbdbRecord rec = set.value(dbId);
    if (rec.size != db.size() || rec.dataHash.bytes != sha1(db))
        return "new database with an index that does not describe it";
    for (int i = 0; i < kAttachments; ++i) {
        const QString id = backupFileId(kMedia, attachmentRel(i));
        const QByteArray bytes = readAll(backup + "/" + id);
        if (bytes != attachmentBytes(i) || set.value(id).dataHash.bytes != sha1(bytes))
            return QStringLiteral("attachment %1 missing or not described").arg(i);
    }
    return "new";
}

// ---------------------------------------------------------------- cache

constexpr int kCachedAttachments = 10;

void writeCacheBackup(const QString &backup, int version)
{
    FakeBackup fake(backup);
    fake.addFolder(kHome, "Library");
    fake.addFolder(kHome, "Library/SMS");
    auto file = [&](const QString &domain, const QString &path, const QByteArray &bytes) {
        FakeBackup::Entry &e = fake.addFile(domain, path, bytes);
        e.lastModified = 1367000000 + version;
        e.dataHash = sha1(bytes);
    };
    file(kHome, "Library/SMS/sms.db", noise(90000 + version, version));
    file(kHome, "Library/SMS/sms.db-wal", noise(3000 + version, 100 + version));
    fake.addFolder(kMedia, "Library");
    fake.addFolder(kMedia, "Library/SMS");
    fake.addFolder(kMedia, "Library/SMS/Attachments");
    for (int i = 0; i < kCachedAttachments; ++i)
        file(kMedia, QStringLiteral("Library/SMS/Attachments/%1.jpg").arg(i),
             noise(1000 + i + version, 1000 * version + i));
    fake.write();
}

// The cached files of the backup and their contents in one version.
QMap<QString, QByteArray> cacheFiles(int version)
{
    QMap<QString, QByteArray> out;
    out.insert(kSmsRel + "/sms.db", noise(90000 + version, version));
    out.insert(kSmsRel + "/sms.db-wal", noise(3000 + version, 100 + version));
    for (int i = 0; i < kCachedAttachments; ++i)
        out.insert(kSmsRel + QStringLiteral("/Attachments/%1.jpg").arg(i),
                   noise(1000 + i + version, 1000 * version + i));
    return out;
}

QString cacheState(const QString &root, bool settled)
{
    const QString store = root + "/store";
    for (const QString &f : filesBelow(store))
        if (f.contains(".swap-journal") || (settled && f.contains(".cache-staging-")))
            return "left behind: " + f;
    for (int version : {1, 2}) {
        const QMap<QString, QByteArray> want = cacheFiles(version);
        bool all = true;
        for (auto it = want.cbegin(); it != want.cend() && all; ++it)
            all = readAll(store + "/" + it.key()) == it.value();
        if (all)
            return version == 1 ? "old" : "new";
    }
    return "a mixture of versions";
}

// ---------------------------------------------------------------- deletion

// The messages with attachments go.
MsgMessageList doomedOf(MsgDataSet &set, const QString &store)
{
    IOS6MessageDb db(QDir(store), QString(), false);
    set.reset();
    db.messages(set, 0);
    db.close();
    MsgMessageList out;
    for (_MsgMessage *m : set.data()->messages)
        if (!m->attachments.isEmpty())
            out << m;
    sortMessages(out);
    return out;
}

// Salvaged messages beside the live ones: recycle.db rows of the store's
// layout, some of them to go with the live messages that have attachments.
constexpr int kSalvaged = 8;

void addSalvagedMessages(const QString &store)
{
    RawSqlite db(store + "/recycle.db", true);
    db.exec(MessageRecycleDb::schemaScript());
    for (int i = 0; i < kSalvaged; ++i)
        db.run("insert into message (guid, text, date, service, is_from_me, chat_identifier, "
               "handle) values (?, ?, ?, 'SMS', ?, ?, ?)",
               {QStringLiteral("SALVAGED-%1").arg(i), QStringLiteral("salvaged %1").arg(i),
                100000 + 60 * i, i % 2, QStringLiteral("+1555444000%1").arg(i % 3),
                QStringLiteral("+1555444000%1").arg(i % 3)});
}

// The live messages with attachments and the salvaged ones of even rowid.
MsgMessageList doomedWithSalvagedOf(MsgDataSet &set, const QString &store)
{
    IOS6MessageDb db(QDir(store), QString(), false);
    set.reset();
    db.chats(set);
    db.loadRecycledChats(set);
    db.messages(set, 0);
    db.close();
    db.recycleStore().close();
    MsgMessageList out;
    for (_MsgMessage *m : set.data()->messages) {
        const qint64 salvaged = MessageRecycleDb::recycleRowidOf(*m);
        if (salvaged > 0 ? salvaged % 2 == 0 : !m->attachments.isEmpty())
            out << m;
    }
    sortMessages(out);
    return out;
}

bool runDelete(const QString &root, bool withSalvaged = false)
{
    MsgDataSet set;
    MsgMessageList doomed = withSalvaged ? doomedWithSalvagedOf(set, root + "/store")
                                         : doomedOf(set, root + "/store");
    QDir folder(root + "/store");
    ProgressForm form(ids("IDS_DELETING_MMS"));
    DeleteMMSThread job(&folder, &doomed, &form);
    return runJobPressingOk(form, &job).ok;
}

QString deleteState(const QString &root, const QString &templ, bool)
{
    const QString store = root + "/store";
    const QString db = PhoneSmsDb::smsDbPathOf(store);
    if (QFileInfo::exists(store + "/.delete-journal"))
        return "record left behind";
    if (integrity(db) != "ok")
        return "damaged database";
    const QString guids = "select guid from message";
    const QSet<QString> now = columnSet(db, guids);
    const QSet<QString> old = columnSet(PhoneSmsDb::smsDbPathOf(templ + "/store"), guids);
    MsgDataSet set;
    QSet<QString> doomedGuids;
    QStringList doomedFiles;
    for (const _MsgMessage *m : doomedOf(set, templ + "/store")) {
        doomedGuids.insert(m->guid);
        for (const _MsgAttachment *a : m->attachments)
            doomedFiles << QDir(templ + "/store").relativeFilePath(a->localPath);
    }
    const QStringList files = filesBelow(store + "/" + kSmsRel + "/Attachments");
    const QStringList oldFiles = filesBelow(templ + "/store/" + kSmsRel + "/Attachments");
    if (now == old)
        return files == oldFiles ? "old" : "old rows, files gone: " + files.join(' ');
    if (now != old - doomedGuids)
        return QStringLiteral("rows neither old nor new (%1 of %2)").arg(now.size()).arg(old.size());
    for (const QString &f : doomedFiles)
        if (QFileInfo::exists(store + "/" + f))
            return "new rows, file left: " + f;
    return "new";
}

// The live side as deleteState finds it, and recycle.db's: both old or both
// new, never the one without the other.
QString deleteWithSalvagedState(const QString &root, const QString &templ, bool settled)
{
    const QString store = root + "/store";
    if (QFileInfo::exists(store + "/.delete-recycle"))
        return "salvaged record left behind";
    const QString live = deleteState(root, templ, settled);
    const QString guids = "select guid from message";
    const QSet<QString> now = columnSet(store + "/recycle.db", guids);
    const QSet<QString> old = columnSet(templ + "/store/recycle.db", guids);
    if (old.size() != kSalvaged)
        return "no salvaged messages in the template";
    QSet<QString> doomed;
    for (const QString &g : old)
        if (g.mid(g.indexOf('-') + 1).toInt() % 2 == 1) // rowid = number + 1
            doomed.insert(g);
    const QString salvaged = now == old ? "old" : now == old - doomed ? "new" : "neither";
    if (live != salvaged)
        return QStringLiteral("live messages %1, salvaged ones %2").arg(live, salvaged);
    return live;
}

// ---------------------------------------------------------------- export

// A text export over an earlier export of the user's.
const QByteArray kEarlierExport = "an earlier export, kept whole\r\n";

bool runExport(const QString &root)
{
    MsgDataSet set;
    IOS6MessageDb db(QDir(root + "/store"), QString(), false);
    db.messages(set, 0);
    db.close();
    MsgMessageList all = set.data()->messages.values();
    ProgressForm form(ids("IDS_EXPORTING_MESSAGES_TO_FILE"));
    ExportMessagesThread job(all, root + "/out/messages.txt", ExportTxt, &form);
    return runJobPressingOk(form, &job).ok;
}

QString exportState(const QString &root, const QByteArray &whole)
{
    const QByteArray now = readAll(root + "/out/messages.txt");
    if (now == kEarlierExport)
        return "old";
    if (now == whole)
        return "new";
    return QStringLiteral("a file of %1 bytes, neither the earlier nor the whole export")
            .arg(now.size());
}

// ---------------------------------------------------------------- file_relay

const QString kRelaySmsDb = QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db");
const QByteArray kRelayOld = "the previous pull's database";

QByteArray relayNewDb()
{
    return noise(200000, 77);
}

// The archive a phone's UserDatabases pull sends, at root/phone.cpio.
bool writeRelayArchive(const QString &root)
{
    CpioFixture cpio;
    cpio.addFolder(".");
    for (const char *f : {"./var", "./var/mobile", "./var/mobile/Library",
                          "./var/mobile/Library/SMS"})
        cpio.addFolder(f);
    cpio.addFile("./var/mobile/Library/SMS/sms.db", relayNewDb());
    cpio.addFile("./var/mobile/Library/SMS/other.db", "other");
    return cpio.writeTo(root + "/phone.cpio");
}

// The simulated phone of a case: its id is the case folder's name.
IOSDevice relayPhone(const QString &root)
{
    IOSDevice d;
    d.UniqueDeviceID = QFileInfo(root).fileName();
    return d;
}

bool runRelay(const QString &root)
{
    QString error;
    if (!iphonesim::load(&error))
        return false;
    IOSDevice d = relayPhone(root);
    const QJsonObject main {{"UniqueDeviceID", d.UniqueDeviceID},
                            {"DeviceName", "relay"},
                            {"ProductVersion", "6.1.3"},
                            {"ProductType", "iPhone5,1"}};
    const QJsonObject phone {{"udid", d.UniqueDeviceID},
                             {"values", QJsonObject {{"", main}}},
                             {"fileRelay", QJsonObject {{"archive", root + "/phone.cpio"}}}};
    if (!iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {phone}}}))
        return false;
    d.deviceHandle = iphonesim::device(d.UniqueDeviceID);
    bool ok = false;
    {
        ProgressForm form(ids("IDS_LOADING_IOS_DATABASES"));
        IOSLoadFileRelayThread job(&d, &form);
        ok = runJobPressingOk(form, &job).ok;
    }
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray()}});
    iphonesim::shutdown();
    return ok;
}

// The phone's cache holds the previous copy or the new one, whole; with
// settled, nothing of the swap is left beside it.
QString relayState(const QString &root, bool hadCopy, bool settled)
{
    const QString cache = relayPhone(root).cacheDir().absolutePath();
    const QStringList files = filesBelow(cache);
    if (settled && files != QStringList {"file-relay/var/mobile/Library/SMS/other.db", kRelaySmsDb})
        return "files left: " + files.join(' ');
    // A pull stopped between the two renames of a swap left the previous
    // copy under its temporary name; the next pull puts it back first.
    const QString relay = QFileInfo::exists(cache + "/file-relay") ? "/file-relay"
                                                                    : "/file-relay.old";
    const QByteArray db = readAll(cache + relay + "/var/mobile/Library/SMS/sms.db");
    const bool other = QFileInfo::exists(cache + relay + "/var/mobile/Library/SMS/other.db");
    if (db == relayNewDb() && other)
        return "new";
    if (hadCopy ? db == kRelayOld && !other : !QFileInfo::exists(cache + relay))
        return "old";
    return QStringLiteral("a mixture (%1 bytes of database, other.db %2)")
            .arg(db.size())
            .arg(other ? "there" : "missing");
}

// ---------------------------------------------------------------- conversion

constexpr int kOldMessages = 24;

void makeOldDatabase(const QString &folder)
{
    QDir().mkpath(folder);
    RawSqlite db(folder + "/mms.db", true);
    db.exec("CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
            "person TEXT);"
            "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, handle_id INTEGER, "
            "body TEXT, subject TEXT, date INTEGER, is_send INTEGER);"
            "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, filename TEXT, "
            "mime_type TEXT);"
            "CREATE TABLE message_attachment (message_id INTEGER, attachment_id INTEGER);");
    const qint64 h = db.run("INSERT INTO handle (address, person) VALUES ('+15551230001', 'A')");
    for (int i = 0; i < kOldMessages; ++i)
        db.run("INSERT INTO message (handle_id, body, subject, date, is_send) VALUES "
               "(?, ?, '', ?, ?)",
               {h, QStringLiteral("old message %1").arg(i), 1300000000 + 60 * i, i % 2});
}

bool runConvert()
{
    ProgressForm form(QStringLiteral("Updating"));
    UpdateLocalDbThread job(&form);
    return runJobPressingOk(form, &job).ok;
}

QString convertState(const QString &oldFolder, const QByteArray &oldBytes, bool)
{
    const QDir dir(oldFolder);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden))
        if (name.startsWith(".swap-journal"))
            return "record left behind";
    const QStringList kept = dir.entryList({"mms.db-bak*"}, QDir::Files);
    const bool original = QFileInfo::exists(dir.absoluteFilePath("mms.db"));
    if (original == !kept.isEmpty())
        return "old database under both names or under none";
    if (readAll(dir.absoluteFilePath(original ? "mms.db" : kept.first())) != oldBytes)
        return "old database changed";
    const QString db = PhoneSmsDb::smsDbPathOf(oldFolder);
    const qint64 rows = QFileInfo::exists(db)
            ? sqliteScalar(db, "select count(*) from message").toLongLong()
            : 0;
    if (QFileInfo::exists(db) && integrity(db) != "ok")
        return "damaged database";
    if (rows != 0 && rows != kOldMessages)
        return QStringLiteral("%1 rows").arg(rows);
    if (!original && rows == 0)
        return "old database renamed before its rows were in";
    return original ? (rows ? "converted, not renamed" : "old") : "new";
}

// ---------------------------------------------------------------- child

int g_killAt = 0;
std::atomic<int> g_passed {0};

int childMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTranslator translator;
    if (translator.load(QStringLiteral(":/en.qm")))
        QCoreApplication::installTranslator(&translator);
    const QStringList args = qEnvironmentVariable(kChildVar).split(QLatin1Char('|'));
    const QString job = args.value(0), root = args.value(1);
    g_killAt = args.value(2).toInt();
    setKillPointHook([](const char *point) {
        if (!g_armed)
            return;
        const int n = ++g_passed;
        if (g_killAt < 0) {
            std::printf("point %s\n", point);
            std::fflush(stdout);
        } else if (n == g_killAt) {
            std::raise(SIGKILL);
        }
    });
    bool ok = false;
    if (job == "merge")
        ok = runMerge(root);
    else if (job == "relay")
        ok = runRelay(root);
    else if (job == "export")
        ok = runExport(root);
    else if (job == "revert")
        ok = runMergeAndRevert(root);
    else if (job == "cache")
        ok = cacheBackup(root + "/backup", root + "/store");
    else if (job == "delete")
        ok = runDelete(root);
    else if (job == "delete-salvaged")
        ok = runDelete(root, true);
    else if (job == "convert-setup") {
        makeOldDatabase(localDatabasesFolder().absoluteFilePath("Old"));
        std::printf("folder %s\n",
                    qPrintable(QDir(root).relativeFilePath(
                            localDatabasesFolder().absoluteFilePath("Old"))));
        ok = true;
    } else if (job == "convert")
        ok = runConvert();
    std::printf("job %s\n", ok ? "ok" : "failed");
    std::fflush(stdout);
    return 0;
}

struct ChildRun
{
    bool killed = false;
    bool ok = false;
    QStringList points;
    QString output;
};

ChildRun runChild(const QString &job, const QString &root, int killAt)
{
    ChildRun out;
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kChildVar),
               job + QLatin1Char('|') + root + QLatin1Char('|') + QString::number(killAt));
    if (job.startsWith("convert")) {
        env.insert("HOME", root + "/home");
        env.insert("XDG_DATA_HOME", root + "/home/.local/share");
    }
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    if (!child.waitForStarted() || !child.waitForFinished(120000))
        return out;
    out.killed = child.exitStatus() == QProcess::CrashExit;
    out.output = QString::fromUtf8(child.readAllStandardOutput());
    for (const QString &line : out.output.split('\n')) {
        if (line.startsWith("point "))
            out.points << line.mid(6);
        if (line == "job ok")
            out.ok = true;
    }
    return out;
}

// The kill points to try among n: every named stage, and a random choice
// of copy blocks and the rest up to kKillsPerJob.
QList<int> choosePoints(const QStringList &points, quint32 seed)
{
    QList<int> chosen, rest;
    for (int i = 0; i < points.size(); ++i)
        (points.at(i) == "copy" || points.at(i) == "cache-staged"
                         || points.at(i) == "deleted-message" || points.at(i) == "convert-message"
                         || points.at(i) == "exported-message"
                 ? rest
                 : chosen)
                .append(i + 1);
    QRandomGenerator g(seed);
    while (chosen.size() < kKillsPerJob && !rest.isEmpty())
        chosen.append(rest.takeAt(g.bounded(int(rest.size()))));
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

} // namespace

class TestCrashSafety : public QObject
{
    Q_OBJECT

    TestEnv m_env;
    QTranslator m_translator;
    quint32 m_seed = 23;

    // Runs job killed at each chosen point of a template's copy; state(root)
    // names the state found after what the next run does first (recover).
    void killEverywhere(const QString &job, const QString &templ,
                        const std::function<void(const QString &root)> &recover,
                        const std::function<QString(const QString &root, bool settled)> &state,
                        const QString &caseRoot,
                        const std::function<bool(const QString &root)> &runHere = {})
    {
        // A run that is not killed lists the points it passes.
        const QString listing = caseRoot + "/listing";
        copyTree(templ, listing);
        const ChildRun full = runChild(job, listing, -1);
        QVERIFY2(full.ok, qPrintable(full.output));
        QCOMPARE(state(listing, true), QString("new"));
        const QList<int> points = choosePoints(full.points, m_seed);
        QVERIFY2(points.size() >= 20, qPrintable(full.points.join(' ')));

        QSet<QString> seen;
        for (int k : points) {
            const QString root = caseRoot + QStringLiteral("/kill%1").arg(k);
            copyTree(templ, root);
            const QString where = QStringLiteral("%1 killed at point %2 (%3)")
                                          .arg(job)
                                          .arg(k)
                                          .arg(full.points.at(k - 1));
            const ChildRun killed = runChild(job, root, k);
            QVERIFY2(killed.killed, qPrintable(where + ": not killed\n" + killed.output));
            recover(root);
            const QString after = state(root, false);
            QVERIFY2(after == "old" || after == "new" || after == "converted, not renamed",
                     qPrintable(where + ": " + after));
            seen.insert(after);
            // Run again, here when the job allows it (a child costs more).
            if (runHere) {
                QVERIFY2(runHere(root), qPrintable(where + ": run again failed"));
            } else {
                const ChildRun again = runChild(job, root, 0);
                QVERIFY2(again.ok, qPrintable(where + ", run again:\n" + again.output));
            }
            QCOMPARE(state(root, true), QString("new"));
            QDir(root).removeRecursively();
        }
        // The points reach both sides of the swap.
        QVERIFY2(seen.contains("new") && seen.size() > 1, qPrintable(QStringList(seen.begin(), seen.end()).join(',')));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&m_translator);
        qputenv("PELICORDE_SERVICE_HOST", "");
        if (qEnvironmentVariableIsSet("PEL_CRASH_SEED"))
            m_seed = qEnvironmentVariableIntValue("PEL_CRASH_SEED");
        qInfo("kill points chosen with seed %u (PEL_CRASH_SEED)", m_seed);
    }

    void mergeIntoBackup()
    {
        const QString base = m_env.makeDir("merge");
        const QString templ = base + "/template";
        makeMergeTemplate(templ);
        QVERIFY(cacheBackup(templ + "/backup", templ + "/store"));
        killEverywhere(
                "merge", templ,
                [](const QString &root) {
                    // Opening the backup finishes or undoes the swap.
                    BackupManifest manifest(root + "/backup");
                    manifest.loadManifestPlist();
                    manifest.loadManifestMbdb();
                },
                [templ](const QString &root, bool settled) {
                    return mergeState(root, templ, settled);
                },
                base, runMerge);
    }

    // The revert of a merge is one recorded swap as well: killed anywhere,
    // the next opening of the backup finds it merged or as it was, and a
    // merge then works as ever.
    void revertOfAMerge()
    {
        const QString base = m_env.makeDir("revert");
        const QString templ = base + "/template";
        makeMergeTemplate(templ);
        QVERIFY(cacheBackup(templ + "/backup", templ + "/store"));
        const QString listing = base + "/listing";
        copyTree(templ, listing);
        const ChildRun full = runChild("revert", listing, -1);
        QVERIFY2(full.ok, qPrintable(full.output));
        QCOMPARE(mergeState(listing, templ, true), QString("old"));
        QVERIFY2(full.points.contains("swap-rename") && full.points.contains("swap-remove"),
                 qPrintable(full.points.join(' ')));

        // Every point but the removals, of which the first, one between and
        // the last (they are alike: each a file that goes).
        QList<int> points, removals;
        for (int k = 1; k <= full.points.size(); ++k)
            (full.points.at(k - 1) == "swap-remove" ? removals : points).append(k);
        if (!removals.isEmpty())
            points << removals.first() << removals.at(removals.size() / 2) << removals.last();
        QSet<QString> seen;
        for (int k : std::as_const(points)) {
            const QString root = base + QStringLiteral("/kill%1").arg(k);
            copyTree(templ, root);
            const QString where
                    = QStringLiteral("revert killed at point %1 (%2)").arg(k).arg(full.points.at(k - 1));
            const ChildRun killed = runChild("revert", root, k);
            QVERIFY2(killed.killed, qPrintable(where + ": not killed\n" + killed.output));
            BackupManifest manifest(root + "/backup");
            manifest.loadManifestPlist();
            manifest.loadManifestMbdb();
            const QString after = mergeState(root, templ, false);
            QVERIFY2(after == "old" || after == "new", qPrintable(where + ": " + after));
            seen.insert(after);
            QVERIFY2(runMerge(root), qPrintable(where + ": merge again failed"));
            QCOMPARE(mergeState(root, templ, true), QString("new"));
            QDir(root).removeRecursively();
        }
        QCOMPARE(seen, (QSet<QString> {"old", "new"}));
    }

    void backupCache()
    {
        const QString base = m_env.makeDir("cache");
        const QString templ = base + "/template";
        writeCacheBackup(templ + "/backup", 1);
        QVERIFY(cacheBackup(templ + "/backup", templ + "/store"));
        QCOMPARE(cacheState(templ, true), QString("old"));
        QDir(templ + "/backup").removeRecursively();
        writeCacheBackup(templ + "/backup", 2);
        killEverywhere(
                "cache", templ,
                [](const QString &root) { SwapJournal::recover(root + "/store"); },
                [](const QString &root, bool settled) { return cacheState(root, settled); },
                base, [](const QString &root) {
                    return cacheBackup(root + "/backup", root + "/store");
                });
    }

    void deletion()
    {
        const QString base = m_env.makeDir("delete");
        const QString templ = base + "/template";
        GeneratedSmsDbSpec spec;
        spec.messages = 40;
        spec.chats = 4;
        spec.attachmentShare = 0.5;
        spec.systemItemShare = 0;
        generatePhoneSmsDb(templ + "/store", spec);
        killEverywhere(
                "delete", templ,
                [](const QString &root) {
                    DeleteMMSThread::finishInterruptedDeletion(QDir(root + "/store"));
                },
                [templ](const QString &root, bool settled) {
                    return deleteState(root, templ, settled);
                },
                base, [](const QString &root) { return runDelete(root); });
    }

    // Salvaged messages leave recycle.db in a commit after sms.db's: a run
    // killed between the two has the rest done by the next use of the store.
    void deletionWithSalvagedMessages()
    {
        const QString base = m_env.makeDir("delete-salvaged");
        const QString templ = base + "/template";
        GeneratedSmsDbSpec spec;
        spec.messages = 24;
        spec.chats = 3;
        spec.attachmentShare = 0.5;
        spec.systemItemShare = 0;
        generatePhoneSmsDb(templ + "/store", spec);
        addSalvagedMessages(templ + "/store");
        killEverywhere(
                "delete-salvaged", templ,
                [](const QString &root) {
                    DeleteMMSThread::finishInterruptedDeletion(QDir(root + "/store"));
                },
                [templ](const QString &root, bool settled) {
                    return deleteWithSalvagedState(root, templ, settled);
                },
                base, [](const QString &root) { return runDelete(root, true); });

        // Reading the salvaged messages finishes the deletion as well.
        const QString root = base + "/read";
        copyTree(templ, root);
        const ChildRun full = runChild("delete-salvaged", root, -1);
        const int between = int(full.points.indexOf("database-committed")) + 1;
        QVERIFY(between > 0);
        QDir(root).removeRecursively();
        copyTree(templ, root);
        QVERIFY(runChild("delete-salvaged", root, between).killed);
        QVERIFY(QFileInfo::exists(root + "/store/.delete-recycle"));
        {
            IOS6MessageDb reader(QDir(root + "/store"), QString(), false);
            MsgDataSet set;
            reader.chats(set);
            reader.loadRecycledChats(set);
            for (const _MsgMessage *m : set.data()->messages)
                QVERIFY2(MessageRecycleDb::recycleRowidOf(*m) % 2 == 1, qPrintable(m->guid));
        }
        DeleteMMSThread::finishInterruptedDeletion(QDir(root + "/store")); // the files
        QCOMPARE(deleteWithSalvagedState(root, templ, true), QString("new"));
    }

    // A text export that replaces a file: the earlier file stays whole
    // until the new one is complete.
    void exportOverAnEarlierFile()
    {
        const QString base = m_env.makeDir("export");
        const QString templ = base + "/template";
        GeneratedSmsDbSpec spec;
        spec.messages = 40;
        spec.chats = 3;
        spec.attachmentShare = 0.2;
        generatePhoneSmsDb(templ + "/store", spec);
        QVERIFY(writeAll(templ + "/out/messages.txt", kEarlierExport));
        const QString whole = base + "/whole";
        copyTree(templ, whole);
        QVERIFY(runExport(whole));
        const QByteArray wholeBytes = readAll(whole + "/out/messages.txt");
        QVERIFY(wholeBytes.size() > 1000);
        killEverywhere(
                "export", templ, [](const QString &) {},
                [wholeBytes](const QString &root, bool) { return exportState(root, wholeBytes); },
                base, runExport);
    }

    // The pull of a phone's databases swaps its new copy in as a whole:
    // killed anywhere after the download, the cache holds the previous
    // copy or the new one (none before the first pull), and the next pull
    // completes.
    void fileRelaySwap_data()
    {
        QTest::addColumn<bool>("hadCopy");
        QTest::newRow("over a previous copy") << true;
        QTest::newRow("the first pull") << false;
    }

    void fileRelaySwap()
    {
        QFETCH(bool, hadCopy);
        const QString base = m_env.makeDir(hadCopy ? "relay-over" : "relay-first");
        auto prepare = [&](const QString &name) {
            const QString root = base + "/" + name;
            QDir().mkpath(root);
            writeRelayArchive(root);
            const QString cache = relayPhone(root).cacheDir().absolutePath();
            QDir(cache).removeRecursively();
            if (hadCopy)
                writeAll(cache + "/" + kRelaySmsDb, kRelayOld);
            return root;
        };
        const QString listing = prepare(QStringLiteral("list%1").arg(hadCopy));
        const ChildRun full = runChild("relay", listing, -1);
        QVERIFY2(full.ok, qPrintable(full.output));
        QCOMPARE(relayState(listing, hadCopy, true), QString("new"));
        QVERIFY2(full.points.contains("relay-unpacked"), qPrintable(full.points.join(' ')));

        QSet<QString> seen;
        for (int k = 1; k <= full.points.size(); ++k) {
            const QString root = prepare(QStringLiteral("kill%1x%2").arg(k).arg(hadCopy));
            const QString where = QStringLiteral("pull killed at point %1 (%2)")
                                          .arg(k)
                                          .arg(full.points.at(k - 1));
            const ChildRun killed = runChild("relay", root, k);
            QVERIFY2(killed.killed, qPrintable(where + ": not killed\n" + killed.output));
            const QString after = relayState(root, hadCopy, false);
            QVERIFY2(after == "old" || after == "new", qPrintable(where + ": " + after));
            seen.insert(after);
            const ChildRun again = runChild("relay", root, 0);
            QVERIFY2(again.ok, qPrintable(where + ", pulled again:\n" + again.output));
            QCOMPARE(relayState(root, hadCopy, true), QString("new"));
        }
        // The first pull has no copy to trade places with: its one rename
        // comes after the last point.
        const QSet<QString> sides = hadCopy ? QSet<QString> {"old", "new"} : QSet<QString> {"old"};
        QCOMPARE(seen, sides);
    }

    void oldDatabaseConversion()
    {
        const QString base = m_env.makeDir("convert");
        const QString templ = base + "/template";
        const ChildRun setup = runChild("convert-setup", templ, 0);
        QVERIFY2(setup.ok, qPrintable(setup.output));
        const qsizetype at = setup.output.indexOf("folder ");
        QVERIFY(at >= 0);
        const QString rel = setup.output.mid(at + 7).section('\n', 0, 0);
        const QByteArray oldBytes = readAll(templ + "/" + rel + "/mms.db");
        QVERIFY(!oldBytes.isEmpty());
        killEverywhere(
                "convert", templ,
                [rel](const QString &root) { SwapJournal::recover(root + "/" + rel); },
                [rel, oldBytes](const QString &root, bool settled) {
                    return convertState(root + "/" + rel, oldBytes, settled);
                },
                base);
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsSet(kChildVar))
        return childMain(argc, argv);
    QApplication app(argc, argv);
    // Each case runs its job in a child process some twenty times: the
    // whole program takes minutes on a loaded machine, more than the test
    // library's default limit allows.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "1200000");
    TestCrashSafety test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashsafety.moc"
