#include "jobs/bubblemarkup.h"

#include "jobs/contactcard.h"
#include "store/attachmentfile.h"
#include "store/emoji.h"
#include "store/msgutil.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

const QLatin1String
        kCells("<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
               "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
               "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
               "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
               "<div class=\"bb_bg bottom_right\"></div>");

QString linkHtml(const QString &target, const char *label)
{
    return QStringLiteral("<a href=\"%1\">%2</a>")
            .arg(htmlAttributeEscape(target), QLatin1String(label));
}

// The whole text of a plain-text attachment, or a null text when it cannot
// be read. Only regular files are read (a pipe or device would block or never
// end, a link could lead anywhere), and only the first
// kBubbleMaxTextAttachment bytes of them.
QString readTextAttachment(const QString &path)
{
    bool complete = false;
    const QByteArray bytes = readAttachmentFile(path, kBubbleMaxTextAttachment, &complete);
    if (bytes.isNull())
        return QString();
    QString text = QString::fromUtf8(bytes);
    if (!complete)
        text += QStringLiteral(" ...");
    return text.isNull() ? QStringLiteral("") : text;
}

QString senderLabel(const _MsgMessage &m)
{
    if (m.chat && m.chat->isGroup() && !m.is_from_me && m.handle)
        return handleDisplayName(*m.handle, false);
    return QString();
}

} // namespace

QString htmlAttributeEscape(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '"':
            out += QLatin1String("&quot;");
            break;
        case '\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString fileUrlText(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

QString bubbleHtml(const QString &contentHtml, bool sent, const QString &label)
{
    QString html;
    if (!label.isEmpty()) {
        html += QStringLiteral("<div class=\"ct_left\">%1</div><div class=\"clear\"></div>")
                        .arg(escapeMessageHtml(label));
    }
    html += sent ? QLatin1String("<div class=\"bb2\">") : QLatin1String("<div class=\"bb1\">");
    html += kCells;
    html += contentHtml;
    html += QLatin1String("</div><div class=\"clear\"></div>");
    return html;
}

QString exportImageLinkHtml(const QString &link, const QString &source, const QString &attrs)
{
    // attrs is ours (one of the constants above), never message data.
    return QStringLiteral("<a href=\"%1\"><img src=\"%2\" %3></a>")
            .arg(htmlAttributeEscape(link), htmlAttributeEscape(source), attrs);
}

QString imageLinkHtml(const QString &filePath, const QString &imagePath, const QString &attrs)
{
    const QString source = !imagePath.isEmpty() && QFileInfo::exists(imagePath)
            ? fileUrlText(imagePath)
            : QString::fromLatin1(kBubbleEmptyPhoto);
    return exportImageLinkHtml(fileUrlText(filePath), source, attrs);
}

BubbleAttachmentRefs viewAttachmentRefs()
{
    BubbleAttachmentRefs refs;
    refs.fileRef = [](const _MsgAttachment &a) { return fileUrlText(a.localPath); };
    refs.imageLink = [](const _MsgAttachment &a, const QString &imagePath, const QString &attrs) {
        return imageLinkHtml(a.localPath, imagePath, attrs);
    };
    return refs;
}

void appendMessageMarkup(QString &html, const _MsgMessage &m, qint64 &dateHeader,
                         const BubbleAttachmentRefs &refs)
{
    if (m.item_type != 0) {
        html += QStringLiteral("<div class=\"sysif\">%1</div>")
                        .arg(escapeMessageHtml(messagePlainText(m)));
        return;
    }

    const QString label = senderLabel(m);
    const bool sent = m.is_from_me != 0;

    const QDateTime when = iosDateToDateTime(m.date);
    const qint64 secs = qint64(m.date) + kIosEpochOffset;
    if (needsDateHeader(dateHeader, secs, true)) {
        html += QStringLiteral("<div class=\"dt\">%1</div>")
                        .arg(when.toString(QString::fromLatin1(kMessageDateFormat)).toHtmlEscaped());
        dateHeader = secs;
    }

    QString text;
    if (!m.subject.isEmpty())
        text += QStringLiteral("<Subject:%1>\n").arg(m.subject);
    text += messageBodyText(m);
    text = text.trimmed();

    if (!text.isEmpty() || m.attachments.isEmpty())
        html += bubbleHtml(escapeMessageHtml(text), sent, label);

    qint64 textShown = 0;
    for (const _MsgAttachment *a : sortedAttachments(m)) {
        const QString mime = a->mime_type.toLower();
        QString content;
        if (mime.startsWith(QLatin1String("image/"))) {
            content = refs.imageLink(*a, makeThumbnail(*a), QLatin1String(kBubbleImageAttrs));
        } else if (mime.startsWith(QLatin1String("video/"))) {
            content = linkHtml(refs.fileRef(*a), "[VIDEO]");
        } else if (mime.startsWith(QLatin1String("audio/"))) {
            content = linkHtml(refs.fileRef(*a), "[AUDIO]");
        } else if (mime == QLatin1String("text/x-vcard") || mime == QLatin1String("text/vcard")) {
            const QString card
                    = a->localPath.isEmpty() ? QString() : renderContactCard(a->localPath);
            if (!card.isEmpty() && QFileInfo::exists(card))
                content = refs.imageLink(*a, card, QLatin1String(kBubbleCardAttrs));
            else
                content = linkHtml(refs.fileRef(*a), "[VCARD]");
        } else if (mime == QLatin1String("text/plain")) {
            if (textShown < kBubbleMaxTextPerMessage) {
                const QString body = readTextAttachment(a->localPath);
                if (body.isNull())
                    continue;
                textShown += body.size();
                content = escapeMessageHtml(body);
            } else {
                if (!isAttachmentFile(a->localPath))
                    continue;
                content = linkHtml(refs.fileRef(*a), "[ATTACHMENT]");
            }
        } else {
            content = linkHtml(refs.fileRef(*a), "[ATTACHMENT]");
        }
        html += bubbleHtml(content, sent, label);
    }
}
