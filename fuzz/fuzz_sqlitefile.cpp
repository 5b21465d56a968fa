// The SQLite page reader and the carving of deleted records over any bytes:
// every reader ends, reads only inside the input (the input is used in place,
// so the sanitizer sees any read past it), and what it hands out points into
// the input and stays within what the input can hold.
#include "recovery/sqlite3file.h"
#include "tests/support/sqlitesweep.h"

#include <QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

bool inside(const Sqlite3File &f, const uchar *p)
{
    return p >= f.mapBegin() && p <= f.mapEnd();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool silenced = (qInstallMessageHandler(quiet), true);
    (void)silenced;
    const QByteArray bytes
            = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    Sqlite3File file(QString {});
    try {
        file.openBytes(bytes);
    } catch (const std::runtime_error &) {
        return 0;
    }
    sweepSqliteFile(file, 256);

    for (qint32 n = 1; n <= file.pageCount() && n <= 256; ++n) {
        const Sqlite3FilePage page = file.readBtreePage(n);
        for (const uchar *c : page.cells) {
            if (!inside(file, c))
                std::abort();
            const Sqlite3FileCell cell = file.parseCell(page, c);
            if (cell.payload && !inside(file, cell.payload))
                std::abort();
            if (file.cellPayload(cell).size() > qsizetype(size) + file.usableSize())
                std::abort();
        }
        for (const uchar *f : page.freeblocks)
            if (!inside(file, f))
                std::abort();
        // Below a page only leaves of the file; the page itself may be one
        // by its type bit alone.
        for (const Sqlite3FilePage &leaf : file.leafPages(page))
            if (leaf.pageNumber != n
                && (!leaf.isLeafPage() || leaf.pageNumber < 1
                    || leaf.pageNumber > file.pageCount()))
                std::abort();
        if (file.allPages(page).size() > file.pageCount() + 1)
            std::abort();
    }
    for (const Sqlite3FileTrunk &t : file.freelistTrunks())
        if (t.leaves.size() > file.usableSize() / 4)
            std::abort();
    return 0;
}
