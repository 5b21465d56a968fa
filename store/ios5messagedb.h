#pragma once

#include "store/absdb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"
#include "store/plistvalue.h"

#include <QDir>
#include <QHash>
#include <QSet>
#include <QString>

// Reads a copy of a phone's sms.db of the older generation (SMS and iMessage
// in one message table, SMS conversations in msg_group/group_member, MMS
// content in msg_pieces, iMessage conversations in madrid_chat) into the same
// records every other source gives, shaped as the newer schema has them.
// Nothing in the database is changed; the only files written are the bytes of
// MMS pieces, below the store folder's "file-relay" mirror of the phone.
//
// Row ids of records this reader makes up for rows that have none of their
// own in the newer layout are negative: an iMessage chat is minus its
// madrid_chat rowid, an iMessage handle minus (handles in the set) minus 1,
// an iMessage attachment minus its madrid_attachment rowid, and the message
// made for a second or further MMS attachment kClonedMessageBase minus the
// piece rowid. When such an id is already held by another record of the data
// set (a salvaged row, say), the next free id below it is taken instead: a
// record already in the set is never replaced.
class IOS5MessageDb : public AbsIOSMessageDb
{
public:
    static constexpr qint64 kClonedMessageBase = -1647483648LL;

    // dataDir: the store folder; mcc: the mobile country code whose country
    // canonicalises numbers. Nothing is opened or touched here.
    IOS5MessageDb(const QDir &dataDir, const QString &mcc);
    ~IOS5MessageDb() override;

    // Opens sms.db for reading only, leaving the file and its log as they
    // are (Sqlite3DB::openUnchangedThrow), registers the SQL function read()
    // that the phone's triggers call, and caches the CREATE statement of
    // every table. A database without the tables of this generation throws
    // the plain IDS_DB_KIND_NOT_READ text. A failure closes the connection
    // again and passes the exception on.
    void ensureOpen() override;

    // Every SMS group with its members and every iMessage chat with its
    // participants. Only adds: records already in the set stay as they are.
    void chats(MsgDataSet &set) override;
    // The messages and attachments of one chat (> 0 an SMS group, < 0 an
    // iMessage chat) or of the whole database (0); calls chats first.
    void messages(MsgDataSet &set, qint64 chatId) override;
    int iosVersion() override { return 5; }

    // "select count(*) from message".
    qint64 messageCount();
    // Adds the salvaged messages of the store's recycle.db to the set.
    void loadRecycledChats(MsgDataSet &set);

    QDir fileRelayDir() const { return m_fileRelayDir; }
    QString smsDbPath() const { return m_smsDbPath; }
    IOSContactsMemDb &contactsDb() { return m_contactsDb; }
    MessageRecycleDb &recycleStore() { return m_recycleDb; }
    CountryLibDb &countryLib() { return m_countryLib; }
    const QHash<QString, QString> &tableSchemas() const { return m_tableSchemas; }

private:
    struct PieceRow;
    _MsgHandle *newHandle(_MsgDataSet &d, qint64 rowid, const QString &id, const QString &country,
                          const QString &service);
    void readSmsGroups(_MsgDataSet &d);
    void readSmsMembers(_MsgDataSet &d);
    void readMadridChats(_MsgDataSet &d);
    void readMadridAttachments(_MsgDataSet &d, _MsgMessage *m, const QByteArray &info,
                               const QByteArray &attributedBody);
    void readPieces(_MsgDataSet &d, qint64 chatId, const QSet<qint64> &addedNow);
    void addPieceAttachment(_MsgDataSet &d, _MsgMessage *m, const PieceRow &piece);
    bool writePieceFile(const QString &absolutePath, const QByteArray &data) const;
    QString localPathOf(const QString &filename) const;
    _CountryInfo countryOf(const QString &sn);

    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;
    MessageRecycleDb m_recycleDb;
    CountryLibDb m_countryLib;
    QHash<QString, QString> m_tableSchemas;
    QString m_smsDbPath;
    bool m_contactsOpen = false;
    QHash<QString, _CountryInfo> m_countryCache; // by upper-case code
    // The madrid_chat rowid of every iMessage chat of the set last read by
    // chats(), by the chat's id in that set.
    QHash<qint64, qint64> m_madridRowidByKey;
};

// The phone-side file name that a sender-given MMS content location may
// safely stand for: the last path component, without control characters
// and characters file systems refuse, never "." or "..", and at most 200
// UTF-8 bytes (the extension kept). Empty when nothing usable is left.
QString safePieceFileName(const QString &contentLocation);
// The extension of a content location as an MMS part file may carry it:
// the text after its last dot, letters and digits only, at most 16 of them.
QString safePieceSuffix(const QString &contentLocation);
