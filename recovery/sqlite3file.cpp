#include "recovery/sqlite3file.h"

#include <QSet>

#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

// ---------------------------------------------------------------- raw reads

qint16 readBE16(const uchar *p)
{
    return qint16(quint16((quint16(p[0]) << 8) | p[1]));
}

qint32 readBE32(const uchar *p)
{
    return qint32((quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]);
}

qint64 readBE64(const uchar *p)
{
    return qint64((quint64(quint32(readBE32(p))) << 32) | quint32(readBE32(p + 4)));
}

namespace {

// True when n bytes at p lie wholly before end.
bool fits(const uchar *p, qint64 n, const uchar *end)
{
    return p && end && p < end && end - p >= n;
}

// Unsigned 16-bit value (offsets and counts of a page header), 0 when unreadable.
int boundedU16(const uchar *p, const uchar *end)
{
    return fits(p, 2, end) ? int(quint16(readBE16(p))) : 0;
}

} // namespace

int boundedByte(const uchar *p, const uchar *end)
{
    return fits(p, 1, end) ? int(*p) : 0;
}

qint16 boundedBE16(const uchar *p, const uchar *end)
{
    return fits(p, 2, end) ? readBE16(p) : 0;
}

qint32 boundedBE32(const uchar *p, const uchar *end)
{
    return fits(p, 4, end) ? readBE32(p) : 0;
}

qint64 boundedBE64(const uchar *p, const uchar *end)
{
    return fits(p, 8, end) ? readBE64(p) : 0;
}

qint64 boundedCopy(uchar *dest, qint64 n, const uchar *p, const uchar *end)
{
    if (n <= 0 || !fits(p, 1, end))
        return 0;
    const qint64 take = qMin<qint64>(n, end - p);
    std::memcpy(dest, p, size_t(take));
    return take;
}

QByteArray boundedBytes(qint64 n, const uchar *p, const uchar *end)
{
    if (n <= 0 || !fits(p, 1, end))
        return {};
    const qint64 take = qMin<qint64>(n, end - p);
    return QByteArray(reinterpret_cast<const char *>(p), qsizetype(take));
}

int readVarint(qint64 &value, const uchar *p, const uchar *end)
{
    if (!fits(p, 1, end))
        return 0;
    quint64 v = p[0] & 0x7f;
    if (!(p[0] & 0x80)) {
        value = qint64(v);
        return 1;
    }
    for (int k = 1; k < 8; ++k) {
        if (end - p <= k)
            return 0;
        v = (v << 7) | (p[k] & 0x7f);
        if (!(p[k] & 0x80)) {
            value = qint64(v);
            return k + 1;
        }
    }
    if (end - p <= 8)
        return 0;
    v = (v << 8) | p[8];
    value = qint64(v);
    return 9;
}

int varintLength(qint64 value)
{
    const quint64 v = quint64(value);
    int n = 1;
    for (quint64 limit = quint64(1) << 7; n < 9 && v >= limit; limit <<= 7)
        ++n;
    return n;
}

// ---------------------------------------------------------------- the file

Sqlite3File::Sqlite3File(const QString &path)
    : m_file(path)
{ }

Sqlite3File::~Sqlite3File() = default;

namespace {
[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}
constexpr qint64 kMinHeader = 18; // through the page-size field
// Overflow bytes that may be gathered beyond eight times the file's size.
constexpr qint64 kOverflowAllowance = 32 << 20;
} // namespace

