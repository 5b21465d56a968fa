#include "jobs/deletemmsthread.h"

#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <optional>

#include <stdexcept>

namespace {
// Thrown inside run when the dialog has ended; run catches it.
constexpr int kCancelled = 1;

void rollBack(IOS6MessageDb &db) noexcept
{
    for (AbsDb *d : {static_cast<AbsDb *>(&db), static_cast<AbsDb *>(&db.recycleStore())}) {
        try {
            d->endTransaction(false);
        } catch (...) {
            // Closing discards the transaction all the same.
        }
        d->close();
    }
}
} // namespace

DeleteMMSThread::DeleteMMSThread(QDir *dbFolder, MsgMessageList *messages, ProgressForm *form,
                                 QObject *parent)
    : QThread(parent)
    , m_dbFolder(dbFolder)
    , m_messages(messages)
    , m_form(form)
{ }

DeleteMMSThread::~DeleteMMSThread() = default;

namespace {

const QString kRecordName = QStringLiteral(".delete-journal");

QString attachmentsRootOf(const IOS6MessageDb &db)
{
    return QDir::cleanPath(db.fileRelayDir().absolutePath()
                           + QLatin1String("/var/mobile/Library/SMS/Attachments"));
}

// The files that attachment rows of the database name.
QSet<QString> namedFiles(IOS6MessageDb &db)
{
    QSet<QString> named;
    Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select filename from attachment"));
    while (c.moveNext())
        named.insert(IOS6MessageDb::attachmentLocalPath(db.fileRelayDir(), c.getText(0)));
    return named;
}

// Folders the file left empty go too, up to the attachment folder.
void removeEmptyFolders(const QString &file, const QString &realRoot)
{
    for (QString f = QFileInfo(file).path();
         f.size() > realRoot.size() && f.startsWith(realRoot + QLatin1Char('/'));
         f = QFileInfo(f).path()) {
        if (!QDir().rmdir(f))
            break;
    }
}

} // namespace

void DeleteMMSThread::finishInterruptedDeletion(const QDir &dbFolder)
{
    IOS6MessageDb db(dbFolder, QString(), false);
    // Salvaged messages of a run killed between its two commits go first,
    // so that what the files' record finds is the whole deletion or none.
    db.finishRecycleDeletion();
    db.close();
    db.recycleStore().close();
    if (!QFileInfo::exists(SwapJournal::recordPath(dbFolder.absolutePath(), kRecordName)))
        return;
    // The record lists the files of a deletion that may or may not have
    // been committed: a file goes only when no row names it now.
    std::optional<QSet<QString>> named;
    const QString realRoot = QFileInfo(attachmentsRootOf(db)).canonicalFilePath();
    SwapJournal::recover(
            dbFolder.absolutePath(),
            [&](const QString &path) {
                if (!named) {
                    try {
                        if (!QFileInfo(db.smsDbPath()).isFile())
                            return false; // no database to ask: the files stay
                        db.ensureOpen();
                        named = namedFiles(db);
                    } catch (const std::exception &) {
                        named = std::nullopt;
                        return false;
                    }
                }
                const QString real = QFileInfo(path).canonicalFilePath();
                if (named->contains(QDir::cleanPath(path)) || realRoot.isEmpty()
                    || !real.startsWith(realRoot + QLatin1Char('/')))
                    return false;
                return true;
            },
            kRecordName);
    db.close();
}

