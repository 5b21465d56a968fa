#include "android/androidrestoresmsthread.h"

#include "android/androidconnect.h"
#include "android/androidmessagecodec.h"
#include "store/attachmentfile.h"
#include "store/countryinfo.h"
#include "store/msgutil.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <exception>
#include <utility>

using namespace simpleprotocol;
using namespace Qt::StringLiterals;

AndroidRestoreSMSThread::AndroidRestoreSMSThread(AndroidDevice *device,
                                                 const MsgMessageList &messages, ProgressForm *form,
                                                 QObject *parent)
    : QThread(parent)
    , device(device)
    , form(form)
    , cacheDb(androidCacheDir(*device), device->mmc)
{
    for (_MsgMessage *m : messages) {
        // Group and system messages have no place on the phone; a message
        // without a conversation could not be recorded in the cache and
        // would go out again at every transfer.
        if (m && m->item_type == 0 && m->handle && m->chat
            && m->chat->ROWID > ExportMessagesDb::kUnknownChatRowid)
            this->messages << m;
        else
            ++skippedCount;
    }
    sortMessages(this->messages);
    m_session.watch(form);
}

AndroidRestoreSMSThread::~AndroidRestoreSMSThread() = default;

bool AndroidRestoreSMSThread::stopped() const
{
    return form->failed || form->hasEnded() || m_session.cancelled();
}

void AndroidRestoreSMSThread::checkCancel() const
{
    if (stopped())
        throw Cancelled();
}

void AndroidRestoreSMSThread::run()
{
    m_sent = m_alreadyThere = 0;
    m_pending.clear();
    m_sentKeys.clear();
    m_out.resize(0);
    m_cacheBroken = false;
    form->postUpdateProgress(ids("IDS_RESTORING_SMS_TO_ANDROID"), 0, QString());
    bool switched = false;
    int index = 0;
    try {
        // Taken before the run begins: during the run the writer would first
        // write the chat updates it holds back at every call.
        m_db = &cacheDb.database();
        m_db->ensureOpen();
        // What is sent is recorded under the hash the phone will list it
        // by, so that a load takes it for the phone's own message.
        ensureParentHashTable(*m_db);
        m_country = &m_db->countryLib().country();
        cacheDb.begin();
        {
            // The journal of each batch's mark stays in memory: a batch
            // touches a few hundred pages of the cache at most.
            QString error;
            m_db->exec(QStringLiteral("PRAGMA temp_store=MEMORY;"), error);
        }
        const QString url = QStringLiteral("restore2://127.0.0.1:%1/mms/").arg(freeSessionPort());
        m_session.set(device->openSession(url, kSessionOpenTimeout, m_session.canceller()));
        m_socket = m_session.get();
        // Answers and the lines that wait for one leave at once rather than
        // behind the acknowledgement of the line before.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        const QString asked = expectCommand(m_socket, QStringLiteral("$defsmsapp:"), -1);
        if (asked.mid(11).trimmed().toInt() != 0) {
            if (!form->waitTips(ids("IDS_ANDROID_DEFAULT_SMS_APP_TIPS")))
                throw Cancelled();
            checkCancel();
            sendCommand(m_socket, QStringLiteral("$defsmsapp:"), QString(), true, -1);
            switched = true;
        }

        const int total = int(messages.size());
        const QString counting = ids("IDS_ANDROID_SENDING_SMS_%1_%2");
        ProgressPacer pacer(100);
        while (index < total) {
            checkCancel();
            const int batch = qMin(total - index, kBatchSize);
            sendLine("$batch:"_L1, true);
            for (int k = 0; k < batch; ++k) {
                checkCancel();
                const _MsgMessage *m = messages.at(index);
                ++index;
                const int percent = int(double(index) / double(total) * 100.0);
                if (pacer.due(percent, index == total))
                    form->postUpdateProgress(QString(), percent, counting.arg(index).arg(total));
                const QString hash = logicHash(*m);
                if (alreadyStored(m, hash)) {
                    ++m_alreadyThere;
                    continue;
                }
                sendMessage(m, hash);
            }
            sendLine("$end:"_L1, true);
            expectCommand(m_socket, QStringLiteral("$batch:"), -1);
            // The phone's answer says it has saved the batch: only now are
            // its messages on the phone. A batch it never confirmed goes
            // out again with the next transfer.
            recordPending();
        }
        // Every batch was acknowledged: the messages are on the phone, and
        // the transfer is done. Cancel is refused from here; one that came
        // after the last acknowledgement (it may have cut the goodbye short)
        // is answered by the success the transfer is.
        form->beginCommit();
        try {
            sendLine("$bye:"_L1, true);
        } catch (const std::exception &e) {
            qDebug("AndroidRestoreSMSThread, the goodbye did not reach the phone: %s", e.what());
        }
        finishCache();

        QString text = ids("IDS_SUC_RESTORE_%1_SMS_TO_ANDROID").arg(index);
        if (skippedCount != 0)
            text += ids("IDS_SKIP_%1_SMS_GROUP_OR_SYS_MESSAGES").arg(skippedCount);
        if (switched)
            text += ids("IDS_ANDROID_DEFAULT_SMS_APP_RESUME");
        m_session.close();
        m_socket = nullptr;
        form->postSucceed(text);
    } catch (const Cancelled &) {
        m_session.close();
        m_socket = nullptr;
        finishCache();
    } catch (const std::exception &e) {
        m_session.close();
        m_socket = nullptr;
        finishCache();
        if (stopped())
            return; // a cancel that cut the connection short
        form->postErrorOccurred(boxTextOf(e));
    }
}

