#include "jobs/attachmentextractthread.h"
#include "jobs/outputfilename.h"

#include "store/attachmentfile.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/texts.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <stdexcept>

namespace {
// Thrown inside run when the dialog has ended; run catches it.
constexpr int kCancelled = 1;

QString lastPathPart(const QString &path)
{
    const qsizetype cut
            = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(cut + 1);
}

} // namespace

AttachmentExtractThread::AttachmentExtractThread(ProgressForm *form, const MsgMessageList &messages,
                                                 const QString &outputPath, QObject *parent)
    : QThread(parent)
    , m_form(form)
    , m_messages(messages)
    , m_outputDir(outputPath)
{ }

AttachmentExtractThread::~AttachmentExtractThread() = default;

QString AttachmentExtractThread::outputFileName(const _MsgAttachment &a)
{
    for (const QString &source : {a.filename, a.transfer_name, a.localPath}) {
        QString name = sanitizeFileName(lastPathPart(source));
        name.removeIf([](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
        // Windows drops trailing dots and blanks, which would make two names one.
        while (!name.isEmpty() && (name.back() == QLatin1Char('.') || name.back().isSpace()))
            name.chop(1);
        name = name.trimmed();
        if (name.isEmpty())
            continue;
        if (isWindowsDeviceName(name))
            name.prepend(QLatin1Char('_'));
        return shortenedFileName(name);
    }
    return QStringLiteral("attachment");
}

void AttachmentExtractThread::run()
{
    m_written.clear();
    m_madeFolders.clear();
    const QString out = QDir::cleanPath(m_outputDir.absolutePath());
    for (QString f = out; !QFileInfo::exists(f) && !QFileInfo(f).isSymLink();) {
        m_madeFolders.append(f);
        const QString up = QFileInfo(f).path();
        if (up == f)
            break;
        f = up;
    }
    if (!QDir().mkpath(out) || !QFileInfo(out).isDir()) {
        removeOutput();
        m_form->postErrorOccurred(QStringLiteral("Create folder %1 error.").arg(escapeForBox(out)));
        return;
    }

    const QString status = ids("IDS_EXTRACTING_MEDIA_FILES");
    const int total = int(m_messages.size());
    int number = 0;
    int extracted = 0;
    // Phones name many pictures alike: the next free number is remembered.
    UniqueFileNames names;
    try {
        for (const _MsgMessage *m : std::as_const(m_messages)) {
            if (m_form->failed)
                throw kCancelled;
            ++number;
            m_form->postUpdateProgress(status, int(double(number) / total * 100.0), QString());
            for (const _MsgAttachment *a : sortedAttachments(*m)) {
                if (m_form->failed)
                    throw kCancelled;
                // Only a regular file of the store: a pipe would block the
                // copy, a link could lead to any file of this computer.
                if (!a || !isAttachmentFile(a->localPath))
                    continue;
                QString target = names.path(out + QLatin1Char('/') + outputFileName(*a));
                // Whatever the name, the file lands directly in the folder.
                if (QDir::cleanPath(QFileInfo(target).absolutePath()) != out)
                    target = names.path(out + QStringLiteral("/attachment"));
                QString error;
                if (!copyAttachmentFile(a->localPath, target, &error))
                    throw std::runtime_error(QStringLiteral("Copy attachment %1 to %2 error. %3")
                                                     .arg(a->localPath, target, error)
                                                     .toStdString());
                m_written.append(target);
                ++extracted;
                // A copy of a read-only file is read-only too; its times can
                // still be set where the system allows it.
                QFile copy(target);
                if (copy.open(QIODevice::ReadWrite) || copy.open(QIODevice::ReadOnly)) {
                    const QDateTime when = QDateTime::fromSecsSinceEpoch(
                            qint64(m->date) + kIosEpochOffset, Qt::UTC);
                    copy.setFileTime(when, QFileDevice::FileModificationTime);
                    copy.setFileTime(when, QFileDevice::FileAccessTime);
                }
                if (itemHook)
                    itemHook(extracted);
            }
        }
        // The files stay from here: a Cancel that came first removes them,
        // one that comes later is refused.
        if (!m_form->beginCommit())
            throw kCancelled;
    } catch (int) {
        removeOutput();
        return;
    } catch (const std::exception &e) {
        removeOutput();
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    m_form->postSucceed(ids("IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2").arg(extracted).arg(escapeForBox(out)));
}

void AttachmentExtractThread::removeOutput() noexcept
{
    try {
        if (!m_madeFolders.isEmpty()) {
            // The output folder is the job's own: everything in it goes.
            removeFolderRecursively(m_madeFolders.first());
        } else {
            // A folder that was there before keeps what it held.
            for (const QString &f : std::as_const(m_written))
                QFile::remove(f);
        }
        for (const QString &f : std::as_const(m_madeFolders))
            QDir().rmdir(f);
    } catch (...) { }
    m_written.clear();
}
