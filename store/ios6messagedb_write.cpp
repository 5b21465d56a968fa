// Row look-ups, inserts, join rows and deletion in an iOS 6 message database.
// None of these opens a transaction: callers bracket their batches with
// AbsDb::beginTransaction / endTransaction. Numbers travel as bound
// parameters, so that each statement is prepared once per connection.

#include "store/ios6messagedb.h"
#include "store/msgutil.h"

#include <QVarLengthArray>

#include <stdexcept>

namespace {

// The rowid of the first row of a one-column look-up; 0 when none comes back.
qint64 firstRowid(Sqlite3Cursor c)
{
    return c.moveNext() ? c.getInt64(0) : 0;
}

} // namespace

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
    ensureOpen();
    return firstRowid(
            queryThrow(Sqlite3Sql("select rowid from message where guid=?").addTextParam(guid)));
}

qint64 IOS6MessageDb::chatRowidByGuid(const QString &guid)
{
    ensureOpen();
    return firstRowid(
            queryThrow(Sqlite3Sql("select rowid from chat where guid=?").addTextParam(guid)));
}

qint64 IOS6MessageDb::attachmentRowidByGuid(const _MsgAttachment *a)
{
    ensureOpen();
    return firstRowid(queryThrow(
            Sqlite3Sql("select rowid from attachment where guid=?").addTextParam(a->guid)));
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle *h)
{
    ensureOpen();
    return firstRowid(queryThrow(Sqlite3Sql("select rowid from handle where id=? and service=?")
                                         .addTextParam(h->id)
                                         .addTextParam(h->service)));
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage *m)
{
    ensureOpen();
    if (!schemaHas("message", "logic_hash"))
        return 0;
    return firstRowid(queryThrow(Sqlite3Sql("select rowid from message where logic_hash=?")
                                         .addTextParam(logicHash(*m))));
}

bool IOS6MessageDb::hasChatHandleJoin(qint64 chatId, qint64 handleId)
{
    ensureOpen();
    Sqlite3Cursor c = queryThrow(
            Sqlite3Sql("select 1 from chat_handle_join where chat_id=? and handle_id=?")
                    .addInt64Param(chatId)
                    .addInt64Param(handleId));
    return c.moveNext();
}

bool IOS6MessageDb::hasItemTypeColumn() const
{
    return schemaHas("message", "item_type");
}

// ---------------------------------------------------------------- joins

void IOS6MessageDb::addChatHandleJoin(qint64 chatId, qint64 handleId)
{
    ensureOpen();
    executeThrow(Sqlite3Sql("replace into chat_handle_join(chat_id,handle_id) values(?,?)")
                         .addInt64Param(chatId)
                         .addInt64Param(handleId));
}

void IOS6MessageDb::addChatMessageJoin(qint64 chatId, qint64 messageId)
{
    ensureOpen();
    executeThrow(Sqlite3Sql("replace into chat_message_join(chat_id,message_id) values(?,?)")
                         .addInt64Param(chatId)
                         .addInt64Param(messageId));
}

void IOS6MessageDb::addMessageAttachmentJoin(qint64 messageId, qint64 attachmentId)
{
    ensureOpen();
    executeThrow(Sqlite3Sql("replace into message_attachment_join(message_id,attachment_id) "
                            "values(?,?)")
                         .addInt64Param(messageId)
                         .addInt64Param(attachmentId));
}

void IOS6MessageDb::setLastAddressedHandle(qint64 chatId, const QString &handleId)
{
    ensureOpen();
    executeThrow(Sqlite3Sql("update chat set last_addressed_handle=? where rowid=?")
                         .addTextParam(handleId)
                         .addInt64Param(chatId));
}

