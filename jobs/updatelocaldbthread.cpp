#include "jobs/updatelocaldbthread.h"

#include "jobs/newstoreguard.h"
#include "store/attachmentfile.h"
#include "store/countryinfo.h"
#include "store/datafolder.h"
#include "store/exportmessagesdb.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/sqlite3db.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace {

const QString kOldDbName = QStringLiteral("mms.db");
const QString kBackupName = QStringLiteral("mms.db-bak");
const QChar kObjectReplacement(0xFFFC);

std::runtime_error conversionError(const QString &text)
{
    return std::runtime_error(text.toStdString());
}

QStringList subfolders(const QString &folder)
{
    QStringList out;
    const QDir dir(folder);
    if (!dir.exists())
        return out;
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &name : names)
        out.append(dir.absoluteFilePath(name));
    return out;
}

void requireColumns(const Sqlite3Cursor &c, const QString &path, const char *table,
                    std::initializer_list<const char *> columns)
{
    for (const char *column : columns) {
        if (c.columnIndex(QLatin1String(column)) < 0)
            throw conversionError(QStringLiteral("The old database %1 has no column %2.%3.")
                                          .arg(path, QLatin1String(table), QLatin1String(column)));
    }
}

// The uniform type of a MIME type: "public." and the text between its first
// "/" and the next one (or its end); nothing without a "/".
QString utiOfMimeType(const QString &mime)
{
    const qsizetype slash = mime.indexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    const qsizetype next = mime.indexOf(QLatin1Char('/'), slash + 1);
    return QLatin1String("public.") + mime.mid(slash + 1, next < 0 ? -1 : next - slash - 1);
}

// The last part of a relative path, never empty, "." or "..": the name the
// attachment keeps on the phone side and in the message's hash.
QString attachmentName(const QString &relative)
{
    const qsizetype cut
            = qMax(relative.lastIndexOf(QLatin1Char('/')), relative.lastIndexOf(QLatin1Char('\\')));
    QString name = relative.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("attachment");
    return name;
}

// The file of an old attachment: "attachments/" + filename below the old
// folder, or an empty text when the name leads out of that folder.
QString oldAttachmentFile(const QString &attachmentsFolder, const QString &filename)
{
    QString rel = filename;
    rel.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString path = QDir::cleanPath(attachmentsFolder + QLatin1Char('/') + rel);
    if (!path.startsWith(attachmentsFolder + QLatin1Char('/')))
        return QString();
    const QFileInfo info(path);
    if (info.exists()) {
        const QString real = info.canonicalFilePath();
        const QString realRoot = QFileInfo(attachmentsFolder).canonicalFilePath();
        if (real.isEmpty() || realRoot.isEmpty() || !real.startsWith(realRoot + QLatin1Char('/')))
            return QString();
    }
    return path;
}

// Renames the old database with the journal files beside it (they belong to
// it under its new name): recorded first, so that a run killed between the
// renames is finished by the next start rather than leaving the database
// apart from its write-ahead log.
void renameWithJournals(const QString &from, const QString &to)
{
    SwapJournal journal(QFileInfo(from).absolutePath());
    journal.move(from, to);
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        const QString j = from + QLatin1String(suffix);
        if (QFileInfo::exists(j))
            journal.move(j, to + QLatin1String(suffix));
    }
    try {
        journal.begin();
        journal.commit();
    } catch (const std::exception &e) {
        journal.rollBack();
        throw conversionError(QStringLiteral("Rename %1 to %2 error: %3")
                                      .arg(from, to, QString::fromUtf8(e.what())));
    }
}

} // namespace

UpdateLocalDbThread::UpdateLocalDbThread(ProgressForm *form, QObject *parent)
    : QThread(parent)
    , m_form(form)
{ }

UpdateLocalDbThread::~UpdateLocalDbThread() = default;

QStringList UpdateLocalDbThread::oldDatabaseFolders()
{
    QStringList folders = subfolders(localDatabasesFolder().absolutePath());
    folders += subfolders(dataFolder().absoluteFilePath(QStringLiteral("data")));
    QStringList out;
    for (const QString &f : std::as_const(folders)) {
        // A conversion killed while renaming the old file is finished first.
        SwapJournal::recover(f);
        if (QFileInfo(QDir(f).absoluteFilePath(kOldDbName)).isFile())
            out.append(f);
    }
    return out;
}

