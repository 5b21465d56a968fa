#include "store/ios5messagedb.h"

#include "store/ios6messagedb.h"

#include "store/msgutil.h"
#include "store/texts.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>
#include <sqlite3.h>

#include <limits>
#include <optional>
#include <stdexcept>

namespace {

const QChar kObjectReplacement(0xFFFC);
constexpr int kMaxPieceNameBytes = 200;
constexpr int kMaxSuffixLength = 16;

// read(flags): 1 when the integer value of its argument is not 0. The
// phone's triggers call it when a message's flags change.
void readFunction(sqlite3_context *context, int, sqlite3_value **argv)
{
    sqlite3_result_int(context, sqlite3_value_int(argv[0]) != 0 ? 1 : 0);
}

qint32 clampDate(qint64 value)
{
    if (value > std::numeric_limits<qint32>::max())
        return std::numeric_limits<qint32>::max();
    if (value < std::numeric_limits<qint32>::min())
        return std::numeric_limits<qint32>::min();
    return qint32(value);
}

// base minus rowid, held inside the 64-bit range whatever the row id is.
qint64 idBelow(qint64 base, qint64 rowid)
{
    qint64 result = 0;
    if (__builtin_sub_overflow(base, rowid, &result))
        return rowid > 0 ? std::numeric_limits<qint64>::min() / 2 : base;
    return result;
}

// The preferred id when it is free in the table, else the first free id
// below it, so that a record already in the set is never replaced.
template<typename Table> qint64 freeIdFrom(const Table &table, qint64 preferred)
{
    qint64 id = preferred;
    while (table.contains(id)) {
        if (id == std::numeric_limits<qint64>::min())
            id = -1;
        else
            --id;
    }
    return id;
}

const QRegularExpression &guidPattern()
{
    static const QRegularExpression re(QStringLiteral(
            "[a-zA-Z0-9]{8}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{4}\\-[a-zA-Z0-9]{12}"));
    return re;
}

bool isAsciiAlnum(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
}

// Removes whole code points from the end until the UTF-8 form fits.
void chopToUtf8Bytes(QString &s, int maxBytes)
{
    while (!s.isEmpty() && s.toUtf8().size() > maxBytes) {
        s.chop(1);
        if (!s.isEmpty() && s.back().isHighSurrogate())
            s.chop(1);
    }
}

} // namespace

QString safePieceSuffix(const QString &contentLocation)
{
    const qsizetype dot = contentLocation.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return {};
    QString suffix;
    for (QChar c : QStringView(contentLocation).mid(dot + 1)) {
        if (isAsciiAlnum(c))
            suffix += c;
        if (suffix.size() >= kMaxSuffixLength)
            break;
    }
    return suffix;
}

QString safePieceFileName(const QString &contentLocation)
{
    QString name = contentLocation;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = name.section(QLatin1Char('/'), -1);
    QString clean;
    for (QChar c : std::as_const(name)) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7f || QStringLiteral("<>:\"|?*").contains(c))
            continue;
        clean += c;
    }
    clean = clean.trimmed();
    if (clean == QLatin1String(".") || clean == QLatin1String(".."))
        return {};
    if (clean.toUtf8().size() > kMaxPieceNameBytes) {
        const qsizetype dot = clean.lastIndexOf(QLatin1Char('.'));
        QString suffix = dot > 0 ? clean.mid(dot) : QString();
        if (suffix.size() > kMaxSuffixLength + 1)
            suffix.clear();
        QString base = suffix.isEmpty() ? clean : clean.left(dot);
        chopToUtf8Bytes(base, kMaxPieceNameBytes - int(suffix.toUtf8().size()));
        clean = base + suffix;
    }
    return clean;
}

struct IOS5MessageDb::PieceRow
{
    qint64 rowid = 0;
    qint64 messageId = 0;
    qint64 groupId = 0;
    qint64 partId = 0;
    int msgFlags = 0;
    QString contentType;
    QString contentLoc;
    QByteArray data;
};

