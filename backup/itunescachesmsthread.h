#pragma once

#include "backup/cachemanifestdb.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QStringList>
#include <QThread>

class BackupFileNode;
class BackupManifest;
class ProgressForm;

// Makes a store folder out of an iPhone backup: copies (and, in an unlocked
// encrypted backup, decrypts) the backup's "Library/SMS" and
// "Library/AddressBook" into "file-relay/var/mobile/Library" below the cache
// folder, where the message store opens them. The cache folder's
// "manifest.db" remembers the modification time, size and digest of every
// file's record when it was copied, and whether the copy was decrypted, so a
// later run copies only the files whose record changed in any of these (or
// whose cached copy is gone or of another size).
//
// A run is all or nothing: changed files are first written into a staging
// folder inside the cache folder and moved into place, and their rows
// recorded in one transaction, only once every one of them is complete. The
// moves are recorded first (SwapJournal): a run killed among them is
// finished by the next one, whose rows then match again. A
// run that fails or is cancelled leaves the previous cache as it was (a cache
// folder that the run itself created is removed again). Names from the
// backup never leave the cache folder: names that could climb out are
// skipped, and a link or a non-folder in the way fails the run.
//
// Built on the caller's stack with a ProgressForm and run with
// ProgressForm::runJob; the manifest must not change while it runs.
class ITunesCacheSMSThread : public QThread
{
public:
    // The cache folder is the data folder's "itunes_cache/" followed by
    // backupCacheKey of the manifest.
    ITunesCacheSMSThread(BackupManifest *manifest, ProgressForm *form, QObject *parent = nullptr);
    // A cache folder of the caller's choice (a phone's own store folder).
    ITunesCacheSMSThread(BackupManifest *manifest, const QDir &cacheFolder, ProgressForm *form,
                         QObject *parent = nullptr);
    ~ITunesCacheSMSThread() override;

    // The cache folder; the message database is its
    // "file-relay/var/mobile/Library/SMS/sms.db".
    QDir cacheDir() const { return cacheFolder; }
    // Paths, relative to the cache folder, of the files the last successful
    // run copied.
    const QStringList &copiedFiles() const { return m_copied; }

    // Stages the changed files of one node (recursively for a folder) that
    // belong in targetFolder, a folder inside the cache folder; run() moves
    // them into place. Throws the integer -1 when the user cancelled and
    // std::runtime_error when a file cannot be extracted.
    void cacheNode(const BackupFileNode *node, const QDir &targetFolder);

    BackupManifest *manifest;
    ProgressForm *form;
    QDir cacheFolder;
    CacheManifestDb cacheDb;

protected:
    void run() override;

private:
    struct Staged
    {
        QString relativePath; // below the cache folder
        QString stagedPath; // empty for a folder
        QString fileId;
        CachedFile cached;
        const BackupFileNode *node = nullptr;
    };

    void cacheNodeAt(const BackupFileNode *node, const QString &relativeFolder);
    void commitStaged();
    QStringList staleSideFiles(const Staged &file) const;
    bool cancelled() const;

    QString m_stagingPath;
    QList<Staged> m_staged;
    QStringList m_copied;
    int m_stageCounter = 0;
};

// The data folder's "cache" (not created).
QDir cacheFolder();
// The data folder's "itunes_cache" (not created).
QDir itunesCacheFolder();

// Makes the folder relativePath (a "/"-separated path) below root, creating
// what is missing, and returns its absolute path. Throws std::runtime_error
// when a component is unsafe (empty, "." or "..", with a backslash) or the
// place of a component is taken by a symbolic link or by something other
// than a folder: nothing below root ever leads outside it.
QString makeFolderInside(const QDir &root, const QString &relativePath);
