#include "recovery/messagescans.h"

#include "store/countryinfo.h"
#include "store/countrylibdb.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagerecycledb.h"
#include "store/msgutil.h"
#include "store/progressform.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <functional>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace {

bool isKnownService(const QVariant &v)
{
    const QString s = v.toString();
    return s.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0
            || s.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

bool cancelled(const ProgressForm *form)
{
    return form && form->failed.load();
}

_SqliteCol col(const char *name, const char *type, bool notNull = false, bool hasDefault = false,
               bool pk = false)
{
    return _SqliteCol(QString::fromLatin1(name), QString::fromLatin1(type), notNull, hasDefault,
                      pk);
}

// A column list to carve with: records of at least minimum fields fit
// (the alias included), and the fields a shorter record lacks take the
// values of defaults (one per column; empty: left out).
struct CarveList
{
    QList<_SqliteCol> columns;
    int minimum = 0;
    QList<QVariant> defaults;
};

// The value of a column's declared default, as pragma table_info gives its
// SQL text: a number, a quoted text, a blob literal; NULL and anything
// that is not a constant (CURRENT_TIME and the like) as NULL.
QVariant declaredDefault(QString sql)
{
    sql = sql.trimmed();
    while (sql.size() >= 2 && sql.startsWith(QLatin1Char('(')) && sql.endsWith(QLatin1Char(')')))
        sql = sql.mid(1, sql.size() - 2).trimmed();
    if (sql.size() >= 2 && sql.startsWith(QLatin1Char('\'')) && sql.endsWith(QLatin1Char('\'')))
        return sql.mid(1, sql.size() - 2).replace(QLatin1String("''"), QLatin1String("'"));
    if (sql.size() >= 3 && (sql.startsWith(QLatin1String("x'"), Qt::CaseInsensitive))
        && sql.endsWith(QLatin1Char('\'')))
        return QByteArray::fromHex(sql.mid(2, sql.size() - 3).toLatin1());
    bool ok = false;
    const qint64 whole = sql.toLongLong(&ok);
    if (ok)
        return QVariant::fromValue<qint64>(whole);
    const double real = sql.toDouble(&ok);
    if (ok)
        return real;
    return {};
}

// Gives a record older than the table's last columns the values SQLite
// reads for its missing fields.
void completeRow(Sqlite3FileRow &row, const QList<QVariant> &defaults)
{
    for (qsizetype i = row.values.size(); i < defaults.size(); ++i)
        row.values.append(defaults[i]);
}

// The live side of a scan: the file to map and a read-only connection to it.
class ScanSource
{
public:
    explicit ScanSource(const QString &smsDbPath)
        : m_file(std::make_unique<Sqlite3File>(smsDbPath))
    {
        // Mapping first gives the reader's own clear errors for a missing or
        // damaged file before anything else is touched.
        m_file->openAndMap();
        const QString wal = smsDbPath + QLatin1String("-wal");
        const bool walMode = m_file->size() > 19 && m_file->mapBegin()[18] == 2;
        if (walMode || QFileInfo(wal).size() > 0) {
            // Fold the log into a private copy: checkpointing the phone's own
            // file would write it.
            m_tmp = std::make_unique<QTemporaryDir>();
            if (!m_tmp->isValid())
                throw std::runtime_error("cannot make a temporary folder for the scan.");
            const QString copy = m_tmp->filePath(QStringLiteral("sms.db"));
            if (!QFile::copy(smsDbPath, copy)
                || (QFile::exists(wal) && !QFile::copy(wal, copy + QLatin1String("-wal"))))
                throw std::runtime_error(QString("copy %1 failed.")
                                                 .arg(QFileInfo(smsDbPath).fileName())
                                                 .toStdString());
            QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
            QFile::setPermissions(copy + QLatin1String("-wal"),
                                  QFile::ReadOwner | QFile::WriteOwner);
            m_live.openThrow(copy, Sqlite3DB::ReadWrite);
            m_live.executeThrow(Sqlite3Sql("PRAGMA wal_checkpoint(TRUNCATE);"));
            m_file = std::make_unique<Sqlite3File>(copy);
            m_file->openAndMap();
        } else {
            m_live.openThrow(smsDbPath, Sqlite3DB::ReadOnly);
        }
        // One read transaction for the scan's many look-ups: the file is
        // locked and checked once instead of once a look-up.
        m_live.beginTran();
    }
    ~ScanSource()
    {
        try {
            if (m_live.inTran())
                m_live.rollbackTran();
        } catch (...) {
            // Closing the connection ends the transaction as well.
        }
    }
    ScanSource(const ScanSource &) = delete;
    ScanSource &operator=(const ScanSource &) = delete;

    Sqlite3File &file() { return *m_file; }
    Sqlite3DB &live() { return m_live; }

    // Root page of a table; throws when the database has no such table.
    int rootPage(const QString &table)
    {
        Sqlite3Cursor c = m_live.queryThrow(
                Sqlite3Sql("select rootpage from sqlite_master where type='table' and name=?")
                        .addTextParam(table));
        if (!c.moveNext())
            throw std::runtime_error(
                    QString("the database has no %1 table.").arg(table).toStdString());
        return c.getInt("rootpage");
    }

    // The table's columns as its CREATE statement declares them, when their
    // first one is the rowid alias the carving expects; else the fallback
    // lists, each of whose records must hold all of its columns.
    //
    // Columns added to a table (by a phone's system update, by the schema
    // upgrade of a local database) leave the records written before them as
    // they were, with fewer fields. With the table's own list a record fits
    // when it holds a leading part of the list at least as long as the
    // shortest fallback list that begins the table (the oldest layout
    // whose rows can be in the file); its missing fields take the
    // defaults the table declares, as SQLite reads them.
    QList<CarveList> columnLists(const QString &table, const QList<QList<_SqliteCol>> &fallback)
    {
        const QList<_SqliteCol> own = m_live.tbColumns(table);
        if (own.isEmpty() || !own.first().primaryKey || !own.first().isInteger()
            || std::count_if(own.begin(), own.end(), [](const _SqliteCol &c) {
                   return c.primaryKey;
               }) != 1) {
            QList<CarveList> out;
            for (const QList<_SqliteCol> &list : fallback)
                out.append({list, int(list.size()), {}});
            return out;
        }
        int minimum = int(own.size());
        for (const QList<_SqliteCol> &list : fallback) {
            if (list.size() < 2 || list.size() > own.size())
                continue;
            bool leading = true;
            for (qsizetype i = 1; i < list.size() && leading; ++i)
                leading = list[i].name.compare(own[i].name, Qt::CaseInsensitive) == 0;
            if (leading)
                minimum = qMin(minimum, int(list.size()));
        }
        QList<QVariant> defaults;
        Sqlite3Cursor c = m_live.queryThrow(
                Sqlite3Sql("select dflt_value from pragma_table_info(?)").addTextParam(table));
        while (c.moveNext())
            defaults.append(c.isNull(0) ? QVariant() : declaredDefault(c.getText(0)));
        if (defaults.size() != own.size())
            defaults.clear();
        return {CarveList {own, minimum, defaults}};
    }

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<Sqlite3File> m_file;
    Sqlite3DB m_live;
};

// The guids of the live message table as sorted 64-bit hashes (8 bytes a
// live message): a salvaged row whose guid hash is not among them is not
// live, and only the few that are need the table itself asked.
class LiveGuids
{
public:
    explicit LiveGuids(Sqlite3DB &live)
    {
        // Equal texts have equal UTF-8 bytes; in a database of another
        // encoding the table's own comparison is left to decide alone.
        {
            Sqlite3Cursor c = live.queryThrow(Sqlite3Sql("PRAGMA encoding"));
            if (!c.moveNext() || c.getText(0).compare(QLatin1String("UTF-8"), Qt::CaseInsensitive))
                return;
        }
        Sqlite3Cursor c = live.queryThrow(Sqlite3Sql("select guid from message"));
        while (c.moveNext())
            m_hashes.push_back(hashOf(c.getUtf8(0)));
        std::sort(m_hashes.begin(), m_hashes.end());
        m_usable = true;
    }
    // False only when no live row can have this guid.
    bool mayHold(const QString &guid) const
    {
        return !m_usable
                || std::binary_search(m_hashes.begin(), m_hashes.end(), hashOf(guid.toUtf8()));
    }

private:
    static quint64 hashOf(QByteArrayView utf8) { return quint64(qHash(utf8, 0)); }
    std::vector<quint64> m_hashes;
    bool m_usable = false;
};

// Runs work inside one recycle.db transaction: committed when it returns,
// rolled back when it throws. When the caller holds a transaction already
// (a command that runs several scans as one unit), the work joins it and the
// caller commits or rolls back.
void inRecycleTransaction(MessageRecycleDb &recycle, const std::function<void()> &work)
{
    if (recycle.inTransaction()) {
        work();
        return;
    }
    recycle.beginTransaction();
    try {
        work();
    } catch (...) {
        try {
            recycle.endTransaction(false);
        } catch (...) { }
        throw;
    }
    recycle.endTransaction(true);
}

// A scan that fills an empty message table: the indexes its look-ups do
// not use are made once at its end rather than grown row by row. Inside
// the scan's transaction, so that a failure or a kill leaves them as they
// were; made again on the way out of a failing scan as well, for a caller
// that commits what it has.
class MessageBulkInsert
{
public:
    explicit MessageBulkInsert(MessageRecycleDb &recycle)
        : m_recycle(recycle)
        , m_statements(recycle.setAsideScanFreeIndexes())
    { }
    ~MessageBulkInsert()
    {
        if (m_statements.isEmpty())
            return;
        try {
            m_recycle.restoreIndexes(m_statements);
        } catch (...) {
            // The transaction is rolled back, bringing them back.
        }
    }
    MessageBulkInsert(const MessageBulkInsert &) = delete;
    MessageBulkInsert &operator=(const MessageBulkInsert &) = delete;
    // Makes the indexes again; failures throw here, before the commit.
    void finish()
    {
        const QStringList statements = std::exchange(m_statements, {});
        m_recycle.restoreIndexes(statements);
    }

private:
    MessageRecycleDb &m_recycle;
    QStringList m_statements;
};

// The two phases every scan shares. cellRow gets the decoded rows of the
// table leaf pages on the freelist; carve carves one page of the list.
struct ScanPlan
{
    std::function<void(const Sqlite3FileRow &row)> cellRow;
    std::function<void(const Sqlite3FilePage &page)> carve;
};

void runPhases(Sqlite3File &file, int rootPage, ProgressForm *form, const ScanPlan &plan)
{
    QList<qint32> pages;
    // Phase 1: the freelist. Whole pages that once held rows; the cells of
    // table leaves are decoded as they stand.
    const QList<Sqlite3FileTrunk> trunks = file.freelistTrunks();
    for (const Sqlite3FileTrunk &trunk : trunks) {
        if (cancelled(form))
            break;
        pages.append(trunk.pageNumber);
        for (qint32 n : trunk.leaves) {
            if (cancelled(form))
                break;
            const Sqlite3FilePage page = file.readBtreePage(n);
            if (!page.isBtreePage()) {
                pages.append(n);
                continue;
            }
            for (const Sqlite3FilePage &leaf : file.leafPages(page)) {
                if (cancelled(form))
                    break;
                pages.append(leaf.pageNumber);
                if (leaf.pageType != Sqlite3FilePage::LeafTable)
                    continue;
                for (const uchar *cell : leaf.cells)
                    plan.cellRow(file.rowData(file.parseCell(leaf, cell)));
            }
        }
    }
    // Phase 2: carving the free space of the live table's leaves and of
    // every page met above.
    for (const Sqlite3FilePage &leaf : file.leafPages(file.readBtreePage(rootPage)))
        pages.append(leaf.pageNumber);
    const int total = pages.size();
    int counter = 0;
    int shown = -1;
    for (qint32 n : pages) {
        if (cancelled(form))
            break;
        ++counter;
        // Posted when the percentage moves, not for every page.
        const int percent = int(double(counter) / total * 100);
        if (form && percent != shown) {
            form->postUpdateProgress(QString(), percent, QString());
            shown = percent;
        }
        plan.carve(file.readBtreePage(n));
    }
}

// A column list of a scan, with what carving and converting need of it
// worked out once for every page.
struct ScanLayout
{
    explicit ScanLayout(const CarveList &list)
        : cols(list.columns)
        , carve(list.columns, list.minimum)
        , defaults(list.defaults)
    { }
    ScanColumns cols;
    Sqlite3CarveColumns carve;
    QList<QVariant> defaults;
};

std::vector<std::unique_ptr<ScanLayout>> layoutsOf(const QList<CarveList> &lists)
{
    std::vector<std::unique_ptr<ScanLayout>> out;
    for (const CarveList &list : lists)
        out.push_back(std::make_unique<ScanLayout>(list));
    return out;
}

// The rows carved from a page with a layout, each completed with the
// layout's defaults.
QList<Sqlite3FileRow> carveWith(const Sqlite3File &file, const ScanLayout &layout,
                                const Sqlite3FilePage &page, const Sqlite3RowFilter &filter);

QList<Sqlite3FileRow> carveWith(const Sqlite3File &file, const ScanLayout &layout,
                                const Sqlite3FilePage &page, const Sqlite3RowFilter &filter)
{
    QList<Sqlite3FileRow> rows = page.isBtreePage()
            ? file.carveFreeSpace(layout.carve, 0, page, filter)
            : file.carvePage(layout.carve, 0, page.pageNumber, 0, filter);
    if (!layout.defaults.isEmpty())
        for (Sqlite3FileRow &row : rows)
            completeRow(row, layout.defaults);
    return rows;
}

} // namespace

