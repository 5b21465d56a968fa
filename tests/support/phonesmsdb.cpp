#include "tests/support/phonesmsdb.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUuid>
#include <random>
#include <sqlite3.h>
#include <stdexcept>

namespace {

QString messageTableSql(const PhoneSchema &s)
{
    QString sql = "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT "
                  "UNIQUE NOT NULL, text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, "
                  "handle_id INTEGER DEFAULT 0, subject TEXT, country TEXT, attributedBody BLOB, "
                  "version INTEGER DEFAULT 0, type INTEGER DEFAULT 0, service TEXT, account "
                  "TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date INTEGER, date_read "
                  "INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0, is_finished "
                  "INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0, "
                  "is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, is_auto_reply "
                  "INTEGER DEFAULT 0, is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, "
                  "is_system_message INTEGER DEFAULT 0, is_sent INTEGER DEFAULT 0, "
                  "has_dd_results INTEGER DEFAULT 0, is_service_message INTEGER DEFAULT 0, "
                  "is_forward INTEGER DEFAULT 0, was_downgraded INTEGER DEFAULT 0, is_archive "
                  "INTEGER DEFAULT 0, cache_has_attachments INTEGER DEFAULT 0, cache_roomnames "
                  "TEXT, was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0";
    if (s.itemTypeColumns)
        sql += ", is_audio_message INTEGER DEFAULT 0, is_played INTEGER DEFAULT 0, date_played "
               "INTEGER, item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT -1, "
               "group_title TEXT, group_action_type INTEGER DEFAULT 0, share_status INTEGER, "
               "share_direction INTEGER, is_expirable INTEGER DEFAULT 0, expire_state INTEGER "
               "DEFAULT 0, message_action_type INTEGER DEFAULT 0";
    if (s.logicHash)
        sql += ", logic_hash TEXT";
    return sql + ");\n";
}

QString phoneSchemaSql(const PhoneSchema &s)
{
    QString sql;
    sql += "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));\n";
    sql += messageTableSql(s);
    sql += "CREATE INDEX message_idx_handle ON message(handle_id, date);\n";
    if (s.logicHash)
        sql += "CREATE INDEX message_idx_logic_hash ON message(logic_hash);\n";
    sql += "CREATE TRIGGER clean_orphaned_handles2 AFTER DELETE ON message BEGIN "
           "DELETE FROM handle WHERE handle.ROWID = old.handle_id AND "
           "(SELECT 1 from chat_handle_join WHERE handle_id = old.handle_id LIMIT 1) IS NULL AND "
           "(SELECT 1 from message WHERE handle_id = old.handle_id LIMIT 1) IS NULL; END;\n";
    sql += QString("CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT "
                   "NOT NULL, country TEXT, service TEXT NOT NULL, uncanonicalized_id TEXT%1, "
                   "UNIQUE (id, service));\n")
                   .arg(s.localColumns ? ", _ct_name TEXT, _photo BLOB" : "");
    sql += QString("CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE "
                   "NOT NULL, style INTEGER, state INTEGER, account_id TEXT, properties BLOB, "
                   "chat_identifier TEXT, service_name TEXT, room_name TEXT, account_login TEXT, "
                   "is_archived INTEGER DEFAULT 0, last_addressed_handle TEXT, display_name "
                   "TEXT%1);\n")
                   .arg(s.localColumns ? ", group_id TEXT, _last INTEGER DEFAULT 0" : "");
    if (s.localColumns)
        sql += "CREATE INDEX chat_idx_last ON chat(_last);\n";
    sql += "CREATE INDEX chat_idx_identifier ON chat(chat_identifier);\n";
    sql += "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE "
           "NOT NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT, "
           "uti TEXT, mime_type TEXT, transfer_state INTEGER DEFAULT 0, is_outgoing INTEGER "
           "DEFAULT 0, user_info BLOB, transfer_name TEXT, total_bytes INTEGER DEFAULT 0);\n";
    sql += "CREATE TABLE chat_handle_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
           "CASCADE, handle_id INTEGER REFERENCES handle (ROWID) ON DELETE CASCADE, "
           "UNIQUE(chat_id, handle_id));\n";
    sql += "CREATE TRIGGER clean_orphaned_handles AFTER DELETE ON chat_handle_join BEGIN "
           "DELETE FROM handle WHERE handle.ROWID = old.handle_id AND "
           "(SELECT 1 from chat_handle_join WHERE handle_id = old.handle_id LIMIT 1) IS NULL AND "
           "(SELECT 1 from message WHERE handle_id = old.handle_id LIMIT 1) IS NULL; END;\n";
    sql += "CREATE TABLE chat_message_join (chat_id INTEGER REFERENCES chat (ROWID) ON DELETE "
           "CASCADE, message_id INTEGER REFERENCES message (ROWID) ON DELETE CASCADE, PRIMARY "
           "KEY (chat_id, message_id));\n";
    sql += "CREATE INDEX chat_message_join_idx_message_id ON chat_message_join(message_id, "
           "chat_id);\n";
    sql += "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN "
           "DELETE FROM message WHERE (SELECT 1 from chat_message_join WHERE message_id = "
           "message.rowid LIMIT 1) IS NULL; END;\n";
    sql += "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) "
           "ON DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE "
           "CASCADE, UNIQUE(message_id, attachment_id));\n";
    sql += "CREATE TRIGGER clean_orphaned_attachments AFTER DELETE ON message_attachment_join "
           "BEGIN DELETE FROM attachment WHERE attachment.ROWID = old.attachment_id AND (SELECT 1 "
           "from message_attachment_join WHERE attachment_id = old.attachment_id LIMIT 1) IS "
           "NULL; END;\n";
    sql += "CREATE TRIGGER set_message_has_attachments AFTER INSERT ON message_attachment_join "
           "BEGIN UPDATE message SET cache_has_attachments = 1 WHERE message.ROWID = "
           "new.message_id; END;\n";
    sql += "CREATE TRIGGER clear_message_has_attachments AFTER DELETE ON message_attachment_join "
           "BEGIN UPDATE message SET cache_has_attachments = 0 WHERE message.ROWID = "
           "old.message_id AND (SELECT 1 from message_attachment_join WHERE message_id = "
           "old.message_id LIMIT 1) IS NULL; END;\n";
    if (s.phoneTriggers) {
        // The phone removes an attachment's file through functions that only
        // exist inside its own process.
        sql += "CREATE TRIGGER before_delete_on_attachment BEFORE DELETE ON attachment BEGIN "
               "SELECT before_delete_attachment_path(OLD.ROWID, OLD.guid); END;\n";
        sql += "CREATE TRIGGER after_delete_on_attachment AFTER DELETE ON attachment BEGIN "
               "SELECT delete_attachment_path(OLD.filename); END;\n";
    }
    sql += "INSERT INTO _SqliteDatabaseProperties VALUES ('_ClientVersion', '7006');\n";
    sql += "INSERT INTO _SqliteDatabaseProperties VALUES ('counter_in_all', '0');\n";
    return sql;
}

} // namespace

