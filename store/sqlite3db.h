#pragma once

// A thin layer of Qt types over SQLite's C library: connections, statements
// with bound parameters, cursors over query results and rows as column maps.
// Every statement is prepared; values only ever travel as bound parameters.

#include <QAnyStringView>
#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>
#include <stdexcept>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// The interface version of this layer; start-up refuses to run on another.
int sqlite_qt_version();

// Every failure of a ...Throw operation (and of a cursor step) is one of these:
// the text says what failed, followed by SQLite's own message.
class Sqlite3Exception : public std::runtime_error
{
public:
    Sqlite3Exception(const QString &what, int code);
    // SQLite's (extended) result code, or 0 for failures found by this layer.
    int code() const { return m_code; }

private:
    int m_code;
};

// One column as the table declares it.
class _SqliteCol
{
public:
    _SqliteCol() = default;
    _SqliteCol(const QString &name, const QString &type, bool notNull, bool hasDefault,
               bool primaryKey);

    QString name;
    QString type;
    bool notNull = false;
    bool hasDefault = false;
    bool primaryKey = false;

    // Classification of the declared type by SQLite's affinity rules.
    bool isInteger() const;
    bool isReal() const;
    bool isText() const;
    bool isBlob() const;
    // Integer, real or numeric affinity.
    bool isNumeric() const;
};

// An SQL statement and the values for its "?" placeholders, in order.
class Sqlite3Sql
{
public:
    Sqlite3Sql() = default;
    Sqlite3Sql(const char *sql);
    Sqlite3Sql(const QString &sql);

    Sqlite3Sql &appendSql(const QString &sql);
    Sqlite3Sql &addTextParam(const QString &value);
    Sqlite3Sql &addIntParam(int value);
    Sqlite3Sql &addInt64Param(qint64 value);
    Sqlite3Sql &addBlobParam(const QByteArray &value);
    Sqlite3Sql &addDoubleParam(double value);
    Sqlite3Sql &addNullParam();
    // Binds by the value's type: text, whole numbers, bool (as 0/1), floating
    // point, bytes (as a blob); an invalid or null-pointer variant binds NULL.
    Sqlite3Sql &addVariantParam(const QVariant &value);

    QString sql() const { return QString::fromUtf8(m_sql); }
    int paramCount() const { return int(m_params.size()); }

    struct Param
    {
        enum Kind : unsigned char { Null, Int, Int64, Double, Text, Blob } kind = Null;
        qint64 i = 0;
        double d = 0;
        QByteArray bytes; // UTF-8 of a text, the bytes of a blob
    };
    const QByteArray &sqlUtf8() const { return m_sql; }
    const std::vector<Param> &params() const { return m_params; }

private:
    QByteArray m_sql;
    std::vector<Param> m_params;
};

// A row as a map from column name to value: NULL is an invalid QVariant,
// integers are qint64, floating point double, text QString, blobs QByteArray.
class Sqlite3Row : public QMap<QString, QVariant>
{
public:
    using QMap<QString, QVariant>::QMap;
    // "insert into table(columns) values(?,...)" over every column but the
    // excluded ones (exact names), the values bound as parameters.
    Sqlite3Sql insertSql(const QString &table, const QSet<QString> &excluded = {}) const;
};

// Rows of a query. Copies share the statement; the last copy finalizes it.
// Closing (or destroying) the connection ends its cursors: their statements
// are reset so that no lock outlives the connection, getters give empty
// values and moveNext throws rather than pretend the rows ended. Such a
// cursor stays safe to keep, copy and destroy.
class Sqlite3Cursor
{
public:
    Sqlite3Cursor() = default;

    // Steps to the next row; false after the last one. A step that fails, or
    // a step after the connection was closed, throws Sqlite3Exception rather
    // than ending the rows early.
    bool moveNext();

    // Values of the current row by column name (letter case ignored). A column
    // the result lacks, a NULL, or no current row gives 0 / empty.
    QString getText(QAnyStringView column) const;
    int getInt(QAnyStringView column) const;
    qint64 getInt64(QAnyStringView column) const;
    QByteArray getBlob(QAnyStringView column) const;
    double getDouble(QAnyStringView column) const;
    bool isNull(QAnyStringView column) const;
    // By column index (0-based; see columnIndex), for readers that look
    // their columns up once per query. An index out of range gives 0 / empty.
    qint64 getInt64(int index) const;
    int getInt(int index) const;
    QString getText(int index) const;
    QByteArray getBlob(int index) const;
    // The column's text as UTF-8 bytes, valid until the cursor moves; a null
    // view for NULL (or no row).
    QByteArrayView getUtf8(int index) const;
    QVariant value(int index) const;

    // Index of a column (letter case ignored), -1 when the result lacks it.
    int columnIndex(QAnyStringView column) const;
    int columnCount() const;
    QString columnName(int index) const;

    // The current row with every column.
    Sqlite3Row getRow() const;
    // The number of rows of the whole result; the position is kept. Throws
    // like moveNext.
    int count();

    bool isValid() const { return bool(d); }

private:
    friend class Sqlite3DB;
    struct State;
    explicit Sqlite3Cursor(std::shared_ptr<State> state);
    int rowColumn(QAnyStringView column) const;
    std::shared_ptr<State> d;
};

