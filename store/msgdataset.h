#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

#include "store/flatmap.h"

#include <vector>

struct _MsgHandle;
struct _MsgChat;
struct _MsgAttachment;

// One message: the columns of an iOS 6 sms.db message row in column order,
// then the fields of our own that link it to the other records. Dates are
// iOS dates (whole seconds since 2001-01-01 00:00:00 UTC). A record never
// owns the records it refers to.
struct _MsgMessage
{
    qint64 ROWID = 0;
    QString guid;
    QString text; // U+FFFC marks where an attachment stands
    qint32 replace = 0;
    QString service_center;
    qint64 handle_id = 0;
    QString subject;
    QString country;
    QByteArray attributedBody;
    qint32 version = 10;
    qint32 type = 0;
    QString service;
    QString account;
    QString account_guid;
    qint32 error = 0;
    qint32 date = 0;
    qint32 date_read = 0;
    qint32 date_delivered = 0;
    qint32 is_delivered = 0;
    qint32 is_finished = 0;
    qint32 is_emote = 0;
    qint32 is_from_me = 0;
    qint32 is_empty = 0;
    qint32 is_delayed = 0;
    qint32 is_auto_reply = 0;
    qint32 is_prepared = 0;
    qint32 is_read = 0;
    qint32 is_system_message = 0;
    qint32 is_sent = 0;
    qint32 has_dd_results = 0;
    qint32 is_service_message = 0;
    qint32 is_forward = 0;
    qint32 was_downgraded = 0;
    qint32 is_archive = 0;
    qint32 cache_has_attachments = 0;
    QString cache_roomnames;
    qint32 was_data_detected = 0;
    qint32 was_deduplicated = 0;
    bool highlight = false;
    // Position of the message in its source (its ROWID there, 0 when none).
    qint64 orderKey = 0;
    qint32 is_audio_message = 0;
    qint32 is_played = 0;
    qint32 date_played = 0;
    // 0 an ordinary message; 1 participant added; 2 conversation named;
    // 3 participant left; 4 location sharing; anything else a system notice.
    qint32 item_type = 0;
    qint32 other_handle = -1;
    QString group_title;
    qint32 group_action_type = 0;
    qint32 share_status = 0;
    qint32 share_direction = 0;
    qint32 is_expirable = 0;
    qint32 expire_state = 0;
    qint32 message_action_type = 0;

    _MsgHandle *handle = nullptr;
    _MsgChat *chat = nullptr;
    // Keyed by the decimal attachment ROWID (iOS 6) or the attachment guid
    // (iOS 5, Android). An ordered map, so that every walk over it gives the
    // same order in every run.
    QMap<QString, _MsgAttachment *> attachments;
    _MsgHandle *otherHandle = nullptr;
};

// One correspondent.
struct _MsgHandle
{
    qint64 ROWID = 0;
    QString id; // canonical number, or e-mail address / Apple ID in lower case
    QString country;
    QString service = QStringLiteral("SMS");
    QString uncanonicalized_id;
    QString contactName;
    QByteArray photo;
};

// One conversation.
struct _MsgChat
{
    qint64 ROWID = 0;
    QString guid;
    qint32 style = 45;
    qint32 state = 3;
    QString account_id;
    QByteArray properties;
    QString chat_identifier;
    QString service_name = QStringLiteral("SMS");
    QString room_name;
    QString account_login = QStringLiteral("E:");
    qint32 is_archived = 0;
    QString last_addressed_handle;
    QString display_name;
    qint32 lastDate = 0; // date of the newest message
    QString group_id;
    // Keyed by the decimal handle ROWID (iOS 6) or the handle's id (iOS 5).
    QMap<QString, _MsgHandle *> handles;
    // Keyed by the decimal message ROWID, in the order of those texts.
    FlatMap<QString, _MsgMessage *> messages;

    bool isGroup() const { return handles.size() > 1; }
};

// One attachment.
struct _MsgAttachment
{
    qint64 ROWID = 0;
    QString guid;
    qint32 created_date = 0;
    qint32 start_date = 0;
    QString filename; // path on the phone, usually "~/Library/SMS/Attachments/..."
    QString uti;
    QString mime_type;
    qint32 transfer_state = 5;
    qint32 is_outgoing = 0;
    QByteArray user_info;
    QString transfer_name;
    qint64 total_bytes = 0;
    QString localPath; // the file on this computer; empty when not at hand
};

// A marked handle, kept as the data of a list item.
struct HandleItem
{
    bool checked = false;
    _MsgHandle handle;
};
Q_DECLARE_METATYPE(HandleItem)

using MsgMessageList = QList<_MsgMessage *>;

// The key of a message in its chat's map: its decimal ROWID. Keys of the
// usual range share text that lives as long as the process, so that a load
// makes no string per message; the rest are made as QString::number does.
QString messageKey(qint64 rowid);

// The records of one loaded database, keyed by ROWID. The set owns every
// record in its tables: a record made with new, or one of the set's own
// storage (newMessage). Removing a message from the tables goes through
// discardMessage, which knows which of the two it is.
class _MsgDataSet
{
public:
    _MsgDataSet() = default;
    ~_MsgDataSet();
    _MsgDataSet(const _MsgDataSet &) = delete;
    _MsgDataSet &operator=(const _MsgDataSet &) = delete;

    // A new default message in the set's own storage (kept in blocks, so
    // that a large load makes and frees a few big allocations instead of
    // one per record). The caller files it in the tables.
    _MsgMessage *newMessage();
    // Releases a message the caller has taken out of every table: one of
    // the set's storage is emptied (its memory goes with the set), one
    // made with new is deleted.
    void discardMessage(_MsgMessage *m);

    QMap<qint64, _MsgChat *> chats;
    QMap<qint64, _MsgHandle *> handles;
    FlatMap<qint64, _MsgMessage *> messages;
    QMap<qint64, _MsgAttachment *> attachments;
    // Every chat's lastDate holds the newest date of all its rows, taken by
    // the reader that filled the set; it need not be taken again.
    bool newestDatesKnown = false;

private:
    struct MessageBlock
    {
        _MsgMessage *records = nullptr; // raw storage for capacity records
        qsizetype used = 0;
        qsizetype capacity = 0;
    };
    bool ownsMessage(const _MsgMessage *m) const;
    // By address, so that ownsMessage can search them; the newest one is
    // the one being filled.
    std::vector<MessageBlock> m_messageBlocks;
    size_t m_openBlock = 0;
    qsizetype m_messagesMade = 0;
};

// The chats that share one chat_identifier, with the newest lastDate of them.
struct ChatSession
{
    QList<_MsgChat *> chats;
    qint32 lastDate = 0;
};

// Shared handle to one _MsgDataSet; the set goes when its last holder does.
class MsgDataSet
{
public:
    MsgDataSet() = default;

    // Puts a new empty set in place of the one held.
    void reset();
    _MsgDataSet *data() const { return m_set.data(); }
    bool isNull() const { return m_set.isNull(); }
    // The chats grouped by chat_identifier (exact comparison), in the order
    // of the chat table; sort them with sessionNewerFirst.
    QList<ChatSession> chatSessions() const;

private:
    QSharedPointer<_MsgDataSet> m_set;
};

// Newest first. Sessions of equal date go by chat_identifier so that the
// order is total and the same in every run.
bool sessionNewerFirst(const ChatSession &a, const ChatSession &b);
// Newest first; chats of equal date go by ROWID.
bool chatNewerFirst(const _MsgChat *a, const _MsgChat *b);

// Registers HandleItem with the meta-type system under its own name.
void registerRecordMetaTypes();