QString PhoneSmsDb::smsDbPathOf(const QString &storeFolder)
{
    return QDir(storeFolder).absoluteFilePath("file-relay/var/mobile/Library/SMS/sms.db");
}

QString PhoneSmsDb::newGuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

void PhoneSmsDb::seedGuids(quint32 seed)
{
    m_guidRng = std::make_unique<std::mt19937>(seed);
}

QString PhoneSmsDb::rowGuid()
{
    if (!m_guidRng)
        return newGuid();
    QString out = QStringLiteral("%1-%2-%3-%4-%5");
    const auto hex = [this](int digits) {
        QString s;
        for (int i = 0; i < digits; ++i)
            s += QLatin1Char("0123456789ABCDEF"[(*m_guidRng)() & 15]);
        return s;
    };
    return out.arg(hex(8), hex(4), hex(4), hex(4), hex(12));
}

PhoneSmsDb::PhoneSmsDb(const QString &storeFolder, const PhoneSchema &schema)
    : m_store(QDir(storeFolder).absolutePath())
    , m_path(smsDbPathOf(storeFolder))
    , m_schema(schema)
{
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(m_path + suffix);
    m_db = std::make_unique<RawSqlite>(m_path, true);
    if (schema.wal)
        m_db->exec("PRAGMA journal_mode=WAL;");
    m_db->exec("BEGIN;\n" + phoneSchemaSql(schema) + "COMMIT;");
}

