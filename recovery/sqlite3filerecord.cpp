// Record decoding and carving of deleted records for Sqlite3File.

#include "recovery/sqlite3file.h"

#include <QtGlobal>

#include <cstring>
#include <vector>

namespace {

// The format allows at most 32767 columns in a table, so no genuine record
// has more serial types; a header that claims more is damaged.
constexpr int kMaxColumns = 32767;

// Content bytes of a serial type.
qint64 contentSize(qint64 t)
{
    static const int fixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    if (t < 0)
        return 0;
    if (t < 12)
        return fixed[t];
    return (t - 12) / 2;
}

// Signed big-endian integer of n bytes (1 to 8).
qint64 signedBE(const uchar *p, int n)
{
    quint64 v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    const int unused = 64 - 8 * n;
    return unused ? qint64(v << unused) >> unused : qint64(v);
}

// Decodes one value per serial type from body[0, len), appending them. A
// fixed-width value that does not lie wholly inside reads as 0 and still
// takes its full size; a text or blob is cut to the bytes that are there.
void decodeValues(const qint64 *types, qsizetype count, const uchar *body, qint64 len,
                  QList<QVariant> &values)
{
    qint64 pos = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const qint64 t = types[i];
        const qint64 size = contentSize(t);
        const qint64 left = pos < len ? len - pos : 0;
        const uchar *p = body + (pos < len ? pos : len);
        if (t < 0 || t == 0 || t == 10 || t == 11) {
            values.append(QVariant());
        } else if (t == 8 || t == 9) {
            values.append(QVariant(int(t - 8)));
        } else if (t <= 7) {
            const bool there = left >= size;
            if (t == 7) {
                double d = 0;
                if (there) {
                    const quint64 bits = quint64(signedBE(p, 8));
                    std::memcpy(&d, &bits, sizeof d);
                }
                values.append(QVariant(d));
            } else {
                const qint64 v = there ? signedBE(p, int(size)) : 0;
                if (t <= 4)
                    values.append(QVariant(int(v)));
                else
                    values.append(QVariant::fromValue<qint64>(v));
            }
            pos += size;
            continue;
        } else {
            const qint64 take = qMin(size, left);
            const char *c = reinterpret_cast<const char *>(p);
            if (t % 2 == 0) {
                values.append(QVariant(QByteArray(c, qsizetype(take))));
            } else {
                const void *zero = std::memchr(c, 0, size_t(take));
                const qint64 n = zero ? static_cast<const char *>(zero) - c : take;
                values.append(QVariant(QString::fromUtf8(c, qsizetype(n))));
            }
            pos += take;
            continue;
        }
    }
}

} // namespace

// ---------------------------------------------------------------- rowData

Sqlite3FileRow Sqlite3File::rowData(const Sqlite3FileCell &cell) const
{
    Sqlite3FileRow row;
    row.rowid = cell.rowid;
    const QByteArray payload = cellPayload(cell);
    if (payload.isEmpty())
        return row;
    const uchar *start = reinterpret_cast<const uchar *>(payload.constData());
    const uchar *end = start + payload.size();

    qint64 headerLength = 0;
    const int n = readVarint(headerLength, start, end);
    if (!n) {
        qWarning("Sqlite3File::rowData, read header length failed.");
        return row;
    }
    std::vector<qint64> types;
    const uchar *p = start + n;
    while (p - start < headerLength) {
        qint64 t = 0;
        const int k = readVarint(t, p, end);
        if (!k) {
            qWarning("Sqlite3File::rowData, read column type failed.");
            return row;
        }
        if (types.size() >= size_t(kMaxColumns)) {
            qWarning("Sqlite3File::rowData, too many columns.");
            return row;
        }
        types.push_back(t);
        p += k;
    }
    row.values.reserve(qsizetype(types.size()));
    decodeValues(types.data(), qsizetype(types.size()), p, end - p, row.values);
    return row;
}

// ---------------------------------------------------------------- carving

namespace {

// The header length of a record whose serial types take typeBytes bytes:
// the length counts its own varint.
qint64 headerLengthFor(qint64 typeBytes)
{
    qint64 h = typeBytes + 1;
    while (varintLength(h) != h - typeBytes)
        ++h;
    return h;
}

// Whether the bytes right before a candidate are the record's header length
// and the rowid alias's NULL: [header length][0][serial types...].
bool headerAttested(const uchar *rangeStart, const uchar *pos, qint64 headerLength)
{
    const int hl = varintLength(headerLength);
    if (pos - rangeStart < 1 + hl || pos[-1] != 0)
        return false;
    qint64 v = 0;
    return readVarint(v, pos - 1 - hl, pos - 1) == hl && v == headerLength;
}

// The rowid of a carved record, when the cell's start survives in the range:
// [payload size][rowid][header length][0 for the rowid alias] right before
// the candidate at pos, with the payload size and header length the ones the
// match implies. 0 when any of it is missing or does not agree.
qint64 carvedRowid(const uchar *rangeStart, const uchar *pos, qint64 headerLength,
                   qint64 payloadSize)
{
    qint64 before = pos - rangeStart; // bytes of the range before pos
    if (before < 1 || pos[-1] != 0)
        return 0;
    const uchar *aliasType = pos - 1;
    const int hl = varintLength(headerLength);
    before -= 1;
    if (before < hl)
        return 0;
    const uchar *hp = aliasType - hl;
    qint64 v = 0;
    if (readVarint(v, hp, aliasType) != hl || v != headerLength)
        return 0;
    before -= hl;
    const int pl = varintLength(payloadSize);
    for (int r = 1; r <= 9 && r + pl <= before; ++r) {
        const uchar *rp = hp - r;
        qint64 rowid = 0;
        if (readVarint(rowid, rp, hp) != r)
            continue;
        const uchar *pp = rp - pl;
        if (readVarint(v, pp, rp) == pl && v == payloadSize)
            return rowid > 0 ? rowid : 0;
    }
    return 0;
}

} // namespace

