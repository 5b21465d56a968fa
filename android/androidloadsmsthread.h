#pragma once

#include "android/androiddevice.h"
#include "android/androidsession.h"
#include "store/exportmessagesdb.h"
#include "store/progresspacer.h"

#include <QHash>
#include <QSet>
#include <QThread>

class ProgressForm;
class QFile;
class QTcpSocket;
struct _CountryInfo;

// Whether the phone's cache database holds a load from the phone (its
// tables of phone hashes exist): false for a cache that was never loaded
// or was cleared. Only then does it know what the phone holds. Never throws.
bool androidCacheHoldsLoad(const AndroidDevice &device);

// Loads an Android phone's messages, with their attachments, from the
// companion app into the phone's cache database (androidCacheDir): a local
// message database with two tables of its own:
//   parent_hash(child, parent, phone_id): one row per stored message that
//     came from the phone; child is the stored row's logic hash, parent the
//     logic hash of the message as the phone sent it (one phone message can
//     yield several stored ones: its text, a plain-text part, one per
//     picture);
//     phone_id tells apart the phone's messages under one parent hash
//     (see ensureParentHashTable);
//   valid_hash(hash, phone_id): the phone messages offered in this load.
// A later load stores only what is new, and the messages of the phone that
// are gone from it leave the cache: only after a load whose distinct phone
// messages are as many as the phone announced (when it announced a number),
// and never the messages the transfer wrote that no load has listed yet. A
// message line that arrives damaged ends the load with an error.
//
// The whole load is one transaction: a load that fails or is cancelled
// leaves the cache as it was. Runs under its ProgressForm (runJob); a
// success closes the dialog without a box.
class AndroidLoadSMSThread : public QThread
{
    Q_OBJECT
public:
    // device must outlive the job.
    AndroidLoadSMSThread(AndroidDevice *device, ProgressForm *form, QObject *parent = nullptr);
    ~AndroidLoadSMSThread() override;

    // The most bytes one attachment may bring by default; a larger one ends
    // the load with an error.
    static constexpr qint64 kMaxAttachmentBytes = qint64(1) << 30;
    void setMaxAttachmentBytes(qint64 bytes) { m_maxAttachmentBytes = bytes; }
    // A plain-text part up to this size becomes the message's text; a larger
    // one is kept as a file.
    static constexpr qint64 kMaxTextPartBytes = 4 << 20;

protected:
    void run() override;

private:
    struct Cancelled
    {
    };
    // One phone message being stored: the records every part shares.
    struct PhoneMessage;

    bool stopped() const;
    void checkCancel() const;
    void prepareTables();
    // The bookkeeping indexes the run set aside, built again.
    void createIndexes();
    void receiveBatch();
    void storeMessage(QStringView argument);
    void receiveAttachment(PhoneMessage &pm);
    // hash: the message's logic hash when the caller has it, else null.
    void writeAndRecord(PhoneMessage &pm, const QString *hash = nullptr);
    // Whether the cache has stored the phone message (parent, phoneKey);
    // takes over the rows of an earlier load without ids, or of a transfer,
    // that are this message's.
    bool isKnown(const QString &parent, const QString &phoneKey);
    void prune();
    void vacuum();
    void reportCount();

    AndroidDevice *device;
    ProgressForm *form;
    QTcpSocket *socket = nullptr;
    int totalCount = -1;
    int receivedCount = 0;
    ExportMessagesDb cacheDb;

    IOS6MessageDb *m_db = nullptr;
    // The phone messages the cache has stored something of (listing keys of
    // its parent_hash rows), read when the run begins and kept up to date
    // by it.
    QSet<QString> m_known;
    // Rows of transferred messages no load has listed yet: parent hash to
    // the row's mark.
    QMultiHash<QString, QString> m_transferred;
    // Lines without a phone id so far, by hash.
    QHash<QString, int> m_occurrences;
    // The distinct phone messages listed in this load.
    QSet<QString> m_listed;
    ProgressPacer m_countPacer {0}; // paces the message count shown
    AndroidSession m_session;
    const _CountryInfo *m_country = nullptr;
    qint64 m_maxAttachmentBytes = kMaxAttachmentBytes;
    // The file every attachment part of a run is received into in turn
    // (the writer copies it before the next part comes); made at the first
    // part, open until the run ends and then removed.
    QFile *m_partFile = nullptr;
};