IOS5MessageDb::IOS5MessageDb(const QDir &dataDir, const QString &mcc)
    : m_fileRelayDir(QDir(dataDir.absolutePath()).absoluteFilePath(QStringLiteral("file-relay")))
    , m_contactsDb(dataDir, mcc)
    , m_recycleDb(QDir(dataDir.absolutePath()).absoluteFilePath(QStringLiteral("recycle.db")))
    , m_countryLib(mcc)
    , m_smsDbPath(m_fileRelayDir.absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db")))
{ }

IOS5MessageDb::~IOS5MessageDb() = default;

void IOS5MessageDb::ensureOpen()
{
    if (isOpen())
        return;
    try {
        // A phone's copy is never changed: no checkpoint of its log, no
        // log or index files left beside it.
        openUnchangedThrow(m_smsDbPath);
        sqlite3_create_function_v2(handle(), "read", 1, SQLITE_ANY, nullptr, readFunction, nullptr,
                                   nullptr, nullptr);
        QHash<QString, QString> schemas;
        Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
        while (c.moveNext())
            schemas.insert(c.getText("name"), c.getText("sql"));
        for (const char *table : {"message", "msg_group", "group_member", "msg_pieces"}) {
            if (!schemas.contains(QLatin1String(table)))
                throw std::runtime_error(ids("IDS_DB_KIND_NOT_READ").toUtf8().toStdString());
        }
        m_tableSchemas = schemas;
    } catch (...) {
        m_tableSchemas.clear();
        close();
        throw;
    }
}

qint64 IOS5MessageDb::messageCount()
{
    ensureOpen();
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select count(*) from message"));
    return c.moveNext() ? c.getInt64(0) : 0;
}

void IOS5MessageDb::loadRecycledChats(MsgDataSet &set)
{
    ensureOpen();
    if (set.isNull())
        set.reset();
    const QList<_MsgRecycleMessage> recycled = m_recycleDb.loadRecycledMessages();
    MessageRecycleDb::groupRecycledMessages(set, recycled);
}

_CountryInfo IOS5MessageDb::countryOf(const QString &sn)
{
    const QString key = sn.toUpper();
    auto it = m_countryCache.constFind(key);
    if (it != m_countryCache.constEnd())
        return *it;
    const _CountryInfo info = countryBySn(m_countryLib, key);
    m_countryCache.insert(key, info);
    return info;
}

_MsgHandle *IOS5MessageDb::newHandle(_MsgDataSet &d, qint64 rowid, const QString &id,
                                     const QString &country, const QString &service)
{
    auto *h = new _MsgHandle;
    h->ROWID = rowid;
    h->id = id;
    h->country = country;
    h->service = service;
    if (m_contactsOpen) {
        try {
            const _ContactPerson person = m_contactsDb.lookupPerson(h->id);
            h->contactName = personDisplayName(person);
            h->photo = person.photo;
        } catch (const std::exception &e) {
            qWarning("IOS5MessageDb::chats, IOSContactsMemDb error. %s", e.what());
        }
    }
    d.handles.insert(rowid, h);
    return h;
}

void IOS5MessageDb::chats(MsgDataSet &set)
{
    ensureOpen();
    try {
        m_contactsDb.ensureOpen();
    } catch (const std::exception &) { }
    m_contactsOpen = m_contactsDb.isOpen();
    if (set.isNull())
        set.reset();
    _MsgDataSet &d = *set.data();

    readSmsGroups(d);
    readSmsMembers(d);
    m_madridRowidByKey.clear();
    if (m_tableSchemas.contains(QStringLiteral("madrid_chat")))
        readMadridChats(d);
}

void IOS5MessageDb::readSmsGroups(_MsgDataSet &d)
{
    // A left join: a group whose newest message is gone still has its other
    // messages, and takes the date of the newest of them.
    Sqlite3Cursor c = queryThrow(
            Sqlite3Sql("select g.*, coalesce(m.date, (select max(x.date) from message as x "
                       "where x.group_id=g.rowid)) - 978307200 as last_date "
                       "from msg_group as g left join message as m on g.newest_message=m.rowid"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64("rowid");
        if (rowid <= 0 || d.chats.contains(rowid))
            continue;
        auto *chat = new _MsgChat;
        chat->ROWID = rowid;
        chat->lastDate = clampDate(c.getInt64("last_date"));
        chat->style = 45;
        chat->state = 3;
        chat->guid = QStringLiteral("SMS;-;%1").arg(c.getInt("hash"));
        chat->chat_identifier = QStringLiteral("unknown");
        chat->service_name = QStringLiteral("SMS");
        chat->account_login = QStringLiteral("E:");
        d.chats.insert(rowid, chat);
    }
}

void IOS5MessageDb::readSmsMembers(_MsgDataSet &d)
{
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from group_member"));
    while (c.moveNext()) {
        const qint64 groupId = c.getInt64("group_id");
        _MsgChat *chat = groupId > 0 ? d.chats.value(groupId) : nullptr;
        if (!chat)
            continue;
        const qint64 rowid = c.getInt64("rowid");
        if (rowid <= 0)
            continue;
        _MsgHandle *h = d.handles.value(rowid);
        if (!h) {
            const QString country = c.getText("country");
            h = newHandle(d, rowid, normalizeNumber(countryOf(country), c.getText("address")),
                          country, QStringLiteral("SMS"));
        }
        if (chat->handles.contains(h->id))
            continue;
        if (chat->handles.isEmpty()) {
            chat->chat_identifier = h->id;
            chat->guid = QStringLiteral("SMS;-;") + h->id;
            chat->style = 45;
        } else if (chat->handles.size() == 1) {
            chat->chat_identifier = newGroupChatId(chat->guid);
            chat->guid = QStringLiteral("SMS;+;") + chat->chat_identifier;
            chat->room_name = chat->chat_identifier;
            chat->style = 43;
            chat->account_id = md5Guid(chat->guid.toUtf8());
        }
        chat->handles.insert(h->id, h);
    }
}

void IOS5MessageDb::readMadridChats(_MsgDataSet &d)
{
    const _CountryInfo country = m_countryLib.country();
    QHash<QString, _MsgChat *> byIdentifier;
    Sqlite3Cursor c = queryThrow(Sqlite3Sql("select * from madrid_chat"));
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64("rowid");
        const QString identifier = normalizeNumber(country, c.getText("chat_identifier"));
        const PlistValue participants = parsePlistBuffer(c.getBlob("participants"));
        const unsigned n = participants.arraySize();
        const QString guid = QLatin1String(n >= 2 ? "iMessage;+;" : "iMessage;-;") + identifier;

        // A chat read before into this set stays as it is; it is ours when
        // it carries the guid this row gives, under the id the row asks for
        // or, when that id was taken by another record, under another one.
        const qint64 preferred = rowid > 0 ? -rowid : -1;
        auto isOurs = [&](const _MsgChat *chat) {
            return chat && chat->ROWID < 0 && chat->guid == guid
                    && chat->chat_identifier == identifier
                    && chat->service_name == QLatin1String("iMessage")
                    && !m_madridRowidByKey.contains(chat->ROWID);
        };
        _MsgChat *existing = d.chats.value(preferred);
        if (!isOurs(existing)) {
            existing = nullptr;
            // Moved: the nearest chat of ours below the id it asked for.
            if (d.chats.contains(preferred)) {
                for (auto it = d.chats.constBegin();
                     it != d.chats.constEnd() && it.key() < preferred; ++it) {
                    if (isOurs(it.value()))
                        existing = it.value();
                }
            }
        }
        if (existing) {
            m_madridRowidByKey.insert(existing->ROWID, rowid);
            continue;
        }

        auto *chat = new _MsgChat;
        chat->ROWID = freeIdFrom(d.chats, preferred);
        chat->chat_identifier = identifier;
        chat->guid = guid;
        chat->style = c.getInt("style");
        chat->state = c.getInt("state");
        chat->account_id = c.getText("account_id");
        chat->service_name = QStringLiteral("iMessage");
        chat->account_login = c.getText("account_login");
        chat->lastDate = 0;
        d.chats.insert(chat->ROWID, chat);
        m_madridRowidByKey.insert(chat->ROWID, rowid);
        byIdentifier.insert(identifier, chat);

        for (unsigned i = 0; i < n; ++i) {
            const QString id = normalizeNumber(country, participants.arrayItem(int(i)).toString());
            const qint64 key = freeIdFrom(d.handles, -qint64(d.handles.size()) - 1);
            _MsgHandle *h = newHandle(d, key, id, QString(), QStringLiteral("iMessage"));
            chat->handles.insert(h->id, h);
        }
    }
    if (byIdentifier.isEmpty())
        return;

    const char *const newest[] = {
            "select madrid_roomname,max(date) as last_date from message group by madrid_roomname "
            "having madrid_roomname is not null and madrid_roomname <> ''",
            "select madrid_handle,max(date) as last_date from message group by madrid_handle "
            "having madrid_handle is not null and madrid_handle <> ''",
    };
    const char *const columns[] = {"madrid_roomname", "madrid_handle"};
    for (int i = 0; i < 2; ++i) {
        Sqlite3Cursor last = queryThrow(Sqlite3Sql(newest[i]));
        while (last.moveNext()) {
            if (_MsgChat *chat = byIdentifier.value(last.getText(columns[i])))
                chat->lastDate = clampDate(last.getInt64("last_date"));
        }
    }
}

void IOS5MessageDb::messages(MsgDataSet &set, qint64 chatId)
{
    ensureOpen();
    chats(set);
    _MsgDataSet &d = *set.data();

    // The conversation of an iMessage row by its identifier. Where an SMS
    // and an iMessage chat share one, the iMessage chat is taken.
    QHash<QString, _MsgChat *> byIdentifier;
    for (_MsgChat *chat : std::as_const(d.chats)) {
        // Live rows go only to the chats read from this database.
        if (chat->ROWID <= 0 && !m_madridRowidByKey.contains(chat->ROWID))
            continue;
        _MsgChat *&slot = byIdentifier[chat->chat_identifier];
        if (!slot
            || (slot->service_name != QLatin1String("iMessage")
                && chat->service_name == QLatin1String("iMessage")))
            slot = chat;
    }

    Sqlite3Sql sql("select m.* from message as m");
    if (chatId > 0) {
        sql.appendSql(QStringLiteral(" where m.group_id=%1").arg(chatId));
    } else if (chatId < 0) {
        // Only the iMessage chats this reader made have rows of their own.
        if (!m_madridRowidByKey.contains(chatId))
            return;
        sql.appendSql(QStringLiteral(" inner join madrid_chat as c on (m.madrid_roomname="
                                     "c.chat_identifier or m.madrid_handle=c.chat_identifier) "
                                     "and c.rowid=%1")
                              .arg(m_madridRowidByKey.value(chatId)));
    }

    const _CountryInfo country = m_countryLib.country();
    const bool madridAttachments = m_tableSchemas.contains(QStringLiteral("madrid_attachment"));
    QSet<qint64> addedNow;
    // Chats take their messages as they come and are put in order at the
    // end, however the read ends.
    struct InOrder
    {
        explicit InOrder(_MsgDataSet &set)
            : d(set)
        { }
        _MsgDataSet &d;
        ~InOrder()
        {
            for (_MsgChat *chat : std::as_const(d.chats))
                chat->messages.finishAppending();
        }
    };
    std::optional<InOrder> inOrder(std::in_place, d);
    Sqlite3Cursor c = queryThrow(sql);
    while (c.moveNext()) {
        const qint64 rowid = c.getInt64("rowid");
        if (rowid <= 0 || d.messages.contains(rowid))
            continue;
        auto *m = new _MsgMessage;
        m->ROWID = rowid;
        m->orderKey = rowid;
        m->text = c.getText("text");
        m->replace = 0;
        m->service_center = c.getText("svc_center");
        m->subject = c.getText("subject");
        m->country = c.getText("country");
        m->version = 10;
        m->type = 0;
        m->handle_id = 0;
        m->is_finished = 1;
        m->is_prepared = 1;
        m->is_read = 1;
        m->is_sent = 1;
        m->was_data_detected = 1;
        d.messages.insert(rowid, m);
        addedNow.insert(rowid);

        if (c.getInt("is_madrid") != 0) {
            m->guid = c.getText("madrid_guid");
            m->service = QStringLiteral("iMessage");
            m->account = c.getText("madrid_account");
            m->account_guid = c.getText("madrid_account_guid");
            m->error = c.getInt("madrid_error");
            m->date = clampDate(c.getInt64("date"));
            m->date_read = clampDate(c.getInt64("madrid_date_read"));
            m->date_delivered = clampDate(c.getInt64("madrid_date_delivered"));
            m->is_from_me = m->date_delivered > 0 ? 1 : 0;
            const QByteArray attributedBody = c.getBlob("madrid_attributedBody");

            const QString room = c.getText("madrid_roomname");
            const QString handleId = normalizeNumber(country, c.getText("madrid_handle"));
            _MsgChat *chat = nullptr;
            if (!room.isEmpty()) {
                chat = byIdentifier.value(room);
                if (!chat)
                    chat = byIdentifier.value(normalizeNumber(country, room));
            } else {
                chat = byIdentifier.value(handleId);
            }
            if (chat) {
                m->chat = chat;
                chat->messages.appendUnsorted(messageKey(rowid), m);
                if (chat->handles.size() == 1)
                    m->handle = chat->handles.first();
                else if (chat->handles.size() > 1 && m->is_from_me == 0)
                    m->handle = chat->handles.value(handleId);
            }
            if (madridAttachments)
                readMadridAttachments(d, m, c.getBlob("madrid_attachmentInfo"), attributedBody);
        } else {
            m->guid = newGuid();
            m->service = QStringLiteral("SMS");
            m->account = QStringLiteral("e:");
            m->error = 0;
            m->date = clampDate(c.getInt64("date") - kIosEpochOffset);
            m->date_read = m->date;
            m->date_delivered = m->date;
            m->is_from_me = c.getInt("flags") == 3 ? 1 : 0;

            const qint64 groupId = c.getInt64("group_id");
            if (_MsgChat *chat = groupId > 0 ? d.chats.value(groupId) : nullptr) {
                m->chat = chat;
                chat->messages.appendUnsorted(messageKey(rowid), m);
                if (chat->handles.size() == 1) {
                    m->handle = chat->handles.first();
                } else if (chat->handles.size() > 1 && m->is_from_me == 0) {
                    m->handle = chat->handles.value(
                            normalizeNumber(countryOf(c.getText("country")), c.getText("address")));
                }
            }
        }
    }

    inOrder.reset();
    if (chatId >= 0)
        readPieces(d, chatId, addedNow);
}

void IOS5MessageDb::readMadridAttachments(_MsgDataSet &d, _MsgMessage *m, const QByteArray &info,
                                          const QByteArray &attributedBody)
{
    if (info.isEmpty())
        return;
    QString text(info.size(), QLatin1Char(' '));
    for (qsizetype i = 0; i < info.size(); ++i) {
        const char b = info.at(i);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-')
            text[i] = QLatin1Char(b);
    }
    QRegularExpressionMatchIterator it = guidPattern().globalMatch(text);
    while (it.hasNext()) {
        const QString guid = it.next().captured(0);
        if (m->attachments.contains(guid))
            continue;
        Sqlite3Sql sql("select * from madrid_attachment where attachment_guid=?");
        sql.addTextParam(guid);
        Sqlite3Cursor c = queryThrow(sql);
        if (!c.moveNext())
            continue;
        const qint64 rowid = c.getInt64("rowid");
        const QString attGuid = c.getText("attachment_guid");
        const qint64 preferred = rowid > 0 ? -rowid : -1;
        auto isOurs
                = [&](const _MsgAttachment *a) { return a && a->ROWID < 0 && a->guid == attGuid; };
        _MsgAttachment *a = d.attachments.value(preferred);
        if (!isOurs(a)) {
            a = nullptr;
            if (d.attachments.contains(preferred)) {
                for (_MsgAttachment *other : std::as_const(d.attachments)) {
                    if (isOurs(other)) {
                        a = other;
                        break;
                    }
                }
            }
        }
        if (!a) {
            a = new _MsgAttachment;
            a->ROWID = freeIdFrom(d.attachments, preferred);
            a->guid = attGuid;
            a->created_date = clampDate(c.getInt64("created_date"));
            a->start_date = clampDate(c.getInt64("start_date"));
            a->filename = c.getText("filename");
            if (a->filename.startsWith(QLatin1String("/var/mobile/")))
                a->filename = QStringLiteral("~/") + a->filename.mid(12);
            a->uti = c.getText("uti_type");
            a->mime_type = c.getText("mime_type");
            a->transfer_state = c.getInt("transfer_state");
            a->is_outgoing = c.getInt("is_incoming") == 0 ? 1 : 0;
            a->localPath = localPathOf(a->filename);
            d.attachments.insert(a->ROWID, a);
        }
        m->attachments.insert(a->guid, a);
        m->attributedBody
                = m->attachments.size() == 1 ? attachmentAttributedBody(a->guid) : attributedBody;
    }
}

void IOS5MessageDb::readPieces(_MsgDataSet &d, qint64 chatId, const QSet<qint64> &addedNow)
{
    Sqlite3Sql sql("select p.*,m.group_id,m.flags as msg_flags from msg_pieces as p "
                   "inner join message as m on p.message_id=m.rowid");
    if (chatId > 0)
        sql.appendSql(QStringLiteral(" and m.group_id=%1").arg(chatId));
    Sqlite3Cursor c = queryThrow(sql);
    while (c.moveNext()) {
        PieceRow piece;
        piece.rowid = c.getInt64("rowid");
        piece.messageId = c.getInt64("message_id");
        if (d.attachments.contains(piece.rowid) || piece.messageId <= 0)
            continue;
        _MsgMessage *m = d.messages.value(piece.messageId);
        if (!m)
            continue;
        piece.contentType = c.getText("content_type");
        piece.contentLoc = c.getText("content_loc");
        if (piece.contentType.isEmpty()
            || piece.contentType.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
            continue;
        if (piece.contentType.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
            if (addedNow.contains(m->ROWID))
                m->text = (m->text + QLatin1Char('\n') + QString::fromUtf8(c.getBlob("data")))
                                  .trimmed();
            continue;
        }
        if (piece.contentLoc.isEmpty() || piece.rowid <= 0)
            continue;
        piece.groupId = c.getInt64("group_id");
        piece.partId = c.getInt64("part_id");
        piece.msgFlags = c.getInt("msg_flags");
        piece.data = c.getBlob("data");
        addPieceAttachment(d, m, piece);
    }
}

void IOS5MessageDb::addPieceAttachment(_MsgDataSet &d, _MsgMessage *m, const PieceRow &piece)
{
    const qint64 group = ((piece.groupId % 256) + 256) % 256;
    const qint64 bucket = ((piece.messageId % 16) + 16) % 16;
    const QString suffix = safePieceSuffix(piece.contentLoc);
    const QString partName
            = QStringLiteral("%1-%2.%3").arg(piece.messageId).arg(piece.partId).arg(suffix);
    const QString relative = QStringLiteral("var/mobile/Library/SMS/Parts/%1/%2/%3")
                                     .arg(group, 2, 16, QLatin1Char('0'))
                                     .arg(bucket, 2, 10, QLatin1Char('0'))
                                     .arg(partName);
    const QString absolute = m_fileRelayDir.absoluteFilePath(relative);
    if (!piece.data.isEmpty() && !writePieceFile(absolute, piece.data))
        qWarning("IOS5MessageDb::messages, cannot write %s", qUtf8Printable(absolute));

    QString name = safePieceFileName(piece.contentLoc);
    if (name.isEmpty())
        name = partName;

    auto *a = new _MsgAttachment;
    a->ROWID = piece.rowid;
    a->guid = md5Guid(relative.toUtf8());
    a->created_date = dateTimeToIosDate(QDateTime::currentDateTimeUtc());
    a->start_date = 0;
    a->filename
            = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                      .arg(a->guid.left(2).toLower(), a->guid.mid(2, 2).toLower(), a->guid, name);
    const QStringList typeParts = piece.contentType.split(QLatin1Char('/'));
    a->uti = QStringLiteral("public.") + (typeParts.size() > 1 ? typeParts.at(1) : QString());
    a->mime_type = piece.contentType;
    a->transfer_state = 5;
    a->is_outgoing = piece.msgFlags == 3 ? 1 : 0;
    a->transfer_name = name;
    // Empty when a folder on the way links out of the store: the file there
    // is none of ours, whatever its name.
    a->localPath = IOS6MessageDb::attachmentLocalPath(m_fileRelayDir, relative);
    d.attachments.insert(a->ROWID, a);

    if (m->attachments.isEmpty()) {
        m->attachments.insert(a->guid, a);
        m->text += kObjectReplacement;
        m->attributedBody = attachmentAttributedBody(a->guid);
        return;
    }

    // One attachment per message: every further piece becomes a message of
    // its own with the same date, chat and sender.
    qDebug("IOS5MessageDb::messages, clone attachment message.");
    auto *clone = new _MsgMessage(*m);
    clone->ROWID = freeIdFrom(d.messages, idBelow(kClonedMessageBase, piece.rowid));
    clone->guid = md5Guid(QStringLiteral("%1(%2)").arg(a->guid).arg(m->ROWID).toUtf8());
    clone->text = QString(kObjectReplacement);
    clone->attachments.clear();
    clone->attachments.insert(a->guid, a);
    clone->attributedBody = attachmentAttributedBody(a->guid);
    d.messages.insert(clone->ROWID, clone);
}

bool IOS5MessageDb::writePieceFile(const QString &absolutePath, const QByteArray &data) const
{
    // The path is made of numbers and a filtered extension, so it lies below
    // file-relay; what is checked here is that no folder on the way is a
    // link that leads elsewhere (a copied phone file system may hold links).
    const QString root = QDir::cleanPath(m_fileRelayDir.absolutePath());
    const QString path = QDir::cleanPath(absolutePath);
    if (!path.startsWith(root + QLatin1Char('/')))
        return false;
    const QString folder = QFileInfo(path).path();
    QString current = root;
    const QStringList parts
            = QDir(root).relativeFilePath(folder).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (!QDir().mkpath(root))
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String(".."))
            return false;
        current += QLatin1Char('/') + part;
        const QFileInfo info(current);
        if (info.isSymLink())
            return false;
        if (!info.exists()) {
            if (!QDir().mkdir(current))
                return false;
        } else if (!info.isDir()) {
            return false;
        }
    }
    const QFileInfo target(path);
    if (target.isSymLink()) {
        // The link itself is replaced, never what it points to.
        if (!QFile::remove(path))
            return false;
    } else if (target.exists() && !target.isFile()) {
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(data);
    return file.commit();
}

QString IOS5MessageDb::localPathOf(const QString &filename) const
{
    // The same rule as for the newer databases: a name that climbs out of
    // the store, or leaves it through a linked folder, stands for no file
    // of ours.
    return IOS6MessageDb::attachmentLocalPath(m_fileRelayDir, filename);
}
