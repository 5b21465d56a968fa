#include "tests/support/bplistfixture.h"

namespace {

void appendBigEndian(QByteArray &out, quint64 value, int width)
{
    for (int i = width - 1; i >= 0; --i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

int widthFor(quint64 largest)
{
    return largest < 0x100 ? 1 : largest < 0x10000 ? 2 : largest < 0x100000000ULL ? 4 : 8;
}

} // namespace

QByteArray BplistFixture::marker(int type, quint64 length)
{
    QByteArray m;
    if (length < 15) {
        m.append(char(type << 4 | int(length)));
        return m;
    }
    m.append(char(type << 4 | 0x0F));
    const int width = widthFor(length);
    const int power = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3;
    m.append(char(0x10 | power));
    appendBigEndian(m, length, width);
    return m;
}

int BplistFixture::add(Object o)
{
    m_objects.append(std::move(o));
    return int(m_objects.size() - 1);
}

int BplistFixture::string(const QByteArray &ascii)
{
    return add({marker(0x5, quint64(ascii.size())) + ascii, {}});
}

int BplistFixture::integer(qint64 value)
{
    QByteArray o(1, char(0x13));
    appendBigEndian(o, quint64(value), 8);
    return add({o, {}});
}

int BplistFixture::boolean(bool value)
{
    return add({QByteArray(1, char(value ? 0x09 : 0x08)), {}});
}

int BplistFixture::array(const QList<int> &elements)
{
    return add({marker(0xA, quint64(elements.size())), elements});
}

int BplistFixture::dictionary(const QList<QPair<int, int>> &entries)
{
    QList<int> refs;
    for (const auto &e : entries)
        refs.append(e.first);
    for (const auto &e : entries)
        refs.append(e.second);
    return add({marker(0xD, quint64(entries.size())), refs});
}

int BplistFixture::raw(const QByteArray &object)
{
    return add({object, {}});
}

QByteArray BplistFixture::bytes(int top) const
{
    const int refSize = widthFor(quint64(m_objects.size()));
    QByteArray out("bplist00");
    QList<quint64> offsets;
    for (const Object &o : m_objects) {
        offsets.append(quint64(out.size()));
        out.append(o.head);
        for (int r : o.refs)
            appendBigEndian(out, quint64(r), refSize);
    }
    const quint64 table = quint64(out.size());
    const int offsetSize = widthFor(table);
    for (quint64 at : offsets)
        appendBigEndian(out, at, offsetSize);
    out.append(QByteArray(6, '\0'));
    out.append(char(offsetSize));
    out.append(char(refSize));
    appendBigEndian(out, quint64(m_objects.size()), 8);
    appendBigEndian(out, quint64(top), 8);
    appendBigEndian(out, table, 8);
    return out;
}

QByteArray BplistFixture::framed(int top) const
{
    const QByteArray body = bytes(top);
    QByteArray out;
    appendBigEndian(out, quint64(body.size()), 4);
    return out + body;
}
