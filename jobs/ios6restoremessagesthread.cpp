#include "jobs/ios6restoremessagesthread.h"

#include "backup/mbdbrecord.h"
#include "backup/mbdbupdate.h"
#include "store/attachmentfile.h"
#include "store/ios6messagedb.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/plistvalue.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

namespace {

// The stages of a run; the swap begins after kLastCancellableStage.
const char *const kStages[] = {
        "manifest-read",    "working-copy",        "phone-rows-read",    "inserted",
        "committed",        "staged-database",     "staged-attachments", "staged-manifest",
        "swapped-database", "swapped-attachments", "swapped-manifest",
};
enum Stage {
    ManifestRead,
    WorkingCopy,
    PhoneRowsRead,
    Inserted,
    Committed,
    StagedDatabase,
    StagedAttachments,
    StagedManifest,
    SwappedDatabase,
    SwappedAttachments,
    SwappedManifest,
};
constexpr int kLastCancellableStage = StagedManifest;

const QString kHomeDomain = QStringLiteral("HomeDomain");
const QString kMediaDomain = QStringLiteral("MediaDomain");
const QString kSmsDbRelPath = QStringLiteral("Library/SMS/sms.db");
const QString kAttachmentsRoot = QStringLiteral("Library/SMS/Attachments/");
// Conversations of recovered messages whose number is unknown have row ids
// at or below this.
constexpr qint64 kUnknownNumberChat = -2047483647;
// Suffix of the files written into the backup folder before they are
// swapped in.
const QString kStagingSuffix = QStringLiteral(".merging");
// The files a revert puts back, waiting to be swapped in, and the merged
// files they replace until the revert is done.
const QString kRevertSuffix = QStringLiteral(".reverting");
const QString kRevertedSuffix = QStringLiteral(".reverted");

// Unwinds a run that the user cancelled.
struct Cancelled
{
};

[[noreturn]] void fail(const QString &text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

// path, "-" and the time in seconds since 1970; a later second while that
// name is taken.
QString asideName(const QString &path)
{
    qint64 t = QDateTime::currentSecsSinceEpoch();
    QString name;
    do {
        name = path + QLatin1Char('-') + QString::number(t++);
    } while (QFileInfo::exists(name) || QFileInfo(name).isSymLink());
    return name;
}

void removeDatabaseFiles(const QString &path)
{
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(path + QLatin1String(suffix));
}

// A consistent copy of the database at from (write-ahead log included)
// into a new file at to, through SQLite's online backup. The source is
// opened read-only and stays as it is.
bool copyDatabase(const QString &from, const QString &to)
{
    sqlite3 *src = nullptr;
    sqlite3 *dst = nullptr;
    bool ok = false;
    if (QFileInfo(from).isFile()
        && sqlite3_open_v2(from.toUtf8().constData(), &src, SQLITE_OPEN_READONLY, nullptr)
                == SQLITE_OK
        && sqlite3_open_v2(to.toUtf8().constData(), &dst,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr)
                == SQLITE_OK) {
        if (sqlite3_backup *b = sqlite3_backup_init(dst, "main", src, "main")) {
            const int rc = sqlite3_backup_step(b, -1);
            ok = sqlite3_backup_finish(b) == SQLITE_OK && rc == SQLITE_DONE;
        }
    }
    sqlite3_close_v2(src);
    sqlite3_close_v2(dst);
    return ok;
}

QVariant rowValue(const Sqlite3Row &row, const QString &column)
{
    const auto exact = row.constFind(column);
    if (exact != row.constEnd())
        return exact.value();
    for (auto it = row.constBegin(); it != row.constEnd(); ++it)
        if (it.key().compare(column, Qt::CaseInsensitive) == 0)
            return it.value();
    return {};
}

// Sets the column (found regardless of letter case) to value.
void setRowValue(Sqlite3Row &row, const QString &column, const QVariant &value)
{
    for (auto it = row.begin(); it != row.end(); ++it)
        if (it.key().compare(column, Qt::CaseInsensitive) == 0) {
            it.value() = value;
            return;
        }
}

void removeRowColumn(Sqlite3Row &row, const QString &column)
{
    for (auto it = row.begin(); it != row.end();)
        it = it.key().compare(column, Qt::CaseInsensitive) == 0 ? row.erase(it) : std::next(it);
}

qint32 clampToInt32(qint64 v)
{
    return qint32(std::clamp<qint64>(v, std::numeric_limits<qint32>::min(),
                                     std::numeric_limits<qint32>::max()));
}


// The path below the domain's root that an attachment's phone path names:
// from its first "Library/" on; empty when there is none.
QString relativeFromLibrary(const QString &filename)
{
    const qsizetype at = filename.indexOf(QLatin1String("Library/"));
    return at < 0 ? QString() : filename.mid(at);
}

// A relative path that may name an attachment file of the backup: below the
// message attachments' folder, with no way out of it.
bool isAttachmentPath(const QString &rel)
{
    return rel.startsWith(kAttachmentsRoot) && rel.size() > kAttachmentsRoot.size()
            && isSafeBackupPath(rel);
}

// The last component of a file name, cleared of characters no file name on
// either side should hold.
QString safeFileName(const QString &filename, const QString &fallback)
{
    QString name = filename.mid(
            qMax(filename.lastIndexOf(QLatin1Char('/')), filename.lastIndexOf(QLatin1Char('\\')))
            + 1);
    QString clean;
    for (const QChar c : std::as_const(name)) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || QStringView(u"\\/:*?\"<>|").contains(c))
            continue;
        clean += c;
    }
    clean = clean.trimmed().left(128);
    if (clean.isEmpty() || clean.count(QLatin1Char('.')) == clean.size())
        return fallback;
    return clean;
}

} // namespace

