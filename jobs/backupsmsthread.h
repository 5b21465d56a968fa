#pragma once

#include "store/exportmessagesdb.h"
#include "store/msgdataset.h"

#include <QDir>
#include <QString>
#include <QThread>

#include <functional>

class ProgressForm;

// Copies a list of messages into one local message database under a progress
// dialog. The copy is one transaction: a run that fails or is cancelled keeps
// nothing (no row, no attachment file, and no database when the job created
// it). Messages the database holds already are counted but not stored again.
class BackupSMSThread : public QThread
{
    Q_OBJECT
public:
    // folder: the local database's store folder (created with the database
    // when missing); mcc: the mobile country code of the source, empty for
    // the message commands. The list is copied and sorted oldest first here,
    // in the caller's thread; nothing is opened yet.
    BackupSMSThread(const MsgMessageList &messages, const QDir &folder, const QString &mcc,
                    ProgressForm *form, QObject *parent = nullptr);
    ~BackupSMSThread() override;

    // What the last run stored (valid once the thread has finished).
    ExportMessagesDb::Counts counts() const { return m_counts; }

    // Called on the job's thread after each message was handed to the
    // writer, with the number handed so far. For tests that act at a known
    // point of the run.
    std::function<void(int)> itemHook;

protected:
    void run() override;

private:
    MsgMessageList m_messages;
    ProgressForm *m_form;
    ExportMessagesDb m_writer;
    QDir m_folder;
    ExportMessagesDb::Counts m_counts;
};
