#pragma once

#include "store/absdb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QString>

class QLockFile;

#include <memory>
#include <optional>
#include <vector>

// The message database of a store folder in the iOS 6 sms.db schema: a copy
// of a phone's sms.db, a backup's copy, an Android phone's cache or a local
// message database. The store folder holds "file-relay" (a mirror of the
// phone's file system with sms.db at var/mobile/Library/SMS/sms.db and the
// attachment files), "recycle.db" and "ct-phone.db".
class IOS6MessageDb : public AbsIOSMessageDb
{
public:
    // Nothing is opened or touched until the first operation. mcc chooses
    // the country used for phone numbers; upgradeSchema asks that an
    // existing database gets the columns of a local database it lacks.
    IOS6MessageDb(const QDir &dataDir, const QString &mcc, bool upgradeSchema);
    ~IOS6MessageDb() override;

    // Opens sms.db when not open yet:
    // - a read-only copy (setReadOnlyCopy) for reading only, as it is; a
    //   missing file throws;
    // - an existing file read-write, upgraded when asked (in one transaction);
    //   without upgrade, a file that cannot be opened for writing is opened
    //   for reading only (see Sqlite3DB::openUnchangedThrow);
    // - a missing file is created with its folders from the schema script
    //   ":/res/localmsgdb_ddl.sql", in one transaction; a file whose creation
    //   failed is removed again. With upgradeSchema, an existing file without
    //   any table gets the schema too.
    // Then the SQL functions that a phone's triggers call are registered, and
    // the CREATE statement of every table is cached. When any step fails the
    // connection is closed again and the exception passed on, so that the
    // next call starts afresh.
    void ensureOpen() override;

    void chats(MsgDataSet &set) override;
    // The conversations and their correspondents as chats() reads them, but
    // without the newest message date of each (which takes a pass over
    // every message).
    void chatsWithoutDates(MsgDataSet &set) { readChats(set, false); }
    void messages(MsgDataSet &set, qint64 chatId) override;
    int iosVersion() override { return 6; }

    // Makes the object a reader of a saved copy of a phone's database
    // (before the first open; see AbsIOSMessageDb::openPhoneCopy): the file
    // is opened for reading only, as Sqlite3DB::openUnchangedThrow opens
    // it, never created nor upgraded, and every write fails. Without it, a
    // copy opened without upgrade is opened for writing too (so that a job
    // can change it), and opening it rolls back a write the phone left
    // unfinished.
    void setReadOnlyCopy() { m_readOnlyCopy = true; }
    bool isReadOnlyCopy() const { return m_readOnlyCopy; }
    // Points the object at another sms.db file (before the first open).
    void setSmsDbPath(const QString &path) { m_smsDbPath = path; }
    QString smsDbPath() const { return m_smsDbPath; }
    QDir dataDir() const { return m_dataDir; }
    QDir fileRelayDir() const { return m_fileRelayDir; }
    bool upgradeSchema() const { return m_upgradeSchema; }

    IOSContactsMemDb &contactsDb() { return m_contactsDb; }
    MessageRecycleDb &recycleStore() { return m_recycleDb; }
    CountryLibDb &countryLib() { return m_countryLib; }

    // Each table's CREATE statement as sqlite_master keeps it; empty before
    // the first successful open. The readers and writers test optional
    // columns by searching these texts.
    const QHash<QString, QString> &tableSchemas() const { return m_tableSchemas; }

    // The schema script of a new local message database.
    static QByteArray schemaScript();

    // ---- Reading (ios6messagedb_read.cpp) ----
    // Join rows of chat and message, without location-sharing items.
    qint64 messageCount();
    // Adds the salvaged messages of the recycle store that this database no
    // longer holds, filed into conversations with negative row ids.
    void loadRecycledChats(MsgDataSet &set);
    // The file of an attachment's phone path (filename) below fileRelay:
    // "~/" stands for "var/mobile/", a leading "/" is dropped, the characters
    // : * ? " < > | are removed and a backslash separates folders. A path
    // that leaves fileRelay (through ".." or a symbolic link) is no file of
    // this store: the result is empty.
    static QString attachmentLocalPath(const QDir &fileRelay, const QString &filename);
    // attachmentLocalPath for many names of one store in a row: the folders
    // found to be no links are looked at once, not once per name.
    class AttachmentLocalPaths
    {
    public:
        explicit AttachmentLocalPaths(const QDir &fileRelay);
        ~AttachmentLocalPaths();
        QString operator()(const QString &filename);