PhoneSmsDb::~PhoneSmsDb()
{
    close();
}

void PhoneSmsDb::close()
{
    if (m_db)
        m_db->close();
    m_db.reset();
    m_insMessage = nullptr;
    m_insJoin = nullptr;
}

void PhoneSmsDb::begin()
{
    m_db->exec("BEGIN;");
}

void PhoneSmsDb::commit()
{
    m_db->exec("COMMIT;");
}

qint64 PhoneSmsDb::addHandle(const QString &id, const QString &service, const QString &country,
                             const QString &uncanonicalized, const QString &contactName)
{
    qint64 rowid;
    QVariant unc = uncanonicalized.isEmpty() ? QVariant() : QVariant(uncanonicalized);
    QVariant cty = country.isEmpty() ? QVariant() : QVariant(country);
    if (m_schema.localColumns)
        rowid = m_db->run("INSERT INTO handle (id, country, service, uncanonicalized_id, _ct_name) "
                          "VALUES (?, ?, ?, ?, ?)",
                          {id, cty, service, unc, contactName});
    else
        rowid = m_db->run("INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES "
                          "(?, ?, ?, ?)",
                          {id, cty, service, unc});
    m_handleId.insert(rowid, id);
    return rowid;
}

qint64 PhoneSmsDb::addChatRow(const QString &identifier, const QString &service, int style,
                              const QList<qint64> &handles, const QString &displayName,
                              const QString &guid)
{
    QString g = guid.isEmpty()
            ? QString("%1;%2;%3").arg(service, style == 43 ? "+" : "-", identifier)
            : guid;
    QVariant dn = displayName.isEmpty() ? QVariant() : QVariant(displayName);
    QVariant room = style == 43 ? QVariant(identifier) : QVariant();
    qint64 chat = m_db->run("INSERT INTO chat (guid, style, state, account_id, chat_identifier, "
                            "service_name, room_name, account_login, is_archived, display_name) "
                            "VALUES (?, ?, 3, ?, ?, ?, ?, 'E:', 0, ?)",
                            {g, style, rowGuid(), identifier, service, room, dn});
    for (qint64 h : handles)
        m_db->run("INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)", {chat, h});
    m_chatService.insert(chat, service);
    return chat;
}

qint64 PhoneSmsDb::addChat(qint64 handle, const QString &service)
{
    return addChatRow(m_handleId.value(handle), service, 45, {handle});
}

qint64 PhoneSmsDb::addGroupChat(const QList<qint64> &handles, const QString &service,
                                const QString &displayName)
{
    ++m_groupCounter;
    QString ident = QString("chat%1").arg(quint64(271828182845904ULL)
                                          + quint64(m_groupCounter) * 7919ULL);
    return addChatRow(ident, service, 43, handles, displayName);
}

QString PhoneSmsDb::chatServiceOf(qint64 chat)
{
    return m_chatService.value(chat, "SMS");
}

