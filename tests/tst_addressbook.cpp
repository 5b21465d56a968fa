#include "store/ios6messagedb.h"
#include "store/ioscontactsmemdb.h"
#include "tests/support/addressbookfixture.h"
#include "tests/support/rawsqlite.h"
#include "tests/support/testenv.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QtTest>
#include <memory>

namespace {

const qint64 kBookTime = 1600000000; // some day in 2020

QByteArray fileDigest(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
}

// Anna (with a picture), Bob (his number entered twice), Carl and Dora
// (one shared number) and Eve (only an e-mail address).
void fillAddressBook(AddressBookFixture &ab)
{
    qint64 anna = ab.addPerson("Anna", "Berg");
    ab.addPhone(anna, "(202) 555-0143");
    ab.addImage(anna, QByteArray("anna-photo"));
    qint64 bob = ab.addPerson("Bob", " Stone ", "  ");
    ab.addPhone(bob, "202-555-0150");
    ab.addPhone(bob, "+1 202 555 0150", "_$!<Home>!$_");
    qint64 carl = ab.addPerson("Carl", "Moss");
    qint64 dora = ab.addPerson("Dora", "Moss");
    ab.addPhone(carl, "2025550160");
    ab.addPhone(dora, "12025550160");
    qint64 eve = ab.addPerson("Eve", QString());
    ab.addEmail(eve, "eve@example.com");
    ab.close();
}

// A marker row that only survives as long as the cache is not rebuilt.
void markCache(const QString &cache, qint64 time)
{
    {
        RawSqlite db(cache);
        db.run("insert into person(rowid, first) values(999, 'marker')");
    }
    QVERIFY(setFileTimes(cache, time));
}

bool cacheHasMarker(const QString &cache)
{
    return sqliteScalar(cache, "select count(*) from person where rowid=999").toInt() == 1;
}

} // namespace

class TestAddressBook : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestEnv> env;
    int counter = 0;
    QString newStore()
    {
        const QString store
                = QDir(env->home()).absoluteFilePath(QString("stores/s%1").arg(++counter));
        QDir().mkpath(store);
        return store;
    }
    // A store with the address book above, dated kBookTime.
    QString storeWithBook()
    {
        const QString store = newStore();
        AddressBookFixture ab(store);
        fillAddressBook(ab);
        [&] { QVERIFY(setFileTimes(ab.addressBookPath(), kBookTime)); }();
        return store;
    }

