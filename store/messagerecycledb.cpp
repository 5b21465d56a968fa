#include "store/messagerecycledb.h"

#include "store/msgutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

const QRegularExpression &guidPattern()
{
    static const QRegularExpression re(QStringLiteral("^[a-zA-Z0-9]{8}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-"
                                                      "9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{12}$"));
    return re;
}

// Negation that cannot overflow.
qint64 negated(qint64 v)
{
    return v == std::numeric_limits<qint64>::min() ? std::numeric_limits<qint64>::max() : -v;
}

// -(h + base) for a handle_id read from salvaged data, which may hold any
// value: negative or huge ids start at -base instead of wrapping around.
qint64 recoveredRowid(qint64 handleId, qint64 base, qint64 maxHandleId)
{
    if (handleId < 0 || handleId > maxHandleId)
        handleId = 0;
    return -(handleId + base);
}

// Highest handle_id whose conversation row id stays above -kUnknownChatBase.
constexpr qint64 kMaxChatHandleId = kUnknownChatBase - kRecoveredChatBase - 1;
// Keeps -(h + kUnknownChatBase) far from the end of the 64-bit range.
constexpr qint64 kMaxUnknownHandleId = std::numeric_limits<qint64>::max() / 2;

// The first row id at or below start that neither the chats nor the handles
// of the set use, not going below floor.
qint64 freeRowid(const _MsgDataSet &set, qint64 start, qint64 floor)
{
    for (qint64 id = start; id >= floor; --id) {
        if (!set.chats.contains(id) && !set.handles.contains(id))
            return id;
    }
    throw std::runtime_error("MessageRecycleDb: no free row id for a recovered conversation");
}

qint64 floorFor(qint64 rowid)
{
    return rowid > -kUnknownChatBase ? -kUnknownChatBase + 1
                                     : std::numeric_limits<qint64>::min() + 1;
}

_MsgChat *newRecoveredIMessageChat(_MsgDataSet &set, qint64 rowid, const QString &ident,
                                   const _MsgMessage &r)
{
    rowid = freeRowid(set, rowid, floorFor(rowid));
    auto *chat = new _MsgChat;
    chat->ROWID = rowid;
    chat->lastDate = 0;
    chat->style = 45;
    chat->state = 3;
    chat->guid = QStringLiteral("iMessage;-;%1").arg(ident);
    chat->chat_identifier = ident;
    chat->service_name = QStringLiteral("iMessage");
    chat->account_id = guidPattern().match(r.account_guid).hasMatch() ? r.account_guid
                                                                      : md5Guid(ident.toUtf8());
    chat->account_login = r.account;
    set.chats.insert(rowid, chat);
    auto *handle = new _MsgHandle;
    handle->ROWID = rowid;
    handle->service = QStringLiteral("iMessage");
    handle->id = ident;
    set.handles.insert(rowid, handle);
    chat->handles.insert(ident, handle);
    return chat;
}

} // namespace

MessageRecycleDb::MessageRecycleDb(const QString &path)
    : m_path(path)
{ }

MessageRecycleDb::~MessageRecycleDb()
{
    for (Kept &k : m_kept)
        sqlite3_finalize(k.stmt);
}

sqlite3_stmt *MessageRecycleDb::keptStatement(KeptSlot slot, const char *sql)
{
    Kept &k = m_kept[slot];
    if (k.stmt && k.serial == openSerial())
        return k.stmt;
    // The connection a stale statement belongs to stays until it goes.
    sqlite3_finalize(k.stmt);
    k.stmt = nullptr;
    sqlite3_stmt *stmt = nullptr;
    const int rc = sqlite3_prepare_v3(handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        throw Sqlite3Exception(
                QStringLiteral("prepare failed (%1): %2").arg(QLatin1String(sql), lastError()), rc);
    }
    k.stmt = stmt;
    k.serial = openSerial();
    return stmt;
}

