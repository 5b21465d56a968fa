#pragma once

#include <QByteArray>
#include <QString>

// Builds a cpio archive byte by byte, as a phone's file_relay service
// streams it: folders and regular files with their modes and modification
// times, ended by the TRAILER!!! entry. The headers are in the "new ASCII"
// (newc) layout unless another is asked for.
class CpioFixture
{
public:
    enum class Layout {
        Newc, // "070701", fields of eight hex digits, name and data padded to 4
        NewcCrc, // "070702": newc with the sum of the data bytes as a check
        Odc, // "070707", fields of six or eleven octal digits, no padding
        BinaryLittleEndian, // 16-bit words, name and data padded to 2
        BinaryBigEndian,
    };

    explicit CpioFixture(Layout layout = Layout::Newc);

    void addFolder(const QString &name, qint64 mtime = 1367403630);
    void addFile(const QString &name, const QByteArray &data, qint64 mtime = 1367403630);
    // Any entry: mode holds the type bits (0040000 folder, 0100000 file,
    // 0120000 symbolic link) and the permissions.
    void addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime);
    // An entry with the inode and link count given: entries sharing an inode
    // with a count above 1 are hard links of one file.
    void addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime,
                  quint32 inode, quint32 links);
    // The header alone of an entry of mode whose name is said to be nameSize
    // bytes long (its NUL included) and its data size bytes, cut to the
    // width of the layout's fields: what a peer that lies about lengths
    // sends before whatever it likes.
    QByteArray header(quint64 nameSize, quint64 size, quint32 mode = 0100644) const;
    // The entries so far, without the trailer: for a test to add its own
    // bytes after them.
    const QByteArray &entries() const { return m_body; }
    // The archive with its trailer.
    QByteArray bytes() const;
    // Writes bytes() to path; false when the file cannot be written.
    bool writeTo(const QString &path) const;

private:
    void entry(QByteArray &out, quint32 inode, const QByteArray &name, quint32 mode,
               const QByteArray &data, qint64 mtime, quint32 links) const;

    Layout m_layout;
    QByteArray m_body;
    quint32 m_inode = 1;
};