private slots:
    void initTestCase() { env = std::make_unique<TestEnv>(); }

    void storeWithoutAddressBook()
    {
        const QString store = newStore();
        IOSContactsMemDb db(QDir(store), "310");
        db.ensureOpen();
        QVERIFY(!db.isOpen());
        QVERIFY(!QFileInfo::exists(store + "/ct-phone.db"));
        _ContactPerson p = db.lookupPerson("+12025550143");
        QVERIFY(p.first.isEmpty() && p.last.isEmpty() && p.photo.isEmpty());
    }

    void buildsCacheAndLooksUpCanonicalNumbers()
    {
        const QString store = storeWithBook();
        IOSContactsMemDb db(QDir(store), "310");
        QVERIFY(!QFileInfo::exists(db.cachePath())); // nothing before the first use
        db.ensureOpen();
        QVERIFY(db.isOpen());
        QCOMPARE(fileModifiedTime(db.cachePath()), kBookTime);
        QVERIFY(!QFileInfo::exists(db.cachePath() + ".new"));

        _ContactPerson anna = db.lookupPerson("+12025550143");
        QCOMPARE(personDisplayName(anna), QString("Anna Berg"));
        QCOMPARE(anna.photo, QByteArray("anna-photo"));
        QCOMPARE(personDisplayName(db.lookupPerson("+12025550150")), QString("Bob Stone"));
        QCOMPARE(db.lookupPerson("+12025550160").last, QString("Moss"));
        QVERIFY(db.lookupPerson("(202) 555-0143").first.isEmpty()); // only canonical numbers
        QVERIFY(db.lookupPerson("eve@example.com").first.isEmpty());

        const QList<QVariantList> tel = sqliteRows(
                db.cachePath(), "select person_id, number from tel order by person_id");
        QCOMPARE(tel.size(), 4); // Bob's number once, the shared one twice, no e-mail
        QCOMPARE(
                sqliteScalar(db.cachePath(), "select count(*) from tel where number='+12025550160'")
                        .toInt(),
                2);
        // The phone's file was only read.
        QCOMPARE(fileModifiedTime(db.addressBookPath()), kBookTime);
    }

    void personDisplayNames_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("middle");
        QTest::addColumn<QString>("last");
        QTest::addColumn<QString>("expected");
        QTest::newRow("first and last") << "Anna"
                                        << ""
                                        << "Berg"
                                        << "Anna Berg";
        QTest::newRow("all three") << "Anna"
                                   << " Maria "
                                   << "Berg"
                                   << "Anna Maria Berg";
        QTest::newRow("only last") << ""
                                   << ""
                                   << "Berg"
                                   << "Berg";
        QTest::newRow("blank middle") << "Anna"
                                      << "   "
                                      << ""
                                      << "Anna";
        QTest::newRow("padded first") << "  Anna "
                                      << ""
                                      << ""
                                      << "Anna";
        QTest::newRow("nothing") << ""
                                 << ""
                                 << ""
                                 << "";
    }
    void personDisplayNames()
    {
        QFETCH(QString, first);
        QFETCH(QString, middle);
        QFETCH(QString, last);
        QFETCH(QString, expected);
        _ContactPerson p;
        p.first = first;
        p.middle = middle;
        p.last = last;
        QCOMPARE(personDisplayName(p), expected);
    }

    void rebuildsOnlyWhenTheAddressBookChanges_data()
    {
        QTest::addColumn<bool>("withWal");
        QTest::addColumn<bool>("touchWal");
        QTest::addColumn<bool>("rebuilt");
        QTest::newRow("address book touched") << false << false << true;
        QTest::newRow("wal touched") << true << true << true;
        QTest::newRow("address book touched beside a wal") << true << false << false;
    }
    void rebuildsOnlyWhenTheAddressBookChanges()
    {
        QFETCH(bool, withWal);
        QFETCH(bool, touchWal);
        QFETCH(bool, rebuilt);
        const QString store = storeWithBook();
        const QString book = AddressBookFixture::addressBookPathOf(store);
        if (withWal) {
            // An empty log counts as the address book's time.
            QFile wal(book + "-wal");
            QVERIFY(wal.open(QIODevice::WriteOnly));
            wal.close();
            QVERIFY(setFileTimes(book + "-wal", kBookTime + 5));
        }
        const qint64 builtAt = withWal ? kBookTime + 5 : kBookTime;
        QString cache;
        {
            IOSContactsMemDb db(QDir(store), "310");
            db.ensureOpen();
            cache = db.cachePath();
        }
        QCOMPARE(fileModifiedTime(cache), builtAt);
        markCache(cache, builtAt);
        {
            IOSContactsMemDb db(QDir(store), "310");
            db.ensureOpen();
            QVERIFY(db.isOpen());
            QVERIFY(cacheHasMarker(cache)); // as new as the address book: no rebuild
        }
        QVERIFY(setFileTimes(touchWal ? book + "-wal" : book, builtAt + 60));
        {
            IOSContactsMemDb db(QDir(store), "310");
            db.ensureOpen();
            QCOMPARE(personDisplayName(db.lookupPerson("+12025550143")), QString("Anna Berg"));
        }
        QCOMPARE(!cacheHasMarker(cache), rebuilt);
        QCOMPARE(fileModifiedTime(cache), rebuilt ? builtAt + 60 : builtAt);
    }

    void failedRebuildKeepsTheOldCache()
    {
        const QString store = storeWithBook();
        QString cache;
        {
            IOSContactsMemDb db(QDir(store), "310");
            db.ensureOpen();
            cache = db.cachePath();
        }
        markCache(cache, kBookTime);

        // A newer address book that breaks the rebuild half-way: persons are
        // read, the numbers' table is missing.
        const QString book = AddressBookFixture::addressBookPathOf(store);
        {
            RawSqlite raw(book);
            raw.exec("ALTER TABLE ABMultiValue RENAME TO ABMultiValueMoved;");
        }
        QVERIFY(setFileTimes(book, kBookTime + 60));
        {
            IOSContactsMemDb db(QDir(store), "310");
            QVERIFY_THROWS_EXCEPTION(std::exception, db.ensureOpen());
            QVERIFY(!db.isOpen());
        }
        // The old cache is untouched and still older, so the next open tries again.
        QVERIFY(cacheHasMarker(cache));
        QCOMPARE(fileModifiedTime(cache), kBookTime);
        QCOMPARE(QDir(store).entryList(QStringList("ct-phone.db*"), QDir::Files),
                 QStringList("ct-phone.db"));

        {
            RawSqlite raw(book);
            raw.exec("ALTER TABLE ABMultiValueMoved RENAME TO ABMultiValue;");
        }
        QVERIFY(setFileTimes(book, kBookTime + 120));
        IOSContactsMemDb db(QDir(store), "310");
        db.ensureOpen();
        QVERIFY(!cacheHasMarker(cache));
        QCOMPARE(personDisplayName(db.lookupPerson("+12025550143")), QString("Anna Berg"));
        QCOMPARE(fileModifiedTime(cache), kBookTime + 120);
    }

    void unreadableCacheIsMadeAgain()
    {
        const QString store = storeWithBook();
        const QString cache = store + "/ct-phone.db";
        {
            QFile f(cache);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(4096, 'x'));
        }
        QVERIFY(setFileTimes(cache, kBookTime + 3600)); // newer than the address book
        IOSContactsMemDb db(QDir(store), "310");
        db.ensureOpen();
        QVERIFY(db.isOpen());
        QCOMPARE(db.lookupPerson("+12025550143").first, QString("Anna"));
        QCOMPARE(fileModifiedTime(cache), kBookTime);
    }

    void addressBookWithWriteAheadLogIsOnlyRead()
    {
        // A phone's copy: the newest person is still in the "-wal" file.
        const QString source = newStore();
        const QString store = newStore();
        QString srcBook;
        {
            AddressBookFixture ab(source);
            fillAddressBook(ab);
            srcBook = ab.addressBookPath();
        }
        const QString book = AddressBookFixture::addressBookPathOf(store);
        QDir().mkpath(QFileInfo(book).absolutePath());
        {
            RawSqlite raw(srcBook);
            raw.exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
            qint64 finn = raw.run("INSERT INTO ABPerson (First, Last) VALUES ('Finn', 'Lake')");
            raw.run("INSERT INTO ABMultiValue (UID, record_id, property, value) VALUES "
                    "(100, ?, 3, '202 555 0199')",
                    {finn});
            QVERIFY(QFile::copy(srcBook, book));
            QVERIFY(QFile::copy(srcBook + "-wal", book + "-wal"));
        }
        QVERIFY(setFileTimes(book, kBookTime));
        QVERIFY(setFileTimes(book + "-wal", kBookTime + 10));
        const QByteArray bookBefore = fileDigest(book);
        const QByteArray walBefore = fileDigest(book + "-wal");
        {
            IOSContactsMemDb db(QDir(store), "310");
            db.ensureOpen();
            QCOMPARE(personDisplayName(db.lookupPerson("+12025550199")), QString("Finn Lake"));
            QCOMPARE(fileModifiedTime(db.cachePath()), kBookTime + 10);
        }
        QCOMPARE(fileDigest(book), bookBefore);
        QCOMPARE(fileDigest(book + "-wal"), walBefore);
        QCOMPARE(fileModifiedTime(book + "-wal"), kBookTime + 10);
    }

    void messageDatabaseOwnsTheCache()
    {
        const QString store = storeWithBook();
        IOS6MessageDb db(QDir(store), "310", true);
        db.ensureOpen();
        // The message database opens the cache only when a reader asks.
        QVERIFY(!QFileInfo::exists(store + "/ct-phone.db"));
        QCOMPARE(db.contactsDb().lookupPerson("+12025550143").first, QString("Anna"));
        QVERIFY(QFileInfo::exists(store + "/ct-phone.db"));
    }
};

QTEST_GUILESS_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
