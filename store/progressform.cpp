#include "store/progressform.h"

#include "store/messagebox.h"
#include "store/stylesheet.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

ProgressForm::ProgressForm(const QString &title, QWidget *parent)
    : QDialog(parent)
    , m_movable(this)
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("ProgressForm"));
    resize(350, 122);

    lbStatus = new QLabel(this);
    lbStatus->setObjectName(QStringLiteral("lbStatus"));
    lbStatus->setGeometry(20, 20, 311, 16);
    // Status and progress texts name databases, files and folders: shown as
    // the text they are, never as markup.
    lbStatus->setTextFormat(Qt::PlainText);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setGeometry(20, 40, 321, 23);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    progressBar->setOrientation(Qt::Horizontal);
    progressBar->setTextDirection(QProgressBar::TopToBottom);

    lbProgress = new QLabel(this);
    lbProgress->setObjectName(QStringLiteral("lbProgress"));
    lbProgress->setGeometry(25, 70, 281, 20);
    lbProgress->setAlignment(Qt::AlignCenter);
    lbProgress->setTextFormat(Qt::PlainText);

    btnCancel = new QPushButton(this);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    btnCancel->setGeometry(130, 90, 75, 23);
    btnCancel->setText(ids("IDS_PROGRESS_CANCEL"));
    // Enter must not press it: only a deliberate press cancels the job.
    btnCancel->setAutoDefault(false);
    btnCancel->setDefault(false);

    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(appStyleSheet());

    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    // The job is cancelled on press, not on release.
    connect(btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);

    setWindowTitle(title);
    lbStatus->setText(title);
}

ProgressForm::~ProgressForm() = default;

void ProgressForm::postUpdateProgress(const QString &status, int value, const QString &text)
{
    watchCallingThread();
    QMetaObject::invokeMethod(this, "updateProgress", Qt::AutoConnection, Q_ARG(QString, status),
                              Q_ARG(int, value), Q_ARG(QString, text));
}

