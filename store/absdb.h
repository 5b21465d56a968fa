#pragma once

#include "store/sqlite3db.h"

#include <QList>
#include <QSet>
#include <QSharedPointer>
#include <QString>

class QDir;

class MsgDataSet;

// Base of every database class: a connection that opens itself on first use
// (ensureOpen) and keeps track of the transaction it began.
class AbsDb : public Sqlite3DB
{
public:
    AbsDb() = default;
    ~AbsDb() override = default;

    // Opens (creating or upgrading as the class needs) when not open yet.
    virtual void ensureOpen() = 0;

    // Opens when needed and begins a transaction.
    void beginTransaction();
    // Commits or rolls back the transaction begun by beginTransaction; does
    // nothing (and opens nothing) when none was begun. When the commit or
    // rollback throws, the transaction stays marked as open. When the
    // connection was closed since beginTransaction (which discarded the
    // transaction), a rollback is done already and a commit throws; either
    // way the mark is cleared.
    void endTransaction(bool commit);
    bool inTransaction() const { return m_inTransaction; }

    // Inserts the row's columns except the excluded ones; the new rowid.
    qint64 insertRow(const Sqlite3Row &row, const QString &table,
                     const QSet<QString> &excludedColumns = {});
    // Every row of the table, in the order the query yields them.
    QList<Sqlite3Row> selectAll(const QString &table);

private:
    bool m_inTransaction = false;
    quint64 m_transactionSerial = 0; // the opening the transaction belongs to
};

// A message database: conversations, correspondents and messages.
class AbsMessageDb : public AbsDb
{
public:
    // Every chat and handle of the database into the data set.
    virtual void chats(MsgDataSet &set) = 0;
    // The messages and attachments of one chat (by ROWID) into the data set.
    virtual void messages(MsgDataSet &set, qint64 chatId) = 0;
};

// An iPhone message database (sms.db) of one schema generation.
class AbsIOSMessageDb : public AbsMessageDb
{
public:
    // 5 or 6: the schema generation the class reads.
    virtual int iosVersion() = 0;

    // 6 when the sms.db at path has the tables chat, handle, chat_handle_join,
    // message and chat_message_join, else 5. Reads the file on a connection
    // of its own that leaves it and its log as they are; a missing or
    // unreadable file throws and nothing is created.
    static int isIOS6Schema(const QString &path);

    // The reader of a saved copy of a phone's sms.db (or of a backup's), at
    // file-relay/var/mobile/Library/SMS/sms.db in the store folder store:
    // IOS6MessageDb or IOS5MessageDb as isIOS6Schema tells, mcc choosing
    // the country of phone numbers. Either opens the file for reading only
    // and leaves it, its journal and its write-ahead log byte for byte as
    // they are (no upgrade, no recovery of an interrupted write, no
    // checkpoint); a write through it fails. Throws as isIOS6Schema.
    static QSharedPointer<AbsIOSMessageDb> openPhoneCopy(const QDir &store, const QString &mcc);
    // openPhoneCopy for a store folder whose sms.db may be missing or
    // unreadable now: never throws. Such a folder gets the iOS 6 reader of
    // a copy, which creates nothing and reports what is wrong at its first
    // read.
    static QSharedPointer<AbsIOSMessageDb> phoneCopyReader(const QDir &store, const QString &mcc);
};
