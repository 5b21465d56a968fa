#pragma once

#include "store/absformatexport.h"
#include "store/ios6messagedb.h"
#include "store/msgdataset.h"

#include <QDir>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <vector>

// The one writer of the program's own message databases (local databases,
// the cache of an Android phone, converted old databases). It merges: a
// message the target already holds (same logic hash, else same guid) is not
// stored again but still joined to the conversation being written;
// conversations and correspondents are matched to existing rows; attachment
// files are copied into the target store folder.
//
// A run is one transaction: begin, write for each message, end. A run that
// does not reach end (abort, an exception, the database closed by its user,
// or the writer destroyed) keeps nothing: the transaction is rolled back and
// the attachment files this run copied are removed again. A user that
// commits through database() keeps the run's rows and their files.
//
// An attachment whose file cannot be copied (unreadable, a name the file
// system refuses, a full disk) does not stop the run: its message and
// attachment row are stored without a local file, as a phone keeps an
// attachment it never downloaded; the failure is logged and counted.
//
// Every copied file is flushed to disk, and then the folders that name it,
// before the commit that refers to it.
//
// Attachment files land below the target's "file-relay" folder at the path
// their phone name gives, never outside it: a name that would lead out of
// the folder, onto the database's own files, or onto a different file that
// is already there, is given a new place (same file name, another folder)
// and the stored attachment row names that place.
class ExportMessagesDb : public AbsFormatExport<_MsgMessage>
{
public:
    // folder: the target store folder (its database is
    // file-relay/var/mobile/Library/SMS/sms.db, created when missing); mcc:
    // the mobile country code of the source phone. Nothing is opened yet.
    ExportMessagesDb(const QDir &folder, const QString &mcc);
    // Aborts a run that was begun and not ended.
    ~ExportMessagesDb() override;

    // Opens (creating or upgrading) the database and begins the transaction.
    void begin() override;
    // Merges one message with its conversation, correspondents and
    // attachments; skips a message without a conversation, one of the
    // conversation of unknown correspondents (recovered messages) and an
    // event the target cannot hold. Throws the database's exceptions; the
    // run must then be aborted (or the writer destroyed).
    void write(_MsgMessage *m) override;
    // The same, for a caller that has the message's logic hash already.
    void write(_MsgMessage *m, const QString &hash);
    // Commits and closes. When the commit fails, the run is aborted and the
    // exception passed on.
    void end() override;
    // Rolls the run back, closes the database and removes the files and
    // folders the run made. Never throws; harmless outside a run.
    void abort() noexcept;

    // The target database, for users that keep tables of their own in it
    // (the Android cache). Its chats, handles, messages and attachments must
    // not be changed by others between begin and the last write: the writer
    // remembers what it has matched and stored during a run.
    // Before handing it out, the chat updates the run holds back (newest
    // date, last sender of a group) are written, so that a user who commits
    // through the database keeps them; that may throw the database's
    // exceptions.
    IOS6MessageDb &database()
    {
        if (m_running) {
            flushChatUpdates();
            syncFolders();
        }
        return m_db;
    }

    // A point of the run to come back to, for users that write many
    // messages and want all of them or, after a failure, know exactly which
    // stand (one mark at a time, within a run): rollBackToMark undoes the
    // rows written since, releaseMark keeps them. After a roll-back the
    // writer forgets the rows it matched or stored and reads the database
    // again when it needs them; attachment files copied since the mark stay
    // (a later write of the same attachment takes them again). These throw
    // the database's exceptions; a failed roll-back leaves a run that must
    // be aborted.
    void setMark();
    void releaseMark();
    void rollBackToMark();

    // What the current (or last) run did.
    struct Counts
    {
        int added = 0; // messages stored as new rows
        int existing = 0; // messages found already stored
        int skipped = 0; // messages that cannot be stored
        int filesCopied = 0; // attachment files copied
        int filesNotCopied = 0; // attachments stored without their file: the copy failed
    };
    const Counts &counts() const { return m_counts; }
    // The row of the target (or of this run) that write would take m for,
    // hash being its logic hash; 0 when it would store m as new. Only
    // within a run.
    qint64 storedMessageRowid(_MsgMessage *m, const QString &hash)
    {
        return m_running ? messageRowid(m, hash) : 0;
    }
    // The logic hash of the message the last write stored or found; null
    // when it skipped the message.
    const QString &lastLogicHash() const { return m_lastLogicHash; }

