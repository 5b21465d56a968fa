#include "store/sqlite3db.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QMutex>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>

#include <atomic>
#include <cstring>
#include <type_traits>

int sqlite_qt_version()
{
    return 5;
}

Sqlite3Exception::Sqlite3Exception(const QString &what, int code)
    : std::runtime_error(what.toUtf8().toStdString())
    , m_code(code)
{ }

namespace {

// How long a commit waits, in all, for readers on other connections.
constexpr qint64 kCommitPatienceMs = 60000;

QString dbMessage(sqlite3 *db, int rc)
{
    if (db)
        return QString::fromUtf8(sqlite3_errmsg(db));
    return QString::fromUtf8(sqlite3_errstr(rc));
}

[[noreturn]] void fail(const QString &what, sqlite3 *db, int rc)
{
    throw Sqlite3Exception(QStringLiteral("%1: %2").arg(what, dbMessage(db, rc)), rc);
}

[[noreturn]] void failNotOpen(const char *what)
{
    throw Sqlite3Exception(QStringLiteral("%1: database is not open").arg(QLatin1String(what)),
                           SQLITE_MISUSE);
}

QString sqlForMessage(const Sqlite3Sql &sql)
{
    QString text = sql.sql().simplified();
    if (text.size() > 200)
        text = text.left(200) + QStringLiteral("...");
    return text;
}

// Binds every parameter; the bytes must outlive the statement's next step.
void bindParams(sqlite3_stmt *stmt, const std::vector<Sqlite3Sql::Param> &params,
                const Sqlite3Sql &sql)
{
    const int expected = sqlite3_bind_parameter_count(stmt);
    if (expected != int(params.size()))
        throw Sqlite3Exception(QStringLiteral("bind parameters failed: the statement takes %1, "
                                              "%2 given (%3)")
                                       .arg(expected)
                                       .arg(params.size())
                                       .arg(sqlForMessage(sql)),
                               SQLITE_RANGE);
    for (int i = 0; i < expected; ++i) {
        const Sqlite3Sql::Param &p = params[size_t(i)];
        int rc = SQLITE_OK;
        switch (p.kind) {
        case Sqlite3Sql::Param::Null:
            rc = sqlite3_bind_null(stmt, i + 1);
            break;
        case Sqlite3Sql::Param::Int:
            rc = sqlite3_bind_int(stmt, i + 1, int(p.i));
            break;
        case Sqlite3Sql::Param::Int64:
            rc = sqlite3_bind_int64(stmt, i + 1, p.i);
            break;
        case Sqlite3Sql::Param::Double:
            rc = sqlite3_bind_double(stmt, i + 1, p.d);
            break;
        case Sqlite3Sql::Param::Text:
            // An empty text is bound as '' (a null pointer would bind NULL).
            rc = sqlite3_bind_text(stmt, i + 1, p.bytes.isEmpty() ? "" : p.bytes.constData(),
                                   int(p.bytes.size()), SQLITE_STATIC);
            break;
        case Sqlite3Sql::Param::Blob:
            rc = sqlite3_bind_blob(stmt, i + 1, p.bytes.isEmpty() ? "" : p.bytes.constData(),
                                   int(p.bytes.size()), SQLITE_STATIC);
            break;
        }
        if (rc != SQLITE_OK)
            fail(QStringLiteral("bind parameter %1 failed (%2)").arg(i + 1).arg(sqlForMessage(sql)),
                 sqlite3_db_handle(stmt), rc);
    }
}

bool onlySpaceOrSemicolons(const char *p, const char *end)
{
    for (; p < end && *p; ++p) {
        if (*p != ';' && *p != ' ' && *p != '\t' && *p != '\n' && *p != '\r')
            return false;
    }
    return true;
}

// Column-name matching ignores ASCII letter case; names are folded once per
// statement and looked up through a small open-addressing table.
inline unsigned char foldAscii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

inline quint32 fnvStep(quint32 h, unsigned char c)
{
    return (h ^ c) * 16777619u;
}

constexpr quint32 kFnvSeed = 2166136261u;
constexpr int kMaxFastName = 128;

} // namespace

// ---------------------------------------------------------------- _SqliteCol

