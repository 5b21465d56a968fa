#include "ui/bubbleviewmgr.h"

#include "jobs/bubblemarkup.h"
#include "store/attachmentfile.h"
#include "store/datafolder.h"
#include "store/messagebox.h"
#include "store/texts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QTextDocument>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineView>

BubbleWebPage::BubbleWebPage(QObject *parent)
    : QWebEnginePage(parent)
{
    // The pages are ours and need no script of their own; message text is
    // escaped, and this keeps anything that slipped through inert.
    QWebEngineSettings *s = settings();
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    s->setAttribute(QWebEngineSettings::AutoLoadImages, true);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
}

bool BubbleWebPage::takeRefusedNavigation()
{
    if (m_refused == 0)
        return false;
    --m_refused;
    return true;
}

bool BubbleWebPage::acceptNavigationRequest(const QUrl &url, NavigationType type, bool isMainFrame)
{
    if (type == NavigationTypeLinkClicked) {
        if (isMainFrame)
            ++m_refused;
        emit linkClicked(url);
        return false;
    }
    // Our own loads (setHtml, a page file, reloads); nothing that a page
    // would start by itself.
    const bool ours = type == NavigationTypeTyped || type == NavigationTypeReload
            || (isMainFrame && type == NavigationTypeOther
                && (url.scheme() == QLatin1String("data") || url.isLocalFile()
                    || url.toString() == QLatin1String("about:blank") || url.isEmpty()));
    if (!ours && isMainFrame)
        ++m_refused;
    return ours;
}

BubbleViewMgr::BubbleViewMgr(QObject *parent)
    : QObject(parent)
{
    m_open = [](const QString &path) { openInExplorer(path); };
    m_askSave = [](const QString &title, const QString &proposed) {
        return QFileDialog::getSaveFileName(nullptr, title, proposed, QString());
    };
}

BubbleViewMgr::~BubbleViewMgr() = default;

void BubbleViewMgr::setWebView(QWebEngineView *view)
{
    if (m_view)
        disconnect(m_view, nullptr, this, nullptr);
    m_view = view;
    if (!view)
        return;
    auto *page = new BubbleWebPage(view);
    view->setPage(page);
    connect(view, &QWebEngineView::loadFinished, this, &BubbleViewMgr::onLoadFinish);
    connect(page, &BubbleWebPage::linkClicked, this, &BubbleViewMgr::onLinkClicked);
}

QUrl BubbleViewMgr::baseUrl()
{
    return QUrl::fromLocalFile(QCoreApplication::applicationDirPath() + QLatin1Char('/'));
}

bool BubbleViewMgr::opensDirectly(const QString &suffix)
{
    static const QStringList kOpened = {
            QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
            QStringLiteral("bmp"), QStringLiteral("gif"),  QStringLiteral("mp3"),
            QStringLiteral("mp4"), QStringLiteral("mov"),
    };
    return !suffix.isEmpty() && kOpened.contains(suffix, Qt::CaseInsensitive);
}

void BubbleViewMgr::showBubble(MsgMessageList messages)
{
    m_messages = messages;
    if (m_messages.isEmpty()) {
        m_currentPage = 0;
        m_pageCount = 0;
        if (m_view)
            m_view->setHtml(QString(), QUrl());
        return;
    }
    m_pageCount = int((m_messages.size() + kPageSize - 1) / kPageSize);
    firstPage();
}

QString BubbleViewMgr::pageHtml(int page) const
{
    if (page < 1 || page > m_pageCount)
        return QString();
    QString html = QStringLiteral(
            "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
            "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
            "<html xmlns=\"http://www.w3.org/1999/xhtml\">"
            "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
            "<title>Bubble</title>"
            "<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"
            "</head><body><a name=\"start\"></a>");
    if (page != 1)
        html += QLatin1String("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");

    const BubbleAttachmentRefs refs = viewAttachmentRefs();
    qint64 dateHeader = kNoDateHeader;
    const qsizetype from = qsizetype(page - 1) * kPageSize;
    const qsizetype to = qMin(qsizetype(page) * kPageSize, m_messages.size());
    for (qsizetype i = from; i < to; ++i) {
        const _MsgMessage *m = m_messages.at(i);
        html += QStringLiteral("<a name=\"sms_%1\"></a>").arg(m->ROWID);
        appendMessageMarkup(html, *m, dateHeader, refs);
    }

    if (page != m_pageCount)
        html += QLatin1String("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    html += QLatin1String("<a name=\"end\"></a></body></html>");
    return html;
}

void BubbleViewMgr::renderPage(int page)
{
    if (page < 1 || page > m_pageCount)
        return;
    loadHtml(pageHtml(page));
    emit pageRendered(page);
}

void BubbleViewMgr::loadHtml(const QString &html)
{
    if (!m_view)
        return;
    m_bigPage.reset();
    const QByteArray utf8 = html.toUtf8();
    if (utf8.size() <= kMaxInlinePageBytes) {
        m_view->setHtml(html, baseUrl());
        return;
    }
    // Pages given from memory travel as a data URL, which has a size limit;
    // a big page (long text attachments) is loaded from a file of its own,
    // told where the program's folder is.
    auto file = std::make_unique<QTemporaryFile>(
            QDir::temp().absoluteFilePath(QStringLiteral("bubble-XXXXXX.html")));
    if (!file->open()) {
        m_view->setHtml(html, baseUrl());
        return;
    }
    QByteArray withBase = utf8;
    const QByteArray base
            = "<base href=\"" + baseUrl().toString(QUrl::FullyEncoded).toUtf8() + "\"/>";
    const qsizetype head = withBase.indexOf("<head>");
    if (head >= 0)
        withBase.insert(head + 6, base);
    file->write(withBase);
    file->flush();
    const QUrl url = QUrl::fromLocalFile(file->fileName());
    m_bigPage = std::move(file);
    m_view->load(url);
}

