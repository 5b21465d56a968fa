#include "android/androidloadsmsthread.h"

#include "android/androidconnect.h"
#include "android/androidmessagecodec.h"
#include "android/simpleprotocol.h"
#include "store/countryinfo.h"
#include "store/msgutil.h"
#include "store/messagebox.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <limits>

using namespace simpleprotocol;
using namespace Qt::StringLiterals;

namespace {

// How often the received size of an attachment is shown, at most.
constexpr int kProgressInterval = 100;

// The file an attachment part is received into, removed whatever happens.
class PartFile
{
public:
    PartFile()
        : m_file(QDir::temp().absoluteFilePath(newGuid()))
    { }
    ~PartFile()
    {
        m_file.close();
        QFile::remove(m_file.fileName());
    }
    QFile &file() { return m_file; }

private:
    QFile m_file;
};

// The SQL condition that the bookkeeping row named row is valid in this
// load: the phone listed its message (by hash and id), or it is a message
// the transfer wrote that no load has listed yet.
QString validParent(QLatin1StringView row)
{
    // The pairs of valid_hash are gathered once into a look-up of their own
    // (a list, not a query per row).
    return QStringLiteral("(substr(coalesce(%1.phone_id, ''), 1, 1) = '%2' or (%1.parent, "
                          "coalesce(%1.phone_id, '')) in (select hash, coalesce(phone_id, '') "
                          "from valid_hash))")
            .arg(row, QString(kTransferredMark));
}

// A phone message's key in the sets of a load: its hash and which of the
// phone's messages under that hash it is.
QString listingKey(const QString &parent, const QString &phoneKey)
{
    return parent + QLatin1Char('\n') + phoneKey;
}

// The phone's id of a message from its listing line: ASCII letters, digits
// and "-_.:" only (never the bookkeeping's own marks "#" and "~"), at most
// 64 of them; empty when there is none or the field is something else (the
// message is then told apart by its place in the listing).
QString phoneMessageId(QStringView field)
{
    const QStringView id = field.trimmed();
    if (id.isEmpty() || id.size() > 64)
        return QString();
    for (const QChar c : id)
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != QLatin1Char('-')
            && c != QLatin1Char('_') && c != QLatin1Char('.') && c != QLatin1Char(':'))
            return QString();
    return id.toString();
}

// A line quoted in an error, cut short.
QString shownLine(const QString &line)
{
    return line.size() > 80 ? line.left(80) + QLatin1String("...") : line;
}

qint32 iosDateOfMs(qint64 ms)
{
    const qint64 seconds = ms / 1000 - kIosEpochOffset;
    const qint64 low = std::numeric_limits<qint32>::min();
    const qint64 high = std::numeric_limits<qint32>::max();
    return qint32(qBound(low, seconds, high));
}

} // namespace

