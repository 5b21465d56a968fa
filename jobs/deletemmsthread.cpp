#include "jobs/deletemmsthread.h"

#include "store/ios6messagedb.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

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

void DeleteMMSThread::run()
{
    m_filesRemoved = 0;
    m_form->postUpdateProgress(ids("IDS_DELETING_MMS"), 0, QString());
    IOS6MessageDb db(*m_dbFolder, QString(), false);
    const int total = int(m_messages->size());
    int count = 0;
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
        for (const _MsgMessage *m : std::as_const(*m_messages)) {
            if (m_form->failed)
                throw kCancelled;
            ++count;
            m_form->postUpdateProgress(QString(), int(double(count) / total * 100.0),
                                       ids("SMS: %1/%2").arg(count).arg(total));
            db.deleteMessage(m);
            if (itemHook)
                itemHook(count);
        }
        // The dialog has ended as cancelled: the user is told nothing was
        // deleted, so nothing is.
        if (m_form->failed)
            throw kCancelled;
        db.endTransaction(true);
        if (salvaged)
            db.recycleStore().endTransaction(true);
    } catch (int) {
        rollBack(db);
        return;
    } catch (const std::exception &e) {
        rollBack(db);
        m_form->postErrorOccurred(QString::fromUtf8(e.what()));
        return;
    }
    removeAttachmentFiles(db);
    m_form->postSucceed(ids("IDS_SUC_DELETE_%1_MESSAGES").arg(total));
}

// The files of the deleted messages' attachments go, but a file goes only
// when it lies below the store's attachment folder (a hostile name may point
// at the database or elsewhere) and no attachment row left in the database
// names it (an attachment row may be shared with a message that stays).
void DeleteMMSThread::removeAttachmentFiles(IOS6MessageDb &db)
{
    const QString relay = db.fileRelayDir().absolutePath();
    const QString attachmentsRoot
            = QDir::cleanPath(relay + QLatin1String("/var/mobile/Library/SMS/Attachments"));
    const QString realRoot = QFileInfo(attachmentsRoot).canonicalFilePath();
    if (realRoot.isEmpty())
        return; // no attachment folder: nothing of ours to remove
    QSet<QString> stillNamed;
    try {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql("select filename from attachment"));
        while (c.moveNext())
            stillNamed.insert(IOS6MessageDb::attachmentLocalPath(db.fileRelayDir(), c.getText(0)));
    } catch (const std::exception &e) {
        // Without knowing what stays named, no file is safe to remove.
        qWarning("DeleteMMSThread: attachment files kept: %s", e.what());
        db.close();
        return;
    }
    db.close();

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
            if (!QFile::remove(path))
                continue;
            ++m_filesRemoved;
            // Folders the file leaves empty go too, up to the attachment folder.
            for (QString f = QFileInfo(real).path();
                 f.size() > realRoot.size() && f.startsWith(realRoot + QLatin1Char('/'));
                 f = QFileInfo(f).path()) {
                if (!QDir().rmdir(f))
                    break;
            }
        }
    }
}
