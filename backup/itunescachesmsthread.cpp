#include "backup/itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <memory>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

const char *const kBase = "file-relay/var/mobile/Library";
const char *const kStagingPrefix = ".cache-staging-";

// One name of a path: never a way up, across or out.
bool isSafeName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
            && !name.contains(QChar(0));
}

QString joinPath(const QString &folder, const QString &name)
{
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

// The child of parent named name (exact), or null.
const BackupFileNode *childNamed(const BackupFileNode *parent, const QString &name)
{
    if (!parent)
        return nullptr;
    for (const BackupFileNode *c : parent->children)
        if (c->name == name)
            return c;
    return nullptr;
}

} // namespace

QDir cacheFolder()
{
    return QDir(dataFolder().filePath(QStringLiteral("cache")));
}

QDir itunesCacheFolder()
{
    return QDir(dataFolder().filePath(QStringLiteral("itunes_cache")));
}

QString makeFolderInside(const QDir &root, const QString &relativePath)
{
    QString path = QDir::cleanPath(root.absolutePath());
    if (relativePath.isEmpty())
        return path;
    for (const QString &part : relativePath.split(QLatin1Char('/'))) {
        if (!isSafeName(part))
            fail(ids("IDS_BACKUP_CACHE_UNSAFE_PATH_%1").arg(relativePath));
        path += QLatin1Char('/') + part;
        const QFileInfo info(path);
        if (info.isSymLink() || (info.exists() && !info.isDir()))
            fail(ids("IDS_BACKUP_CACHE_UNSAFE_PATH_%1").arg(QDir::toNativeSeparators(path)));
        if (!info.exists() && !QDir().mkdir(path) && !QFileInfo(path).isDir())
            fail(QStringLiteral("Cannot create the folder %1").arg(QDir::toNativeSeparators(path)));
    }
    return path;
}

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest *m, ProgressForm *f, QObject *parent)
    : ITunesCacheSMSThread(m, QDir(itunesCacheFolder().filePath(backupCacheKey(*m))), f, parent)
{ }

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest *m, const QDir &folder, ProgressForm *f,
                                           QObject *parent)
    : QThread(parent)
    , manifest(m)
    , form(f)
    , cacheFolder(folder.absolutePath())
    , cacheDb(cacheFolder.absoluteFilePath(QStringLiteral("manifest.db")))
{ }

ITunesCacheSMSThread::~ITunesCacheSMSThread() = default;

bool ITunesCacheSMSThread::cancelled() const
{
    return form && (form->failed || form->hasEnded());
}