bool androidCacheHoldsLoad(const AndroidDevice &device)
{
    const QString path = androidCacheDir(device).absoluteFilePath(
            QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
    if (!QFileInfo(path).isFile())
        return false;
    try {
        Sqlite3DB db;
        db.openThrow(path, Sqlite3DB::ReadOnly);
        return !db.tbInfo(QStringLiteral("valid_hash")).isEmpty()
                && !db.tbInfo(QStringLiteral("parent_hash")).isEmpty();
    } catch (const std::exception &e) {
        qDebug("androidCacheHoldsLoad: %s", e.what());
        return false;
    }
}

// The records that every part of one phone message shares: each part
// changes only the fields it needs and keeps the rest as the previous part
// left them.
struct AndroidLoadSMSThread::PhoneMessage
{
    _MsgHandle handle;
    _MsgChat chat;
    _MsgMessage message;
    _MsgAttachment attachment;
    QString parentHash;
    QString phoneKey; // which phone message under parentHash; empty: the first
    QSet<QString> usedNames; // attachment names (lower case) of this message
};

AndroidLoadSMSThread::AndroidLoadSMSThread(AndroidDevice *device, ProgressForm *form,
                                           QObject *parent)
    : QThread(parent)
    , device(device)
    , form(form)
    , cacheDb(androidCacheDir(*device), device->mmc)
{
    m_session.watch(form);
}

AndroidLoadSMSThread::~AndroidLoadSMSThread() = default;

bool AndroidLoadSMSThread::stopped() const
{
    return form->failed || form->hasEnded() || m_session.cancelled();
}

void AndroidLoadSMSThread::checkCancel() const
{
    if (stopped())
        throw Cancelled();
}

void AndroidLoadSMSThread::run()
{
    totalCount = -1;
    receivedCount = 0;
    m_countPacer = ProgressPacer(kProgressInterval);
    form->postUpdateProgress(ids("IDS_ANDROID_LOADING_SMS"), 0, QString());
    PartFile part;
    m_partFile = &part.file();
    struct Forget
    {
        QFile *&file;
        ~Forget() { file = nullptr; }
    } forget {m_partFile};
    try {
        prepareTables();
        // The country is settled once; the database object keeps it.
        m_country = &cacheDb.database().countryLib().country();
        // Taken before the run begins: during the run the writer would first
        // write the chat updates it holds back at every call.
        m_db = &cacheDb.database();
        IOS6MessageDb &db = *m_db;
        cacheDb.begin();
        db.executeThrow(Sqlite3Sql("delete from valid_hash"));
        m_known.clear();
        m_transferred.clear();
        m_occurrences.clear();
        m_listed.clear();
        {
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
                    "select distinct parent, phone_id from parent_hash where parent is not null"));
            while (c.moveNext()) {
                const QString parent = c.getText(0);
                const QString phoneId = c.getText(1);
                if (phoneId.startsWith(kTransferredMark))
                    m_transferred.insert(parent, phoneId);
                else
                    m_known.insert(listingKey(parent, phoneId));
            }
        }
        const bool parentsEmpty
                = !db.queryThrow(Sqlite3Sql("select 1 from parent_hash limit 1")).moveNext();
        // Nothing reads the bookkeeping tables during the session (known
        // parents are held in memory): an index that starts empty is built
        // once after its rows rather than grown row by row, which costs a
        // first load a tenth of its time. valid_hash starts empty at every
        // load; parent_hash only at the first. Both come back before the
        // pruning reads them, within the load's transaction.
        db.executeThrow(Sqlite3Sql("drop index if exists idx_valid_hash"));
        if (parentsEmpty) {
            db.executeThrow(Sqlite3Sql("drop index if exists idx_parent_hash_child"));
            db.executeThrow(Sqlite3Sql("drop index if exists idx_parent_hash_parent"));
        }

        const QString url = QStringLiteral("backup2://127.0.0.1:%1/mms/").arg(freeSessionPort());
        m_session.set(device->openSession(url, kSessionOpenTimeout, m_session.canceller()));
        socket = m_session.get();
        // Answers and the lines that wait for one leave at once rather than
        // behind the acknowledgement of the line before.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);

        for (;;) {
            checkCancel();
            const QString line = readCommand(socket, -1);
            if (line.startsWith(QLatin1String("$count:"))) {
                bool ok = false;
                totalCount = line.mid(7).trimmed().toInt(&ok);
                if (!ok || totalCount <= 0)
                    totalCount = -1;
            } else if (line.startsWith(QLatin1String("$batch:"))) {
                receiveBatch();
            } else if (line.startsWith(QLatin1String("$bye:"))) {
                break;
            }
        }
        try {
            sendCommand(socket, QStringLiteral("$bye:"), QString(), true, -1);
        } catch (const SocketDataTransferException &e) {
            // The phone has said goodbye: everything has arrived even when
            // it went away without waiting for ours.
            checkCancel();
            qDebug("AndroidLoadSMSThread, the goodbye did not reach the phone: %s", e.what());
        }
        m_session.close();
        socket = nullptr;
        // Indexes, pruning, commit and compacting go to their end.
        if (!form->beginCommit())
            throw Cancelled();

        createIndexes();
        // A phone whose distinct messages do not add up to the number it
        // announced has not offered all it holds (or has offered lines
        // twice): what it left out is not gone from it. Counted by the
        // phone's messages, not by lines: a line sent twice is one message.
        if (totalCount > 0 && m_listed.size() != totalCount)
            qWarning("AndroidLoadSMSThread, %lld distinct messages of %d announced; nothing is "
                     "removed",
                     static_cast<long long>(m_listed.size()), totalCount);
        else
            prune();
        cacheDb.end();
        vacuum();
        // Attachments whose file could not be copied are told at the end.
        const int notCopied = cacheDb.counts().filesNotCopied;
        form->postSucceed(notCopied > 0 ? ids("IDS_ATTACHMENTS_NOT_COPIED_%1").arg(notCopied)
                                        : QString());
    } catch (const Cancelled &) {
        cacheDb.abort();
        m_session.close();
        socket = nullptr;
    } catch (const std::exception &e) {
        cacheDb.abort();
        m_session.close();
        socket = nullptr;
        if (stopped())
            return; // a cancel that cut the connection short
        form->postErrorOccurred(boxTextOf(e));
    }
}