    private:
        struct Impl;
        std::unique_ptr<Impl> d;
    };

    // ---- Writing and deleting (ios6messagedb_write.cpp) ----
    // Look-ups by natural key: the first row's rowid, 0 when there is none.
    qint64 messageRowidByGuid(const QString &guid);
    qint64 chatRowidByGuid(const QString &guid);
    qint64 attachmentRowidByGuid(const _MsgAttachment *a);
    qint64 handleRowid(const _MsgHandle *h);
    // 0 without asking when the message table has no logic_hash column.
    qint64 messageRowidByLogicHash(const _MsgMessage *m);
    bool hasChatHandleJoin(qint64 chatId, qint64 handleId);
    // Whether the message table has item_type; false before the first open.
    bool hasItemTypeColumn() const;

    // Join rows (a join that exists already is replaced, never doubled).
    void addChatHandleJoin(qint64 chatId, qint64 handleId);
    void addChatMessageJoin(qint64 chatId, qint64 messageId);
    void addMessageAttachmentJoin(qint64 messageId, qint64 attachmentId);
    void setLastAddressedHandle(qint64 chatId, const QString &handleId);
    // Raises the chat's _last to date (never lowers it); nothing without _last.
    void updateChatLast(qint64 chatId, int date);

    // Inserts return the new rowid; the record's own ROWID is not used.
    // Optional columns are written only when the table has them.
    qint64 insertHandle(const _MsgHandle *h);
    // handleId and otherHandleId are rowids in this database (otherHandleId
    // <= 0 for none); an empty logicHash stores the record's own.
    qint64 insertMessage(const _MsgMessage *m, qint64 handleId, qint64 otherHandleId,
                         const QString &logicHash = QString());
    // The same with the logic hash stored as given (even when empty).
    qint64 insertMessageWithHash(const _MsgMessage *m, qint64 handleId, qint64 otherHandleId,
                                 const QString &logicHash);
    qint64 insertAttachment(const _MsgAttachment *a);
    // The chat with its handles (existing handles are joined, not doubled).
    // Throws std::runtime_error for a service other than "SMS" or "iMessage".
    qint64 insertChat(const _MsgChat *c);
    // Deletes the message with its join rows, the attachments no other
    // message has and every chat it leaves empty. No file is removed. A
    // salvaged message (negative row id of the recycle range) is deleted
    // from the recycle store instead; the caller holds a transaction on
    // that store too when the list has such messages. False when the
    // message's row was not there (deleted already, by another program
    // on the same store say).
    bool deleteMessage(const _MsgMessage *m);