// ---------------------------------------------------------------- columns

namespace {

QByteArray foldedName(QAnyStringView name)
{
    return name.toString().toLower().toUtf8();
}

} // namespace

ScanColumns::ScanColumns(const QList<_SqliteCol> &columns)
    : m_columns(columns)
{
    for (int i = 0; i < columns.size(); ++i)
        m_index.insert(foldedName(columns[i].name), i);
}

int ScanColumns::indexOf(QAnyStringView name) const
{
    // The converters ask for their columns by short ASCII names many times
    // a row: those are folded on the stack.
    char buf[64];
    bool ascii = name.size() <= qsizetype(sizeof buf);
    qsizetype n = 0;
    if (ascii)
        name.visit([&](auto view) {
            for (auto ch : view) {
                char32_t u;
                if constexpr (std::is_same_v<std::decay_t<decltype(ch)>, QChar>)
                    u = ch.unicode();
                else
                    u = static_cast<unsigned char>(ch);
                if (u >= 0x80) {
                    ascii = false;
                    return;
                }
                buf[n++] = char(u >= 'A' && u <= 'Z' ? u + ('a' - 'A') : u);
            }
        });
    if (ascii)
        return m_index.value(QByteArray::fromRawData(buf, n), -1);
    return m_index.value(foldedName(name), -1);
}