void ProgressForm::postErrorOccurred(const QString &text)
{
    watchCallingThread();
    QMetaObject::invokeMethod(this, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::postSucceed(const QString &text)
{
    watchCallingThread();
    QMetaObject::invokeMethod(this, "succeed", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::postTipsWait(const QString &text)
{
    watchCallingThread();
    waiting = true;
    QMetaObject::invokeMethod(this, "tipsWait", Qt::AutoConnection, Q_ARG(QString, text));
}

bool ProgressForm::waitTips(const QString &text)
{
    postTipsWait(text);
    // Once the job is cancelled or the dialog has ended the tip will never
    // be shown, so waiting on would never end.
    while (waiting && !failed && !m_ended)
        QThread::msleep(200);
    return !waiting && !failed && !m_ended;
}

void ProgressForm::watchCallingThread()
{
    QThread *current = QThread::currentThread();
    if (current == thread())
        return;
    QThread *none = nullptr;
    if (m_autoWatched.compare_exchange_strong(none, current)) {
        m_watching = true;
        connect(current, &QThread::finished, this, &ProgressForm::onWorkerFinished,
                Qt::QueuedConnection);
    }
}

void ProgressForm::watchWorker(QThread *worker)
{
    m_watching = true;
    connect(worker, &QThread::finished, this, &ProgressForm::onWorkerFinished,
            Qt::QueuedConnection);
    if (worker->isFinished())
        QMetaObject::invokeMethod(this, &ProgressForm::onWorkerFinished, Qt::QueuedConnection);
}

bool ProgressForm::runJob(QThread *worker)
{
    watchWorker(worker);
    worker->start(QThread::InheritPriority);
    const int result = exec();
    // The dialog ends only once the worker has ended (its finished signal
    // is queued to us after run returned): this wait is for the thread's
    // last instructions, not for the job.
    worker->wait();
    return result == QDialog::Accepted && !failed;
}

bool ProgressForm::beginCommit()
{
    killPoint("commit-asked");
    Phase expected = Phase::Running;
    if (!m_phase.compare_exchange_strong(expected, Phase::Committing))
        return expected == Phase::Committing && !failed;
    // An error reported before: the job has failed already.
    if (failed)
        return false;
    if (QThread::currentThread() == thread())
        showCommitting();
    else
        QMetaObject::invokeMethod(this, &ProgressForm::showCommitting, Qt::QueuedConnection);
    killPoint("commit-begun");
    return true;
}

void ProgressForm::showCommitting()
{
    if (m_ended || m_finalReport)
        return;
    btnCancel->setText(ids("IDS_PROGRESS_FINISHING"));
    btnCancel->setEnabled(false);
}

void ProgressForm::endWhenWorkerDone(int result)
{
    if (!m_watching || m_workerDone) {
        done(result);
        return;
    }
    m_pendingResult = result;
}

void ProgressForm::setCancelEnabled(bool enabled)
{
    btnCancel->setEnabled(enabled);
}

void ProgressForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // Ended before it was shown (a report or the worker's end delivered
    // before exec): end again once exec's loop runs.
    if (m_ended) {
        const int result = failed ? QDialog::Rejected : QDialog::Accepted;
        QMetaObject::invokeMethod(
                this, [this, result] { done(result); }, Qt::QueuedConnection);
    }
}

void ProgressForm::updateProgress(QString status, int value, QString text)
{
    if (!status.isEmpty())
        lbStatus->setText(status);
    if (value < 0)
        value = progressBar->value();
    progressBar->setValue(value);
    // What the dialog waits for after an accepted Cancel stays in view.
    if (m_phase == Phase::Cancelling)
        return;
    if (text.isEmpty())
        text = ids("IDS_PROGRESS_%1").arg(value);
    lbProgress->setText(text);
}

void ProgressForm::errorOccurred(QString text)
{
    if (m_ended || m_finalReport) {
        qWarning("ProgressForm: error reported after the end: %s", qUtf8Printable(text));
        return;
    }
    m_finalReport = true;
    failed = true;
    // After an accepted Cancel the job has not succeeded either way, and a
    // Cancel is not answered with an error box.
    if (m_phase.exchange(Phase::Committing) == Phase::Cancelling)
        qWarning("ProgressForm: error reported after Cancel: %s", qUtf8Printable(text));
    else
        showError(text);
    btnCancel->setEnabled(false);
    endWhenWorkerDone(QDialog::Rejected);
}

void ProgressForm::succeed(QString text)
{
    if (m_ended || m_finalReport)
        return;
    m_finalReport = true;
    // A success that comes after an accepted Cancel: the job passed its
    // last check before the Cancel and did its work; that is what counts.
    if (m_phase.exchange(Phase::Committing) == Phase::Cancelling)
        failed = false;
    btnCancel->setEnabled(false);
    if (!text.isEmpty())
        showInfo(text);
    endWhenWorkerDone(QDialog::Accepted);
}

void ProgressForm::onFinish(int result)
{
    failed = result == QDialog::Rejected;
    m_ended = true;
}

void ProgressForm::tipsWait(QString text)
{
    if (!m_ended && !failed)
        showInfo(text);
    waiting = false;
}

void ProgressForm::cancel()
{
    if (m_ended || m_finalReport)
        return;
    // Refused once the job has passed its point of no return.
    Phase expected = Phase::Running;
    if (!m_phase.compare_exchange_strong(expected, Phase::Cancelling))
        return;
    failed = true;
    m_cancelPressed = true;
    emit userCacel();
    // The dialog stays and paints while the worker winds down; it ends when
    // the worker has ended.
    btnCancel->setEnabled(false);
    lbProgress->setText(ids("IDS_PROGRESS_CANCELLING"));
    endWhenWorkerDone(QDialog::Rejected);
}

void ProgressForm::onWorkerFinished()
{
    m_workerDone = true;
    if (m_ended)
        return;
    if (m_pendingResult >= 0) {
        done(m_pendingResult);
        return;
    }
    // The final report's box is still open: closing it ends the dialog.
    if (m_finalReport)
        return;
    qWarning("ProgressForm: the job ended without a final report");
    done(QDialog::Rejected);
}
