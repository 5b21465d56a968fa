#include "store/absdb.h"

#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"

#include <QDir>

void AbsDb::beginTransaction()
{
    ensureOpen();
    beginTran();
    m_inTransaction = true;
    m_transactionSerial = openSerial();
}

void AbsDb::endTransaction(bool commit)
{
    if (!m_inTransaction)
        return;
    if (openSerial() != m_transactionSerial) {
        // Closed (and maybe reopened) since the transaction began: its work
        // is gone. Reopening to commit nothing must not look like success.
        m_inTransaction = false;
        if (commit)
            throw Sqlite3Exception(QStringLiteral("commit transaction failed: the database was "
                                                  "closed and the transaction discarded"),
                                   1);
        return;
    }
    ensureOpen();
    if (commit)
        commitTran();
    else
        rollbackTran();
    m_inTransaction = false;
}

qint64 AbsDb::insertRow(const Sqlite3Row &row, const QString &table,
                        const QSet<QString> &excludedColumns)
{
    ensureOpen();
    executeThrow(row.insertSql(table, excludedColumns));
    return lastInsertId();
}

QList<Sqlite3Row> AbsDb::selectAll(const QString &table)
{
    ensureOpen();
    QString quoted = table;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    Sqlite3Cursor c = queryThrow(Sqlite3Sql(QStringLiteral("select * from \"%1\"").arg(quoted)));
    QList<Sqlite3Row> rows;
    while (c.moveNext())
        rows.append(c.getRow());
    return rows;
}

int AbsIOSMessageDb::isIOS6Schema(const QString &path)
{
    Sqlite3DB db;
    db.openUnchangedThrow(path);
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select * from sqlite_master where type='table'"));
    QSet<QString> tables;
    while (c.moveNext())
        tables.insert(c.getText("name"));
    db.close();
    static const char *const required[]
            = {"chat", "handle", "chat_handle_join", "message", "chat_message_join"};
    for (const char *name : required) {
        if (!tables.contains(QLatin1String(name)))
            return 5;
    }
    return 6;
}

QSharedPointer<AbsIOSMessageDb> AbsIOSMessageDb::openPhoneCopy(const QDir &store,
                                                               const QString &mcc)
{
    const QString smsDb
            = store.absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
    if (isIOS6Schema(smsDb) == 6) {
        auto *six = new IOS6MessageDb(store, mcc, false);
        six->setReadOnlyCopy();
        return QSharedPointer<AbsIOSMessageDb>(six);
    }
    return QSharedPointer<AbsIOSMessageDb>(new IOS5MessageDb(store, mcc));
}

QSharedPointer<AbsIOSMessageDb> AbsIOSMessageDb::phoneCopyReader(const QDir &store,
                                                                 const QString &mcc)
{
    try {
        return openPhoneCopy(store, mcc);
    } catch (const std::exception &) {
        auto *six = new IOS6MessageDb(store, mcc, false);
        six->setReadOnlyCopy();
        return QSharedPointer<AbsIOSMessageDb>(six);
    }
}