    // Chats whose ROWID is at most this collect recovered messages whose
    // correspondent is unknown; their messages are not written.
    static constexpr qint64 kUnknownChatRowid = -2047483647;

    // Called with every file and folder flushed to disk, in order (for tests).
    static inline std::function<void(const QString &)> diskSyncObserver;

private:
    void writeMessage(_MsgMessage *m, const QString *knownHash);
    void resetRun();
    void forgetRowsRead();
    qint64 chatRowid(_MsgChat *chat);
    qint64 handleRowid(_MsgHandle *handle, qint64 chatId);
    struct HashKey
    {
        quint64 hi = 0, lo = 0;
        friend bool operator==(const HashKey &a, const HashKey &b)
        {
            return a.hi == b.hi && a.lo == b.lo;
        }
        friend size_t qHash(const HashKey &k, size_t seed = 0) noexcept
        {
            return size_t(k.hi ^ (k.lo * 0x9e3779b97f4a7c15ULL)) ^ seed;
        }
    };
    static HashKey hashKey(const QString &hash, bool *ok);
    static quint64 guidKey(const QString &guid);
    void loadMessageIndex();
    // The keys of a message's guid and logic hash, made once per write.
    struct MessageKeys
    {
        quint64 guid = 0;
        HashKey hash;
        bool hashOk = false;
        bool hashKnown = false;
        bool ready = false; // made for the current index of the run
    };
    // Makes the keys of m (reading the run's index first when needed) and
    // starts fetching their places in the tables.
    void prepareKeys(const _MsgMessage *m, const QString &hash, MessageKeys *keys);
    void rememberMessage(qint64 rowid, const QString &guid, const QString &hash,
                         const MessageKeys *keys = nullptr);
    // keys, when given, receives the keys the look-up made.
    qint64 messageRowid(_MsgMessage *m, const QString &hash, MessageKeys *keys = nullptr);
    bool chatHasMessage(qint64 chatId, qint64 messageId);
    void joinChatMessage(qint64 chatId, qint64 messageId);
    void flushChatUpdates();
    bool hasRow(const char *sql, qint64 a, qint64 b);
    void writeAttachment(_MsgAttachment *a, qint64 messageId, bool messageExisted);
    qint64 sameAttachmentOfMessage(const _MsgAttachment *a, qint64 messageId);
    // Finds the place of a new attachment's file (copying source there when
    // given) and sets storedFilename when it is not the one a's name gives.
    void placeAttachmentFile(const _MsgAttachment *a, const QString &source, const QString &target,
                             QString *storedFilename);
    void ensureFileAt(const QString &source, const QString &target, const QString &guid);
    bool isReservedPath(const QString &path) const;
    bool folderChainUsable(const QString &path) const;
    void makeFolder(const QString &folder);
    void copyFile(const QString &source, const QString &target, const QString &guid);
    // Runs place (which copies a file) and, when it throws, logs and counts
    // the attachment as not copied and removes the folders it made; false
    // then.
    template<typename Place>
    bool tryCopy(const _MsgAttachment *a, Place place);
    // Flushes the folders of the files copied since the last call.
    void syncFolders();
    void removeRunFiles() noexcept;

    IOS6MessageDb m_db;
    QString m_fileRelayRoot; // cleaned absolute path of the target's file-relay