_SqliteCol::_SqliteCol(const QString &name, const QString &type, bool notNull, bool hasDefault,
                       bool primaryKey)
    : name(name)
    , type(type)
    , notNull(notNull)
    , hasDefault(hasDefault)
    , primaryKey(primaryKey)
{ }

namespace {
enum class Affinity { Integer, Text, Blob, Real, Numeric };

Affinity affinityOf(const QString &declared)
{
    const QString t = declared.toUpper();
    if (t.contains(QLatin1String("INT")))
        return Affinity::Integer;
    if (t.contains(QLatin1String("CHAR")) || t.contains(QLatin1String("CLOB"))
        || t.contains(QLatin1String("TEXT")))
        return Affinity::Text;
    if (t.contains(QLatin1String("BLOB")) || t.trimmed().isEmpty())
        return Affinity::Blob;
    if (t.contains(QLatin1String("REAL")) || t.contains(QLatin1String("FLOA"))
        || t.contains(QLatin1String("DOUB")))
        return Affinity::Real;
    return Affinity::Numeric;
}
} // namespace

bool _SqliteCol::isInteger() const
{
    return affinityOf(type) == Affinity::Integer;
}

bool _SqliteCol::isReal() const
{
    return affinityOf(type) == Affinity::Real;
}

bool _SqliteCol::isText() const
{
    return affinityOf(type) == Affinity::Text;
}

bool _SqliteCol::isBlob() const
{
    return affinityOf(type) == Affinity::Blob;
}

bool _SqliteCol::isNumeric() const
{
    const Affinity a = affinityOf(type);
    return a == Affinity::Integer || a == Affinity::Real || a == Affinity::Numeric;
}

// ---------------------------------------------------------------- Sqlite3Sql

Sqlite3Sql::Sqlite3Sql(const char *sql)
    : m_sql(sql)
{ }

Sqlite3Sql::Sqlite3Sql(const QString &sql)
    : m_sql(sql.toUtf8())
{ }

