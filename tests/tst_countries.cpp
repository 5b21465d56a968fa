#include "store/countrylibdb.h"
#include "store/datafolder.h"
#include "tests/support/testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <sqlite3.h>

#include <memory>

// The resource bundle that carries ":res/countries.db" (res/generated.qrc).
static void unregisterGeneratedResources()
{
    Q_CLEANUP_RESOURCE(generated);
}
static void registerGeneratedResources()
{
    Q_INIT_RESOURCE(generated);
}

namespace {

// Runs a script on a new SQLite file with the C library alone.
void writeDatabase(const QString &path, const char *script)
{
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    char *error = nullptr;
    const int rc = sqlite3_exec(db, script, nullptr, nullptr, &error);
    const QString text = error ? QString::fromUtf8(error) : QString();
    sqlite3_free(error);
    sqlite3_close(db);
    QVERIFY2(rc == SQLITE_OK, qPrintable(text));
}

qint64 countRows(CountryLibDb &db, const QString &sql)
{
    Sqlite3Cursor cursor = db.queryThrow(Sqlite3Sql(sql));
    return cursor.moveNext() ? cursor.getInt64(0) : -1;
}

QStringList leftovers()
{
    QStringList names = dataFolder().entryList(QDir::Files);
    names.removeAll(QStringLiteral("countries.db"));
    return names;
}

} // namespace

class TestCountries : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestEnv> m_env;
    std::unique_ptr<CountryLibDb> m_lib; // MCC 262, opened in the first test

    _CountryInfo countryFor(const QString &sn)
    {
        if (sn.isEmpty())
            return _CountryInfo();
        bool found = false;
        const _CountryInfo c = countryBySn(*m_lib, sn, &found);
        if (!found)
            qFatal("no country %s in the library", qPrintable(sn));
        return c;
    }