namespace {

// Binds the values of one run of a kept statement in order and runs it;
// the statement is reset afterwards, whatever happens.
class KeptRun
{
public:
    KeptRun(sqlite3_stmt *stmt, const char *sql)
        : m_stmt(stmt)
        , m_sql(sql)
    { }
    ~KeptRun()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    KeptRun(const KeptRun &) = delete;
    KeptRun &operator=(const KeptRun &) = delete;

    // An empty text is bound as '' (a null pointer would bind NULL).
    KeptRun &text(const QString &value)
    {
        if (m_texts >= kTexts)
            throw std::logic_error("KeptRun: too many texts");
        const QByteArray &utf8 = m_utf8[m_texts++] = value.toUtf8();
        return check(sqlite3_bind_text(m_stmt, ++m_index, utf8.isEmpty() ? "" : utf8.constData(),
                                       int(utf8.size()), SQLITE_STATIC));
    }
    // An empty text as NULL.
    KeptRun &optionalText(const QString &value)
    {
        return value.isEmpty() ? null() : text(value);
    }
    KeptRun &integer(int value) { return check(sqlite3_bind_int(m_stmt, ++m_index, value)); }
    KeptRun &integer64(qint64 value)
    {
        return check(sqlite3_bind_int64(m_stmt, ++m_index, value));
    }
    KeptRun &blob(const QByteArray &value)
    {
        return check(sqlite3_bind_blob(m_stmt, ++m_index, value.isEmpty() ? "" : value.constData(),
                                       int(value.size()), SQLITE_STATIC));
    }
    KeptRun &null() { return check(sqlite3_bind_null(m_stmt, ++m_index)); }

    // Steps once: true on a row (its first column in value).
    bool step(qint64 *value = nullptr)
    {
        if (m_index != sqlite3_bind_parameter_count(m_stmt))
            throw std::logic_error("KeptRun: parameters left unbound");
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) {
            if (value)
                *value = sqlite3_column_int64(m_stmt, 0);
            return true;
        }
        if (rc != SQLITE_DONE)
            fail(rc);
        return false;
    }

private:
    KeptRun &check(int rc)
    {
        if (rc != SQLITE_OK)
            fail(rc);
        return *this;
    }
    [[noreturn]] void fail(int rc)
    {
        QString sql = QString::fromLatin1(m_sql).simplified();
        if (sql.size() > 200)
            sql = sql.left(200) + QStringLiteral("...");
        throw Sqlite3Exception(
                QStringLiteral("SQL error (%1): %2")
                        .arg(sql, QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_stmt)))),
                rc);
    }

    static constexpr int kTexts = 16;
    sqlite3_stmt *m_stmt;
    const char *m_sql;
    int m_index = 0;
    int m_texts = 0;
    QByteArray m_utf8[kTexts];
};

} // namespace

QString MessageRecycleDb::schemaScript()
{
    return QStringLiteral(
            "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
            "NULL, text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER "
            "DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT "
            "0, type INTEGER DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, error "
            "INTEGER DEFAULT 0, date INTEGER, date_read INTEGER, date_delivered INTEGER, "
            "is_delivered INTEGER DEFAULT 0, is_finished INTEGER DEFAULT 0, is_emote INTEGER "
            "DEFAULT 0, is_from_me INTEGER DEFAULT 0, is_empty INTEGER DEFAULT 0, is_delayed "
            "INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, "
            "is_read INTEGER DEFAULT 0, is_system_message INTEGER DEFAULT 0, is_sent INTEGER "
            "DEFAULT 0, has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0, "
            "is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, is_archive INTEGER "
            "DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames TEXT, "
            "was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0, "
            "chat_identifier TEXT, handle TEXT, src_rowid INTEGER, is_skip INTEGER NOT NULL "
            "DEFAULT 0);"
            "CREATE INDEX message_idx_chat_identifier ON message(is_skip, chat_identifier, date);"
            "CREATE INDEX message_idx_chat_date ON message(date);"
            "CREATE INDEX message_idx_handle_id ON message(handle_id);"
            "CREATE INDEX message_idx_src_rowid ON message(src_rowid);"
            "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
            "NULL, style INTEGER, state INTEGER, account_id TEXT, properties BLOB, "
            "chat_identifier TEXT, service_name TEXT, room_name TEXT, account_login TEXT, "
            "is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name TEXT, "
            "src_rowid INTEGER);"
            "CREATE INDEX chat_idx_identifier ON chat(chat_identifier);"
            "CREATE INDEX chat_idx_src_rowid ON chat(src_rowid);"
            "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT "
            "NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT, src_rowid "
            "INTEGER, UNIQUE (id, service));"
            "CREATE INDEX handle_idx_src_rowid ON handle(src_rowid);");
}