void UpdateLocalDbThread::run()
{
    try {
        for (const QString &folder : oldDatabaseFolders()) {
            const QDir old(folder);
            const QString name = old.dirName();
            m_form->postUpdateProgress(ids("IDS_UPDATING_LOCALDB_%1_MESSAGES").arg(name), 0,
                                       QString());
            convertOldLocalDb(old, QDir(localDatabasesFolder().absoluteFilePath(name)));
            // The old file stays, under a name that is not converted again;
            // an earlier backup of the same name is kept too.
            const QString oldFile = old.absoluteFilePath(kOldDbName);
            renameWithJournals(oldFile, uniqueFilePath(old.absoluteFilePath(kBackupName)));
        }
    } catch (const std::exception &e) {
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    m_form->postSucceed(
            QStringLiteral("Successfully updated local database. Please restart software."));
}

void UpdateLocalDbThread::convertOldLocalDb(const QDir &oldFolder, const QDir &targetFolder)
{
    const QString oldPath = oldFolder.absoluteFilePath(kOldDbName);
    if (!QFileInfo(oldPath).isFile())
        return;
    const QString attachmentsFolder
            = QDir::cleanPath(oldFolder.absoluteFilePath(QStringLiteral("attachments")));

    // Only read: whatever happens, the old file stays as it is.
    Sqlite3DB source;
    source.openThrow(oldPath, Sqlite3DB::ReadOnly);
    Sqlite3Cursor rows = source.queryThrow(
            Sqlite3Sql("select m.rowid as _old_rowid, m.*, h.address,h.person from message as m "
                       "inner join handle as h on m.handle_id=h.rowid"));
    requireColumns(rows, oldPath, "message", {"body", "subject", "date", "is_send"});
    const int total = rows.count();

    ExportMessagesDb writer(targetFolder, QString());
    // A backup into the same database by a running copy of the program
    // finishes first (the conversion has no Cancel to end the wait).
    NewStoreGuard::Wait wait;
    wait.waiting = [this] {
        if (m_form)
            m_form->postUpdateProgress(QString(), 0, ids("Waiting for another backup to finish..."));
    };
    NewStoreGuard guard(targetFolder.absolutePath(), writer.database().smsDbPath(), wait);
    // The writer is made with no mobile country code: no country.
    const _CountryInfo country;
    try {
        writer.begin();
        int count = 0;
        while (rows.moveNext()) {
            killPoint("convert-message");
            ++count;
            if (m_form)
                m_form->postUpdateProgress(QString(), int(double(count) / total * 100.0),
                                           QString());

            const QString address = normalizeNumber(country, rows.getText("address"));
            _MsgHandle handle;
            handle.id = address;
            handle.service = QStringLiteral("SMS");
            handle.contactName = rows.getText("person");

            _MsgChat chat;
            chat.guid = QLatin1String("SMS;-;") + address;
            chat.style = 45;
            chat.state = 3;
            chat.chat_identifier = address;
            chat.service_name = QStringLiteral("SMS");
            chat.account_login = QStringLiteral("E:");
            chat.handles.insert(address, &handle);

            const qint32 date = qint32(rows.getInt64("date") - kIosEpochOffset);
            _MsgMessage m;
            m.handle = &handle;
            m.chat = &chat;
            m.subject = rows.getText("subject");
            m.version = 10;
            m.type = 0;
            m.replace = 0;
            m.service = QStringLiteral("SMS");
            m.account = QStringLiteral("e:");
            m.error = 0;
            m.date = m.date_read = m.date_delivered = date;
            m.is_from_me = rows.getInt("is_send") != 0 ? 1 : 0;
            m.is_finished = m.is_prepared = m.is_read = m.is_sent = m.was_data_detected = 1;

            // The text, as a message of its own.
            const QString body = rows.getText("body").remove(kObjectReplacement);
            if (!body.isEmpty()) {
                m.text = body;
                m.guid = md5Guid(logicHash(m).toUtf8());
                writer.write(&m);
            }

            // Each attachment, as a message of its own.
            Sqlite3Cursor parts = source.queryThrow(
                    Sqlite3Sql("select a.* from attachment as a  inner join message_attachment "
                               "as ma on ma.attachment_id=a.rowid and ma.message_id=?")
                            .addInt64Param(rows.getInt64("_old_rowid")));
            requireColumns(parts, oldPath, "attachment", {"filename", "mime_type"});
            while (parts.moveNext()) {
                const QString filename = parts.getText("filename");
                const QString mime = parts.getText("mime_type");
                if (mime.isEmpty()
                    || mime.startsWith(QLatin1String("application/"), Qt::CaseInsensitive))
                    continue;
                const QString file = oldAttachmentFile(attachmentsFolder, filename);
                if (mime.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
                    // A pipe or link where the file should be is no text:
                    // reading a pipe would hold up the start for good.
                    const QByteArray bytes = readAttachmentFile(file, -1);
                    if (bytes.isNull())
                        continue;
                    const QString text = QString::fromUtf8(bytes);
                    if (text.trimmed().isEmpty())
                        continue;
                    m.attachments.clear();
                    m.attributedBody.clear();
                    m.text = text;
                    m.guid = md5Guid(logicHash(m).toUtf8());
                    writer.write(&m);
                    continue;
                }

                const QString relative = QLatin1String("attachments/") + filename;
                _MsgAttachment a;
                const QString name = attachmentName(relative);
                a.guid = md5Guid(relative.toUtf8());
                a.created_date = date;
                a.filename = QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
                                     .arg(a.guid.left(2).toLower(), a.guid.mid(2, 2).toLower(),
                                          a.guid, name);
                a.uti = utiOfMimeType(mime);
                a.mime_type = mime;
                a.transfer_state = 5;
                a.is_outgoing = m.is_from_me;
                a.transfer_name = name;
                a.localPath = file;

                m.attachments.clear();
                m.attachments.insert(a.guid, &a);
                m.text = QString(kObjectReplacement);
                m.guid = md5Guid(logicHash(m).toUtf8());
                m.attributedBody = attachmentAttributedBody(a.guid);
                writer.write(&m);
                m.attachments.clear();
            }
        }
        writer.end();
    } catch (...) {
        writer.abort();
        guard.undo();
        throw;
    }
    source.close();
}