bool AndroidRestoreSMSThread::alreadyStored(const _MsgMessage *m, const QString &hash)
{
    if (m_sentKeys.contains(hash) || (!m->guid.isEmpty() && m_sentKeys.contains(m->guid)))
        return true;
    // What the writer would take for a stored message: the same logic hash,
    // else the same guid (an empty guid matches nothing).
    if (m->guid.isEmpty())
        return m_db->messageRowidByLogicHash(m) != 0;
    return cacheDb.storedMessageRowid(const_cast<_MsgMessage *>(m), hash) != 0;
}

void AndroidRestoreSMSThread::sendMessage(const _MsgMessage *m, const QString &hash)
{
    const qint64 dateMs = (qint64(m->date) + kIosEpochOffset) * 1000;
    QList<_MsgAttachment *> attachments;
    if (!m->attachments.isEmpty()) {
        attachments = sortedAttachments(*m);
        attachments.removeAll(nullptr);
    }
    // "$sms:" date, sent flag, sender, text, subject, attachment count.
    m_out += "$sms:";
    m_out += QByteArray::number(dateMs);
    m_out += m->is_from_me != 0 ? ",1," : ",0,";
    appendEncodedText(m_out, m->handle->id, m_scratch);
    m_out += ',';
    appendEncodedText(m_out, messageBodyText(*m), m_scratch);
    m_out += ',';
    appendEncodedText(m_out, m->subject, m_scratch);
    m_out += ',';
    m_out += QByteArray::number(attachments.size());
    m_out += '\n';
    // Not flushed; a large backlog is handed to the socket all the same.
    if (m_out.size() >= kOutBufferSize)
        writeOut(false);
    m_sentKeys.insert(hash);
    if (!m->guid.isEmpty())
        m_sentKeys.insert(m->guid);
    m_pending.append({const_cast<_MsgMessage *>(m), hash});
    if (attachments.isEmpty())
        return;
    writeOut(true);
    for (const _MsgAttachment *a : attachments)
        sendAttachment(a);
}

void AndroidRestoreSMSThread::sendLine(QLatin1StringView command, bool flush)
{
    m_out += QByteArrayView(command.data(), command.size());
    m_out += '\n';
    writeOut(flush);
}

void AndroidRestoreSMSThread::writeOut(bool flush)
{
    writeAll(m_socket, m_out.constData(), m_out.size(), flush, -1);
    m_out.resize(0); // keeps its room for the next lines
}

void AndroidRestoreSMSThread::sendAttachment(const _MsgAttachment *a)
{
    checkCancel();
    // Type and name come from the source as they stand (a file name may
    // hold a line feed): a line break in them would end the line early and
    // the rest would be taken for data.
    sendCommand(m_socket, QStringLiteral("$atta:"),
                protocolLineField(a->mime_type, true) + QLatin1Char(',')
                        + protocolLineField(QFileInfo(a->localPath).fileName()),
                true, -1);
    if (a->mime_type.startsWith(QLatin1String("image"), Qt::CaseInsensitive)) {
        if (!sendPicture(a))
            qDebug("AndroidRestoreSMSThread, picture %s not sent", qUtf8Printable(a->localPath));
    } else {
        sendFile(a);
    }
    sendCommand(m_socket, QStringLiteral("."), QString(), true, -1);
    expectCommand(m_socket, QStringLiteral("."), -1);
}

