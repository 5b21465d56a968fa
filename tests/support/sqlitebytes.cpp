#include "tests/support/sqlitebytes.h"

std::unique_ptr<RawSqlite> createRecoverableDb(const QString &path, int pageSize)
{
    auto db = std::make_unique<RawSqlite>(path, true);
    db->exec(QString("PRAGMA page_size=%1; PRAGMA auto_vacuum=0; PRAGMA secure_delete=0; "
                     "PRAGMA journal_mode=DELETE;")
                     .arg(pageSize));
    return db;
}

QByteArray sqliteVarint(quint64 v)
{
    if (v > 0x00ffffffffffffffULL) {
        // Nine bytes: eight of seven bits, then the low eight bits whole.
        QByteArray out(9, 0);
        out[8] = char(v & 0xff);
        v >>= 8;
        for (int i = 7; i >= 0; --i) {
            out[i] = char((v & 0x7f) | 0x80);
            v >>= 7;
        }
        return out;
    }
    QByteArray groups;
    do {
        groups.prepend(char(v & 0x7f));
        v >>= 7;
    } while (v);
    for (int i = 0; i < groups.size() - 1; ++i)
        groups[i] = char(groups[i] | 0x80);
    return groups;
}

// ---------------------------------------------------------------- SqliteImage

SqliteImage::SqliteImage(int pageSize, int pageCount)
    : bytes(qsizetype(pageSize) * pageCount, '\0')
    , pageSize(pageSize)
{
    put(0, QByteArray("SQLite format 3", 16));
    put16(16, pageSize == 65536 ? 1 : pageSize);
    put8(18, 1);
    put8(19, 1);
    put8(21, 64);
    put8(22, 32);
    put8(23, 32);
    put32(28, pageCount);
    put32(44, 4); // schema format
    put32(56, 1); // UTF-8
    leafTablePage(1, {});
}

void SqliteImage::put8(qint64 off, int v)
{
    bytes[off] = char(v);
}

void SqliteImage::put16(qint64 off, int v)
{
    bytes[off] = char((v >> 8) & 0xff);
    bytes[off + 1] = char(v & 0xff);
}

void SqliteImage::put32(qint64 off, qint64 v)
{
    for (int i = 0; i < 4; ++i)
        bytes[off + i] = char((v >> (24 - 8 * i)) & 0xff);
}

void SqliteImage::put(qint64 off, const QByteArray &b)
{
    bytes.replace(off, b.size(), b);
}

void SqliteImage::setFreelist(int firstTrunk, int count)
{
    put32(32, firstTrunk);
    put32(36, count);
}

QList<int> SqliteImage::leafTablePage(int page, const QList<QByteArray> &cells)
{
    const qint64 base = pageOffset(page);
    const qint64 header = base + (page == 1 ? 100 : 0);
    int content = pageSize;
    QList<int> offsets;
    for (const QByteArray &c : cells) {
        content -= int(c.size());
        put(base + content, c);
        offsets.append(content);
    }
    put8(header, 13);
    put16(header + 1, 0);
    put16(header + 3, int(cells.size()));
    put16(header + 5, content == 65536 ? 0 : content);
    put8(header + 7, 0);
    for (int i = 0; i < offsets.size(); ++i)
        put16(header + 8 + 2 * i, offsets[i]);
    return offsets;
}

void SqliteImage::interiorTablePage(int page, const QList<QPair<int, qint64>> &children,
                                    int rightMost)
{
    const qint64 base = pageOffset(page);
    const qint64 header = base + (page == 1 ? 100 : 0);
    int content = pageSize;
    QList<int> offsets;
    for (const auto &[child, key] : children) {
        QByteArray c(4, '\0');
        c[0] = char((child >> 24) & 0xff);
        c[1] = char((child >> 16) & 0xff);
        c[2] = char((child >> 8) & 0xff);
        c[3] = char(child & 0xff);
        c += sqliteVarint(quint64(key));
        content -= int(c.size());
        put(base + content, c);
        offsets.append(content);
    }
    put8(header, 5);
    put16(header + 1, 0);
    put16(header + 3, int(children.size()));
    put16(header + 5, content == 65536 ? 0 : content);
    put8(header + 7, 0);
    put32(header + 8, rightMost);
    for (int i = 0; i < offsets.size(); ++i)
        put16(header + 12 + 2 * i, offsets[i]);
}

void SqliteImage::trunkPage(int page, int nextTrunk, const QList<int> &leaves)
{
    const qint64 base = pageOffset(page);
    put32(base, nextTrunk);
    put32(base + 4, leaves.size());
    for (int i = 0; i < leaves.size(); ++i)
        put32(base + 8 + 4 * i, leaves[i]);
}

QByteArray SqliteImage::record(const QList<quint64> &types, const QByteArray &body)
{
    QByteArray typeBytes;
    for (quint64 t : types)
        typeBytes += sqliteVarint(t);
    qint64 h = typeBytes.size() + 1;
    while (sqliteVarint(quint64(h)).size() != h - typeBytes.size())
        ++h;
    return sqliteVarint(quint64(h)) + typeBytes + body;
}

QByteArray SqliteImage::tableCell(qint64 rowid, const QList<quint64> &types, const QByteArray &body)
{
    const QByteArray rec = record(types, body);
    return sqliteVarint(quint64(rec.size())) + sqliteVarint(quint64(rowid)) + rec;
}