Sqlite3ColumnFit::Sqlite3ColumnFit(const _SqliteCol &c)
    : null(!c.notNull && !c.hasDefault && !c.primaryKey)
    , integer(c.isInteger() || c.isNumeric())
    , real(c.isReal() || c.isNumeric())
    , text(c.isText())
    , blob(c.isBlob())
{ }

Sqlite3CarveColumns::Sqlite3CarveColumns(const QList<_SqliteCol> &columns, int minimumCount)
    : m_count(int(columns.size()))
    , m_minimumCount(minimumCount <= 0 || minimumCount > int(columns.size())
                             ? int(columns.size())
                             : qMax(2, minimumCount))
{
    if (columns.size() < 2)
        return;
    m_fits.reserve(size_t(columns.size() - 1));
    for (qsizetype i = 1; i < columns.size(); ++i)
        m_fits.emplace_back(columns[i]);
}

QList<Sqlite3FileRow> Sqlite3File::carveRecords(const QList<_SqliteCol> &columns, int prefix,
                                                int usable, const uchar *start, const uchar *end,
                                                const Sqlite3RowFilter &filter) const
{
    return carveRecords(Sqlite3CarveColumns(columns), prefix, usable, start, end, filter);
}

QList<Sqlite3FileRow> Sqlite3File::carveRecords(const Sqlite3CarveColumns &columns, int prefix,
                                                int usable, const uchar *start, const uchar *end,
                                                const Sqlite3RowFilter &filter) const
{
    QList<Sqlite3FileRow> rows;
    if (columns.count() < 2) {
        qWarning("tbCols size < 2.");
        return rows;
    }
    if (!m_begin || !start || !end)
        return rows;
    // Only bytes of the mapping are carved.
    const std::less<const uchar *> below;
    if (below(start, m_begin))
        start = m_begin;
    if (below(m_end, end))
        end = m_end;
    if (!below(start, end))
        return rows;
    prefix = qMax(prefix, 0);
    // The payload arithmetic needs a usable size the format allows.
    usable = qBound(480, usable, 65536);
    const qint64 x = usable - 35;
    const qint64 m = (qint64(usable) - 12) * 32 / 255 - 23;

    const std::vector<Sqlite3ColumnFit> &fit = columns.fits();
    const qsizetype typeCount = qsizetype(fit.size());
    // Records older than columns added later stop after fewer serial types.
    const qsizetype minTypes = qsizetype(columns.minimumCount()) - 1;
    std::vector<qint64> types(fit.size());
    std::vector<const uchar *> typeEnds(fit.size());
    std::vector<qsizetype> counts;
    counts.reserve(fit.size());

    const qint64 length = end - start;
    // Real free space holds records side by side, so the bodies decoded in
    // one range add up to a few times its length. Bytes crafted so that
    // every position starts a full-page candidate would cost the square of
    // the range; the search ends when that budget is spent.
    qint64 decodeBudget = 16 * length + (1 << 20);
    qint64 pos = 0;
    while (pos < length && decodeBudget > 0) {
        const uchar *candidate = start + pos;
        // Match the serial types column by column; the first misfit ends the
        // run of columns that fit.
        const uchar *q = candidate;
        qsizetype matched = 0;
        for (; matched < typeCount; ++matched) {
            qint64 t = 0;
            const int taken = readVarint(t, q, end);
            if (!fit[size_t(matched)].accepts(t))
                break;
            q += taken;
            types[size_t(matched)] = t;
            typeEnds[size_t(matched)] = q;
        }
        if (matched < minTypes) {
            ++pos;
            continue;
        }

        // The field counts to try: the one the record's header length
        // attests first (when the cell's start survives), then the others
        // from the longest down. With the whole list required there is one.
        counts.clear();
        for (qsizetype c = matched; c >= minTypes && c >= 1; --c) {
            const qint64 headerLength = headerLengthFor((typeEnds[size_t(c - 1)] - candidate) + 1);
            if (headerAttested(start, candidate, headerLength))
                counts.insert(counts.begin(), c);
            else
                counts.push_back(c);
        }

        bool kept = false;
        for (const qsizetype c : counts) {
            const uchar *h = typeEnds[size_t(c - 1)];
            // No record is larger than the file: a sum of content sizes
            // beyond it (or beyond 64 bits) is no record.
            qint64 bodySize = prefix;
            for (qsizetype i = 0; i < c && bodySize <= m_size; ++i)
                bodySize += contentSize(types[size_t(i)]);
            if (bodySize > m_size)
                continue;
            const qint64 headerLength = headerLengthFor((h - candidate) + 1);
            const qint64 payloadSize = headerLength + bodySize;
            const qint64 headerEnd = h - start; // offset of the body in the range

            QByteArray body;
            qint64 next = 0; // where the search goes on after a kept row
            if (payloadSize <= x) {
                body = boundedBytes(bodySize, h, end);
                next = headerEnd + bodySize + 4;
            } else {
                // The record overflows: its local part (header and the start
                // of the body) is followed by the first overflow page number.
                const qint64 k = m + (payloadSize - m) % (usable - 4);
                const qint64 local = k <= x ? k : m;
                const qint64 localBody = local - headerLength;
                if (localBody < 0 || length - headerEnd < localBody + 4)
                    continue;
                const qint32 first = readBE32(h + localBody);
                if (first < 2 || first > pageCount())
                    continue;
                body = boundedBytes(localBody, h, end);
                appendOverflow(body, bodySize - localBody, first);
                next = headerEnd + localBody + 4;
            }

            decodeBudget -= body.size();
            Sqlite3FileRow row;
            row.rowid = carvedRowid(start, candidate, headerLength, payloadSize);
            row.values.reserve(c + 1);
            const uchar *b = reinterpret_cast<const uchar *>(body.constData());
            if (prefix > 0) {
                row.values.append(QVariant(body.left(prefix)));
                const qint64 skip = qMin<qint64>(prefix, body.size());
                decodeValues(types.data(), c, b + skip, body.size() - skip, row.values);
            } else {
                row.values.append(QVariant());
                decodeValues(types.data(), c, b, body.size(), row.values);
            }
            if (!filter || filter(&row)) {
                rows.append(std::move(row));
                pos = next;
                kept = true;
                break;
            }
            if (decodeBudget <= 0)
                break;
        }
        if (!kept)
            ++pos;
    }
    return rows;
}

