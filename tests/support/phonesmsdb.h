#pragma once

#include "tests/support/rawsqlite.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QString>
#include <functional>
#include <memory>
#include <random>

// Which generation of the message schema a built sms.db has.
struct PhoneSchema
{
    // message.is_audio_message .. message_action_type (item_type among them).
    bool itemTypeColumns = true;
    // handle._ct_name, handle._photo, chat.group_id, chat._last: what the
    // program's own archives add to a phone's schema.
    bool localColumns = false;
    // message.logic_hash with its index.
    bool logicHash = false;
    // The phone's triggers on attachment rows that call the functions
    // delete_attachment_path and before_delete_attachment_path.
    bool phoneTriggers = true;
    // Journal in write-ahead-log mode, as phones keep it.
    bool wal = false;

    // A phone's own iOS 6 sms.db.
    static PhoneSchema ios6() { return {}; }
    // An early iOS 6 sms.db whose message table ends at was_deduplicated.
    static PhoneSchema ios6WithoutItemType()
    {
        PhoneSchema s;
        s.itemTypeColumns = false;
        return s;
    }
    // An archive written by an older release: local columns, no logic hash
    // and no item_type family, no phone triggers.
    static PhoneSchema olderLocal()
    {
        PhoneSchema s;
        s.itemTypeColumns = false;
        s.localColumns = true;
        s.logicHash = false;
        s.phoneTriggers = false;
        return s;
    }
};

Q_DECLARE_METATYPE(PhoneSchema)

// Builds a phone's sms.db (iOS 6 layout) with SQLite's C interface and SQL of
// its own, for tests and benchmarks. Rows are added with the calls below; ids
// returned are the new ROWIDs. Attachment files are written below the store
// folder's "file-relay" mirror of the phone, where the store expects them.
class PhoneSmsDb
{
public:
    // Makes <storeFolder>/file-relay/var/mobile/Library/SMS/sms.db, replacing
    // any file there.
    explicit PhoneSmsDb(const QString &storeFolder,
                        const PhoneSchema &schema = PhoneSchema::ios6());
    ~PhoneSmsDb();

    static QString smsDbPathOf(const QString &storeFolder);
    QString path() const { return m_path; }
    QString storeFolder() const { return m_store; }
    const PhoneSchema &schema() const { return m_schema; }

    struct Message
    {
        QString text;
        qint64 handle = 0; // handle row of the correspondent (0 for none)
        // iOS date: seconds since 2001, or nanoseconds as newer phones write
        qint64 date = 0;
        bool fromMe = false;
        QString service; // empty: the chat's service
        QString guid; // empty: a new upper-case GUID
        int itemType = 0;
        qint64 otherHandle = -1;
        QString groupTitle;
        QString subject;
        QString country;
        bool isRead = true;
    };

    qint64 addHandle(const QString &id, const QString &service = "SMS",
                     const QString &country = "us", const QString &uncanonicalized = {},
                     const QString &contactName = {});
    // A one-to-one chat (style 45) whose chat_identifier is the handle's id.
    qint64 addChat(qint64 handle, const QString &service = "SMS");
    // A group chat (style 43) with a "chat..." identifier; displayName may be empty.
    qint64 addGroupChat(const QList<qint64> &handles, const QString &service = "iMessage",
                        const QString &displayName = {});
    // A chat row with the given identifier and service, joined to the handles.
    qint64 addChatRow(const QString &identifier, const QString &service, int style,
                      const QList<qint64> &handles, const QString &displayName = {},
                      const QString &guid = {});
    // A message joined to the chat (chat 0: no join row).
    qint64 addMessage(qint64 chat, const Message &m);
    qint64 addText(qint64 chat, const QString &text, qint64 handle, int date, bool fromMe = false);
    // A system item (item_type 1 added, 2 named, 3 left, 4 location).
    qint64 addSystemItem(qint64 chat, int itemType, qint64 handle, qint64 otherHandle, int date,
                         const QString &groupTitle = {});
    // An attachment row with the file at its phone path below file-relay,
    // joined to the message. Returns the attachment row id.
    qint64 addAttachment(qint64 message, const QString &transferName, const QByteArray &bytes,
                         const QString &mimeType = "image/jpeg", const QString &uti = "public.jpeg",
                         bool writeFile = true);
    // The phone path ("~/Library/SMS/Attachments/...") and the local file of
    // an attachment added above.
    QString attachmentPhonePath(qint64 attachment) const { return m_attPhone.value(attachment); }
    QString attachmentLocalFile(qint64 attachment) const;

    // Bulk work inside one transaction.
    void begin();
    void commit();

    RawSqlite &db() { return *m_db; }
    // Closes the connection; the builder cannot add rows afterwards.
    void close();

    static QString newGuid();
    // From now on the rows' GUIDs come from a generator of this seed, so
    // that one seed builds the same file byte for byte.
    void seedGuids(quint32 seed);

private:
    QString chatServiceOf(qint64 chat);
    QString rowGuid();

    QString m_store;
    QString m_path;
    PhoneSchema m_schema;
    std::unique_ptr<RawSqlite> m_db;
    struct sqlite3_stmt *m_insMessage = nullptr;
    struct sqlite3_stmt *m_insJoin = nullptr;
    QHash<qint64, QString> m_chatService;
    std::unique_ptr<std::mt19937> m_guidRng;
    QHash<qint64, QString> m_handleId;
    QHash<qint64, QString> m_attPhone;
    int m_groupCounter = 0;
};

// A realistic phone sms.db of a given size, for tests and benchmarks: messages
// spread over one-to-one and group chats with a few busy conversations, texts
// of realistic lengths (some with emoji), some attachments with small files
// and some system items in the group chats. Deterministic for one seed.
struct GeneratedSmsDbSpec
{
    int messages = 1000;
    int chats = 20;
    double groupChatShare = 0.2; // share of chats that are group chats
    double attachmentShare = 0.03; // share of messages with an attachment
    double systemItemShare = 0.01; // share of group-chat messages that are system items
    bool attachmentFiles = true; // write the attachment files too
    // When set, the bytes of the n-th picture (from 1) of the JPEG
    // attachments: a real image instead of random bytes.
    std::function<QByteArray(int n)> drawPicture;
    PhoneSchema schema = PhoneSchema::ios6();
    quint32 seed = 20130101;
};

struct GeneratedSmsDbStats
{
    int handles = 0;
    int chats = 0;
    int groupChats = 0;
    int messages = 0;
    int systemItems = 0;
    int attachments = 0;
    int emojiMessages = 0;
};

GeneratedSmsDbStats generatePhoneSmsDb(const QString &storeFolder, const GeneratedSmsDbSpec &spec);
