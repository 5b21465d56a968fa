#include "tests/support/addressbookfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString AddressBookFixture::addressBookPathOf(const QString &storeFolder)
{
    return QDir(storeFolder)
            .absoluteFilePath("file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb");
}

QString AddressBookFixture::imagesPathOf(const QString &storeFolder)
{
    return QDir(storeFolder)
            .absoluteFilePath(
                    "file-relay/var/mobile/Library/AddressBook/AddressBookImages.sqlitedb");
}

AddressBookFixture::AddressBookFixture(const QString &storeFolder)
    : m_abPath(addressBookPathOf(storeFolder))
    , m_imgPath(imagesPathOf(storeFolder))
{
    QDir().mkpath(QFileInfo(m_abPath).absolutePath());
    QFile::remove(m_abPath);
    QFile::remove(m_imgPath);
    m_ab = std::make_unique<RawSqlite>(m_abPath, true);
    // A reduced copy of the phone's tables: the columns the phone has in
    // front, plus a few it keeps that nobody reads here.
    m_ab->exec("CREATE TABLE ABPerson (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, First TEXT, "
               "Last TEXT, Middle TEXT, FirstPhonetic TEXT, MiddlePhonetic TEXT, LastPhonetic "
               "TEXT, Organization TEXT, Department TEXT, Note TEXT, Kind INTEGER, Birthday TEXT, "
               "JobTitle TEXT, Nickname TEXT, Prefix TEXT, Suffix TEXT, FirstSort TEXT, LastSort "
               "TEXT, CreationDate INTEGER, ModificationDate INTEGER);"
               "CREATE TABLE ABMultiValue (UID INTEGER PRIMARY KEY, record_id INTEGER, property "
               "INTEGER, identifier INTEGER, label INTEGER, value TEXT);"
               "CREATE TABLE ABMultiValueLabel (value TEXT, UNIQUE(value));"
               "CREATE INDEX ABMultiValueRecordIDIndex ON ABMultiValue(record_id);");
}

AddressBookFixture::~AddressBookFixture()
{
    close();
}

void AddressBookFixture::close()
{
    m_ab.reset();
    m_img.reset();
}

qint64 AddressBookFixture::addPerson(const QString &first, const QString &last,
                                     const QString &middle)
{
    auto nullable = [](const QString &s) { return s.isNull() ? QVariant() : QVariant(s); };
    return m_ab->run("INSERT INTO ABPerson (First, Last, Middle, Kind, CreationDate, "
                     "ModificationDate) VALUES (?, ?, ?, 0, 400000000, 400000000)",
                     {nullable(first), nullable(last), nullable(middle)});
}

void AddressBookFixture::addPhone(qint64 person, const QString &number, const QString &label)
{
    m_ab->run("INSERT OR IGNORE INTO ABMultiValueLabel (value) VALUES (?)", {label});
    qint64 labelId = m_ab->scalar("SELECT rowid FROM ABMultiValueLabel WHERE value = ?", {label})
                             .toLongLong();
    m_ab->run("INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value) "
              "VALUES (?, ?, 3, 0, ?, ?)",
              {++m_uid, person, labelId, number});
}

void AddressBookFixture::addEmail(qint64 person, const QString &address)
{
    m_ab->run("INSERT INTO ABMultiValue (UID, record_id, property, identifier, label, value) "
              "VALUES (?, ?, 4, 0, NULL, ?)",
              {++m_uid, person, address});
}

void AddressBookFixture::addImage(qint64 person, const QByteArray &bytes, int format)
{
    if (!m_img) {
        m_img = std::make_unique<RawSqlite>(m_imgPath, true);
        m_img->exec("CREATE TABLE ABThumbnailImage (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                    "record_id INTEGER, format INTEGER, derived_from_format INTEGER, data BLOB, "
                    "UNIQUE(record_id, format));"
                    "CREATE TABLE ABFullSizeImage (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, "
                    "record_id INTEGER, crop_x INTEGER, crop_y INTEGER, crop_width INTEGER, "
                    "data BLOB, UNIQUE(record_id));");
    }
    m_img->run("INSERT INTO ABThumbnailImage (record_id, format, derived_from_format, data) "
               "VALUES (?, ?, 0, ?)",
               {person, format, bytes});
}
