// Reading an iOS 6 message database into a data set: chats with their
// handles (names from the phone's address book, numbers in canonical form),
// messages with their attachments, and the salvaged messages of the
// recycle store.

#include "store/ios6messagedb.h"
#include "store/msgutil.h"

#include <QDebug>
#include <QFileInfo>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <numeric>
#include <vector>

namespace {

// Column indexes of one query, looked up once rather than per row.
class Columns
{
public:
    explicit Columns(const Sqlite3Cursor &c)
        : m_c(c)
    { }
    int operator()(const char *name) const { return m_c.columnIndex(QLatin1String(name)); }

private:
    const Sqlite3Cursor &m_c;
};

struct ChatColumns
{
    int rowid, guid, style, state, account_id, properties, chat_identifier, service_name, room_name,
            account_login, is_archived, last_addressed_handle, display_name, last, group_id;
    explicit ChatColumns(const Sqlite3Cursor &c)
    {
        const Columns col(c);
        rowid = col("rowid");
        guid = col("guid");
        style = col("style");
        state = col("state");
        account_id = col("account_id");
        properties = col("properties");
        chat_identifier = col("chat_identifier");
        service_name = col("service_name");
        room_name = col("room_name");
        account_login = col("account_login");
        is_archived = col("is_archived");
        last_addressed_handle = col("last_addressed_handle");
        display_name = col("display_name");
        last = col("_last");
        group_id = col("group_id");
    }
    void read(const Sqlite3Cursor &c, _MsgChat *r) const
    {
        r->ROWID = c.getInt64(rowid);
        r->guid = c.getText(guid);
        r->style = c.getInt(style);
        r->state = c.getInt(state);
        r->account_id = c.getText(account_id);
        r->properties = c.getBlob(properties);
        r->chat_identifier = c.getText(chat_identifier);
        r->service_name = c.getText(service_name);
        r->room_name = c.getText(room_name);
        r->account_login = c.getText(account_login);
        r->is_archived = c.getInt(is_archived);
        r->last_addressed_handle = c.getText(last_addressed_handle);
        r->display_name = c.getText(display_name);
        r->lastDate = iosDateFromColumn(c.getInt64(last));
        r->group_id = c.getText(group_id);
    }
};

struct HandleColumns
{
    int chat_id, rowid, id, country, service, uncanonicalized_id, ct_name, photo;
    explicit HandleColumns(const Sqlite3Cursor &c)
    {
        const Columns col(c);
        chat_id = col("chat_id");
        rowid = col("rowid");
        id = col("id");
        country = col("country");
        service = col("service");
        uncanonicalized_id = col("uncanonicalized_id");
        ct_name = col("_ct_name");
        photo = col("_photo");
    }
    void read(const Sqlite3Cursor &c, _MsgHandle *h) const
    {
        h->ROWID = c.getInt64(rowid);
        h->id = c.getText(id);
        h->country = c.getText(country);
        h->service = c.getText(service);
        h->uncanonicalized_id = c.getText(uncanonicalized_id);
        h->contactName = c.getText(ct_name);
        h->photo = c.getBlob(photo);
    }
};

struct MessageColumns
{
    int chat_id, rowid, guid, text, replace, service_center, handle_id, subject, country,
            attributedBody, version, type, service, account, account_guid, error, date, date_read,
            date_delivered, is_delivered, is_finished, is_emote, is_from_me, is_empty, is_delayed,
            is_auto_reply, is_prepared, is_read, is_system_message, is_sent, has_dd_results,
            is_service_message, is_forward, was_downgraded, is_archive, cache_has_attachments,
            cache_roomnames, was_data_detected, was_deduplicated, is_audio_message, is_played,
            date_played, item_type, other_handle, group_title, group_action_type, share_status,
            share_direction, is_expirable, expire_state, message_action_type;
    explicit MessageColumns(const Sqlite3Cursor &c)
    {
        const Columns col(c);
        chat_id = col("chat_id");
        rowid = col("rowid");
        guid = col("guid");
        text = col("text");
        replace = col("replace");
        service_center = col("service_center");
        handle_id = col("handle_id");
        subject = col("subject");
        country = col("country");
        attributedBody = col("attributedBody");
        version = col("version");
        type = col("type");
        service = col("service");
        account = col("account");
        account_guid = col("account_guid");
        error = col("error");
        date = col("date");
        date_read = col("date_read");
        date_delivered = col("date_delivered");
        is_delivered = col("is_delivered");
        is_finished = col("is_finished");
        is_emote = col("is_emote");
        is_from_me = col("is_from_me");
        is_empty = col("is_empty");
        is_delayed = col("is_delayed");
        is_auto_reply = col("is_auto_reply");
        is_prepared = col("is_prepared");
        is_read = col("is_read");
        is_system_message = col("is_system_message");
        is_sent = col("is_sent");
        has_dd_results = col("has_dd_results");
        is_service_message = col("is_service_message");
        is_forward = col("is_forward");
        was_downgraded = col("was_downgraded");
        is_archive = col("is_archive");
        cache_has_attachments = col("cache_has_attachments");
        cache_roomnames = col("cache_roomnames");
        was_data_detected = col("was_data_detected");
        was_deduplicated = col("was_deduplicated");
        is_audio_message = col("is_audio_message");
        is_played = col("is_played");
        date_played = col("date_played");
        item_type = col("item_type");
        other_handle = col("other_handle");
        group_title = col("group_title");
        group_action_type = col("group_action_type");
        share_status = col("share_status");
        share_direction = col("share_direction");
        is_expirable = col("is_expirable");
        expire_state = col("expire_state");
        message_action_type = col("message_action_type");
    }
    void read(const Sqlite3Cursor &c, _MsgMessage *m, Sqlite3TextPool &pool) const
    {
        m->ROWID = c.getInt64(rowid);
        m->orderKey = m->ROWID;
        m->guid = c.getText(guid);
        m->text = c.getText(text);
        m->replace = c.getInt(replace);
        m->service_center = pool(c, service_center);
        m->handle_id = c.getInt64(handle_id);
        m->subject = c.getText(subject);
        m->country = pool(c, country);
        m->attributedBody = c.getBlob(attributedBody);
        m->version = c.getInt(version);
        m->type = c.getInt(type);
        m->service = pool(c, service);
        m->account = pool(c, account);
        m->account_guid = pool(c, account_guid);
        m->error = c.getInt(error);
        m->date = iosDateFromColumn(c.getInt64(date));
        m->date_read = iosDateFromColumn(c.getInt64(date_read));
        m->date_delivered = iosDateFromColumn(c.getInt64(date_delivered));
        m->is_delivered = c.getInt(is_delivered);
        m->is_finished = c.getInt(is_finished);
        m->is_emote = c.getInt(is_emote);
        m->is_from_me = c.getInt(is_from_me);
        m->is_empty = c.getInt(is_empty);
        m->is_delayed = c.getInt(is_delayed);
        m->is_auto_reply = c.getInt(is_auto_reply);
        m->is_prepared = c.getInt(is_prepared);
        m->is_read = c.getInt(is_read);
        m->is_system_message = c.getInt(is_system_message);
        m->is_sent = c.getInt(is_sent);
        m->has_dd_results = c.getInt(has_dd_results);
        m->is_service_message = c.getInt(is_service_message);
        m->is_forward = c.getInt(is_forward);
        m->was_downgraded = c.getInt(was_downgraded);
        m->is_archive = c.getInt(is_archive);
        m->cache_has_attachments = c.getInt(cache_has_attachments);
        m->cache_roomnames = pool(c, cache_roomnames);
        m->was_data_detected = c.getInt(was_data_detected);
        m->was_deduplicated = c.getInt(was_deduplicated);
        m->is_audio_message = c.getInt(is_audio_message);
        m->is_played = c.getInt(is_played);
        m->date_played = iosDateFromColumn(c.getInt64(date_played));
        m->item_type = c.getInt(item_type);
        m->other_handle = c.getInt(other_handle);
        m->group_title = pool(c, group_title);
        m->group_action_type = c.getInt(group_action_type);
        m->share_status = c.getInt(share_status);
        m->share_direction = c.getInt(share_direction);
        m->is_expirable = c.getInt(is_expirable);
        m->expire_state = c.getInt(expire_state);
        m->message_action_type = c.getInt(message_action_type);
    }
};

struct AttachmentColumns
{
    int message_id, attachment_id, guid, created_date, start_date, filename, uti, mime_type,
            transfer_state, is_outgoing, user_info, transfer_name, total_bytes;
    explicit AttachmentColumns(const Sqlite3Cursor &c)
    {
        const Columns col(c);
        message_id = col("message_id");
        attachment_id = col("attachment_id");
        guid = col("guid");
        created_date = col("created_date");
        start_date = col("start_date");
        filename = col("filename");
        uti = col("uti");
        mime_type = col("mime_type");
        transfer_state = col("transfer_state");
        is_outgoing = col("is_outgoing");
        user_info = col("user_info");
        transfer_name = col("transfer_name");
        total_bytes = col("total_bytes");
    }
    void read(const Sqlite3Cursor &c, _MsgAttachment *a) const
    {
        a->ROWID = c.getInt64(attachment_id);
        a->guid = c.getText(guid);
        a->created_date = iosDateFromColumn(c.getInt64(created_date));
        a->start_date = iosDateFromColumn(c.getInt64(start_date));
        a->filename = c.getText(filename);
        a->uti = c.getText(uti);
        a->mime_type = c.getText(mime_type);
        a->transfer_state = c.getInt(transfer_state);
        a->is_outgoing = c.getInt(is_outgoing);
        a->user_info = c.getBlob(user_info);
        a->transfer_name = c.getText(transfer_name);
        a->total_bytes = c.getInt64(total_bytes);
    }
};

// Maps attachment file names of the phone to files below the store's
// "file-relay" folder, and keeps every result inside it: ".." steps are
// resolved, and a path through a symbolic link counts only when the link's
// target lies inside too. Folders found to be no links are remembered, so
// that a load asks the file system about the few new folders of each file.
class AttachmentPathResolver
{
public:
    explicit AttachmentPathResolver(const QDir &fileRelay)
        : m_root(QDir::cleanPath(fileRelay.absolutePath()))
    { }