// Whether the phone can file a message of this conversation: the
// conversations of recovered messages of unknown number, and any without an
// identifier or a correspondent, would stand on the phone without anyone to
// belong to.
bool restoreMergeHasContactNumber(const _MsgChat *chat)
{
    if (!chat || chat->ROWID <= kUnknownNumberChat)
        return false;
    if (!chat->chat_identifier.trimmed().isEmpty())
        return true;
    for (const _MsgHandle *h : chat->handles)
        if (h && !h->id.trimmed().isEmpty())
            return true;
    return false;
}

// ---------------------------------------------------------------- order

bool restoreMergeLess(const RestoreMergeItem &a, const RestoreMergeItem &b)
{
    const quint64 keyGap
            = a.key > b.key ? quint64(a.key) - quint64(b.key) : quint64(b.key) - quint64(a.key);
    const qint64 d = qint64(a.date) - qint64(b.date);
    auto tie = [&] {
        if (a.phoneRow != b.phoneRow)
            return a.phoneRow;
        return a.key < b.key;
    };
    if (keyGap > 20 || d > 120 || d < -120) {
        if (d != 0)
            return d < 0;
        return tie();
    }
    if (a.key != b.key)
        return a.key < b.key;
    return tie();
}

void sortRestoreMergeItems(QList<RestoreMergeItem> &items)
{
    const qsizetype n = items.size();
    if (n < 2)
        return;
    QList<qsizetype> order(n), merged(n);
    for (qsizetype i = 0; i < n; ++i)
        order[i] = i;
    for (qsizetype width = 1; width < n; width *= 2) {
        for (qsizetype lo = 0; lo < n; lo += 2 * width) {
            const qsizetype mid = qMin(lo + width, n), hi = qMin(lo + 2 * width, n);
            qsizetype i = lo, j = mid, out = lo;
            while (i < mid && j < hi)
                merged[out++] = restoreMergeLess(items[order[j]], items[order[i]]) ? order[j++]
                                                                                   : order[i++];
            while (i < mid)
                merged[out++] = order[i++];
            while (j < hi)
                merged[out++] = order[j++];
        }
        order.swap(merged);
    }
    QList<RestoreMergeItem> sorted;
    sorted.reserve(n);
    for (qsizetype i : std::as_const(order))
        sorted.append(std::move(items[i]));
    items.swap(sorted);
}

// ---------------------------------------------------------------- the run

// The working state of one run, and what it has to undo when the run fails
// or is cancelled.
class RestoreMergeRun
{
public:
    explicit RestoreMergeRun(IOS6RestoreMessagesThread &job)
        : m_job(job)
    { }

    void run();
    // After success: the working file goes.
    void finish();
    // After a failure or a cancel: everything the run did is undone. Returns
    // a text for the error report when the backup could not be put back.
    QString cleanUp();

private:
    struct PlannedFile
    {
        QString source; // the attachment's file on this computer
        QString rel; // below MediaDomain's root
        QString dest; // its file in the backup folder
        QString staged; // the copy waiting to be swapped in
        bool copy = false; // dest does not exist yet
    };

    void stage(Stage s);
    void checkCancel();
    void lockCancel();

    void readBackupManifest();
    void makeWorkingCopy();
    void readPhoneRows();
    void insertRows();
    void insertNewMessage(const _MsgMessage *m);
    void attach(qint64 messageRow, const QString &messageGuid, const _MsgAttachment *a);
    QString planNewAttachment(const _MsgAttachment &a);
    bool claim(const QString &rel, const QString &source);
    QByteArray sha1Of(const QString &path);
    void commitWorking();
    void stageDatabase();
    void stageLogs();
    void stageAttachments();
    void stageManifest();

    QString effectiveGuid(const _MsgMessage &m) const;
    void checkBackupDatabase() const;

    IOS6RestoreMessagesThread &m_job;

    QString m_manifestPath;
    QString m_dbPath;
    QString m_dbId;
    MbdbRecordSet m_records;

    QString m_workingPath;
    std::unique_ptr<IOS6MessageDb> m_working;
    // Size and SHA-1 of the cached sms.db the merge started from.
    qint64 m_startSize = -1;
    QByteArray m_startDigest;

    QList<Sqlite3Row> m_phoneChats, m_phoneHandles, m_phoneChatHandles, m_phoneAttachments;
    QList<RestoreMergeItem> m_items;
    QHash<QString, QList<qint64>> m_attachmentIdsByGuid;
    QHash<QString, QList<qint64>> m_chatIdsByGuid;
    QSet<QString> m_phoneGuids;
    // New messages that the phone holds already, by their guid.
    QList<QPair<const _MsgMessage *, QString>> m_alreadyThere;

    QList<PlannedFile> m_files;
    QHash<QString, qsizetype> m_fileById;
    QHash<QString, QByteArray> m_sha1Cache;

