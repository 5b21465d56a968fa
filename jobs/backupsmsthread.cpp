#include "jobs/backupsmsthread.h"

#include "jobs/newstoreguard.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/texts.h"

namespace {
// Thrown inside run when the dialog has ended; run catches it.
constexpr int kCancelled = 1;
} // namespace

BackupSMSThread::BackupSMSThread(const MsgMessageList &messages, const QDir &folder,
                                 const QString &mcc, ProgressForm *form, QObject *parent)
    : QThread(parent)
    , m_messages(messages)
    , m_form(form)
    , m_writer(folder, mcc)
    , m_folder(folder)
{
    sortMessages(m_messages);
}

BackupSMSThread::~BackupSMSThread() = default;

void BackupSMSThread::run()
{
    const QString status = ids("IDS_BACKING_UP_SMS");
    // Another backup into the same database (another window, another copy
    // of the program) goes first; Cancel still ends the wait.
    NewStoreGuard::Wait wait;
    wait.stop = [this] { return bool(m_form->failed); };
    wait.waiting = [this, &status] {
        m_form->postUpdateProgress(status, 0, ids("Waiting for another backup to finish..."));
    };
    NewStoreGuard guard(m_folder.absolutePath(), m_writer.database().smsDbPath(), wait);
    if (!guard.locked())
        return; // cancelled while waiting: nothing was written
    const int total = int(m_messages.size());
    int count = 0;
    try {
        m_form->postUpdateProgress(status, 0, QString());
        m_writer.begin();
        for (_MsgMessage *m : std::as_const(m_messages)) {
            if (m_form->failed)
                throw kCancelled;
            ++count;
            m_form->postUpdateProgress(status, int(double(count) / total * 100.0),
                                       ids("SMS: %1/%2").arg(count).arg(total));
            m_writer.write(m);
            if (itemHook)
                itemHook(count);
        }
        // The commit: a Cancel that came first keeps nothing, one that comes
        // during it is refused.
        if (!m_form->beginCommit())
            throw kCancelled;
        m_writer.end();
        m_counts = m_writer.counts();
    } catch (int) {
        m_counts = m_writer.counts();
        m_writer.abort();
        guard.undo();
        return;
    } catch (const std::exception &e) {
        m_counts = m_writer.counts();
        m_writer.abort();
        guard.undo();
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    QString text = ids("IDS_SUC_BACKUP_%1_SMS").arg(count);
    if (m_counts.filesNotCopied > 0)
        text += QLatin1String("<br/>")
                + ids("IDS_ATTACHMENTS_NOT_COPIED_%1").arg(m_counts.filesNotCopied);
    m_form->postSucceed(text);
}