    bool m_running = false;
    Counts m_counts;
    QString m_lastLogicHash;
    // Rows matched or made during the run.
    QHash<QString, qint64> m_chatIds; // by guid
    struct HandleKey
    {
        QString id, service;
        friend bool operator==(const HandleKey &a, const HandleKey &b)
        {
            return a.id == b.id && a.service == b.service;
        }
        friend size_t qHash(const HandleKey &k, size_t seed = 0) noexcept
        {
            return qHashMulti(seed, k.id, k.service);
        }
    };
    QHash<HandleKey, qint64> m_handleIds;
    // Attachment guids the target holds, by key (read at the run's first
    // attachment, kept up to date by it): a guid whose key is missing is
    // new without asking the database.
    QSet<quint64> m_attachmentGuidKeys;
    bool m_attachmentGuidsLoaded = false;
    qint64 attachmentRowid(const _MsgAttachment *a);
    QSet<QPair<qint64, qint64>> m_chatHandleJoins;
    // The stored messages by logic hash (the oldest row of each) and by a
    // key of their guid, read at the first write of a run and kept up to
    // date by it; and the messages of each chat the run has touched.
    // An open-addressing table for the run's hundreds of thousands of
    // look-ups: one probe over one array, no node per entry. Keys are
    // hashes already; entries are only added (or all cleared).
    template<typename Key, typename Value>
    class FlatTable
    {
    public:
        void clear()
        {
            m_slots = std::vector<Slot>();
            m_size = 0;
        }
        // The value of key; null when key is missing.
        const Value *find(const Key &key) const
        {
            if (m_slots.empty())
                return nullptr;
            const size_t mask = m_slots.size() - 1;
            for (size_t i = slotOf(key, mask);; i = (i + 1) & mask) {
                const Slot &s = m_slots[i];
                if (!s.used)
                    return nullptr;
                if (s.key == key)
                    return &s.value;
            }
        }
        // Adds key with value unless key is there already (then its value
        // stays).
        void insertNew(const Key &key, const Value &value)
        {
            if ((m_size + 1) * 2 > m_slots.size())
                grow();
            const size_t mask = m_slots.size() - 1;
            for (size_t i = slotOf(key, mask);; i = (i + 1) & mask) {
                Slot &s = m_slots[i];
                if (!s.used) {
                    s = Slot {key, value, true};
                    ++m_size;
                    return;
                }
                if (s.key == key)
                    return;
            }
        }

        // Starts loading key's first place into the cache.
        void prefetch(const Key &key) const
        {
#if defined(__GNUC__) || defined(__clang__)
            if (!m_slots.empty())
                __builtin_prefetch(&m_slots[slotOf(key, m_slots.size() - 1)]);
#else
            Q_UNUSED(key);
#endif
        }

    private:
        struct Slot
        {
            Key key {};
            Value value {};
            bool used = false;
        };
        static size_t slotOf(const Key &key, size_t mask)
        {
            return size_t((quint64(qHash(key)) * 0x9e3779b97f4a7c15ULL) >> 32) & mask;
        }
        void grow()
        {
            std::vector<Slot> old = std::exchange(
                    m_slots, std::vector<Slot>(std::max<size_t>(64, m_slots.size() * 2)));
            m_size = 0;
            for (const Slot &s : old)
                if (s.used)
                    insertNew(s.key, s.value);
        }
        std::vector<Slot> m_slots;
        size_t m_size = 0;
    };
    FlatTable<HashKey, qint64> m_byLogicHash;
    QHash<QString, qint64> m_byOddHash; // logic_hash texts of another form
    FlatTable<quint64, bool> m_byGuidKey;
    bool m_hasLogicHash = false;
    bool m_messageIndexLoaded = false;
    QHash<qint64, QSet<qint64>> m_chatMessages;
    // Held back until the run ends: each chat's newest date and the last
    // sender of each group chat.
    QHash<qint64, int> m_chatLast;
    QHash<qint64, QString> m_lastAddressed;
    // Files (with the guid of their attachment) and folders this run made,
    // removed again when it is not kept.
    struct CopiedFile
    {
        QString path;
        QString guid;
    };
    QList<CopiedFile> m_copiedFiles;
    QStringList m_createdFolders;
    // Folders whose new entries are not flushed to disk yet.
    QSet<QString> m_unsyncedFolders;
    // Folders below the file-relay found to be real folders (or made) during
    // the run: each is looked at on disk once per run, not once per file.
    mutable QSet<QString> m_knownFolders;
    // Local paths of attachment names, made at the run's first attachment.
    std::unique_ptr<IOS6MessageDb::AttachmentLocalPaths> m_localPaths;
    QString localPath(const QString &filename);
    // What setMark saw of the run's own memory.
    struct Mark
    {
        bool set = false;
        Counts counts;
        QHash<qint64, int> chatLast;
        QHash<qint64, QString> lastAddressed;
    };
    Mark m_mark;
};
