#pragma once

#include "store/absdb.h"

#include <QSharedPointer>
#include <QThread>

#include <functional>

class MessageRecycleDb;
class ProgressForm;

// The recycle store of a message database that can be scanned (iOS 5 or
// iOS 6 sms.db), or null.
MessageRecycleDb *recycleStoreOf(AbsIOSMessageDb *db);

// Salvages the deleted rows of a message database into its recycle.db under
// a progress dialog: for an iOS 6 database the handles, then the messages
// (filed by the live conversations, read afresh on the job's thread); for an
// iOS 5 database the messages. Both scans run in one recycle.db transaction:
// committed when they end, rolled back when they fail or the user cancels,
// so that a cancelled command leaves recycle.db as it was. The database file
// that is read is never written.
//
// On success the dialog ends without a box of its own; the caller reloads
// the source and tells the counts.
class RecoverDeletedThread : public QThread
{
    Q_OBJECT
public:
    // The job shares the database, so that it outlives a source node that
    // goes while the job runs; the form is borrowed.
    RecoverDeletedThread(QSharedPointer<AbsIOSMessageDb> db, ProgressForm *form,
                         QObject *parent = nullptr);
    ~RecoverDeletedThread() override;

    // Rows the last run added to recycle.db (0 unless it succeeded).
    int messagesRecovered() const { return m_messages; }
    int handlesRecovered() const { return m_handles; }

    // Called on the job's thread between the handle scan and the message
    // scan (iOS 6), or before the message scan (iOS 5). For tests that act
    // at a known point of the run.
    std::function<void()> betweenScansHook;

protected:
    void run() override;

private:
    QSharedPointer<AbsIOSMessageDb> m_db;
    ProgressForm *m_form;
    int m_messages = 0;
    int m_handles = 0;
};