const std::vector<int> &ScanColumns::positions(const QList<QByteArray> &names) const
{
    if (m_positionsOf != &names) {
        m_positions.clear();
        m_positions.reserve(size_t(names.size()));
        for (const QByteArray &name : names)
            m_positions.push_back(indexOf(QLatin1StringView(name)));
        m_positionsOf = &names;
    }
    return m_positions;
}

QVariant ScanColumns::value(const Sqlite3FileRow &row, QAnyStringView name) const
{
    const int i = indexOf(name);
    return i >= 0 && i < row.values.size() ? row.values[i] : QVariant();
}

QList<_SqliteCol> ios6HandleColumns()
{
    return {col("ROWID", "INTEGER", false, false, true), col("id", "TEXT", true),
            col("country", "TEXT"), col("service", "TEXT", true),
            col("uncanonicalized_id", "TEXT")};
}

QList<_SqliteCol> ios6MessageColumns38()
{
    QList<_SqliteCol> c = {col("ROWID", "INTEGER", false, false, true),
                           col("guid", "TEXT", true),
                           col("text", "TEXT"),
                           col("replace", "INTEGER", false, true),
                           col("service_center", "TEXT"),
                           col("handle_id", "INTEGER", false, true),
                           col("subject", "TEXT"),
                           col("country", "TEXT"),
                           col("attributedBody", "BLOB"),
                           col("version", "INTEGER", false, true),
                           col("type", "INTEGER", false, true),
                           col("service", "TEXT"),
                           col("account", "TEXT"),
                           col("account_guid", "TEXT"),
                           col("error", "INTEGER", false, true),
                           col("date", "INTEGER"),
                           col("date_read", "INTEGER"),
                           col("date_delivered", "INTEGER")};
    for (const char *flag : {"is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty",
                             "is_delayed", "is_auto_reply", "is_prepared", "is_read",
                             "is_system_message", "is_sent", "has_dd_results", "is_service_message",
                             "is_forward", "was_downgraded", "is_archive", "cache_has_attachments"})
        c.append(col(flag, "INTEGER", false, true));
    c.append(col("cache_roomnames", "TEXT"));
    c.append(col("was_data_detected", "INTEGER", false, true));
    c.append(col("was_deduplicated", "INTEGER", false, true));
    return c;
}