    QString operator()(const QString &filename)
    {
        QString rel = filename;
        if (rel.startsWith(QLatin1Char('/')))
            rel.remove(0, 1);
        if (rel.startsWith(QLatin1String("~/")))
            rel.replace(0, 2, QStringLiteral("var/mobile/"));
        removeForbiddenNameChars(rel);
        // A backslash separates folders on Windows; take it as one everywhere
        // so that "..\" cannot pass for a name here and a folder step there.
        rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (rel.isEmpty() || rel.startsWith(QLatin1Char('/')))
            return QString();

        const QString path = QDir::cleanPath(m_root + QLatin1Char('/') + rel);
        if (!isBelowRoot(path, m_root))
            return QString();
        return leavesThroughLink(path) ? QString() : path;
    }

private:
    static bool isBelowRoot(const QString &path, const QString &root)
    {
        return path.size() > root.size() + 1 && path.startsWith(root)
                && path.at(root.size()) == QLatin1Char('/');
    }

    // Whether a folder on the way or the file itself is a symbolic link
    // whose target lies outside the root (or cannot be resolved).
    bool leavesThroughLink(const QString &path)
    {
        qsizetype slash = m_root.size();
        while (slash >= 0) {
            const qsizetype next = path.indexOf(QLatin1Char('/'), slash + 1);
            const QString step = next < 0 ? path : path.left(next);
            if (next >= 0 && m_plainFolders.contains(step)) {
                slash = next;
                continue;
            }
            const QFileInfo info(step);
            if (info.isSymLink()) {
                if (m_realRoot.isEmpty())
                    m_realRoot = QFileInfo(m_root).canonicalFilePath();
                const QString real = info.canonicalFilePath();
                // A link that stays inside: the whole path resolved must stay
                // inside too (a file missing behind a link counts as outside).
                if (real.isEmpty() || m_realRoot.isEmpty())
                    return true;
                if (real != m_realRoot && !isBelowRoot(real, m_realRoot))
                    return true;
                const QString rest = next < 0 ? QString() : path.mid(next);
                const QString whole = QFileInfo(real + rest).canonicalFilePath();
                return whole.isEmpty() || !isBelowRoot(whole, m_realRoot);
            }
            if (!info.exists())
                return false; // nothing there: no link further down either
            if (next >= 0)
                m_plainFolders.insert(step);
            slash = next;
        }
        return false;
    }