void MessageRecycleDb::createSchema(bool removeFileOnFailure)
{
    // One transaction: either the whole schema is there or nothing is.
    const QByteArray script = ("BEGIN;" + schemaScript() + "COMMIT;").toUtf8();
    char *msg = nullptr;
    int rc = sqlite3_exec(handle(), script.constData(), nullptr, nullptr, &msg);
    if (rc == SQLITE_OK)
        return;
    const QString error = QString::fromLatin1(msg ? msg : sqlite3_errstr(rc));
    sqlite3_free(msg);
    close(); // rolls the transaction back
    if (removeFileOnFailure) {
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            QFile::remove(m_path + QLatin1String(suffix));
    }
    throw std::runtime_error(
            QStringLiteral("create MessageRecycleDb error. %1").arg(error).toUtf8().toStdString());
}

void MessageRecycleDb::ensureOpen()
{
    if (isOpen())
        return;
    if (QFileInfo::exists(m_path)) {
        openThrow(m_path, 2);
        // A file without any table (left by an interrupted creation of an
        // older release) gets the schema now instead of failing every query.
        bool empty;
        try {
            Sqlite3Cursor c = queryThrow(
                    Sqlite3Sql("select count(*) as n from sqlite_master where type='table'"));
            empty = c.moveNext() && c.getInt64("n") == 0;
        } catch (...) {
            close();
            throw;
        }
        if (empty)
            createSchema(false);
        return;
    }
    openThrow(m_path, 6);
    createSchema(true);
}

QStringList MessageRecycleDb::setAsideScanFreeIndexes()
{
    ensureOpen();
    if (!inTransaction())
        throw std::logic_error("MessageRecycleDb: indexes are set aside only inside a transaction");
    if (firstInt64Throw(Sqlite3Sql("select rowid from message limit 1")))
        return {};
    // The look-ups of a scan go by guid (its unique index stays) and by
    // date; the others are only read once the scan is over.
    QStringList statements;
    {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql(
                "select name, sql from sqlite_master where type='index' and tbl_name='message' "
                "and sql is not null and name in ('message_idx_chat_identifier', "
                "'message_idx_handle_id', 'message_idx_src_rowid') order by rowid"));
        QStringList names;
        while (c.moveNext()) {
            names << c.getText(0);
            statements << c.getText(1);
        }
        c = Sqlite3Cursor();
        for (const QString &name : std::as_const(names))
            runDdl(QStringLiteral("DROP INDEX \"%1\"").arg(name));
    }
    return statements;
}

void MessageRecycleDb::restoreIndexes(const QStringList &statements)
{
    for (const QString &sql : statements)
        runDdl(sql);
}

void MessageRecycleDb::runDdl(const QString &sql)
{
    QString error;
    if (exec(sql, error) != SQLITE_OK)
        throw std::runtime_error(
                QStringLiteral("MessageRecycleDb: %1").arg(error).toUtf8().toStdString());
}

qint64 MessageRecycleDb::insertRecycledHandle(const _MsgHandle &handle, qint64 srcRowid)
{
    ensureOpen();
    Sqlite3Row row;
    row.insert(QStringLiteral("id"), handle.id);
    row.insert(QStringLiteral("country"), handle.country);
    row.insert(QStringLiteral("service"), handle.service);
    row.insert(QStringLiteral("uncanonicalized_id"), handle.uncanonicalized_id);
    if (srcRowid > 0)
        row.insert(QStringLiteral("src_rowid"), srcRowid);
    return insertRow(row, QStringLiteral("handle"));
}