QList<_SqliteCol> ios6MessageColumns51()
{
    QList<_SqliteCol> c = ios6MessageColumns38();
    c << col("is_audio_message", "INTEGER", false, true) << col("is_played", "INTEGER", false, true)
      << col("date_played", "INTEGER") << col("item_type", "INTEGER", false, true)
      << col("other_handle", "INTEGER", false, true) << col("group_title", "TEXT")
      << col("group_action_type", "INTEGER", false, true)
      << col("share_status", "INTEGER", false, true)
      << col("share_direction", "INTEGER", false, true)
      << col("is_expirable", "INTEGER", false, true) << col("expire_state", "INTEGER", false, true)
      << col("message_action_type", "INTEGER", false, true)
      << col("message_source", "INTEGER", false, true);
    return c;
}

QList<_SqliteCol> ios5MessageColumns(int count)
{
    static const char *const names[][2] = {
            {"ROWID", "INTEGER"},
            {"address", "TEXT"},
            {"date", "INTEGER"},
            {"text", "TEXT"},
            {"flags", "INTEGER"},
            {"replace", "INTEGER"},
            {"svc_center", "TEXT"},
            {"group_id", "INTEGER"},
            {"association_id", "INTEGER"},
            {"height", "INTEGER"},
            {"UIFlags", "INTEGER"},
            {"version", "INTEGER"},
            {"subject", "TEXT"},
            {"country", "TEXT"},
            {"headers", "BLOB"},
            {"recipients", "BLOB"},
            {"read", "INTEGER"},
            {"madrid_attributedBody", "BLOB"},
            {"madrid_handle", "TEXT"},
            {"madrid_version", "INTEGER"},
            {"madrid_guid", "TEXT"},
            {"madrid_type", "INTEGER"},
            {"madrid_roomname", "TEXT"},
            {"madrid_service", "TEXT"},
            {"madrid_account", "TEXT"},
            {"madrid_flags", "INTEGER"},
            {"madrid_attachmentInfo", "BLOB"},
            {"madrid_url", "TEXT"},
            {"madrid_error", "INTEGER"},
            {"is_madrid", "INTEGER"},
            {"madrid_date_read", "INTEGER"},
            {"madrid_date_delivered", "INTEGER"},
            {"madrid_account_guid", "TEXT"},
    };
    QList<_SqliteCol> c;
    for (int i = 0; i < count && i < 33; ++i)
        c.append(col(names[i][0], names[i][1], false, false, i == 0));
    return c;
}

// ---------------------------------------------------------------- filters

bool isHandleServiceRow(const Sqlite3FileRow *row)
{
    return row && row->values.size() > 4 && isKnownService(row->values[3]);
}

bool isMessageServiceRow(const Sqlite3FileRow *row)
{
    return row && row->values.size() > 37 && isKnownService(row->values[11]);
}

namespace {

bool ios5RowPasses(const Sqlite3FileRow &row, const ScanColumns &cols)
{
    // NULL reads as 0, as the phone's own readers take it.
    if (cols.indexOf("read") < 0 || cols.indexOf("UIFlags") < 0)
        return false;
    const qint64 r = cols.value(row, "read").toLongLong();
    const qint64 f = cols.value(row, "UIFlags").toLongLong();
    if ((r != 0 && r != 1) || (f != 0 && f != 4 && f != 5 && f != 6))
        return false;
    const QVariant madrid = cols.value(row, "is_madrid");
    return !madrid.isValid() || madrid.toLongLong() == 0 || madrid.toLongLong() == 1;
}

_CountryInfo countryFor(CountryLibDb &countries, const QString &code, bool useCurrent, bool *ok)
{
    *ok = true;
    if (code.isEmpty())
        return useCurrent ? countries.country() : _CountryInfo();
    bool found = false;
    const _CountryInfo c = countryBySn(countries, code, &found);
    *ok = found;
    return c;
}

} // namespace

