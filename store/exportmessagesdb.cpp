#include "store/exportmessagesdb.h"

#include "store/attachmentfile.h"
#include "store/datafolder.h"
#include "store/msgutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <stdexcept>
#include <utility>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// How many other folders are tried for a file before the run gives up.
constexpr int kMaxPlacements = 1000;

std::runtime_error writerError(const QString &text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// The last component of a phone path, with the characters the store never
// keeps in a name removed; "attachment" when nothing usable is left.
QString attachmentFileName(const QString &filename)
{
    QString name = filename;
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    name = name.section(QLatin1Char('/'), -1);
    removeForbiddenNameChars(name);
    name = name.trimmed();
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("attachment");
    return name;
}

// The last component of a name as logicHash sees it (folders separated by
// "/" or "\"), in lower case.
QString lastComponentLower(const QString &filename)
{
    const qsizetype cut
            = qMax(filename.lastIndexOf(QLatin1Char('/')), filename.lastIndexOf(QLatin1Char('\\')));
    return filename.mid(cut + 1).toLower();
}

bool sameFileContent(const QString &a, const QString &b)
{
    QFile fa, fb;
    if (!openAttachmentFile(fa, a) || !openAttachmentFile(fb, b) || fa.size() != fb.size())
        return false;
    constexpr qint64 kChunk = 1 << 16;
    while (!fa.atEnd()) {
        const QByteArray ca = fa.read(kChunk);
        const QByteArray cb = fb.read(kChunk);
        if (ca != cb)
            return false;
        if (ca.isEmpty())
            break;
    }
    return fb.atEnd();
}

// Flushes what is written to the open file fd to the disk.
bool syncFileToDisk(int fd, const QString &path)
{
#ifdef Q_OS_WIN
    const bool ok = _commit(fd) == 0;
#else
    const bool ok = ::fsync(fd) == 0;
#endif
    if (ok && ExportMessagesDb::diskSyncObserver)
        ExportMessagesDb::diskSyncObserver(path);
    return ok;
}

// Flushes a folder's entries (new and renamed names) to the disk. Windows
// has no such call; its file systems keep the entries with the file.
bool syncFolderToDisk(const QString &folder)
{
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    return true;
#else
    const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    if (ok && ExportMessagesDb::diskSyncObserver)
        ExportMessagesDb::diskSyncObserver(folder);
    return ok;
#endif
}

} // namespace

ExportMessagesDb::ExportMessagesDb(const QDir &folder, const QString &mcc)
    : m_db(folder, mcc, true)
    , m_fileRelayRoot(QDir::cleanPath(m_db.fileRelayDir().absolutePath()))
{ }

ExportMessagesDb::~ExportMessagesDb()
{
    if (m_running)
        abort();
}

// The rows looked up or made so far: read again from the database at their
// next use.
void ExportMessagesDb::forgetRowsRead()
{
    m_chatIds.clear();
    m_handleIds.clear();
    m_chatHandleJoins.clear();
    m_byLogicHash.clear();
    m_byOddHash.clear();
    m_byGuidKey.clear();
    m_messageIndexLoaded = false;
    m_chatMessages.clear();
}

void ExportMessagesDb::resetRun()
{
    m_counts = Counts();
    forgetRowsRead();
    m_attachmentGuidKeys.clear();
    m_attachmentGuidsLoaded = false;
    m_chatLast.clear();
    m_lastAddressed.clear();
    m_copiedFiles.clear();
    m_createdFolders.clear();
    m_unsyncedFolders.clear();
    m_knownFolders.clear();
    m_localPaths.reset();
    m_mark = Mark();
}

QString ExportMessagesDb::localPath(const QString &filename)
{
    if (!m_localPaths)
        m_localPaths = std::make_unique<IOS6MessageDb::AttachmentLocalPaths>(m_db.fileRelayDir());
    return (*m_localPaths)(filename);
}

void ExportMessagesDb::begin()
{
    if (m_running)
        throw writerError(QStringLiteral("ExportMessagesDb::begin, a run is already open."));
    resetRun();
    m_db.beginTransaction();
    {
        QString error;
        m_db.exec(QStringLiteral("PRAGMA cache_size=-65536;"), error);
    }
    m_running = true;
}