    QString m_root;
    QString m_realRoot;
    QSet<QString> m_plainFolders;
};

// The row ids met in one read: a bit each for the usual range, a set for
// the rest.
class NewRowids
{
public:
    // Whether rowid was not met before.
    bool insert(qint64 rowid)
    {
        if (rowid < 0 || rowid >= kBitRange)
            return !m_others.contains(rowid) && (m_others.insert(rowid), true);
        const size_t word = size_t(rowid) / 64;
        const quint64 bit = quint64(1) << (rowid % 64);
        if (word >= m_bits.size())
            m_bits.resize(std::max(word + 1, m_bits.size() * 2), 0);
        if (m_bits[word] & bit)
            return false;
        m_bits[word] |= bit;
        return true;
    }

private:
    static constexpr qint64 kBitRange = qint64(1) << 27; // 16 MiB of bits at most
    std::vector<quint64> m_bits;
    QSet<qint64> m_others;
};

// Links a message read from a row to its handles and the row's chat, and
// files it in the chat (put in order when the read ends).
void placeRow(const FlatMap<qint64, _MsgHandle *> &handles, _MsgMessage *m, _MsgChat *chat,
              bool moveDates)
{
    if (_MsgHandle *h = handles.value(m->handle_id)) {
        m->handle = h;
        if (m->country.isEmpty())
            m->country = h->country;
    }
    if (m->other_handle > 0) {
        if (_MsgHandle *h = handles.value(m->other_handle))
            m->otherHandle = h;
    }
    if (chat) {
        m->chat = chat;
        // Messages added since the dates were taken move them on.
        if (moveDates && m->date > chat->lastDate)
            chat->lastDate = m->date;
        chat->messages.appendUnsorted(messageKey(m->ROWID), m);
    }
}

int checkpointAtCloseOnCommit(void *connection)
{
    auto *db = static_cast<sqlite3 *>(connection);
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    return 0; // let the commit go on
}

} // namespace

