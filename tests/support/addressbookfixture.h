#pragma once

#include "tests/support/rawsqlite.h"

#include <QByteArray>
#include <QString>
#include <memory>

// Builds a phone's address book in a store folder, in the phone's own layout:
// file-relay/var/mobile/Library/AddressBook/AddressBook.sqlitedb (ABPerson,
// ABMultiValue) and, once a picture is added, AddressBookImages.sqlitedb
// (ABThumbnailImage). Written with SQLite's C interface.
class AddressBookFixture
{
public:
    explicit AddressBookFixture(const QString &storeFolder);
    ~AddressBookFixture();

    static QString addressBookPathOf(const QString &storeFolder);
    static QString imagesPathOf(const QString &storeFolder);
    QString addressBookPath() const { return m_abPath; }
    QString imagesPath() const { return m_imgPath; }

    qint64 addPerson(const QString &first, const QString &last, const QString &middle = {});
    // A phone number as typed on the phone (property 3).
    void addPhone(qint64 person, const QString &number, const QString &label = "_$!<Mobile>!$_");
    // An e-mail address (property 4), which the cache must not take for a number.
    void addEmail(qint64 person, const QString &address);
    // A thumbnail picture of the person (creates the images file on first use).
    void addImage(qint64 person, const QByteArray &bytes, int format = 0);

    // Closes both files (so their times can be set and they can be copied).
    void close();

private:
    QString m_abPath;
    QString m_imgPath;
    std::unique_ptr<RawSqlite> m_ab;
    std::unique_ptr<RawSqlite> m_img;
    int m_uid = 0;
};