    // Look-ups of the working copy remembered while the rows go in. Rows
    // are only ever added during the insert, so what was found once stays
    // true. The message table holds exactly the rows put in by this run:
    // their guids are all known while every guid put in was text.
    QHash<QString, qint64> m_chatRowByGuid;
    QHash<QPair<QString, QString>, qint64> m_handleRowById;
    QSet<QPair<qint64, qint64>> m_chatHandleJoins;
    QHash<QString, qint64> m_messageRowByGuid;
    bool m_messageGuidsKnown = true;
    qint64 chatRow(const _MsgChat *chat);
    qint64 messageRow(const QString &guid);
    void noteMessageRow(const QVariant &guid, qint64 rowid);

    // A file of the backup that the run replaces: first written beside it,
    // then swapped in, the previous one kept under a time-stamped name.
    struct ReplacedFile
    {
        QString path;
        QString staged;
        QString aside;
    };
    void keepOldFile(ReplacedFile &file);
    void swapAll();

    ReplacedFile m_db;
    QList<ReplacedFile> m_logs; // the database's journal companions
    ReplacedFile m_manifest;
    // Set once the swap's record is written: from then on a kill is
    // finished or undone by the next run.
    std::unique_ptr<SwapJournal> m_journal;
};

void RestoreMergeRun::checkCancel()
{
    if (m_job.m_progress->failed)
        throw Cancelled {};
}

void RestoreMergeRun::stage(Stage s)
{
    if (m_job.m_observer)
        m_job.m_observer(QString::fromLatin1(kStages[s]));
    if (s <= kLastCancellableStage)
        checkCancel();
}

// From here on the run goes to its end or undoes itself: the dialog refuses
// Cancel from now on, so that no cancel can come after the backup begins to
// change. A cancel that came before is honoured.
void RestoreMergeRun::lockCancel()
{
    if (!m_job.m_progress->beginCommit())
        throw Cancelled {};
}

void RestoreMergeRun::run()
{
    readBackupManifest();
    stage(ManifestRead);
    makeWorkingCopy();
    stage(WorkingCopy);
    readPhoneRows();
    stage(PhoneRowsRead);
    insertRows();
    stage(Inserted);
    commitWorking();
    stage(Committed);
    stageDatabase();
    stage(StagedDatabase);
    stageAttachments();
    stage(StagedAttachments);
    stageManifest();
    stage(StagedManifest);

    lockCancel();
    swapAll();
}

void RestoreMergeRun::readBackupManifest()
{
    const QDir &folder = m_job.m_backupFolder;
    // A swap that an earlier run left halfway is finished or undone first.
    const SwapJournal::Recovery recovery = SwapJournal::recover(folder.absolutePath());
    if (recovery == SwapJournal::Recovery::Busy || recovery == SwapJournal::Recovery::Failed)
        fail(QStringLiteral("An unfinished change of %1 could not be completed.")
                     .arg(QDir::toNativeSeparators(folder.absolutePath())));
    // Staged files of a run (or revert) killed before its swap began are of
    // no use.
    for (const QString &name : folder.entryList(
                 {QLatin1Char('*') + kStagingSuffix, QLatin1Char('*') + kRevertSuffix},
                 QDir::Files | QDir::Hidden | QDir::NoSymLinks))
        QFile::remove(folder.absoluteFilePath(name));
    m_manifestPath = folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"));
    m_dbId = backupFileId(kHomeDomain, kSmsDbRelPath);
    m_dbPath = folder.absoluteFilePath(m_dbId);
    if (!QFileInfo(m_manifestPath).isFile())
        fail(QStringLiteral("can not find %1.").arg(m_manifestPath));
    m_records = readMbdb(m_manifestPath);

    // The files of an encrypted backup are encrypted: a plain database put
    // in among them would not survive the restore.
    bool encrypted = mbdbRecordsCarryKeys(m_records);
    QFile plist(folder.absoluteFilePath(QStringLiteral("Manifest.plist")));
    if (!encrypted && plist.open(QIODevice::ReadOnly))
        encrypted = parsePlistBuffer(plist.read(64 << 20))
                            .dictItem(QStringLiteral("IsEncrypted"))
                            .toBool();
    if (encrypted)
        fail(ids("IDS_MERGE_BACKUP_ENCRYPTED"));
}

void RestoreMergeRun::makeWorkingCopy()
{
    IOS6MessageDb *cached = m_job.m_cachedDb;
    cached->close();
    const QString cachedPath = cached->smsDbPath();
    if (QFileInfo(cachedPath).isFile()) {
        m_startSize = QFileInfo(cachedPath).size();
        m_startDigest = fileSha1Digest(cachedPath);
    }
    qint64 t = QDateTime::currentSecsSinceEpoch();
    do {
        m_workingPath = cachedPath + QString::number(t++);
    } while (QFileInfo::exists(m_workingPath) || QFileInfo(m_workingPath).isSymLink());
    if (!copyDatabase(cachedPath, m_workingPath))
        fail(QStringLiteral("copy database to %1 failed.").arg(m_workingPath));
    checkBackupDatabase();
}

// The merged database is the cached copy with the new messages: put in
// place of a backup database that is not that copy, it would drop whatever
// the backup's database holds beyond it (a merge made since the copy was
// cached, say). Checked as the merge starts and again just before the swap.
void RestoreMergeRun::checkBackupDatabase() const
{
    const QFileInfo info(m_dbPath);
    const bool same = !m_startDigest.isEmpty() && info.isFile() && !info.isSymLink()
            && info.size() == m_startSize && fileSha1Digest(m_dbPath) == m_startDigest;
    if (!same)
        fail(ids("IDS_MERGE_BACKUP_DATABASE_CHANGED"));
}

