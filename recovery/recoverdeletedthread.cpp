#include "recovery/recoverdeletedthread.h"

#include "recovery/messagescans.h"
#include "store/ios5messagedb.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/messagerecycledb.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <stdexcept>

namespace {

qint64 rowCount(MessageRecycleDb &recycle, const char *table)
{
    Sqlite3Cursor c = recycle.queryThrow(
            Sqlite3Sql(QStringLiteral("select count(*) from %1").arg(QLatin1String(table))));
    return c.moveNext() ? c.getInt64(0) : 0;
}

void rollBack(MessageRecycleDb &recycle) noexcept
{
    try {
        recycle.endTransaction(false);
    } catch (...) {
        // The connection discards an unfinished transaction when it closes.
    }
}

} // namespace

MessageRecycleDb *recycleStoreOf(AbsIOSMessageDb *db)
{
    if (auto *six = dynamic_cast<IOS6MessageDb *>(db))
        return &six->recycleStore();
    if (auto *five = dynamic_cast<IOS5MessageDb *>(db))
        return &five->recycleStore();
    return nullptr;
}

RecoverDeletedThread::RecoverDeletedThread(QSharedPointer<AbsIOSMessageDb> db, ProgressForm *form,
                                           QObject *parent)
    : QThread(parent)
    , m_db(std::move(db))
    , m_form(form)
{ }

RecoverDeletedThread::~RecoverDeletedThread() = default;

void RecoverDeletedThread::run()
{
    m_messages = m_handles = 0;
    m_form->postUpdateProgress(ids("IDS_RECOVERING_DELETED_MESSAGES"), 0, QString());
    auto *six = dynamic_cast<IOS6MessageDb *>(m_db.data());
    auto *five = dynamic_cast<IOS5MessageDb *>(m_db.data());
    MessageRecycleDb *recycle = recycleStoreOf(m_db.data());
    if (!recycle) {
        m_form->postErrorOccurred(ids("IDS_RECOVER_NOT_SUPPORTED"));
        return;
    }
    try {
        recycle->beginTransaction();
        const qint64 messagesBefore = rowCount(*recycle, "message");
        const qint64 handlesBefore = rowCount(*recycle, "handle");
        if (six) {
            // The live conversations, read here: the source node's own set
            // may go with its node while the job runs.
            MsgDataSet live;
            live.reset();
            six->chatsWithoutDates(live);
            scanDeletedHandles(*six, m_form);
            if (betweenScansHook)
                betweenScansHook();
            if (!m_form->failed)
                scanDeletedMessages(*six, live.data()->chats.values(), m_form);
        } else {
            if (betweenScansHook)
                betweenScansHook();
            scanDeletedMessages(*five, m_form);
        }
        // The commit: a Cancel that came first keeps nothing of this run,
        // one that comes later is refused.
        if (!m_form->beginCommit()) {
            rollBack(*recycle);
            return;
        }
        const qint64 messages = rowCount(*recycle, "message") - messagesBefore;
        const qint64 handles = rowCount(*recycle, "handle") - handlesBefore;
        recycle->endTransaction(true);
        m_messages = int(messages);
        m_handles = int(handles);
    } catch (const std::exception &e) {
        rollBack(*recycle);
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    m_form->postSucceed(QString());
}