void AndroidLoadSMSThread::prepareTables()
{
    IOS6MessageDb &db = cacheDb.database();
    db.ensureOpen();
    auto hasTable = [&db](const char *name) {
        Sqlite3Cursor c = db.queryThrow(
                Sqlite3Sql("select 1 from sqlite_master where name=? and type='table'")
                        .addTextParam(QLatin1String(name)));
        return c.moveNext();
    };
    ensureParentHashTable(db);
    if (!hasTable("valid_hash")) {
        db.executeThrow(Sqlite3Sql("CREATE TABLE valid_hash(hash TEXT, phone_id TEXT)"));
        db.executeThrow(Sqlite3Sql("CREATE INDEX idx_valid_hash on valid_hash(hash)"));
    } else if (!db.tbInfo(QStringLiteral("valid_hash")).contains(QLatin1String("phone_id"))) {
        db.executeThrow(Sqlite3Sql("ALTER TABLE valid_hash ADD COLUMN phone_id TEXT"));
    }
}

void AndroidLoadSMSThread::createIndexes()
{
    IOS6MessageDb &db = *m_db;
    db.executeThrow(Sqlite3Sql("CREATE INDEX IF NOT EXISTS idx_valid_hash on valid_hash(hash)"));
    db.executeThrow(Sqlite3Sql(
            "CREATE INDEX IF NOT EXISTS idx_parent_hash_child on parent_hash(child)"));
    db.executeThrow(Sqlite3Sql(
            "CREATE INDEX IF NOT EXISTS idx_parent_hash_parent on parent_hash(parent)"));
}

void AndroidLoadSMSThread::reportCount()
{
    // A phone that announced fewer messages than it sends never shows more
    // than a full bar.
    const int value = totalCount > 0
            ? int(qMin(100.0, double(receivedCount) / double(totalCount) * 100.0))
            : -1;
    if (!m_countPacer.due(value, receivedCount == totalCount))
        return;
    form->postUpdateProgress(QString(), value,
                             QStringLiteral("sms: %1/%2").arg(receivedCount).arg(totalCount));
}

