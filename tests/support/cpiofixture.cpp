#include "tests/support/cpiofixture.h"

#include <QFile>

namespace {

QByteArray hex8(quint64 v)
{
    return QByteArray::number(quint32(v), 16).rightJustified(8, '0').toUpper();
}

void pad4(QByteArray &b)
{
    while (b.size() % 4)
        b.append('\0');
}

void entry(QByteArray &out, quint32 inode, const QByteArray &name, quint32 mode,
           const QByteArray &data, qint64 mtime, quint32 links = 1)
{
    out += "070701";
    out += hex8(inode);
    out += hex8(mode);
    out += hex8(501); // uid
    out += hex8(501); // gid
    out += hex8(links);
    out += hex8(quint64(mtime));
    out += hex8(quint64(data.size()));
    out += hex8(0) + hex8(0) + hex8(0) + hex8(0); // device numbers
    out += hex8(quint64(name.size() + 1));
    out += hex8(0); // check
    out += name;
    out += '\0';
    pad4(out);
    out += data;
    pad4(out);
}

} // namespace

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
    entry(m_body, m_inode++, name.toUtf8(), mode, data, mtime);
}

void CpioFixture::addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime,
                           quint32 inode, quint32 links)
{
    entry(m_body, inode, name.toUtf8(), mode, data, mtime, links);
}

QByteArray CpioFixture::bytes() const
{
    QByteArray out = m_body;
    entry(out, 0, "TRAILER!!!", 0, {}, 0);
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