void IOS6MessageDb::ensureOpenForReading()
{
    ensureOpen();
    // A copy of a phone's database, opened without upgrade, must stay as it
    // was: closing the connection would otherwise check a write-ahead log
    // into the file. As soon as anything is committed through this
    // connection, the checkpoint at close is wanted again: callers copy the
    // database file alone.
    if (!m_upgradeSchema && sqlite3_total_changes64(handle()) == 0) {
        sqlite3_db_config(handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        sqlite3_commit_hook(handle(), checkpointAtCloseOnCommit, handle());
    }
}

QString IOS6MessageDb::attachmentLocalPath(const QDir &fileRelay, const QString &filename)
{
    return AttachmentPathResolver(fileRelay)(filename);
}

struct IOS6MessageDb::AttachmentLocalPaths::Impl : AttachmentPathResolver
{
    using AttachmentPathResolver::AttachmentPathResolver;
};

IOS6MessageDb::AttachmentLocalPaths::AttachmentLocalPaths(const QDir &fileRelay)
    : d(std::make_unique<Impl>(fileRelay))
{ }

IOS6MessageDb::AttachmentLocalPaths::~AttachmentLocalPaths() = default;

QString IOS6MessageDb::AttachmentLocalPaths::operator()(const QString &filename)
{
    return (*d)(filename);
}

void IOS6MessageDb::chats(MsgDataSet &set)
{
    readChats(set, true);
}

void IOS6MessageDb::readChats(MsgDataSet &set, bool newestDates)
{
    ensureOpenForReading();
    if (set.isNull())
        set.reset();
    _MsgDataSet *ds = set.data();

    try {
        m_contactsDb.ensureOpen();
    } catch (const std::exception &) {
        // No names then; the messages are still shown.
    }

    {
        Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from chat"));
        const ChatColumns col(c);
        while (c.moveNext()) {
            const qint64 rowid = c.getInt64(col.rowid);
            if (ds->chats.contains(rowid))
                continue;
            auto *chat = new _MsgChat;
            col.read(c, chat);
            ds->chats.insert(rowid, chat);
        }
    }

    const bool lastColumn = schemaHas("chat", "_last INTEGER", Qt::CaseInsensitive);
    if (lastColumn)
        ds->newestDatesKnown = true; // read with the chats
    if (newestDates && !lastColumn) {
        // The same unit rule as iosDateFromColumn, applied per row so that
        // a database mixing both units still finds its newest message.
        Sqlite3Cursor c = queryThrow(Sqlite3Sql(
                QStringLiteral("select chat_id, max(case when abs(date) > %1 then date / %2 "
                               "else date end) as last from ( select cm.chat_id, m.date from "
                               "chat_message_join as cm inner join message as m on "
                               "cm.message_id=m.rowid ) as tmp group by chat_id")
                        .arg(kNanosecondDatesAbove)
                        .arg(kNanosecondsPerSecond)));
        const int chatIdCol = c.columnIndex(QLatin1String("chat_id"));
        const int lastCol = c.columnIndex(QLatin1String("last"));
        while (c.moveNext()) {
            if (_MsgChat *chat = ds->chats.value(c.getInt64(chatIdCol)))
                chat->lastDate = iosDateFromColumn(c.getInt64(lastCol));
        }
        ds->newestDatesKnown = true;
    }

    // Countries by two-letter code, asked of the library once each.
    QHash<QString, _CountryInfo> countries;
    auto countryOf = [&](const QString &sn) -> const _CountryInfo & {
        auto it = countries.find(sn);
        if (it == countries.end())
            it = countries.insert(sn, countryBySn(m_countryLib, sn));
        return *it;
    };

    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select j.chat_id, h.* from chat_handle_join as j "
                                            "inner join handle as h on j.handle_id = h.rowid"));
    const HandleColumns col(c);
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64(col.rowid);
        _MsgHandle *h = ds->handles.value(rowid);
        if (!h) {
            h = new _MsgHandle;
            col.read(c, h);
            ds->handles.insert(rowid, h);
            if (h->country.isEmpty()) {
                const _CountryInfo &current = m_countryLib.country();
                h->country = current.sn.toLower();
                h->id = normalizeNumber(current, h->id);
            } else {
                h->id = normalizeNumber(countryOf(h->country), h->id);
            }
            if (m_contactsDb.isOpen()) {
                try {
                    const _ContactPerson p = m_contactsDb.lookupPerson(h->id);
                    h->contactName = personDisplayName(p);
                    h->photo = p.photo;
                } catch (const std::exception &e) {
                    qWarning().noquote() << QStringLiteral("IOS6MessageDb::chats, "
                                                           "IOSContactsMemDb error. %1")
                                                    .arg(QString::fromUtf8(e.what()));
                }
            }
        }
        if (_MsgChat *chat = ds->chats.value(c.getInt64(col.chat_id)))
            chat->handles.insert(QString::number(rowid), h);
    }
}