void RestoreMergeRun::readPhoneRows()
{
    m_working = std::make_unique<IOS6MessageDb>(m_job.m_cachedDb->dataDir(), m_job.m_mcc, false);
    m_working->setSmsDbPath(m_workingPath);
    m_working->ensureOpen();
    // The working copy is scratch: what goes into the backup is a copy of
    // it written and synced to the disk when it is complete, and a run that
    // stops before leaves the backup and the cached copy as they were. Its
    // own writes need not wait for the disk.
    m_working->executeThrow(Sqlite3Sql("PRAGMA synchronous=OFF"));

    // The working copy is the phone's database as it is: read what stays,
    // then empty it so that the messages can be numbered afresh in order.
    m_phoneChats = m_working->selectAll(QStringLiteral("chat"));
    m_phoneHandles = m_working->selectAll(QStringLiteral("handle"));
    m_phoneChatHandles = m_working->selectAll(QStringLiteral("chat_handle_join"));
    m_phoneAttachments = m_working->selectAll(QStringLiteral("attachment"));
    {
        Sqlite3Cursor c = m_working->queryThrow(
                Sqlite3Sql("select ma.*, m.guid from message_attachment_join as ma inner join "
                           "message as m on ma.message_id=m.rowid"));
        while (c.moveNext())
            m_attachmentIdsByGuid[c.getText("guid")].append(c.getInt64("attachment_id"));
    }
    {
        Sqlite3Cursor c = m_working->queryThrow(
                Sqlite3Sql("select cm.*, m.guid from chat_message_join as cm inner join message "
                           "as m on cm.message_id=m.rowid"));
        while (c.moveNext())
            m_chatIdsByGuid[c.getText("guid")].append(c.getInt64("chat_id"));
    }
    const QList<Sqlite3Row> messages = m_working->selectAll(QStringLiteral("message"));
    m_items.reserve(messages.size());
    for (const Sqlite3Row &row : messages) {
        RestoreMergeItem item;
        item.key = rowValue(row, QStringLiteral("rowid")).toLongLong();
        item.date = clampToInt32(rowValue(row, QStringLiteral("date")).toLongLong());
        item.row = row;
        item.phoneRow = true;
        m_phoneGuids.insert(rowValue(row, QStringLiteral("guid")).toString());
        m_items.append(std::move(item));
    }

    m_working->beginTransaction();
    for (const char *sql :
         {"delete from attachment", "delete from chat", "delete from handle", "delete from message",
          "delete from message_attachment_join", "delete from chat_message_join",
          "delete from chat_handle_join",
          "update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', "
          "'attachment')"})
        m_working->executeThrow(Sqlite3Sql(sql));
    m_working->endTransaction(true);
    m_working->executeThrow(Sqlite3Sql("vacuum"));
}

QString RestoreMergeRun::effectiveGuid(const _MsgMessage &m) const
{
    // A message must have a guid of its own: an empty one would make every
    // later guid-less message pass for it. Made from the message's contents,
    // so that a second merge finds it again.
    return m.guid.isEmpty() ? md5Guid(logicHash(m).toUtf8()) : m.guid;
}

void RestoreMergeRun::insertRows()
{
    IOS6MessageDb &db = *m_working;
    db.beginTransaction();

    for (Sqlite3Row row : std::as_const(m_phoneChats)) {
        setRowValue(row, QStringLiteral("properties"), QVariant());
        db.insertRow(row, QStringLiteral("chat"));
    }
    for (const Sqlite3Row &row : std::as_const(m_phoneHandles))
        db.insertRow(row, QStringLiteral("handle"));
    for (const Sqlite3Row &row : std::as_const(m_phoneChatHandles))
        db.insertRow(row, QStringLiteral("chat_handle_join"));
    for (const Sqlite3Row &row : std::as_const(m_phoneAttachments))
        db.insertRow(row, QStringLiteral("attachment"));
    m_phoneChats.clear();
    m_phoneHandles.clear();
    m_phoneChatHandles.clear();
    m_phoneAttachments.clear();

    const bool itemTypes = db.hasItemTypeColumn();
    for (const _MsgMessage *m : *m_job.m_messages) {
        if (!m)
            continue;
        if (!restoreMergeHasContactNumber(m->chat)) {
            qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
            ++m_job.skippedCount;
            continue;
        }
        if (m->item_type != 0 && !itemTypes)
            continue;
        ++m_job.mergedCount;
        const QString guid = effectiveGuid(*m);
        // A message the phone has stays as the phone has it, wherever the
        // new copy would sort.
        if (m_phoneGuids.contains(guid)) {
            m_alreadyThere.append({m, guid});
            continue;
        }
        RestoreMergeItem item;
        item.key = m->orderKey;
        item.date = m->date;
        item.message = m;
        m_items.append(std::move(item));
    }
    if (m_job.mergedCount == 0)
        fail(ids("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG")
                     .arg(m_job.skippedCount));

    sortRestoreMergeItems(m_items);

    const qsizetype n = m_items.size();
    int shown = -1;
    for (qsizetype i = 0; i < n; ++i) {
        checkCancel();
        // The form is told only when the figure it shows changes.
        const int percent = int(double(i + 1) / double(n) * 99.0);
        if (percent != shown) {
            m_job.m_progress->postUpdateProgress(QString(), percent, QString());
            shown = percent;
        }
        RestoreMergeItem &item = m_items[i];
        if (!item.phoneRow) {
            insertNewMessage(item.message);
            continue;
        }
        const QVariant guidValue = rowValue(item.row, QStringLiteral("guid"));
        const QString guid = guidValue.toString();
        // The item's row is not needed again: taken, not copied.
        Sqlite3Row row = std::exchange(item.row, Sqlite3Row());
        removeRowColumn(row, QStringLiteral("rowid"));
        const qint64 rowid = db.insertRow(row, QStringLiteral("message"));
        noteMessageRow(guidValue, rowid);
        for (qint64 chatId : m_chatIdsByGuid.value(guid))
            db.addChatMessageJoin(chatId, rowid);
        for (qint64 attachmentId : m_attachmentIdsByGuid.value(guid))
            db.addMessageAttachmentJoin(rowid, attachmentId);
    }

    // Messages the phone has already: only their attachments are joined.
    for (const auto &[m, guid] : std::as_const(m_alreadyThere)) {
        const qint64 rowid = db.messageRowidByGuid(guid);
        if (rowid == 0)
            continue;
        for (const _MsgAttachment *a : sortedAttachments(*m))
            attach(rowid, guid, a);
    }
}

