#pragma once

#include "store/msgdataset.h"

#include <QDir>
#include <QThread>

#include <functional>

class IOS6MessageDb;
class ProgressForm;

// Deletes a list of messages from the local message database they were read
// from, under a progress dialog. The deletion is one transaction: a run that
// fails or is cancelled rolls back and removes no file. Only after the commit
// are the attachment files of the deleted messages removed, and of those only
// the files below the store's attachment folder that no attachment left in
// the database still names. They are recorded in the store folder before the
// commit, so that a run killed in between has them removed by the next.
class DeleteMMSThread : public QThread
{
    Q_OBJECT
public:
    // All three are borrowed: the caller keeps them alive and unchanged until
    // the thread has finished. dbFolder is the database's store folder.
    DeleteMMSThread(QDir *dbFolder, MsgMessageList *messages, ProgressForm *form,
                    QObject *parent = nullptr);
    ~DeleteMMSThread() override;

    // A run killed between the commits of sms.db and recycle.db left a
    // record of the salvaged messages it deleted: they go now when sms.db's
    // part was committed (see IOS6MessageDb::finishRecycleDeletion). A run
    // killed after its commit left a record of the files it was about to
    // remove: those that no attachment row names go now. Done at the start
    // of every run.
    static void finishInterruptedDeletion(const QDir &dbFolder);

    // Attachment files removed by the last run.
    int filesRemoved() const { return m_filesRemoved; }

    // Called on the job's thread after each message was deleted (before the
    // commit), with the number deleted so far. For tests that act at a known
    // point of the run.
    std::function<void(int)> itemHook;

protected:
    void run() override;

private:
    QStringList attachmentFilesToRemove(IOS6MessageDb &db);

    QDir *m_dbFolder;
    MsgMessageList *m_messages;
    ProgressForm *m_form;
    int m_filesRemoved = 0;
};
