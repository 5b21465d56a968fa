// The whole "Recover Deleted Messages" command on a phone's sms.db of
// 200,000 messages of which a third were deleted (no secure delete, no
// vacuum): the scan job (handles, then messages, into recycle.db) plus the
// reload of the source (chats, salvaged messages, messages), beside the
// plain load of the same database (chats, then messages) measured in the
// same run. Peak memory is taken at 100,000 and 200,000 messages, each size
// in a process of its own, to show that it does not grow with the file.
//
//   bench_recovery                 both sizes, each in a child process
//   bench_recovery --one N         one size in this process

#include "bench/benchapp.h"
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
#include <cstdio>

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

double loadOnce(const QString &store, qint64 *messages)
{
    IOS6MessageDb db(QDir(store), QStringLiteral("310"), false);
    MsgDataSet set;
    set.reset();
    QElapsedTimer t;
    t.start();
    db.chats(set);
    db.messages(set, 0);
    const double ms = t.nsecsElapsed() / 1e6;
    *messages = set.data()->messages.size();
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

    double loadBest = 1e99;
    for (int run = 0; run < kRuns; ++run)
        loadBest = std::min(loadBest, loadOnce(store, &live));
    const long loadHwm = statusKb("VmHWM");

    double scanBest = 1e99, reloadBest = 1e99;
    int salvaged = 0, handles = 0;
    qint64 shown = 0;
    long scanAnon = 0;
    for (int run = 0; run < kRuns; ++run) {
        // Every round starts from an empty recycle.db, as a first scan does.
        QFile::remove(QDir(store).absoluteFilePath(QStringLiteral("recycle.db")));
        auto db = QSharedPointer<AbsIOSMessageDb>(
                new IOS6MessageDb(QDir(store), QStringLiteral("310"), false));
        ProgressForm form(QStringLiteral("Recover Deleted Messages"));
        RecoverDeletedThread job(db, &form);
        t.restart();
        if (!form.runJob(&job)) {
            std::fprintf(stderr, "the scan failed\n");
            return 1;
        }
        scanBest = std::min(scanBest, t.nsecsElapsed() / 1e6);
        scanAnon = std::max(scanAnon, statusKb("RssAnon"));
        salvaged = job.messagesRecovered();
        handles = job.handlesRecovered();

        auto *six = static_cast<IOS6MessageDb *>(db.data());
        MsgDataSet set;
        set.reset();
        t.restart();
        six->chats(set);
        six->loadRecycledChats(set);
        six->messages(set, 0);
        reloadBest = std::min(reloadBest, t.nsecsElapsed() / 1e6);
        shown = set.data()->messages.size();
    }
    const long hwm = statusKb("VmHWM");
    const double command = scanBest + reloadBest;

    std::printf("[%d] load (chats, messages):     %9.1f ms  (%lld live messages)\n", count,
                loadBest, static_cast<long long>(live));
    std::printf("[%d] scan job:                   %9.1f ms  (%d messages, %d handles salvaged)\n",
                count, scanBest, salvaged, handles);
    std::printf("[%d] reload with salvaged rows:  %9.1f ms  (%lld messages shown)\n", count,
                reloadBest, static_cast<long long>(shown));
    std::printf("[%d] command / load:             %9.2f  (target: at most 4.00)\n", count,
                command / loadBest);
    std::printf("[%d] peak memory: %.1f MB after loads, %.1f MB after the command; "
                "anonymous %.1f MB; file %.1f MB\n",
                count, loadHwm / 1024.0, hwm / 1024.0, scanAnon / 1024.0, fileMb);
    std::printf("RESULT bench_recovery messages=%d file_mb=%.1f load_ms=%.1f scan_ms=%.1f "
                "reload_ms=%.1f command_ms=%.1f ratio=%.2f salvaged=%d peak_mb=%.1f "
                "base_mb=%.1f\n",
                count, fileMb, loadBest, scanBest, reloadBest, command, command / loadBest,
                salvaged, hwm / 1024.0, baseHwm / 1024.0);
    std::fflush(stdout);
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
    QList<double> peaks, sizes;
    for (int count : {100000, 200000}) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(app.applicationFilePath(), {QStringLiteral("--one"), QString::number(count)});
        child.waitForFinished(-1);
        const QByteArray out = child.readAllStandardOutput();
        std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
            std::printf("[%d] failed\n", count);
            rc = 1;
        }
        for (const QByteArray &line : out.split('\n')) {
            if (!line.startsWith("RESULT"))
                continue;
            for (const QByteArray &field : line.split(' ')) {
                if (field.startsWith("peak_mb="))
                    peaks << field.mid(8).toDouble();
                if (field.startsWith("file_mb="))
                    sizes << field.mid(8).toDouble();
            }
        }
    }
    if (peaks.size() == 2 && sizes.size() == 2)
        std::printf("RESULT bench_recovery peak_growth_mb=%.1f file_growth_mb=%.1f "
                    "(peak memory from 100,000 to 200,000 messages beside the file's growth)\n",
                    peaks[1] - peaks[0], sizes[1] - sizes[0]);
    return rc;
}
