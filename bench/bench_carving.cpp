// Reads a phone-sized sms.db page by page: every live message row decoded
// from the table's leaves, and the deleted ones carved out of the free space
// of its leaves and of the freed pages (the 38 columns of the first iOS 6
// table, then the 50 of the generated one, much as the recovery scan does). Baseline: SQLite itself
// reading every live message row of the same file (targets: decoding within
// 1.0x of SQLite, carving within 8x). The generated file is the same on
// every run.

#include "bench/benchreport.h"
#include "recovery/sqlite3file.h"
#include "tests/support/phonesmsdb.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <cstdio>

namespace {

constexpr int kMessages = 60000;

QList<_SqliteCol> messageColumns(bool later)
{
    auto col = [](const char *name, const char *type, bool dflt) {
        return _SqliteCol(name, type, false, dflt, false);
    };
    QList<_SqliteCol> c {_SqliteCol("ROWID", "INTEGER", false, false, true),
                         _SqliteCol("guid", "TEXT", true, false, false),
                         col("text", "TEXT", false),
                         col("replace", "INTEGER", true),
                         col("service_center", "TEXT", false),
                         col("handle_id", "INTEGER", true),
                         col("subject", "TEXT", false),
                         col("country", "TEXT", false),
                         col("attributedBody", "BLOB", false),
                         col("version", "INTEGER", true),
                         col("type", "INTEGER", true),
                         col("service", "TEXT", false),
                         col("account", "TEXT", false),
                         col("account_guid", "TEXT", false),
                         col("error", "INTEGER", true),
                         col("date", "INTEGER", false),
                         col("date_read", "INTEGER", false),
                         col("date_delivered", "INTEGER", false)};
    for (int i = 0; i < 17; ++i)
        c << col("flag", "INTEGER", true);
    c << col("cache_roomnames", "TEXT", false) << col("was_data_detected", "INTEGER", true)
      << col("was_deduplicated", "INTEGER", true);
    if (later) {
        c << col("is_audio_message", "INTEGER", true) << col("is_played", "INTEGER", true)
          << col("date_played", "INTEGER", false) << col("item_type", "INTEGER", true)
          << col("other_handle", "INTEGER", true) << col("group_title", "TEXT", false)
          << col("group_action_type", "INTEGER", true) << col("share_status", "INTEGER", false)
          << col("share_direction", "INTEGER", false) << col("is_expirable", "INTEGER", true)
          << col("expire_state", "INTEGER", true) << col("message_action_type", "INTEGER", true);
    }
    return c;
}

bool serviceRow(const Sqlite3FileRow *r)
{
    if (r->values.size() <= 37)
        return false;
    const QString s = r->values[11].toString();
    return s.compare("SMS", Qt::CaseInsensitive) == 0
            || s.compare("iMessage", Qt::CaseInsensitive) == 0;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    GeneratedSmsDbSpec spec;
    spec.messages = kMessages;
    spec.chats = 200;
    spec.attachmentFiles = false;
    generatePhoneSmsDb(dir.path(), spec);
    const QString path = PhoneSmsDb::smsDbPathOf(dir.path());
    int root = 0;
    {
        RawSqlite db(path);
        db.exec("PRAGMA secure_delete=0; DELETE FROM message WHERE ROWID % 3 = 0;");
        root = db.scalar("select rootpage from sqlite_master where name='message'").toInt();
    }

    // Baseline: SQLite reads every live row, touching every column.
    qint64 sqlRows = 0, sqlBytes = 0;
    const double sqlMs = bench::bestMs([&] {
        sqlRows = sqlBytes = 0;
        sqlite3 *raw = nullptr;
        sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(raw, "select * from message", -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW) {
            ++sqlRows;
            for (int c = 0; c < sqlite3_column_count(st); ++c)
                sqlBytes += sqlite3_column_bytes(st, c);
        }
        sqlite3_finalize(st);
        sqlite3_close(raw);
    });

    Sqlite3File file(path);
    file.openAndMap();

    // The reader decodes the same live rows from the table's leaves.
    qint64 decoded = 0;
    QList<Sqlite3FilePage> leaves;
    const double decodeMs = bench::bestMs([&] {
        decoded = 0;
        leaves = file.leafPages(file.readBtreePage(root));
        for (const Sqlite3FilePage &leaf : std::as_const(leaves))
            for (const uchar *c : leaf.cells)
                decoded += file.rowData(file.parseCell(leaf, c)).values.isEmpty() ? 0 : 1;
    });

    // Carving, as the scan does it: both column lists over the free space of
    // the live leaves and of every freed page.
    QList<qint32> pages;
    qint64 carved = 0;
    const QList<_SqliteCol> lists[2] = {messageColumns(false), messageColumns(true)};
    const double carveMs = bench::bestMs([&] {
        pages.clear();
        carved = 0;
        for (const Sqlite3FileTrunk &tr : file.freelistTrunks()) {
            pages << tr.pageNumber;
            pages += tr.leaves;
        }
        for (const Sqlite3FilePage &leaf : std::as_const(leaves))
            pages << leaf.pageNumber;
        for (qint32 n : std::as_const(pages)) {
            const Sqlite3FilePage page = file.readBtreePage(n);
            for (const QList<_SqliteCol> &cols : lists)
                carved += page.isBtreePage()
                        ? file.carveFreeSpace(cols, 0, page, serviceRow).size()
                        : file.carvePage(cols, 0, n, 0, serviceRow).size();
        }
    });

    const double mb = double(file.size()) / (1 << 20);
    std::printf("sms.db of %d messages, a third deleted: %.1f MiB, %d pages of %d bytes; "
                "%lld live rows read by SQLite, %lld decoded; %d pages carved with 2 column "
                "lists: %lld rows (%.1f MiB/s of pages); best of %d rounds\n",
                kMessages, mb, int(file.pageCount()), file.pageSize(), qint64(sqlRows), decoded,
                int(pages.size()), carved,
                carveMs > 0 ? 2 * double(pages.size()) * file.pageSize() / (1 << 20) * 1000 / carveMs
                            : 0.0,
                bench::kRounds);
    bench::report("carving.decode_live", decodeMs, sqlMs, "ms", bench::Want::AtMost, 1.0);
    // Carving tries every offset of the free space with both column lists:
    // its figure is held against reading the live rows, a page at a time.
    bench::report("carving.carve_free", carveMs, sqlMs, "ms", bench::Want::AtMost, 8.0);
    return decoded == sqlRows ? 0 : 1;
}