private slots:
    void initTestCase()
    {
        m_env = std::make_unique<TestEnv>();
        QVERIFY(!QFileInfo::exists(CountryLibDb::libraryPath()));
    }

    // The first use copies the library out of the resources into the data
    // folder, as a writable file, and leaves nothing else behind.
    void copiesLibraryFromResource()
    {
        const QString path = CountryLibDb::libraryPath();
        m_lib = std::make_unique<CountryLibDb>(QStringLiteral("262"));
        QVERIFY2(!QFileInfo::exists(path), "opened before first use");

        QCOMPARE(m_lib->country().sn, QStringLiteral("DE"));
        QVERIFY(QFileInfo::exists(path));
        QVERIFY(QFileInfo(path).permissions() & QFile::WriteOwner);
        QCOMPARE(QFileInfo(path).size(), QFileInfo(QStringLiteral(":res/countries.db")).size());
        QCOMPARE(leftovers(), QStringList());

        // A second library object uses the copy already there.
        const QDateTime stamp = QFileInfo(path).lastModified();
        CountryLibDb other(QStringLiteral("460"));
        QCOMPARE(other.country().sn, QStringLiteral("CN"));
        QCOMPARE(QFileInfo(path).lastModified(), stamp);
    }

    void libraryContent()
    {
        QCOMPARE(countRows(*m_lib, "select count(*) from countries"), qint64(242));
        QCOMPARE(countRows(*m_lib, "select count(*) from mmc_sn"), qint64(235));
        // Every MCC leads to a country.
        QCOMPARE(countRows(*m_lib,
                           "select count(*) from mmc_sn as m inner join countries as c"
                           " on m.sn = c.sn"),
                 qint64(235));
        QCOMPARE(countRows(*m_lib, "select count(*) from countries where pnum = ''"), qint64(0));

        const _CountryInfo ru = countryFor("RU");
        QCOMPARE(QStringList({ru.sn, ru.n, ru.ln, ru.pnum, ru.mmc, ru.numc, ru.mobilePattern}),
                 QStringList({"RU", "Russia", "Россия", "7", "250", "10", "^9\\d{9}$"}));
        const _CountryInfo tw = countryFor("TW");
        QCOMPARE(tw.ln, QStringLiteral("台灣"));
        QCOMPARE(countryFor("AC").mobilePattern, QStringLiteral("^$"));
        QCOMPARE(countryFor("US").mmc, QStringLiteral("310,311,312,313,314,315,316"));
    }

    void mccToCountry_data()
    {
        QTest::addColumn<QString>("mcc");
        QTest::addColumn<QString>("sn");
        QTest::addColumn<bool>("found");
        QTest::newRow("GB first") << "234"
                                  << "GB" << true;
        QTest::newRow("GB second") << "235"
                                   << "GB" << true;
        QTest::newRow("US last of seven") << "316"
                                          << "US" << true;
        QTest::newRow("AE not in sequence") << "431"
                                            << "AE" << true;
        QTest::newRow("TW") << "466"
                            << "TW" << true;
        // Unknown codes give the library's own country (DE, MCC 262).
        QTest::newRow("unknown") << "001"
                                 << "DE" << false;
        QTest::newRow("empty") << ""
                               << "DE" << false;
        QTest::newRow("not three digits") << "2345"
                                          << "DE" << false;
    }

    void mccToCountry()
    {
        QFETCH(QString, mcc);
        QFETCH(QString, sn);
        QFETCH(bool, found);
        bool wasFound = !found;
        QCOMPARE(countryByMcc(*m_lib, mcc, &wasFound).sn, sn);
        QCOMPARE(wasFound, found);
        QCOMPARE(countryByMcc(*m_lib, mcc, nullptr).sn, sn);
    }

    void snToCountry()
    {
        bool found = false;
        QCOMPARE(countryBySn(*m_lib, "gb", &found).pnum, QStringLiteral("44"));
        QVERIFY(found);
        QCOMPARE(countryBySn(*m_lib, "Cn", &found).pnum, QStringLiteral("86"));
        QVERIFY(found);
        QCOMPARE(countryBySn(*m_lib, "XX", &found).sn, QStringLiteral("DE"));
        QVERIFY(!found);
    }

    // A library for an MCC that no country owns opens with an empty
    // country, which leaves numbers as digits.
    void unknownMccLibrary()
    {
        CountryLibDb lib(QStringLiteral("001"));
        const _CountryInfo c = lib.country();
        QVERIFY(c.sn.isEmpty() && c.pnum.isEmpty() && c.mobilePattern.isEmpty());
        QCOMPARE(normalizeNumber(c, "0049 (171) 123-4567"), QStringLiteral("00491711234567"));
        QCOMPARE(normalizeNumber(c, " - "), QString());
    }

    void normalize_data()
    {
        QTest::addColumn<QString>("sn"); // empty: no country
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("expected");
        const auto row
                = [](const char *name, const char *sn, const char *number, const char *expected) {
                      QTest::newRow(name) << QString::fromUtf8(sn) << QString::fromUtf8(number)
                                          << QString::fromUtf8(expected);
                  };

        // Every form of one mobile number meets in one canonical form.
        row("US national", "US", "(202) 555-0143", "+12025550143");
        row("US digits", "US", "2025550143", "+12025550143");
        row("US calling code", "US", "12025550143", "+12025550143");
        row("US plus", "US", "+1 202-555-0143", "+12025550143");
        row("CN mobile", "CN", "13800138000", "+8613800138000");
        row("CN national prefix", "CN", "013800138000", "+8613800138000");
        row("CN calling code", "CN", "8613800138000", "+8613800138000");
        row("CN blanks and dashes", "CN", " 138-0013 8000 ", "+8613800138000");
        row("TW national prefix", "TW", "0912-345-678", "+886912345678");
        row("TW calling code", "TW", "886912345678", "+886912345678");
        row("IN national prefix", "IN", "09876543210", "+919876543210");
        row("IN calling code", "IN", "91 98765 43210", "+919876543210");
        row("RU mobile", "RU", "916 123-45-67", "+79161234567");
        row("RU calling code", "RU", "7 916 123 45 67", "+79161234567");
        row("DE national prefix", "DE", "0151 12345678", "+4915112345678");
        row("DE calling code", "DE", "4915112345678", "+4915112345678");

        // Landlines keep their national form; the calling code alone is
        // enough for rule of the calling code.
        row("CN landline", "CN", "010-12345678", "01012345678");
        row("TW landline", "TW", "02-2345-6789", "0223456789");
        row("DE landline", "DE", "030 123456", "030123456");
        row("DE landline with calling code", "DE", "4930123456", "+4930123456");
        row("AC no mobile pattern", "AC", "6123", "6123");
        row("AC calling code", "AC", "247 6123", "+2476123");

        // Wrong lengths are left as digits.
        row("CN mobile too short", "CN", "1380013800", "1380013800");
        row("CN mobile too long", "CN", "138001380001", "138001380001");
        row("US too short", "US", "555-0143", "5550143");
        row("IN calling code only", "IN", "91", "91");

        // The international dialling prefix is not recognised: such a
        // number is treated as a national one.
        row("CN 00 form", "CN", "008613800138000", "008613800138000");
        row("US 011 form", "US", "011 44 20 7946 0018", "011442079460018");
        row("DE 00 form", "DE", "0049 151 12345678", "004915112345678");

        // "+" forms are taken as they stand, whatever the country.
        row("plus other country", "US", "+44 (0)20 7946 0018", "+4402079460018");
        row("plus no country", "", "+49 151 1234 5678", "+4915112345678");
        row("plus inside", "CN", "138+00138000", "138+00138000");

        // The mobile pattern is searched for, not matched whole: the last
        // alternative of DE's pattern is anchored at the end only, so the
        // national prefix stays in. Stored canonical numbers depend on it.
        row("DE search not match", "DE", "0170 1234567", "+4901701234567");

        // Addresses.
        row("email", "US", "Jane.Doe@Example.COM", "jane.doe@example.com");
        row("apple id no country", "", "Someone@iCloud.com", "someone@icloud.com");
        row("letters in number", "CN", "+1 (800) MY-APPLE", "+1 (800) my-apple");

        // No country: digits stay digits.
        row("no country digits", "", "(030) 123-456", "030123456");

        // Nothing to call: withheld and blank senders stay empty and so
        // never meet in one made-up number.
        row("empty", "US", "", "");
        row("empty no country", "", "", "");
        row("empty AC", "AC", "", "");
        row("blanks", "CN", "   ", "");
        row("dashes", "DE", "- -", "");
        row("brackets", "IN", "( )", "");
        row("plus alone", "RU", "+", "");
        row("plus and blanks no country", "", " + ", "");
    }

    void normalize()
    {
        QFETCH(QString, sn);
        QFETCH(QString, number);
        QFETCH(QString, expected);
        QCOMPARE(normalizeNumber(countryFor(sn), number), expected);
    }

    // The rules of lengths and patterns on their own, with rows made here.
    void lengthsAndPatterns()
    {
        _CountryInfo c;
        c.numc = QStringLiteral("7,x,10,");
        QVERIFY(c.isNumberLength(7) && c.isNumberLength(10));
        QVERIFY(c.isNumberLength(0)); // "x" and the empty part read as 0
        QVERIFY(!c.isNumberLength(8) && !c.isNumberLength(-1));

        QVERIFY(!c.matchesMobileNumber(QStringLiteral("123")));
        c.mobilePattern = QStringLiteral("^5\\d|6\\d$");
        QVERIFY(c.matchesMobileNumber(QStringLiteral("5123"))); // anchored at start only
        QVERIFY(c.matchesMobileNumber(QStringLiteral("1263"))); // anchored at end only
        QVERIFY(!c.matchesMobileNumber(QStringLiteral("1234")));
        c.mobilePattern = QStringLiteral("^7\\d$");
        QVERIFY(!c.matchesMobileNumber(QStringLiteral("71a"))); // case-sensitive, whole
        c.mobilePattern = QStringLiteral("^(unclosed$");
        QVERIFY(!c.matchesMobileNumber(QStringLiteral("(unclosed")));
    }

    // A library already in the data folder is used as it is.
    void existingLibraryIsKept()
    {
        m_lib.reset();
        const QString path = CountryLibDb::libraryPath();
        QVERIFY(QFile::remove(path));
        writeDatabase(path,
                      "CREATE TABLE countries (sn CHAR(2) PRIMARY KEY, ln TEXT, pnum TEXT,"
                      " mmc TEXT, numc TEXT, u2 TEXT, r1 TEXT, r2 TEXT, r3 TEXT, r4 TEXT,"
                      " mnc_rx TEXT, n TEXT);"
                      "CREATE TABLE mmc_sn (mmc CHAR(3) PRIMARY KEY, sn CHAR(2));"
                      "INSERT INTO countries (sn, n, ln, pnum, mmc, numc, r1)"
                      " VALUES ('ZZ', 'Zedland', 'Zedland', '999', '901', '5', '8\\d{4}');"
                      "INSERT INTO mmc_sn VALUES ('901', 'ZZ');");
        {
            CountryLibDb lib(QStringLiteral("901"));
            QCOMPARE(lib.country().n, QStringLiteral("Zedland"));
            QCOMPARE(normalizeNumber(lib.country(), "81234"), QStringLiteral("+99981234"));
            bool found = true;
            QCOMPARE(countryByMcc(lib, "262", &found).sn, QStringLiteral("ZZ"));
            QVERIFY(!found);
        }
        QVERIFY(QFile::remove(path));
    }

    void openErrors()
    {
        const QString path = CountryLibDb::libraryPath();
        QVERIFY(!QFileInfo::exists(path));

        // Without the resource there is nothing to copy.
        unregisterGeneratedResources();
        QVERIFY(!QFile::exists(QStringLiteral(":res/countries.db")));
        {
            CountryLibDb lib(QStringLiteral("262"));
            try {
                lib.country();
                QFAIL("no exception");
            } catch (const std::runtime_error &e) {
                QCOMPARE(QString::fromUtf8(e.what()),
                         QStringLiteral("can not find :res/countries.db."));
            }
            QVERIFY(!QFileInfo::exists(path));
        }
        registerGeneratedResources();

        // A file that is no country library is an error, every time it is
        // asked, and is left as it is.
        writeDatabase(path, "CREATE TABLE other (x);");
        {
            CountryLibDb lib(QStringLiteral("262"));
            QVERIFY_THROWS_EXCEPTION(std::exception, lib.country());
            QVERIFY_THROWS_EXCEPTION(std::exception, lib.country());
            QVERIFY(!lib.isOpen());
        }
        QVERIFY(QFile::remove(path));
        {
            QFile junk(path);
            QVERIFY(junk.open(QIODevice::WriteOnly));
            junk.write(QByteArray(4096, 'x'));
        }
        {
            CountryLibDb lib(QStringLiteral("262"));
            QVERIFY_THROWS_EXCEPTION(std::exception, lib.country());
            QCOMPARE(QFileInfo(path).size(), qint64(4096));
        }
        QVERIFY(QFile::remove(path));

        // Then the library copies itself again.
        CountryLibDb lib(QStringLiteral("235"));
        QCOMPARE(lib.country().sn, QStringLiteral("GB"));
        QCOMPARE(leftovers(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCountries)
#include "tst_countries.moc"