void IOS6MessageDb::updateChatLast(qint64 chatId, int date)
{
    ensureOpen();
    if (!schemaHas("chat", "_last INTEGER", Qt::CaseInsensitive))
        return;
    executeThrow(Sqlite3Sql("update chat set _last=? where rowid=? and _last < ?")
                         .addIntParam(date)
                         .addInt64Param(chatId)
                         .addIntParam(date));
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

qint64 IOS6MessageDb::insertMessage(const _MsgMessage *m, qint64 handleId, qint64 otherHandleId,
                                    const QString &logicHashText)
{
    ensureOpen();
    // Written for every message: the statement is built straight from the
    // columns, each named once, without a row map in between.
    QString columns;
    columns.reserve(1024);
    QVarLengthArray<QVariant, 64> values;
    auto put = [&columns, &values](const char *column, const QVariant &value) {
        columns += values.isEmpty() ? QLatin1Char('(') : QLatin1Char(',');
        columns += QLatin1Char('"');
        columns += QLatin1String(column);
        columns += QLatin1Char('"');
        values.append(value);
    };
    auto putText = [&put](const char *column, const QString &value) {
        if (!value.isEmpty())
            put(column, value);
    };
    put("guid", m->guid);
    put("text", m->text);
    put("replace", m->replace);
    putText("service_center", m->service_center);
    put("handle_id", handleId);
    putText("subject", m->subject);
    putText("country", m->country);
    if (!m->attributedBody.isEmpty())
        put("attributedBody", m->attributedBody);
    put("version", m->version);
    put("type", m->type);
    put("service", m->service);
    put("account", m->account);
    put("account_guid", m->account_guid);
    put("error", m->error);
    put("date", m->date);
    put("date_read", m->date_read);
    put("date_delivered", m->date_delivered);
    put("is_delivered", m->is_delivered);
    put("is_finished", m->is_finished);
    put("is_emote", m->is_emote);
    put("is_from_me", m->is_from_me);
    put("is_empty", m->is_empty);
    put("is_delayed", m->is_delayed);
    put("is_auto_reply", m->is_auto_reply);
    put("is_prepared", m->is_prepared);
    put("is_read", m->is_read);
    put("is_system_message", m->is_system_message);
    put("is_sent", m->is_sent);
    put("has_dd_results", m->has_dd_results);
    put("is_service_message", m->is_service_message);
    put("is_forward", m->is_forward);
    put("was_downgraded", m->was_downgraded);
    put("is_archive", m->is_archive);
    put("cache_has_attachments", m->cache_has_attachments);
    put("cache_roomnames", m->cache_roomnames);
    put("was_data_detected", m->was_data_detected);
    put("was_deduplicated", m->was_deduplicated);

    // Columns of later phones and of our own archives, when the table has them.
    auto optional = [&](const char *column, const QVariant &value) {
        if (schemaHas("message", column))
            put(column, value);
    };
    optional("is_audio_message", m->is_audio_message);
    optional("is_played", m->is_played);
    optional("date_played", m->date_played);
    optional("item_type", m->item_type);
    if (otherHandleId > 0)
        optional("other_handle", otherHandleId);
    if (!m->group_title.isEmpty())
        optional("group_title", m->group_title);
    optional("group_action_type", m->group_action_type);
    optional("share_status", m->share_status);
    optional("share_direction", m->share_direction);
    optional("is_expirable", m->is_expirable);
    optional("expire_state", m->expire_state);
    optional("message_action_type", m->message_action_type);
    if (schemaHas("message", "logic_hash"))
        put("logic_hash", logicHashText.isEmpty() ? logicHash(*m) : logicHashText);
    QString text = QStringLiteral("insert into \"message\"") + columns
            + QStringLiteral(") values(?");
    for (qsizetype i = 1; i < values.size(); ++i)
        text += QLatin1String(",?");
    text += QLatin1Char(')');
    Sqlite3Sql sql(text);
    for (const QVariant &value : std::as_const(values))
        sql.addVariantParam(value);
    executeThrow(sql);
    return lastInsertId();
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment *a)
{
    ensureOpen();
    Sqlite3Row row;
    row.insert(QStringLiteral("guid"), a->guid);
    row.insert(QStringLiteral("created_date"), a->created_date);
    row.insert(QStringLiteral("start_date"), a->start_date);
    row.insert(QStringLiteral("filename"), a->filename);
    row.insert(QStringLiteral("uti"), a->uti);
    row.insert(QStringLiteral("mime_type"), a->mime_type);
    row.insert(QStringLiteral("transfer_state"), a->transfer_state);
    row.insert(QStringLiteral("is_outgoing"), a->is_outgoing);
    if (!a->user_info.isEmpty() && schemaHas("attachment", "user_info"))
        row.insert(QStringLiteral("user_info"), a->user_info);
    if (!a->transfer_name.isEmpty() && schemaHas("attachment", "transfer_name"))
        row.insert(QStringLiteral("transfer_name"), a->transfer_name);
    if (schemaHas("attachment", "total_bytes"))
        row.insert(QStringLiteral("total_bytes"), a->total_bytes);
    return insertRow(row, QStringLiteral("attachment"));
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

void IOS6MessageDb::deleteMessage(const _MsgMessage *m)
{
    if (MessageRecycleDb::recycleRowidOf(*m) > 0) {
        // Salvaged: it lives in recycle.db only, never in sms.db.
        m_recycleDb.deleteRecycledMessage(*m);
        return;
    }
    ensureOpen();
    const qint64 r = m->ROWID;
    // The triggers of the schema remove what this leaves without owner: the
    // sender's handle when nothing names it, the attachments no other message
    // has. Their file-deleting functions are registered as no-ops, so no file
    // goes.
    executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(r));
    executeThrow(Sqlite3Sql("DELETE FROM chat_message_join where message_id=?").addInt64Param(r));
    executeThrow(
            Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?").addInt64Param(r));
    if (m->chat) {
        const qint64 chatId = m->chat->ROWID;
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
}