Sqlite3Sql &Sqlite3Sql::appendSql(const QString &sql)
{
    m_sql += sql.toUtf8();
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addTextParam(const QString &value)
{
    Param p;
    p.kind = Param::Text;
    p.bytes = value.toUtf8();
    m_params.push_back(std::move(p));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addIntParam(int value)
{
    Param p;
    p.kind = Param::Int;
    p.i = value;
    m_params.push_back(std::move(p));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addInt64Param(qint64 value)
{
    Param p;
    p.kind = Param::Int64;
    p.i = value;
    m_params.push_back(std::move(p));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addBlobParam(const QByteArray &value)
{
    Param p;
    p.kind = Param::Blob;
    p.bytes = value;
    m_params.push_back(std::move(p));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addDoubleParam(double value)
{
    Param p;
    p.kind = Param::Double;
    p.d = value;
    m_params.push_back(std::move(p));
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addNullParam()
{
    m_params.push_back(Param());
    return *this;
}

Sqlite3Sql &Sqlite3Sql::addVariantParam(const QVariant &value)
{
    if (!value.isValid())
        return addNullParam();
    switch (value.typeId()) {
    case QMetaType::Nullptr:
        return addNullParam();
    case QMetaType::Bool:
        return addIntParam(value.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
        return addIntParam(value.toInt());
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return addInt64Param(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return addDoubleParam(value.toDouble());
    case QMetaType::QByteArray:
        return addBlobParam(value.toByteArray());
    default:
        return addTextParam(value.toString());
    }
}

// ---------------------------------------------------------------- Sqlite3Row

namespace {
// Appends name quoted as an identifier, its quotes doubled.
void appendQuoted(QString &out, const QString &name)
{
    out += QLatin1Char('"');
    if (name.contains(QLatin1Char('"')))
        out += QString(name).replace(QLatin1Char('"'), QLatin1String("\"\""));
    else
        out += name;
    out += QLatin1Char('"');
}
} // namespace

Sqlite3Sql Sqlite3Row::insertSql(const QString &table, const QSet<QString> &excluded) const
{
    QString text;
    text.reserve(32 + 24 * size());
    text += QLatin1String("insert into ");
    appendQuoted(text, table);
    QList<const_iterator> kept;
    kept.reserve(size());
    for (auto it = constBegin(); it != constEnd(); ++it) {
        if (excluded.contains(it.key()))
            continue;
        text += kept.isEmpty() ? QLatin1Char('(') : QLatin1Char(',');
        appendQuoted(text, it.key());
        kept.append(it);
    }
    if (kept.isEmpty()) {
        text += QLatin1String(" default values");
    } else {
        text += QLatin1String(") values(?");
        for (qsizetype i = 1; i < kept.size(); ++i)
            text += QLatin1String(",?");
        text += QLatin1Char(')');
    }
    Sqlite3Sql sql(text);
    for (const const_iterator &it : kept)
        sql.addVariantParam(it.value());
    return sql;
}

// ---------------------------------------------------------------- Sqlite3Cursor

struct Sqlite3Cursor::State
{
    enum Status { Before, OnRow, Done };

    sqlite3_stmt *stmt = nullptr;
    std::shared_ptr<bool> alive; // the connection's, false once closed
    Sqlite3Sql sql; // keeps the bound bytes alive
    Status status = Before;
    int rowsRead = 0;
    int rowCount = -1;
    int columns = 0;
    QList<QString> names;
    QList<QByteArray> folded; // ASCII-lower-cased UTF-8 names
    std::vector<int> table; // open addressing: column index + 1, 0 = empty
    std::vector<quint32> tableHashes;
    quint32 mask = 0;
    // The columns of getRow's map in key order, the first of equal names
    // only; made on first use.
    std::vector<int> rowOrder;
    bool rowOrderReady = false;

    const std::vector<int> &rowColumns()
    {
        if (!rowOrderReady) {
            rowOrder.clear();
            rowOrder.reserve(size_t(columns));
            for (int i = 0; i < columns; ++i)
                rowOrder.push_back(i);
            // By name, and among equal names the first column first.
            std::stable_sort(rowOrder.begin(), rowOrder.end(),
                             [this](int a, int b) { return names[a] < names[b]; });
            rowOrder.erase(std::unique(rowOrder.begin(), rowOrder.end(),
                                       [this](int a, int b) { return names[a] == names[b]; }),
                           rowOrder.end());
            rowOrderReady = true;
        }
        return rowOrder;
    }

    ~State()
    {
        if (stmt)
            sqlite3_finalize(stmt);
    }

    void init()
    {
        columns = sqlite3_column_count(stmt);
        names.reserve(columns);
        folded.reserve(columns);
        quint32 size = 8;
        while (size < quint32(columns) * 2)
            size *= 2;
        mask = size - 1;
        table.assign(size, 0);
        tableHashes.assign(size, 0);
        for (int i = 0; i < columns; ++i) {
            const char *n = sqlite3_column_name(stmt, i);
            const QByteArray utf8 = n ? QByteArray(n) : QByteArray();
            names.append(QString::fromUtf8(utf8));
            QByteArray f = utf8;
            quint32 h = kFnvSeed;
            for (char &c : f) {
                c = char(foldAscii(uchar(c)));
                h = fnvStep(h, uchar(c));
            }
            folded.append(f);
            // The first column of a name wins, as SQLite's own lookups do.
            quint32 s = h & mask;
            bool dup = false;
            while (table[s]) {
                if (tableHashes[s] == h && folded[table[s] - 1] == f) {
                    dup = true;
                    break;
                }
                s = (s + 1) & mask;
            }
            if (!dup) {
                table[s] = i + 1;
                tableHashes[s] = h;
            }
        }
    }

    int find(const char *name, int len, quint32 h) const
    {
        quint32 s = h & mask;
        while (int idx = table[s]) {
            if (tableHashes[s] == h) {
                const QByteArray &f = folded[idx - 1];
                if (f.size() == len && std::memcmp(f.constData(), name, size_t(len)) == 0)
                    return idx - 1;
            }
            s = (s + 1) & mask;
        }
        return -1;
    }

    int lookup(QAnyStringView column) const
    {
        char buf[kMaxFastName];
        int len = 0;
        quint32 h = kFnvSeed;
        bool fast = column.size() <= kMaxFastName;
        if (fast) {
            column.visit([&](auto view) {
                for (auto ch : view) {
                    quint32 u;
                    if constexpr (std::is_same_v<std::decay_t<decltype(ch)>, QChar>)
                        u = ch.unicode();
                    else
                        u = static_cast<unsigned char>(ch);
                    if (u >= 0x80) {
                        fast = false;
                        return;
                    }
                    const unsigned char c = foldAscii(static_cast<unsigned char>(u));
                    buf[len++] = char(c);
                    h = fnvStep(h, c);
                }
            });
        }
        if (fast)
            return find(buf, len, h);
        // Names outside ASCII: compare as text.
        const QString wanted = column.toString();
        for (int i = 0; i < columns; ++i) {
            if (names[i].compare(wanted, Qt::CaseInsensitive) == 0)
                return i;
        }
        return -1;
    }
};

Sqlite3Cursor::Sqlite3Cursor(std::shared_ptr<State> state)
    : d(std::move(state))
{ }

namespace {
[[noreturn]] void failClosed(const Sqlite3Sql &sql)
{
    throw Sqlite3Exception(QStringLiteral("read query result failed: the database was closed (%1)")
                                   .arg(sqlForMessage(sql)),
                           SQLITE_MISUSE);
}
} // namespace

bool Sqlite3Cursor::moveNext()
{
    if (!d)
        return false;
    if (!*d->alive) {
        d->status = State::Done;
        failClosed(d->sql);
    }
    if (d->status == State::Done)
        return false;
    const int rc = sqlite3_step(d->stmt);
    if (rc == SQLITE_ROW) {
        d->status = State::OnRow;
        ++d->rowsRead;
        return true;
    }
    d->status = State::Done;
    if (rc == SQLITE_DONE)
        return false;
    sqlite3 *db = sqlite3_db_handle(d->stmt);
    const QString msg = dbMessage(db, rc);
    sqlite3_reset(d->stmt);
    throw Sqlite3Exception(
            QStringLiteral("read query result failed: %1 (%2)").arg(msg, sqlForMessage(d->sql)),
            rc);
}

int Sqlite3Cursor::rowColumn(QAnyStringView column) const
{
    if (!d || d->status != State::OnRow || !*d->alive)
        return -1;
    return d->lookup(column);
}

int Sqlite3Cursor::columnIndex(QAnyStringView column) const
{
    return d ? d->lookup(column) : -1;
}

int Sqlite3Cursor::columnCount() const
{
    return d ? d->columns : 0;
}

QString Sqlite3Cursor::columnName(int index) const
{
    if (!d || index < 0 || index >= d->columns)
        return QString();
    return d->names[index];
}

QString Sqlite3Cursor::getText(QAnyStringView column) const
{
    const int i = rowColumn(column);
    if (i < 0)
        return QString();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(d->stmt, i));
    if (!text)
        return QString();
    return QString::fromUtf8(text, sqlite3_column_bytes(d->stmt, i));
}

int Sqlite3Cursor::getInt(QAnyStringView column) const
{
    const int i = rowColumn(column);
    return i < 0 ? 0 : sqlite3_column_int(d->stmt, i);
}

qint64 Sqlite3Cursor::getInt64(QAnyStringView column) const
{
    const int i = rowColumn(column);
    return i < 0 ? 0 : sqlite3_column_int64(d->stmt, i);
}

double Sqlite3Cursor::getDouble(QAnyStringView column) const
{
    const int i = rowColumn(column);
    return i < 0 ? 0.0 : sqlite3_column_double(d->stmt, i);
}

QByteArray Sqlite3Cursor::getBlob(QAnyStringView column) const
{
    const int i = rowColumn(column);
    if (i < 0)
        return QByteArray();
    const void *data = sqlite3_column_blob(d->stmt, i);
    const int n = sqlite3_column_bytes(d->stmt, i);
    if (!data || n <= 0)
        return QByteArray();
    return QByteArray(static_cast<const char *>(data), n);
}

bool Sqlite3Cursor::isNull(QAnyStringView column) const
{
    const int i = rowColumn(column);
    return i < 0 || sqlite3_column_type(d->stmt, i) == SQLITE_NULL;
}

qint64 Sqlite3Cursor::getInt64(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return 0;
    return sqlite3_column_int64(d->stmt, index);
}

int Sqlite3Cursor::getInt(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return 0;
    return sqlite3_column_int(d->stmt, index);
}

QString Sqlite3Cursor::getText(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return QString();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(d->stmt, index));
    if (!text)
        return QString();
    return QString::fromUtf8(text, sqlite3_column_bytes(d->stmt, index));
}

QByteArrayView Sqlite3Cursor::getUtf8(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return QByteArrayView();
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(d->stmt, index));
    if (!text)
        return QByteArrayView();
    return QByteArrayView(text, sqlite3_column_bytes(d->stmt, index));
}

QByteArray Sqlite3Cursor::getBlob(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return QByteArray();
    const void *data = sqlite3_column_blob(d->stmt, index);
    const int n = sqlite3_column_bytes(d->stmt, index);
    if (!data || n <= 0)
        return QByteArray();
    return QByteArray(static_cast<const char *>(data), n);
}

QVariant Sqlite3Cursor::value(int index) const
{
    if (!d || d->status != State::OnRow || !*d->alive || index < 0 || index >= d->columns)
        return QVariant();
    sqlite3_stmt *s = d->stmt;
    switch (sqlite3_column_type(s, index)) {
    case SQLITE_INTEGER:
        return QVariant(qint64(sqlite3_column_int64(s, index)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(s, index));
    case SQLITE_TEXT: {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(s, index));
        return QVariant(QString::fromUtf8(text, sqlite3_column_bytes(s, index)));
    }
    case SQLITE_BLOB: {
        const void *data = sqlite3_column_blob(s, index);
        const int n = sqlite3_column_bytes(s, index);
        // A zero-length blob stays a (non-null, empty) blob.
        return QVariant(n > 0 ? QByteArray(static_cast<const char *>(data), n) : QByteArray("", 0));
    }
    default:
        return QVariant();
    }
}

Sqlite3Row Sqlite3Cursor::getRow() const
{
    Sqlite3Row row;
    if (!d || d->status != State::OnRow || !*d->alive)
        return row;
    // The first of several equally named columns wins; the columns come in
    // key order, so each goes in at the end of the map.
    for (int i : d->rowColumns())
        row.insert(row.cend(), d->names[i], value(i));
    return row;
}

int Sqlite3Cursor::count()
{
    if (!d)
        return 0;
    if (d->rowCount >= 0)
        return d->rowCount;
    if (!*d->alive)
        failClosed(d->sql);
    sqlite3_stmt *s = d->stmt;
    sqlite3_reset(s);
    int n = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW)
        ++n;
    if (rc != SQLITE_DONE) {
        const QString msg = dbMessage(sqlite3_db_handle(s), rc);
        sqlite3_reset(s);
        d->status = State::Done;
        throw Sqlite3Exception(
                QStringLiteral("count query rows failed: %1 (%2)").arg(msg, sqlForMessage(d->sql)),
                rc);
    }
    sqlite3_reset(s);
    d->rowCount = n;
    // Back to where the caller was.
    if (d->status != State::Done) {
        for (int i = 0; i < d->rowsRead; ++i) {
            if (sqlite3_step(s) != SQLITE_ROW) {
                d->status = State::Done;
                break;
            }
        }
    }
    return n;
}

// ---------------------------------------------------------------- Sqlite3DB

Sqlite3DB::Sqlite3DB() = default;

Sqlite3DB::~Sqlite3DB()
{
    close();
}

namespace {

// Connections of this process by file, so that the last one to close tidies
// the log files the first one made.
QMutex &openFilesMutex()
{
    static QMutex mutex;
    return mutex;
}

struct OpenFile
{
    int connections = 0;
    // Which log files were there when the first of them opened.
    bool hadWal = false;
    bool hadShm = false;
};

QHash<QString, OpenFile> &openFiles()
{
    static QHash<QString, OpenFile> files;
    return files;
}

bool isReadOnlyFailure(int rc)
{
    return (rc & 0xff) == SQLITE_READONLY || (rc & 0xff) == SQLITE_CANTOPEN;
}

} // namespace

void Sqlite3DB::openThrow(const QString &path, int mode)
{
    close();
    const QString what = QStringLiteral("open database %1 failed").arg(path);
    if (mode != ReadOnly && mode != ReadWrite && mode != ReadWriteCreate)
        throw Sqlite3Exception(QStringLiteral("%1: invalid open mode %2").arg(what).arg(mode),
                               SQLITE_MISUSE);
    if (path.isEmpty())
        throw Sqlite3Exception(QStringLiteral("%1: no file name").arg(what), SQLITE_CANTOPEN);
    openRaw(path, path.toUtf8(), mode);
}

void Sqlite3DB::openUnchangedThrow(const QString &path)
{
    close();
    if (path.isEmpty())
        throw Sqlite3Exception(QStringLiteral("open database failed: no file name"),
                               SQLITE_CANTOPEN);
    try {
        openRaw(path, path.toUtf8(), SQLITE_OPEN_READONLY);
        return;
    } catch (const Sqlite3Exception &e) {
        if (!isReadOnlyFailure(e.code()) || !QFileInfo(path).isFile())
            throw;
        qInfo().noquote() << QStringLiteral("Read-only open of %1 failed (%2).")
                                     .arg(path, QString::fromUtf8(e.what()));
    }
    const QString what = QStringLiteral("open database %1 failed").arg(path);
    const QString abs = QFileInfo(path).absoluteFilePath();
    if (!QFileInfo::exists(path + QLatin1String("-wal"))) {
        // Nothing beside the file: the file alone is the whole database.
        const QByteArray uri = "file:" + QUrl::toPercentEncoding(abs, "/") + "?immutable=1";
        openRaw(path, uri, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        m_readVia = ReadVia::Immutable;
        qInfo().noquote() << QStringLiteral("Reading %1 as an immutable file.").arg(path);
        return;
    }
    // A log whose wal-index cannot be made here: read both from a copy.
    auto dir = std::make_unique<QTemporaryDir>();
    if (!dir->isValid())
        throw Sqlite3Exception(QStringLiteral("%1: no temporary folder for a private copy")
                                       .arg(what),
                               SQLITE_CANTOPEN);
    const QString copy = dir->filePath(QStringLiteral("copy.db"));
    if (!QFile::copy(path, copy)
        || !QFile::copy(path + QLatin1String("-wal"), copy + QLatin1String("-wal")))
        throw Sqlite3Exception(QStringLiteral("%1: cannot make a private copy").arg(what),
                               SQLITE_CANTOPEN);
    openRaw(copy, copy.toUtf8(), SQLITE_OPEN_READONLY);
    m_path = path;
    m_privateCopy = std::move(dir);
    m_readVia = ReadVia::PrivateCopy;
    qInfo().noquote() << QStringLiteral("Reading %1 from a private copy in %2.")
                                 .arg(path, m_privateCopy->path());
}

void Sqlite3DB::openRaw(const QString &path, const QByteArray &name, int flags)
{
    const QString what = QStringLiteral("open database %1 failed").arg(path);
    const bool plainFile = !(flags & SQLITE_OPEN_URI);
    const QString tracked = plainFile ? QFileInfo(path).absoluteFilePath() : QString();
    if (plainFile) {
        QMutexLocker lock(&openFilesMutex());
        OpenFile &f = openFiles()[tracked];
        if (f.connections++ == 0) {
            f.hadWal = QFileInfo::exists(tracked + QLatin1String("-wal"));
            f.hadShm = QFileInfo::exists(tracked + QLatin1String("-shm"));
        }
    }
    sqlite3 *db = nullptr;
    // A connection is used by one thread at a time (the GUI thread, or the
    // one worker it starts and waits for), so SQLite's per-connection mutex
    // is left out: it would be taken on every bind, step and column read.
    int rc = sqlite3_open_v2(name.constData(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, 5000);
        // Reading the schema refuses a file that is not a database here
        // rather than at the first statement.
        rc = sqlite3_exec(db, "select count(*) from sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        const QString msg = dbMessage(db, rc);
        sqlite3_close_v2(db);
        if (plainFile)
            releaseTrackedFile(tracked);
        throw Sqlite3Exception(QStringLiteral("%1: %2").arg(what, msg), rc);
    }
    m_db = db;
    m_path = path;
    m_readVia = ReadVia::File;
    m_trackedPath = tracked;
    m_alive = std::make_shared<bool>(true);
    static std::atomic<quint64> serials {0};
    m_serial = ++serials;
}

void Sqlite3DB::releaseTrackedFile(const QString &path)
{
    QMutexLocker lock(&openFilesMutex());
    auto it = openFiles().find(path);
    if (it == openFiles().end())
        return;
    if (--it->connections > 0)
        return;
    const bool hadWal = it->hadWal, hadShm = it->hadShm;
    openFiles().erase(it);
    // The last connection of the process: a log that holds nothing and the
    // wal-index this process made are not left beside a file that had none.
    const QString wal = path + QLatin1String("-wal");
    const QString shm = path + QLatin1String("-shm");
    if (!hadWal && QFileInfo(wal).isFile() && QFileInfo(wal).size() == 0)
        QFile::remove(wal);
    if (!hadShm && QFileInfo(shm).isFile())
        QFile::remove(shm);
}

void Sqlite3DB::close()
{
    if (!m_db)
        return;
    // End the cursors: a statement left running would hold its read lock
    // (and the abandoned transaction's) until the cursor is destroyed.
    *m_alive = false;
    m_alive.reset();
    for (sqlite3_stmt *s = sqlite3_next_stmt(m_db, nullptr); s; s = sqlite3_next_stmt(m_db, s))
        sqlite3_reset(s);
    if (!sqlite3_get_autocommit(m_db))
        sqlite3_exec(m_db, "rollback", nullptr, nullptr, nullptr);
    dropStatementCache();
    for (sqlite3_stmt *s : std::as_const(m_kept))
        sqlite3_finalize(s);
    m_kept.clear();
    // The cursors' statements keep the connection object until they go.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
    if (!m_trackedPath.isEmpty())
        releaseTrackedFile(m_trackedPath);
    m_trackedPath.clear();
    m_privateCopy.reset();
    m_readVia = ReadVia::File;
}

void Sqlite3DB::dropStatementCache()
{
    for (sqlite3_stmt *s : std::as_const(m_execCache))
        sqlite3_finalize(s);
    m_execCache.clear();
}

sqlite3_stmt *Sqlite3DB::prepareThrow(const Sqlite3Sql &sql, bool persistent)
{
    const QByteArray &text = sql.sqlUtf8();
    sqlite3_stmt *stmt = nullptr;
    const char *tail = nullptr;
    const int rc = sqlite3_prepare_v3(m_db, text.constData(), int(text.size()),
                                      persistent ? SQLITE_PREPARE_PERSISTENT : 0, &stmt, &tail);
    if (rc != SQLITE_OK) {
        const QString msg = dbMessage(m_db, rc);
        sqlite3_finalize(stmt);
        throw Sqlite3Exception(QStringLiteral("SQL error: %1 (%2)").arg(msg, sqlForMessage(sql)),
                               rc);
    }
    if (!stmt)
        throw Sqlite3Exception(QStringLiteral("SQL error: empty statement"), SQLITE_MISUSE);
    if (!onlySpaceOrSemicolons(tail, text.constData() + text.size())) {
        sqlite3_finalize(stmt);
        throw Sqlite3Exception(
                QStringLiteral("SQL error: more than one statement (%1)").arg(sqlForMessage(sql)),
                SQLITE_MISUSE);
    }
    return stmt;
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql &sql)
{
    if (!m_db)
        failNotOpen("query");
    auto state = std::make_shared<Sqlite3Cursor::State>();
    state->stmt = prepareThrow(sql, false);
    state->alive = m_alive;
    state->sql = sql;
    bindParams(state->stmt, state->sql.params(), state->sql);
    state->init();
    return Sqlite3Cursor(std::move(state));
}

sqlite3_stmt *Sqlite3DB::keptStatement(const QByteArray &sql)
{
    if (!m_db)
        failNotOpen("prepare");
    sqlite3_stmt *&slot = m_kept[sql];
    if (!slot) {
        try {
            slot = prepareThrow(Sqlite3Sql(QString::fromUtf8(sql)), true);
        } catch (...) {
            m_kept.remove(sql);
            throw;
        }
    }
    return slot;
}

sqlite3_stmt *Sqlite3DB::cachedStatement(const Sqlite3Sql &sql)
{
    sqlite3_stmt *stmt = m_execCache.value(sql.sqlUtf8(), nullptr);
    if (!stmt) {
        stmt = prepareThrow(sql, true);
        if (m_execCache.size() >= 64)
            dropStatementCache();
        m_execCache.insert(sql.sqlUtf8(), stmt);
    }
    return stmt;
}

namespace {

// Leaves a cached statement ready for its next use.
struct ResetAfterUse
{
    sqlite3_stmt *s;
    ~ResetAfterUse()
    {
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
    }
};

} // namespace

void Sqlite3DB::executeThrow(const Sqlite3Sql &sql)
{
    if (!m_db)
        failNotOpen("execute");
    sqlite3_stmt *stmt = cachedStatement(sql);
    ResetAfterUse reset {stmt};
    bindParams(stmt, sql.params(), sql);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) { }
    if (rc != SQLITE_DONE)
        fail(QStringLiteral("SQL error (%1)").arg(sqlForMessage(sql)), m_db, rc);
}

bool Sqlite3DB::firstInt64Throw(const Sqlite3Sql &sql, qint64 *value)
{
    if (!m_db)
        failNotOpen("query");
    sqlite3_stmt *stmt = cachedStatement(sql);
    ResetAfterUse reset {stmt};
    bindParams(stmt, sql.params(), sql);
    const int rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
        if (value)
            *value = sqlite3_column_count(stmt) > 0 ? sqlite3_column_int64(stmt, 0) : 0;
        return true;
    }
    if (rc != SQLITE_DONE)
        fail(QStringLiteral("SQL error (%1)").arg(sqlForMessage(sql)), m_db, rc);
    return false;
}

int Sqlite3DB::exec(const QString &sql, QString &error)
{
    if (!m_db) {
        error = QStringLiteral("database is not open");
        return SQLITE_MISUSE;
    }
    char *msg = nullptr;
    const int rc = sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &msg);
    if (rc != SQLITE_OK)
        error = QString::fromUtf8(msg ? msg : sqlite3_errstr(rc));
    sqlite3_free(msg);
    return rc;
}

void Sqlite3DB::execThrow(const char *sql, const char *what)
{
    if (!m_db)
        failNotOpen(what);
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        fail(QStringLiteral("%1 failed").arg(QLatin1String(what)), m_db, rc);
}

void Sqlite3DB::beginTran()
{
    execThrow("begin", "begin transaction");
}

void Sqlite3DB::commitTran()
{
    if (!m_db)
        failNotOpen("commit transaction");
    // A reader on another connection (another window or running copy of
    // the program showing this database) may hold the file for longer than
    // one busy wait: the commit waits for it rather than throwing away a
    // whole run at its end. A commit refused as busy leaves the
    // transaction open, so it is simply tried again.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const int rc = sqlite3_exec(m_db, "commit", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK)
            return;
        if ((rc & 0xff) != SQLITE_BUSY || !inTran() || waited.elapsed() >= kCommitPatienceMs)
            fail(QStringLiteral("commit transaction failed"), m_db, rc);
    }
}

void Sqlite3DB::rollbackTran()
{
    execThrow("rollback", "roll back transaction");
}

bool Sqlite3DB::inTran() const
{
    return m_db && !sqlite3_get_autocommit(m_db);
}

qint64 Sqlite3DB::lastInsertId() const
{
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}

int Sqlite3DB::changes() const
{
    return m_db ? sqlite3_changes(m_db) : 0;
}

QString Sqlite3DB::lastError() const
{
    return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QString();
}

QList<_SqliteCol> Sqlite3DB::tbColumns(const QString &table)
{
    Sqlite3Sql sql("select name, type, \"notnull\", dflt_value, pk from pragma_table_info(?)");
    sql.addTextParam(table);
    Sqlite3Cursor c = queryThrow(sql);
    QList<_SqliteCol> cols;
    while (c.moveNext()) {
        cols.append(_SqliteCol(c.getText("name"), c.getText("type"), c.getInt("notnull") != 0,
                               !c.isNull("dflt_value"), c.getInt("pk") != 0));
    }
    return cols;
}

QMap<QString, _SqliteCol> Sqlite3DB::tbInfo(const QString &table)
{
    QMap<QString, _SqliteCol> map;
    for (const _SqliteCol &col : tbColumns(table))
        map.insert(col.name, col);
    return map;
}