void IOS6MessageDb::messages(MsgDataSet &set, qint64 chatId)
{
    ensureOpenForReading();
    // Reading a chat's messages passes every one of its join rows anyway:
    // its newest date is taken on the way (the rows of location sharing
    // count, as in chats()) rather than by a scan of the whole database,
    // and not at all when the set knows them already.
    readChats(set, false);
    _MsgDataSet *ds = set.data();
    const bool foldDates = !ds->newestDatesKnown;
    const bool itemType = schemaHas("message", "item_type");

    {
        QString sql = QStringLiteral("select j.chat_id, m.* from chat_message_join as j inner "
                                     "join message as m on j.message_id = m.rowid");
        // Location sharing is left out; a NULL item_type reads as 0, an
        // ordinary message, and stays.
        const bool filterInSql = itemType && !foldDates;
        if (filterInSql)
            sql += QStringLiteral(" and ifnull(m.item_type, 0) <> 4");
        if (chatId > 0)
            sql += QStringLiteral(" and j.chat_id=%1").arg(chatId);
        Sqlite3Cursor c = queryThrow(Sqlite3Sql(sql));
        const MessageColumns col(c);
        Sqlite3TextPool pool;
        QHash<qint64, int> newest; // chat rowid -> newest date of its rows
        // The rows come grouped by chat, each chat's by rowid: new messages
        // are appended to the tables as they come and the tables are put in
        // order once at the end. A message met again in this read (one
        // message in two chats) is taken up once the set's table is in
        // order; one already in the set before is found there now.
        const qsizetype before = ds->messages.size();
        Q_ASSERT(ds->messages.isSorted());
        NewRowids readNow;
        struct Again
        {
            qint64 rowid;
            _MsgChat *chat;
        };
        std::vector<Again> again;
        // The handles in one piece of memory for the look-ups of every row,
        // and the chat of the row before (rows come grouped by chat).
        FlatMap<qint64, _MsgHandle *> handles;
        handles.reserve(ds->handles.size());
        for (auto it = ds->handles.cbegin(); it != ds->handles.cend(); ++it)
            handles.appendUnsorted(it.key(), it.value());
        qint64 lastChatId = 0;
        _MsgChat *lastChat = nullptr;
        // The tables are put in order however the read ends.
        struct InOrder
        {
            _MsgDataSet *ds;
            ~InOrder()
            {
                ds->messages.finishAppending();
                for (_MsgChat *chat : std::as_const(ds->chats))
                    chat->messages.finishAppending();
            }
        } inOrder {ds};
        while (c.moveNext()) {
            if (foldDates) {
                const qint64 chat = c.getInt64(col.chat_id);
                const int date = iosDateFromColumn(c.getInt64(col.date));
                auto it = newest.find(chat);
                if (it == newest.end())
                    newest.insert(chat, date);
                else if (date > *it)
                    *it = date;
                if (itemType && c.getInt(col.item_type) == 4)
                    continue;
            }
            const qint64 rowid = c.getInt64(col.rowid);
            const qint64 rowChatId = c.getInt64(col.chat_id);
            if (!lastChat || rowChatId != lastChatId) {
                lastChatId = rowChatId;
                lastChat = ds->chats.value(rowChatId);
            }
            _MsgChat *chat = lastChat;
            if (!readNow.insert(rowid)) {
                if (chat)
                    again.push_back({rowid, chat});
                continue;
            }
            // The entries of the set from before come first, in order.
            const auto known = ds->messages.findInFirst(before, rowid);
            _MsgMessage *m = known != ds->messages.cend() ? *known : nullptr;
            if (!m) {
                m = ds->newMessage();
                col.read(c, m, pool);
                ds->messages.appendUnsorted(rowid, m);
            }
            placeRow(handles, m, chat, !foldDates);
        }
        ds->messages.finishAppending();
        for (const Again &a : again) {
            if (_MsgMessage *m = ds->messages.value(a.rowid))
                placeRow(handles, m, a.chat, !foldDates);
        }
        for (auto it = newest.cbegin(); it != newest.cend(); ++it) {
            if (_MsgChat *chat = ds->chats.value(it.key()))
                chat->lastDate = it.value();
        }
        if (foldDates && chatId <= 0)
            ds->newestDatesKnown = true;
    }

    QString sql = QStringLiteral(
            "select ma.message_id, ma.attachment_id, cm.chat_id, a.* from message_attachment_join "
            "as ma inner join attachment as a on ma.attachment_id=a.rowid inner join "
            "chat_message_join as cm on ma.message_id=cm.message_id");
    if (chatId > 0)
        sql += QStringLiteral(" and cm.chat_id=%1").arg(chatId);
    Sqlite3Cursor c = queryThrow(Sqlite3Sql(sql));
    const AttachmentColumns col(c);
    AttachmentPathResolver localPath(m_fileRelayDir);
    while (c.moveNext()) {
        const qint64 attId = c.getInt64(col.attachment_id);
        _MsgAttachment *&slot = ds->attachments[attId];
        if (!slot) {
            slot = new _MsgAttachment;
            col.read(c, slot);
        }
        _MsgAttachment *a = slot;
        if (!a->filename.isEmpty())
            a->localPath = localPath(a->filename);
        if (_MsgMessage *m = ds->messages.value(c.getInt64(col.message_id)))
            m->attachments.insert(QString::number(attId), a);
    }
}

