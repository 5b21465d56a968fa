// Transfers the 20,000 messages of a local database to a simulated iPhone
// the way the window does, step by step: back the phone up (the stand-in
// backup tool), cache the backup's message database, merge the messages into
// the backup, restore the backup to the phone. The floor, in the same run:
// two plain copies of the backup folder (out of the phone and back) and the
// same message rows put into a copy of the phone's database with plain
// prepared inserts in one transaction.
//
//   bench_iphonetransfer [messages] [phone messages]

#include "bench/benchreport.h"
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "buildconfig.h"
#include "iphone/backup2tool.h"
#include "iphone/iosmobilebackup.h"
#include "jobs/ios6restoremessagesthread.h"
#include "store/datafolder.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "tests/support/fakebackup.h"
#include "tests/support/iphonesim.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

namespace {

const QString kUdid = QStringLiteral("b3e5c7a9d1f20468ace13579bdf02468ace13579");

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "bench_iphonetransfer: %s\n", what);
    std::exit(1);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        die("cannot write a file");
}

double msSince(const QElapsedTimer &t)
{
    return double(t.nsecsElapsed()) / 1e6;
}

template<typename Job> double runTimed(Job &job, ProgressForm &form, const char *step)
{
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    QElapsedTimer t;
    t.start();
    const bool ok = form.runJob(&job);
    const double ms = msSince(t);
    if (!ok) {
        std::fprintf(stderr, "step %s failed\n", step);
        for (const ModalAnswerer::Seen &s : answerer.seen())
            std::fprintf(stderr, "  box: %s\n", qPrintable(s.text));
        std::exit(1);
    }
    return ms;
}

void copyFolder(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    for (const QString &name : QDir(from).entryList(QDir::Files | QDir::Hidden))
        if (!QFile::copy(QDir(from).filePath(name), QDir(to).filePath(name)))
            die("copy failed");
}

