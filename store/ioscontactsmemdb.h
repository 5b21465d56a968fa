#pragma once

#include "store/absdb.h"

#include <QByteArray>
#include <QDir>
#include <QString>

// A person found in the address book; every field empty when none was found.
struct _ContactPerson
{
    QString first;
    QString middle;
    QString last;
    QByteArray photo;
};

// The address-book cache of a store folder: "ct-phone.db", one row per
// person of the phone's address book and one per canonical phone number,
// rebuilt whenever the phone's address book is newer than the cache.
class IOSContactsMemDb : public AbsDb
{
public:
    IOSContactsMemDb(const QDir &dataDir, const QString &mcc);
    ~IOSContactsMemDb() override;

    // Opens the cache read-only when the store holds the phone's address
    // book, rebuilding it first when the address book is newer; leaves the
    // connection closed when there is no address book. A rebuild is written
    // to a new file that replaces the cache only when it is complete, so a
    // failed one leaves the old cache (and its older time) in place and is
    // tried again on the next open; an unreadable cache is made again.
    // Throws std::runtime_error and the wrapper's exceptions.
    void ensureOpen() override;

    // The person with this canonical number; an empty person when none is
    // found or the store has no address book.
    _ContactPerson lookupPerson(const QString &number);

    QDir dataDir() const { return m_dataDir; }
    QString mcc() const { return m_mcc; }

    QString cachePath() const;
    QString addressBookPath() const;
    QString addressBookImagesPath() const;
    // The time of the address book: its "-wal" file's when that exists.
    qint64 addressBookTime() const;

    // The script that makes an empty cache.
    static const char *schemaScript();

private:
    void replaceCache(const QString &cache, qint64 bookTime);
    void rebuild(const QString &target, qint64 time);

    QDir m_dataDir;
    QString m_mcc;
};

// first, then " middle" and " last" when they are not blank; trimmed.
QString personDisplayName(const _ContactPerson &person);

// The file's modification time in seconds since 1970; 0 when it cannot be
// examined.
qint64 fileModifiedTime(const QString &path);
// Sets the file's modification and access times (seconds since 1970).
bool setFileModifiedTime(const QString &path, qint64 secondsSinceEpoch);