qint64 MessageRecycleDb::insertRecycledMessage(const _MsgMessage &m, const QString &chatIdentifier,
                                               const QString &handle, qint64 srcRowid)
{
    ensureOpen();
    // One statement for every row, prepared once: an empty optional value is
    // bound as NULL, which is its default.
    static const char sql[] =
            "insert into message(guid,text,\"replace\",service_center,handle_id,subject,country,"
            "attributedBody,version,type,service,account,account_guid,error,date,date_read,"
            "date_delivered,is_delivered,is_finished,is_emote,is_from_me,is_empty,is_delayed,"
            "is_auto_reply,is_prepared,is_read,is_system_message,is_sent,has_dd_results,"
            "is_service_message,is_forward,was_downgraded,is_archive,cache_has_attachments,"
            "cache_roomnames,was_data_detected,was_deduplicated,chat_identifier,handle,src_rowid) "
            "values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)";
    KeptRun run(keptStatement(InsertMessage, sql), sql);
    run.text(guidPattern().match(m.guid).hasMatch() ? m.guid : newGuid());
    run.text(m.text);
    run.integer(m.replace);
    run.optionalText(m.service_center);
    run.integer64(m.handle_id);
    run.optionalText(m.subject);
    run.optionalText(m.country);
    if (m.attributedBody.isEmpty())
        run.null();
    else
        run.blob(m.attributedBody);
    for (qint32 v : {m.version, m.type})
        run.integer(v);
    for (const QString *v : {&m.service, &m.account, &m.account_guid})
        run.text(*v);
    for (qint32 v : {m.error, m.date, m.date_read, m.date_delivered, m.is_delivered, m.is_finished,
                     m.is_emote, m.is_from_me, m.is_empty, m.is_delayed, m.is_auto_reply,
                     m.is_prepared, m.is_read, m.is_system_message, m.is_sent, m.has_dd_results,
                     m.is_service_message, m.is_forward, m.was_downgraded, m.is_archive})
        run.integer(v);
    run.integer(sortedAttachments(m).isEmpty() ? 0 : 1);
    run.text(m.cache_roomnames);
    run.integer(m.was_data_detected);
    run.integer(m.was_deduplicated);
    run.text(chatIdentifier);
    run.text(handle);
    if (srcRowid > 0)
        run.integer64(srcRowid);
    else
        run.null();
    run.step();
    return lastInsertId();
}

qint64 MessageRecycleDb::findRecycledHandle(const _MsgHandle &handle)
{
    ensureOpen();
    Sqlite3Sql sql("select rowid from handle where id=? and service=?");
    sql.addTextParam(handle.id).addTextParam(handle.service);
    qint64 rowid = 0;
    return firstInt64Throw(sql, &rowid) ? rowid : 0;
}

qint64 MessageRecycleDb::findRecycledMessage(const _MsgMessage &m)
{
    ensureOpen();
    // A text stored as NULL and an empty one are the same text; a plain
    // "text=?" never matches NULL, and rescans would store such rows again.
    static const char sql[] = "select rowid from message where guid=? or (date=? and "
                              "is_from_me=? and ifnull(text,'')=?)";
    KeptRun run(keptStatement(FindMessage, sql), sql);
    run.text(m.guid).integer(m.date).integer(m.is_from_me).text(m.text);
    qint64 rowid = 0;
    return run.step(&rowid) ? rowid : 0;
}

void MessageRecycleDb::setRecycledMessageChat(const _MsgMessage &message,
                                              const QString &chatIdentifier, const QString &handle)
{
    qint64 rowid = findRecycledMessage(message);
    if (rowid == 0)
        return;
    Sqlite3Sql sql("update message set chat_identifier=?, handle=? where rowid=?");
    sql.addTextParam(chatIdentifier).addTextParam(handle).addInt64Param(rowid);
    executeThrow(sql);
}

