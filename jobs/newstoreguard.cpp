#include "jobs/newstoreguard.h"

#include "store/datafolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

NewStoreGuard::NewStoreGuard(const QString &storeFolder, const QString &dbPath)
    : m_store(QDir::cleanPath(QDir(storeFolder).absolutePath()))
    , m_dbPath(QDir::cleanPath(QFileInfo(dbPath).absoluteFilePath()))
{
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

void NewStoreGuard::undo() noexcept
{
    if (m_dbExisted)
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
