// The update check, the status-bar link and the Help menu.
//
// Both requests go only to the configured web service (serviceHost); with no
// host nothing is sent and the web pages are not opened. A reply is used
// only once it has finished, only when it came from that service (redirects
// are not followed), and a download question never opens inside another
// modal dialog: it waits until the program is idle.
#include "ui/mainwindow.h"

#include "store/datafolder.h"
#include "store/errorreport.h"
#include "store/messagebox.h"
#include "store/texts.h"
#include "ui/aboutusform.h"
#include "ui/updatecheck.h"

#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QThread>

namespace {

// No answer of the web service is longer than this.
constexpr qint64 kMaxReplyBytes = 64 * 1024;
constexpr int kReplyTimeoutMs = 30000;
constexpr int kIdleRetryMs = 500;

const QString kCheckPath = QStringLiteral("/sms_check_update.php");
const QString kAdvPath = QStringLiteral("/adv.php");

QString stampPath()
{
    return dataFolder().absoluteFilePath(QStringLiteral("last-check-version-time"));
}

QString advPath()
{
    return dataFolder().absoluteFilePath(QStringLiteral("last-adv"));
}

// Replaces the file's content; a file that cannot be written is skipped.
void writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size())
        file.commit();
}

QString productIdText()
{
    return QString::fromLatin1(kProductId);
}

} // namespace

QNetworkReply *MainWindow::sendServiceRequest(QNetworkAccessManager &manager, const QUrl &url,
                                              void (MainWindow::*slot)(QNetworkReply *))
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(kReplyTimeoutMs);
    QNetworkReply *reply = manager.get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > kMaxReplyBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, slot] { (this->*slot)(reply); });
    return reply;
}

void MainWindow::abandonServiceRequests()
{
    m_idleTimer.stop();
    for (QNetworkReply *reply : {m_versionReply.data(), m_advLinkReply.data()}) {
        if (!reply)
            continue;
        disconnect(reply, nullptr, this, nullptr);
        reply->abort();
        delete reply;
    }
}

void MainWindow::sendStartupRequests()
{
    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(kIdleRetryMs);
    connect(&m_idleTimer, &QTimer::timeout, this, &MainWindow::offerDownloadWhenIdle);

    const QUrl checkUrl = webSitePage(
            kCheckPath, {{QStringLiteral("pid"), productIdText()},
                         {QStringLiteral("ver"), QString::number(kUpdateCheckBuild)},
                         {QStringLiteral("q"), QStringLiteral("1")}});
    if (checkUrl.isEmpty())
        return; // no web service: nothing is ever sent

    std::optional<QByteArray> stamp;
    QFile stampFile(stampPath());
    if (stampFile.open(QIODevice::ReadOnly))
        stamp = stampFile.read(64);
    if (!updateCheckDue(stamp, updateCheckNow()))
        return;

    m_versionReply
            = sendServiceRequest(versionRequest, checkUrl, &MainWindow::onCheckVersionReadyRead);
    m_advLinkReply = sendServiceRequest(
            advLinkRequest, webSitePage(kAdvPath, {{QStringLiteral("pid"), productIdText()}}),
            &MainWindow::onGetAdvLinkRead);
}

void MainWindow::onCheckVersionReadyRead(QNetworkReply *reply)
{
    if (!reply || !reply->isFinished())
        return;
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return; // no answer at all: the next start tries again

    // The service answered: the next check waits a day.
    writeWhole(stampPath(), QByteArray::number(updateCheckNow()));

    if (status.toInt() != 200 || reply->error() != QNetworkReply::NoError
        || !isFromService(reply->url(), serviceUrl(kCheckPath)))
        return;
    const QByteArray body = reply->read(kMaxReplyBytes + 1);
    if (body.size() > kMaxReplyBytes)
        return;
    const QUrl download = updateDownloadUrl(body);
    if (download.isEmpty())
        return;
    m_pendingDownload = download;
    offerDownloadWhenIdle();
}

bool MainWindow::guiIdle()
{
    return !QApplication::activeModalWidget() && !QApplication::activePopupWidget()
            && QThread::currentThread()->loopLevel() <= 1;
}

void MainWindow::offerDownloadWhenIdle()
{
    if (m_pendingDownload.isEmpty() && !m_closePending)
        return;
    if (!guiIdle()) {
        // A job or another box is running its own loop: ask later.
        m_idleTimer.start();
        return;
    }
    if (!m_pendingDownload.isEmpty()) {
        const QUrl download = m_pendingDownload;
        m_pendingDownload.clear();
        const QString question
                = QStringLiteral("A new version of %1 is available. Would you like to "
                                 "download it now?")
                          .arg(productName());
        if (!askQuestion(question))
            return;
        shellOpen(download.toString(QUrl::FullyEncoded));
        m_closePending = true;
        if (!guiIdle()) {
            m_idleTimer.start();
            return;
        }
    }
    if (m_closePending) {
        m_closePending = false;
        close();
    }
}

void MainWindow::onGetAdvLinkRead(QNetworkReply *reply)
{
    if (!reply || !reply->isFinished())
        return;
    reply->deleteLater();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.toInt() != 200 || reply->error() != QNetworkReply::NoError
        || !isFromService(reply->url(), serviceUrl(kAdvPath)))
        return;
    const QByteArray body = reply->read(kMaxReplyBytes + 1);
    if (body.size() > kMaxReplyBytes)
        return;
    const QString text = QString::fromUtf8(untilNul(body));
    if (!text.startsWith(QLatin1String("<a"), Qt::CaseInsensitive))
        return;
    const QString line = sanitizeAdvLink(text);
    if (line.isEmpty())
        return;
    advLinkLabel->setText(line);
    writeWhole(advPath(), line.toUtf8());
}

void MainWindow::showSavedAdvLink()
{
    QFile saved(advPath());
    if (saved.open(QIODevice::ReadOnly)) {
        // The saved line came from the web service: only a plain link is shown.
        advLinkLabel->setText(sanitizeAdvLink(QString::fromUtf8(untilNul(saved.readAll()))));
    }
}

bool MainWindow::noWebSite(const QUrl &page)
{
    if (!page.isEmpty())
        return false;
    showInfo(ids("IDS_NO_WEB_SITE_CONFIGURED"));
    return true;
}

void MainWindow::miCheckUpdate()
{
    if (noWebSite(webSitePage(kCheckPath)))
        return;
    const quint32 serial = currentVolumeSerial().value_or(123456u);
    const QUrl page
            = webSitePage(kCheckPath, {{QStringLiteral("pid"), productIdText()},
                                       {QStringLiteral("ver"), QString::number(kUpdateCheckBuild)},
                                       {QStringLiteral("vs"), QString::number(serial)}});
    shellOpen(page.toString(QUrl::FullyEncoded));
}

void MainWindow::miHelp()
{
    const QUrl page = webSitePage(QStringLiteral("/pelicorde/help.html"));
    if (!noWebSite(page))
        shellOpen(page.toString(QUrl::FullyEncoded));
}

void MainWindow::miFeedback()
{
    const QUrl page = webSitePage(QStringLiteral("/support.html"));
    if (!noWebSite(page))
        shellOpen(page.toString(QUrl::FullyEncoded));
}

void MainWindow::miAbout()
{
    AboutUsForm box(this);
    box.exec();
}

void MainWindow::miHome()
{
    const QUrl page = webSitePage(QStringLiteral("/pelicorde.html"));
    if (!noWebSite(page))
        shellOpen(page.toString(QUrl::FullyEncoded));
}