void ExportMessagesDb::end()
{
    if (!m_running) {
        m_db.endTransaction(true);
        m_db.close();
        return;
    }
    try {
        // The user of the database may have ended the transaction already
        // (committed or rolled back); then the run's files are checked
        // against what the database holds.
        const bool ours = m_db.isOpen() && m_db.inTran();
        if (ours) {
            flushChatUpdates();
            // The files the rows refer to reach the disk before the rows.
            syncFolders();
        }
        m_db.endTransaction(true);
        m_running = false;
        m_mark = Mark();
        m_db.close();
        if (ours) {
            // The files belong to the committed rows now.
            m_copiedFiles.clear();
            m_createdFolders.clear();
        } else {
            removeRunFiles();
        }
    } catch (...) {
        abort();
        throw;
    }
}

void ExportMessagesDb::abort() noexcept
{
    try {
        m_db.endTransaction(false);
    } catch (...) {
        // Closing below discards the transaction all the same.
    }
    m_db.close();
    removeRunFiles();
    m_running = false;
    forgetRowsRead();
    m_attachmentGuidKeys.clear();
    m_attachmentGuidsLoaded = false;
    m_chatLast.clear();
    m_lastAddressed.clear();
    m_mark = Mark();
}

void ExportMessagesDb::setMark()
{
    if (!m_running || !m_db.isOpen() || !m_db.inTran())
        throw writerError(QStringLiteral("ExportMessagesDb::setMark, no run is open."));
    if (m_mark.set)
        throw writerError(QStringLiteral("ExportMessagesDb::setMark, a mark is set already."));
    m_db.executeThrow(Sqlite3Sql("SAVEPOINT export_mark"));
    m_mark.set = true;
    m_mark.counts = m_counts;
    m_mark.chatLast = m_chatLast;
    m_mark.lastAddressed = m_lastAddressed;
}

void ExportMessagesDb::releaseMark()
{
    if (!m_mark.set)
        return;
    m_db.executeThrow(Sqlite3Sql("RELEASE export_mark"));
    m_mark = Mark();
}

void ExportMessagesDb::rollBackToMark()
{
    if (!m_mark.set)
        throw writerError(QStringLiteral("ExportMessagesDb::rollBackToMark, no mark is set."));
    const Mark mark = std::exchange(m_mark, Mark());
    // The statements hold nothing open (each is reset after its step).
    m_db.executeThrow(Sqlite3Sql("ROLLBACK TO export_mark"));
    m_db.executeThrow(Sqlite3Sql("RELEASE export_mark"));
    m_counts = mark.counts;
    m_chatLast = mark.chatLast;
    m_lastAddressed = mark.lastAddressed;
    m_lastLogicHash = QString();
    // Rows matched or made since the mark may be gone: read them again.
    forgetRowsRead();
}

void ExportMessagesDb::removeRunFiles() noexcept
{
    // Called with the run's connection closed. A file stays only when the
    // database, as it now is, names it: its rows were committed after all
    // (by a user of the database), or it filled in the missing file of an
    // attachment stored before. When the database cannot tell, every file
    // stays: a file too many is harmless, a missing one is lost.
    QSet<QString> named;
    try {
        if (!m_copiedFiles.isEmpty()) {
            Sqlite3DB check;
            check.openThrow(m_db.smsDbPath(), Sqlite3DB::ReadOnly);
            for (const CopiedFile &f : std::as_const(m_copiedFiles)) {
                Sqlite3Cursor c = check.queryThrow(
                        Sqlite3Sql("select filename from attachment where guid=?")
                                .addTextParam(f.guid));
                while (c.moveNext()) {
                    if (IOS6MessageDb::attachmentLocalPath(m_db.fileRelayDir(), c.getText(0))
                        == f.path)
                        named.insert(f.path);
                }
            }
        }
    } catch (...) {
        m_copiedFiles.clear();
        m_createdFolders.clear();
        return;
    }
    for (auto it = m_copiedFiles.crbegin(); it != m_copiedFiles.crend(); ++it) {
        if (!named.contains(it->path))
            QFile::remove(it->path);
    }
    // Deepest first; a folder that holds anything else stays.
    for (auto it = m_createdFolders.crbegin(); it != m_createdFolders.crend(); ++it)
        QDir().rmdir(*it);
    m_copiedFiles.clear();
    m_createdFolders.clear();
    m_knownFolders.clear();
    m_localPaths.reset();
}