void ITunesCacheSMSThread::run()
{
    auto progress = [this](const QString &status, int value, const QString &text) {
        if (form)
            form->postUpdateProgress(status, value, text);
    };
    auto error = [this](const QString &text) {
        if (form)
            form->postErrorOccurred(text);
    };
    progress(ids("IDS_LOADING_ITUNES_BACKUP"), 99, QString());
    m_copied.clear();

    const BackupFileNode *library = nullptr;
    for (const BackupFileNode *c : manifest->root.children) {
        if (c->name.compare(QLatin1String("Library"), Qt::CaseInsensitive) == 0) {
            library = c;
            break;
        }
    }
    const BackupFileNode *sms = nullptr;
    const BackupFileNode *addressBook = nullptr;
    if (library) {
        for (const BackupFileNode *c : library->children) {
            if (!sms && c->name.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0)
                sms = c;
            else if (!addressBook
                     && c->name.compare(QLatin1String("AddressBook"), Qt::CaseInsensitive) == 0)
                addressBook = c;
            if (sms && addressBook)
                break;
        }
    }
    if (!sms) {
        error(ids("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }
    // Copying an encrypted backup's stored bytes would fill the cache with
    // ciphertext posing as the phone's files.
    // Manifest.plist alone is not trusted with that: records that carry file
    // keys say the backup is encrypted, even when the plist is damaged.
    if (manifest->isEncrypted() && !manifest->keybag.isUnlocked()) {
        error(ids("IDS_ITUNES_BACKUP_LOCKED"));
        return;
    }

    const bool folderIsNew = !cacheFolder.exists();
    m_staged.clear();
    m_stageCounter = 0;
    std::unique_ptr<QTemporaryDir> staging;
    auto cleanUp = [&] {
        cacheDb.rollback();
        cacheDb.close();
        staging.reset();
        m_stagingPath.clear();
        m_staged.clear();
        if (folderIsNew)
            removeFolderRecursively(cacheFolder.absolutePath());
    };
    try {
        if (!QDir().mkpath(cacheFolder.absolutePath()))
            fail(QStringLiteral("Cannot create the folder %1")
                         .arg(QDir::toNativeSeparators(cacheFolder.absolutePath())));
        // A merge into the backup, or a run of this job, that was killed in
        // the middle of its swap is finished (or undone) first.
        SwapJournal::recover(manifest->folder.absolutePath());
        const SwapJournal::Recovery recovery = SwapJournal::recover(cacheFolder.absolutePath());
        if (recovery == SwapJournal::Recovery::Busy || recovery == SwapJournal::Recovery::Failed)
            fail(QStringLiteral("An unfinished change of %1 could not be completed.")
                         .arg(QDir::toNativeSeparators(cacheFolder.absolutePath())));
        // Staging folders that an interrupted run left behind.
        const QStringList stale = cacheFolder.entryList(
                {QLatin1String(kStagingPrefix) + QLatin1Char('*')},
                QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
        for (const QString &name : stale)
            removeFolderRecursively(cacheFolder.absoluteFilePath(name));

        staging = std::make_unique<QTemporaryDir>(
                cacheFolder.absoluteFilePath(QLatin1String(kStagingPrefix) + "XXXXXX"));
        if (!staging->isValid())
            fail(staging->errorString());
        m_stagingPath = staging->path();

        cacheNodeAt(sms, QLatin1String(kBase));
        if (addressBook)
            cacheNodeAt(addressBook, QLatin1String(kBase));
        // The files go in from here: a Cancel that came first keeps the
        // cache as it was, one that comes later is refused.
        if (cancelled() || (form && !form->beginCommit()))
            throw -1;
        commitStaged();
        staging.reset();
        m_stagingPath.clear();
        m_staged.clear();
        if (form)
            form->postSucceed(QString());
    } catch (int) {
        m_copied.clear();
        cleanUp();
    } catch (const std::exception &e) {
        m_copied.clear();
        cleanUp();
        error(boxTextOf(e));
    }
}

void ITunesCacheSMSThread::cacheNode(const BackupFileNode *node, const QDir &targetFolder)
{
    const QString relative = cacheFolder.relativeFilePath(targetFolder.absolutePath());
    if (relative == QLatin1String("."))
        cacheNodeAt(node, QString());
    else
        cacheNodeAt(node, relative);
}

void ITunesCacheSMSThread::cacheNodeAt(const BackupFileNode *node, const QString &relativeFolder)
{
    if (form)
        form->postUpdateProgress(QString(), -1, ids("IDS_CACHING_BACKUP_FILE_%1").arg(node->name));
    if (cancelled())
        throw -1;
    if (m_stagingPath.isEmpty())
        fail(QStringLiteral("ITunesCacheSMSThread::cacheNode: called outside a run"));

    const MbdbRecord &record = node->record;
    if (record.isDirectory()) {
        if (!isSafeName(node->name)) {
            qWarning("Backup folder %s skipped: its name cannot be a folder name",
                     qUtf8Printable(node->treePath()));
            return;
        }
        const QString folder = joinPath(relativeFolder, node->name);
        m_staged.append({folder, QString(), QString(), CachedFile(), node});
        for (const BackupFileNode *child : node->children)
            cacheNodeAt(child, folder);
        return;
    }

    const QString name = sanitizeFileName(node->name);
    if (!isSafeName(name)) {
        qWarning("Backup file %s skipped: its name cannot be a file name",
                 qUtf8Printable(node->treePath()));
        return;
    }
    const QString relativePath = joinPath(relativeFolder, name);
    const QString id = record.fileId();
    CachedFile wanted;
    wanted.date = record.lastModified;
    wanted.size = record.size;
    wanted.digest = record.dataHash.isValid() ? record.dataHash.bytes : QByteArray();
    wanted.decrypted = manifest->isEncrypted();
    // Within one second a file can change more than once (a merge writes
    // whole seconds), so the time alone does not tell an unchanged file; nor
    // does a copy made before the backup was known to be encrypted hold the
    // plain contents.
    const std::optional<CachedFile> have = cacheDb.cachedFile(id);
    const QFileInfo cached(cacheFolder.absoluteFilePath(relativePath));
    if (have && have->date == wanted.date && have->size == wanted.size
        && have->digest == wanted.digest && have->decrypted == wanted.decrypted && cached.isFile()
        && !cached.isSymLink() && cached.size() == wanted.size)
        return;
    const QFileInfo source(manifest->folder.absoluteFilePath(id));
    if (!source.exists())
        return;
    // A backup file is the backup's own: a link that leads out of the
    // backup folder would copy some other file of the user into the store.
    if (source.isSymLink()) {
        const QString inside = QDir(manifest->folder.canonicalPath()).absolutePath();
        if (!source.canonicalFilePath().startsWith(inside + QLatin1Char('/'))) {
            qWarning("Backup file %s skipped: it links out of the backup folder",
                     qUtf8Printable(node->treePath()));
            return;
        }
    }
    const QString staged = m_stagingPath + QLatin1Char('/') + QString::number(++m_stageCounter);
    manifest->extractBackupFile(node, staged, nullptr, nullptr);
    m_staged.append({relativePath, staged, id, wanted, node});
    killPoint("cache-staged");
}

void ITunesCacheSMSThread::commitStaged()
{
    // Every folder first, so that a link or a file in the way fails the run
    // before any cached file has changed.
    QStringList targets;
    for (const Staged &s : m_staged) {
        if (s.stagedPath.isEmpty()) {
            makeFolderInside(cacheFolder, s.relativePath);
            targets.append(QString());
            continue;
        }
        const qsizetype slash = s.relativePath.lastIndexOf(QLatin1Char('/'));
        const QString folder
                = makeFolderInside(cacheFolder, slash < 0 ? QString() : s.relativePath.left(slash));
        const QString target = folder + QLatin1Char('/') + s.relativePath.mid(slash + 1);
        const QFileInfo info(target);
        if (info.isDir() && !info.isSymLink())
            fail(ids("IDS_BACKUP_CACHE_UNSAFE_PATH_%1").arg(QDir::toNativeSeparators(target)));
        targets.append(target);
    }

    // The files go in by one rename each (a link in a file's place is
    // replaced, never followed), recorded first so that a kill in between
    // is finished by the next run; their rows follow, so that a row never
    // describes a file that is not in place.
    SwapJournal journal(cacheFolder.absolutePath());
    QStringList copied;
    for (qsizetype i = 0; i < m_staged.size(); ++i) {
        const Staged &s = m_staged.at(i);
        if (s.stagedPath.isEmpty())
            continue;
        journal.replace(targets.at(i), s.stagedPath);
        copied.append(s.relativePath);
    }
    for (qsizetype i = 0; i < m_staged.size(); ++i)
        if (!m_staged.at(i).stagedPath.isEmpty())
            for (const QString &side : staleSideFiles(m_staged.at(i)))
                journal.remove(side);
    if (journal.isEmpty())
        return;
    journal.begin();
    try {
        journal.commit();
    } catch (...) {
        // Files of this run that went in go again; a replaced one has no
        // row to match, so the next run copies it anew.
        journal.rollBack();
        throw;
    }

    cacheDb.begin();
    try {
        for (const Staged &s : std::as_const(m_staged))
            if (!s.stagedPath.isEmpty())
                cacheDb.setCachedFile(s.fileId, s.cached);
        cacheDb.commit();
        m_copied = copied;
    } catch (...) {
        cacheDb.rollback();
        throw;
    }
}

// A database file replaced under a write-ahead log or journal of its earlier
// self would be read through them: such side files that the backup does not
// hold themselves go with it.
QStringList ITunesCacheSMSThread::staleSideFiles(const Staged &file) const
{
    QStringList out;
    QString base = file.relativePath;
    static const QString kSuffixes[]
            = {QStringLiteral("-wal"), QStringLiteral("-shm"), QStringLiteral("-journal")};
    for (const QString &suffix : kSuffixes) {
        if (base.endsWith(suffix)) {
            base.chop(suffix.size());
            break;
        }
    }
    const QString nodeBase = file.node->name.left(file.node->name.size()
                                                  - (file.relativePath.size() - base.size()));
    for (const QString &suffix : kSuffixes) {
        const QString side = base + suffix;
        if (side == file.relativePath)
            continue;
        if (childNamed(file.node->parent, nodeBase + suffix))
            continue;
        const QString path = cacheFolder.absoluteFilePath(side);
        const QFileInfo info(path);
        if (info.isFile() || info.isSymLink())
            out.append(path);
    }
    return out;
}
