// The whole "Recover Deleted Messages" command on a phone's sms.db of
// 200,000 messages of which a third were deleted (no secure delete, no
// vacuum): the scan job (handles, then messages, into recycle.db) plus the
// reload of the source (chats, salvaged messages, messages), beside the
// plain load of the same database (chats, then messages) measured in the
// same run (target: within 4x). Peak memory is taken at 100,000 and 200,000
// messages, each size in a process of its own: the whole command's beside
// the plain load's, and the scan's own (its peak anonymous memory above what
// the process held before it, sampled in an extra untimed round so that the
// sampling does not touch the timed ones) beside the file's size. The scan
// must not grow with the file: from 100,000 to 200,000 messages its memory
// may grow by at most a tenth of the file's growth.
//
//   bench_recovery                 both sizes, each in a child process
//   bench_recovery --one N         one size in this process

#include "bench/benchapp.h"
#include "bench/benchreport.h"
#include "recovery/recoverdeletedthread.h"
#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kRuns = 3;

// A line of /proc/self/status in kB ("VmHWM", "RssAnon", "RssFile").
long statusKb(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    return -1;
}

// The figure's name for a size: "100k" for 100,000 messages.
QByteArray sizeName(int count)
{
    return count % 1000 == 0 ? QByteArray::number(count / 1000) + 'k' : QByteArray::number(count);
}

