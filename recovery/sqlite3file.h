#pragma once

// Reads an SQLite 3 database file directly, without the SQLite library, so
// that deleted rows can be found where the library no longer looks: freelist
// pages, freeblocks, the unallocated space of b-tree pages. The whole file is
// mapped read-only once; every record below points into that mapping and is
// valid only while its Sqlite3File lives.
//
// The file is treated as hostile throughout: every read is checked against
// the end of the mapping (or of a smaller region), every chain and tree walk
// is bounded, and nothing is allocated beyond what the file itself holds.
// Unreadable fields read as 0; nothing but opening throws.

#include "store/sqlite3db.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QVariant>

#include <functional>
#include <vector>

// ---------------------------------------------------------------- raw reads

// Big-endian reads without a bound.
qint16 readBE16(const uchar *p);
qint32 readBE32(const uchar *p);
qint64 readBE64(const uchar *p);

// Checked reads: a value is read only when all of its bytes lie in [p, end);
// a null p or end fails. A read that is not made gives 0.
int boundedByte(const uchar *p, const uchar *end);
qint16 boundedBE16(const uchar *p, const uchar *end);
qint32 boundedBE32(const uchar *p, const uchar *end);
qint64 boundedBE64(const uchar *p, const uchar *end);
// Copies min(n, end - p) bytes to dest (nothing when n <= 0 or p >= end);
// returns the count copied.
qint64 boundedCopy(uchar *dest, qint64 n, const uchar *p, const uchar *end);
QByteArray boundedBytes(qint64 n, const uchar *p, const uchar *end);

// The file format's variable-length integer at p: 1 to 9 bytes, seven bits
// each, the ninth all eight. Returns the bytes read, 0 when the varint does
// not lie wholly before end (value is then left as it was).
int readVarint(qint64 &value, const uchar *p, const uchar *end);
// Bytes the varint encoding of value (taken as unsigned) takes: 1 to 9.
int varintLength(qint64 value);

// ---------------------------------------------------------------- records

// One b-tree page as its header describes it.
struct Sqlite3FilePage
{
    enum Type : quint8 {
        InteriorIndex = 2,
        InteriorTable = 5,
        LeafIndex = 10,
        LeafTable = 13,
    };

    int firstFreeblock = 0; // offset in the page, 0 when none
    int cellContentStart = 0; // offset in the page where the cell content area begins
    quint8 pageType = 0; // 2, 5, 10, 13; anything else: not a b-tree page
    quint8 fragmentedBytes = 0;
    qint32 rightMostPointer = 0; // interior pages only
    qint32 pageNumber = 0;
    const uchar *page = nullptr; // first byte of the page; null when it lies past the file
    const uchar *header = nullptr; // b-tree header (page + 100 on page 1)
    QList<const uchar *> cells; // in the order of the cell pointer array
    QList<const uchar *> freeblocks; // in chain order

    bool isBtreePage() const
    {
        return pageType == InteriorIndex || pageType == InteriorTable || pageType == LeafIndex
                || pageType == LeafTable;
    }
    bool isIndexPage() const { return pageType & 2; }
    bool isLeafPage() const { return pageType & 8; }
};

// One freelist trunk page.
struct Sqlite3FileTrunk
{
    qint32 pageNumber = 0;
    const uchar *page = nullptr;
    qint32 nextTrunk = 0; // 0 at the end of the chain
    QList<qint32> leaves; // leaf page numbers, in stored order
};

// One parsed cell.
struct Sqlite3FileCell
{
    qint64 rowid = 0; // table pages only
    qint64 payloadSize = 0; // 0 on interior table pages
    qint32 localSize = 0; // payload bytes held in the cell itself
    qint32 leftChild = 0; // interior pages only
    qint32 firstOverflow = 0; // 0 when the whole payload is local
    const uchar *payload = nullptr; // first payload byte
};

// One decoded record: a value per serial type of its header, in column order
// (NULL as an invalid QVariant, integers as int or qint64, reals as double,
// texts as QString, blobs as QByteArray).
struct Sqlite3FileRow
{
    qint64 rowid = 0;
    QList<QVariant> values;
};

// Which serial types a column may hold, by its declaration.
struct Sqlite3ColumnFit
{
    bool null = false;
    bool integer = false;
    bool real = false;
    bool text = false;
    bool blob = false;

