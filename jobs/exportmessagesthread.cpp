#include "jobs/exportmessagesthread.h"

#include "jobs/exportmessagescsv.h"
#include "jobs/exportmessageshtml.h"
#include "jobs/exportmessagestxt.h"
#include "jobs/outputfilename.h"
#include "store/datafolder.h"
#include "store/exportmessagesdb.h"
#include "store/messagebox.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "store/swapjournal.h"
#include "store/texts.h"

#if __has_include("jobs/exportmessagespdf.h")
#include "jobs/exportmessagespdf.h"
#define PEL_HAVE_PDF_EXPORT 1
#endif

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QMap>
#include <QSharedPointer>

#include <memory>
#include <stdexcept>
#include <tuple>

namespace {
// Thrown inside run when the dialog has ended; run catches it.
constexpr int kCancelled = -1;
// The longest time between two progress reports while messages are written.
constexpr qint64 kProgressMs = 50;

using Exporter = AbsFormatExport<_MsgMessage>;

// A conversation's identifier without regard to case. Grouping and the
// test for one conversation both use it: were they to differ, two
// conversations could share a group and part its messages into a page per
// run, or one conversation be split.
QString chatKey(const _MsgMessage *m)
{
    return m->chat ? m->chat->chat_identifier.toCaseFolded() : QString();
}

// Messages grouped by conversation (chat identifiers compared without regard
// to case; messages without a conversation form one group of their own),
// groups ordered by their newest message, ties by identifier, each group in
// message order.
void sortByChat(MsgMessageList &list)
{
    struct Group
    {
        qint32 newest = 0;
        MsgMessageList messages;
    };
    QMap<QString, Group> chats;
    Group loose;
    for (_MsgMessage *m : std::as_const(list)) {
        if (!m->chat) {
            loose.messages.append(m);
            continue;
        }
        Group &g = chats[chatKey(m)];
        g.newest = g.messages.isEmpty() ? m->chat->lastDate : qMax(g.newest, m->chat->lastDate);
        g.messages.append(m);
    }
    QList<std::tuple<qint32, QString, Group *>> order;
    for (auto it = chats.begin(); it != chats.end(); ++it)
        order.append({it->newest, it.key(), &it.value()});
    std::stable_sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
    });
    list.clear();
    // Messages without a conversation count as one of newest date 0 and
    // come before every conversation.
    sortMessages(loose.messages);
    list += loose.messages;
    for (const auto &entry : std::as_const(order)) {
        Group *g = std::get<2>(entry);
        sortMessages(g->messages);
        list += g->messages;
    }
}

bool sameChat(const _MsgMessage *a, const _MsgMessage *b)
{
    if (!a->chat || !b->chat)
        return !a->chat && !b->chat;
    if (a->chat == b->chat || a->chat->chat_identifier == b->chat->chat_identifier)
        return true;
    return chatKey(a) == chatKey(b);
}

// Whether a folder entry may take part in an export: a real folder, no link.
bool isRealFolder(const QString &path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}
} // namespace

ExportMessagesThread::ExportMessagesThread(const MsgMessageList &messages,
                                           const QString &outputPath, int format,
                                           ProgressForm *form, QObject *parent)
    : QThread(parent)
    , m_messages(messages)
    , m_outputPath(outputPath)
    , m_format(format)
    , m_form(form)
{ }

ExportMessagesThread::~ExportMessagesThread() = default;

bool ExportMessagesThread::compareByChat(const _MsgMessage *a, const _MsgMessage *b)
{
    if (sameChat(a, b))
        return messageLessThan(*a, *b);
    const qint32 da = a->chat ? a->chat->lastDate : 0;
    const qint32 db = b->chat ? b->chat->lastDate : 0;
    if (da != db)
        return da < db;
    if (!a->chat || !b->chat)
        return !a->chat;
    return chatKey(a) < chatKey(b);
}

QString ExportMessagesThread::chatFileName(const _MsgChat *chat, const QString &suffix)
{
    if (!chat)
        return QStringLiteral("unknown-chat") + suffix;
    const QString name = chat->isGroup() ? chat->chat_identifier : chatDisplayName(*chat, true);
    return safeOutputFileName(name, QStringLiteral("Unknown")) + suffix;
}

void ExportMessagesThread::copyFolderFiles(const QString &from, const QString &to)
{
    if (!isRealFolder(from))
        return;
    QDirIterator it(from, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo source = it.fileInfo();
        if (source.isSymLink() || !source.isFile())
            continue;
        const QString target = to + QLatin1Char('/') + source.fileName();
        if (QFileInfo::exists(target) || QFileInfo(target).isSymLink())
            continue;
        if (QFile::copy(source.absoluteFilePath(), target))
            m_written.append(target);
    }
}

void ExportMessagesThread::copyResources(const QString &outFolder)
{
    const QString base
            = resourceFolder.isEmpty() ? QCoreApplication::applicationDirPath() : resourceFolder;
    for (const auto &[source, target] :
         {std::pair {QStringLiteral("bubble"), QStringLiteral("files")},
          std::pair {QStringLiteral("emoji"), QStringLiteral("emoji")}}) {
        const QString to = outFolder + QLatin1Char('/') + target;
        const QFileInfo info(to);
        if (info.isSymLink() || (info.exists() && !info.isDir()))
            throw std::runtime_error(
                    QStringLiteral("%1 is not a folder.").arg(to).toUtf8().toStdString());
        const QString from = base + QLatin1Char('/') + source;
        if (!info.exists() && (target == QLatin1String("files") || isRealFolder(from))) {
            if (!QDir().mkpath(to))
                throw std::runtime_error(
                        QStringLiteral("Create folder %1 error.").arg(to).toUtf8().toStdString());
            m_madeFolders.prepend(to);
        }
        copyFolderFiles(from, to);
    }
}

