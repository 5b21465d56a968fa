#pragma once

#include "store/absdb.h"
#include "store/countrylibdb.h"
#include "store/ioscontactsmemdb.h"
#include "store/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QString>

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
    // - an existing file read-write, upgraded when asked (in one transaction);
    // - a missing file is created with its folders from the schema script
    //   ":/res/localmsgdb_ddl.sql", in one transaction; a file whose creation
    //   failed is removed again.
    // Then the SQL functions that a phone's triggers call are registered, and
    // the CREATE statement of every table is cached. When any step fails the
    // connection is closed again and the exception passed on, so that the
    // next call starts afresh.
    void ensureOpen() override;

    void chats(MsgDataSet &set) override;
    void messages(MsgDataSet &set, qint64 chatId) override;
    int iosVersion() override { return 6; }

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

private:
    void createDatabase();
    void upgradeDatabase();
    void configureConnection();
    void loadTableSchemas();

    QDir m_dataDir;
    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;
    MessageRecycleDb m_recycleDb;
    CountryLibDb m_countryLib;
    QHash<QString, QString> m_tableSchemas;
    QString m_smsDbPath;
    bool m_upgradeSchema;
};
