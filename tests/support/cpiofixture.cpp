#include "tests/support/cpiofixture.h"

#include <QFile>

namespace {

struct Fields
{
    quint32 inode = 0;
    quint32 mode = 0;
    quint32 links = 1;
    quint64 mtime = 0;
    quint64 nameSize = 0;
    quint64 size = 0;
    quint32 check = 0;
};

QByteArray hex8(quint64 v)
{
    return QByteArray::number(quint32(v), 16).rightJustified(8, '0').toUpper();
}

QByteArray octal(quint64 v, int width)
{
    const quint64 max = (quint64(1) << (3 * width)) - 1;
    return QByteArray::number(v & max, 8).rightJustified(width, '0');
}

QByteArray headerBytes(CpioFixture::Layout layout, const Fields &f)
{
    using Layout = CpioFixture::Layout;
    QByteArray out;
    switch (layout) {
    case Layout::Newc:
    case Layout::NewcCrc:
        out += layout == Layout::Newc ? "070701" : "070702";
        out += hex8(f.inode);
        out += hex8(f.mode);
        out += hex8(501); // uid
        out += hex8(501); // gid
        out += hex8(f.links);
        out += hex8(f.mtime);
        out += hex8(f.size);
        out += hex8(0) + hex8(0) + hex8(0) + hex8(0); // device numbers
        out += hex8(f.nameSize);
        out += hex8(f.check);
        break;
    case Layout::Odc:
        out += "070707";
        out += octal(0, 6); // device
        out += octal(f.inode, 6);
        out += octal(f.mode, 6);
        out += octal(501, 6) + octal(501, 6); // uid, gid
        out += octal(f.links, 6);
        out += octal(0, 6); // device of a device file
        out += octal(f.mtime, 11);
        out += octal(f.nameSize, 6);
        out += octal(f.size, 11);
        break;
    case Layout::BinaryLittleEndian:
    case Layout::BinaryBigEndian: {
        const bool little = layout == Layout::BinaryLittleEndian;
        const auto word = [&out, little](quint64 v) {
            const char low = char(v & 0xff);
            const char high = char((v >> 8) & 0xff);
            out += little ? low : high;
            out += little ? high : low;
        };
        // 32-bit values go as two words, the high one first.
        const auto twoWords = [&word](quint64 v) {
            word((v >> 16) & 0xffff);
            word(v & 0xffff);
        };
        word(070707);
        word(0); // device
        word(f.inode);
        word(f.mode);
        word(501); // uid
        word(501); // gid
        word(f.links);
        word(0); // device of a device file
        twoWords(f.mtime);
        word(f.nameSize);
        twoWords(f.size);
        break;
    }
    }
    return out;
}

// The padding of the name (the header included) and of the data.
int alignment(CpioFixture::Layout layout)
{
    switch (layout) {
    case CpioFixture::Layout::Newc:
    case CpioFixture::Layout::NewcCrc:
        return 4;
    case CpioFixture::Layout::Odc:
        return 1;
    default:
        return 2;
    }
}

void pad(QByteArray &b, int to)
{
    while (b.size() % to)
        b.append('\0');
}

} // namespace

CpioFixture::CpioFixture(Layout layout)
    : m_layout(layout)
{ }

void CpioFixture::entry(QByteArray &out, quint32 inode, const QByteArray &name, quint32 mode,
                        const QByteArray &data, qint64 mtime, quint32 links) const
{
    Fields f;
    f.inode = inode;
    f.mode = mode;
    f.links = links;
    f.mtime = quint64(mtime);
    f.nameSize = quint64(name.size() + 1);
    f.size = quint64(data.size());
    if (m_layout == Layout::NewcCrc)
        for (const char c : data)
            f.check += quint8(c);
    out += headerBytes(m_layout, f);
    out += name;
    out += '\0';
    pad(out, alignment(m_layout));
    out += data;
    pad(out, alignment(m_layout));
}

void CpioFixture::addFolder(const QString &name, qint64 mtime)
{
    addEntry(name, 040755, {}, mtime);
}

void CpioFixture::addFile(const QString &name, const QByteArray &data, qint64 mtime)
{
    addEntry(name, 0100644, data, mtime);
}

void CpioFixture::addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime)
{
    entry(m_body, m_inode++, name.toUtf8(), mode, data, mtime, 1);
}

void CpioFixture::addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime,
                           quint32 inode, quint32 links)
{
    entry(m_body, inode, name.toUtf8(), mode, data, mtime, links);
}

QByteArray CpioFixture::header(quint64 nameSize, quint64 size, quint32 mode) const
{
    Fields f;
    f.inode = 77;
    f.mode = mode;
    f.nameSize = nameSize;
    f.size = size;
    return headerBytes(m_layout, f);
}

QByteArray CpioFixture::bytes() const
{
    QByteArray out = m_body;
    entry(out, 0, "TRAILER!!!", 0, {}, 0, 1);
    return out;
}

bool CpioFixture::writeTo(const QString &path) const
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QByteArray b = bytes();
    return f.write(b) == b.size() && f.flush();
}