bool MessageRecycleDb::deleteRecycledMessage(const _MsgMessage &message)
{
    const qint64 rowid = recycleRowidOf(message);
    if (rowid <= 0)
        return false;
    ensureOpen();
    executeThrow(Sqlite3Sql("delete from message where rowid=?").addInt64Param(rowid));
    return changes() > 0;
}

_MsgHandle MessageRecycleDb::recycledHandleBySrcRowid(qint64 srcRowid)
{
    ensureOpen();
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select src_rowid, id, service, uncanonicalized_id "
                                            "from handle where src_rowid=?")
                                         .addInt64Param(srcRowid));
    _MsgHandle h;
    if (c.moveNext()) {
        h.ROWID = c.getInt64("src_rowid");
        h.id = c.getText("id");
        h.service = c.getText("service");
        h.uncanonicalized_id = c.getText("uncanonicalized_id");
    }
    return h;
}

namespace {

// Positions of the stored message columns in a query, looked up once.
struct RecycledMessageColumns
{
    explicit RecycledMessageColumns(const Sqlite3Cursor &c)
        : rowid(c.columnIndex("rowid"))
        , guid(c.columnIndex("guid"))
        , text(c.columnIndex("text"))
        , replace(c.columnIndex("replace"))
        , service_center(c.columnIndex("service_center"))
        , handle_id(c.columnIndex("handle_id"))
        , subject(c.columnIndex("subject"))
        , country(c.columnIndex("country"))
        , attributedBody(c.columnIndex("attributedBody"))
        , version(c.columnIndex("version"))
        , type(c.columnIndex("type"))
        , service(c.columnIndex("service"))
        , account(c.columnIndex("account"))
        , account_guid(c.columnIndex("account_guid"))
        , error(c.columnIndex("error"))
        , date(c.columnIndex("date"))
        , date_read(c.columnIndex("date_read"))
        , date_delivered(c.columnIndex("date_delivered"))
        , is_delivered(c.columnIndex("is_delivered"))
        , is_finished(c.columnIndex("is_finished"))
        , is_emote(c.columnIndex("is_emote"))
        , is_from_me(c.columnIndex("is_from_me"))
        , is_empty(c.columnIndex("is_empty"))
        , is_delayed(c.columnIndex("is_delayed"))
        , is_auto_reply(c.columnIndex("is_auto_reply"))
        , is_prepared(c.columnIndex("is_prepared"))
        , is_read(c.columnIndex("is_read"))
        , is_system_message(c.columnIndex("is_system_message"))
        , is_sent(c.columnIndex("is_sent"))
        , has_dd_results(c.columnIndex("has_dd_results"))
        , is_service_message(c.columnIndex("is_service_message"))
        , is_forward(c.columnIndex("is_forward"))
        , was_downgraded(c.columnIndex("was_downgraded"))
        , is_archive(c.columnIndex("is_archive"))
        , cache_has_attachments(c.columnIndex("cache_has_attachments"))
        , cache_roomnames(c.columnIndex("cache_roomnames"))
        , was_data_detected(c.columnIndex("was_data_detected"))
        , was_deduplicated(c.columnIndex("was_deduplicated"))
        , chat_identifier(c.columnIndex("chat_identifier"))
        , handle(c.columnIndex("handle"))
    { }
    int rowid;
    int guid;
    int text;
    int replace;
    int service_center;
    int handle_id;
    int subject;
    int country;
    int attributedBody;
    int version;
    int type;
    int service;
    int account;
    int account_guid;
    int error;
    int date;
    int date_read;
    int date_delivered;
    int is_delivered;
    int is_finished;
    int is_emote;
    int is_from_me;
    int is_empty;
    int is_delayed;
    int is_auto_reply;
    int is_prepared;
    int is_read;
    int is_system_message;
    int is_sent;
    int has_dd_results;
    int is_service_message;
    int is_forward;
    int was_downgraded;
    int is_archive;
    int cache_has_attachments;
    int cache_roomnames;
    int was_data_detected;
    int was_deduplicated;
    int chat_identifier;
    int handle;
};

} // namespace

