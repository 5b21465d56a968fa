#pragma once

#include <QByteArray>
#include <QString>

// Builds a cpio archive in the "new ASCII" (newc) format byte by byte, as a
// phone's file_relay service streams it: folders and regular files with
// their modes and modification times, ended by the TRAILER!!! entry.
class CpioFixture
{
public:
    void addFolder(const QString &name, qint64 mtime = 1367403630);
    void addFile(const QString &name, const QByteArray &data, qint64 mtime = 1367403630);
    // Any entry: mode holds the type bits (0040000 folder, 0100000 file,
    // 0120000 symbolic link) and the permissions.
    void addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime);
    // An entry with the inode and link count given: entries sharing an inode
    // with a count above 1 are hard links of one file.
    void addEntry(const QString &name, quint32 mode, const QByteArray &data, qint64 mtime,
                  quint32 inode, quint32 links);
    // The archive with its trailer.
    QByteArray bytes() const;
    // Writes bytes() to path; false when the file cannot be written.
    bool writeTo(const QString &path) const;

private:
    QByteArray m_body;
    quint32 m_inode = 1;
};
