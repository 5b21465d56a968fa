#include "tests/support/rawsqlite.h"

#include <QFile>
#include <fcntl.h>
#include <sqlite3.h>
#include <stdexcept>
#include <sys/stat.h>

RawSqlite::RawSqlite(const QString &path, bool create, bool readOnly)
{
    int flags = readOnly ? SQLITE_OPEN_READONLY
                         : (SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0));
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, flags, nullptr) != SQLITE_OK) {
        QString msg = m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString("out of memory");
        sqlite3_close(m_db);
        m_db = nullptr;
        throw std::runtime_error(("open " + path + ": " + msg).toStdString());
    }
}

RawSqlite::~RawSqlite()
{
    close();
}

void RawSqlite::close()
{
    for (sqlite3_stmt *s : m_kept)
        sqlite3_finalize(s);
    m_kept.clear();
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

void RawSqlite::fail(const QString &what) const
{
    throw std::runtime_error(
            (what + ": " + QString::fromUtf8(m_db ? sqlite3_errmsg(m_db) : "closed"))
                    .toStdString());
}

void RawSqlite::exec(const QString &sql)
{
    char *err = nullptr;
    if (sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &err) != SQLITE_OK) {
        QString msg = QString::fromUtf8(err ? err : "?");
        sqlite3_free(err);
        throw std::runtime_error((sql.left(200) + ": " + msg).toStdString());
    }
}

void RawSqlite::bind(sqlite3_stmt *stmt, const QVariantList &params, const QString &sql)
{
    for (int i = 0; i < params.size(); ++i) {
        const QVariant &v = params[i];
        int rc;
        if (!v.isValid() || v.isNull()) {
            rc = sqlite3_bind_null(stmt, i + 1);
        } else {
            switch (v.typeId()) {
            case QMetaType::QByteArray: {
                QByteArray b = v.toByteArray();
                rc = sqlite3_bind_blob64(stmt, i + 1, b.constData(), b.size(), SQLITE_TRANSIENT);
                break;
            }
            case QMetaType::Int:
            case QMetaType::UInt:
            case QMetaType::LongLong:
            case QMetaType::ULongLong:
            case QMetaType::Long:
            case QMetaType::Bool:
                rc = sqlite3_bind_int64(stmt, i + 1, v.toLongLong());
                break;
            case QMetaType::Double:
                rc = sqlite3_bind_double(stmt, i + 1, v.toDouble());
                break;
            default: {
                QByteArray t = v.toString().toUtf8();
                rc = sqlite3_bind_text64(stmt, i + 1, t.constData(), t.size(), SQLITE_TRANSIENT,
                                         SQLITE_UTF8);
            }
            }
        }
        if (rc != SQLITE_OK)
            fail("bind " + sql.left(200));
    }
}

sqlite3_stmt *RawSqlite::prepare(const QString &sql)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        fail("prepare " + sql.left(200));
    m_kept.append(stmt);
    return stmt;
}

qint64 RawSqlite::runPrepared(sqlite3_stmt *stmt, const QVariantList &params)
{
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    bind(stmt, params, QString::fromUtf8(sqlite3_sql(stmt)));
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        QString sql = QString::fromUtf8(sqlite3_sql(stmt));
        sqlite3_reset(stmt);
        fail(sql.left(200));
    }
    sqlite3_reset(stmt);
    return sqlite3_last_insert_rowid(m_db);
}

qint64 RawSqlite::run(const QString &sql, const QVariantList &params)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        fail("prepare " + sql.left(200));
    bind(stmt, params, sql);
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW)
        fail(sql.left(200));
    return sqlite3_last_insert_rowid(m_db);
}

QList<QVariantList> RawSqlite::rows(const QString &sql, const QVariantList &params)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK)
        fail("prepare " + sql.left(200));
    bind(stmt, params, sql);
    QList<QVariantList> out;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QVariantList row;
        int n = sqlite3_column_count(stmt);
        for (int c = 0; c < n; ++c) {
            switch (sqlite3_column_type(stmt, c)) {
            case SQLITE_NULL:
                row.append(QVariant());
                break;
            case SQLITE_INTEGER:
                row.append(QVariant(qint64(sqlite3_column_int64(stmt, c))));
                break;
            case SQLITE_FLOAT:
                row.append(QVariant(sqlite3_column_double(stmt, c)));
                break;
            case SQLITE_BLOB:
                row.append(
                        QVariant(QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, c)),
                                            sqlite3_column_bytes(stmt, c))));
                break;
            default:
                row.append(QVariant(QString::fromUtf8(
                        reinterpret_cast<const char *>(sqlite3_column_text(stmt, c)),
                        sqlite3_column_bytes(stmt, c))));
            }
        }
        out.append(row);
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        fail(sql.left(200));
    return out;
}

QVariant RawSqlite::scalar(const QString &sql, const QVariantList &params)
{
    QList<QVariantList> r = rows(sql, params);
    if (r.isEmpty() || r.first().isEmpty())
        return QVariant();
    return r.first().first();
}

QStringList RawSqlite::columns(const QString &table)
{
    QStringList names;
    for (const QVariantList &r : rows("pragma table_info(" + table + ")"))
        names.append(r.value(1).toString());
    return names;
}

QList<QVariantList> sqliteRows(const QString &path, const QString &sql, const QVariantList &params)
{
    RawSqlite db(path, false, true);
    return db.rows(sql, params);
}

QVariant sqliteScalar(const QString &path, const QString &sql, const QVariantList &params)
{
    RawSqlite db(path, false, true);
    return db.scalar(sql, params);
}

bool setFileTimes(const QString &path, qint64 secondsSinceEpoch)
{
    struct timespec ts[2];
    ts[0].tv_sec = secondsSinceEpoch;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), ts, 0) == 0;
}
