#pragma once

#include <QDialog>
#include <QPointer>

#include <atomic>

#include "store/progresspacer.h"
#include "store/winmovable.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QThread;

// The progress dialog every long job runs under. The job works on a worker
// thread and reports only through the post* members below (callable from any
// thread): progress while it works, then exactly one final report, success
// or error. The dialog runs modally in the GUI thread; Enter, Escape and
// close requests never end it, only the final report or Cancel.
//
// The starting action:
//     ProgressForm form(ids("IDS_..."), this);
//     MyJob job(..., &form);
//     if (form.runJob(&job)) { ... succeeded ... }
// runJob starts the worker, runs the dialog, waits for the worker and tells
// whether the job succeeded (dialog accepted, no failure recorded).
//
// The worker reads `failed` between steps and stops at once, posting nothing
// more, when it turns true (the user cancelled, or an error was reported).
class ProgressForm : public QDialog
{
    Q_OBJECT
public:
    ProgressForm(const QString &title, QWidget *parent = nullptr);
    ~ProgressForm() override;

    // Set when the dialog finished with result 0 (cancelled or failed).
    std::atomic_bool failed {false};
    // Set while a worker waits for the user to close a tip box.
    std::atomic_bool waiting {false};

    // From any thread: queued to the dialog from a worker, run at once from
    // the GUI thread.
    void postUpdateProgress(const QString &status, int value, const QString &text);
    void postErrorOccurred(const QString &text);
    void postSucceed(const QString &text);
    void postTipsWait(const QString &text);

    // Worker side: shows the tip and waits, polling every 200 ms, until the
    // user has closed it. Returns false at once when the dialog has ended
    // (then nobody will show the tip); true when the user read it.
    bool waitTips(const QString &text);

    // GUI thread: lets the dialog end as failed when the worker ends without
    // a final report, so that it never stays open for ever. A worker that
    // posts anything from its own thread is watched without this call.
    void watchWorker(QThread *worker);

    // GUI thread: the whole run of one job under this dialog: watch, start
    // with inherited priority, exec, wait. True when the job succeeded.
    bool runJob(QThread *worker);

    // Whether the dialog has ended (any result).
    bool hasEnded() const { return m_ended; }

    void setCancelEnabled(bool enabled);

    void accept() override { }
    void reject() override { }

signals:
    // Emitted by Cancel before the dialog ends.
    void userCacel();

protected:
    void showEvent(QShowEvent *event) override;

private slots:
    void updateProgress(QString status, int value, QString text);
    void errorOccurred(QString text);
    void succeed(QString text);
    void onFinish(int result);
    void tipsWait(QString text);
    void cancel();
    void onWorkerFinished();

private:
    WinMovable m_movable;
    QLabel *lbStatus;
    QProgressBar *progressBar;
    QLabel *lbProgress;
    QPushButton *btnCancel;

    void watchCallingThread();

    // The worker thread seen posting first, watched like watchWorker.
    std::atomic<QThread *> m_autoWatched {nullptr};
    std::atomic_bool m_ended {false};
    // A final report (success or error) has reached the dialog.
    bool m_finalReport = false;
};
