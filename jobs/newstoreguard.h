#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QLockFile;

// Remembers whether a store folder and its message database existed before a
// job wrote into them, so that a job that fails or is cancelled can take away
// a database it created: the database file with its journal files, the
// folders made for it and, when the store folder itself was new, the whole
// store folder. A database that existed before is never touched: its own
// transaction keeps it as it was.
//
// The guard also keeps other writers out of the store for its life: two
// jobs (of two windows or two running copies of the program) that copy
// messages into one local database take turns. Otherwise the second one
// failed half-way on the locked database, or, when both made the database,
// took away the one the other had just filled.
class NewStoreGuard
{
public:
    struct Wait
    {
        // Polled while another writer holds the store: true gives up.
        std::function<bool()> stop;
        // Called once when the guard has to wait.
        std::function<void()> waiting;
    };

    // storeFolder: the local database's folder; dbPath: its sms.db. Waits
    // until no other writer holds the store, or until wait.stop says so.
    NewStoreGuard(const QString &storeFolder, const QString &dbPath, const Wait &wait = {});
    ~NewStoreGuard();

    // Whether the store is this job's to write (false: given up waiting).
    bool locked() const;
    bool databaseExisted() const { return m_dbExisted; }

    // Removes what the job created. Call with every connection to the
    // database closed. Never throws.
    void undo() noexcept;

    // The lock file that stands for a store's writer: beside the store
    // folder, so that it neither needs the folder nor goes with it.
    static QString lockPath(const QString &storeFolder);

private:
    std::unique_ptr<QLockFile> m_lock;
    QString m_store;
    QString m_dbPath;
    bool m_storeExisted = false;
    bool m_dbExisted = false;
    // Folders between the store folder and the database that were missing,
    // deepest first.
    QStringList m_missingFolders;
};
