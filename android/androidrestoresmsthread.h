#pragma once

#include "android/androiddevice.h"
#include "android/androidsession.h"
#include "store/exportmessagesdb.h"
#include "store/msgdataset.h"

#include <QByteArray>
#include <QSet>
#include <QThread>

class ProgressForm;
struct _CountryInfo;

// Writes a list of messages from any source into an Android phone through
// the companion app, in batches of at most 100 with their attachment files,
// and records every message sent in the phone's cache database
// (AndroidLoadSMSThread), so that a message the cache holds already is not
// sent again.
//
// The cache is committed however the job ends (success, cancel, error): what
// it recorded is on the phone. A batch is recorded once the phone has
// answered it, never before: the app saves a batch when it answers, and a
// batch it never confirmed is sent again by the next transfer. Each message
// recorded is also entered in the cache's bookkeeping (parent_hash) under
// the hash the phone will list it by, so that a later load neither stores
// it a second time nor keeps it once the phone has deleted it.
//
// The caller closes its own connection to the cache database before the
// job and reads it again afterwards. Runs under its ProgressForm (runJob);
// a success shows a box with the number of messages transferred.
class AndroidRestoreSMSThread : public QThread
{
    Q_OBJECT
public:
    // device must outlive the job; the records of messages are read only.
    AndroidRestoreSMSThread(AndroidDevice *device, const MsgMessageList &messages,
                            ProgressForm *form, QObject *parent = nullptr);
    ~AndroidRestoreSMSThread() override;

    static constexpr int kBatchSize = 100;
    static constexpr qint64 kChunkSize = 0x80000;
    static constexpr int kMaxPictureSide = 1080;
    // Lines held back before they are handed to the socket.
    static constexpr qsizetype kOutBufferSize = 1 << 20;

    // What the last run did: messages sent and recorded, and those that the
    // cache held already (or that appeared twice in the list).
    int sentCount() const { return m_sent; }
    int alreadyThereCount() const { return m_alreadyThere; }
    int skipped() const { return skippedCount; }

protected:
    void run() override;

private:
    struct Cancelled
    {
    };
    bool stopped() const;
    void checkCancel() const;
    bool alreadyStored(const _MsgMessage *m, const QString &hash);
    void sendMessage(const _MsgMessage *m, const QString &hash);
    // Lines go out through one buffer of ours: a command that expects an
    // answer writes it all and flushes the socket.
    void sendLine(QLatin1StringView command, bool flush);
    void writeOut(bool flush);
    void sendAttachment(const _MsgAttachment *a);
    bool sendPicture(const _MsgAttachment *a);
    void sendFile(const _MsgAttachment *a);
    void recordPending();
    void recordOneByOne();
    void recordOne(_MsgMessage *m, const QString &hash);
    void finishCache() noexcept;

    AndroidDevice *device;
    MsgMessageList messages;
    ProgressForm *form;
    ExportMessagesDb cacheDb;
    int skippedCount = 0;
    QByteArray chunkBuffer;

    IOS6MessageDb *m_db = nullptr;
    const _CountryInfo *m_country = nullptr;
    AndroidSession m_session;
    QTcpSocket *m_socket = nullptr;
    // Lines not yet handed to the socket, and room for the UTF-8 of a field.
    QByteArray m_out;
    QByteArray m_scratch;
    // Sent in the batch the phone has not answered yet, with their logic
    // hashes.
    QList<std::pair<_MsgMessage *, QString>> m_pending;
    // Logic hashes and guids of the messages sent and not yet recorded (a
    // message given twice in the list goes out once).
    QSet<QString> m_sentKeys;
    // A write into the cache failed and its partial rows could not be
    // undone: the cache must not be committed.
    bool m_cacheBroken = false;
    int m_sent = 0;
    int m_alreadyThere = 0;
};
