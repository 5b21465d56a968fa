// Row look-ups, inserts, join rows and deletion in an iOS 6 message database.
// None of these opens a transaction: callers bracket their batches with
// AbsDb::beginTransaction / endTransaction. Numbers travel as bound
// parameters, so that each statement is prepared once per connection.

#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/swapjournal.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>

#include <stdexcept>

#include <sqlite3.h>

namespace {

// The UTF-8 of text into out, reusing out's memory: most texts written are
// ASCII, copied here without a new buffer for each.
void toUtf8Into(const QString &text, QByteArray &out)
{
    const qsizetype n = text.size();
    const char16_t *in = reinterpret_cast<const char16_t *>(text.utf16());
    out.resize(n);
    char *dst = out.data();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = in[i];
        if (c >= 0x80) {
            out = text.toUtf8();
            return;
        }
        dst[i] = char(c);
    }
}

QString statementText(sqlite3_stmt *stmt)
{
    return QString::fromUtf8(sqlite3_sql(stmt)).left(200);
}

} // namespace

// Binds values to a kept statement in order, as Sqlite3Sql binds them: text
// as UTF-8 (an empty text as ''), whole numbers, bytes as a blob. The bytes
// of texts live in the database's buffers until the statement is reset.
class IOS6MessageDb::Binder
{
public:
    Binder(IOS6MessageDb &db, sqlite3_stmt *stmt)
        : m_db(db)
        , m_stmt(stmt)
    { }

    void text(const QString &value)
    {
        if (m_texts == m_db.m_textBuffers.size())
            m_db.m_textBuffers.emplace_back();
        QByteArray &utf8 = m_db.m_textBuffers[m_texts++];
        toUtf8Into(value, utf8);
        check(sqlite3_bind_text(m_stmt, ++m_index, utf8.isEmpty() ? "" : utf8.constData(),
                                int(utf8.size()), SQLITE_STATIC));
    }
    void blob(const QByteArray &value)
    {
        check(sqlite3_bind_blob(m_stmt, ++m_index, value.isEmpty() ? "" : value.constData(),
                                int(value.size()), SQLITE_STATIC));
    }
    void int64(qint64 value) { check(sqlite3_bind_int64(m_stmt, ++m_index, value)); }
    void int32(int value) { check(sqlite3_bind_int(m_stmt, ++m_index, value)); }

    // By the value's type, for the column lists below.
    void operator()(const QString &value) { text(value); }
    void operator()(const QByteArray &value) { blob(value); }
    void operator()(qint64 value) { int64(value); }
    void operator()(qint32 value) { int32(value); }

    // Throws when a value could not be bound, or when not every parameter
    // got one: each use binds all of them, so that no value of an earlier
    // use (whose bytes may be gone) is ever read.
    sqlite3_stmt *done()
    {
        if (m_rc == SQLITE_OK && m_index != sqlite3_bind_parameter_count(m_stmt)) {
            m_rc = SQLITE_RANGE;
            m_failedAt = m_index;
        }
        if (m_rc != SQLITE_OK) {
            sqlite3_clear_bindings(m_stmt);
            throw Sqlite3Exception(QStringLiteral("bind parameter %1 failed (%2): %3")
                                           .arg(m_failedAt)
                                           .arg(statementText(m_stmt),
                                                QString::fromUtf8(sqlite3_errstr(m_rc))),
                                   m_rc);
        }
        return m_stmt;
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK && m_rc == SQLITE_OK) {
            m_rc = rc;
            m_failedAt = m_index;
        }
    }

    IOS6MessageDb &m_db;
    sqlite3_stmt *m_stmt;
    int m_index = 0;
    size_t m_texts = 0;
    int m_rc = SQLITE_OK;
    int m_failedAt = 0;
};

sqlite3_stmt *IOS6MessageDb::kept(KeptStatement &slot, const QByteArray &sql)
{
    ensureOpen();
    if (slot.stmt && slot.serial == openSerial())
        return slot.stmt;
    slot.stmt = keptStatement(sql);
    slot.serial = openSerial();
    return slot.stmt;
}

sqlite3_stmt *IOS6MessageDb::kept(KeptStatement &slot, const char *sql)
{
    ensureOpen();
    if (slot.stmt && slot.serial == openSerial())
        return slot.stmt;
    return kept(slot, QByteArray(sql));
}

