#pragma once

#include "store/sqlite3db.h"

#include <QString>

// The small database "manifest.db" of a backup cache folder: for every
// backup file copied into the cache, its file id and the modification time
// its record had when it was copied. Opened on first use.
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
    // Inserts or updates the row. Throws std::runtime_error.
    void setCachedDate(const QString &fileId, qint64 date);
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
};
