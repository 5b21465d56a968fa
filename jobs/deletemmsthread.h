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
// the database still names.
class DeleteMMSThread : public QThread
{
    Q_OBJECT
public:
    // All three are borrowed: the caller keeps them alive and unchanged until
    // the thread has finished. dbFolder is the database's store folder.
    DeleteMMSThread(QDir *dbFolder, MsgMessageList *messages, ProgressForm *form,
                    QObject *parent = nullptr);
    ~DeleteMMSThread() override;

    // Attachment files removed by the last run.
    int filesRemoved() const { return m_filesRemoved; }

    // Called on the job's thread after each message was deleted (before the
    // commit), with the number deleted so far. For tests that act at a known
    // point of the run.
    std::function<void(int)> itemHook;

protected:
    void run() override;

private:
    void removeAttachmentFiles(IOS6MessageDb &db);

    QDir *m_dbFolder;
    MsgMessageList *m_messages;
    ProgressForm *m_form;
    int m_filesRemoved = 0;
};
