#include "tests/support/sqlitesweep.h"

#include "recovery/sqlite3file.h"

#include <algorithm>

// ---------------------------------------------------------------- sweep

namespace {

QList<_SqliteCol> handleColumns()
{
    return {{"ROWID", "INTEGER", false, false, true},
            {"id", "TEXT", true, false, false},
            {"country", "TEXT", false, false, false},
            {"service", "TEXT", true, false, false},
            {"uncanonicalized_id", "TEXT", false, false, false}};
}

QList<_SqliteCol> messageLikeColumns()
{
    QList<_SqliteCol> c {{"ROWID", "INTEGER", false, false, true},
                         {"guid", "TEXT", true, false, false},
                         {"text", "TEXT", false, false, false},
                         {"handle_id", "INTEGER", false, true, false},
                         {"attributedBody", "BLOB", false, false, false},
                         {"service", "TEXT", false, false, false},
                         {"date", "INTEGER", false, false, false}};
    return c;
}

} // namespace

SqliteSweep sweepSqliteFile(const Sqlite3File &file, int maxPages)
{
    SqliteSweep s;
    const QList<QList<_SqliteCol>> columnLists {handleColumns(), messageLikeColumns()};
    const int pages = std::min(file.pageCount(), maxPages);
    // Readers past the whole pages too: the partial page at the end and
    // numbers that are not pages at all.
    for (int n = -1; n <= pages + 2; ++n) {
        const Sqlite3FilePage page = file.readBtreePage(n);
        ++s.pages;
        if (page.isBtreePage())
            ++s.btreePages;
        for (const uchar *c : page.cells) {
            const Sqlite3FileCell cell = file.parseCell(page, c);
            ++s.cells;
            s.payloadBytes += file.cellPayload(cell).size();
            if (page.pageType == Sqlite3FilePage::LeafTable) {
                const Sqlite3FileRow row = file.rowData(cell);
                ++s.rows;
                s.values += int(row.values.size());
            }
        }
        for (const QList<_SqliteCol> &cols : columnLists) {
            s.carvedRows += int(file.carveFreeSpace(cols, 0, page).size());
            s.carvedRows += int(file.carvePage(cols, 0, n, 0).size());
        }
        if (n >= 1 && n <= 64) {
            s.walkedPages += int(file.allPages(page).size());
            s.walkedPages += int(file.leafPages(page).size());
        }
    }
    for (const Sqlite3FileTrunk &t : file.freelistTrunks()) {
        ++s.trunks;
        for (qint32 leaf : t.leaves)
            s.walkedPages += int(file.leafPages(file.readBtreePage(leaf)).size());
    }
    (void)file.readFreelistTrunk(file.firstFreelistTrunk());
    (void)file.freelistPageCount();
    return s;
}