bool acceptIOS5MessageRow(const Sqlite3FileRow *row)
{
    static const ScanColumns cols(ios5MessageColumns(33));
    return row && row->values.size() > 16 && ios5RowPasses(*row, cols);
}

// ---------------------------------------------------------------- converters

bool ios6RowToHandle(const Sqlite3FileRow &row, const ScanColumns &cols, CountryLibDb &countries,
                     _MsgHandle &handle)
{
    if (row.values.size() <= 4)
        return false;
    handle.ROWID = row.rowid;
    handle.id = cols.value(row, "id").toString();
    handle.country = cols.value(row, "country").toString();
    bool ok = false;
    const _CountryInfo country = countryFor(countries, handle.country, false, &ok);
    if (!ok)
        return false;
    handle.id = normalizeNumber(country, handle.id);
    handle.service = cols.value(row, "service").toString();
    if (handle.id.isEmpty() || !isKnownService(handle.service))
        return false;
    handle.uncanonicalized_id = cols.value(row, "uncanonicalized_id").toString();
    return true;
}

namespace {

// The columns the iOS 6 message converter reads, in one order.
enum Ios6MessageField {
    F_guid,
    F_text,
    F_replace,
    F_service_center,
    F_handle_id,
    F_subject,
    F_country,
    F_attributedBody,
    F_version,
    F_type,
    F_service,
    F_account,
    F_account_guid,
    F_error,
    F_date,
    F_date_read,
    F_date_delivered,
    F_is_delivered,
    F_is_finished,
    F_is_emote,
    F_is_from_me,
    F_is_empty,
    F_is_delayed,
    F_is_auto_reply,
    F_is_prepared,
    F_is_read,
    F_is_system_message,
    F_is_sent,
    F_has_dd_results,
    F_is_service_message,
    F_is_forward,
    F_was_downgraded,
    F_is_archive,
    F_cache_has_attachments,
    F_cache_roomnames,
    F_was_data_detected,
    F_was_deduplicated,
    F_is_audio_message,
    F_is_played,
    F_date_played,
    F_item_type,
    F_other_handle,
    F_group_title,
    F_group_action_type,
    F_share_status,
    F_share_direction,
    F_is_expirable,
    F_expire_state,
    F_message_action_type,
};
const QList<QByteArray> kIos6MessageFields = {
        "guid",
        "text",
        "replace",
        "service_center",
        "handle_id",
        "subject",
        "country",
        "attributedBody",
        "version",
        "type",
        "service",
        "account",
        "account_guid",
        "error",
        "date",
        "date_read",
        "date_delivered",
        "is_delivered",
        "is_finished",
        "is_emote",
        "is_from_me",
        "is_empty",
        "is_delayed",
        "is_auto_reply",
        "is_prepared",
        "is_read",
        "is_system_message",
        "is_sent",
        "has_dd_results",
        "is_service_message",
        "is_forward",
        "was_downgraded",
        "is_archive",
        "cache_has_attachments",
        "cache_roomnames",
        "was_data_detected",
        "was_deduplicated",
        "is_audio_message",
        "is_played",
        "date_played",
        "item_type",
        "other_handle",
        "group_title",
        "group_action_type",
        "share_status",
        "share_direction",
        "is_expirable",
        "expire_state",
        "message_action_type",
};

} // namespace

