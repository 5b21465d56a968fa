#include "store/countrylibdb.h"

#include "store/datafolder.h"
#include "store/sqlite3db.h"

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <stdexcept>

namespace {

const char kResource[] = ":res/countries.db";

_CountryInfo countryFromCursor(Sqlite3Cursor &cursor)
{
    _CountryInfo c;
    c.sn = cursor.getText("sn");
    c.n = cursor.getText("n");
    c.ln = cursor.getText("ln");
    c.pnum = cursor.getText("pnum");
    c.mmc = cursor.getText("mmc");
    c.numc = cursor.getText("numc");
    c.mobilePattern = QLatin1Char('^') + cursor.getText("r1") + QLatin1Char('$');
    return c;
}

_CountryInfo firstCountry(CountryLibDb &db, const Sqlite3Sql &sql, bool *found)
{
    Sqlite3Cursor cursor = db.queryThrow(sql);
    if (cursor.moveNext()) {
        if (found)
            *found = true;
        return countryFromCursor(cursor);
    }
    if (found)
        *found = false;
    return db.country();
}

[[noreturn]] void throwCreateError(const QString &path, const QString &error)
{
    throw std::runtime_error(
            QStringLiteral("can not create %1. %2").arg(path, error).toUtf8().toStdString());
}

// Copies the resource to path through a temporary file beside it, so that
// an interrupted copy never leaves a partial library behind, and makes the
// copy writable (resource files are read-only).
void copyLibrary(const QString &path)
{
    QFile resource(QString::fromLatin1(kResource));
    if (!resource.exists())
        throw std::runtime_error("can not find :res/countries.db.");

    const QString tmp = path + QStringLiteral(".")
            + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
    if (!resource.copy(tmp)) {
        const QString error = resource.errorString();
        QFile::remove(tmp);
        throwCreateError(path, error);
    }
    QFile copy(tmp);
    if (!copy.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                             | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther)) {
        const QString error = copy.errorString();
        copy.remove();
        throwCreateError(path, error);
    }
    // rename never replaces: when another library object copied it first,
    // that file is as good as ours.
    if (!copy.rename(path)) {
        const QString error = copy.errorString();
        copy.remove();
        if (!QFileInfo::exists(path))
            throwCreateError(path, error);
    }
}

} // namespace

CountryLibDb::CountryLibDb(const QString &mcc)
    : m_mcc(mcc)
{ }

CountryLibDb::~CountryLibDb() = default;

QString CountryLibDb::libraryPath()
{
    return dataFolder().absoluteFilePath(QStringLiteral("countries.db"));
}

void CountryLibDb::ensureOpen()
{
    if (isOpen())
        return;
    const QString path = libraryPath();
    if (!QFileInfo::exists(path))
        copyLibrary(path);
    openThrow(path, Sqlite3DB::ReadWrite);
    try {
        m_current = countryByMcc(*this, m_mcc, nullptr);
    } catch (...) {
        // A library without its tables must not pass for an open one with
        // an unknown country next time.
        m_current = _CountryInfo();
        close();
        throw;
    }
}

_CountryInfo &CountryLibDb::country()
{
    ensureOpen();
    return m_current;
}

_CountryInfo countryByMcc(CountryLibDb &db, const QString &mcc, bool *found)
{
    db.ensureOpen();
    Sqlite3Sql sql(QStringLiteral("select c.* from mmc_sn as m inner join countries as c "
                                  "on m.[sn] = c.sn and m.mmc=?"));
    sql.addTextParam(mcc);
    return firstCountry(db, sql, found);
}

_CountryInfo countryBySn(CountryLibDb &db, const QString &sn, bool *found)
{
    db.ensureOpen();
    Sqlite3Sql sql(QStringLiteral("select * from countries where sn=?"));
    sql.addTextParam(sn.toUpper());
    return firstCountry(db, sql, found);
}