void ExportMessagesDb::write(_MsgMessage *m)
{
    writeMessage(m, nullptr);
}

void ExportMessagesDb::write(_MsgMessage *m, const QString &hash)
{
    writeMessage(m, &hash);
}

void ExportMessagesDb::writeMessage(_MsgMessage *m, const QString *knownHash)
{
    m_lastLogicHash = QString();
    if (!m_running)
        throw writerError(QStringLiteral("ExportMessagesDb::write, no run was begun."));
    // Writing on a connection whose transaction is gone (closed by its user)
    // would store rows one by one outside any run.
    if (!m_db.isOpen() || !m_db.inTran())
        throw writerError(QStringLiteral("ExportMessagesDb::write, the run's transaction is "
                                         "no longer open."));
    if (!m)
        return;
    if (m->item_type != 0 && !m_db.hasItemTypeColumn()) {
        ++m_counts.skipped;
        return;
    }
    if (!m->chat) {
        qDebug("IOS6RestoreMessagesThread skip message with empty chat.");
        ++m_counts.skipped;
        return;
    }
    if (m->chat->ROWID <= kUnknownChatRowid) {
        qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
        ++m_counts.skipped;
        return;
    }

    // The message's keys first: their places in the run's tables are on
    // their way into the cache while the conversation and sender are found.
    const QString hash = knownHash ? *knownHash : logicHash(*m);
    MessageKeys keys;
    prepareKeys(m, hash, &keys);

    const qint64 chatId = chatRowid(m->chat);
    const qint64 handleId = m->handle ? handleRowid(m->handle, chatId) : 0;

    qint64 messageId = messageRowid(m, hash, &keys);
    const bool existed = messageId != 0;
    if (existed) {
        ++m_counts.existing;
        // The same message may belong to several conversations (one text
        // sent to two groups in the same second): it joins this one too.
        if (!chatHasMessage(chatId, messageId))
            joinChatMessage(chatId, messageId);
    } else {
        const qint64 otherId = m->otherHandle ? handleRowid(m->otherHandle, chatId) : 0;
        messageId = m_db.insertMessageWithHash(m, handleId, otherId, hash);
        rememberMessage(messageId, m->guid, m_hasLogicHash ? hash : QString(), &keys);
        joinChatMessage(chatId, messageId);
        ++m_counts.added;
    }
    // The chat's newest date and, in a group, its last sender are written
    // once per chat when the run ends (or its database is handed out).
    auto last = m_chatLast.find(chatId);
    if (last == m_chatLast.end())
        m_chatLast.insert(chatId, m->date);
    else if (last.value() < m->date)
        last.value() = m->date;
    if (m->chat->isGroup() && m->handle)
        m_lastAddressed.insert(chatId, m->handle->id);

    for (_MsgAttachment *a : sortedAttachments(*m))
        writeAttachment(a, messageId, existed);
    m_lastLogicHash = hash;
}

qint64 ExportMessagesDb::chatRowid(_MsgChat *chat)
{
    auto it = m_chatIds.constFind(chat->guid);
    if (it != m_chatIds.constEnd())
        return it.value();
    qint64 id = m_db.chatRowidByGuid(chat->guid);
    // A new chat's messages are all of this run: they are not held in
    // memory, as only a message met twice in the run asks for them.
    if (id == 0)
        id = m_db.insertChat(chat);
    m_chatIds.insert(chat->guid, id);
    return id;
}

qint64 ExportMessagesDb::handleRowid(_MsgHandle *handle, qint64 chatId)
{
    const HandleKey key {handle->id, handle->service};
    qint64 id = m_handleIds.value(key);
    bool knownJoin = false;
    if (id == 0) {
        id = m_db.handleRowid(handle);
        if (id == 0) {
            id = m_db.insertHandle(handle);
            m_db.addChatHandleJoin(chatId, id);
            knownJoin = true;
        }
        m_handleIds.insert(key, id);
    }
    const QPair<qint64, qint64> join(chatId, id);
    if (!m_chatHandleJoins.contains(join)) {
        if (!knownJoin && !m_db.hasChatHandleJoin(chatId, id))
            m_db.addChatHandleJoin(chatId, id);
        m_chatHandleJoins.insert(join);
    }
    return id;
}