bool ios6RowToMessage(const Sqlite3FileRow &row, const ScanColumns &cols, _MsgMessage &m)
{
    if (row.values.size() <= 37)
        return false;
    // The columns' positions, looked up once for the column list.
    const std::vector<int> &at = cols.positions(kIos6MessageFields);
    static const QVariant missing;
    auto field = [&](Ios6MessageField f) -> const QVariant & {
        const int i = at[size_t(f)];
        return i >= 0 && i < row.values.size() ? row.values[i] : missing;
    };
    auto text = [&](Ios6MessageField f) { return field(f).toString(); };
    auto num = [&](Ios6MessageField f, qint32 dflt) {
        const QVariant &v = field(f);
        return v.isValid() ? qint32(v.toLongLong()) : dflt;
    };
    auto date = [&](Ios6MessageField f) {
        const QVariant &v = field(f);
        return v.isValid() ? iosDateFromColumn(v.toLongLong()) : 0;
    };
    m.ROWID = row.rowid;
    m.guid = text(F_guid);
    m.text = text(F_text);
    m.replace = num(F_replace, 0);
    m.service_center = text(F_service_center);
    m.handle_id = field(F_handle_id).toLongLong();
    m.subject = text(F_subject);
    m.country = text(F_country);
    m.attributedBody = field(F_attributedBody).toByteArray();
    m.version = num(F_version, 0);
    m.type = num(F_type, 0);
    m.service = text(F_service);
    if (!isKnownService(m.service))
        return false;
    m.account = text(F_account);
    m.account_guid = text(F_account_guid);
    m.error = num(F_error, 0);
    m.date = date(F_date);
    m.date_read = date(F_date_read);
    m.date_delivered = date(F_date_delivered);
    m.is_delivered = num(F_is_delivered, 0);
    m.is_finished = num(F_is_finished, 0);
    m.is_emote = num(F_is_emote, 0);
    m.is_from_me = num(F_is_from_me, 0);
    m.is_empty = num(F_is_empty, 0);
    m.is_delayed = num(F_is_delayed, 0);
    m.is_auto_reply = num(F_is_auto_reply, 0);
    m.is_prepared = num(F_is_prepared, 0);
    m.is_read = num(F_is_read, 0);
    m.is_system_message = num(F_is_system_message, 0);
    m.is_sent = num(F_is_sent, 0);
    m.has_dd_results = num(F_has_dd_results, 0);
    m.is_service_message = num(F_is_service_message, 0);
    m.is_forward = num(F_is_forward, 0);
    m.was_downgraded = num(F_was_downgraded, 0);
    m.is_archive = num(F_is_archive, 0);
    m.cache_has_attachments = num(F_cache_has_attachments, 0);
    m.cache_roomnames = text(F_cache_roomnames);
    m.was_data_detected = num(F_was_data_detected, 0);
    m.was_deduplicated = num(F_was_deduplicated, 0);
    m.is_audio_message = num(F_is_audio_message, 0);
    m.is_played = num(F_is_played, 0);
    m.date_played = date(F_date_played);
    m.item_type = num(F_item_type, 0);
    m.other_handle = num(F_other_handle, -1);
    m.group_title = text(F_group_title);
    m.group_action_type = num(F_group_action_type, 0);
    m.share_status = num(F_share_status, 0);
    m.share_direction = num(F_share_direction, 0);
    m.is_expirable = num(F_is_expirable, 0);
    m.expire_state = num(F_expire_state, 0);
    m.message_action_type = num(F_message_action_type, 0);
    return true;
}

bool ios5RowToMessage(const Sqlite3FileRow &row, const ScanColumns &cols, CountryLibDb &countries,
                      _MsgRecycleMessage &m)
{
    if (row.values.size() <= 16 || !ios5RowPasses(row, cols))
        return false;
    auto v = [&](const char *n) { return cols.value(row, QLatin1String(n)); };
    m.ROWID = row.rowid;
    m.replace = qint32(v("replace").toLongLong());
    m.text = v("text").toString();
    m.service_center = v("svc_center").toString();
    m.subject = v("subject").toString();
    m.country = v("country").toString();
    bool ok = false;
    const _CountryInfo country = countryFor(countries, m.country, true, &ok);
    if (!ok)
        return false;
    m.version = qint32(v("version").toLongLong());
    m.type = 0;
    m.handle_id = 0;
    m.is_finished = m.is_prepared = m.is_read = m.is_sent = m.was_data_detected = 1;
    m.is_delivered = m.is_emote = m.is_empty = m.is_delayed = m.is_auto_reply = 0;
    m.is_system_message = m.has_dd_results = m.is_service_message = m.is_forward = 0;
    m.was_downgraded = m.is_archive = m.cache_has_attachments = m.was_deduplicated = 0;

    bool imessage = false;
    const QVariant madrid = v("is_madrid");
    if (madrid.isValid()) {
        const qint64 k = madrid.toLongLong();
        if (k == 1) {
            imessage = true;
        } else if (k == 0) {
            // An SMS row has none of the iMessage columns set.
            for (int i = 17; i < cols.columns().size() && i < row.values.size(); ++i) {
                const QString name = cols.columns()[i].name;
                if (name.startsWith(QLatin1String("madrid_"), Qt::CaseInsensitive)
                    && name.compare(QLatin1String("madrid_account_guid"), Qt::CaseInsensitive) != 0
                    && !row.values[i].isNull())
                    return false;
            }
        } else {
            return false;
        }
    }
    qint64 date = 0;
    if (!imessage) {
        m.guid = newGuid();
        m.service = QStringLiteral("SMS");
        m.account = QStringLiteral("e:");
        m.error = 0;
        date = v("date").toLongLong() - kIosEpochOffset;
        m.is_from_me = v("flags").toLongLong() == 3 ? 1 : 0;
        const QString address = v("address").toString();
        if (address.isEmpty())
            return false;
        m.chat_identifier = normalizeNumber(country, address);
        m.handleAddress = m.chat_identifier;
    } else {
        if (v("madrid_service").toString() != QLatin1String("Madrid"))
            return false;
        m.guid = v("madrid_guid").toString();
        m.service = QStringLiteral("iMessage");
        m.account = v("madrid_account").toString();
        m.account_guid = v("madrid_account_guid").toString();
        m.error = qint32(v("madrid_error").toLongLong());
        date = v("date").toLongLong();
        m.date_read = iosDateFromColumn(v("madrid_date_read").toLongLong());
        m.date_delivered = iosDateFromColumn(v("madrid_date_delivered").toLongLong());
        m.is_from_me = m.date_delivered > 0 ? 1 : 0;
        m.handleAddress = normalizeNumber(country, v("madrid_handle").toString());
        const QString room = v("madrid_roomname").toString();
        m.chat_identifier = room.isEmpty() ? m.handleAddress : room;
    }
    const qint64 now = QDateTime::currentSecsSinceEpoch() - kIosEpochOffset;
    if (date <= 0 || date > now)
        return false;
    m.date = qint32(date);
    if (!imessage)
        m.date_read = m.date_delivered = m.date;
    return true;
}