    explicit Sqlite3ColumnFit(const _SqliteCol &c);
    bool accepts(qint64 serialType) const
    {
        if (serialType < 0 || serialType == 10 || serialType == 11)
            return true;
        if (serialType == 0)
            return null;
        if (serialType == 7)
            return real;
        if (serialType < 12)
            return integer;
        return serialType % 2 == 0 ? blob : text;
    }
};

// The columns a carving looks for (column 0 the rowid alias), their fits
// worked out once: a scan carves many ranges with the same columns.
//
// A table that got columns by ALTER TABLE ... ADD COLUMN keeps the records
// written before as they were, with fewer fields than it now declares;
// SQLite reads the missing trailing fields as their defaults. minimumCount
// (the alias included) lets such records fit: a record fits when its fields
// match a leading part of the list at least that long. 0, or a count not
// below the list's, asks for records of the whole list only.
class Sqlite3CarveColumns
{
public:
    explicit Sqlite3CarveColumns(const QList<_SqliteCol> &columns, int minimumCount = 0);
    int count() const { return m_count; }
    // Fewest fields a record may have, the alias included.
    int minimumCount() const { return m_minimumCount; }
    // The fits of the columns after the alias.
    const std::vector<Sqlite3ColumnFit> &fits() const { return m_fits; }

private:
    int m_count = 0;
    int m_minimumCount = 0;
    std::vector<Sqlite3ColumnFit> m_fits;
};

// Decides whether a carved row is kept; an empty filter keeps every row.
// The pointer is only valid during the call.
using Sqlite3RowFilter = std::function<bool(const Sqlite3FileRow *)>;

// ---------------------------------------------------------------- the file

class Sqlite3File
{
public:
    explicit Sqlite3File(const QString &path);
    ~Sqlite3File();
    Sqlite3File(const Sqlite3File &) = delete;
    Sqlite3File &operator=(const Sqlite3File &) = delete;

    // Opens the file read-only and maps all of it; returns the page size.
    // Throws std::runtime_error: "open %1 failed. %2", "map %1 failed. %2",
    // or "invalid page size." when the header's page size is not a power of
    // two from 512 to 65536 (the format stores 65536 as 1).
    int openAndMap();
    // The same over bytes already in memory (kept by reference while this
    // object lives); the path given to the constructor is not used.
    int openBytes(const QByteArray &bytes);

    const uchar *mapBegin() const { return m_begin; }
    const uchar *mapEnd() const { return m_end; }
    qint64 size() const { return m_size; }
    int pageSize() const { return m_pageSize; }
    // Bytes of a page that hold b-tree content: the page size less the
    // reserved bytes the header names at offset 20.
    int usableSize() const { return m_usableSize; }

    // Header fields; 0 when the file is too short to hold them.
    qint32 firstFreelistTrunk() const;
    qint32 freelistPageCount() const;
    // Whole pages in the file; a partial page at the end is not counted.
    qint32 pageCount() const;

    // Page n as a b-tree page. n < 1 gives an empty record; a page past the
    // end of the file gives a record of type 0 with a null page pointer.
    Sqlite3FilePage readBtreePage(qint32 n) const;
    // Page n as a freelist trunk; the leaf count is capped at what a page
    // can hold.
    Sqlite3FileTrunk readFreelistTrunk(qint32 n) const;
    // The trunk chain from the header's first trunk: ends at a next trunk
    // outside the file or at a trunk already met.
    QList<Sqlite3FileTrunk> freelistTrunks() const;

    Sqlite3FileCell parseCell(const Sqlite3FilePage &page, const uchar *cell) const;
    // The whole payload, joined across overflow pages; shorter than the
    // payload size when the chain ends early, leaves the file or comes back
    // to a page it has already taken. In a genuine file every overflow page
    // belongs to one payload, so all payloads together hold less than the
    // file; a crafted one can send any number of cells (or carved records)
    // down one long chain. Overflow bytes gathered over the life of the
    // object are therefore capped at several times the file's size: past
    // that, payloads end after their local part.
    QByteArray cellPayload(const Sqlite3FileCell &cell) const;

    // The leaf pages at or below a page, left to right; each page at most
    // once, so a cycle of child pointers ends.
    QList<Sqlite3FilePage> leafPages(const Sqlite3FilePage &page) const;
    // The page and every page below it, each before its children.
    QList<Sqlite3FilePage> allPages(const Sqlite3FilePage &page) const;