void RestoreMergeRun::insertNewMessage(const _MsgMessage *m)
{
    IOS6MessageDb &db = *m_working;
    const _MsgChat *chat = m->chat;
    const qint64 chatId = chatRow(chat);

    auto handleRow = [&](const _MsgHandle *h) -> qint64 {
        if (!h)
            return 0;
        const QPair<QString, QString> key(h->id, h->service);
        qint64 id = m_handleRowById.value(key);
        if (id == 0) {
            id = db.handleRowid(h);
            if (id == 0) {
                id = db.insertHandle(h);
                db.addChatHandleJoin(chatId, id);
                m_chatHandleJoins.insert({chatId, id});
            }
            // As with chats: an empty value may be stored as null.
            if (!h->id.isEmpty() && !h->service.isEmpty())
                m_handleRowById.insert(key, id);
        }
        if (!m_chatHandleJoins.contains({chatId, id})) {
            if (!db.hasChatHandleJoin(chatId, id))
                db.addChatHandleJoin(chatId, id);
            m_chatHandleJoins.insert({chatId, id});
        }
        return id;
    };
    const qint64 senderId = handleRow(m->handle);

    const QString guid = effectiveGuid(*m);
    qint64 rowid = messageRow(guid);
    if (rowid == 0) {
        const qint64 otherId = handleRow(m->otherHandle);
        if (guid == m->guid) {
            rowid = db.insertMessage(m, senderId, otherId);
        } else {
            _MsgMessage copy = *m;
            copy.guid = guid;
            rowid = db.insertMessage(&copy, senderId, otherId);
        }
        noteMessageRow(guid, rowid);
        db.addChatMessageJoin(chatId, rowid);
        db.updateChatLast(chatId, m->date);
    }
    if (chat->isGroup() && m->handle)
        db.setLastAddressedHandle(chatId, m->handle->id);

    for (const _MsgAttachment *a : sortedAttachments(*m))
        attach(rowid, guid, a);
}

qint64 RestoreMergeRun::chatRow(const _MsgChat *chat)
{
    const auto known = m_chatRowByGuid.constFind(chat->guid);
    if (known != m_chatRowByGuid.constEnd())
        return known.value();
    IOS6MessageDb &db = *m_working;
    qint64 id = db.chatRowidByGuid(chat->guid);
    if (id == 0)
        id = db.insertChat(chat);
    // An empty guid may be stored as null, which no look-up finds again.
    if (!chat->guid.isEmpty())
        m_chatRowByGuid.insert(chat->guid, id);
    return id;
}

qint64 RestoreMergeRun::messageRow(const QString &guid)
{
    if (!m_messageGuidsKnown || guid.isEmpty())
        return m_working->messageRowidByGuid(guid);
    return m_messageRowByGuid.value(guid);
}

// Records the guid of a row just put into the message table. A guid that is
// not plain text (null, a number, bytes) compares by SQLite's rules: from
// then on the table is asked.
void RestoreMergeRun::noteMessageRow(const QVariant &guid, qint64 rowid)
{
    if (guid.typeId() != QMetaType::QString || guid.toString().isEmpty()) {
        m_messageGuidsKnown = false;
        return;
    }
    // The first row of a guid is the one a look-up finds.
    const QString text = guid.toString();
    if (!m_messageRowByGuid.contains(text))
        m_messageRowByGuid.insert(text, rowid);
}

void RestoreMergeRun::attach(qint64 messageRow, const QString &messageGuid, const _MsgAttachment *a)
{
    if (!a)
        return;
    IOS6MessageDb &db = *m_working;
    _MsgAttachment copy = *a;
    if (copy.guid.isEmpty())
        copy.guid = md5Guid(
                (messageGuid + QLatin1Char('/') + a->filename + QLatin1Char('/') + a->transfer_name)
                        .toUtf8());
    qint64 id = db.attachmentRowidByGuid(&copy);
    if (id == 0) {
        copy.filename = planNewAttachment(*a);
        id = db.insertAttachment(&copy);
    } else if (isAttachmentFile(a->localPath)) {
        // The row is there already: its file goes where the row says, when
        // that place is free or holds the same contents.
        Sqlite3Cursor c = db.queryThrow(
                Sqlite3Sql("select filename from attachment where rowid=?").addInt64Param(id));
        const QString rel = relativeFromLibrary(c.moveNext() ? c.getText(0) : QString());
        if (isAttachmentPath(rel))
            claim(rel, a->localPath);
    }
    db.addMessageAttachmentJoin(messageRow, id);
}