void DeleteMMSThread::run()
{
    m_filesRemoved = 0;
    m_form->postUpdateProgress(ids("IDS_DELETING_MMS"), 0, QString());
    finishInterruptedDeletion(*m_dbFolder);
    IOS6MessageDb db(*m_dbFolder, QString(), false);
    const int total = int(m_messages->size());
    int count = 0;
    // The files to remove are recorded before the commit, so that a run
    // killed after it has them removed by the next run.
    SwapJournal journal(m_dbFolder->absolutePath(), kRecordName);
    QStringList files;
    bool committed = false; // sms.db's part of the deletion
    try {
        // Opening would create a missing database: there is nothing to
        // delete from, and no empty archive is wanted.
        if (!QFileInfo(db.smsDbPath()).isFile())
            throw std::runtime_error(QStringLiteral("The message database %1 does not exist.")
                                             .arg(QDir::toNativeSeparators(db.smsDbPath()))
                                             .toStdString());
        db.beginTransaction();
        // Salvaged messages go from the store's recycle.db, in a transaction
        // of its own that commits with the database's.
        const bool salvaged = std::any_of(m_messages->cbegin(), m_messages->cend(),
                                          [](const _MsgMessage *m) {
                                              return MessageRecycleDb::recycleRowidOf(*m) > 0;
                                          });
        if (salvaged)
            db.recycleStore().beginTransaction();
        // With salvaged messages, the live rows that go with them (as they
        // are before their deletion) for the record of the two commits.
        QList<qint64> recycleRows;
        QList<IOS6MessageDb::LiveRow> liveRows;
        for (const _MsgMessage *m : std::as_const(*m_messages)) {
            if (m_form->failed)
                throw kCancelled;
            ++count;
            m_form->postUpdateProgress(QString(), int(double(count) / total * 100.0),
                                       ids("SMS: %1/%2").arg(count).arg(total));
            if (salvaged) {
                if (const qint64 r = MessageRecycleDb::recycleRowidOf(*m); r > 0)
                    recycleRows.append(r);
                else if (const std::optional<IOS6MessageDb::LiveRow> live = db.liveRowOf(m))
                    liveRows.append(*live);
            }
            // A salvaged message goes from recycle.db, any other from sms.db.
            db.deleteMessage(m);
            killPoint("deleted-message");
            if (itemHook)
                itemHook(count);
        }
        // From here the deletion goes to its end: a Cancel that came first
        // deletes nothing, one that comes later is refused.
        if (!m_form->beginCommit())
            throw kCancelled;
        files = attachmentFilesToRemove(db);
        for (const QString &f : std::as_const(files))
            journal.remove(f);
        if (!files.isEmpty())
            journal.begin();
        // sms.db commits first, recycle.db next: a run killed in between
        // leaves the record, by which the next use of the store finishes
        // the deletion of the salvaged messages.
        const bool recorded = !recycleRows.isEmpty() && !liveRows.isEmpty();
        if (recorded)
            db.writeRecycleDeletionRecord(recycleRows, liveRows);
        try {
            db.endTransaction(true);
        } catch (...) {
            if (recorded)
                db.dropRecycleDeletionRecord();
            throw;
        }
        committed = true;
        killPoint("database-committed");
        if (salvaged)
            db.recycleStore().endTransaction(true);
        if (recorded)
            db.dropRecycleDeletionRecord();
    } catch (int) {
        journal.rollBack();
        rollBack(db);
        return;
    } catch (const std::exception &e) {
        if (committed) {
            // The live messages are gone: the files follow them, and the
            // salvaged ones are taken by the record at the next use of the
            // store.
            rollBack(db);
            try {
                journal.commit();
            } catch (const std::exception &) {
            }
        } else {
            journal.rollBack();
            rollBack(db);
        }
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    const QString realRoot = QFileInfo(attachmentsRootOf(db)).canonicalFilePath();
    db.close();
    if (!files.isEmpty()) {
        try {
            journal.commit();
        } catch (const std::exception &e) {
            qWarning("DeleteMMSThread: %s", e.what());
        }
        for (const QString &f : std::as_const(files)) {
            if (QFileInfo::exists(f) || QFileInfo(f).isSymLink())
                continue;
            ++m_filesRemoved;
            removeEmptyFolders(f, realRoot);
        }
    }
    m_form->postSucceed(ids("IDS_SUC_DELETE_%1_MESSAGES").arg(total));
}

// The files of the deleted messages' attachments go, but a file goes only
// when it lies below the store's attachment folder (a hostile name may point
// at the database or elsewhere) and no attachment row left in the database
// names it (an attachment row may be shared with a message that stays).
// Read inside the deletion's transaction.
QStringList DeleteMMSThread::attachmentFilesToRemove(IOS6MessageDb &db)
{
    QStringList out;
    const QString realRoot = QFileInfo(attachmentsRootOf(db)).canonicalFilePath();
    if (realRoot.isEmpty())
        return out; // no attachment folder: nothing of ours to remove
    QSet<QString> stillNamed;
    try {
        stillNamed = namedFiles(db);
    } catch (const std::exception &e) {
        // Without knowing what stays named, no file is safe to remove.
        qWarning("DeleteMMSThread: attachment files kept: %s", e.what());
        return out;
    }

    QSet<QString> done;
    for (const _MsgMessage *m : std::as_const(*m_messages)) {
        for (const _MsgAttachment *a : m->attachments) {
            if (!a || a->localPath.isEmpty())
                continue;
            const QString path = QDir::cleanPath(QFileInfo(a->localPath).absoluteFilePath());
            if (done.contains(path) || stillNamed.contains(path))
                continue;
            done.insert(path);
            const QFileInfo info(path);
            if (info.isSymLink() || !info.isFile())
                continue;
            const QString real = info.canonicalFilePath();
            if (!real.startsWith(realRoot + QLatin1Char('/')))
                continue;
            // The store folder's own name for it: the record is kept
            // relative to that folder.
            if (!path.startsWith(QDir::cleanPath(m_dbFolder->absolutePath()) + QLatin1Char('/')))
                continue;
            out.append(path);
        }
    }
    return out;
}