qint64 PhoneSmsDb::addMessage(qint64 chat, const Message &m)
{
    if (!m_insMessage) {
        QString cols = "guid, text, handle_id, subject, country, version, type, service, account, "
                       "account_guid, date, date_read, date_delivered, is_delivered, is_finished, "
                       "is_from_me, is_read, is_sent";
        QString vals = "?, ?, ?, ?, ?, 10, 0, ?, ?, ?, ?, ?, ?, ?, 1, ?, ?, ?";
        if (m_schema.itemTypeColumns) {
            cols += ", item_type, other_handle, group_title";
            vals += ", ?, ?, ?";
        }
        m_insMessage = m_db->prepare("INSERT INTO message (" + cols + ") VALUES (" + vals + ")");
        m_insJoin = m_db->prepare(
                "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)");
    }
    QString service = m.service.isEmpty() ? chatServiceOf(chat) : m.service;
    // Read and delivery stamps follow the message date in its own unit.
    const qint64 second = m.date > 100000000000LL ? 1000000000LL : 1;
    QString guid = m.guid.isEmpty() ? rowGuid() : m.guid;
    QVariantList p
            = {guid,
               m.itemType != 0 || m.text.isNull() ? QVariant() : QVariant(m.text),
               m.handle,
               m.subject.isEmpty() ? QVariant() : QVariant(m.subject),
               m.country.isEmpty() ? QVariant() : QVariant(m.country),
               service,
               service == "iMessage" ? QVariant("e:me@example.com") : QVariant("p:+12025550100"),
               QVariant(QString("0C0D5A2B-7F2E-4B5C-9C3A-%1").arg("5E6F7A8B9C0D")),
               m.date,
               m.fromMe ? 0 : (m.isRead ? m.date + 30 * second : qint64(0)),
               m.fromMe ? m.date + 5 * second : qint64(0),
               m.fromMe ? 1 : 0,
               m.fromMe ? 1 : 0,
               m.fromMe || m.isRead ? 1 : 0,
               m.fromMe ? 1 : 0};
    if (m_schema.itemTypeColumns) {
        p << m.itemType << m.otherHandle
          << (m.groupTitle.isEmpty() ? QVariant() : QVariant(m.groupTitle));
    }
    qint64 id = m_db->runPrepared(m_insMessage, p);
    if (chat > 0)
        m_db->runPrepared(m_insJoin, {chat, id});
    return id;
}

qint64 PhoneSmsDb::addText(qint64 chat, const QString &text, qint64 handle, int date, bool fromMe)
{
    Message m;
    m.text = text;
    m.handle = handle;
    m.date = date;
    m.fromMe = fromMe;
    return addMessage(chat, m);
}

qint64 PhoneSmsDb::addSystemItem(qint64 chat, int itemType, qint64 handle, qint64 otherHandle,
                                 int date, const QString &groupTitle)
{
    Message m;
    m.itemType = itemType;
    m.handle = handle;
    m.otherHandle = otherHandle;
    m.date = date;
    m.groupTitle = groupTitle;
    m.fromMe = handle == 0;
    return addMessage(chat, m);
}

qint64 PhoneSmsDb::addAttachment(qint64 message, const QString &transferName,
                                 const QByteArray &bytes, const QString &mimeType,
                                 const QString &uti, bool writeFile)
{
    QString guid = rowGuid();
    // The phone spreads its files over two levels of folders.
    int a = int(qHash(guid, 0) & 0xff), b = int((qHash(guid, 0) >> 8) % 100);
    QString phonePath = QString("~/Library/SMS/Attachments/%1/%2/%3/%4")
                                .arg(a, 2, 16, QChar('0'))
                                .arg(b, 2, 10, QChar('0'))
                                .arg(guid, transferName);
    QVariantList row = m_db->rows("SELECT date, is_from_me FROM message WHERE ROWID = ?", {message})
                               .value(0);
    qint64 att = m_db->run("INSERT INTO attachment (guid, created_date, start_date, filename, uti, "
                           "mime_type, transfer_state, is_outgoing, transfer_name, total_bytes) "
                           "VALUES (?, ?, 0, ?, ?, ?, 5, ?, ?, ?)",
                           {guid, row.value(0), phonePath, uti, mimeType, row.value(1),
                            transferName, qint64(bytes.size())});
    m_db->run("INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)",
              {message, att});
    m_attPhone.insert(att, phonePath);
    if (writeFile) {
        QString local = attachmentLocalFile(att);
        QDir().mkpath(QFileInfo(local).absolutePath());
        QFile f(local);
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            throw std::runtime_error(("cannot write " + local).toStdString());
    }
    return att;
}

QString PhoneSmsDb::attachmentLocalFile(qint64 attachment) const
{
    QString p = m_attPhone.value(attachment);
    if (p.isEmpty())
        return {};
    return QDir(m_store).absoluteFilePath("file-relay/var/mobile/" + p.mid(2));
}

