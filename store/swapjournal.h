#pragma once

#include <atomic>

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

class QLockFile;

// An intent record for a change of several files in one folder, so that a
// process killed halfway through leaves something the next run can finish
// or undo.
//
// A job writes every new file under a staged name first, then lists each
// (staged file, file it replaces, name for a kept copy of the old one) here;
// the kept copy is made just before the old file is replaced. begin()
// flushes the staged files to the disk and writes the record (itself under a
// temporary name, flushed and renamed); commit() renames the staged files
// over their targets in the order given, removes the files listed for
// removal and drops the record. recover() on a folder that holds a record
// rolls forward when every staged file is still there (or already in
// place), else rolls back from the kept copies.
//
// Paths are kept relative to the folder; a record naming anything outside
// it is not acted on. While a change runs the folder's record is locked, so
// that recover() from another thread or process leaves it alone.
class SwapJournal
{
public:
    struct Entry
    {
        QString target; // relative to the folder
        QString staged;
        QString aside; // the kept copy of the old file; empty when none
        bool replaces = false; // the target existed before
        bool move = false; // the staged file is a file of the user's, never removed
        qint64 size = -1; // of the staged file
    };
    // Whether a file listed for removal may go (given its absolute path).
    using RemovalFilter = std::function<bool(const QString &path)>;

    // name: the record's file name, for a job whose records need a recovery
    // of their own (see recover); by default ".swap-journal".
    explicit SwapJournal(const QString &folder, const QString &name = QString());
    ~SwapJournal();
    SwapJournal(const SwapJournal &) = delete;
    SwapJournal &operator=(const SwapJournal &) = delete;

    // Paths are absolute (inside the folder) or relative to it.
    void replace(const QString &target, const QString &staged, const QString &aside = QString());
    // A file that is only renamed: undone by renaming it back.
    void move(const QString &from, const QString &to);
    void remove(const QString &path);
    bool isEmpty() const { return m_entries.isEmpty() && m_removals.isEmpty(); }

    // Flushes the staged files and writes the record. Throws
    // std::runtime_error (nothing has changed then).
    void begin();
    // Renames in order, calling afterEach(i) after entry i (a throw from it
    // stops there, leaving the record for rollBack), then drops the record.
    // Throws std::runtime_error.
    void commit(const std::function<void(int)> &afterEach = {});
    // Undoes a begun change: kept copies go back, files new to the folder
    // go, staged files go, the record goes. Returns what could not be put
    // back (relative paths).
    QStringList rollBack();

    enum class Recovery { Nothing, RolledForward, RolledBack, Busy, Failed };
    // Finishes or undoes what a record in the folder describes, and logs it.
    // A filter given keeps the listed removals it refuses.
    static Recovery recover(const QString &folder, const RemovalFilter &mayRemove = {},
                            const QString &name = QString());
    // The record's path in a folder.
    static QString recordPath(const QString &folder, const QString &name = QString());

private:
    QString abs(const QString &rel) const;
    QString rel(const QString &path) const;
    void writeRecord();
    void dropRecord();
    void unlock();

    QString m_folder;
    QString m_name;
    QList<Entry> m_entries;
    QStringList m_removals;
    RemovalFilter m_mayRemove;
    std::unique_ptr<QLockFile> m_lock;
    bool m_begun = false;
};

// Points inside multi-file changes where a test may stop the process. A
// hook set by a test is called with the point's name; without one nothing
// happens.
using KillPointHook = std::function<void(const char *point)>;
void setKillPointHook(KillPointHook hook);
void killPoint(const char *point);

// Copies from to a new file at to (replacing one there), flushed to the
// disk; passes killPoint("copy") after every block. False on any failure,
// leaving no file at to. Only a regular file that is no link is copied.
// With stop given, the copy also ends as failed as soon as *stop turns true
// (read after every block): a long copy does not hold up a job's Cancel.
bool copyFileSynced(const QString &from, const QString &to, QString *error = nullptr,
                    const std::atomic_bool *stop = nullptr);
// Writes bytes into a new file at path, flushed to the disk.
bool writeFileSynced(const QString &path, const QByteArray &bytes, QString *error = nullptr);
// Flushes a file (or a folder's entries) to the disk; false when it cannot.
bool syncPath(const QString &path);
// Gives the file at path a second name: a hard link where the file system
// allows it, else a whole copy, flushed, that takes the name only when
// complete. False on failure, leaving nothing new at to.
bool secondNameOf(const QString &path, const QString &to);
