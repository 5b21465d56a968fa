#include "jobs/newstoreguard.h"

#include "store/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

namespace {
// How often a waiting job looks whether it may go on or is cancelled.
constexpr int kPollMs = 100;
} // namespace

NewStoreGuard::NewStoreGuard(const QString &storeFolder, const QString &dbPath, const Wait &wait)
    : m_store(QDir::cleanPath(QDir(storeFolder).absolutePath()))
    , m_dbPath(QDir::cleanPath(QFileInfo(dbPath).absoluteFilePath()))
{
    const QString lock = lockPath(m_store);
    QDir().mkpath(QFileInfo(lock).absolutePath());
    auto file = std::make_unique<QLockFile>(lock);
    // Stale only when the program that made it is gone, however long its
    // run takes.
    file->setStaleLockTime(0);
    bool told = false;
    while (!file->tryLock(kPollMs)) {
        if (file->error() == QLockFile::PermissionError || file->error() == QLockFile::UnknownError) {
            // A folder where no lock can be made: the job goes on as before
            // and meets the database's own locking.
            qWarning("NewStoreGuard: cannot lock %s", qUtf8Printable(lock));
            break;
        }
        if (wait.stop && wait.stop())
            return; // not locked; nothing of the store was looked at
        if (!told && wait.waiting) {
            told = true;
            wait.waiting();
        }
    }
    m_lock = std::move(file);

    // Looked at only now: a writer that went before may have made them.
    const QFileInfo store(m_store);
    m_storeExisted = store.exists() || store.isSymLink();
    const QFileInfo db(m_dbPath);
    m_dbExisted = db.exists() || db.isSymLink();
    if (!m_storeExisted || m_dbExisted)
        return;
    for (QString f = QFileInfo(m_dbPath).path();
         f.size() > m_store.size() && f.startsWith(m_store + QLatin1Char('/'));
         f = QFileInfo(f).path()) {
        if (QFileInfo::exists(f))
            break;
        m_missingFolders.append(f);
    }
}

NewStoreGuard::~NewStoreGuard() = default;

bool NewStoreGuard::locked() const
{
    return m_lock != nullptr;
}

QString NewStoreGuard::lockPath(const QString &storeFolder)
{
    const QFileInfo store(QDir::cleanPath(QDir(storeFolder).absolutePath()));
    return store.absoluteDir().absoluteFilePath(QLatin1Char('.') + store.fileName()
                                                + QStringLiteral(".lock"));
}

void NewStoreGuard::undo() noexcept
{
    if (m_dbExisted || !m_lock)
        return;
    try {
        if (!m_storeExisted) {
            // Everything in it is the job's.
            removeFolderRecursively(m_store);
            return;
        }
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            QFile::remove(m_dbPath + QLatin1String(suffix));
        // Only folders left empty go.
        for (const QString &f : std::as_const(m_missingFolders))
            QDir().rmdir(f);
    } catch (...) {
        // Leaving a file behind is harmless; the job's report stands.
    }
}