// ---------------------------------------------------------------------------

namespace {

const char *const kWords[] = {
        "ok",      "yes",    "no",      "see",      "you",      "later",   "tonight",  "tomorrow",
        "call",    "me",     "when",    "free",     "the",      "a",       "to",       "and",
        "is",      "it",     "in",      "on",       "at",       "for",     "with",     "we",
        "are",     "going",  "dinner",  "lunch",    "coffee",   "meeting", "running",  "late",
        "sorry",   "thanks", "great",   "love",     "home",     "work",    "train",    "bus",
        "just",    "left",   "arrived", "where",    "what",     "time",    "does",     "start",
        "movie",   "pick",   "up",      "kids",     "school",   "shop",    "milk",     "bread",
        "weekend", "plans",  "happy",   "birthday", "congrats", "sounds",  "good",     "maybe",
        "next",    "week",   "can't",   "wait",     "photo",    "look",    "this",     "funny",
        "haha",    "lol",    "sure",    "thing",    "let",      "know",    "how",      "was",
        "your",    "day",    "mum",     "dad",      "party",    "Friday",  "Saturday", "Sunday",
        "o'clock",
};
const char *const kEmoji[]
        = {"\U0001F600", "\U0001F602", "\u2764\uFE0F", "\U0001F44D",   "\U0001F389",
           "\U0001F60A", "\U0001F618", "\U0001F914",   "\u263A\uFE0F", "\U0001F1E9\U0001F1EA"};
const char *const kNames[] = {"anna", "ben",   "carla", "dmitri", "eve", "farid", "greta", "hugo",
                              "ines", "jonas", "kai",   "lena",   "mia", "noah",  "olga",  "paul"};

class Gen
{
public:
    explicit Gen(quint32 seed)
        : m_rng(seed)
    { }
    int range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(m_rng); }
    double unit() { return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng); }
    bool chance(double p) { return unit() < p; }

    QString text(bool *emoji)
    {
        double r = unit();
        int words = r < 0.6 ? range(1, 8) : (r < 0.9 ? range(8, 25) : range(25, 80));
        QString t;
        for (int i = 0; i < words; ++i) {
            if (i)
                t += ' ';
            t += QString::fromUtf8(kWords[range(0, int(std::size(kWords)) - 1)]);
        }
        if (!t.isEmpty())
            t[0] = t[0].toUpper();
        t += chance(0.3) ? "?" : (chance(0.5) ? "." : "");
        *emoji = chance(0.08);
        if (*emoji) {
            int n = range(1, 3);
            for (int i = 0; i < n; ++i)
                t += ' ' + QString::fromUtf8(kEmoji[range(0, int(std::size(kEmoji)) - 1)]);
        }
        return t;
    }

private:
    std::mt19937 m_rng;
};

} // namespace

