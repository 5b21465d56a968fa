#pragma once

#include "store/absdb.h"
#include "store/msgdataset.h"

#include <QList>
#include <QString>
#include <QStringList>

struct sqlite3_stmt;

// One salvaged message as recycle.db keeps it: the message in the iOS 6
// column layout, with its conversation and correspondent named by text.
struct _MsgRecycleMessage : public _MsgMessage
{
    // The conversation's chat identifier (a number, an address or a room
    // name); empty when the message's chat is unknown.
    QString chat_identifier;
    // The address of the correspondent found with the deleted row (column
    // "handle"); empty when there is none.
    QString handleAddress;
};

// Row ids given to salvaged things in a loaded data set. They are negative
// and lie in ranges of their own so that they never meet live rows:
// - a salvaged message: -(its recycle.db rowid + kRecycledMessageBase), with
//   the opposite as its order key;
// - a recovered conversation with a chat identifier, and its one handle:
//   from -(handle_id + kRecoveredChatBase) downwards, always above
//   -kUnknownChatBase;
// - a conversation of unknown correspondents, and its handle:
//   -(handle_id + kUnknownChatBase) or below.
inline constexpr qint64 kRecycledMessageBase = 2047483648LL;
inline constexpr qint64 kRecoveredChatBase = 1947483647LL;
inline constexpr qint64 kUnknownChatBase = 2047483647LL;

// True for the chat that collects recovered messages whose correspondent is
// unknown (writers skip its messages).
inline bool isUnknownRecoveredChat(qint64 chatRowid)
{
    return chatRowid <= -kUnknownChatBase;
}
// True for every conversation made from salvaged messages.
inline bool isRecoveredChat(qint64 chatRowid)
{
    return chatRowid <= -kRecoveredChatBase;
}

// The store of salvaged messages and handles of one message database: the
// file "recycle.db" in the store folder. Nothing is opened or created until
// the first operation; then a missing file is created with its schema.
class MessageRecycleDb : public AbsDb
{
public:
    // path: the absolute path of "recycle.db" in the store folder.
    explicit MessageRecycleDb(const QString &path);
    ~MessageRecycleDb() override;

    // Opens recycle.db read-write, creating it with its schema when missing
    // (in one transaction: a failed creation leaves no file behind). Throws
    // std::runtime_error "create MessageRecycleDb error. ..." when the schema
    // cannot be made, and the wrapper's exceptions when the file cannot be
    // opened.
    void ensureOpen() override;

    QString filePath() const { return m_path; }

    // Inserts one handle row; src_rowid is stored only when srcRowid > 0.
    qint64 insertRecycledHandle(const _MsgHandle &handle, qint64 srcRowid);
    // Inserts one message row. A guid that is not 8-4-4-4-12 letters and
    // digits is replaced by a new GUID; empty optional texts are stored as
    // NULL; cache_has_attachments says whether the record has attachments.
    qint64 insertRecycledMessage(const _MsgMessage &message, const QString &chatIdentifier,
                                 const QString &handle, qint64 srcRowid);
    // The stored handle with the same id and service; 0 when none.
    qint64 findRecycledHandle(const _MsgHandle &handle);
    // A stored message that is the same message (same guid, or the same
    // date, direction and text, a missing text counting as empty); 0 when none.
    qint64 findRecycledMessage(const _MsgMessage &message);
    // Moves the stored copy of message to another conversation and
    // correspondent; does nothing when it is not stored.
    void setRecycledMessageChat(const _MsgMessage &message, const QString &chatIdentifier,
                                const QString &handle);
    // Removes the stored row of a salvaged message as a data set holds it
    // (row id -(recycle.db rowid + kRecycledMessageBase)); does nothing for
    // any other record or a row that is gone already.
    // False when its row was not there.
    bool deleteRecycledMessage(const _MsgMessage &message);
    // The recycle.db rowid of a salvaged message in a data set; 0 for a
    // message read from the live database.
    static qint64 recycleRowidOf(const _MsgMessage &message)
    {
        return message.ROWID <= -kRecycledMessageBase ? -message.ROWID - kRecycledMessageBase : 0;
    }
    // The stored handle that had srcRowid in sms.db, with that rowid; a
    // default handle when there is none.
    _MsgHandle recycledHandleBySrcRowid(qint64 srcRowid);

    // Every message row that is not marked skipped, in row order, with the
    // negative row ids described above and the highlight flag set.
    QList<_MsgRecycleMessage> loadRecycledMessages();
    // Every handle row, with its recycle.db rowid.
    QList<_MsgHandle> loadRecycledHandles();

    // Adds a copy of each message to the set under its row id (skipping ids
    // the set already has) and files it into a conversation: the live chat
    // with the same identifier and service when there is one, else a
    // recovered conversation made for it, or for messages without a chat
    // identifier the conversation of unknown correspondents of its
    // handle_id. Row ids of new conversations never take the key of a
    // record already in the set. Needs no open store.
    static void groupRecycledMessages(MsgDataSet &set, const QList<_MsgRecycleMessage> &messages);
    // The same, taking the messages' contents instead of copying them.
    static void groupRecycledMessages(MsgDataSet &set, QList<_MsgRecycleMessage> &&messages);
    // Removes the messages whose guid the message table of live (an open
    // sms.db) holds again, keeping the order of the others.
    static void dropLiveAgain(Sqlite3DB &live, QList<_MsgRecycleMessage> &messages);
    // Makes an SMS conversation with one handle (id = chatIdentifier) in the
    // set, under rowid or, when the set already has a chat or handle there,
    // under the first free row id below it. Returns the chat.
    static _MsgChat *newRecoveredChat(MsgDataSet &set, qint64 rowid, const QString &chatIdentifier);

    // The schema script of recycle.db.
    static QString schemaScript();

    // For a scan that is about to fill an empty message table inside the
    // caller's transaction: drops the indexes of the table that no look-up
    // of a scan uses and returns the statements that made them (none when
    // the table holds rows). restoreIndexes makes them again, each in one
    // pass over the rows instead of one insert at a time; a rollback brings
    // them back as well.
    QStringList setAsideScanFreeIndexes();
    void restoreIndexes(const QStringList &statements);

private:
    void createSchema(bool removeFileOnFailure);
    // Runs a schema statement; throws with SQLite's message when it fails.
    void runDdl(const QString &sql);
    // The statements a scan runs for every row, prepared once for each
    // opening of the file (a statement of an earlier opening is finalized
    // when the next one asks for it, or with this object).
    enum KeptSlot { InsertMessage, FindMessage, KeptSlots };
    sqlite3_stmt *keptStatement(KeptSlot slot, const char *sql);
    struct Kept
    {
        sqlite3_stmt *stmt = nullptr;
        quint64 serial = 0;
    };
    Kept m_kept[KeptSlots];

    QString m_path;
};
