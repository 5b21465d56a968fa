#pragma once

#include "store/msgdataset.h"
#include "store/sqlite3db.h"

#include <QDir>
#include <QString>
#include <QThread>

#include <functional>

class IOS6MessageDb;
class ProgressForm;

// One item of the merged message table: a row of the phone's database or a
// new message, placed by restoreMergeLess.
struct RestoreMergeItem
{
    qint64 key = 0; // the phone row's rowid, or the new message's order key
    qint32 date = 0; // iOS seconds
    Sqlite3Row row; // a phone row
    const _MsgMessage *message = nullptr; // a new message
    bool phoneRow = false;
};

// Items whose keys lie at most 20 apart and whose dates lie at most 120
// seconds apart keep their key order, all others go by date; on a tie a
// phone row goes first, and items of one kind keep their key order.
bool restoreMergeLess(const RestoreMergeItem &a, const RestoreMergeItem &b);

// Sorts with restoreMergeLess by a merge sort that stays inside the list
// whatever the comparison answers (the order is not transitive) and keeps
// items it does not separate in list order.
void sortRestoreMergeItems(QList<RestoreMergeItem> &items);

// Whether the merge can file a message of this conversation on the phone:
// not for the conversations of recovered messages of unknown number, nor for
// any without an identifier or a correspondent. Messages of other
// conversations are skipped and counted.
bool restoreMergeHasContactNumber(const _MsgChat *chat);

// Merges a list of messages into the message database of an iPhone backup
// folder, so that restoring the backup puts them on the phone.
//
// The cached database is the store folder's copy of the backup's sms.db. The
// job copies it to a working file beside it, refills the working copy with
// every row of the phone and the new messages interleaved in date order, and
// commits. Only then is the backup folder touched: the merged database, the
// attachment files of the new messages and the new Manifest.mbdb are first
// written under temporary names inside the folder, then swapped in; the
// previous sms.db and Manifest.mbdb stay beside them under their names
// followed by "-" and the time in seconds since 1970. A failure, or a cancel
// before the swap, leaves the backup folder as it was. The staged files are
// flushed to the disk and the swap is recorded (SwapJournal) before the
// first rename, so that a run killed halfway through is finished or undone
// by the next merge, cache or opening of the backup.
//
// Cancel works until the swap begins; then the progress form's Cancel button
// is disabled, so that an operation the user sees as cancelled has not
// changed the backup.
class IOS6RestoreMessagesThread : public QThread
{
    Q_OBJECT
public:
    IOS6RestoreMessagesThread(const QString &mcc, const MsgMessageList *messages,
                              IOS6MessageDb *cachedDb, const QDir &backupFolder,
                              ProgressForm *progress, QObject *parent = nullptr);
    ~IOS6RestoreMessagesThread() override;

    // Set when the run starts; read by the caller after success.
    int skippedCount = 0; // messages without a conversation of known number
    int mergedCount = 0; // messages accepted (already present ones included)

    // Called on the job's thread at each stage of the run with the stage's
    // name (see stageNames); a stage observer that throws makes the run fail
    // there. For tests of failure and cancel at every stage.
    using StageObserver = std::function<void(const QString &stage)>;
    void setStageObserver(StageObserver observer) { m_observer = std::move(observer); }
    // Every stage, in the order a successful run passes them. Cancel is
    // honoured up to "staged-manifest"; the stages after it belong to the
    // swap, when Cancel is disabled.
    static QStringList stageNames();

    // After a successful run, when a later step fails (the restore to the
    // phone): puts the backup folder back as the run found it. The files the
    // run replaced come back from the copies it kept aside, the files it
    // added go, all in one swap recorded like the run's own (SwapJournal):
    // a revert killed halfway is finished or undone by the next opening of
    // the backup. Returns the paths that could not be put back: empty when
    // the folder is as it was, else every path the run changed, the folder
    // being left as the run made it. Does nothing a second time.
    QStringList revertBackupFolder();

protected:
    void run() override;

private:
    friend class RestoreMergeRun;

    QString m_mcc;
    const MsgMessageList *m_messages;
    IOS6MessageDb *m_cachedDb;
    QDir m_backupFolder;
    ProgressForm *m_progress;
    StageObserver m_observer;

    // What a successful run changed in the backup folder, newest first:
    // a file replaced (aside: its previous contents) or added (aside empty).
    struct Change
    {
        QString path;
        QString aside;
    };
    QList<Change> m_changes;
};