void AndroidLoadSMSThread::receiveBatch()
{
    for (;;) {
        checkCancel();
        const QString line = readCommand(socket, -1);
        if (line.startsWith(QLatin1String("$sms:"))) {
            ++receivedCount;
            reportCount();
            storeMessage(QStringView(line).mid(5));
        } else if (line.startsWith(QLatin1String("$end:"))) {
            break;
        } else if (line.startsWith(QLatin1String("$bye:"))) {
            // Ending the session inside a batch would leave the batch's
            // answer waited for by both sides.
            throw LocalException(socket, QStringLiteral("$bye: inside a batch."));
        } else if (!line.isEmpty() && !line.startsWith(QLatin1Char('$'))) {
            // No command: the rest of a message line cut in two. Its
            // message never arrived whole, so the load cannot tell what the
            // phone holds.
            throw LocalException(
                    socket, QStringLiteral("damaged line [%1] in a batch.").arg(shownLine(line)));
        }
    }
    sendCommand(socket, QStringLiteral("$batch:"), QString(), true, -1);
}

void AndroidLoadSMSThread::storeMessage(QStringView argument)
{
    const QList<QStringView> fields = argument.split(u',', Qt::KeepEmptyParts);
    // A line with too few fields, or with a date or part count that is no
    // number, was cut or damaged on its way: an error of the load, since a
    // message skipped here would be taken for one the phone has deleted.
    bool dateOk = false;
    const qint64 dateMs = fields.value(0).trimmed().toLongLong(&dateOk);
    bool partsOk = true;
    const QStringView partsField = fields.value(6).trimmed();
    const int parts = partsField.isEmpty() ? 0 : partsField.toInt(&partsOk);
    const QString phoneId = phoneMessageId(fields.value(7));
    if (fields.size() < 6 || !dateOk || !partsOk)
        throw LocalException(socket,
                             QStringLiteral("damaged message line [$sms:%1].")
                                     .arg(shownLine(argument.toString())));
    IOS6MessageDb &db = *m_db;

    PhoneMessage pm;
    const QString address = normalizeNumber(*m_country, decodeArgumentText(socket, fields.at(2)));
    pm.handle.id = address;
    pm.handle.service = QStringLiteral("SMS");
    pm.handle.contactName = decodeArgumentText(socket, fields.at(3));

    pm.chat.style = 45;
    pm.chat.state = 3;
    pm.chat.guid = QStringLiteral("SMS;-;") + address;
    pm.chat.chat_identifier = address;
    pm.chat.service_name = QStringLiteral("SMS");
    pm.chat.account_login = QStringLiteral("E:");
    pm.chat.handles.insert(QStringLiteral("0"), &pm.handle);

    _MsgMessage &m = pm.message;
    m.handle = &pm.handle;
    m.chat = &pm.chat;
    m.text = decodeArgumentText(socket, fields.at(4));
    m.subject = decodeArgumentText(socket, fields.at(5));
    m.date = m.date_read = m.date_delivered = iosDateOfMs(dateMs);
    m.is_from_me = fields.at(1).toInt() == 1 ? 1 : 0;
    m.replace = 0;
    m.version = 10;
    m.type = 0;
    m.error = 0;
    m.is_finished = m.is_prepared = m.is_read = m.is_sent = m.was_data_detected = 1;
    m.service = QStringLiteral("SMS");
    m.account = QStringLiteral("e:");

    pm.parentHash = logicHash(m);
    m.guid = md5Guid(pm.parentHash.toUtf8());

    // Which of the phone's messages this is. The hash alone does not tell
    // two messages of one moment apart (two photos sent at once, without
    // text); the phone's own id does. Without ids, each line under the same
    // hash in one load is a message of its own, numbered in listing order.
    pm.phoneKey = phoneId;
    if (pm.phoneKey.isEmpty()) {
        const int n = ++m_occurrences[pm.parentHash];
        if (n > 1)
            pm.phoneKey = QLatin1Char('#') + QString::number(n);
    }
    m_listed.insert(listingKey(pm.parentHash, pm.phoneKey));
    const bool known = isKnown(pm.parentHash, pm.phoneKey);
    db.executeThrow(Sqlite3Sql("replace into valid_hash(hash,phone_id) values(?,?)")
                            .addTextParam(pm.parentHash)
                            .addTextParam(pm.phoneKey.isEmpty() ? QString() : pm.phoneKey));

    if (parts <= 0) {
        if (!known)
            writeAndRecord(pm, &pm.parentHash);
        return;
    }
    if (known) {
        sendCommand(socket, QStringLiteral("0"), QString(), true, -1);
        return;
    }
    // Asked for first: the text is stored while the phone gets its parts
    // ready.
    sendCommand(socket, QStringLiteral("1"), QString(), true, -1);
    const QString body = messageBodyText(m);
    if (!body.isEmpty()) {
        m.text = body;
        // The hash takes the body text alone: it is the phone message's.
        writeAndRecord(pm, &pm.parentHash);
    }
    for (int i = 0; i < parts; ++i)
        receiveAttachment(pm);
}