// ---------------------------------------------------------------- iOS 6

void scanDeletedHandles(IOS6MessageDb &db, ProgressForm *form)
{
    ScanSource source(db.smsDbPath());
    Sqlite3File &file = source.file();
    const int root = source.rootPage(QStringLiteral("handle"));
    const QList<CarveList> lists
            = source.columnLists(QStringLiteral("handle"), {ios6HandleColumns()});
    MessageRecycleDb &recycle = db.recycleStore();
    CountryLibDb &countries = db.countryLib();

    auto store = [&](const _MsgHandle &h) {
        if (recycle.findRecycledHandle(h) == 0)
            recycle.insertRecycledHandle(h, h.ROWID);
    };
    inRecycleTransaction(recycle, [&] {
        ScanPlan plan;
        const ScanColumns liveCols(lists.first().columns);
        plan.cellRow = [&](const Sqlite3FileRow &cell) {
            Sqlite3FileRow row = cell;
            completeRow(row, lists.first().defaults);
            _MsgHandle h;
            if (ios6RowToHandle(row, liveCols, countries, h))
                store(h);
        };
        const auto layouts = layoutsOf(lists);
        plan.carve = [&](const Sqlite3FilePage &page) {
            QList<_MsgHandle> kept;
            for (const auto &layout : layouts) {
                if (cancelled(form))
                    break;
                const ScanColumns &cols = layout->cols;
                const int service = cols.indexOf("service");
                const auto filter = [service](const Sqlite3FileRow *r) {
                    return service >= 0 && r->values.size() > service
                            && isKnownService(r->values[service]);
                };
                for (const Sqlite3FileRow &row : carveWith(file, *layout, page, filter)) {
                    _MsgHandle h;
                    if (ios6RowToHandle(row, cols, countries, h))
                        kept.append(h);
                }
            }
            for (const _MsgHandle &h : kept) {
                if (cancelled(form))
                    break;
                store(h);
            }
        };
        runPhases(file, root, form, plan);
    });
}

void scanDeletedMessages(IOS6MessageDb &db, const QList<_MsgChat *> &chats, ProgressForm *form)
{
    ScanSource source(db.smsDbPath());
    Sqlite3File &file = source.file();
    const int root = source.rootPage(QStringLiteral("message"));
    const QList<CarveList> lists = source.columnLists(
            QStringLiteral("message"), {ios6MessageColumns38(), ios6MessageColumns51()});
    MessageRecycleDb &recycle = db.recycleStore();

    // The live conversation of each handle: a one-to-one chat wins over
    // group chats, among group chats the first.
    QHash<qint64, _MsgChat *> chatOfHandle;
    for (_MsgChat *chat : chats) {
        if (!chat)
            continue;
        for (const _MsgHandle *h : std::as_const(chat->handles)) {
            if (!h)
                continue;
            if (!chat->isGroup() || !chatOfHandle.contains(h->ROWID))
                chatOfHandle.insert(h->ROWID, chat);
        }
    }

    const LiveGuids liveGuids(source.live());
    auto isLive = [&](const _MsgMessage &m) {
        if (m.guid.isEmpty() || !liveGuids.mayHold(m.guid))
            return false;
        return source.live().firstInt64Throw(
                Sqlite3Sql("select rowid from message where guid=?").addTextParam(m.guid));
    };
    // The salvaged handles by their sms.db rowid; none are stored while
    // messages are scanned.
    QHash<qint64, _MsgHandle> recycledHandles;
    auto recycledHandle = [&](qint64 srcRowid) -> const _MsgHandle & {
        auto it = recycledHandles.constFind(srcRowid);
        if (it == recycledHandles.constEnd())
            it = recycledHandles.insert(srcRowid, recycle.recycledHandleBySrcRowid(srcRowid));
        return it.value();
    };
    auto store = [&](const _MsgMessage &m, qint64 chatSrcRowid) {
        if (m.item_type != 0 || isLive(m) || recycle.findRecycledMessage(m) != 0)
            return;
        _MsgChat *chat = chatOfHandle.value(m.handle_id, nullptr);
        if (chat) {
            const QString handle = chat->handles.isEmpty() || !chat->handles.first()
                    ? QString()
                    : chat->handles.first()->id;
            recycle.insertRecycledMessage(m, chat->chat_identifier, handle, chatSrcRowid);
        } else {
            const _MsgHandle &h = recycledHandle(m.handle_id);
            recycle.insertRecycledMessage(m, h.id, h.id, m.ROWID);
        }
    };

    inRecycleTransaction(recycle, [&] {
        ScanPlan plan;
        const CarveList &live = lists.size() == 1
                ? lists.first()
                : CarveList {ios6MessageColumns51(), 0, {}};
        const ScanColumns liveCols(live.columns);
        plan.cellRow = [&](const Sqlite3FileRow &cell) {
            Sqlite3FileRow row = cell;
            completeRow(row, live.defaults);
            _MsgMessage m;
            if (ios6RowToMessage(row, liveCols, m))
                store(m, m.ROWID);
        };
        const auto layouts = layoutsOf(lists);
        plan.carve = [&](const Sqlite3FilePage &page) {
            QList<_MsgMessage> kept;
            for (const auto &layout : layouts) {
                const ScanColumns &cols = layout->cols;
                const int service = cols.indexOf("service");
                const int minimum = std::max(38, service + 1);
                const auto filter = [service, minimum](const Sqlite3FileRow *r) {
                    return service >= 0 && r->values.size() >= minimum
                            && isKnownService(r->values[service]);
                };
                for (const Sqlite3FileRow &row : carveWith(file, *layout, page, filter)) {
                    _MsgMessage m;
                    if (ios6RowToMessage(row, cols, m) && m.item_type == 0)
                        kept.append(m);
                }
            }
            for (const _MsgMessage &m : kept) {
                if (cancelled(form))
                    break;
                // A carved row's rowid is 0 unless the cell start survived.
                store(m, 0);
            }
        };
        MessageBulkInsert bulk(recycle);
        runPhases(file, root, form, plan);
        bulk.finish();
    });
}

