#pragma once

#include <QString>
#include <QStringList>

// Remembers whether a store folder and its message database existed before a
// job wrote into them, so that a job that fails or is cancelled can take away
// a database it created: the database file with its journal files, the
// folders made for it and, when the store folder itself was new, the whole
// store folder. A database that existed before is never touched: its own
// transaction keeps it as it was.
class NewStoreGuard
{
public:
    // storeFolder: the local database's folder; dbPath: its sms.db.
    NewStoreGuard(const QString &storeFolder, const QString &dbPath);

    bool databaseExisted() const { return m_dbExisted; }

    // Removes what the job created. Call with every connection to the
    // database closed. Never throws.
    void undo() noexcept;

private:
    QString m_store;
    QString m_dbPath;
    bool m_storeExisted = false;
    bool m_dbExisted = false;
    // Folders between the store folder and the database that were missing,
    // deepest first.
    QStringList m_missingFolders;
};