ExportMessagesDb::HashKey ExportMessagesDb::hashKey(const QString &hash, bool *ok)
{
    HashKey key;
    *ok = false;
    if (hash.size() != 32)
        return key;
    // Only the lower-case hex text logicHash makes is taken; anything else
    // is looked up as text.
    const char16_t *c = reinterpret_cast<const char16_t *>(hash.utf16());
    quint64 half[2] = {0, 0};
    for (int i = 0; i < 32; ++i) {
        const char16_t ch = c[i];
        unsigned digit;
        if (ch >= u'0' && ch <= u'9')
            digit = ch - u'0';
        else if (ch >= u'a' && ch <= u'f')
            digit = ch - u'a' + 10;
        else
            return key;
        half[i / 16] = (half[i / 16] << 4) | digit;
    }
    key.hi = half[0];
    key.lo = half[1];
    *ok = true;
    return key;
}

quint64 ExportMessagesDb::guidKey(const QString &guid)
{
    return quint64(qHash(guid, 0x5ad1f00dU));
}

void ExportMessagesDb::rememberMessage(qint64 rowid, const QString &guid, const QString &hash,
                                       const MessageKeys *keys)
{
    m_byGuidKey.insertNew(keys ? keys->guid : guidKey(guid), true);
    if (hash.isNull())
        return;
    // The database answers a look-up with the first (oldest) row of a hash.
    bool ok = keys && keys->hashKnown && keys->hashOk;
    const HashKey key = keys && keys->hashKnown ? keys->hash : hashKey(hash, &ok);
    if (ok) {
        m_byLogicHash.insertNew(key, rowid);
    } else if (!m_byOddHash.contains(hash)) {
        m_byOddHash.insert(hash, rowid);
    }
}

void ExportMessagesDb::loadMessageIndex()
{
    m_byLogicHash.clear();
    m_byOddHash.clear();
    m_byGuidKey.clear();
    m_hasLogicHash = m_db.tableSchemas()
                             .value(QStringLiteral("message"))
                             .contains(QLatin1String("logic_hash"));
    Sqlite3Cursor c = m_db.queryThrow(
            Sqlite3Sql(m_hasLogicHash ? "select rowid, guid, logic_hash from message order by rowid"
                                      : "select rowid, guid from message order by rowid"));
    while (c.moveNext()) {
        rememberMessage(c.getInt64(0), c.getText(1),
                        m_hasLogicHash && !c.isNull("logic_hash") ? c.getText(2) : QString());
    }
    m_messageIndexLoaded = true;
}

void ExportMessagesDb::prepareKeys(const _MsgMessage *m, const QString &hash, MessageKeys *keys)
{
    // What the target holds is read once per run, so that finding a message
    // (or finding that it is new) takes no query.
    if (!m_messageIndexLoaded)
        loadMessageIndex();
    if (m_hasLogicHash) {
        keys->hash = hashKey(hash, &keys->hashOk);
        keys->hashKnown = true;
        if (keys->hashOk)
            m_byLogicHash.prefetch(keys->hash);
    }
    keys->guid = guidKey(m->guid);
    m_byGuidKey.prefetch(keys->guid);
    keys->ready = true;
}

qint64 ExportMessagesDb::messageRowid(_MsgMessage *m, const QString &hash, MessageKeys *keys)
{
    MessageKeys own;
    if (!keys)
        keys = &own;
    if (!keys->ready || !m_messageIndexLoaded)
        prepareKeys(m, hash, keys);
    // First by logic hash, then by guid, as the database would answer.
    if (m_hasLogicHash) {
        const qint64 *found = keys->hashOk ? m_byLogicHash.find(keys->hash) : nullptr;
        const qint64 id = keys->hashOk ? (found ? *found : 0) : m_byOddHash.value(hash);
        if (id != 0)
            return id;
    }
    // Keys of guids may collide: the database has the last word.
    if (m_byGuidKey.find(keys->guid))
        return m_db.messageRowidByGuid(m->guid);
    return 0;
}

