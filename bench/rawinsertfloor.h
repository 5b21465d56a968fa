#pragma once
// The floor of writing messages into a local database: the same rows
// (chats, handles, messages with their logic hash, attachments and the three
// join tables) put into a new database of the local schema through prepared
// statements of SQLite's C interface, in one transaction, every value known
// beforehand. Shared by the benchmarks that write local databases.

#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHash>

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>

namespace rawinsert {

inline void check(sqlite3 *db, int rc, const char *what)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
        std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
        std::exit(1);
    }
}

inline sqlite3_stmt *prepare(sqlite3 *db, const char *sql)
{
    sqlite3_stmt *st = nullptr;
    check(db, sqlite3_prepare_v2(db, sql, -1, &st, nullptr), sql);
    return st;
}

inline void bindText(sqlite3_stmt *st, int i, const QByteArray &utf8)
{
    sqlite3_bind_text(st, i, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
}

inline void step(sqlite3 *db, sqlite3_stmt *st)
{
    check(db, sqlite3_step(st), "step");
    sqlite3_reset(st);
}

// Every value of a message row as the floor binds it, prepared untimed.
struct MessageRow
{
    QByteArray guid, text, service, account, accountGuid, logicHash;
    qint64 chat = 0, handle = 0;
    const _MsgMessage *m = nullptr;
};

// The floor: the same rows through prepared statements of SQLite's C
// interface, in one transaction, into a new database made from the schema
// script of local databases. Returns milliseconds.
inline double floorRun(const QString &path, const MsgDataSet &set, const MsgMessageList &list)
{
    const _MsgDataSet *d = set.data();
    // Everything the rows hold, made before the clock starts.
    QHash<const _MsgChat *, qint64> chatIds;
    QHash<const _MsgHandle *, qint64> handleIds;
    qint64 next = 0;
    for (const _MsgChat *c : d->chats)
        chatIds.insert(c, ++next);
    next = 0;
    for (const _MsgHandle *h : d->handles)
        handleIds.insert(h, ++next);
    QList<MessageRow> rows;
    rows.reserve(list.size());
    for (const _MsgMessage *m : list) {
        MessageRow r;
        r.m = m;
        r.guid = m->guid.toUtf8();
        r.text = m->text.toUtf8();
        r.service = m->service.toUtf8();
        r.account = m->account.toUtf8();
        r.accountGuid = m->account_guid.toUtf8();
        r.logicHash = logicHash(*m).toUtf8();
        r.chat = chatIds.value(m->chat);
        r.handle = handleIds.value(m->handle);
        rows << r;
    }

    QDir().mkpath(QFileInfo(path).absolutePath());
    sqlite3 *db = nullptr;
    check(db, sqlite3_open(path.toUtf8().constData(), &db), "open");
    const QByteArray schema = IOS6MessageDb::schemaScript();
    check(db, sqlite3_exec(db, schema.constData(), nullptr, nullptr, nullptr), "schema");

    QElapsedTimer t;
    t.start();
    // The page cache the writer gives its connection.
    check(db, sqlite3_exec(db, "PRAGMA cache_size=-65536", nullptr, nullptr, nullptr), "cache");
    check(db, sqlite3_exec(db, "begin", nullptr, nullptr, nullptr), "begin");
    sqlite3_stmt *insChat = prepare(db,
                                    "insert into chat(ROWID,guid,style,state,chat_identifier,"
                                    "service_name,account_login,is_archived,group_id) "
                                    "values(?,?,?,?,?,?,?,?,?)");
    for (auto it = chatIds.cbegin(); it != chatIds.cend(); ++it) {
        const _MsgChat *c = it.key();
        const QByteArray guid = c->guid.toUtf8(), ident = c->chat_identifier.toUtf8(),
                         service = c->service_name.toUtf8(), login = c->account_login.toUtf8(),
                         group = md5Guid(guid).toUtf8();
        sqlite3_bind_int64(insChat, 1, it.value());
        bindText(insChat, 2, guid);
        sqlite3_bind_int(insChat, 3, c->style);
        sqlite3_bind_int(insChat, 4, c->state);
        bindText(insChat, 5, ident);
        bindText(insChat, 6, service);
        bindText(insChat, 7, login);
        sqlite3_bind_int(insChat, 8, c->is_archived);
        bindText(insChat, 9, group);
        step(db, insChat);
    }
    sqlite3_stmt *insHandle = prepare(db,
                                      "insert into handle(ROWID,id,country,service,_ct_name,_photo)"
                                      " values(?,?,?,?,?,?)");
    for (auto it = handleIds.cbegin(); it != handleIds.cend(); ++it) {
        const _MsgHandle *h = it.key();
        const QByteArray id = h->id.toUtf8(), country = h->country.toUtf8(),
                         service = h->service.toUtf8(), name = h->contactName.toUtf8();
        sqlite3_bind_int64(insHandle, 1, it.value());
        bindText(insHandle, 2, id);
        bindText(insHandle, 3, country);
        bindText(insHandle, 4, service);
        bindText(insHandle, 5, name);
        sqlite3_bind_blob(insHandle, 6, h->photo.constData(), int(h->photo.size()), SQLITE_STATIC);
        step(db, insHandle);
    }
    sqlite3_stmt *insChatHandle
            = prepare(db, "insert into chat_handle_join(chat_id,handle_id) values(?,?)");
    for (auto it = chatIds.cbegin(); it != chatIds.cend(); ++it) {
        for (const _MsgHandle *h : it.key()->handles) {
            sqlite3_bind_int64(insChatHandle, 1, it.value());
            sqlite3_bind_int64(insChatHandle, 2, handleIds.value(h));
            step(db, insChatHandle);
        }
    }
    sqlite3_stmt *insMessage = prepare(
            db,
            "insert into message(guid,text,replace,handle_id,version,type,service,account,"
            "account_guid,error,date,date_read,date_delivered,is_delivered,is_finished,is_emote,"
            "is_from_me,is_empty,is_delayed,is_auto_reply,is_prepared,is_read,is_system_message,"
            "is_sent,has_dd_results,is_service_message,is_forward,was_downgraded,is_archive,"
            "cache_has_attachments,cache_roomnames,was_data_detected,was_deduplicated,"
            "is_audio_message,is_played,date_played,item_type,group_action_type,share_status,"
            "share_direction,is_expirable,expire_state,message_action_type,logic_hash) values("
            "?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
            "?,?,?)");
    sqlite3_stmt *insChatMessage
            = prepare(db, "insert into chat_message_join(chat_id,message_id) values(?,?)");
    sqlite3_stmt *insAttachment = prepare(db,
                                          "insert into attachment(guid,created_date,start_date,"
                                          "filename,uti,mime_type,transfer_state,is_outgoing,"
                                          "total_bytes) values(?,?,?,?,?,?,?,?,?)");
    sqlite3_stmt *insMessageAttachment = prepare(
            db, "insert into message_attachment_join(message_id,attachment_id) values(?,?)");
    for (const MessageRow &r : std::as_const(rows)) {
        const _MsgMessage *m = r.m;
        int i = 0;
        sqlite3_stmt *s = insMessage;
        bindText(s, ++i, r.guid);
        bindText(s, ++i, r.text);
        sqlite3_bind_int(s, ++i, m->replace);
        sqlite3_bind_int64(s, ++i, r.handle);
        for (int v : {m->version, m->type})
            sqlite3_bind_int(s, ++i, v);
        bindText(s, ++i, r.service);
        bindText(s, ++i, r.account);
        bindText(s, ++i, r.accountGuid);
        for (int v : {m->error,
                      m->date,
                      m->date_read,
                      m->date_delivered,
                      m->is_delivered,
                      m->is_finished,
                      m->is_emote,
                      m->is_from_me,
                      m->is_empty,
                      m->is_delayed,
                      m->is_auto_reply,
                      m->is_prepared,
                      m->is_read,
                      m->is_system_message,
                      m->is_sent,
                      m->has_dd_results,
                      m->is_service_message,
                      m->is_forward,
                      m->was_downgraded,
                      m->is_archive,
                      m->cache_has_attachments})
            sqlite3_bind_int(s, ++i, v);
        sqlite3_bind_null(s, ++i); // cache_roomnames
        for (int v : {m->was_data_detected, m->was_deduplicated, m->is_audio_message, m->is_played,
                      m->date_played, m->item_type, m->group_action_type, m->share_status,
                      m->share_direction, m->is_expirable, m->expire_state, m->message_action_type})
            sqlite3_bind_int(s, ++i, v);
        bindText(s, ++i, r.logicHash);
        step(db, s);
        const qint64 messageId = sqlite3_last_insert_rowid(db);
        sqlite3_bind_int64(insChatMessage, 1, r.chat);
        sqlite3_bind_int64(insChatMessage, 2, messageId);
        step(db, insChatMessage);
        for (const _MsgAttachment *a : m->attachments) {
            const QByteArray guid = a->guid.toUtf8(), filename = a->filename.toUtf8(),
                             uti = a->uti.toUtf8(), mime = a->mime_type.toUtf8();
            bindText(insAttachment, 1, guid);
            sqlite3_bind_int(insAttachment, 2, a->created_date);
            sqlite3_bind_int(insAttachment, 3, a->start_date);
            bindText(insAttachment, 4, filename);
            bindText(insAttachment, 5, uti);
            bindText(insAttachment, 6, mime);
            sqlite3_bind_int(insAttachment, 7, a->transfer_state);
            sqlite3_bind_int(insAttachment, 8, a->is_outgoing);
            sqlite3_bind_int64(insAttachment, 9, a->total_bytes);
            step(db, insAttachment);
            sqlite3_bind_int64(insMessageAttachment, 1, messageId);
            sqlite3_bind_int64(insMessageAttachment, 2, sqlite3_last_insert_rowid(db));
            step(db, insMessageAttachment);
        }
    }
    for (sqlite3_stmt *st : {insChat, insHandle, insChatHandle, insMessage, insChatMessage,
                             insAttachment, insMessageAttachment})
        sqlite3_finalize(st);
    check(db, sqlite3_exec(db, "commit", nullptr, nullptr, nullptr), "commit");
    const double ms = t.nsecsElapsed() / 1e6;
    sqlite3_close(db);
    return ms;
}

} // namespace rawinsert