void BubbleViewMgr::scrollToAnchor(const QString &anchor)
{
    if (!m_view || anchor.isEmpty())
        return;
    // Anchor names are ours ("start", "end", "sms_" and a number); quoted
    // all the same.
    QString quoted = anchor;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
            .replace(QLatin1Char('\''), QLatin1String("\\'"));
    const QString script = QStringLiteral("(function(){var a=document.getElementsByName('%1');"
                                          "if(a.length)a[0].scrollIntoView(true);})();")
                                   .arg(quoted);
    m_view->page()->runJavaScript(script, QWebEngineScript::ApplicationWorld);
}

void BubbleViewMgr::onLoadFinish(bool ok)
{
    // A link that was handled here instead of being followed leaves the page
    // as it was: no scrolling then.
    auto *page = m_view ? qobject_cast<BubbleWebPage *>(m_view->page()) : nullptr;
    if (!ok && page && page->takeRefusedNavigation())
        return;
    scrollToAnchor(m_pendingAnchor);
}

void BubbleViewMgr::firstPage()
{
    m_currentPage = 1;
    m_pendingAnchor = QStringLiteral("start");
    renderPage(1);
}

void BubbleViewMgr::previousPage()
{
    if (m_currentPage < 2)
        return;
    m_pendingAnchor = QStringLiteral("end");
    --m_currentPage;
    renderPage(m_currentPage);
}

void BubbleViewMgr::nextPage()
{
    if (m_currentPage >= m_pageCount)
        return;
    m_pendingAnchor = QStringLiteral("start");
    ++m_currentPage;
    renderPage(m_currentPage);
}

void BubbleViewMgr::lastPage()
{
    if (m_pageCount < 1)
        return;
    m_currentPage = m_pageCount;
    m_pendingAnchor = QStringLiteral("end");
    renderPage(m_currentPage);
}

void BubbleViewMgr::scrollToPos(int row)
{
    if (row < 0 || row >= m_messages.size())
        return;
    const int target = row / kPageSize + 1;
    m_pendingAnchor = QStringLiteral("sms_%1").arg(m_messages.at(row)->ROWID);
    if (target == m_currentPage) {
        scrollToAnchor(m_pendingAnchor);
    } else {
        m_currentPage = target;
        renderPage(target);
    }
}

static QString normalPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool BubbleViewMgr::isShownAttachment(const QString &path) const
{
    if (path.isEmpty())
        return false;
    const QString wanted = normalPath(path);
    for (const _MsgMessage *m : m_messages) {
        for (const _MsgAttachment *a : m->attachments) {
            if (a && !a->localPath.isEmpty() && normalPath(a->localPath) == wanted)
                return true;
        }
    }
    return false;
}

void BubbleViewMgr::onLinkClicked(const QUrl &url)
{
    const QString urlPath = url.path();
    if (urlPath == QLatin1String("/pre_page")) {
        previousPage();
        return;
    }
    if (urlPath == QLatin1String("/next_page")) {
        nextPage();
        return;
    }
    if (!url.isLocalFile())
        return;
    const QString path = url.toLocalFile();
    // Only the files of the shown attachments are opened or saved, whatever
    // a link names.
    if (!isShownAttachment(path)) {
        qWarning("BubbleViewMgr: link to a file that is no shown attachment ignored");
        return;
    }
    const QFileInfo info(path);
    // A pipe or a link in the store is no attachment file to open or save.
    if (!isAttachmentFile(path)) {
        const QString text = ids("can not find %1.").arg(path);
        showWarning(
                Qt::mightBeRichText(text)
                        ? ids("can not find %1.")
                                  .arg(QStringLiteral("<span>%1</span>").arg(path.toHtmlEscaped()))
                        : text);
        return;
    }
    if (opensDirectly(info.suffix()))
        m_open(info.absoluteFilePath());
    else
        saveAttachment(info.absoluteFilePath());
}

void BubbleViewMgr::saveAttachment(const QString &path)
{
    const QString proposed = QDir::home().absoluteFilePath(QFileInfo(path).fileName());
    const QString target = m_askSave(ids("IDS_SAVE_ATTACHMENT"), proposed);
    if (target.isEmpty())
        return;
    // Written beside the target and swapped in when complete: a failed copy
    // leaves whatever was there, and saving onto the attachment itself keeps it.
    bool ok = false;
    QFile in;
    QSaveFile out(target);
    if (openAttachmentFile(in, path) && out.open(QIODevice::WriteOnly)) {
        ok = true;
        while (ok && !in.atEnd()) {
            const QByteArray chunk = in.read(1 << 20);
            ok = in.error() == QFileDevice::NoError && out.write(chunk) == chunk.size();
        }
        ok = ok && out.commit();
    }
    if (ok)
        showInfo(ids("IDS_SAVE_ATTACHMENT_SUC"));
    else
        showError(ids("IDS_SAVE_ATTACHMENT_FILE_ERROR"));
}
