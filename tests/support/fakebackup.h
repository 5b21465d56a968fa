#pragma once

#include "tests/support/pyplist.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

// Builds an iPhone backup folder as a phone's backup tool would leave it:
// Manifest.plist and Status.plist (made by Python's plistlib), Manifest.mbdb
// (made by its own byte writer below, apart from the program's reader and
// writer) and the files named by the hex SHA-1 of "domain-path".
class FakeBackup
{
public:
    struct Entry
    {
        // std::nullopt writes the absent marker 0xFFFF, an empty array length 0.
        std::optional<QByteArray> domain, path, linkTarget, dataHash, encryptionKey;
        quint16 mode = 0100644;
        quint32 inodeHigh = 0, inodeLow = 0, userId = 501, groupId = 501;
        quint32 lastModified = 1367000000, lastAccessed = 1367000001, created = 1367000002;
        qint64 size = 0;
        quint8 protectionClass = 0;
        QList<QPair<std::optional<QByteArray>, std::optional<QByteArray>>> properties;
        QByteArray contents; // written as the backup file of a regular file
    };

    struct Device
    {
        bool withLockdown = true;
        QString udid = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
        QString name = QStringLiteral("Work Phone");
        QString productType = QStringLiteral("iPhone5,2");
        QString productVersion = QStringLiteral("6.1.4");
        QString serial = QStringLiteral("C39K2ABCDEF1");
        QDateTime date = QDateTime(QDate(2013, 6, 2), QTime(9, 41, 7), Qt::UTC);
        bool encrypted = false;
        QByteArray keybag;
    };

    explicit FakeBackup(const QString &folder)
        : m_folder(folder)
    { }

    Entry &addFolder(const QString &domain, const QString &path);
    Entry &addFile(const QString &domain, const QString &path, const QByteArray &contents);
    Entry &addLink(const QString &domain, const QString &path, const QString &target);
    Entry &addRaw(const Entry &entry);
    // A phone's worth of records in several domains: the message database
    // and its attachments, the address book, camera roll, voicemail,
    // recordings, call history, an application and symbolic links.
    void addTypicalPhone();

    Device device;

    // Writes everything into the folder (created when missing).
    void write(PyPlist::Format plistFormat = PyPlist::Xml) const;
    void writeManifestPlist(PyPlist::Format format) const;
    void writeStatusPlist(PyPlist::Format format) const;
    void writeMbdb() const;

    // The Manifest.mbdb bytes of the entries, in the order they were added.
    QByteArray mbdbBytes() const;
    static QByteArray recordBytes(const Entry &entry);
    static QString fileId(const QString &domain, const QString &path);
    QString folder() const { return m_folder; }
    const QList<Entry> &entries() const { return m_entries; }

private:
    QString m_folder;
    QList<Entry> m_entries;
};