QList<Sqlite3FileRow> Sqlite3File::carvePage(const QList<_SqliteCol> &columns, int prefix, qint32 n,
                                             int offset, const Sqlite3RowFilter &filter) const
{
    return carvePage(Sqlite3CarveColumns(columns), prefix, n, offset, filter);
}

QList<Sqlite3FileRow> Sqlite3File::carvePage(const Sqlite3CarveColumns &columns, int prefix,
                                             qint32 n, int offset,
                                             const Sqlite3RowFilter &filter) const
{
    if (n < 1 || m_pageSize <= 0)
        return {};
    const qint64 off = pageOffset(n);
    return carveRecords(columns, prefix, m_usableSize, at(off + qMax(offset, 0)),
                        at(off + m_pageSize), filter);
}

QList<Sqlite3FileRow> Sqlite3File::carveFreeSpace(const QList<_SqliteCol> &columns, int prefix,
                                                  const Sqlite3FilePage &page,
                                                  const Sqlite3RowFilter &filter) const
{
    return carveFreeSpace(Sqlite3CarveColumns(columns), prefix, page, filter);
}

QList<Sqlite3FileRow> Sqlite3File::carveFreeSpace(const Sqlite3CarveColumns &columns, int prefix,
                                                  const Sqlite3FilePage &page,
                                                  const Sqlite3RowFilter &filter) const
{
    if (!page.isLeafPage())
        return carvePage(columns, prefix, page.pageNumber, 8, filter);
    if (!page.page || m_pageSize <= 0)
        return {};
    const qint64 off = page.page - m_begin;
    const qint64 pageEnd = qMin(off + m_pageSize, m_size);
    QList<Sqlite3FileRow> rows;
    // The gap between the cell pointer array and the cell content, with the
    // array itself (its stale entries cost nothing).
    if (page.cellContentStart > 0 && page.header) {
        const qint64 gapStart = page.header - m_begin + 8;
        const qint64 gapEnd = qMin(off + page.cellContentStart, pageEnd);
        if (gapStart < gapEnd)
            rows += carveRecords(columns, prefix, m_usableSize, at(gapStart), at(gapEnd), filter);
    }
    // Each freeblock after its link and size.
    for (const uchar *f : page.freeblocks) {
        const qint64 fo = f - m_begin;
        const int size = fo + 4 <= pageEnd ? int(quint16(readBE16(f + 2))) : 0;
        const qint64 blockEnd = qMin(fo + size, pageEnd);
        if (fo + 4 < blockEnd)
            rows += carveRecords(columns, prefix, m_usableSize, at(fo + 4), at(blockEnd), filter);
    }
    return rows;
}