QString RestoreMergeRun::planNewAttachment(const _MsgAttachment &a)
{
    // The phone removes an attachment's file by the row's name when the
    // message goes: a name must never point outside the attachments' folder.
    const QString rel = relativeFromLibrary(a.filename);
    const QString name
            = safeFileName(a.filename, safeFileName(a.transfer_name, QStringLiteral("attachment")));
    auto freshPlace = [&name] {
        const QString g = newGuid();
        const QString h = g.toLower();
        return kAttachmentsRoot + h.mid(0, 2) + QLatin1Char('/') + h.mid(2, 2) + QLatin1Char('/')
                + g + QLatin1Char('/') + name;
    };
    const QString source = a.localPath;
    // Only a regular file goes into the backup: a link could bring any file
    // of this computer onto the phone, a pipe would block the run.
    if (!isAttachmentFile(source)) {
        // Nothing to put into the backup; the row keeps a confined name.
        if (isAttachmentPath(rel))
            return QStringLiteral("~/") + rel;
        return QStringLiteral("~/") + freshPlace();
    }
    if (isAttachmentPath(rel) && claim(rel, source))
        return QStringLiteral("~/") + rel;
    // The name leaves the attachments' folder, or another file has its
    // place: the file gets a new place of its own.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString fresh = freshPlace();
        if (isAttachmentPath(fresh) && claim(fresh, source))
            return QStringLiteral("~/") + fresh;
    }
    fail(QStringLiteral("can not find a free name in the backup for %1.").arg(a.filename));
}

QByteArray RestoreMergeRun::sha1Of(const QString &path)
{
    auto it = m_sha1Cache.constFind(path);
    if (it != m_sha1Cache.constEnd())
        return it.value();
    const QByteArray digest = fileSha1Digest(path);
    m_sha1Cache.insert(path, digest);
    return digest;
}

// Reserves rel (below MediaDomain) for the file at source: true when the
// place is free, or holds (or is to hold) the same contents. Nothing in the
// backup is ever overwritten.
bool RestoreMergeRun::claim(const QString &rel, const QString &source)
{
    const QString id = backupFileId(kMediaDomain, rel);
    const QByteArray digest = sha1Of(source);
    if (digest.isEmpty())
        return false;

    const auto planned = m_fileById.constFind(id);
    if (planned != m_fileById.constEnd())
        return sha1Of(m_files.at(planned.value()).source) == digest;

    // Every folder above it that the backup lists must be a folder.
    QString p = rel;
    for (qsizetype slash = p.lastIndexOf(QLatin1Char('/')); slash > 0;
         slash = p.lastIndexOf(QLatin1Char('/'))) {
        p.truncate(slash);
        const auto folder = m_records.constFind(backupFileId(kMediaDomain, p));
        if (folder != m_records.constEnd() && folder->mode != 0 && !folder->isDirectory())
            return false;
    }

    PlannedFile file;
    file.source = source;
    file.rel = rel;
    file.dest = m_job.m_backupFolder.absoluteFilePath(id);
    const QFileInfo destInfo(file.dest);
    const bool destThere = destInfo.exists() || destInfo.isSymLink();
    const auto record = m_records.constFind(id);
    if (record != m_records.constEnd() && record->mode != 0 && !record->isRegularFile())
        return false;
    if (destThere) {
        if (destInfo.isSymLink() || !destInfo.isFile() || sha1Of(file.dest) != digest)
            return false;
        file.copy = false;
    } else {
        if (record != m_records.constEnd() && record->dataHash.isValid()
            && record->dataHash.bytes != digest)
            return false;
        file.copy = true;
    }
    m_fileById.insert(id, m_files.size());
    m_files.append(file);
    return true;
}

void RestoreMergeRun::commitWorking()
{
    IOS6MessageDb &db = *m_working;
    db.endTransaction(true);
    // What goes into the backup must be one whole, sound file.
    QString verdict;
    {
        Sqlite3Cursor check = db.queryThrow(Sqlite3Sql("PRAGMA quick_check"));
        verdict = check.moveNext() ? check.getText(0) : QString();
    }
    if (verdict != QLatin1String("ok"))
        fail(ids("IDS_MERGE_DATABASE_DAMAGED_%1").arg(verdict));
    QString error;
    db.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);"), error);
    db.close();
    m_working.reset();
    const QFileInfo wal(m_workingPath + QStringLiteral("-wal"));
    if (wal.exists() && wal.size() > 0)
        fail(ids("IDS_MERGE_DATABASE_DAMAGED_%1").arg(QStringLiteral("write-ahead log")));
}