int Sqlite3File::openAndMap()
{
    if (!m_file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("open %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    const qint64 size = m_file.size();
    // Nothing to map in a file too short to name its page size.
    if (size < kMinHeader)
        fail(QStringLiteral("invalid page size."));
    const uchar *begin = m_file.map(0, size);
    if (!begin)
        fail(QStringLiteral("map %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    return setUpMapping(begin, size);
}

int Sqlite3File::openBytes(const QByteArray &bytes)
{
    m_bytes = bytes;
    if (m_bytes.size() < kMinHeader)
        fail(QStringLiteral("invalid page size."));
    return setUpMapping(reinterpret_cast<const uchar *>(m_bytes.constData()), m_bytes.size());
}

int Sqlite3File::setUpMapping(const uchar *begin, qint64 size)
{
    // The format stores 65536 as 1; any other size is a power of two from
    // 512 to 32768. Anything else cannot be laid out as pages (and would make
    // the payload arithmetic divide by zero).
    const int raw = int(quint16(readBE16(begin + 16)));
    const int pageSize = raw == 1 ? 65536 : raw;
    if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0)
        fail(QStringLiteral("invalid page size."));
    // Only a file that opened is read: until here every reader finds nothing.
    m_begin = begin;
    m_size = size;
    m_end = begin + size;
    m_pageSize = pageSize;
    // Reserved bytes at the end of every page hold no b-tree content. The
    // format needs at least 480 usable bytes; a damaged field that leaves
    // fewer is ignored rather than trusted.
    const int reserved = boundedByte(begin + 20, m_end);
    m_usableSize = pageSize - reserved >= 480 ? pageSize - reserved : pageSize;
    m_overflowBudget = 8 * size + kOverflowAllowance;
    return m_pageSize;
}

const uchar *Sqlite3File::at(qint64 off) const
{
    if (!m_begin)
        return nullptr;
    if (off < 0)
        return m_begin;
    return off < m_size ? m_begin + off : m_end;
}

qint32 Sqlite3File::firstFreelistTrunk() const
{
    return m_size >= 36 ? readBE32(m_begin + 32) : 0;
}

qint32 Sqlite3File::freelistPageCount() const
{
    return m_size >= 40 ? readBE32(m_begin + 36) : 0;
}

qint32 Sqlite3File::pageCount() const
{
    if (m_pageSize <= 0)
        return 0;
    return qint32(qMin<qint64>(m_size / m_pageSize, std::numeric_limits<qint32>::max()));
}

Sqlite3FilePage Sqlite3File::readBtreePage(qint32 n) const
{
    Sqlite3FilePage r;
    if (n < 1 || m_pageSize <= 0)
        return r;
    r.pageNumber = n;
    const qint64 off = pageOffset(n);
    if (off >= m_size)
        return r;
    r.page = m_begin + off;
    const qint64 headerOff = off + (n == 1 ? 100 : 0);
    r.header = at(headerOff);
    if (headerOff >= m_size)
        return r;
    r.pageType = quint8(*r.header);
    if (!r.isBtreePage())
        return r;

    const uchar *pageEnd = at(off + m_pageSize);
    // Header fields at offsets from the header (pointers formed only inside
    // the mapping; a field past its end reads as 0).
    auto field = [&](int k) { return at(headerOff + k); };
    r.firstFreeblock = boundedU16(field(1), pageEnd);
    int cellCount = boundedU16(field(3), pageEnd);
    r.cellContentStart = boundedU16(field(5), pageEnd);
    // 0 stands for 65536, which only a page of that size can hold.
    if (r.cellContentStart == 0 && m_pageSize == 65536 && fits(field(5), 2, pageEnd))
        r.cellContentStart = 65536;
    r.fragmentedBytes = quint8(boundedByte(field(7), pageEnd));

    qint64 arrayOff = headerOff + 8;
    if (!r.isLeafPage()) {
        r.rightMostPointer = boundedBE32(field(8), pageEnd);
        arrayOff += 4;
    }
    // A cell pointer array never reaches past its page; a count that says
    // otherwise is cut to what the page holds.
    const qint64 room = qMax<qint64>(0, (pageEnd - at(arrayOff)) / 2);
    cellCount = int(qMin<qint64>(cellCount, room));
    const uchar *array = at(arrayOff);
    r.cells.reserve(cellCount);
    for (int i = 0; i < cellCount; ++i)
        r.cells.append(at(off + boundedU16(array + 2 * i, pageEnd)));

    // Freeblocks are chained in ascending order of offset; a link that does
    // not lead forward ends the chain, so a looping chain cannot.
    int f = r.firstFreeblock;
    while (f > 0) {
        r.freeblocks.append(at(off + f));
        if (f + 2 > m_pageSize)
            break;
        const int next = boundedU16(at(off + f), m_end);
        if (next <= f)
            break;
        f = next;
    }
    return r;
}

Sqlite3FileTrunk Sqlite3File::readFreelistTrunk(qint32 n) const
{
    Sqlite3FileTrunk r;
    if (n < 1 || m_pageSize <= 0)
        return r;
    r.pageNumber = n;
    const qint64 off = pageOffset(n);
    if (off >= m_size)
        return r;
    r.page = m_begin + off;
    r.nextTrunk = boundedBE32(r.page, m_end);
    // A trunk holds at most usable / 4 - 2 leaf numbers.
    const qint32 count = qMin<qint32>(boundedBE32(at(off + 4), m_end), m_usableSize / 4 - 2);
    if (count > 0) {
        r.leaves.reserve(count);
        for (qint32 i = 0; i < count; ++i)
            r.leaves.append(boundedBE32(at(off + 8 + 4 * qint64(i)), m_end));
    }
    return r;
}

QList<Sqlite3FileTrunk> Sqlite3File::freelistTrunks() const
{
    QList<Sqlite3FileTrunk> out;
    QSet<qint32> seen;
    for (qint32 t = firstFreelistTrunk(); t >= 1 && pageOffset(t) < m_size && !seen.contains(t);) {
        seen.insert(t);
        out.append(readFreelistTrunk(t));
        t = out.last().nextTrunk;
    }
    return out;
}

Sqlite3FileCell Sqlite3File::parseCell(const Sqlite3FilePage &page, const uchar *cell) const
{
    Sqlite3FileCell r;
    // Only pointers into this file's mapping are read.
    if (!cell || !m_begin || std::less<const uchar *>()(cell, m_begin)
        || std::less<const uchar *>()(m_end, cell))
        return r;
    const bool leaf = page.isLeafPage();
    const bool index = page.isIndexPage();
    const uchar *p = cell;
    if (!leaf) {
        r.leftChild = boundedBE32(p, m_end);
        p = m_end - p >= 4 ? p + 4 : m_end;
    }
    if (index || leaf) {
        qint64 v = 0;
        const int n = readVarint(v, p, m_end);
        if (n)
            r.payloadSize = v;
        p += n;
    }
    if (!index) {
        qint64 v = 0;
        const int n = readVarint(v, p, m_end);
        if (n)
            r.rowid = v;
        p += n;
    }
    r.payload = p;
    if (r.payloadSize <= 0)
        return r;

    const qint64 u = m_usableSize;
    const qint64 x = index ? (u - 12) * 64 / 255 - 23 : u - 35;
    const qint64 m = (u - 12) * 32 / 255 - 23;
    if (r.payloadSize <= x) {
        r.localSize = qint32(r.payloadSize);
        return r;
    }
    const qint64 k = m + (r.payloadSize - m) % (u - 4);
    r.localSize = qint32(k <= x ? k : m);
    if (m_end - p > r.localSize)
        r.firstOverflow = boundedBE32(p + r.localSize, m_end);
    return r;
}

void Sqlite3File::appendOverflow(QByteArray &out, qint64 remaining, qint32 next) const
{
    // Every overflow page belongs to one chain once: a page met again ends it,
    // so the bytes gathered never exceed the file.
    QSet<qint32> seen;
    const qint32 pages = pageCount();
    const qint64 perPage = m_usableSize - 4;
    while (remaining > 0 && next > 1 && next <= pages && !seen.contains(next)
           && m_overflowBudget > 0) {
        seen.insert(next);
        const uchar *page = m_begin + pageOffset(next);
        const qint32 following = boundedBE32(page, m_end);
        const qint64 take = qMin(qMin(remaining, perPage), m_overflowBudget);
        out.append(boundedBytes(take, page + 4, m_end));
        m_overflowBudget -= take;
        remaining -= take;
        next = following;
    }
}

QByteArray Sqlite3File::cellPayload(const Sqlite3FileCell &cell) const
{
    if (cell.payloadSize <= 0 || !m_begin)
        return {};
    QByteArray out = boundedBytes(cell.localSize, cell.payload, m_end);
    appendOverflow(out, cell.payloadSize - qMax<qint64>(cell.localSize, 0), cell.firstOverflow);
    return out;
}

namespace {

// Pre-order walk below a page without recursion: each page is visited at most
// once, so child pointers that form a cycle, or a chain as long as the file,
// cannot exhaust the stack or loop.
template<typename Visit>
void walkTree(const Sqlite3File &file, const Sqlite3FilePage &root, Visit visit)
{
    struct Frame
    {
        Sqlite3FilePage page;
        qsizetype next = 0; // cells, then the right-most pointer
    };
    const qint32 pages = file.pageCount();
    QSet<qint32> seen {root.pageNumber};
    std::vector<Frame> stack;
    visit(root);
    if (!root.isLeafPage())
        stack.push_back({root, 0});
    while (!stack.empty()) {
        Frame &top = stack.back();
        qint32 child = 0;
        if (top.next < top.page.cells.size())
            child = file.parseCell(top.page, top.page.cells[top.next]).leftChild;
        else if (top.next == top.page.cells.size())
            child = top.page.rightMostPointer;
        else {
            stack.pop_back();
            continue;
        }
        ++top.next;
        if (child < 1 || child > pages || seen.contains(child))
            continue;
        seen.insert(child);
        Sqlite3FilePage page = file.readBtreePage(child);
        visit(page);
        if (!page.isLeafPage())
            stack.push_back({std::move(page), 0});
    }
}

} // namespace

QList<Sqlite3FilePage> Sqlite3File::leafPages(const Sqlite3FilePage &page) const
{
    QList<Sqlite3FilePage> out;
    walkTree(*this, page, [&out](const Sqlite3FilePage &p) {
        if (p.isLeafPage())
            out.append(p);
    });
    return out;
}

QList<Sqlite3FilePage> Sqlite3File::allPages(const Sqlite3FilePage &page) const
{
    QList<Sqlite3FilePage> out;
    walkTree(*this, page, [&out](const Sqlite3FilePage &p) { out.append(p); });
    return out;
}
