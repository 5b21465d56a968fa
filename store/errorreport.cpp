#include "store/errorreport.h"

#include "buildconfig.h"
#include "store/texts.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QThread>

QString serviceHost()
{
    if (qEnvironmentVariableIsSet("PELICORDE_SERVICE_HOST"))
        return qEnvironmentVariable("PELICORDE_SERVICE_HOST").trimmed();
    return QStringLiteral(PEL_SERVICE_HOST).trimmed();
}

QString supportAddress()
{
    if (qEnvironmentVariableIsSet("PELICORDE_SUPPORT_ADDRESS"))
        return qEnvironmentVariable("PELICORDE_SUPPORT_ADDRESS").trimmed();
    return QStringLiteral(PEL_SUPPORT_ADDRESS).trimmed();
}

QUrl serviceUrl(const QString &path)
{
    const QString host = serviceHost();
    if (host.isEmpty())
        return {};
    QUrl url(QStringLiteral("http://") + host);
    if (!url.isValid() || url.host().isEmpty())
        return {};
    url.setPath(path);
    return url;
}

QString urlSafeBase64(const QString &text)
{
    QString b64 = QString::fromLatin1(text.toUtf8().toBase64());
    b64.replace(QLatin1Char('/'), QLatin1Char('!'));
    b64.replace(QLatin1Char('='), QLatin1Char('-'));
    return b64;
}

static QByteArray formValue(const QString &value)
{
    // The values are Base64 text: "+" must not arrive as a blank.
    return QUrl::toPercentEncoding(urlSafeBase64(value), "!");
}

QByteArray errorReportBody(const QString &message)
{
    static const QRegularExpression lineBreak(QStringLiteral("< *br */?>"),
                                              QRegularExpression::CaseInsensitiveOption);
    QString err = message;
    err.replace(lineBreak, QStringLiteral("\r\n"));
    err.replace(QLatin1Char('<'), QStringLiteral("&lt;"));
    err.replace(QLatin1Char('>'), QStringLiteral("&gt;"));
    const QString version
            = QStringLiteral("%1(%2)").arg(QStringLiteral(PEL_VERSION)).arg(PEL_BUILD_NUMBER);

    QByteArray body("prod=");
    body += formValue(productName());
    body += "&ver=";
    body += formValue(version);
    body += "&err=";
    body += formValue(err);
    return body;
}

bool sendErrorReport(const QString &message)
{
    const QUrl url = serviceUrl(QStringLiteral("/err_report.php"));
    if (url.isEmpty() || !QCoreApplication::instance())
        return false;
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
        // The manager lives in the GUI thread: hand the report over to it.
        QMetaObject::invokeMethod(
                QCoreApplication::instance(), [message] { sendErrorReport(message); },
                Qt::QueuedConnection);
        return true;
    }

    // One manager for the process, living as long as the application object.
    static QPointer<QNetworkAccessManager> manager;
    if (!manager)
        manager = new QNetworkAccessManager(QCoreApplication::instance());

    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setTransferTimeout(30000);
    QNetworkReply *reply = manager->post(request, errorReportBody(message));
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return true;
}