QList<_MsgRecycleMessage> MessageRecycleDb::loadRecycledMessages()
{
    ensureOpen();
    QList<_MsgRecycleMessage> out;
    // In the table's own order: the index on is_skip would cost a look-up
    // and a sort for every row.
    {
        // Room for the rows at once: they are large to move around. The
        // highest rowid bounds their number; the reservation stays bounded
        // (a table thinned out by deletions has a high rowid and few rows),
        // and beyond it the list grows as usual.
        qint64 highest = 0;
        firstInt64Throw(Sqlite3Sql("select max(rowid) from message"), &highest);
        out.reserve(qsizetype(std::clamp<qint64>(highest, 0, 1 << 16)));
    }
    Sqlite3Cursor c
            = queryThrow(Sqlite3Sql("select * from message where +is_skip=0 order by rowid"));
    const RecycledMessageColumns col(c);
    Sqlite3TextPool recurring;
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(col.rowid);
        if (rowid < 0 || rowid > std::numeric_limits<qint64>::max() - kRecycledMessageBase) {
            // No negative id can stand for it without overflowing.
            qWarning() << "MessageRecycleDb::loadRecycledMessages, row id out of range:" << rowid;
            continue;
        }
        _MsgRecycleMessage m;
        m.ROWID = -(rowid + kRecycledMessageBase);
        m.guid = c.getText(col.guid);
        m.text = c.getText(col.text);
        m.replace = c.getInt(col.replace);
        m.service_center = recurring(c, col.service_center);
        m.handle_id = c.getInt64(col.handle_id);
        m.subject = c.getText(col.subject);
        m.country = recurring(c, col.country);
        m.attributedBody = c.getBlob(col.attributedBody);
        m.version = c.getInt(col.version);
        m.type = c.getInt(col.type);
        m.service = recurring(c, col.service);
        m.account = recurring(c, col.account);
        m.account_guid = recurring(c, col.account_guid);
        m.error = c.getInt(col.error);
        m.date = iosDateFromColumn(c.getInt64(col.date));
        m.date_read = iosDateFromColumn(c.getInt64(col.date_read));
        m.date_delivered = iosDateFromColumn(c.getInt64(col.date_delivered));
        m.is_delivered = c.getInt(col.is_delivered);
        m.is_finished = c.getInt(col.is_finished);
        m.is_emote = c.getInt(col.is_emote);
        m.is_from_me = c.getInt(col.is_from_me);
        m.is_empty = c.getInt(col.is_empty);
        m.is_delayed = c.getInt(col.is_delayed);
        m.is_auto_reply = c.getInt(col.is_auto_reply);
        m.is_prepared = c.getInt(col.is_prepared);
        m.is_read = c.getInt(col.is_read);
        m.is_system_message = c.getInt(col.is_system_message);
        m.is_sent = c.getInt(col.is_sent);
        m.has_dd_results = c.getInt(col.has_dd_results);
        m.is_service_message = c.getInt(col.is_service_message);
        m.is_forward = c.getInt(col.is_forward);
        m.was_downgraded = c.getInt(col.was_downgraded);
        m.is_archive = c.getInt(col.is_archive);
        m.cache_has_attachments = c.getInt(col.cache_has_attachments);
        m.cache_roomnames = recurring(c, col.cache_roomnames);
        m.was_data_detected = c.getInt(col.was_data_detected);
        m.was_deduplicated = c.getInt(col.was_deduplicated);
        m.highlight = true;
        m.chat_identifier = recurring(c, col.chat_identifier);
        m.handleAddress = recurring(c, col.handle);
        out.append(std::move(m));
    }
    return out;
}