// ---------------------------------------------------------------- iOS 5

void scanDeletedMessages(IOS5MessageDb &db, ProgressForm *form)
{
    ScanSource source(db.smsDbPath());
    Sqlite3File &file = source.file();
    const int root = source.rootPage(QStringLiteral("message"));
    const QList<QList<_SqliteCol>> fallback
            = {ios5MessageColumns(33), ios5MessageColumns(32), ios5MessageColumns(17)};
    QList<CarveList> lists = source.columnLists(QStringLiteral("message"), fallback);
    // The table's own columns serve only when they hold what the converter reads.
    if (lists.size() == 1) {
        const ScanColumns own(lists.first().columns);
        for (const char *needed : {"address", "date", "text", "flags", "UIFlags", "read"})
            if (own.indexOf(QLatin1String(needed)) < 0) {
                lists.clear();
                for (const QList<_SqliteCol> &list : fallback)
                    lists.append({list, int(list.size()), {}});
                break;
            }
    }
    MessageRecycleDb &recycle = db.recycleStore();
    CountryLibDb &countries = db.countryLib();
    const ScanColumns liveCols(lists.first().columns);
    const QList<QVariant> liveDefaults = lists.first().defaults;
    const QMap<QString, _SqliteCol> liveTable = source.live().tbInfo(QStringLiteral("message"));
    auto liveHas = [&](const char *name) {
        for (auto it = liveTable.cbegin(); it != liveTable.cend(); ++it)
            if (it.key().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return true;
        return false;
    };
    const bool hasMadridGuid = liveHas("madrid_guid");
    const bool canMatchSms = liveHas("address") && liveHas("date");

    // A row still in the live table: the same iMessage guid, or an SMS with
    // the same address and date to the second. Text and direction are not
    // compared: a stale copy carved from a damaged record can come back with
    // a cut text or wrong flags, and must not pass for a deleted message.
    auto isLive = [&](const Sqlite3FileRow &row, const ScanColumns &cols,
                      const _MsgRecycleMessage &m) {
        if (m.service == QLatin1String("iMessage")) {
            if (!hasMadridGuid || m.guid.isEmpty())
                return false;
            return source.live().firstInt64Throw(
                    Sqlite3Sql("select rowid from message where madrid_guid=?")
                            .addTextParam(m.guid));
        }
        if (!canMatchSms)
            return false;
        return source.live().firstInt64Throw(
                Sqlite3Sql("select rowid from message where address=? and date=?")
                        .addTextParam(cols.value(row, "address").toString())
                        .addInt64Param(cols.value(row, "date").toLongLong()));
    };
    auto store = [&](const _MsgRecycleMessage &m) {
        if (recycle.findRecycledMessage(m) == 0)
            recycle.insertRecycledMessage(m, m.chat_identifier, m.handleAddress, m.ROWID);
    };

    inRecycleTransaction(recycle, [&] {
        ScanPlan plan;
        plan.cellRow = [&](const Sqlite3FileRow &cell) {
            Sqlite3FileRow row = cell;
            completeRow(row, liveDefaults);
            _MsgRecycleMessage m;
            if (ios5RowToMessage(row, liveCols, countries, m) && !isLive(row, liveCols, m))
                store(m);
        };
        const auto layouts = layoutsOf(lists);
        plan.carve = [&](const Sqlite3FilePage &page) {
            QList<_MsgRecycleMessage> results;
            for (const auto &layout : layouts) {
                if (cancelled(form))
                    break;
                const ScanColumns &cols = layout->cols;
                const auto filter = [&cols](const Sqlite3FileRow *r) {
                    return r->values.size() > 16 && ios5RowPasses(*r, cols);
                };
                const QList<Sqlite3FileRow> carved = carveWith(file, *layout, page, filter);
                if (carved.isEmpty())
                    continue;
                bool all = true;
                for (const Sqlite3FileRow &row : carved) {
                    _MsgRecycleMessage m;
                    if (ios5RowToMessage(row, cols, countries, m)) {
                        if (!isLive(row, cols, m))
                            results.append(m);
                    } else {
                        all = false;
                    }
                }
                if (all)
                    break;
            }
            for (const _MsgRecycleMessage &m : results) {
                if (cancelled(form))
                    break;
                store(m);
            }
        };
        MessageBulkInsert bulk(recycle);
        runPhases(file, root, form, plan);
        bulk.finish();
    });
}