void IOS6MessageDb::stepKept(sqlite3_stmt *stmt)
{
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) { }
    // Reset at once, so that a failed statement holds nothing open. The
    // values stay bound until the next use binds all of them anew.
    sqlite3_reset(stmt);
    if (rc != SQLITE_DONE)
        throw Sqlite3Exception(QStringLiteral("SQL error (%1): %2")
                                       .arg(statementText(stmt), lastError()),
                               rc);
}

qint64 IOS6MessageDb::firstRowidKept(sqlite3_stmt *stmt)
{
    const int rc = sqlite3_step(stmt);
    const qint64 id = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
    sqlite3_reset(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        throw Sqlite3Exception(QStringLiteral("SQL error (%1): %2")
                                       .arg(statementText(stmt), lastError()),
                               rc);
    return id;
}

bool IOS6MessageDb::schemaHas(const char *table, const char *probe, Qt::CaseSensitivity cs) const
{
    // Asked for many columns of every row written: the answer is kept.
    const auto known = m_schemaHasCache.constFind(probe);
    if (known != m_schemaHasCache.constEnd() && known->cs == cs && known->probe == probe
        && known->table == table)
        return known->has;
    const auto schema = m_tableSchemas.constFind(QLatin1String(table));
    const bool has = schema != m_tableSchemas.constEnd()
            && schema.value().contains(QLatin1String(probe), cs);
    m_schemaHasCache.insert(probe, SchemaProbe {table, probe, cs, has});
    return has;
}

// ---------------------------------------------------------------- look-ups

qint64 IOS6MessageDb::messageRowidByGuid(const QString &guid)
{
    Binder b(*this, kept(m_messageByGuid, "select rowid from message where guid=?"));
    b.text(guid);
    return firstRowidKept(b.done());
}

qint64 IOS6MessageDb::chatRowidByGuid(const QString &guid)
{
    Binder b(*this, kept(m_chatByGuid, "select rowid from chat where guid=?"));
    b.text(guid);
    return firstRowidKept(b.done());
}

qint64 IOS6MessageDb::attachmentRowidByGuid(const _MsgAttachment *a)
{
    Binder b(*this, kept(m_attachmentByGuid, "select rowid from attachment where guid=?"));
    b.text(a->guid);
    return firstRowidKept(b.done());
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle *h)
{
    Binder b(*this, kept(m_handleById, "select rowid from handle where id=? and service=?"));
    b.text(h->id);
    b.text(h->service);
    return firstRowidKept(b.done());
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage *m)
{
    ensureOpen();
    if (!schemaHas("message", "logic_hash"))
        return 0;
    Binder b(*this, kept(m_messageByLogicHash, "select rowid from message where logic_hash=?"));
    b.text(logicHash(*m));
    return firstRowidKept(b.done());
}

bool IOS6MessageDb::hasChatHandleJoin(qint64 chatId, qint64 handleId)
{
    Binder b(*this,
             kept(m_chatHandleJoinExists,
                  "select 1 from chat_handle_join where chat_id=? and handle_id=?"));
    b.int64(chatId);
    b.int64(handleId);
    return firstRowidKept(b.done()) != 0;
}

bool IOS6MessageDb::hasItemTypeColumn() const
{
    return schemaHas("message", "item_type");
}

// ---------------------------------------------------------------- joins

void IOS6MessageDb::addChatHandleJoin(qint64 chatId, qint64 handleId)
{
    Binder b(*this,
             kept(m_chatHandleJoin, "replace into chat_handle_join(chat_id,handle_id) values(?,?)"));
    b.int64(chatId);
    b.int64(handleId);
    stepKept(b.done());
}

void IOS6MessageDb::addChatMessageJoin(qint64 chatId, qint64 messageId)
{
    Binder b(*this,
             kept(m_chatMessageJoin,
                  "replace into chat_message_join(chat_id,message_id) values(?,?)"));
    b.int64(chatId);
    b.int64(messageId);
    stepKept(b.done());
}

void IOS6MessageDb::addMessageAttachmentJoin(qint64 messageId, qint64 attachmentId)
{
    Binder b(*this,
             kept(m_messageAttachmentJoin,
                  "replace into message_attachment_join(message_id,attachment_id) values(?,?)"));
    b.int64(messageId);
    b.int64(attachmentId);
    stepKept(b.done());
}

void IOS6MessageDb::setLastAddressedHandle(qint64 chatId, const QString &handleId)
{
    Binder b(*this,
             kept(m_setLastAddressed, "update chat set last_addressed_handle=? where rowid=?"));
    b.text(handleId);
    b.int64(chatId);
    stepKept(b.done());
}

void IOS6MessageDb::updateChatLast(qint64 chatId, int date)
{
    ensureOpen();
    if (!schemaHas("chat", "_last INTEGER", Qt::CaseInsensitive))
        return;
    Binder b(*this,
             kept(m_updateChatLast, "update chat set _last=? where rowid=? and _last < ?"));
    b.int32(date);
    b.int64(chatId);
    b.int32(date);
    stepKept(b.done());
}

// ---------------------------------------------------------------- inserts

qint64 IOS6MessageDb::insertHandle(const _MsgHandle *h)
{
    ensureOpen();
    Sqlite3Row row;
    row.insert(QStringLiteral("id"), h->id);
    if (!h->country.isEmpty())
        row.insert(QStringLiteral("country"), h->country);
    row.insert(QStringLiteral("service"), h->service);
    if (!h->uncanonicalized_id.isEmpty())
        row.insert(QStringLiteral("uncanonicalized_id"), h->uncanonicalized_id);
    if (schemaHas("handle", "_ct_name TEXT", Qt::CaseInsensitive))
        row.insert(QStringLiteral("_ct_name"), h->contactName);
    if (schemaHas("handle", "_photo BLOB", Qt::CaseInsensitive))
        row.insert(QStringLiteral("_photo"), h->photo);
    return insertRow(row, QStringLiteral("handle"));
}

template<typename Put>
void IOS6MessageDb::forEachMessageColumn(const _MsgMessage *m, qint64 handleId, qint64 otherId,
                                         const QString *hash, Put put) const
{
    const InsertColumns &has = m_insertColumns;
    put("guid", m->guid);
    put("text", m->text);
    put("replace", m->replace);
    if (!m->service_center.isEmpty())
        put("service_center", m->service_center);
    put("handle_id", handleId);
    if (!m->subject.isEmpty())
        put("subject", m->subject);
    if (!m->country.isEmpty())
        put("country", m->country);
    if (!m->attributedBody.isEmpty())
        put("attributedBody", m->attributedBody);
    for (const auto &[column, value] : {std::pair {"version", m->version}, {"type", m->type}})
        put(column, value);
    put("service", m->service);
    put("account", m->account);
    put("account_guid", m->account_guid);
    for (const auto &[column, value] : {std::pair {"error", m->error},
                                        {"date", m->date},
                                        {"date_read", m->date_read},
                                        {"date_delivered", m->date_delivered},
                                        {"is_delivered", m->is_delivered},
                                        {"is_finished", m->is_finished},
                                        {"is_emote", m->is_emote},
                                        {"is_from_me", m->is_from_me},
                                        {"is_empty", m->is_empty},
                                        {"is_delayed", m->is_delayed},
                                        {"is_auto_reply", m->is_auto_reply},
                                        {"is_prepared", m->is_prepared},
                                        {"is_read", m->is_read},
                                        {"is_system_message", m->is_system_message},
                                        {"is_sent", m->is_sent},
                                        {"has_dd_results", m->has_dd_results},
                                        {"is_service_message", m->is_service_message},
                                        {"is_forward", m->is_forward},
                                        {"was_downgraded", m->was_downgraded},
                                        {"is_archive", m->is_archive},
                                        {"cache_has_attachments", m->cache_has_attachments}})
        put(column, value);
    put("cache_roomnames", m->cache_roomnames);
    put("was_data_detected", m->was_data_detected);
    put("was_deduplicated", m->was_deduplicated);
    // Columns of later phones and of our own archives, when the table has them.
    const std::pair<const char *, qint32> optional[]
            = {{"is_audio_message", m->is_audio_message},
               {"is_played", m->is_played},
               {"date_played", m->date_played},
               {"item_type", m->item_type},
               {"group_action_type", m->group_action_type},
               {"share_status", m->share_status},
               {"share_direction", m->share_direction},
               {"is_expirable", m->is_expirable},
               {"expire_state", m->expire_state},
               {"message_action_type", m->message_action_type}};
    for (size_t i = 0; i < std::size(optional); ++i) {
        if (has.optional[i])
            put(optional[i].first, optional[i].second);
    }
    if (otherId > 0 && has.otherHandle)
        put("other_handle", otherId);
    if (!m->group_title.isEmpty() && has.groupTitle)
        put("group_title", m->group_title);
    if (has.logicHash)
        put("logic_hash", *hash);
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage *m, qint64 handleId, qint64 otherHandleId,
                                    const QString &logicHashText)
{
    return insertMessageImpl(m, handleId, otherHandleId,
                             logicHashText.isEmpty() ? nullptr : &logicHashText);
}

qint64 IOS6MessageDb::insertMessageWithHash(const _MsgMessage *m, qint64 handleId,
                                            qint64 otherHandleId, const QString &logicHashText)
{
    return insertMessageImpl(m, handleId, otherHandleId, &logicHashText);
}

qint64 IOS6MessageDb::insertMessageImpl(const _MsgMessage *m, qint64 handleId,
                                        qint64 otherHandleId, const QString *hash)
{
    ensureOpen();
    // Written for every message: the statement text depends only on which
    // columns a row names, so it is made once per kind of row and opening.
    InsertColumns &has = m_insertColumns;
    if (has.serial != openSerial()) {
        const char *const names[]
                = {"is_audio_message",  "is_played",          "date_played",     "item_type",
                   "group_action_type", "share_status",       "share_direction", "is_expirable",
                   "expire_state",      "message_action_type"};
        for (size_t i = 0; i < std::size(names); ++i)
            has.optional[i] = schemaHas("message", names[i]);
        has.otherHandle = schemaHas("message", "other_handle");
        has.groupTitle = schemaHas("message", "group_title");
        has.logicHash = schemaHas("message", "logic_hash");
        has.serial = openSerial();
    }
    QString computed;
    if (!hash && has.logicHash) {
        computed = logicHash(*m);
        hash = &computed;
    }
    const int kind = (m->service_center.isEmpty() ? 0 : 1) | (m->subject.isEmpty() ? 0 : 2)
            | (m->country.isEmpty() ? 0 : 4) | (m->attributedBody.isEmpty() ? 0 : 8)
            | (otherHandleId > 0 && has.otherHandle ? 16 : 0)
            | (!m->group_title.isEmpty() && has.groupTitle ? 32 : 0);
    KeptStatement &slot = m_insertMessage[kind];
    sqlite3_stmt *stmt = slot.stmt && slot.serial == openSerial() ? slot.stmt : nullptr;
    if (!stmt) {
        QByteArray columns, marks;
        forEachMessageColumn(m, handleId, otherHandleId, hash,
                             [&](const char *column, const auto &) {
                                 if (!columns.isEmpty()) {
                                     columns += ',';
                                     marks += ',';
                                 }
                                 columns += '"';
                                 columns += column;
                                 columns += '"';
                                 marks += '?';
                             });
        stmt = kept(slot, "insert into \"message\"(" + columns + ") values(" + marks + ")");
    }
    Binder b(*this, stmt);
    forEachMessageColumn(m, handleId, otherHandleId, hash,
                         [&b](const char *, const auto &value) { b(value); });
    stepKept(b.done());
    return lastInsertId();
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment *a)
{
    ensureOpen();
    const bool userInfo = !a->user_info.isEmpty() && schemaHas("attachment", "user_info");
    const bool transferName
            = !a->transfer_name.isEmpty() && schemaHas("attachment", "transfer_name");
    const bool totalBytes = schemaHas("attachment", "total_bytes");
    const int kind = (userInfo ? 1 : 0) | (transferName ? 2 : 0) | (totalBytes ? 4 : 0);
    KeptStatement &slot = m_insertAttachment[kind];
    sqlite3_stmt *stmt = slot.stmt && slot.serial == openSerial() ? slot.stmt : nullptr;
    if (!stmt) {
        QByteArray sql = "insert into \"attachment\"(guid,created_date,start_date,filename,uti,"
                         "mime_type,transfer_state,is_outgoing";
        QByteArray marks = "?,?,?,?,?,?,?,?";
        for (const auto &[on, column] : {std::pair {userInfo, ",user_info"},
                                         {transferName, ",transfer_name"},
                                         {totalBytes, ",total_bytes"}}) {
            if (on) {
                sql += column;
                marks += ",?";
            }
        }
        stmt = kept(slot, sql + ") values(" + marks + ")");
    }
    Binder b(*this, stmt);
    b.text(a->guid);
    b.int32(a->created_date);
    b.int32(a->start_date);
    b.text(a->filename);
    b.text(a->uti);
    b.text(a->mime_type);
    b.int32(a->transfer_state);
    b.int32(a->is_outgoing);
    if (userInfo)
        b.blob(a->user_info);
    if (transferName)
        b.text(a->transfer_name);
    if (totalBytes)
        b.int64(a->total_bytes);
    stepKept(b.done());
    return lastInsertId();
}

qint64 IOS6MessageDb::insertChat(const _MsgChat *c)
{
    ensureOpen();
    if (c->service_name != QLatin1String("SMS") && c->service_name != QLatin1String("iMessage"))
        throw std::runtime_error(
                QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:%1")
                        .arg(c->service_name)
                        .toUtf8()
                        .toStdString());
    Sqlite3Row row;
    row.insert(QStringLiteral("guid"), c->guid);
    row.insert(QStringLiteral("style"), c->style);
    row.insert(QStringLiteral("state"), c->state);
    if (!c->account_id.isEmpty())
        row.insert(QStringLiteral("account_id"), c->account_id);
    row.insert(QStringLiteral("chat_identifier"), c->chat_identifier);
    row.insert(QStringLiteral("service_name"), c->service_name);
    if (!c->room_name.isEmpty())
        row.insert(QStringLiteral("room_name"), c->room_name);
    row.insert(QStringLiteral("account_login"), c->account_login);
    row.insert(QStringLiteral("is_archived"), c->is_archived);
    if (!c->display_name.isEmpty() && schemaHas("chat", "display_name"))
        row.insert(QStringLiteral("display_name"), c->display_name);
    if (schemaHas("chat", "group_id"))
        row.insert(QStringLiteral("group_id"),
                   c->group_id.isEmpty() ? md5Guid(c->guid.toUtf8()) : c->group_id);
    const qint64 chatId = insertRow(row, QStringLiteral("chat"));

    for (const _MsgHandle *h : c->handles) {
        if (!h)
            continue;
        qint64 handleId = handleRowid(h);
        if (handleId == 0)
            handleId = insertHandle(h);
        addChatHandleJoin(chatId, handleId);
    }
    return chatId;
}

// ---------------------------------------------------------------- deleting

bool IOS6MessageDb::deleteMessage(const _MsgMessage *m)
{
    if (MessageRecycleDb::recycleRowidOf(*m) > 0) {
        // Salvaged: it lives in recycle.db only, never in sms.db.
        return m_recycleDb.deleteRecycledMessage(*m);
    }
    ensureOpen();
    const qint64 r = m->ROWID;
    // Every chat that files the message (it may be more than the one the
    // record names): those it leaves empty go with it.
    QList<qint64> chatIds;
    {
        Sqlite3Cursor c = queryThrow(
                Sqlite3Sql("SELECT chat_id FROM chat_message_join WHERE message_id=?")
                        .addInt64Param(r));
        while (c.moveNext())
            chatIds.append(c.getInt64(0));
    }
    if (m->chat && !chatIds.contains(m->chat->ROWID))
        chatIds.append(m->chat->ROWID);
    // The triggers of the schema remove what this leaves without owner: the
    // sender's handle when nothing names it, the attachments no other message
    // has. Their file-deleting functions are registered as no-ops, so no file
    // goes.
    executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(r));
    const bool deleted = changes() > 0;
    executeThrow(Sqlite3Sql("DELETE FROM chat_message_join where message_id=?").addInt64Param(r));
    executeThrow(
            Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?").addInt64Param(r));
    for (const qint64 chatId : std::as_const(chatIds)) {
        executeThrow(Sqlite3Sql("DELETE FROM chat WHERE rowid=? and (SELECT 1 from "
                                "chat_message_join WHERE chat_id=? LIMIT 1) IS NULL")
                             .addInt64Param(chatId)
                             .addInt64Param(chatId));
        // Foreign keys are off on our connections, so a chat that went takes
        // its handle joins along here; the trigger on chat_handle_join then
        // removes the handles nothing else names.
        executeThrow(Sqlite3Sql("DELETE FROM chat_handle_join WHERE chat_id=? and (SELECT 1 "
                                "from chat WHERE rowid=? LIMIT 1) IS NULL")
                             .addInt64Param(chatId)
                             .addInt64Param(chatId));
    }
    return deleted;
}

// ---------------------------------------------------------------- deleting
// salvaged and live messages together

namespace {

constexpr int kRecycleDeletionVersion = 1;
constexpr qint64 kMaxRecycleDeletionRecord = 64 << 20;

[[noreturn]] void failRecord(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

std::unique_ptr<QLockFile> lockRecord(const QString &record)
{
    auto lock = std::make_unique<QLockFile>(record + QStringLiteral(".lock"));
    // Stale only when its process is gone, however long the run takes.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(0))
        return nullptr;
    return lock;
}

} // namespace

QString IOS6MessageDb::recycleDeletionRecordPath() const
{
    return QDir(m_dataDir.absolutePath()).absoluteFilePath(QStringLiteral(".delete-recycle"));
}

std::optional<IOS6MessageDb::LiveRow> IOS6MessageDb::liveRowOf(const _MsgMessage *m)
{
    ensureOpen();
    Sqlite3Cursor c = queryThrow(
            Sqlite3Sql("select rowid, ifnull(guid, '') from message where rowid=?")
                    .addInt64Param(m->ROWID));
    if (!c.moveNext())
        return std::nullopt;
    return LiveRow {c.getInt64(0), c.getText(1)};
}

void IOS6MessageDb::writeRecycleDeletionRecord(const QList<qint64> &recycleRows,
                                               const QList<LiveRow> &liveRows)
{
    const QString path = recycleDeletionRecordPath();
    std::unique_ptr<QLockFile> lock = lockRecord(path);
    if (!lock)
        failRecord(QStringLiteral("Another deletion from %1 is running.")
                           .arg(QDir::toNativeSeparators(m_dataDir.absolutePath())));
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink())
        failRecord(QStringLiteral("An interrupted deletion from %1 is not finished yet.")
                           .arg(QDir::toNativeSeparators(m_dataDir.absolutePath())));
    QJsonArray recycle;
    for (qint64 r : recycleRows)
        recycle.append(double(r));
    QJsonArray live;
    for (const LiveRow &r : liveRows)
        live.append(QJsonArray {double(r.rowid), r.guid});
    QJsonObject root;
    root.insert(QStringLiteral("version"), kRecycleDeletionVersion);
    root.insert(QStringLiteral("recycle"), recycle);
    root.insert(QStringLiteral("live"), live);
    const QString fresh = path + QStringLiteral(".new");
    QString error;
    if (!writeFileSynced(fresh, QJsonDocument(root).toJson(QJsonDocument::Compact), &error))
        failRecord(QStringLiteral("Cannot write %1: %2")
                           .arg(QDir::toNativeSeparators(fresh), error));
    if (!QFile::rename(fresh, path)) {
        QFile::remove(fresh);
        failRecord(QStringLiteral("Cannot write %1.").arg(QDir::toNativeSeparators(path)));
    }
    syncPath(m_dataDir.absolutePath());
    m_recycleDeletionLock = std::move(lock);
    killPoint("recycle-deletion-recorded");
}

void IOS6MessageDb::dropRecycleDeletionRecord()
{
    const QString path = recycleDeletionRecordPath();
    QFile::remove(path);
    QFile::remove(path + QStringLiteral(".new"));
    syncPath(m_dataDir.absolutePath());
    if (m_recycleDeletionLock)
        m_recycleDeletionLock->unlock();
    m_recycleDeletionLock.reset();
}

IOS6MessageDb::RecycleDeletion IOS6MessageDb::finishRecycleDeletion() noexcept
{
    // A copy shown as it is gets no write, not even a deletion's end.
    if (m_readOnlyCopy)
        return RecycleDeletion::Kept;
    const QString path = recycleDeletionRecordPath();
    const QString fresh = path + QStringLiteral(".new");
    const bool there = QFileInfo::exists(path) || QFileInfo(path).isSymLink();
    if (!there && !QFileInfo::exists(fresh))
        return RecycleDeletion::Nothing;
    if (m_recycleDeletionLock)
        return RecycleDeletion::Kept; // this object's own run holds it
    const std::unique_ptr<QLockFile> lock = lockRecord(path);
    if (!lock)
        return RecycleDeletion::Kept; // a run of its own is under way
    // A run killed while writing its record had not committed anything.
    QFile::remove(fresh);
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return RecycleDeletion::Nothing;
    const QString shown = QDir::toNativeSeparators(path);
    auto drop = [&] {
        QFile::remove(path);
        syncPath(m_dataDir.absolutePath());
    };

    QList<qint64> recycleRows;
    QList<LiveRow> liveRows;
    {
        QFile file(path);
        QJsonParseError parseError {};
        const QJsonDocument doc = file.open(QIODevice::ReadOnly)
                ? QJsonDocument::fromJson(file.read(kMaxRecycleDeletionRecord), &parseError)
                : QJsonDocument();
        const QJsonObject root = doc.object();
        bool valid = parseError.error == QJsonParseError::NoError && doc.isObject()
                && root.value(QStringLiteral("version")).toInt() == kRecycleDeletionVersion;
        for (const QJsonValue &v : root.value(QStringLiteral("recycle")).toArray()) {
            const qint64 r = qint64(v.toDouble(-1));
            valid = valid && v.isDouble() && r > 0;
            recycleRows.append(r);
        }
        for (const QJsonValue &v : root.value(QStringLiteral("live")).toArray()) {
            const QJsonArray pair = v.toArray();
            valid = valid && pair.size() == 2 && pair.at(0).isDouble() && pair.at(1).isString();
            liveRows.append(LiveRow {qint64(pair.at(0).toDouble()), pair.at(1).toString()});
        }
        if (!valid || liveRows.isEmpty()) {
            // Nothing safe to act on: the salvaged messages stay.
            qWarning("The deletion record %s is damaged: the salvaged messages it names are kept",
                     qUtf8Printable(shown));
            drop();
            return RecycleDeletion::Undone;
        }
    }

    try {
        if (!QFileInfo(m_smsDbPath).isFile()) {
            qWarning("The deletion record %s waits for its message database",
                     qUtf8Printable(shown));
            return RecycleDeletion::Kept;
        }
        ensureOpenForReading();
        int present = 0;
        for (const LiveRow &r : std::as_const(liveRows)) {
            Sqlite3Cursor c = queryThrow(Sqlite3Sql("select 1 from message where rowid=? and "
                                                    "ifnull(guid, '')=?")
                                                 .addInt64Param(r.rowid)
                                                 .addTextParam(r.guid));
            if (c.moveNext())
                ++present;
        }
        if (present != 0) {
            // sms.db did not commit (or another change came since): nothing
            // of the deletion happened, and the salvaged messages stay.
            if (present != liveRows.size())
                qWarning("The deletion record %s does not match the message database: the "
                         "salvaged messages it names are kept",
                         qUtf8Printable(shown));
            drop();
            return RecycleDeletion::Undone;
        }
        if (QFileInfo(m_recycleDb.filePath()).isFile()) {
            if (m_recycleDb.inTransaction())
                return RecycleDeletion::Kept;
            m_recycleDb.beginTransaction();
            try {
                for (qint64 r : std::as_const(recycleRows))
                    m_recycleDb.executeThrow(
                            Sqlite3Sql("delete from message where rowid=?").addInt64Param(r));
                m_recycleDb.endTransaction(true);
            } catch (...) {
                try {
                    m_recycleDb.endTransaction(false);
                } catch (...) {
                }
                throw;
            }
        }
        drop();
        qWarning("Finished the interrupted deletion of %d salvaged messages from %s",
                 int(recycleRows.size()),
                 qUtf8Printable(QDir::toNativeSeparators(m_dataDir.absolutePath())));
        return RecycleDeletion::Finished;
    } catch (const std::exception &e) {
        qWarning("Cannot finish the interrupted deletion recorded in %s: %s", qUtf8Printable(shown),
                 e.what());
    }
    return RecycleDeletion::Kept;
}