QList<_MsgHandle> MessageRecycleDb::loadRecycledHandles()
{
    ensureOpen();
    QList<_MsgHandle> out;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from handle"));
    while (c.moveNext()) {
        _MsgHandle h;
        h.ROWID = c.getInt64("rowid");
        h.id = c.getText("id");
        h.service = c.getText("service");
        h.uncanonicalized_id = c.getText("uncanonicalized_id");
        out.append(h);
    }
    return out;
}

_MsgChat *MessageRecycleDb::newRecoveredChat(MsgDataSet &dataSet, qint64 rowid,
                                             const QString &chatIdentifier)
{
    if (dataSet.isNull())
        dataSet.reset();
    _MsgDataSet &set = *dataSet.data();
    rowid = freeRowid(set, rowid, floorFor(rowid));
    auto *chat = new _MsgChat;
    chat->ROWID = rowid;
    chat->lastDate = 0;
    chat->style = 45;
    chat->state = 3;
    chat->guid = QStringLiteral("SMS;-;%1").arg(chatIdentifier);
    chat->chat_identifier = chatIdentifier;
    chat->service_name = QStringLiteral("SMS");
    chat->account_login = QStringLiteral("E:");
    set.chats.insert(rowid, chat);
    auto *handle = new _MsgHandle;
    handle->ROWID = rowid;
    handle->service = QStringLiteral("SMS");
    handle->id = chatIdentifier;
    set.handles.insert(rowid, handle);
    chat->handles.insert(chatIdentifier, handle);
    return chat;
}

void MessageRecycleDb::groupRecycledMessages(MsgDataSet &dataSet,
                                             const QList<_MsgRecycleMessage> &messages)
{
    groupRecycledMessages(dataSet, QList<_MsgRecycleMessage>(messages));
}

void MessageRecycleDb::groupRecycledMessages(MsgDataSet &dataSet,
                                             QList<_MsgRecycleMessage> &&messages)
{
    if (dataSet.isNull())
        dataSet.reset();
    _MsgDataSet &set = *dataSet.data();
    QHash<QString, _MsgChat *> smsChats;
    QHash<QString, _MsgChat *> imessageChats;
    for (_MsgChat *chat : std::as_const(set.chats)) {
        if (chat->service_name.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0)
            imessageChats.insert(chat->chat_identifier, chat);
        else
            smsChats.insert(chat->chat_identifier, chat);
    }

    // Messages are appended to the tables and put in order once at the
    // end (however it comes); a row id taken before, by the set or by an
    // earlier message of the list, is skipped.
    struct InOrder
    {
        _MsgDataSet &set;
        ~InOrder()
        {
            set.messages.finishAppending();
            for (_MsgChat *chat : std::as_const(set.chats))
                chat->messages.finishAppending();
        }
    } inOrder {set};
    const qsizetype before = set.messages.size();
    QSet<qint64> added;
    for (_MsgRecycleMessage &r : messages) {
        if (set.messages.findInFirst(before, r.ROWID) != set.messages.cend()
            || added.contains(r.ROWID))
            continue;
        added.insert(r.ROWID);
        auto *m = new _MsgMessage(std::move(static_cast<_MsgMessage &>(r)));
        m->orderKey = negated(m->ROWID);
        m->chat = nullptr;
        m->handle = nullptr;
        set.messages.appendUnsorted(m->ROWID, m);

        _MsgChat *chat = nullptr;
        bool unknown = false;
        if (!r.chat_identifier.isEmpty()) {
            const qint64 id = recoveredRowid(m->handle_id, kRecoveredChatBase, kMaxChatHandleId);
            if (m->service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0) {
                chat = imessageChats.value(r.chat_identifier);
                if (!chat) {
                    chat = newRecoveredIMessageChat(set, id, r.chat_identifier, *m);
                    imessageChats.insert(r.chat_identifier, chat);
                }
            } else {
                chat = smsChats.value(r.chat_identifier);
                if (!chat) {
                    chat = newRecoveredChat(dataSet, id, r.chat_identifier);
                    smsChats.insert(r.chat_identifier, chat);
                }
            }
        } else {
            unknown = true;
            const QString key = QLatin1String("unknown") + QString::number(m->handle_id);
            chat = smsChats.value(key);
            if (!chat) {
                chat = newRecoveredChat(
                        dataSet,
                        recoveredRowid(m->handle_id, kUnknownChatBase, kMaxUnknownHandleId), key);
                smsChats.insert(key, chat);
            }
        }

        m->chat = chat;
        if (chat->lastDate < m->date)
            chat->lastDate = m->date;
        if (unknown || chat->handles.size() == 1) {
            m->handle = chat->handles.isEmpty() ? nullptr : chat->handles.first();
        } else if (chat->handles.size() > 1) {
            m->handle = chat->handles.value(r.handleAddress);
            if (!m->handle && !r.handleAddress.isEmpty()) {
                // Chats read from sms.db key their handles by row id.
                for (_MsgHandle *h : std::as_const(chat->handles)) {
                    if (h->id == r.handleAddress) {
                        m->handle = h;
                        break;
                    }
                }
            }
        }
        chat->messages.appendUnsorted(messageKey(m->ROWID), m);
    }
}