bool AndroidRestoreSMSThread::sendPicture(const _MsgAttachment *a)
{
    // Only a regular file: a pipe would block, a link could send any file.
    QImage picture = loadAttachmentPicture(a->localPath);
    if (picture.isNull())
        return false;
    if (qMax(picture.width(), picture.height()) > kMaxPictureSide) {
        picture = picture.width() > picture.height()
                ? picture.scaledToWidth(kMaxPictureSide, Qt::FastTransformation)
                : picture.scaledToHeight(kMaxPictureSide, Qt::FastTransformation);
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    const bool png = a->mime_type.endsWith(QLatin1String("png"), Qt::CaseInsensitive);
    if (!picture.save(&buffer, png ? "PNG" : "JPEG"))
        return false;
    buffer.close();
    sendCommand(m_socket, QString::fromLatin1(encoded.toBase64()), QString(), false, -1);
    return true;
}

void AndroidRestoreSMSThread::sendFile(const _MsgAttachment *a)
{
    QFile file;
    if (!openAttachmentFile(file, a->localPath))
        return;
    if (chunkBuffer.size() != kChunkSize)
        chunkBuffer.resize(kChunkSize);
    const QString name = protocolLineField(QFileInfo(a->localPath).fileName());
    const qint64 size = file.size();
    qint64 sent = 0;
    for (;;) {
        const qint64 n = file.read(chunkBuffer.data(), kChunkSize);
        if (n <= 0)
            break;
        sendCommand(
                m_socket,
                QString::fromLatin1(
                        QByteArray::fromRawData(chunkBuffer.constData(), qsizetype(n)).toBase64()),
                QString(), false, -1);
        sent += n;
        form->postUpdateProgress(QString(), -1,
                                 QStringLiteral("Sending %1, %L2/%L3 KB")
                                         .arg(name)
                                         .arg(sent / 1024)
                                         .arg(size / 1024));
        checkCancel();
    }
}

void AndroidRestoreSMSThread::recordPending()
{
    if (m_pending.isEmpty())
        return;
    // Called once the phone has answered the batch: what is pending is on
    // the phone. Recorded together under one mark; when a write fails, the lot is
    // undone and recorded again one by one, so that every message before
    // the failing one stays recorded and the failing one leaves no rows.
    std::exception_ptr failure;
    cacheDb.setMark();
    try {
        for (const auto &[m, hash] : std::as_const(m_pending))
            recordOne(m, hash);
        cacheDb.releaseMark();
    } catch (...) {
        failure = std::current_exception();
    }
    if (!failure) {
        m_sent += int(m_pending.size());
        m_pending.clear();
        // The cache answers for them now.
        m_sentKeys.clear();
        return;
    }
    try {
        cacheDb.rollBackToMark();
    } catch (...) {
        m_cacheBroken = true;
        std::rethrow_exception(failure);
    }
    recordOneByOne();
}

void AndroidRestoreSMSThread::recordOneByOne()
{
    for (const auto &[m, hash] : std::as_const(m_pending)) {
        cacheDb.setMark();
        try {
            recordOne(m, hash);
            cacheDb.releaseMark();
        } catch (...) {
            try {
                cacheDb.rollBackToMark();
            } catch (...) {
                m_cacheBroken = true;
            }
            throw;
        }
        ++m_sent;
    }
    m_pending.clear();
    m_sentKeys.clear();
}

void AndroidRestoreSMSThread::recordOne(_MsgMessage *m, const QString &hash)
{
    const int added = cacheDb.counts().added;
    cacheDb.write(m, hash);
    const QString &child = cacheDb.lastLogicHash();
    if (child.isNull() || cacheDb.counts().added == added)
        return; // not stored, or the cache had it: nothing of ours to follow
    // The phone lists the message under the hash of its correspondent,
    // date, direction and text; a load that meets it takes it for this row
    // rather than storing it (and its pictures) a second time, and from
    // then on removes it when the phone no longer has it.
    const QString parent = phoneListingHash(normalizeNumber(*m_country, m->handle->id), m->date,
                                            m->is_from_me != 0, messageBodyText(*m));
    m_db->executeThrow(Sqlite3Sql("insert into parent_hash(child,parent,phone_id) values(?,?,?)")
                               .addTextParam(child)
                               .addTextParam(parent)
                               .addTextParam(kTransferredMark + child));
}

void AndroidRestoreSMSThread::finishCache() noexcept
{
    // Messages whose lines never left this computer are not on the phone.
    m_pending.clear();
    if (m_cacheBroken) {
        qWarning("AndroidRestoreSMSThread, the cache could not be kept consistent; "
                 "its changes are dropped");
        cacheDb.abort();
        return;
    }
    try {
        cacheDb.end();
    } catch (const std::exception &e) {
        qWarning("AndroidRestoreSMSThread, committing the cache failed: %s", e.what());
    }
}