void RestoreMergeRun::stageDatabase()
{
    m_db.path = m_dbPath;
    m_db.staged = m_dbPath + kStagingSuffix;
    if (!copyFileSynced(m_workingPath, m_db.staged, nullptr, &m_job.m_progress->failed)) {
        checkCancel();
        fail(QStringLiteral("can not overwrite %1.").arg(m_dbPath));
    }
    auto it = m_records.find(m_dbId);
    if (it == m_records.end()) {
        updateMbdbRecords(m_records, m_db.staged, kHomeDomain, kSmsDbRelPath);
    } else if (!refreshMbdbFileRecord(it.value(), m_db.staged)) {
        fail(QStringLiteral("can not overwrite %1.").arg(m_dbPath));
    }
    stageLogs();
}

// A write-ahead log (and its index) that the backup holds beside sms.db
// belongs to the old database: restored beside the merged one, its pages
// would be laid over it. Whatever it held is in the merged database (the
// working copy was read through it), so empty ones take their place.
void RestoreMergeRun::stageLogs()
{
    for (const char *suffix : {"-wal", "-shm"}) {
        const QString rel = kSmsDbRelPath + QLatin1String(suffix);
        const QString id = backupFileId(kHomeDomain, rel);
        ReplacedFile file;
        file.path = m_job.m_backupFolder.absoluteFilePath(id);
        const bool listed = m_records.contains(id);
        if (!listed && !QFileInfo::exists(file.path))
            continue;
        file.staged = file.path + kStagingSuffix;
        m_logs.append(file);
        if (!writeFileSynced(file.staged, QByteArray()))
            fail(QStringLiteral("can not overwrite %1.").arg(file.path));
        if (listed && !refreshMbdbFileRecord(m_records[id], file.staged))
            fail(QStringLiteral("can not overwrite %1.").arg(file.path));
    }
}

void RestoreMergeRun::stageAttachments()
{
    for (PlannedFile &f : m_files) {
        checkCancel();
        QString described = f.dest;
        if (f.copy) {
            f.staged = f.dest + kStagingSuffix;
            // A Cancel stops a long copy between two blocks.
            if (!copyFileSynced(f.source, f.staged, nullptr, &m_job.m_progress->failed)) {
                checkCancel();
                fail(QStringLiteral("can not overwrite %1.").arg(f.dest));
            }
            described = f.staged;
        }
        updateMbdbRecords(m_records, described, kMediaDomain, f.rel);
    }
}

void RestoreMergeRun::stageManifest()
{
    const QByteArray bytes = serializeMbdb(m_records.values());
    m_manifest.path = m_manifestPath;
    m_manifest.staged = m_manifestPath + kStagingSuffix;
    QString error;
    if (!writeFileSynced(m_manifest.staged, bytes, &error)
        || QFileInfo(m_manifest.staged).size() != bytes.size())
        fail(QStringLiteral("Cannot write %1: %2").arg(m_manifest.staged, error));
}

// The previous file stays under a time-stamped name beside the new one
// (made by the swap just before it replaces the file).
void RestoreMergeRun::keepOldFile(ReplacedFile &file)
{
    if (QFileInfo::exists(file.path))
        file.aside = asideName(file.path);
}

// Every staged file goes in by one rename each, in the order database, its
// logs, attachments, index; the record written first lets the next run
// finish or undo a swap that a kill stopped halfway.
void RestoreMergeRun::swapAll()
{
    checkBackupDatabase();
    keepOldFile(m_db);
    for (ReplacedFile &log : m_logs)
        keepOldFile(log);
    keepOldFile(m_manifest);

    auto journal = std::make_unique<SwapJournal>(m_job.m_backupFolder.absolutePath());
    journal->replace(m_db.path, m_db.staged, m_db.aside);
    for (const ReplacedFile &log : std::as_const(m_logs))
        journal->replace(log.path, log.staged, log.aside);
    const int databaseDone = int(m_logs.size());
    int attachmentsDone = databaseDone;
    for (const PlannedFile &f : std::as_const(m_files)) {
        if (!f.copy)
            continue;
        // A file of that name that turned up meanwhile is never replaced.
        if (QFileInfo::exists(f.dest) || QFileInfo(f.dest).isSymLink())
            fail(QStringLiteral("can not overwrite %1.").arg(f.dest));
        journal->replace(f.dest, f.staged);
        ++attachmentsDone;
    }
    journal->replace(m_manifest.path, m_manifest.staged, m_manifest.aside);
    const int manifestDone = attachmentsDone + 1;

    journal->begin();
    m_journal = std::move(journal);
    m_journal->commit([&](int i) {
        if (i == databaseDone)
            stage(SwappedDatabase);
        if (i == attachmentsDone)
            stage(SwappedAttachments);
        if (i == manifestDone)
            stage(SwappedManifest);
    });
    m_journal.reset();
    // What changed, in the order revertBackupFolder undoes it.
    m_job.m_changes.append({m_manifest.path, m_manifest.aside});
    for (const PlannedFile &f : std::as_const(m_files))
        if (f.copy)
            m_job.m_changes.append({f.dest, QString()});
    for (qsizetype i = m_logs.size() - 1; i >= 0; --i)
        m_job.m_changes.append({m_logs.at(i).path, m_logs.at(i).aside});
    m_job.m_changes.append({m_db.path, m_db.aside});
    m_db.aside.clear(); // kept for good now
    for (ReplacedFile &log : m_logs)
        log.aside.clear();
    m_manifest.aside.clear();
    m_db.staged.clear();
    for (ReplacedFile &log : m_logs)
        log.staged.clear();
    m_manifest.staged.clear();
    for (PlannedFile &f : m_files)
        f.staged.clear();
}