GeneratedSmsDbStats generatePhoneSmsDb(const QString &storeFolder, const GeneratedSmsDbSpec &spec)
{
    GeneratedSmsDbStats st;
    PhoneSmsDb db(storeFolder, spec.schema);
    Gen g(spec.seed);
    db.seedGuids(spec.seed);
    db.begin();

    struct ChatInfo
    {
        qint64 rowid;
        bool group;
        QList<qint64> handles;
        double weight;
    };
    QList<ChatInfo> chats;
    int groups = qMax(spec.chats > 1 ? 1 : 0, int(spec.chats * spec.groupChatShare + 0.5));
    int singles = qMax(0, spec.chats - groups);
    for (int i = 0; i < singles; ++i) {
        bool imessage = g.chance(0.4);
        QString number = QString("+1202555%1").arg(1000 + i, 4, 10, QChar('0'));
        QString id = imessage && g.chance(0.2)
                ? QString("%1.%2@example.com").arg(kNames[i % std::size(kNames)]).arg(i)
                : number;
        QString service = imessage ? "iMessage" : "SMS";
        qint64 h = db.addHandle(id, service, "us",
                                id.startsWith('+') ? QString("(202) 555-%1").arg(1000 + i)
                                                   : QString());
        ++st.handles;
        chats.append({db.addChat(h, service), false, {h}, 0});
    }
    for (int i = 0; i < groups; ++i) {
        QString service = g.chance(0.7) ? "iMessage" : "SMS";
        int members = g.range(2, 6);
        QList<qint64> hs;
        for (int k = 0; k < members; ++k) {
            QString id = QString("+1303555%1").arg(2000 + i * 10 + k, 4, 10, QChar('0'));
            hs.append(db.addHandle(id, service, "us"));
            ++st.handles;
        }
        QString name = g.chance(0.5) ? QString("Group %1").arg(i + 1) : QString();
        chats.append({db.addGroupChat(hs, service, name), true, hs, 0});
        ++st.groupChats;
    }
    st.chats = int(chats.size());
    if (chats.isEmpty()) {
        db.commit();
        return st;
    }
    // A few busy conversations and a long tail, as on real phones; group
    // chats are among the busy ones too.
    for (int i = int(chats.size()) - 1; i > 0; --i)
        std::swap(chats[i], chats[g.range(0, i)]);
    double total = 0;
    for (int i = 0; i < chats.size(); ++i) {
        chats[i].weight = 1.0 / (1.0 + i * 0.7);
        total += chats[i].weight;
    }
    QList<double> cumulative;
    double acc = 0;
    for (const ChatInfo &c : chats) {
        acc += c.weight / total;
        cumulative.append(acc);
    }

    int date = 378691200; // 2013-01-01 in iOS seconds
    int attCounter = 0;
    for (int i = 0; i < spec.messages; ++i) {
        double r = g.unit();
        int ci = int(std::lower_bound(cumulative.begin(), cumulative.end(), r)
                     - cumulative.begin());
        ci = qMin(ci, int(chats.size()) - 1);
        const ChatInfo &c = chats[ci];
        date += g.range(5, 2400);
        if (c.group && g.chance(spec.systemItemShare)) {
            int type = g.range(1, 3);
            qint64 who = c.handles[g.range(0, int(c.handles.size()) - 1)];
            qint64 other = type == 2 ? -1 : c.handles[g.range(0, int(c.handles.size()) - 1)];
            db.addSystemItem(c.rowid, type, g.chance(0.3) ? 0 : who, other, date,
                             type == 2 ? QString("Team %1").arg(i) : QString());
            ++st.systemItems;
            ++st.messages;
            continue;
        }
        PhoneSmsDb::Message m;
        m.date = date;
        m.fromMe = g.chance(0.45);
        m.handle = c.group ? (m.fromMe ? 0 : c.handles[g.range(0, int(c.handles.size()) - 1)])
                           : c.handles.first();
        bool emoji = false;
        bool withAttachment = g.chance(spec.attachmentShare);
        m.text = g.text(&emoji);
        if (withAttachment)
            m.text = g.chance(0.6) ? QString(QChar(0xFFFC))
                                   : QString(QChar(0xFFFC)) + "\n" + m.text;
        if (emoji)
            ++st.emojiMessages;
        qint64 id = db.addMessage(c.rowid, m);
        ++st.messages;
        if (withAttachment) {
            ++attCounter;
            QByteArray bytes(g.range(200, 2000), Qt::Uninitialized);
            for (int k = 0; k < bytes.size(); ++k)
                bytes[k] = char(g.range(0, 255));
            bool jpeg = g.chance(0.8);
            if (jpeg && spec.drawPicture)
                bytes = spec.drawPicture(attCounter);
            db.addAttachment(id,
                             jpeg ? QString("IMG_%1.JPG").arg(attCounter, 4, 10, QChar('0'))
                                  : QString("VID_%1.MOV").arg(attCounter, 4, 10, QChar('0')),
                             bytes, jpeg ? "image/jpeg" : "video/quicktime",
                             jpeg ? "public.jpeg" : "com.apple.quicktime-movie",
                             spec.attachmentFiles);
            ++st.attachments;
        }
    }
    db.commit();
    return st;
}