bool ExportMessagesDb::chatHasMessage(qint64 chatId, qint64 messageId)
{
    auto it = m_chatMessages.find(chatId);
    if (it == m_chatMessages.end()) {
        QSet<qint64> ids;
        Sqlite3Cursor c = m_db.queryThrow(
                Sqlite3Sql("select message_id from chat_message_join where chat_id=?")
                        .addInt64Param(chatId));
        while (c.moveNext())
            ids.insert(c.getInt64(0));
        it = m_chatMessages.insert(chatId, ids);
    }
    return it->contains(messageId);
}

void ExportMessagesDb::joinChatMessage(qint64 chatId, qint64 messageId)
{
    m_db.addChatMessageJoin(chatId, messageId);
    // A chat whose messages are not held in memory is read when asked.
    auto it = m_chatMessages.find(chatId);
    if (it != m_chatMessages.end())
        it->insert(messageId);
}

void ExportMessagesDb::flushChatUpdates()
{
    if (!m_db.isOpen() || !m_db.inTran())
        return; // the run is lost already; nothing may be written outside it
    for (auto it = m_chatLast.cbegin(); it != m_chatLast.cend(); ++it)
        m_db.updateChatLast(it.key(), it.value());
    m_chatLast.clear();
    for (auto it = m_lastAddressed.cbegin(); it != m_lastAddressed.cend(); ++it) {
        // Only a change is written, so that merging messages already stored
        // leaves the file as it is.
        Sqlite3Cursor c
                = m_db.queryThrow(Sqlite3Sql("select last_addressed_handle from chat where rowid=?")
                                          .addInt64Param(it.key()));
        if (c.moveNext() && !c.isNull("last_addressed_handle") && c.getText(0) == it.value())
            continue;
        m_db.setLastAddressedHandle(it.key(), it.value());
    }
    m_lastAddressed.clear();
}

bool ExportMessagesDb::hasRow(const char *sql, qint64 a, qint64 b)
{
    return m_db.firstInt64Throw(Sqlite3Sql(sql).addInt64Param(a).addInt64Param(b));
}

// ---------------------------------------------------------------- attachments

void ExportMessagesDb::writeAttachment(_MsgAttachment *a, qint64 messageId, bool messageExisted)
{
    if (!a)
        return;
    // Only a regular file is copied: a pipe would block the run, a link
    // could bring any file of this computer into the database's tree.
    const QString source = isAttachmentFile(a->localPath) ? a->localPath : QString();

    qint64 attachmentId = attachmentRowid(a);
    if (attachmentId != 0) {
        // Stored before: its file goes where the stored row names it, when
        // it is missing there.
        if (!source.isEmpty()) {
            Sqlite3Cursor c
                    = m_db.queryThrow(Sqlite3Sql("select filename from attachment where rowid=?")
                                              .addInt64Param(attachmentId));
            if (c.moveNext()) {
                const QString stored
                        = localPath(c.getText(0));
                tryCopy(a, [&] { ensureFileAt(source, stored, a->guid); });
            }
        }
    } else {
        if (messageExisted)
            attachmentId = sameAttachmentOfMessage(a, messageId);
        if (attachmentId == 0) {
            const QString target
                    = localPath(a->filename);
            QString storedFilename = a->filename;
            if (!source.isEmpty() || !target.isEmpty()) {
                // A file that cannot be copied leaves the row without one.
                if (!tryCopy(a, [&] { placeAttachmentFile(a, source, target, &storedFilename); }))
                    storedFilename = a->filename;
            }
            if (storedFilename == a->filename) {
                attachmentId = m_db.insertAttachment(a);
            } else {
                _MsgAttachment row = *a;
                row.filename = storedFilename;
                attachmentId = m_db.insertAttachment(&row);
            }
            m_attachmentGuidKeys.insert(guidKey(a->guid));
        }
    }
    if (!messageExisted
        || !hasRow("select 1 from message_attachment_join where message_id=? and attachment_id=?",
                   messageId, attachmentId))
        m_db.addMessageAttachmentJoin(messageId, attachmentId);
}

