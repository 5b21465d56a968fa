#pragma once

#include "store/sqlite3db.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What the cache remembers of one backup file it copied: the modification
// time, size and digest its record had then (size -1 and an empty digest
// when unknown), and whether the copy was decrypted.
struct CachedFile
{
    qint64 date = 0;
    qint64 size = -1;
    QByteArray digest;
    bool decrypted = false;
};

// The small database "manifest.db" of a backup cache folder: for every
// backup file copied into the cache, its file id and what its record said
// when it was copied (see CachedFile). Opened on first use; the table of a
// cache made before size, digest and decrypted were kept gains those
// columns, empty, so that its files are copied once more.
//
// Lookups run outside any transaction. Changes made between begin() and
// commit() land together or not at all: rollback(), close() and the
// destructor drop them, so a run that fails never records files it did not
// finish copying.
class CacheManifestDb
{
public:
    explicit CacheManifestDb(const QString &path);
    ~CacheManifestDb();
    CacheManifestDb(const CacheManifestDb &) = delete;
    CacheManifestDb &operator=(const CacheManifestDb &) = delete;

    // Opens the file, creating it from ":/res/cache_db.sql" when missing. A
    // file that is no usable cache database (damaged, or without the
    // manifest table) is replaced by a new empty one: the cache then only
    // copies everything again. Throws std::runtime_error when no database
    // can be had at all.
    void open();
    // Creates the file anew from the script; throws std::runtime_error.
    void create();

    // last_date of the file id; found (when given) tells whether there is a
    // row at all, since 0 is a valid time. Failures give 0, not found.
    qint64 getCachedDate(const QString &fileId, bool *found = nullptr);
    // Inserts or updates the row with the date alone (size, digest and
    // decrypted unknown). Throws std::runtime_error.
    void setCachedDate(const QString &fileId, qint64 date);
    // The whole row of the file id; nothing when there is none or it cannot
    // be read.
    std::optional<CachedFile> cachedFile(const QString &fileId);
    // Inserts or updates the whole row. Throws std::runtime_error.
    void setCachedFile(const QString &fileId, const CachedFile &file);
    // Deletes the row; failures are ignored.
    void removeCachedEntry(const QString &fileId);

    // One transaction around a batch of setCachedDate calls. Throw
    // std::runtime_error; rollback never throws.
    void begin();
    void commit();
    void rollback();
    // Closes the connection, dropping uncommitted changes.
    void close();

    QString path;
    Sqlite3DB db;

private:
    // Adds the columns that an older cache's table lacks.
    void upgrade();
};