    // ----- records (sqlite3filerecord.cpp)

    // Decodes the record of a parsed table cell.
    Sqlite3FileRow rowData(const Sqlite3FileCell &cell) const;

    // Finds records of the given columns (column 0 the rowid alias) in the
    // byte range [start, end) of the mapping, one byte position at a time: a
    // candidate is a run of serial types, one per column after the alias,
    // each of a kind the column can hold (NULL only where the column has no
    // NOT NULL, default or primary key). A row the filter keeps is appended
    // and the search goes on 4 bytes past its body; a rejected one, at the
    // next byte. Row values: one per column, the alias's NULL first (or the
    // prefix bytes when prefix > 0, a count of raw bytes before the column
    // contents of every body).
    //
    // With a minimum count below the list's (Sqlite3CarveColumns), a
    // candidate may stop after any column from the minimum on: its field
    // count is the one its header length attests when the bytes before the
    // serial types survive, else each count that fits is tried from the
    // longest down, and the first row the filter keeps is taken. Such a row
    // has one value per field the record holds, fewer than the list's
    // columns when the record is older than the last columns added.
    //
    // The record's payload size follows from the serial types; when it is
    // more than usable - 35 bytes, the body goes on after its local part on
    // overflow pages, named by the 4 bytes after that part (a name that is
    // not a page of the file other than page 1 drops the candidate). A row's
    // rowid is the cell's own when the bytes before the serial types still
    // hold the cell's start inside the range (payload size, rowid, header
    // length, alias NULL, all agreeing with the record); else 0.
    //
    // The bodies decoded in one range add up to at most 16 times its length
    // plus 1 MiB, far more than real free space needs: bytes crafted so that
    // every position starts a page-long candidate end the search early
    // instead of costing the square of the range.
    QList<Sqlite3FileRow> carveRecords(const QList<_SqliteCol> &columns, int prefix, int usable,
                                       const uchar *start, const uchar *end,
                                       const Sqlite3RowFilter &filter = {}) const;
    QList<Sqlite3FileRow> carveRecords(const Sqlite3CarveColumns &columns, int prefix, int usable,
                                       const uchar *start, const uchar *end,
                                       const Sqlite3RowFilter &filter = {}) const;
    // Carves page n from offset to the end of the page.
    QList<Sqlite3FileRow> carvePage(const QList<_SqliteCol> &columns, int prefix, qint32 n,
                                    int offset, const Sqlite3RowFilter &filter = {}) const;
    QList<Sqlite3FileRow> carvePage(const Sqlite3CarveColumns &columns, int prefix, qint32 n,
                                    int offset, const Sqlite3RowFilter &filter = {}) const;
    // Carves the free space of a b-tree page: on a leaf page the gap between
    // the cell pointer array and the cell content, then every freeblock; any
    // other page from byte 8 to its end.
    QList<Sqlite3FileRow> carveFreeSpace(const QList<_SqliteCol> &columns, int prefix,
                                         const Sqlite3FilePage &page,
                                         const Sqlite3RowFilter &filter = {}) const;
    QList<Sqlite3FileRow> carveFreeSpace(const Sqlite3CarveColumns &columns, int prefix,
                                         const Sqlite3FilePage &page,
                                         const Sqlite3RowFilter &filter = {}) const;

private:
    int setUpMapping(const uchar *begin, qint64 size);
    // Pointer to byte offset off of the mapping, or the map end when off lies
    // at or past it.
    const uchar *at(qint64 off) const;
    // Offset of page n's first byte (may lie past the file).
    qint64 pageOffset(qint32 n) const { return qint64(n - 1) * m_pageSize; }
    // Appends up to n bytes of the overflow chain starting at page next.
    void appendOverflow(QByteArray &out, qint64 remaining, qint32 next) const;

    QFile m_file;
    QByteArray m_bytes; // keeps the bytes of openBytes alive
    qint64 m_size = 0;
    const uchar *m_begin = nullptr;
    const uchar *m_end = nullptr;
    int m_pageSize = 0;
    int m_usableSize = 0;
    mutable qint64 m_overflowBudget = 0; // overflow bytes still to be gathered
};
