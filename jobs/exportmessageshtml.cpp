#include "jobs/exportmessageshtml.h"

#include "jobs/bubblemarkup.h"
#include "jobs/outputfilename.h"
#include "store/attachmentfile.h"
#include "store/datafolder.h"

#include <QCoreApplication>
#include <QColor>
#include <QFileInfo>
#include <QImage>
#include <QUrl>

#include <stdexcept>

namespace {
const char *const kDocType = "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
                             "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">";

std::runtime_error failure(const QString &text)
{
    return std::runtime_error(text.toUtf8().toStdString());
}

// Whether the file at path may be copied into an export: a regular file
// that is no link (a link could lead anywhere on this computer).
bool isCopyable(const QString &path)
{
    return isAttachmentFile(path);
}
} // namespace

QString filesLink(const QString &name)
{
    return QStringLiteral("files/") + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

ExportMessagesHtml::ExportMessagesHtml(const QDir &outputFolder, const QString &fileName)
    : m_outputDir(QDir::cleanPath(outputFolder.absolutePath()))
    , m_filesDir(m_outputDir.absoluteFilePath(QStringLiteral("files")))
    , m_fileName(fileName)
{ }

ExportMessagesHtml::~ExportMessagesHtml()
{
    m_stream.setDevice(nullptr);
}

void ExportMessagesHtml::begin()
{
    const QString files = m_filesDir.absolutePath();
    const QFileInfo filesInfo(files);
    if (filesInfo.isSymLink() || (filesInfo.exists() && !filesInfo.isDir()))
        throw failure(QStringLiteral("%1 is not a folder.").arg(files));
    if (!filesInfo.exists()) {
        if (!QDir().mkpath(files))
            throw failure(QStringLiteral("Create folder %1 error.").arg(files));
        m_madeFiles = true;
    }

    const QString name = safeOutputFileName(m_fileName, QStringLiteral("messages.html"));
    const QString path = m_names->path(m_outputDir.absoluteFilePath(name));
    if (!isDirectlyInside(path, m_outputDir.absolutePath()))
        throw failure(QStringLiteral("Invalid file name %1.").arg(m_fileName));
    // The page is written under a temporary name and takes its own when
    // whole, so that a run killed halfway leaves no cut page under it.
    // NewOnly: a file that appeared meanwhile is never truncated.
    m_pagePath = path;
    m_file.setFileName(uniqueFilePath(
            m_outputDir.absoluteFilePath(QLatin1Char('.') + QFileInfo(path).fileName() + ".part")));
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::NewOnly))
        throw failure(m_file.errorString());
    m_written.append(m_file.fileName());
    m_stream.setDevice(&m_file);
    m_stream.setEncoding(QStringConverter::Utf8);
    m_stream.setGenerateByteOrderMark(false);
    m_stream << kDocType << '\n'
             << "<html xmlns=\"http://www.w3.org/1999/xhtml\">" << '\n'
             << "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
             << '\n'
             << "<title>" << QCoreApplication::translate("QObject", "Pelicorde").toHtmlEscaped()
             << "</title>" << '\n'
             << "<link href=\"files/style.css\" type=\"text/css\" rel=\"stylesheet\"/></head><body>"
             << '\n';
}

QString ExportMessagesHtml::copyToFiles(const QString &path, bool *copied)
{
    if (copied)
        *copied = false;
    const QString files = m_filesDir.absolutePath();
    const QString name = safeOutputFileName(QFileInfo(path).fileName(), QStringLiteral("file"));
    QString target = m_names->path(files + QLatin1Char('/') + name);
    if (!isDirectlyInside(target, files))
        target = m_names->path(files + QStringLiteral("/file"));
    if (copyAttachmentFile(path, target)) {
        m_written.append(target);
        if (copied)
            *copied = true;
    }
    return QFileInfo(target).fileName();
}