// The floor's inserts: every message of the list as a message row and its
// join row, every value bound from the records.
void rawInserts(const QString &dbPath, const MsgMessageList &messages, qint64 chatId)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(dbPath.toUtf8().constData(), &db) != SQLITE_OK)
        die("open");
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *msg = nullptr;
    sqlite3_stmt *join = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO message (guid, text, handle_id, service, account, date, "
                       "date_read, date_delivered, is_from_me, is_read, version, other_handle) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 10, -1)",
                       -1, &msg, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)", -1,
                       &join, nullptr);
    if (!msg || !join)
        die(sqlite3_errmsg(db));
    for (const _MsgMessage *m : messages) {
        const QByteArray guid = m->guid.toUtf8(), text = m->text.toUtf8(),
                         service = m->service.toUtf8(), account = m->account.toUtf8();
        sqlite3_bind_text(msg, 1, guid.constData(), int(guid.size()), SQLITE_STATIC);
        sqlite3_bind_text(msg, 2, text.constData(), int(text.size()), SQLITE_STATIC);
        sqlite3_bind_int64(msg, 3, 1);
        sqlite3_bind_text(msg, 4, service.constData(), int(service.size()), SQLITE_STATIC);
        sqlite3_bind_text(msg, 5, account.constData(), int(account.size()), SQLITE_STATIC);
        sqlite3_bind_int64(msg, 6, m->date);
        sqlite3_bind_int64(msg, 7, m->date_read);
        sqlite3_bind_int64(msg, 8, m->date_delivered);
        sqlite3_bind_int(msg, 9, m->is_from_me);
        sqlite3_bind_int(msg, 10, m->is_read);
        if (sqlite3_step(msg) != SQLITE_DONE)
            die(sqlite3_errmsg(db));
        sqlite3_reset(msg);
        sqlite3_bind_int64(join, 1, chatId);
        sqlite3_bind_int64(join, 2, sqlite3_last_insert_rowid(db));
        if (sqlite3_step(join) != SQLITE_DONE)
            die(sqlite3_errmsg(db));
        sqlite3_reset(join);
    }
    sqlite3_finalize(msg);
    sqlite3_finalize(join);
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK)
        die(sqlite3_errmsg(db));
    sqlite3_close(db);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen"
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    const int phoneCount = argc > 2 ? std::atoi(argv[2]) : 2000;
    TestEnv env;
    const QString work = env.makeDir("work");

    QString error;
    if (!iphonesim::load(&error))
        die(qPrintable(error));
    const QJsonObject phone {{"udid", kUdid},
                             {"attached", true},
                             {"values",
                              QJsonObject {{"", QJsonObject {{"UniqueDeviceID", kUdid},
                                                             {"ProductVersion", "6.1.4"}}}}}};
    iphonesim::setScenario(QJsonObject {{"devices", QJsonArray {phone}}});
    backup2tool::pollIntervalMs = 10;

    // The phone: its messages with a few correspondents, as its backup.
    const QString phoneStore = work + "/phone";
    {
        PhoneSmsDb db(phoneStore, PhoneSchema::ios6());
        db.begin();
        const qint64 h = db.addHandle("+15550001");
        const qint64 chat = db.addChat(h);
        for (int i = 0; i < phoneCount; ++i)
            db.addText(chat, QStringLiteral("phone message %1").arg(i), h, 300000000 + i * 97,
                       i % 2);
        db.commit();
    }
    const QByteArray phoneDb = readFile(PhoneSmsDb::smsDbPathOf(phoneStore));
    const QString made = work + "/made";
    {
        FakeBackup b(made);
        b.device.udid = kUdid;
        b.addFolder("HomeDomain", "Library");
        b.addFolder("HomeDomain", "Library/SMS");
        b.addFile("HomeDomain", "Library/SMS/sms.db", phoneDb);
        b.write();
    }
    const QString scenario = work + "/tool.json";
    writeFile(scenario, QJsonDocument(QJsonObject {{"from", made},
                                                   {"durationMs", 0},
                                                   {"productVersion", "6.1.4"}})
                                .toJson());
    qputenv("PELICORDE_MOBILEBACKUP_SCENARIO", scenario.toLocal8Bit());
    qputenv("PELICORDE_MOBILEBACKUP_TOOL", QByteArray(PEL_BINARY_DIR "/bin/mobilebackup"));

    // The local database and its messages, loaded untimed.
    const QString local = work + "/local";
    {
        PhoneSmsDb db(local, PhoneSchema::olderLocal());
        db.begin();
        QList<qint64> chats;
        for (int c = 0; c < 20; ++c)
            chats << db.addChat(db.addHandle(QStringLiteral("+1555010%1").arg(c, 2, 10, QChar('0'))));
        for (int i = 0; i < count; ++i)
            db.addText(chats.at(i % chats.size()), QStringLiteral("archived message %1").arg(i),
                       0, 300000000 + i * 53, i % 3 == 0);
        db.commit();
    }
    IOS6MessageDb localDb(QDir(local), QStringLiteral("310"), false);
    MsgDataSet set;
    set.reset();
    localDb.chats(set);
    localDb.messages(set, 0);
    const MsgMessageList messages = set.data()->messages.values();
    if (messages.size() != count)
        die("the local database did not load");

    const BackupDevice device {iphonesim::device(kUdid), kUdid, QStringLiteral("6.1.4")};

    // Each round transfers into a backup folder of its own; the best round
    // of the chain and of the floor are compared.
    struct Round
    {
        double backup = 0, cache = 0, merge = 0, restore = 0, chain = 0, floor = 0;
        QList<QPair<QString, double>> stages; // merge stages, ms since the merge began
    };
    auto runRound = [&](int n) {
        Round r;
        const QDir root(work + QStringLiteral("/backups-%1").arg(n));
        QElapsedTimer all;
        all.start();
        ProgressForm backupForm {QString()};
        IOSMobileBackupThread backupJob(device, root, &backupForm);
        r.backup = runTimed(backupJob, backupForm, "backup");

        QElapsedTimer t;
        t.start();
        BackupManifest manifest(root.absoluteFilePath(kUdid));
        manifest.loadManifestPlist();
        manifest.loadManifestMbdb();
        ProgressForm cacheForm {QString()};
        ITunesCacheSMSThread cacheJob(&manifest, &cacheForm);
        runTimed(cacheJob, cacheForm, "cache");
        r.cache = msSince(t);

        IOS6MessageDb cached(cacheJob.cacheDir(), QStringLiteral("310"), false);
        ProgressForm mergeForm {QString()};
        IOS6RestoreMessagesThread mergeJob(QStringLiteral("310"), &messages, &cached,
                                           manifest.folder, &mergeForm);
        QElapsedTimer stageClock;
        mergeJob.setStageObserver([&](const QString &stage) {
            r.stages.append({stage, msSince(stageClock)});
        });
        stageClock.start();
        r.merge = runTimed(mergeJob, mergeForm, "merge");
        if (mergeJob.mergedCount != count)
            die("the merge did not take every message");

        ProgressForm restoreForm {QString()};
        IOSMobileRestoreThread restoreJob(device, root, &restoreForm);
        r.restore = runTimed(restoreJob, restoreForm, "restore");
        r.chain = msSince(all);

        // The floor.
        t.restart();
        const QString out = work + QStringLiteral("/floor-out-%1").arg(n);
        copyFolder(made, out);
        const QString floorDb = out + "/" + FakeBackup::fileId("HomeDomain", "Library/SMS/sms.db");
        rawInserts(floorDb, messages, 1);
        copyFolder(out, work + QStringLiteral("/floor-back-%1").arg(n));
        r.floor = msSince(t);
        return r;
    };
    Round best;
    double floorMs = 1e300;
    for (int n = 0; n < bench::kRounds; ++n) {
        const Round r = runRound(n);
        if (n == 0 || r.chain < best.chain)
            best = r;
        floorMs = std::min(floorMs, r.floor);
    }
    const double chainMs = best.chain;

    const double ratio = chainMs / qMax(floorMs, 0.001);
    std::printf("transfer of %d messages to a simulated iPhone holding %d (best of %d rounds)\n",
                count, phoneCount, bench::kRounds);
    std::printf("  backup (stand-in tool):   %8.1f ms\n", best.backup);
    std::printf("  cache (manifest + copy):  %8.1f ms\n", best.cache);
    std::printf("  merge into the backup:    %8.1f ms\n", best.merge);
    double last = 0;
    for (const auto &[stage, at] : std::as_const(best.stages)) {
        std::printf("    %-22s %8.1f ms\n", qPrintable(stage), at - last);
        last = at;
    }
    std::printf("  restore (stand-in tool):  %8.1f ms\n", best.restore);
    std::printf("  whole chain:              %8.1f ms\n", chainMs);
    std::printf("  floor (2 folder copies + raw inserts): %8.1f ms\n", floorMs);
    bench::report("iphonetransfer", chainMs, floorMs, "ms", bench::Want::AtMost, 3.0, ratio);
    iphonesim::shutdown();
    return 0;
}
