// Merges 200,000 messages of a phone's sms.db into a new local message
// database with the writer, and merges the same list again (every message a
// duplicate). The floor, in the same run: the same rows (chats, handles,
// messages with their logic hash, attachments and the three join tables)
// put into a database of the same schema with plain prepared inserts in one
// transaction, every value known beforehand. Best of three rounds; targets:
// the writer's throughput at least 0.75 of the floor's, and the first merge
// at least twice as long as the repeated one.
//
//   bench_writer [messages] [chats]

#include "bench/benchreport.h"
#include "bench/rawinsertfloor.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

const char *const kMcc = "310";

using rawinsert::floorRun;
using rawinsert::prepare;

// One run of the writer over the list; returns milliseconds.
double writerRun(const QString &folder, const MsgMessageList &list, ExportMessagesDb::Counts *out)
{
    QElapsedTimer t;
    t.start();
    ExportMessagesDb writer {QDir(folder), QString::fromLatin1(kMcc)};
    writer.begin();
    for (_MsgMessage *m : list)
        writer.write(m);
    writer.end();
    *out = writer.counts();
    return t.nsecsElapsed() / 1e6;
}

qint64 scalar(const QString &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *st = prepare(db, sql);
    const qint64 v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
    sqlite3_finalize(st);
    sqlite3_close(db);
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestEnv env; // the data folder (country library) in a temporary home
    GeneratedSmsDbSpec spec;
    spec.messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    spec.chats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    // Attachment rows without files: the comparison is of database work.
    spec.attachmentFiles = false;
    const QString phone = env.makeDir(QStringLiteral("phone"));
    const GeneratedSmsDbStats st = generatePhoneSmsDb(phone, spec);

    MsgDataSet set;
    set.reset();
    {
        IOS6MessageDb source(QDir(phone), QString::fromLatin1(kMcc), false);
        source.messages(set, 0);
    }
    MsgMessageList list(set.data()->messages.begin(), set.data()->messages.end());
    sortMessages(list);
    std::printf("source: %lld messages (%d attachments) in %d chats with %d handles\n",
                qlonglong(list.size()), st.attachments, st.chats, st.handles);

    // Best of three rounds, each on new databases.
    constexpr int kRounds = bench::kRounds;
    double floorMs = 1e99, writerMs = 1e99, againMs = 1e99;
    qint64 floorRows = 0, archiveRows = 0;
    ExportMessagesDb::Counts first, again;
    for (int round = 0; round < kRounds; ++round) {
        const QString floorDb
                = env.makeDir(QStringLiteral("floor%1").arg(round)) + QStringLiteral("/sms.db");
        floorMs = std::min(floorMs, floorRun(floorDb, set, list));
        floorRows = scalar(floorDb, "select count(*) from message");

        // The writer, into a database made beforehand as the floor's is.
        const QString archive = env.makeDir(QStringLiteral("archive%1").arg(round));
        {
            ExportMessagesDb empty {QDir(archive), QString::fromLatin1(kMcc)};
            empty.begin();
            empty.end();
        }
        writerMs = std::min(writerMs, writerRun(archive, list, &first));
        againMs = std::min(againMs, writerRun(archive, list, &again));
        archiveRows = scalar(PhoneSmsDb::smsDbPathOf(archive), "select count(*) from message");
        QFile::remove(floorDb);
        QDir(archive).removeRecursively();
    }

    const double n = double(list.size());
    std::printf("best of %d rounds: floor %.0f messages/s (%lld rows); writer %.0f messages/s "
                "(%d added, %lld rows); again %.0f messages/s (%d added, %d found)\n",
                kRounds, n / floorMs * 1000, qlonglong(floorRows), n / writerMs * 1000, first.added,
                qlonglong(archiveRows), n / againMs * 1000, again.added, again.existing);
    // Throughput is the inverse of time: the ratio is floor time over writer time.
    bench::report("writer.throughput", writerMs, floorMs, "ms", bench::Want::AtLeast, 0.75,
                  floorMs / writerMs);
    bench::report("writer.first/repeat", writerMs, againMs, "ms", bench::Want::AtLeast, 2.0);
    return first.added == list.size() && archiveRows == floorRows ? 0 : 1;
}
