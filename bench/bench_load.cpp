// Loads a phone's sms.db of 200,000 messages into a data set (chats, then
// messages) and, as the floor, steps through the same rows of the same
// queries with SQLite's C interface, reading every column. The load's
// figure includes freeing the data set and closing the database; the peak
// memory is counted per message loaded.
//
//   bench_load [messages] [chats]

#include "bench/benchreport.h"
#include "store/ios6messagedb.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>

#include <sqlite3.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// The statements the reader runs on a phone's database (no _last column).
const char *const kQueries[] = {
        "select * from chat",
        "select chat_id, max(date) as last from ( select cm.chat_id, m.date from "
        "chat_message_join as cm inner join message as m on cm.message_id=m.rowid ) as tmp "
        "group by chat_id",
        "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id "
        "= h.rowid",
        "select j.chat_id, m.* from chat_message_join as j inner join message as m on "
        "j.message_id = m.rowid and ifnull(m.item_type, 0) <> 4",
        "select ma.message_id, ma.attachment_id, cm.chat_id, a.* from message_attachment_join as "
        "ma inner join attachment as a on ma.attachment_id=a.rowid inner join chat_message_join "
        "as cm on ma.message_id=cm.message_id",
};

struct Scan
{
    qint64 rows = 0;
    qint64 messageRows = 0;
    qint64 checksum = 0;
};

// Every column of every row, read as what it holds.
Scan scanRaw(const QString &path)
{
    Scan s;
    sqlite3 *db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    for (const char *sql : kQueries) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "prepare failed: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
        const int columns = sqlite3_column_count(st);
        const bool messages = std::string_view(sql).find("m.*") != std::string_view::npos;
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++s.rows;
            if (messages)
                ++s.messageRows;
            for (int i = 0; i < columns; ++i) {
                switch (sqlite3_column_type(st, i)) {
                case SQLITE_INTEGER:
                    s.checksum += sqlite3_column_int64(st, i);
                    break;
                case SQLITE_TEXT: {
                    const unsigned char *t = sqlite3_column_text(st, i);
                    const int n = sqlite3_column_bytes(st, i);
                    s.checksum += n + (n ? t[0] : 0);
                    break;
                }
                case SQLITE_BLOB: {
                    const void *b = sqlite3_column_blob(st, i);
                    const int n = sqlite3_column_bytes(st, i);
                    s.checksum += n + (b && n ? static_cast<const unsigned char *>(b)[0] : 0);
                    break;
                }
                default:
                    break;
                }
            }
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return s;
}

long peakRssKb()
{
    rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TestEnv env; // the data folder (country library, caches) in a temporary home
    GeneratedSmsDbSpec spec;
    spec.messages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    spec.chats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 250;
    const QString store = env.makeDir(QStringLiteral("phone"));

    QElapsedTimer t;
    t.start();
    const GeneratedSmsDbStats st = generatePhoneSmsDb(store, spec);
    std::printf("generated sms.db: %d messages (%d system items, %d with emoji), %d attachments, "
                "%d chats (%d group), %d handles in %.2f s\n",
                st.messages, st.systemItems, st.emojiMessages, st.attachments, st.chats,
                st.groupChats, st.handles, t.nsecsElapsed() / 1e9);
    const QString path = PhoneSmsDb::smsDbPathOf(store);
    const long rssBefore = peakRssKb();

    // Warm the file cache and the country library once, untimed.
    scanRaw(path);
    {
        IOS6MessageDb db(QDir(store), QStringLiteral("310"), false);
        MsgDataSet set;
        set.reset();
        db.chats(set);
    }

    // Each round: the floor, then the load of chats and messages with the
    // data set freed and the database closed inside the clock.
    double floorBest = 1e99, loadBest = 1e99, freeBest = 1e99, freeSetMs = 0;
    Scan scan;
    qint64 loaded = 0, attachments = 0;
    for (int run = 0; run < bench::kRounds; ++run) {
        floorBest = std::min(floorBest, bench::timeMs([&] { scan = scanRaw(path); }));

        t.restart();
        {
            auto db = std::make_unique<IOS6MessageDb>(QDir(store), QStringLiteral("310"), false);
            auto set = std::make_unique<MsgDataSet>();
            set->reset();
            db->chats(*set);
            db->messages(*set, 0);
            loaded = set->data()->messages.size();
            attachments = set->data()->attachments.size();
            QElapsedTimer freeing;
            freeing.start();
            set.reset();
            const double setMs = freeing.nsecsElapsed() / 1e6;
            db.reset();
            if (freeing.nsecsElapsed() / 1e6 < freeBest) {
                freeBest = freeing.nsecsElapsed() / 1e6;
                freeSetMs = setMs;
            }
        }
        loadBest = std::min(loadBest, t.nsecsElapsed() / 1e6);
    }
    const long rssAfter = peakRssKb();

    // One conversation, the busiest, read into a new set: its cost follows
    // its share of the rows (target: within 2x of that share of the load).
    qint64 busiest = 0, busiestRows = 0;
    {
        sqlite3 *raw = nullptr;
        sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(raw,
                           "select chat_id, count(*) as n from chat_message_join group by chat_id "
                           "order by n desc limit 1",
                           -1, &st, nullptr);
        if (sqlite3_step(st) == SQLITE_ROW) {
            busiest = sqlite3_column_int64(st, 0);
            busiestRows = sqlite3_column_int64(st, 1);
        }
        sqlite3_finalize(st);
        sqlite3_close(raw);
    }
    qint64 oneLoaded = 0;
    const double oneBest = bench::bestMs([&] {
        IOS6MessageDb db(QDir(store), QStringLiteral("310"), false);
        MsgDataSet set;
        set.reset();
        db.messages(set, busiest);
        oneLoaded = set.data()->messages.size();
    });
    const double share = double(busiestRows) / double(std::max<qint64>(scan.messageRows, 1));
    const double kbPerMessage = double(rssAfter - rssBefore) / double(std::max<qint64>(loaded, 1));

    std::printf("%lld rows (%lld message rows), %lld messages and %lld attachments loaded; "
                "best of %d rounds\n",
                static_cast<long long>(scan.rows), static_cast<long long>(scan.messageRows),
                static_cast<long long>(loaded), static_cast<long long>(attachments),
                bench::kRounds);
    std::printf("  freeing the data set and closing: %.1f ms, of which the data set %.1f ms "
                "(inside the load figure)\n",
                freeBest, freeSetMs);
    std::printf("  peak memory %.1f MB (%.1f MB before loading)\n", rssAfter / 1024.0,
                rssBefore / 1024.0);
    const QByteArray suffix = spec.messages % 1000000 == 0
            ? QByteArray::number(spec.messages / 1000000) + "M"
            : QByteArray::number(spec.messages / 1000) + "k";
    bench::report(("load+free." + suffix).constData(), loadBest, floorBest, "ms",
                  bench::Want::AtMost, 1.25);
    std::printf("  busiest conversation: %lld of %lld message rows (%.1f%%), %lld loaded\n",
                static_cast<long long>(busiestRows), static_cast<long long>(scan.messageRows),
                share * 100, static_cast<long long>(oneLoaded));
    bench::report(("load.one_chat." + suffix).constData(), oneBest, loadBest * share, "ms",
                  bench::Want::AtMost, 2.0);
    bench::report(("load.peak_memory." + suffix).constData(), kbPerMessage, 0, "KB/msg",
                  bench::Want::AtMost, 0.9, kbPerMessage);
    return loaded == scan.messageRows ? 0 : 1;
}