void RestoreMergeRun::finish()
{
    removeDatabaseFiles(m_workingPath);
}

QString RestoreMergeRun::cleanUp()
{
    QStringList problems;
    if (m_working) {
        m_working->close(); // drops what was not committed
        m_working.reset();
    }

    // A swap begun is undone from its record; before that, only staged
    // files and kept copies are there to go.
    if (m_journal) {
        for (const QString &rel : m_journal->rollBack())
            problems << m_job.m_backupFolder.absoluteFilePath(rel);
        m_journal.reset();
    } else {
        QList<ReplacedFile *> replaced {&m_db, &m_manifest};
        for (ReplacedFile &log : m_logs)
            replaced << &log;
        for (ReplacedFile *file : std::as_const(replaced)) {
            if (!file->staged.isEmpty())
                QFile::remove(file->staged);
        }
        for (const PlannedFile &f : std::as_const(m_files))
            if (!f.staged.isEmpty())
                QFile::remove(f.staged);
    }

    if (!m_workingPath.isEmpty())
        removeDatabaseFiles(m_workingPath);

    if (problems.isEmpty())
        return {};
    qWarning("IOS6RestoreMessagesThread: could not put back %s",
             qUtf8Printable(problems.join(QStringLiteral(", "))));
    return ids("IDS_MERGE_BACKUP_NOT_RESTORED_%1")
            .arg(escapeForBox(problems.join(QStringLiteral(", "))));
}

// ---------------------------------------------------------------- the job

IOS6RestoreMessagesThread::IOS6RestoreMessagesThread(const QString &mcc,
                                                     const MsgMessageList *messages,
                                                     IOS6MessageDb *cachedDb,
                                                     const QDir &backupFolder,
                                                     ProgressForm *progress, QObject *parent)
    : QThread(parent)
    , m_mcc(mcc)
    , m_messages(messages)
    , m_cachedDb(cachedDb)
    , m_backupFolder(backupFolder)
    , m_progress(progress)
{ }

IOS6RestoreMessagesThread::~IOS6RestoreMessagesThread() = default;

// The revert is one swap with a record, as the merge's own: each replaced
// file's kept copy gets a second name beside it that is swapped in, the
// merged file keeping a name of its own until the record goes; the files the
// merge added, the kept copies and those names go once everything is in
// place. A revert killed halfway is finished or undone whole by the next
// opening of the backup, and one that fails is undone: the backup is left
// as the merge made it or as it was before, never a mixture.
QStringList IOS6RestoreMessagesThread::revertBackupFolder()
{
    const QList<Change> changes = std::exchange(m_changes, {});
    if (changes.isEmpty())
        return {};
    QStringList everything;
    for (const Change &c : changes)
        everything << c.path;
    QStringList staged;
    auto failed = [&](const QString &why) {
        for (const QString &f : std::as_const(staged))
            QFile::remove(f);
        qWarning("IOS6RestoreMessagesThread: the backup stays merged, %s", qUtf8Printable(why));
        return everything;
    };
    auto freeName = [](const QString &base) {
        QString name = base;
        for (int i = 1; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++i)
            name = base + QString::number(i);
        return name;
    };

    SwapJournal journal(m_backupFolder.absolutePath());
    try {
        QStringList merged;
        for (const Change &c : changes) {
            if (c.aside.isEmpty()) {
                journal.remove(c.path);
                continue;
            }
            const QFileInfo kept(c.aside);
            const QString back = freeName(c.path + kRevertSuffix);
            if (!kept.isFile() || kept.isSymLink() || !secondNameOf(c.aside, back))
                return failed(QStringLiteral("the previous copy %1 is missing").arg(c.aside));
            staged << back;
            merged << freeName(c.path + kRevertedSuffix);
            journal.replace(c.path, back, merged.last());
            journal.remove(c.aside);
        }
        // The merged files kept during the swap go last.
        for (const QString &f : std::as_const(merged))
            journal.remove(f);
        journal.begin();
    } catch (const std::exception &e) {
        return failed(QString::fromUtf8(e.what()));
    }
    try {
        journal.commit();
    } catch (const std::exception &e) {
        const QStringList problems = journal.rollBack();
        if (!problems.isEmpty()) {
            qWarning("IOS6RestoreMessagesThread: could not put back %s (%s)",
                     qUtf8Printable(problems.join(QStringLiteral(", "))), e.what());
            return everything;
        }
        return failed(QString::fromUtf8(e.what()));
    }
    return {};
}

QStringList IOS6RestoreMessagesThread::stageNames()
{
    QStringList names;
    for (const char *s : kStages)
        names << QString::fromLatin1(s);
    return names;
}

void IOS6RestoreMessagesThread::run()
{
    skippedCount = 0;
    mergedCount = 0;
    m_changes.clear();
    m_progress->postUpdateProgress(ids("IDS_MERGING_IOS6_MESSAGES"), 0, QString());
    RestoreMergeRun work(*this);
    try {
        work.run();
        work.finish();
        m_progress->postSucceed(QString());
    } catch (const Cancelled &) {
        work.cleanUp();
    } catch (const std::exception &e) {
        QString text = boxTextOf(e);
        const QString notRestored = work.cleanUp();
        if (!notRestored.isEmpty())
            text += QStringLiteral("<br/><br/>") + notRestored;
        m_progress->postErrorOccurred(text);
    }
}