qint64 IOS6MessageDb::messageCount()
{
    ensureOpenForReading();
    QString sql = QStringLiteral("select count(*) from chat_message_join as j inner join message "
                                 "as m on j.message_id = m.rowid");
    if (schemaHas("message", "item_type"))
        sql += QStringLiteral(" and ifnull(m.item_type, 0) <> 4");
    Sqlite3Cursor c = queryThrow(Sqlite3Sql(sql));
    return c.moveNext() ? c.getInt64(0) : 0;
}

void IOS6MessageDb::loadRecycledChats(MsgDataSet &set)
{
    // A deletion killed between its two commits is finished first, so that
    // the salvaged messages it took do not come back.
    finishRecycleDeletion();
    ensureOpenForReading();
    if (set.isNull())
        set.reset();
    QList<_MsgRecycleMessage> recycled = m_recycleDb.loadRecycledMessages();
    // Salvaged messages that are live again are shown as live ones. One
    // read transaction for the look-ups (unless the caller holds one): the
    // file is locked and checked once instead of once a message. Nothing is
    // written in it, so it simply ends.
    struct ReadTransaction
    {
        Sqlite3DB &db;
        const bool own = !db.inTran();
        ~ReadTransaction()
        {
            if (own && db.inTran()) {
                try {
                    db.rollbackTran();
                } catch (...) {
                }
            }
        }
    } transaction {*this};
    if (transaction.own)
        beginTran();
    MessageRecycleDb::dropLiveAgain(*this, recycled);
    MessageRecycleDb::groupRecycledMessages(set, std::move(recycled));
}
