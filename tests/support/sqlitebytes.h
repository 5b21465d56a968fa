#pragma once

// Fixtures for reading SQLite files byte by byte: real database files made
// through SQLite's C interface with the settings that leave deleted rows in
// place, and database images written byte by byte (for cells and pages that
// SQLite itself never writes). Written from the file format alone, apart
// from the reader under test.

#include "tests/support/rawsqlite.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

// Opens (creating) a database whose deleted rows stay where they were: the
// given page size, no auto-vacuum, no secure delete, rollback journal.
std::unique_ptr<RawSqlite> createRecoverableDb(const QString &path, int pageSize);

// The file format's varint encoding of v.
QByteArray sqliteVarint(quint64 v);

// A database image of pageCount pages, written byte by byte: a valid
// database header and an empty table leaf as page 1 (sqlite_master). Pages
// are numbered from 1.
class SqliteImage
{
public:
    SqliteImage(int pageSize, int pageCount);

    QByteArray bytes;
    int pageSize;

    qint64 pageOffset(int page) const { return qint64(page - 1) * pageSize; }
    void put8(qint64 off, int v);
    void put16(qint64 off, int v);
    void put32(qint64 off, qint64 v);
    void put(qint64 off, const QByteArray &b);

    // Freelist header fields.
    void setFreelist(int firstTrunk, int count);
    // A table leaf with the given cells packed from the end of the page, in
    // the order given; returns each cell's offset in the page.
    QList<int> leafTablePage(int page, const QList<QByteArray> &cells);
    // An interior table page: (child, key) cells and a right-most child.
    void interiorTablePage(int page, const QList<QPair<int, qint64>> &children, int rightMost);
    // A freelist trunk page.
    void trunkPage(int page, int nextTrunk, const QList<int> &leaves);

    // A table-leaf cell: payload size, rowid, then the record of the given
    // serial types and body.
    static QByteArray tableCell(qint64 rowid, const QList<quint64> &types, const QByteArray &body);
    // A record (header length, serial types, body).
    static QByteArray record(const QList<quint64> &types, const QByteArray &body);
};