void ExportMessagesThread::run()
{
    m_written.clear();
    m_madeFolders.clear();
    const bool perChat = m_format == ExportPdf || m_format == ExportHtml;
    const QString out = QDir::cleanPath(QDir(m_outputPath).absolutePath());
    QSharedPointer<Exporter> exporter;
    // The HTML exporter of the current page, to learn what it wrote.
    ExportMessagesHtml *page = nullptr;
    const _MsgMessage *current = nullptr;
    int count = 0;

    // The PDF file of the current conversation: it is put in place by end.
    QString pdfPath;
    int filesNotCopied = 0;
    auto endExporter = [&] {
        exporter->end();
        if (const auto *db = dynamic_cast<const ExportMessagesDb *>(exporter.get()))
            filesNotCopied += db->counts().filesNotCopied;
        if (!pdfPath.isEmpty())
            m_written.append(pdfPath);
        pdfPath.clear();
    };
    auto release = [&] {
        pdfPath.clear();
        if (page)
            m_written += page->writtenFiles();
        page = nullptr;
        exporter.reset();
    };

    m_form->postUpdateProgress(ids("IDS_EXPORTING_MESSAGES_TO_FILE"), -1, QString());
    try {
        if (perChat) {
            for (QString f = out; !QFileInfo::exists(f) && !QFileInfo(f).isSymLink();) {
                m_madeFolders.append(f);
                const QString up = QFileInfo(f).path();
                if (up == f)
                    break;
                f = up;
            }
            QDir().mkpath(out);
            sortByChat(m_messages);
        } else {
            sortMessages(m_messages);
        }

        const int total = int(m_messages.size());
        bool resourcesCopied = false;
        // Free names of this export's files, shared by all its pages.
        const auto names = std::make_shared<UniqueFileNames>();
        ProgressPacer pacer(kProgressMs);
        for (_MsgMessage *m : std::as_const(m_messages)) {
            if (m_form->failed)
                throw kCancelled;
            ++count;
            const int percent = int(double(count) / total * 100.0);
            if (pacer.due(percent, count == total))
                m_form->postUpdateProgress(QString(), percent,
                                           ids("SMS: %1/%2").arg(count).arg(total));
            if (m_format < 0 || m_format > ExportDb)
                throw std::runtime_error("not support export format.");

            if (!perChat) {
                if (!exporter) {
                    if (m_format == ExportTxt)
                        exporter.reset(new ExportMessagesTxt(m_outputPath));
                    else if (m_format == ExportCsv)
                        exporter.reset(new ExportMessagesCsv(m_outputPath));
                    else
                        exporter.reset(new ExportMessagesDb(QDir(m_outputPath), QString()));
                    exporter->begin();
                }
            } else {
                if (m_format == ExportHtml && !resourcesCopied) {
                    copyResources(out);
                    resourcesCopied = true;
                }
                if (!exporter || !sameChat(m, current)) {
                    if (exporter)
                        endExporter();
                    release();
                    current = m;
                    const QString suffix = m_format == ExportHtml ? QStringLiteral(".html")
                                                                  : QStringLiteral(".pdf");
                    const QString name = chatFileName(m->chat, suffix);
                    if (m_format == ExportHtml) {
                        page = new ExportMessagesHtml(QDir(out), name);
                        page->setFileNames(names);
                        exporter.reset(page);
                        exporter->begin();
                    } else {
                        const QString path = names->path(out + QLatin1Char('/') + name);
                        if (!isDirectlyInside(path, out))
                            throw std::runtime_error("Invalid file name.");
#ifdef PEL_HAVE_PDF_EXPORT
                        exporter.reset(new ExportMessagesPdf(path));
                        pdfPath = path;
                        exporter->begin();
#else
                        throw std::runtime_error("PDF export is not available.");
#endif
                    }
                }
            }
            exporter->write(m);
            killPoint("exported-message");
            if (itemHook)
                itemHook(count);
        }
        // The last file is finished from here: a Cancel that came first
        // removes the output, one that comes later is refused.
        if (!m_form->beginCommit())
            throw kCancelled;
        if (exporter)
            endExporter();
        release();
        killPoint("export-ended");
    } catch (int) {
        release();
        removeOutput();
        return;
    } catch (const std::exception &e) {
        release();
        removeOutput();
        m_form->postErrorOccurred(boxTextOf(e));
        return;
    }
    QString text = ids("IDS_SUC_EXPORT_%1_MMS").arg(count);
    if (filesNotCopied > 0)
        text += QLatin1String("<br/>") + ids("IDS_ATTACHMENTS_NOT_COPIED_%1").arg(filesNotCopied);
    m_form->postSucceed(text);
}

void ExportMessagesThread::removeOutput() noexcept
{
    try {
        // Folders of our own go whole, the output folder first when the run
        // made it; in a folder the user had, only what this run wrote goes.
        const QString out = QDir::cleanPath(QDir(m_outputPath).absolutePath());
        const bool madeOutput = m_madeFolders.contains(out);
        for (auto it = m_written.crbegin(); it != m_written.crend(); ++it)
            QFile::remove(*it);
        if (madeOutput)
            removeFolderRecursively(out);
        for (const QString &f : std::as_const(m_madeFolders))
            QDir().rmdir(f);
    } catch (...) { }
    m_written.clear();
}