qint64 ExportMessagesDb::attachmentRowid(const _MsgAttachment *a)
{
    if (!m_attachmentGuidsLoaded) {
        m_attachmentGuidKeys.clear();
        Sqlite3Cursor c = m_db.queryThrow(Sqlite3Sql("select guid from attachment"));
        while (c.moveNext())
            m_attachmentGuidKeys.insert(guidKey(c.getText(0)));
        m_attachmentGuidsLoaded = true;
    }
    // Keys may collide: the database has the last word.
    if (!m_attachmentGuidKeys.contains(guidKey(a->guid)))
        return 0;
    return m_db.attachmentRowidByGuid(a);
}

qint64 ExportMessagesDb::sameAttachmentOfMessage(const _MsgAttachment *a, qint64 messageId)
{
    // The same message read from another source may carry its attachment
    // under another guid; the same file name and size make it the same.
    const QString name = lastComponentLower(a->filename);
    Sqlite3Cursor c = m_db.queryThrow(
            Sqlite3Sql("select a.rowid, a.filename, a.total_bytes from attachment as a inner "
                       "join message_attachment_join as j on j.attachment_id=a.rowid where "
                       "j.message_id=?")
                    .addInt64Param(messageId));
    while (c.moveNext()) {
        if (lastComponentLower(c.getText(1)) == name && c.getInt64(2) == a->total_bytes)
            return c.getInt64(0);
    }
    return 0;
}

bool ExportMessagesDb::isReservedPath(const QString &path) const
{
    // The database with its journal files, and the phone's address book,
    // which the store reads as such.
    const QString db = QDir::cleanPath(m_db.smsDbPath());
    if (path.startsWith(db))
        return true;
    const QString addressBook = m_fileRelayRoot + QLatin1String("/var/mobile/Library/AddressBook");
    return path == addressBook || path.startsWith(addressBook + QLatin1Char('/'));
}

// Whether every folder between the store's file-relay and path is a real
// folder (or still missing): no file stands where a folder is needed, and no
// symbolic link leads elsewhere.
bool ExportMessagesDb::folderChainUsable(const QString &path) const
{
    if (!path.startsWith(m_fileRelayRoot + QLatin1Char('/')))
        return false;
    const QStringList parts = path.mid(m_fileRelayRoot.size() + 1).split(QLatin1Char('/'));
    QString current = m_fileRelayRoot;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        current += QLatin1Char('/') + parts.at(i);
        if (m_knownFolders.contains(current))
            continue;
        const QFileInfo info(current);
        if (info.isSymLink())
            return false;
        if (!info.exists())
            return true;
        if (!info.isDir())
            return false;
        m_knownFolders.insert(current);
    }
    return true;
}

void ExportMessagesDb::placeAttachmentFile(const _MsgAttachment *a, const QString &source,
                                           const QString &target, QString *storedFilename)
{
    // The place the name gives comes first. Other places keep the file name
    // (which the message's logic hash covers) in a folder of the attachment's
    // own below the phone's attachment folder.
    const QString name = attachmentFileName(a->filename);
    const QString ownFolder = m_fileRelayRoot
            + QLatin1String("/var/mobile/Library/SMS/Attachments/_/") + md5Hex(a->guid);
    for (int n = target.isEmpty() ? 1 : 0; n <= kMaxPlacements; ++n) {
        QString candidate;
        if (n == 0)
            candidate = target;
        else if (n == 1)
            candidate = ownFolder + QLatin1Char('/') + name;
        else
            candidate = ownFolder + QLatin1Char('/') + QString::number(n - 1) + QLatin1Char('/')
                    + name;
        if (isReservedPath(candidate) || !folderChainUsable(candidate))
            continue;
        const QFileInfo info(candidate);
        if (info.exists() || info.isSymLink()) {
            // Something is there already: take it only when it is this file.
            if (source.isEmpty() || info.isSymLink() || !info.isFile()
                || !sameFileContent(source, candidate))
                continue;
        } else if (!source.isEmpty()) {
            makeFolder(info.path());
            copyFile(source, candidate, a->guid);
        }
        if (n != 0) {
            const QString rel = candidate.mid(m_fileRelayRoot.size() + 1);
            *storedFilename = QLatin1String("~/") + rel.mid(int(qstrlen("var/mobile/")));
        }
        return;
    }
    throw writerError(QStringLiteral("No place for the attachment file %1 in %2.")
                              .arg(a->filename, m_fileRelayRoot));
}

