#pragma once

#include <QList>
#include <QString>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;

// A bare connection over SQLite's C interface for fixtures and for tests that
// inspect a database apart from the classes under test. Every failure throws
// std::runtime_error naming the statement and SQLite's message.
class RawSqlite
{
public:
    // Opens (and with create, makes) the file; readOnly opens it read-only.
    explicit RawSqlite(const QString &path, bool create = false, bool readOnly = false);
    ~RawSqlite();
    RawSqlite(const RawSqlite &) = delete;
    RawSqlite &operator=(const RawSqlite &) = delete;

    // Runs a script of one or more statements.
    void exec(const QString &sql);
    // Runs one statement with positional parameters and returns the last
    // insert rowid. QByteArray binds a blob, a null QVariant binds NULL,
    // integral types bind int64, double binds a real, anything else text.
    qint64 run(const QString &sql, const QVariantList &params = {});
    // Rows of a query, each a list of column values (blobs as QByteArray).
    QList<QVariantList> rows(const QString &sql, const QVariantList &params = {});
    // The first column of the first row, or an invalid QVariant.
    QVariant scalar(const QString &sql, const QVariantList &params = {});
    // Column names of a table, in order.
    QStringList columns(const QString &table);

    // A prepared statement kept for repeated use (owned by this object).
    sqlite3_stmt *prepare(const QString &sql);
    // Binds the parameters, steps once, resets; returns the last insert rowid.
    qint64 runPrepared(sqlite3_stmt *stmt, const QVariantList &params);

    sqlite3 *handle() const { return m_db; }
    void close();

private:
    void bind(sqlite3_stmt *stmt, const QVariantList &params, const QString &sql);
    [[noreturn]] void fail(const QString &what) const;

    sqlite3 *m_db = nullptr;
    QList<sqlite3_stmt *> m_kept;
};

// One-shot helpers that open the file read-only, ask and close.
QList<QVariantList> sqliteRows(const QString &path, const QString &sql,
                               const QVariantList &params = {});
QVariant sqliteScalar(const QString &path, const QString &sql, const QVariantList &params = {});

// Sets a file's modification and access time (seconds since 1970).
bool setFileTimes(const QString &path, qint64 secondsSinceEpoch);
