#include "ui/updatecheck.h"

#include "store/errorreport.h"

#include <QDateTime>
#include <QDir>
#include <QRegularExpression>
#include <QUrlQuery>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/statvfs.h>
#endif

namespace {

std::function<qint64()> &clockFunction()
{
    static std::function<qint64()> clock;
    return clock;
}

bool isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
            && !url.host().isEmpty();
}

// The five entities a plain-text link label is likely to carry.
QString decodeBasicEntities(QString text)
{
    text.replace(QLatin1String("&lt;"), QLatin1String("<"), Qt::CaseInsensitive);
    text.replace(QLatin1String("&gt;"), QLatin1String(">"), Qt::CaseInsensitive);
    text.replace(QLatin1String("&quot;"), QLatin1String("\""), Qt::CaseInsensitive);
    text.replace(QLatin1String("&#39;"), QLatin1String("'"));
    text.replace(QLatin1String("&amp;"), QLatin1String("&"), Qt::CaseInsensitive);
    return text;
}

} // namespace

qint64 updateCheckNow()
{
    if (clockFunction())
        return clockFunction()();
    return QDateTime::currentSecsSinceEpoch();
}

void setUpdateCheckClock(std::function<qint64()> clock)
{
    clockFunction() = std::move(clock);
}

QByteArray untilNul(const QByteArray &bytes)
{
    const qsizetype nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

bool updateCheckDue(const std::optional<QByteArray> &stamp, qint64 now)
{
    if (!stamp)
        return true;
    bool ok = false;
    const qint64 last = QString::fromLatin1(untilNul(*stamp)).trimmed().toLongLong(&ok);
    if (!ok || last == 0)
        return true;
    const quint32 elapsed = quint32(now) - quint32(last);
    return elapsed > kUpdateCheckInterval;
}

QUrl updateDownloadUrl(const QByteArray &body)
{
    const QString text = QString::fromLatin1(untilNul(body)).trimmed();
    if (!text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        && !text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        return {};
    const QUrl url(text, QUrl::StrictMode);
    return isWebAddress(url) ? url : QUrl();
}

bool isFromService(const QUrl &replyUrl, const QUrl &serviceUrl)
{
    return replyUrl.isValid() && serviceUrl.isValid()
            && replyUrl.scheme().compare(serviceUrl.scheme(), Qt::CaseInsensitive) == 0
            && replyUrl.host().compare(serviceUrl.host(), Qt::CaseInsensitive) == 0
            && replyUrl.port(80) == serviceUrl.port(80);
}

QString sanitizeAdvLink(const QString &text)
{
    // One opening tag, the label, the closing tag, and whatever follows.
    static const QRegularExpression anchor(
            QStringLiteral("^<a(\\s[^<>]*)?>(.*?)</a\\s*>(.*)$"),
            QRegularExpression::CaseInsensitiveOption
                    | QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression href(
            QStringLiteral("\\shref\\s*=\\s*(?:\"([^\"]*)\"|'([^']*)'|([^\\s\"'>]+))"),
            QRegularExpression::CaseInsensitiveOption);

    const QRegularExpressionMatch m = anchor.match(text);
    if (!m.hasMatch())
        return {};
    const QRegularExpressionMatch h = href.match(m.captured(1));
    if (!h.hasMatch())
        return {};
    QString address;
    for (int group = 1; group <= 3; ++group)
        if (h.capturedStart(group) >= 0)
            address = h.captured(group);
    const QUrl url(decodeBasicEntities(address).trimmed(), QUrl::StrictMode);
    if (!isWebAddress(url))
        return {};
    const QString label = decodeBasicEntities(m.captured(2)).toHtmlEscaped();
    const QString rest = decodeBasicEntities(m.captured(3)).toHtmlEscaped();
    return QStringLiteral("<a style=\"color:%1;text-decoration:none;\" href=\"%2\">%3</a>%4")
            .arg(QLatin1String(kAdvLinkColour),
                 QString::fromUtf8(url.toEncoded()).toHtmlEscaped(), label, rest);
}

QUrl webSitePage(const QString &path, const QList<QPair<QString, QString>> &query)
{
    QUrl url = serviceUrl(path);
    if (url.isEmpty())
        return {};
    if (!query.isEmpty()) {
        QUrlQuery q;
        q.setQueryItems(query);
        url.setQuery(q);
    }
    return url;
}

std::optional<quint32> currentVolumeSerial()
{
#ifdef Q_OS_WIN
    DWORD serial = 0;
    if (GetVolumeInformationW(nullptr, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0))
        return quint32(serial);
    return std::nullopt;
#else
    struct statvfs info = {};
    if (statvfs(QDir::currentPath().toLocal8Bit().constData(), &info) != 0 || info.f_fsid == 0)
        return std::nullopt;
    return quint32(info.f_fsid);
#endif
}