void ExportMessagesDb::ensureFileAt(const QString &source, const QString &target,
                                    const QString &guid)
{
    if (target.isEmpty() || isReservedPath(target) || !folderChainUsable(target))
        return;
    const QFileInfo info(target);
    if (info.exists() || info.isSymLink())
        return; // never overwritten
    makeFolder(info.path());
    copyFile(source, target, guid);
}

void ExportMessagesDb::makeFolder(const QString &folder)
{
    QStringList missing;
    for (QString f = folder; !m_knownFolders.contains(f) && f.size() > m_fileRelayRoot.size()
         && !QFileInfo(f).exists();
         f = QFileInfo(f).path())
        missing.prepend(f);
    if (!QFileInfo::exists(m_fileRelayRoot) && !QDir().mkpath(m_fileRelayRoot))
        throw writerError(QStringLiteral("Create folder %1 error.").arg(m_fileRelayRoot));
    for (const QString &f : std::as_const(missing)) {
        if (!QDir().mkdir(f))
            throw writerError(QStringLiteral("Create folder %1 error.").arg(f));
        m_createdFolders.append(f);
        m_knownFolders.insert(f);
        // A new folder's own entry lives in its parent.
        m_unsyncedFolders.insert(QFileInfo(f).absolutePath());
    }
}

void ExportMessagesDb::copyFile(const QString &source, const QString &target, const QString &guid)
{
    auto fail = [&](const QString &why) {
        return writerError(
                QStringLiteral("Copy attachment %1 to %2 error. %3").arg(source, target, why));
    };
    QFile in;
    QString refused;
    if (!openAttachmentFile(in, source, &refused))
        throw fail(refused);
    // Written beside the target under another name and renamed when whole,
    // so that a copy that breaks off leaves no partial file under the
    // target name (and the partial one is removed).
    QSaveFile out(target);
    out.setDirectWriteFallback(false);
    if (!out.open(QIODevice::WriteOnly))
        throw fail(out.errorString());
    constexpr qint64 kChunk = 1 << 20;
    QByteArray buffer(kChunk, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), kChunk);
        if (n < 0)
            throw fail(in.errorString());
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n)
            throw fail(out.errorString());
    }
    if (!out.flush() || !syncFileToDisk(out.handle(), target))
        throw fail(QStringLiteral("cannot flush the file to disk"));
    if (!out.commit())
        throw fail(out.errorString());
    m_copiedFiles.append({target, guid});
    m_unsyncedFolders.insert(QFileInfo(target).absolutePath());
    ++m_counts.filesCopied;
}

template<typename Place>
bool ExportMessagesDb::tryCopy(const _MsgAttachment *a, Place place)
{
    const qsizetype folders = m_createdFolders.size();
    try {
        place();
        return true;
    } catch (const std::exception &e) {
        qWarning().noquote() << QStringLiteral("Attachment %1 (%2) stored without its file: %3")
                                        .arg(a->guid, a->filename, QString::fromUtf8(e.what()));
    }
    // The folders made for this file alone go again, deepest first.
    while (m_createdFolders.size() > folders) {
        const QString folder = m_createdFolders.takeLast();
        QDir().rmdir(folder);
        m_unsyncedFolders.remove(folder);
        m_knownFolders.remove(folder);
    }
    ++m_counts.filesNotCopied;
    return false;
}

void ExportMessagesDb::syncFolders()
{
    if (m_unsyncedFolders.isEmpty())
        return;
    QStringList ordered(m_unsyncedFolders.cbegin(), m_unsyncedFolders.cend());
    // Deepest first, so that each folder is flushed before the one naming it.
    std::sort(ordered.begin(), ordered.end(), [](const QString &x, const QString &y) {
        return x.count(QLatin1Char('/')) > y.count(QLatin1Char('/'))
                || (x.count(QLatin1Char('/')) == y.count(QLatin1Char('/')) && x < y);
    });
    for (const QString &f : std::as_const(ordered)) {
        if (!syncFolderToDisk(f))
            qWarning().noquote() << QStringLiteral("Flushing folder %1 to disk failed.").arg(f);
    }
    m_unsyncedFolders.clear();
}
