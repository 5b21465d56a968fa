#include "store/ioscontactsmemdb.h"

#include "store/countrylibdb.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <sqlite3.h>
#include <stdexcept>

namespace {

const char *const kAddressBook = "file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb";
const char *const kAddressBookImages
        = "file-relay/var/mobile/Library/AddressBook/AddressBookImages.sqlitedb";

void removeDatabaseFiles(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

} // namespace

qint64 fileModifiedTime(const QString &path)
{
    QFileInfo info(path);
    if (!info.exists())
        return 0;
    QDateTime t = info.lastModified();
    return t.isValid() ? t.toSecsSinceEpoch() : 0;
}

bool setFileModifiedTime(const QString &path, qint64 secondsSinceEpoch)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QDateTime t = QDateTime::fromSecsSinceEpoch(secondsSinceEpoch, Qt::UTC);
    return f.setFileTime(t, QFileDevice::FileModificationTime)
            && f.setFileTime(t, QFileDevice::FileAccessTime);
}

QString personDisplayName(const _ContactPerson &person)
{
    QString name = person.first;
    const QString middle = person.middle.trimmed();
    const QString last = person.last.trimmed();
    if (!middle.isEmpty())
        name += QLatin1Char(' ') + middle;
    if (!last.isEmpty())
        name += QLatin1Char(' ') + last;
    return name.trimmed();
}

IOSContactsMemDb::IOSContactsMemDb(const QDir &dataDir, const QString &mcc)
    : m_dataDir(dataDir)
    , m_mcc(mcc)
{ }

IOSContactsMemDb::~IOSContactsMemDb() = default;

const char *IOSContactsMemDb::schemaScript()
{
    return "CREATE TABLE person(  rowid INTEGER PRIMARY KEY,  first TEXT,  last TEXT,  middle "
           "TEXT,  photo BLOB);CREATE TABLE tel(  person_id INTEGER,  number TEXT,  "
           "UNIQUE(person_id, number));CREATE INDEX index_tel_number on tel(number);";
}

QString IOSContactsMemDb::cachePath() const
{
    return m_dataDir.absoluteFilePath(QStringLiteral("ct-phone.db"));
}

QString IOSContactsMemDb::addressBookPath() const
{
    return m_dataDir.absoluteFilePath(QLatin1String(kAddressBook));
}

QString IOSContactsMemDb::addressBookImagesPath() const
{
    return m_dataDir.absoluteFilePath(QLatin1String(kAddressBookImages));
}

qint64 IOSContactsMemDb::addressBookTime() const
{
    const QString wal = addressBookPath() + QStringLiteral("-wal");
    return fileModifiedTime(QFileInfo::exists(wal) ? wal : addressBookPath());
}

void IOSContactsMemDb::ensureOpen()
{
    if (isOpen())
        return;
    if (!QFileInfo::exists(addressBookPath()))
        return;
    const QString cache = cachePath();
    const qint64 bookTime = addressBookTime();
    bool rebuilt = false;
    if (fileModifiedTime(cache) < bookTime) {
        replaceCache(cache, bookTime);
        rebuilt = true;
    }
    try {
        openThrow(cache, 1);
    } catch (const std::exception &e) {
        if (rebuilt)
            throw;
        // The cache is ours and can always be made again.
        qWarning() << "IOSContactsMemDb, unreadable cache made again." << e.what();
        replaceCache(cache, bookTime);
        openThrow(cache, 1);
    }
}

void IOSContactsMemDb::replaceCache(const QString &cache, qint64 bookTime)
{
    qDebug() << "rebuild IOSContactsMemDb.";
    // Built beside the cache and put in its place only when complete: a
    // half-built cache with a fresh time would hide the address book.
    const QString fresh = cache + QStringLiteral(".new");
    removeDatabaseFiles(fresh);
    try {
        rebuild(fresh, bookTime);
    } catch (...) {
        removeDatabaseFiles(fresh);
        throw;
    }
    if (std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(cache).constData())
        != 0) {
        QFile::remove(cache);
        if (!QFile::rename(fresh, cache)) {
            removeDatabaseFiles(fresh);
            throw std::runtime_error(
                    QStringLiteral("create IOSContactsMemDb error. cannot replace %1")
                            .arg(cache)
                            .toUtf8()
                            .toStdString());
        }
    }
    // Journal files of the replaced cache belong to no database any more.
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        QFile::remove(cache + QLatin1String(suffix));
}

void IOSContactsMemDb::rebuild(const QString &target, qint64 time)
{
    Sqlite3DB out;
    out.openThrow(target, 6);
    char *msg = nullptr;
    if (sqlite3_exec(out.handle(), schemaScript(), nullptr, nullptr, &msg) != SQLITE_OK) {
        const QString error = QString::fromUtf8(msg ? msg : "");
        sqlite3_free(msg);
        throw std::runtime_error(QStringLiteral("create IOSContactsMemDb error. %1")
                                         .arg(error)
                                         .toUtf8()
                                         .toStdString());
    }

    CountryLibDb countries(m_mcc);
    const _CountryInfo &country = countries.country();

    // The phone's files are only read: a read-write connection would fold
    // a "-wal" file into the address book and change its time.
    Sqlite3DB book;
    book.openThrow(addressBookPath(), 1);
    out.beginTran();
    {
        Sqlite3Cursor c
                = book.queryThrow(Sqlite3Sql("select rowid, first, last, middle from ABPerson"));
        while (c.moveNext()) {
            Sqlite3Sql ins("insert into person(rowid, first, last, middle) values(?,?,?,?)");
            ins.addInt64Param(c.getInt64("rowid"))
                    .addTextParam(c.getText("first"))
                    .addTextParam(c.getText("last"))
                    .addTextParam(c.getText("middle"));
            out.executeThrow(ins);
        }
    }
    {
        Sqlite3Cursor c = book.queryThrow(
                Sqlite3Sql("select record_id, value from ABMultiValue where property=3"));
        while (c.moveNext()) {
            Sqlite3Sql ins("replace into tel(person_id, number) values(?,?)");
            ins.addInt64Param(c.getInt64("record_id"))
                    .addTextParam(normalizeNumber(country, c.getText("value")));
            out.executeThrow(ins);
        }
    }
    book.close();

    if (QFileInfo::exists(addressBookImagesPath())) {
        Sqlite3DB images;
        images.openThrow(addressBookImagesPath(), 1);
        Sqlite3Cursor c
                = images.queryThrow(Sqlite3Sql("select record_id, data from ABThumbnailImage"));
        while (c.moveNext()) {
            Sqlite3Sql upd("update person set photo=? where rowid=?");
            upd.addBlobParam(c.getBlob("data")).addInt64Param(c.getInt64("record_id"));
            out.executeThrow(upd);
        }
    }
    out.commitTran();
    out.close();
    if (!setFileModifiedTime(target, time))
        throw std::runtime_error(QStringLiteral("create IOSContactsMemDb error. cannot set the "
                                                "time of %1")
                                         .arg(target)
                                         .toUtf8()
                                         .toStdString());
}

_ContactPerson IOSContactsMemDb::lookupPerson(const QString &number)
{
    ensureOpen();
    _ContactPerson person;
    if (!isOpen())
        return person;
    Sqlite3Sql sql("select p.* from person as p inner join tel as t on p.rowid=t.person_id and "
                   "t.number=?");
    sql.addTextParam(number);
    Sqlite3Cursor c = queryThrow(sql);
    if (c.moveNext()) {
        person.first = c.getText("first");
        person.middle = c.getText("middle");
        person.last = c.getText("last");
        person.photo = c.getBlob("photo");
    }
    return person;
}
