#include "tests/support/ios5smsdb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace {

// The tables and columns of the older phone schema, with the phone's
// trigger that calls the SQL function read() when a message's flags change.
const char *kSchema = R"SQL(
CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));
CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER,
  text TEXT, flags INTEGER, replace INTEGER, svc_center TEXT, group_id INTEGER,
  association_id INTEGER, height INTEGER, UIFlags INTEGER, version INTEGER, subject TEXT,
  country TEXT, headers BLOB, recipients BLOB, read INTEGER, madrid_attributedBody BLOB,
  madrid_handle TEXT, madrid_version INTEGER, madrid_guid TEXT, madrid_type INTEGER,
  madrid_roomname TEXT, madrid_service TEXT, madrid_account TEXT, madrid_account_guid TEXT,
  madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error INTEGER,
  is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered INTEGER);
CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER,
  newest_message INTEGER, unread_count INTEGER, hash INTEGER);
CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER,
  address TEXT, country TEXT);
CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER,
  data BLOB, part_id INTEGER, preview_part INTEGER, content_type TEXT, height INTEGER,
  version INTEGER, flags INTEGER, content_id TEXT, content_loc TEXT, headers BLOB);
CREATE INDEX message_group_index ON message(group_id, ROWID);
CREATE INDEX pieces_message_index ON msg_pieces(message_id);
CREATE TRIGGER flag_read_update AFTER UPDATE OF flags ON message
  WHEN NOT read(old.flags) AND read(new.flags)
  BEGIN UPDATE msg_group SET unread_count = unread_count - 1 WHERE ROWID = new.group_id; END;
)SQL";

const char *kMadridSchema = R"SQL(
CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT,
  attachment_guid TEXT UNIQUE, created_date INTEGER, start_date INTEGER, filename TEXT,
  uti_type TEXT, mime_type TEXT, transfer_state INTEGER, is_incoming INTEGER,
  message_id INTEGER);
CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, style INTEGER,
  state INTEGER, account_id TEXT, properties BLOB, chat_identifier TEXT, service_name TEXT,
  guid TEXT, room_name TEXT, account_login TEXT, participants BLOB,
  last_addressed_handle TEXT, display_name TEXT, group_id TEXT, UNIQUE(guid));
CREATE INDEX madrid_attachment_message_index ON madrid_attachment(message_id);
)SQL";

QVariant textOrNull(const QString &s)
{
    return s.isNull() ? QVariant() : QVariant(s);
}

} // namespace

IOS5SmsDb::IOS5SmsDb(const QString &storeFolder, bool withMadrid)
    : m_path(smsDbPathOf(storeFolder))
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(m_path + QLatin1String(suffix));
    m_db = std::make_unique<RawSqlite>(m_path, true);
    m_db->exec(QString::fromLatin1(kSchema));
    if (withMadrid)
        m_db->exec(QString::fromLatin1(kMadridSchema));
}

IOS5SmsDb::~IOS5SmsDb() = default;

QString IOS5SmsDb::smsDbPathOf(const QString &storeFolder)
{
    return QDir(storeFolder).absoluteFilePath("file-relay/var/mobile/Library/SMS/sms.db");
}

QString IOS5SmsDb::newGuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

qint64 IOS5SmsDb::addGroup(int hash)
{
    return m_db->run("insert into msg_group(type, newest_message, unread_count, hash) "
                     "values(0, 0, 0, ?)",
                     {hash});
}

qint64 IOS5SmsDb::addMember(qint64 group, const QString &address, const QString &country)
{
    return m_db->run("insert into group_member(group_id, address, country) values(?,?,?)",
                     {group, address, textOrNull(country)});
}

void IOS5SmsDb::setNewestMessage(qint64 group, qint64 message)
{
    m_db->run("update msg_group set newest_message=? where ROWID=?", {message, group});
}

qint64 IOS5SmsDb::addSms(const Sms &m)
{
    const qint64 id = m_db->run(
            "insert into message(address, date, text, flags, replace, svc_center, group_id, "
            "association_id, height, UIFlags, version, subject, country, read, is_madrid) "
            "values(?,?,?,?,0,?,?,0,0,0,0,?,?,1,0)",
            {textOrNull(m.address), m.date, textOrNull(m.text), m.flags, textOrNull(m.svcCenter),
             m.group, textOrNull(m.subject), textOrNull(m.country)});
    if (m.group > 0 && (!m_newestDate.contains(m.group) || m.date >= m_newestDate.value(m.group))) {
        m_newestDate.insert(m.group, m.date);
        setNewestMessage(m.group, id);
    }
    return id;
}

qint64 IOS5SmsDb::addPiece(qint64 message, int partId, const QString &contentType,
                           const QString &contentLoc, const QByteArray &data)
{
    return m_db->run("insert into msg_pieces(message_id, data, part_id, preview_part, "
                     "content_type, height, version, flags, content_id, content_loc) "
                     "values(?,?,?,0,?,0,0,0,?,?)",
                     {message, data.isNull() ? QVariant() : QVariant(data), partId,
                      textOrNull(contentType), QString("<part%1>").arg(partId),
                      textOrNull(contentLoc)});
}

qint64 IOS5SmsDb::addMadridChat(const QString &identifier, const QByteArray &participants,
                                int style, int state, const QString &accountId,
                                const QString &accountLogin)
{
    return m_db->run("insert into madrid_chat(style, state, account_id, chat_identifier, "
                     "service_name, guid, room_name, account_login, participants) "
                     "values(?,?,?,?,'Madrid',?,NULL,?,?)",
                     {style, state, accountId, identifier,
                      QString("iMessage;%1;%2").arg(style == 43 ? "+" : "-", identifier),
                      accountLogin, participants});
}

qint64 IOS5SmsDb::addIMessage(const IMessage &m)
{
    return m_db->run("insert into message(address, date, text, flags, replace, group_id, version, "
                     "read, madrid_attributedBody, madrid_handle, madrid_version, madrid_guid, "
                     "madrid_type, madrid_roomname, madrid_service, madrid_account, "
                     "madrid_account_guid, madrid_flags, madrid_attachmentInfo, madrid_error, "
                     "is_madrid, madrid_date_read, madrid_date_delivered) "
                     "values(NULL,?,?,0,0,0,0,0,?,?,10,?,0,?,'Madrid',?,?,12385,?,?,1,?,?)",
                     {m.date, textOrNull(m.text),
                      m.attributedBody.isNull() ? QVariant() : QVariant(m.attributedBody),
                      textOrNull(m.handle), m.guid.isEmpty() ? newGuid() : m.guid,
                      textOrNull(m.roomname), m.account, m.accountGuid,
                      m.attachmentInfo.isNull() ? QVariant() : QVariant(m.attachmentInfo), m.error,
                      m.dateRead, m.dateDelivered});
}

qint64 IOS5SmsDb::addMadridAttachment(const QString &guid, const QString &filename,
                                      const QString &mimeType, const QString &uti, int createdDate,
                                      int startDate, int transferState, bool incoming,
                                      qint64 message)
{
    return m_db->run("insert into madrid_attachment(attachment_guid, created_date, start_date, "
                     "filename, uti_type, mime_type, transfer_state, is_incoming, message_id) "
                     "values(?,?,?,?,?,?,?,?,?)",
                     {guid, createdDate, startDate, textOrNull(filename), textOrNull(uti),
                      textOrNull(mimeType), transferState, incoming ? 1 : 0, message});
}

void IOS5SmsDb::exec(const QString &sql)
{
    m_db->exec(sql);
}

void IOS5SmsDb::close()
{
    m_db.reset();
}