// Texts that recur from row to row (services, accounts, countries,
// conversations) read as one shared string each instead of one copy per row. Distinct values
// beyond a bound are read plainly, so that the pool stays small.
class Sqlite3TextPool
{
public:
    QString operator()(const Sqlite3Cursor &c, int column)
    {
        const QByteArrayView utf8 = c.getUtf8(column);
        if (utf8.isNull())
            return QString();
        const auto it = m_texts.constFind(QByteArray::fromRawData(utf8.data(), utf8.size()));
        if (it != m_texts.constEnd())
            return *it;
        QString text = QString::fromUtf8(utf8);
        if (m_texts.size() < kMaxTexts)
            m_texts.insert(utf8.toByteArray(), text);
        return text;
    }

private:
    static constexpr qsizetype kMaxTexts = 4096;
    QHash<QByteArray, QString> m_texts;
};

// One connection.
class Sqlite3DB
{
public:
    // Open modes: SQLite's own flags.
    enum OpenMode { ReadOnly = 1, ReadWrite = 2, ReadWriteCreate = 6 };

    Sqlite3DB();
    virtual ~Sqlite3DB();
    Sqlite3DB(const Sqlite3DB &) = delete;
    Sqlite3DB &operator=(const Sqlite3DB &) = delete;

    // Opens path in mode 1 (read-only), 2 (read-write, the file must exist) or
    // 6 (read-write, created when missing). A file that is not a database is
    // refused here. An open connection is closed first.
    void openThrow(const QString &path, int mode);
    // Opens a file that must stay byte for byte as it is (a copy of a
    // phone's database) for reading. Read-only first; when SQLite cannot
    // read it so (a database in write-ahead-log mode in a folder this
    // process may not write), through SQLite's immutable open when no log
    // lies beside it, else from a private temporary copy of the file and its
    // log, removed at close. The log says which. A missing file or one that
    // is not a database throws.
    void openUnchangedThrow(const QString &path);
    // How the current opening reads its file.
    enum class ReadVia { File, Immutable, PrivateCopy };
    ReadVia readVia() const { return m_readVia; }
    // Discards an open transaction and closes; does nothing when not open.
    // When this was the process's last connection to the file, the
    // write-ahead-log files that were not there before it opened (an empty
    // "-wal", the "-shm") are removed again.
    void close();

    // The raw connection, null while not open (for sqlite3_exec and
    // sqlite3_create_function_v2).
    sqlite3 *handle() const { return m_db; }
    bool isOpen() const { return m_db != nullptr; }
    // Identifies the current opening: unique in the process for every
    // successful openThrow, 0 while not open.
    quint64 openSerial() const { return m_db ? m_serial : 0; }
    QString path() const { return m_path; }

    Sqlite3Cursor queryThrow(const Sqlite3Sql &sql);
    // Runs a statement to its end; its preparation is kept for the next
    // statement of the same text.
    void executeThrow(const Sqlite3Sql &sql);
    // A look-up of one value through the same kept statements: true when
    // the query gives a row, with its first column as an integer in value
    // (when not null). For the many small look-ups of a long job.
    bool firstInt64Throw(const Sqlite3Sql &sql, qint64 *value = nullptr);
    // A statement kept for the rest of this opening, prepared on first use
    // of its text; for the statements a long job runs for every row, bound
    // and stepped by the caller straight through SQLite's interface. The
    // caller resets it (and clears its bindings) after each use. It is
    // finalized at close, not before: the pointer stays valid as long as
    // openSerial() stays the same. Throws when not open or when the text
    // does not prepare.
    sqlite3_stmt *keptStatement(const QByteArray &sql);
    // Runs SQL text without parameters; 0 on success, else SQLite's result
    // code with its message in error. Never throws.
    int exec(const QString &sql, QString &error);

    void beginTran();
    void commitTran();
    void rollbackTran();
    bool inTran() const;
    qint64 lastInsertId() const;
    // Rows changed by the last insert, update or delete.
    int changes() const;

    // The table's columns by name (empty for a missing table).
    QMap<QString, _SqliteCol> tbInfo(const QString &table);
    // The same columns in declaration order.
    QList<_SqliteCol> tbColumns(const QString &table);

    // The last error message of the connection.
    QString lastError() const;

private:
    // Opens name (a path, or a URI with SQLITE_OPEN_URI among flags); path
    // is the file as callers know it.
    void openRaw(const QString &path, const QByteArray &name, int flags);
    static void releaseTrackedFile(const QString &path);
    sqlite3_stmt *prepareThrow(const Sqlite3Sql &sql, bool persistent);
    // The kept statement of the text, prepared on first use.
    sqlite3_stmt *cachedStatement(const Sqlite3Sql &sql);
    void execThrow(const char *sql, const char *what);
    void dropStatementCache();

    sqlite3 *m_db = nullptr;
    QString m_path;
    // Shared with the cursors of this opening; false once it is closed.
    std::shared_ptr<bool> m_alive;
    quint64 m_serial = 0;
    // Prepared statements of executeThrow, reused by SQL text.
    QHash<QByteArray, sqlite3_stmt *> m_execCache;
    // Statements of keptStatement, finalized at close only.
    QHash<QByteArray, sqlite3_stmt *> m_kept;
    ReadVia m_readVia = ReadVia::File;
    // The file whose log files this opening tracks (see close).
    QString m_trackedPath;
    std::unique_ptr<QTemporaryDir> m_privateCopy;
};
