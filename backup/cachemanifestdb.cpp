#include "backup/cachemanifestdb.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringList>

#include <sqlite3.h>

#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

const char *const kScript = ":/res/cache_db.sql";

} // namespace

CacheManifestDb::CacheManifestDb(const QString &filePath)
    : path(filePath)
{ }

CacheManifestDb::~CacheManifestDb()
{
    close();
}

void CacheManifestDb::open()
{
    if (db.isOpen())
        return;
    if (!QFileInfo::exists(path)) {
        create();
        return;
    }
    try {
        db.openThrow(path, Sqlite3DB::ReadWrite);
        // Probes the table so that a damaged file fails here, not midway.
        db.queryThrow("select file_name, last_date from manifest limit 1").moveNext();
        upgrade();
        return;
    } catch (const std::exception &e) {
        db.close();
        qWarning("%s is no usable cache list (%s); it is made anew", qUtf8Printable(path),
                 e.what());
    }
    create();
}

void CacheManifestDb::upgrade()
{
    QStringList columns;
    {
        Sqlite3Cursor c = db.queryThrow("PRAGMA table_info(manifest)");
        while (c.moveNext())
            columns << c.getText("name").toLower();
    }
    static const char *const kColumns[][2] = {
            {"size", "INTEGER"}, {"digest", "BLOB"}, {"decrypted", "INTEGER"}};
    QList<const char *const *> missing;
    for (const auto &column : kColumns)
        if (!columns.contains(QLatin1String(column[0])))
            missing << column;
    if (missing.isEmpty())
        return;
    // All columns or none: the rows keep their file ids and dates, and the
    // new columns stay empty, which no backup record matches.
    db.beginTran();
    try {
        for (const char *const *column : missing)
            db.executeThrow(Sqlite3Sql(QStringLiteral("alter table manifest add column %1 %2")
                                               .arg(QLatin1String(column[0]),
                                                    QLatin1String(column[1]))));
        db.commitTran();
    } catch (...) {
        if (db.inTran())
            db.rollbackTran();
        throw;
    }
}

void CacheManifestDb::create()
{
    db.close();
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        const QString file = path + QLatin1String(suffix);
        if (QFileInfo(file).isSymLink() || QFileInfo::exists(file)) {
            if (!QFile::remove(file))
                fail(QStringLiteral("Cannot remove %1").arg(file));
        }
    }
    QFile script(QString::fromLatin1(kScript));
    if (!script.open(QIODevice::ReadOnly))
        fail(script.errorString());
    QByteArray sql = script.readAll();
    const qsizetype nul = sql.indexOf('\0');
    if (nul >= 0)
        sql.truncate(nul);

    db.openThrow(path, Sqlite3DB::ReadWriteCreate);
    char *error = nullptr;
    if (sqlite3_exec(db.handle(), sql.constData(), nullptr, nullptr, &error) != SQLITE_OK) {
        const QString text = QString::fromUtf8(error ? error : "unknown error");
        sqlite3_free(error);
        db.close();
        QFile::remove(path);
        fail(text);
    }
}

qint64 CacheManifestDb::getCachedDate(const QString &fileId, bool *found)
{
    if (found)
        *found = false;
    try {
        open();
        Sqlite3Sql sql("select last_date from manifest where file_name=?");
        sql.addTextParam(fileId);
        Sqlite3Cursor c = db.queryThrow(sql);
        if (!c.moveNext())
            return 0;
        if (found)
            *found = true;
        return c.getInt64("last_date");
    } catch (const std::exception &e) {
        qWarning("Cache list %s: %s", qUtf8Printable(path), e.what());
        return 0;
    }
}

void CacheManifestDb::setCachedDate(const QString &fileId, qint64 date)
{
    open();
    Sqlite3Sql sql("insert into manifest(file_name,last_date,size,digest,decrypted) "
                   "values(?,?,null,null,null) on conflict(file_name) do update set "
                   "last_date=excluded.last_date, size=null, digest=null, decrypted=null");
    sql.addTextParam(fileId);
    sql.addInt64Param(date);
    db.executeThrow(sql);
}

std::optional<CachedFile> CacheManifestDb::cachedFile(const QString &fileId)
{
    try {
        open();
        Sqlite3Sql sql("select last_date, size, digest, decrypted from manifest where file_name=?");
        sql.addTextParam(fileId);
        Sqlite3Cursor c = db.queryThrow(sql);
        if (!c.moveNext())
            return std::nullopt;
        CachedFile file;
        file.date = c.getInt64("last_date");
        file.size = c.isNull("size") ? -1 : c.getInt64("size");
        file.digest = c.isNull("digest") ? QByteArray() : c.getBlob("digest");
        file.decrypted = !c.isNull("decrypted") && c.getInt64("decrypted") != 0;
        return file;
    } catch (const std::exception &e) {
        qWarning("Cache list %s: %s", qUtf8Printable(path), e.what());
        return std::nullopt;
    }
}

void CacheManifestDb::setCachedFile(const QString &fileId, const CachedFile &file)
{
    open();
    Sqlite3Sql sql("insert into manifest(file_name,last_date,size,digest,decrypted) "
                   "values(?,?,?,?,?) on conflict(file_name) do update set "
                   "last_date=excluded.last_date, size=excluded.size, digest=excluded.digest, "
                   "decrypted=excluded.decrypted");
    sql.addTextParam(fileId);
    sql.addInt64Param(file.date);
    if (file.size < 0)
        sql.addNullParam();
    else
        sql.addInt64Param(file.size);
    if (file.digest.isEmpty())
        sql.addNullParam();
    else
        sql.addBlobParam(file.digest);
    sql.addIntParam(file.decrypted ? 1 : 0);
    db.executeThrow(sql);
}

void CacheManifestDb::removeCachedEntry(const QString &fileId)
{
    try {
        open();
        Sqlite3Sql sql("delete from manifest where file_name=?");
        sql.addTextParam(fileId);
        db.executeThrow(sql);
    } catch (const std::exception &e) {
        qWarning("Cache list %s: %s", qUtf8Printable(path), e.what());
    }
}

void CacheManifestDb::begin()
{
    open();
    db.beginTran();
}

void CacheManifestDb::commit()
{
    db.commitTran();
}

void CacheManifestDb::rollback()
{
    try {
        if (db.isOpen() && db.inTran())
            db.rollbackTran();
    } catch (const std::exception &e) {
        qWarning("Cache list %s: %s", qUtf8Printable(path), e.what());
        db.close();
    }
}

void CacheManifestDb::close()
{
    db.close();
}