    // ---- Salvaged and live messages deleted together ----
    // recycle.db and sms.db commit one after the other, each its own
    // transaction. Before the first commit the deletion is recorded in the
    // store folder (the recycle.db rows to go and the live rows that go with
    // them, by rowid and guid); after the second the record goes. A record
    // found later belongs to a run killed in between: when sms.db holds none
    // of the live rows it names, sms.db committed and the recycle.db rows go
    // now; when it holds them, nothing was deleted and only the record goes.
    struct LiveRow
    {
        qint64 rowid = 0;
        QString guid;
    };
    // The row and guid of a live message as sms.db holds them now (inside the
    // caller's transaction); nullopt when it holds no such row.
    std::optional<LiveRow> liveRowOf(const _MsgMessage *m);
    // Writes the record, flushed to the disk, and keeps it locked until
    // dropRecycleDeletionRecord. Throws std::runtime_error, also when the
    // record of an earlier run is still there.
    void writeRecycleDeletionRecord(const QList<qint64> &recycleRows,
                                    const QList<LiveRow> &liveRows);
    void dropRecycleDeletionRecord();
    enum class RecycleDeletion { Nothing, Finished, Undone, Kept };
    // Finishes or drops the record a killed run left (see above). Kept: it
    // stays for a later attempt (another run holds it, a database cannot be
    // read or written, or sms.db is missing). Done before salvaged messages
    // are read and at the start of every deletion; never throws.
    RecycleDeletion finishRecycleDeletion() noexcept;
    // The record's path: ".delete-recycle" in the store folder.
    QString recycleDeletionRecordPath() const;

private:
    bool hasNoTables();
    void runSchemaScript(bool removeFileOnFailure);
    void upgradeDatabase();
    void configureConnection();
    void loadTableSchemas();
    // chats(), with or without the scan for each chat's newest date.
    void readChats(MsgDataSet &set, bool newestDates);
    // Open for reading: a database opened without upgrade keeps its file as
    // it is while it is only read (no checkpoint of a write-ahead log at
    // close); the first commit through this connection turns that off, so
    // that what is written reaches the database file itself.
    void ensureOpenForReading();
    bool schemaHas(const char *table, const char *probe,
                   Qt::CaseSensitivity cs = Qt::CaseSensitive) const;

    // The statements written for every row of a long merge are kept for
    // the opening (Sqlite3DB::keptStatement) and bound straight from the
    // records, without a row map or a statement text per row.
    struct KeptStatement
    {
        quint64 serial = 0; // the opening it was taken for
        sqlite3_stmt *stmt = nullptr;
    };
    sqlite3_stmt *kept(KeptStatement &slot, const char *sql);
    sqlite3_stmt *kept(KeptStatement &slot, const QByteArray &sql);
    class Binder;
    // Steps a kept statement to its end and resets it; throws on failure.
    void stepKept(sqlite3_stmt *stmt);
    // The rowid of the first row of a kept look-up (reset afterwards); 0
    // when none comes back.
    qint64 firstRowidKept(sqlite3_stmt *stmt);
    qint64 insertMessageImpl(const _MsgMessage *m, qint64 handleId, qint64 otherHandleId,
                             const QString *logicHash);
    template<typename Put>
    void forEachMessageColumn(const _MsgMessage *m, qint64 handleId, qint64 otherId,
                              const QString *hash, Put put) const;
    // Which optional message columns the table has, read once per opening.
    struct InsertColumns
    {
        quint64 serial = 0;
        bool optional[10] = {};
        bool otherHandle = false;
        bool groupTitle = false;
        bool logicHash = false;
    };
    InsertColumns m_insertColumns;
    KeptStatement m_insertMessage[64]; // by the optional values a row names
    KeptStatement m_insertAttachment[8];
    KeptStatement m_chatMessageJoin, m_messageAttachmentJoin, m_chatHandleJoin;
    KeptStatement m_updateChatLast, m_setLastAddressed;
    KeptStatement m_messageByGuid, m_chatByGuid, m_attachmentByGuid, m_handleById,
            m_messageByLogicHash, m_chatHandleJoinExists;
    // UTF-8 of the texts being bound, kept from row to row so that their
    // memory is reused; valid until the statement is reset.
    std::vector<QByteArray> m_textBuffers;

    QDir m_dataDir;
    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;
    MessageRecycleDb m_recycleDb;
    CountryLibDb m_countryLib;
    QHash<QString, QString> m_tableSchemas;
    // Answers of schemaHas for the schemas above, found by the probe's
    // address and checked against the texts kept.
    struct SchemaProbe
    {
        QByteArray table;
        QByteArray probe;
        Qt::CaseSensitivity cs = Qt::CaseSensitive;
        bool has = false;
    };
    mutable QHash<const char *, SchemaProbe> m_schemaHasCache;
    QString m_smsDbPath;
    bool m_upgradeSchema;
    // Held from writeRecycleDeletionRecord to dropRecycleDeletionRecord.
    std::unique_ptr<QLockFile> m_recycleDeletionLock;
    bool m_readOnlyCopy = false;
};