// The highest RssAnon (kB) seen while f runs, sampled every millisecond.
template<class F>
long peakAnonKb(F &&f)
{
    std::atomic<bool> done {false};
    std::atomic<long> peak {statusKb("RssAnon")};
    std::thread sampler([&] {
        while (!done.load()) {
            peak.store(std::max(peak.load(), statusKb("RssAnon")));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    f();
    done.store(true);
    sampler.join();
    return std::max(peak.load(), statusKb("RssAnon"));
}

double loadOnce(const QString &store, qint64 *messages, double *chatsMs = nullptr)
{
    IOS6MessageDb db(QDir(store), QStringLiteral("310"), false);
    MsgDataSet set;
    set.reset();
    QElapsedTimer t;
    t.start();
    db.chats(set);
    const qint64 chatsNs = t.nsecsElapsed();
    db.messages(set, 0);
    const double ms = t.nsecsElapsed() / 1e6;
    *messages = set.data()->messages.size();
    if (chatsMs)
        *chatsMs = chatsNs / 1e6;
    return ms;
}

int runOne(int count)
{
    TestEnv env;
    GeneratedSmsDbSpec spec;
    spec.messages = count;
    spec.chats = 250;
    spec.attachmentFiles = false;
    // The phone's attachment triggers call functions only a phone has.
    spec.schema.phoneTriggers = false;
    const QString store = env.makeDir(QStringLiteral("phone"));
    QElapsedTimer t;
    t.start();
    generatePhoneSmsDb(store, spec);
    const QString path = PhoneSmsDb::smsDbPathOf(store);
    {
        RawSqlite raw(path);
        // The phone's delete triggers look join rows up by message and by
        // attachment: indexes for the time of the deletion keep it linear.
        // Its trigger that removes messages left without a conversation
        // walks the whole message table for every join row deleted; the
        // messages go first here, so it would find nothing, and it is set
        // aside meanwhile and put back as it was.
        const QString orphanTrigger = raw.scalar(QStringLiteral(
                "select sql from sqlite_master where type='trigger' "
                "and name='clean_orphaned_messages'")).toString();
        raw.exec(QStringLiteral("PRAGMA secure_delete=0; begin; "
                                "create index bench_cmj on chat_message_join(message_id); "
                                "create index bench_maj on message_attachment_join(message_id); "
                                "create index bench_maa on "
                                "message_attachment_join(attachment_id); "
                                "drop trigger if exists clean_orphaned_messages; "
                                "delete from message where rowid % 3 = 0; "
                                "delete from chat_message_join where message_id % 3 = 0; "
                                "delete from message_attachment_join where message_id % 3 = 0; "
                                "drop index bench_cmj; drop index bench_maj; drop index bench_maa; "
                                "commit;"));
        if (!orphanTrigger.isEmpty())
            raw.exec(orphanTrigger + QLatin1Char(';'));
    }
    const double fileMb = QFileInfo(path).size() / 1048576.0;
    std::printf("[%d] sms.db of %d messages, a third deleted: %.1f MB, made in %.2f s\n", count,
                count, fileMb, t.nsecsElapsed() / 1e9);

    // Warm the file cache and the country library once, untimed.
    qint64 live = 0;
    loadOnce(store, &live);
    const long baseHwm = statusKb("VmHWM");

    double loadBest = 1e99, loadChatsMs = 0;
    for (int run = 0; run < kRuns; ++run) {
        double chatsMs = 0;
        const double ms = loadOnce(store, &live, &chatsMs);
        if (ms < loadBest) {
            loadBest = ms;
            loadChatsMs = chatsMs;
        }
    }
    const long loadHwm = statusKb("VmHWM");

    // One scan job into an empty recycle.db, as a first scan does.
    int salvaged = 0, handles = 0;
    auto scan = [&]() -> QSharedPointer<AbsIOSMessageDb> {
        QFile::remove(QDir(store).absoluteFilePath(QStringLiteral("recycle.db")));
        auto db = QSharedPointer<AbsIOSMessageDb>(
                new IOS6MessageDb(QDir(store), QStringLiteral("310"), false));
        ProgressForm form(QStringLiteral("Recover Deleted Messages"));
        RecoverDeletedThread job(db, &form);
        if (!form.runJob(&job)) {
            std::fprintf(stderr, "the scan failed\n");
            std::exit(1);
        }
        salvaged = job.messagesRecovered();
        handles = job.handlesRecovered();
        return db;
    };

    double scanBest = 1e99, reloadBest = 1e99, reloadChatsMs = 0, reloadRecycledMs = 0;
    qint64 shown = 0;
    for (int run = 0; run < kRuns; ++run) {
        t.restart();
        QSharedPointer<AbsIOSMessageDb> db = scan();
        scanBest = std::min(scanBest, t.nsecsElapsed() / 1e6);

        auto *six = static_cast<IOS6MessageDb *>(db.data());
        MsgDataSet set;
        set.reset();
        t.restart();
        six->chats(set);
        const qint64 chatsNs = t.nsecsElapsed();
        six->loadRecycledChats(set);
        const qint64 recycledNs = t.nsecsElapsed();
        six->messages(set, 0);
        const double ms = t.nsecsElapsed() / 1e6;
        if (ms < reloadBest) {
            reloadBest = ms;
            reloadChatsMs = chatsNs / 1e6;
            reloadRecycledMs = (recycledNs - chatsNs) / 1e6;
        }
        shown = set.data()->messages.size();
    }
    const long hwm = statusKb("VmHWM");
    const double command = scanBest + reloadBest;
    // PEL_BENCH_RECOVERY_KEEP names a folder that receives the sms.db and
    // the recycle.db of the last round, to look at or to compare.
    const QString keep = qEnvironmentVariable("PEL_BENCH_RECOVERY_KEEP");
    if (!keep.isEmpty()) {
        const QString to = QDir(keep).absoluteFilePath(QString::number(count));
        QDir().mkpath(to);
        for (const QString &from :
             {path, QDir(store).absoluteFilePath(QStringLiteral("recycle.db"))}) {
            const QString target = QDir(to).absoluteFilePath(QFileInfo(from).fileName());
            QFile::remove(target);
            QFile::copy(from, target);
        }
    }

    // The scan's own memory, in a round of its own.
    const long anonBefore = statusKb("RssAnon");
    const long anonPeak = peakAnonKb([&] { scan(); });
    const double scanMb = (anonPeak - anonBefore) / 1024.0;

    std::printf("[%d] load (chats, messages):     %9.1f ms  (%lld live messages; chats %.1f ms, "
                "messages %.1f ms)\n",
                count, loadBest, static_cast<long long>(live), loadChatsMs, loadBest - loadChatsMs);
    std::printf("[%d] scan job:                   %9.1f ms  (%d messages, %d handles salvaged)\n",
                count, scanBest, salvaged, handles);
    std::printf("[%d] reload with salvaged rows:  %9.1f ms  (%lld messages shown; chats %.1f ms, "
                "salvaged rows %.1f ms, messages %.1f ms)\n",
                count, reloadBest, static_cast<long long>(shown), reloadChatsMs, reloadRecycledMs,
                reloadBest - reloadChatsMs - reloadRecycledMs);
    std::printf("[%d] peak memory: %.1f MB after loads, %.1f MB after the command "
                "(%.1f MB before); the scan %.1f MB above the %.1f MB before it; file %.1f MB\n",
                count, loadHwm / 1024.0, hwm / 1024.0, baseHwm / 1024.0, scanMb,
                anonBefore / 1024.0, fileMb);
    const QByteArray k = sizeName(count);
    bench::report(("recovery.command." + k).constData(), command, loadBest, "ms",
                  bench::Want::AtMost, 4.0);
    bench::report(("recovery.peak_memory." + k).constData(), hwm / 1024.0, loadHwm / 1024.0,
                  "MB");
    bench::report(("recovery.scan_memory." + k).constData(), scanMb, fileMb, "MB");
    return shown >= live ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 2 && args.at(1) == QLatin1String("--one"))
        return runOne(std::max(1, args.at(2).toInt()));

    int rc = 0;
    QList<double> scans, sizes;
    for (int count : {100000, 200000}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(app.applicationFilePath(), {QStringLiteral("--one"), QString::number(count)});
        child.waitForFinished(-1);
        const QByteArray out = child.readAllStandardOutput();
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        std::fflush(stdout);
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            std::printf("[%d] failed\n", count);
            rc = 1;
        }
        // RESULT recovery.scan_memory.<size> <scan>MB <file>MB ...
        for (const QByteArray &line : out.split('\n')) {
            const QList<QByteArray> f = line.split(' ');
            if (f.size() > 3 && f[0] == "RESULT" && f[1].startsWith("recovery.scan_memory.")) {
                scans << f[2].chopped(2).toDouble();
                sizes << f[3].chopped(2).toDouble();
            }
        }
    }
    if (scans.size() == 2 && sizes.size() == 2) {
        // Flat in the file's size: the scan at twice the messages may take at
        // most a tenth of the file's growth more.
        const double growth = std::max(0.0, scans[1] - scans[0]);
        const double fileGrowth = sizes[1] - sizes[0];
        bench::report("recovery.scan_memory.growth", growth, fileGrowth, "MB", bench::Want::AtMost,
                      0.10, fileGrowth > 0 ? growth / fileGrowth : 0);
    }
    return rc;
}