void MessageRecycleDb::dropLiveAgain(Sqlite3DB &live, QList<_MsgRecycleMessage> &messages)
{
    if (messages.isEmpty())
        return;
    // Asked in the order of the guid index (bytes of UTF-8, as SQLite
    // compares them), so that its pages are met one after the other rather
    // than at random; the list keeps its order.
    std::vector<QByteArray> guids;
    guids.reserve(size_t(messages.size()));
    for (const _MsgRecycleMessage &m : std::as_const(messages))
        guids.push_back(m.guid.toUtf8());
    // Sorted by their first eight bytes held beside the index (big-endian,
    // zero-padded, so that the numbers order as the bytes do); the whole
    // texts decide between equal prefixes.
    struct Key
    {
        quint64 prefix;
        qsizetype index;
    };
    std::vector<Key> keys(guids.size());
    for (size_t i = 0; i < guids.size(); ++i) {
        quint64 prefix = 0;
        const QByteArray &g = guids[i];
        for (qsizetype b = 0; b < 8; ++b)
            prefix = (prefix << 8) | (b < g.size() ? quint8(g[b]) : 0u);
        keys[i] = {prefix, qsizetype(i)};
    }
    std::sort(keys.begin(), keys.end(), [&](const Key &a, const Key &b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        return guids[size_t(a.index)] < guids[size_t(b.index)];
    });

    const char *sql = "select rowid from message where guid=?";
    sqlite3_stmt *raw = nullptr;
    int rc = sqlite3_prepare_v2(live.handle(), sql, -1, &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt *)> stmt(raw, sqlite3_finalize);
    if (rc != SQLITE_OK)
        throw Sqlite3Exception(QStringLiteral("SQL error (%1): %2")
                                       .arg(QLatin1String(sql), live.lastError()),
                               rc);
    std::vector<bool> liveAgain(guids.size(), false);
    for (const Key &key : keys) {
        const qsizetype i = key.index;
        const QByteArray &guid = guids[size_t(i)];
        // An empty text is bound as '' (a null pointer would bind NULL).
        sqlite3_bind_text(raw, 1, guid.isEmpty() ? "" : guid.constData(), int(guid.size()),
                          SQLITE_STATIC);
        rc = sqlite3_step(raw);
        if (rc == SQLITE_ROW)
            liveAgain[size_t(i)] = sqlite3_column_int64(raw, 0) != 0;
        else if (rc != SQLITE_DONE)
            throw Sqlite3Exception(QStringLiteral("SQL error (%1): %2")
                                           .arg(QLatin1String(sql), live.lastError()),
                                   rc);
        sqlite3_reset(raw);
    }
    qsizetype kept = 0;
    for (qsizetype i = 0; i < messages.size(); ++i)
        if (!liveAgain[size_t(i)])
            messages.swapItemsAt(kept++, i);
    messages.resize(kept);
}