QString ExportMessagesHtml::placeholderLink()
{
    const QString name = QFileInfo(QString::fromLatin1(kBubbleEmptyPhoto)).fileName();
    const QString target = m_filesDir.absoluteFilePath(name);
    const QFileInfo info(target);
    if (info.isFile() && !info.isSymLink())
        return filesLink(name); // the export job copied the bubble pictures
    if (info.exists() || info.isSymLink())
        return filesLink(name); // a user's file of that name is left alone
    // The exporter used on its own: the program's picture, else a plain one.
    bool placed = false;
    for (const QString &base : {QCoreApplication::applicationDirPath(), QDir::currentPath()}) {
        const QString source = QDir(base).absoluteFilePath(QString::fromLatin1(kBubbleEmptyPhoto));
        if (copyAttachmentFile(source, target)) {
            placed = true;
            break;
        }
    }
    if (!placed) {
        QImage blank(120, 90, QImage::Format_RGB32);
        blank.fill(QColor(200, 200, 200));
        placed = blank.save(target, "JPEG");
    }
    if (placed)
        m_written.append(target);
    return filesLink(name);
}

void ExportMessagesHtml::write(_MsgMessage *message)
{
    if (!message || !m_file.isOpen())
        return;
    // Each attachment's file is copied once, before its markup is built.
    QHash<const _MsgAttachment *, QString> links;
    for (const _MsgAttachment *a : std::as_const(message->attachments)) {
        if (!a || links.contains(a))
            continue;
        bool copied = false;
        const QString name = isCopyable(a->localPath) ? copyToFiles(a->localPath, &copied)
                                                      : QString();
        // A copy that failed is not linked: the page would point at nothing.
        links.insert(a, copied ? filesLink(name) : QStringLiteral("#"));
    }
    BubbleAttachmentRefs refs;
    refs.fileRef
            = [&links](const _MsgAttachment &a) { return links.value(&a, QStringLiteral("#")); };
    refs.imageLink = [this, &links](const _MsgAttachment &a, const QString &imagePath,
                                    const QString &attrs) {
        // A thumbnail or card that is missing or could not be copied shows
        // the same placeholder picture as the printout, not a broken image.
        bool copied = false;
        const QString name = copyToFiles(imagePath, &copied);
        const QString source = copied ? filesLink(name) : placeholderLink();
        // The page is XHTML: the picture's element is closed.
        QString link = exportImageLinkHtml(links.value(&a, QStringLiteral("#")), source, attrs);
        if (link.endsWith(QLatin1String("></a>")) && !link.endsWith(QLatin1String("/></a>")))
            link.insert(link.size() - 5, QLatin1String(" /"));
        return link;
    };
    QString html;
    appendMessageMarkup(html, *message, m_dateHeader, refs);
    m_stream << html << '\n';
}

void ExportMessagesHtml::end()
{
    if (!m_file.isOpen())
        return;
    m_stream << "</body></html>";
    m_stream.flush();
    const bool streamOk = m_stream.status() == QTextStream::Ok;
    // A write cut short by a full disk keeps no reason; writing out the
    // rest again tells it.
    const bool flushed = m_file.flush();
    bool ok = streamOk && flushed && m_file.error() == QFileDevice::NoError;
    m_stream.setDevice(nullptr);
    QString error = m_file.errorString();
    m_file.close();
    if (ok && m_file.error() != QFileDevice::NoError) {
        ok = false;
        error = m_file.errorString();
    }
    if (!ok)
        throw writeFailure(m_pagePath, error);
    // QFile::rename never replaces a file: a page of that name that turned
    // up meanwhile stays, and this one takes the next free name.
    const QString temp = m_file.fileName();
    if (!m_file.rename(m_pagePath)) {
        m_pagePath = uniqueFilePath(m_pagePath);
        if (!m_file.rename(m_pagePath))
            throw failure(m_file.errorString());
    }
    m_written.replace(m_written.indexOf(temp), m_pagePath);
}