void AndroidLoadSMSThread::receiveAttachment(PhoneMessage &pm)
{
    checkCancel();
    const QString line = expectCommand(socket, QStringLiteral("$atta:"), -1);
    const QString rest = line.mid(6);
    const qsizetype comma = rest.indexOf(QLatin1Char(','));
    if (comma < 0)
        throw LocalException(socket, QStringLiteral("$atta: command invalid param."));
    const QString mime = rest.left(comma).trimmed();
    // The name is everything after the type (a name may hold commas); the
    // app writes it as UTF-8.
    QString name = attachmentPartName(rest.mid(comma + 1));
    name = uniqueAttachmentName(name, &pm.usedNames);

    QFile &file = *m_partFile;
    // Made new for the first part and kept open for the run: each later
    // part is written over the one before and the file cut to its size.
    // Truncating to nothing and closing would make the file system write
    // every part out to the disk at once.
    if (!file.isOpen() && !file.open(QIODevice::ReadWrite | QIODevice::NewOnly))
        throw LocalException(
                socket,
                QStringLiteral("Create %1 error. %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    if (!file.seek(0))
        throw LocalException(
                socket,
                QStringLiteral("Write %1 error. %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
    qint64 received = 0;
    QElapsedTimer shown;
    shown.start();
    const QString receiving = ids("IDS_ANDROID_RECEIVING_%1_%2");
    for (;;) {
        checkCancel();
        const QString data = readCommand(socket, -1);
        if (data.startsWith(QLatin1Char('.')))
            break;
        const QByteArray bytes = decodeAttachmentData(socket, data);
        received += bytes.size();
        if (received > m_maxAttachmentBytes)
            throw LocalException(socket,
                                 QStringLiteral("Attachment %1 is larger than %2 bytes.")
                                         .arg(name)
                                         .arg(m_maxAttachmentBytes));
        if (file.write(bytes) != bytes.size())
            throw LocalException(
                    socket,
                    QStringLiteral("Write %1 error. %2")
                            .arg(QDir::toNativeSeparators(file.fileName()), file.errorString()));
        if (shown.elapsed() >= kProgressInterval) {
            shown.restart();
            form->postUpdateProgress(QString(), -1, receiving.arg(name).arg(received / 1024));
        }
    }
    sendCommand(socket, QStringLiteral("."), QString(), true, -1);
    if (!file.flush() || !file.resize(received))
        throw std::runtime_error(
                QStringLiteral("Write %1 error. %2")
                        .arg(QDir::toNativeSeparators(file.fileName()), file.errorString())
                        .toStdString());

    _MsgMessage &m = pm.message;
    if (mime.isEmpty() || mime.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
        return;
    if (mime.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0
        && received <= kMaxTextPartBytes) {
        QString text;
        if (file.seek(0))
            text = QString::fromUtf8(file.read(received));
        if (text.trimmed().isEmpty())
            return;
        m.attachments.clear();
        m.attributedBody.clear(); // a picture's before this part is not this text's
        m.text = text;
        m.guid = md5Guid(logicHash(m).toUtf8());
        writeAndRecord(pm);
        return;
    }

    _MsgAttachment &a = pm.attachment;
    a = _MsgAttachment();
    a.created_date = m.date;
    a.localPath = file.fileName();
    a.mime_type = mime;
    const qsizetype slash = mime.indexOf(QLatin1Char('/'));
    a.uti = QStringLiteral("public.") + (slash < 0 ? QString() : mime.mid(slash + 1));
    a.transfer_state = 5;
    a.is_outgoing = m.is_from_me != 0 ? 1 : 0;
    a.total_bytes = received;

    m.text = QString(QChar(0xFFFC));
    QString hash;
    auto nameIt = [&](const QString &partName) {
        a.guid = md5Guid((pm.parentHash + partName).toUtf8());
        a.filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                             .arg(a.guid.left(2).toLower(), a.guid.mid(2, 2).toLower(), a.guid,
                                  partName);
        a.transfer_name = partName;
        m.attachments.clear();
        m.attachments.insert(a.guid, &a);
        hash = logicHash(m);
        m.guid = md5Guid(hash.toUtf8());
    };
    nameIt(name);
    // The cache holds a picture of this name for another message of the
    // same moment and correspondent (two photos sent at once often carry
    // one name): stored under that row it would be taken for it and lost.
    // This message's picture gets a name of its own.
    while (cacheDb.storedMessageRowid(&m, hash) != 0) {
        name = uniqueAttachmentName(name, &pm.usedNames);
        nameIt(name);
    }
    m.attributedBody = attachmentAttributedBody(a.guid);
    writeAndRecord(pm, &hash);
    m.attachments.clear(); // the file goes with this part
}

void AndroidLoadSMSThread::writeAndRecord(PhoneMessage &pm, const QString *hash)
{
    if (hash)
        cacheDb.write(&pm.message, *hash);
    else
        cacheDb.write(&pm.message);
    const QString &child = cacheDb.lastLogicHash();
    m_db->executeThrow(Sqlite3Sql("replace into parent_hash(child,parent,phone_id) values(?,?,?)")
                               .addTextParam(child.isNull() ? logicHash(pm.message) : child)
                               .addTextParam(pm.parentHash)
                               .addTextParam(pm.phoneKey.isEmpty() ? QString() : pm.phoneKey));
    m_known.insert(listingKey(pm.parentHash, pm.phoneKey));
}

bool AndroidLoadSMSThread::isKnown(const QString &parent, const QString &phoneKey)
{
    const QString key = listingKey(parent, phoneKey);
    if (m_known.contains(key))
        return true;
    IOS6MessageDb &db = *m_db;
    // Rows of loads from before the phone's ids were kept: the first
    // message listed under their hash takes them.
    const bool phoneId = !phoneKey.isEmpty() && phoneKey.at(0) != QLatin1Char('#');
    const QString legacy = listingKey(parent, QString());
    if (phoneId && m_known.contains(legacy)) {
        db.executeThrow(Sqlite3Sql("update parent_hash set phone_id=? where parent=? and "
                                   "phone_id is null")
                                .addTextParam(phoneKey)
                                .addTextParam(parent));
        m_known.remove(legacy);
        m_known.insert(key);
        return true;
    }
    // A message the transfer wrote to the phone, listed for the first time:
    // the row it recorded is this message's.
    const auto it = m_transferred.find(parent);
    if (it != m_transferred.end()) {
        const QString mark = it.value();
        m_transferred.erase(it);
        db.executeThrow(Sqlite3Sql("update parent_hash set phone_id=? where parent=? and "
                                   "phone_id=?")
                                .addTextParam(phoneKey.isEmpty() ? QString() : phoneKey)
                                .addTextParam(parent)
                                .addTextParam(mark));
        m_known.insert(key);
        return true;
    }
    return false;
}

void AndroidLoadSMSThread::prune()
{
    IOS6MessageDb &db = cacheDb.database();
    // Mostly the phone has deleted nothing since the last load: the phone
    // messages the bookkeeping holds (m_known mirrors its rows other than
    // the transfer's) were all listed. That spares the searches below.
    bool anyGone = false;
    for (const QString &key : std::as_const(m_known)) {
        if (!m_listed.contains(key)) {
            anyGone = true;
            break;
        }
    }
    // A stored message leaves only when every phone message it came from is
    // gone: two phone messages can yield the same stored one.
    QList<qint64> gone;
    if (anyGone) {
        Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(
                QStringLiteral("select m.rowid from message as m where m.logic_hash in (select "
                               "p.child from parent_hash as p where not %1) and m.logic_hash not "
                               "in (select q.child from parent_hash as q where %2)")
                        .arg(validParent("p"_L1), validParent("q"_L1))));
        while (c.moveNext())
            gone << c.getInt64(0);
    }
    // The conversations that lose messages: their newest date is taken again
    // from what they keep.
    QSet<qint64> touched;
    for (qint64 rowid : std::as_const(gone)) {
        Sqlite3Cursor c = db.queryThrow(
                Sqlite3Sql("select chat_id from chat_message_join where message_id=?")
                        .addInt64Param(rowid));
        while (c.moveNext())
            touched.insert(c.getInt64(0));
    }
    for (qint64 rowid : std::as_const(gone)) {
        qDebug("AndroidLoadSMSThread, remove old message %lld", static_cast<long long>(rowid));
        db.executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(rowid));
        db.executeThrow(Sqlite3Sql("DELETE FROM chat_message_join where message_id=?")
                                .addInt64Param(rowid));
        db.executeThrow(Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?")
                                .addInt64Param(rowid));
    }
    if (anyGone)
        db.executeThrow(Sqlite3Sql(QStringLiteral("delete from parent_hash where not %1")
                                           .arg(validParent("parent_hash"_L1))));
    db.executeThrow(Sqlite3Sql("DELETE FROM chat WHERE (SELECT 1 from chat_message_join WHERE "
                               "chat_id=chat.rowid LIMIT 1) IS NULL"));
    if (db.tableSchemas().value(QStringLiteral("chat")).contains(QLatin1String("_last"))) {
        for (qint64 chatId : std::as_const(touched))
            db.executeThrow(Sqlite3Sql("update chat set _last=coalesce((select max(m.date) from "
                                       "message as m inner join chat_message_join as j on "
                                       "j.message_id=m.rowid where j.chat_id=?), 0) where rowid=?")
                                    .addInt64Param(chatId)
                                    .addInt64Param(chatId));
    }
    // Without foreign keys the joins of the chats just removed stay; the
    // handles they kept go with them (through the join table's trigger).
    db.executeThrow(Sqlite3Sql(
            "DELETE FROM chat_handle_join WHERE chat_id NOT IN (SELECT rowid FROM chat)"));
}

void AndroidLoadSMSThread::vacuum()
{
    // Compacting is a nicety: the load is committed already.
    try {
        Sqlite3DB db;
        db.openThrow(cacheDb.database().smsDbPath(), Sqlite3DB::ReadWrite);
        // Only worth it when a good part of the file is free pages (a prune
        // or earlier loads removed much); otherwise it rewrites the whole
        // file for nothing.
        auto pragma = [&db](const char *name) {
            Sqlite3Cursor c = db.queryThrow(Sqlite3Sql(name));
            return c.moveNext() ? c.getInt64(0) : 0;
        };
        const qint64 pages = pragma("PRAGMA page_count");
        const qint64 free = pragma("PRAGMA freelist_count");
        if (free * 4 < pages) {
            db.close();
            return;
        }
        QString error;
        if (db.exec(QStringLiteral("vacuum"), error) != 0)
            qDebug("AndroidLoadSMSThread, vacuum failed: %s", qUtf8Printable(error));
        db.close();
    } catch (const std::exception &e) {
        qDebug("AndroidLoadSMSThread, vacuum failed: %s", e.what());
    }
}
