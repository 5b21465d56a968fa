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
// runJob starts the worker, runs the dialog until the worker has ended and
// tells whether the job succeeded: what the job did, not when the user
// pressed Cancel.
//
// Cancel sets `failed` at once and shows "Cancelling…"; the dialog stays
// open (and painted) until the worker has ended. The worker reads `failed`
// between steps and stops, undoing what it wrote and posting nothing more.
// A job that reaches the point from which it finishes rather than stops (a
// commit, a swap of files, a command the phone has carried out) calls
// beginCommit there: from then on Cancel is refused ("Finishing…"), and a
// Cancel that came first makes beginCommit return false. One decision, taken
// in one place, so that a Cancel just before the point of no return is
// acted on and one just after it is refused; never both, never neither. A
// success posted after an accepted Cancel (a job whose last check came
// before the Cancel) still counts as the success it is.
class ProgressForm : public QDialog
{
    Q_OBJECT
public:
    ProgressForm(const QString &title, QWidget *parent = nullptr);
    ~ProgressForm() override;

    // Set when the user's Cancel was accepted or an error was reported; the
    // worker stops when it sees it. After runJob: the job did not succeed.
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
    // with inherited priority, exec until the worker has ended, wait. True
    // when the job succeeded.
    bool runJob(QThread *worker);

    // Worker side (any thread): the job is about to pass its point of no
    // return. True: Cancel is refused from now on, the job goes to its end
    // (or undoes itself on a failure and reports the error). False: the
    // user cancelled (or an error was reported) first; the job stops as on
    // any Cancel. Calling it again after true returns true.
    bool beginCommit();
    // Whether the user's Cancel was accepted (the job is to stop).
    bool cancelRequested() const { return m_phase == Phase::Cancelling; }
    // GUI thread: whether the user's Cancel was accepted during the run,
    // even when the job finished all the same (a late success). An action
    // that chains jobs runs no further job after it.
    bool cancelPressed() const { return m_cancelPressed; }

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
    void showCommitting();

private:
    WinMovable m_movable;
    QLabel *lbStatus;
    QProgressBar *progressBar;
    QLabel *lbProgress;
    QPushButton *btnCancel;

    void watchCallingThread();
    // Ends the dialog with result once the watched worker has ended (at
    // once when there is none or it has ended already).
    void endWhenWorkerDone(int result);

    // Running: Cancel may still stop the job. Cancelling: the user's Cancel
    // was accepted. Committing: the job passed its point of no return, or
    // its final report has come; Cancel is refused. Moved out of Running
    // only by one compare-and-swap, from the GUI thread (Cancel) or the
    // worker (beginCommit), so exactly one of the two wins.
    enum class Phase { Running, Cancelling, Committing };
    std::atomic<Phase> m_phase {Phase::Running};

    // The worker thread seen posting first, watched like watchWorker.
    std::atomic<QThread *> m_autoWatched {nullptr};
    std::atomic_bool m_ended {false};
    // A final report (success or error) has reached the dialog.
    bool m_finalReport = false;
    // A worker is watched (watchWorker, or seen posting); it has ended.
    std::atomic_bool m_watching {false};
    bool m_workerDone = false;
    bool m_cancelPressed = false;
    // The result to end with once the worker is done (-1: none yet).
    int m_pendingResult = -1;
};
