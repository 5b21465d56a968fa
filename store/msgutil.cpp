#include "store/msgutil.h"

#include "store/attachmentfile.h"
#include "store/emoji.h"
#include "store/texts.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <limits>

namespace {

// |a - b| without overflow for any two 64-bit values.
quint64 distance(qint64 a, qint64 b)
{
    return a >= b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
}

// The MD5 digest of data as hex text, upper or lower case, with dashes
// after the digits whose positions dashes lists (ascending, -1 ends it).
// Asked for every message written: one allocation, for the result.
QString hexMd5(QByteArrayView data, bool upper, std::initializer_list<int> dashes = {})
{
    QCryptographicHash md5(QCryptographicHash::Md5);
    md5.addData(data);
    const QByteArrayView digest = md5.resultView();
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    QString out(2 * digest.size() + qsizetype(dashes.size()), Qt::Uninitialized);
    QChar *o = out.data();
    auto dash = dashes.begin();
    for (qsizetype i = 0; i < digest.size(); ++i) {
        const uchar b = uchar(digest[i]);
        *o++ = QLatin1Char(digits[b >> 4]);
        *o++ = QLatin1Char(digits[b & 0xF]);
        if (dash != dashes.end() && *dash == 2 * (i + 1)) {
            *o++ = QLatin1Char('-');
            ++dash;
        }
    }
    return out;
}

QString lowerHexMd5(const QByteArray &data)
{
    return hexMd5(data, false);
}

// Appends the UTF-8 of text to out.
void appendUtf8(QByteArray &out, const QString &text)
{
    const qsizetype n = text.size();
    const char16_t *in = reinterpret_cast<const char16_t *>(text.utf16());
    qsizetype ascii = 0;
    while (ascii < n && in[ascii] < 0x80)
        ++ascii;
    if (ascii < n) {
        out += text.toUtf8();
        return;
    }
    const qsizetype at = out.size();
    out.resize(at + n);
    char *dst = out.data() + at;
    for (qsizetype i = 0; i < n; ++i)
        dst[i] = char(in[i]);
}

// Private folder of thumbnails below the per-user cache folder.
QString thumbnailFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const QString path = QDir(base).absoluteFilePath(QStringLiteral("thumbnails"));
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString attachmentTag(const QString &mime)
{
    if (mime.startsWith(QLatin1String("image/"), Qt::CaseInsensitive))
        return QStringLiteral(" [IMAGE]");
    if (mime.startsWith(QLatin1String("video/"), Qt::CaseInsensitive))
        return QStringLiteral(" [VIDEO]");
    if (mime.startsWith(QLatin1String("audio/"), Qt::CaseInsensitive))
        return QStringLiteral(" [AUDIO]");
    if (mime.compare(QLatin1String("text/x-vCard"), Qt::CaseInsensitive) == 0
        || mime.compare(QLatin1String("text/vcard"), Qt::CaseInsensitive) == 0)
        return QStringLiteral(" [VCARD]");
    return QStringLiteral(" [ATTA]");
}

QString eventName(const _MsgHandle *h)
{
    return h ? handleDisplayName(*h, false) : ids("You");
}

// The order of messageLessThan on the two fields it reads.
bool orderLess(qint64 aKey, qint32 aDate, qint64 bKey, qint32 bDate)
{
    if (distance(aKey, bKey) > 20)
        return aDate < bDate;
    if (distance(aDate, bDate) > 120)
        return aDate < bDate;
    return aKey < bKey;
}

// Bottom-up merge sort. Every index stays within [0, n) by construction, so
// a comparator that is not a strict weak order can give an odd order but
// never a read outside the list. An element of the right run goes first only
// when it is strictly less, which keeps equal elements in their order.
template<class T, class Less>
void mergeSort(QList<T> &list, Less less)
{
    const qsizetype n = list.size();
    if (n < 2)
        return;
    QList<T> buffer(n);
    T *from = list.data();
    T *to = buffer.data();
    for (qsizetype width = 1; width < n; width *= 2) {
        for (qsizetype lo = 0; lo < n; lo += 2 * width) {
            const qsizetype mid = std::min(lo + width, n);
            const qsizetype hi = std::min(lo + 2 * width, n);
            qsizetype i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                if (less(from[j], from[i]))
                    to[k++] = from[j++];
                else
                    to[k++] = from[i++];
            }
            while (i < mid)
                to[k++] = from[i++];
            while (j < hi)
                to[k++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from != list.data())
        std::copy(from, from + n, list.data());
}

// What the message order reads, side by side: the sort walks this array
// instead of following a pointer to each message at every comparison.
struct SortKey
{
    qint64 orderKey;
    qint32 date;
    _MsgMessage *message;
};

template<bool NewestFirst>
void sortByKeys(MsgMessageList &list)
{
    QList<SortKey> keys;
    keys.reserve(list.size());
    for (_MsgMessage *m : std::as_const(list))
        keys.append({m->orderKey, m->date, m});
    mergeSort(keys, [](const SortKey &a, const SortKey &b) {
        return NewestFirst ? orderLess(b.orderKey, b.date, a.orderKey, a.date)
                           : orderLess(a.orderKey, a.date, b.orderKey, b.date);
    });
    _MsgMessage **out = list.data();
    for (const SortKey &k : std::as_const(keys))
        *out++ = k.message;
}

} // namespace

bool messageLessThan(const _MsgMessage &a, const _MsgMessage &b)
{
    return orderLess(a.orderKey, a.date, b.orderKey, b.date);
}

bool messageNotLessThan(const _MsgMessage &a, const _MsgMessage &b)
{
    return messageLessThan(b, a);
}

void sortMessages(MsgMessageList &list, MessageLess less)
{
    // The message orders themselves compare two fields: sorted on copies of
    // those, with the very same comparisons and so the very same result.
    // Null entries (never in a shown list) take the general path.
    if ((less == messageLessThan || less == messageNotLessThan)
        && !list.contains(nullptr)) {
        if (less == messageLessThan)
            sortByKeys<false>(list);
        else
            sortByKeys<true>(list);
        return;
    }
    mergeSort(list, [less](const _MsgMessage *a, const _MsgMessage *b) { return less(*a, *b); });
}

void sortMessages(MsgMessageList &list)
{
    sortMessages(list, messageLessThan);
}

void sortMessagesNewestFirst(MsgMessageList &list)
{
    sortMessages(list, messageNotLessThan);
}

bool attachmentLessThan(const _MsgAttachment &a, const _MsgAttachment &b)
{
    return a.ROWID < b.ROWID;
}

QList<_MsgAttachment *> sortedAttachments(const _MsgMessage &m)
{
    QList<_MsgAttachment *> list;
    for (_MsgAttachment *a : m.attachments)
        if (a)
            list.append(a);
    std::stable_sort(list.begin(), list.end(),
                     [](const _MsgAttachment *a, const _MsgAttachment *b) {
                         return attachmentLessThan(*a, *b);
                     });
    return list;
}

QString handleDisplayName(const _MsgHandle &h, bool withIds)
{
    if (h.contactName.isEmpty())
        return h.id;
    if (withIds)
        return QStringLiteral("%1 (%2)").arg(h.contactName, h.id);
    return h.contactName;
}

QString chatDisplayName(const _MsgChat &c, bool withIds)
{
    if (!c.display_name.isEmpty())
        return c.display_name;
    if (c.handles.isEmpty())
        return ids("Unknown");
    // Participants by ROWID, so that the label is the same in every run.
    QList<const _MsgHandle *> handles;
    for (const _MsgHandle *h : c.handles)
        if (h)
            handles.append(h);
    std::stable_sort(handles.begin(), handles.end(),
                     [](const _MsgHandle *a, const _MsgHandle *b) { return a->ROWID < b->ROWID; });
    QStringList labels;
    for (const _MsgHandle *h : handles)
        labels.append(handleDisplayName(*h, withIds));
    return labels.join(QLatin1String(", "));
}

QString messageChatTitle(const _MsgMessage &m)
{
    if (!m.chat)
        return ids("unknown");
    QString title = chatDisplayName(*m.chat, true);
    if (m.chat->handles.size() > 1 && m.handle) {
        const QString who = m.handle->contactName.isEmpty() ? m.handle->id : m.handle->contactName;
        title += QStringLiteral(" (%1)").arg(who);
    }
    return title;
}

QString messageBodyText(const _MsgMessage &m)
{
    QString s = m.text;
    s.remove(QChar(0xFFFC));
    return s;
}

QString messageDisplayText(const _MsgMessage &m)
{
    if (m.item_type != 0) {
        const QString date
                = iosDateToDateTime(m.date).toString(QString::fromLatin1(kMessageDateFormat));
        const QString sender = eventName(m.handle);
        const QString other = eventName(m.otherHandle);
        switch (m.item_type) {
        case 1:
            return ids("%1 Added %2 to the conversation.\n%3").arg(sender, other, date);
        case 2:
            return ids("%1 named the conversation \"%2\".\n%3").arg(sender, m.group_title, date);
        case 3:
            return ids("%1 left the conversation.\n%2").arg(sender, date);
        case 4:
            return ids("%1 %2 sharing location with %3.\n%4")
                    .arg(sender, m.share_status == 0 ? ids("started") : ids("stopped"), other,
                         date);
        default:
            return ids("System Information.\n%1").arg(date);
        }
    }
    QString s = messageBodyText(m);
    for (const _MsgAttachment *a : sortedAttachments(m))
        s += attachmentTag(a->mime_type);
    return s.trimmed();
}

QString messagePlainText(const _MsgMessage &m)
{
    return replaceEmoji(messageDisplayText(m), emojiPlaceholderText, nullptr);
}

QString logicHash(const _MsgMessage &m)
{
    if (m.item_type != 0)
        return lowerHexMd5(m.guid.toUtf8());
    QByteArray data;
    data.reserve(64 + (m.handle ? m.handle->id.size() : 0) + m.text.size() * 3);
    if (m.handle)
        appendUtf8(data, m.handle->id);
    char date[4];
    qToLittleEndian<qint32>(m.date, date);
    data.append(date, 4);
    data.append(char(m.is_from_me & 0xFF));
    if (m.text.contains(QChar(0xFFFC)))
        data += messageBodyText(m).toUtf8();
    else
        appendUtf8(data, m.text);
    QStringList names;
    for (const _MsgAttachment *a : m.attachments) {
        if (!a || a->filename.isEmpty())
            continue;
        const qsizetype cut = std::max(a->filename.lastIndexOf(QLatin1Char('/')),
                                       a->filename.lastIndexOf(QLatin1Char('\\')));
        names.append(a->filename.mid(cut + 1).toLower());
    }
    std::sort(names.begin(), names.end()); // UTF-16 code-unit order
    for (const QString &name : std::as_const(names))
        data += name.toUtf8();
    return lowerHexMd5(data);
}

QString newGuid()
{
    const QString braced = QUuid::createUuid().toString().toUpper();
    QString out;
    out.reserve(36);
    for (QChar c : braced)
        if (c == QLatin1Char('-') || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')))
            out += c;
    return out;
}

QString md5Guid(const QByteArray &data)
{
    return hexMd5(data, true, {8, 12, 16, 20});
}

QString absDecimal(qint32 value)
{
    const qint64 wide = value;
    return QString::number(wide < 0 ? -wide : wide);
}

QString newGroupChatId(const QString &seed)
{
    const QByteArray seedBytes = seed.toUtf8();
    QString text;
    quint32 counter = 0;
    while (text.size() <= 17) {
        QByteArray data(4, '\0');
        qToLittleEndian<quint32>(counter, data.data());
        data += seedBytes;
        ++counter;
        const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Md5);
        quint32 x = 0;
        for (int i = 0; i < 4; ++i)
            x ^= qFromLittleEndian<quint32>(digest.constData() + 4 * i);
        text += absDecimal(qint32(x));
    }
    return QStringLiteral("chat") + text.left(18);
}

QDateTime iosDateToDateTime(qint32 iosDate)
{
    return QDateTime::fromSecsSinceEpoch(qint64(iosDate) + kIosEpochOffset).toLocalTime();
}

qint32 dateTimeToIosDate(const QDateTime &dt)
{
    const qint64 d = dt.toSecsSinceEpoch() - kIosEpochOffset;
    return qint32(std::clamp<qint64>(d, std::numeric_limits<qint32>::min(),
                                     std::numeric_limits<qint32>::max()));
}

qint32 iosDateFromColumn(qint64 value)
{
    if (value > kNanosecondDatesAbove || value < -kNanosecondDatesAbove)
        value /= kNanosecondsPerSecond;
    return qint32(qBound(qint64(std::numeric_limits<qint32>::min()), value,
                         qint64(std::numeric_limits<qint32>::max())));
}

QByteArray attachmentAttributedBody(const QString &guid)
{
    static const QByteArray head
            = QByteArray::fromHex("040B73747265616D747970656481E803840140848484194E534D757461626C65"
                                  "41747472696275746564537472"
                                  "696E67008484124E5341747472696275746564537472696E67008484084E534F"
                                  "626A6563740085928484840F4E"
                                  "534D757461626C65537472696E67018484084E53537472696E67019584012B03"
                                  "EFBFBC86840269490101928484"
                                  "840C4E5344696374696F6E61727900958401690292849898225F5F6B494D4669"
                                  "6C655472616E73666572475549"
                                  "444174747269627574654E616D65869284989824");
    static const QByteArray tail
            = QByteArray::fromHex("86928498981D5F5F6B494D4D657373616765506172744174747269627574654E"
                                  "616D658692848484084E534E75"
                                  "6D626572008484074E5356616C7565009584012A849B9B00868686");
    return head + guid.toUtf8() + tail;
}

QString makeThumbnail(const _MsgAttachment &a)
{
    // A pipe or a link where the picture should be gets no thumbnail, not
    // even one made from an earlier file of that name.
    const QFileInfo source(a.localPath);
    if ((source.exists() || source.isSymLink()) && !isAttachmentFile(a.localPath))
        return QString();
    const QString path = QDir(thumbnailFolder())
                                 .absoluteFilePath(lowerHexMd5(a.localPath.toUtf8()) + ".thumb");
    if (QFileInfo::exists(path))
        return path;
    QByteArray format;
    const QImage image = loadAttachmentPicture(a.localPath, &format);
    if (image.isNull())
        return path;
    const QImage thumb = image.height() > image.width()
            ? image.scaledToHeight(120, Qt::FastTransformation)
            : image.scaledToWidth(120, Qt::FastTransformation);
    // Written under a temporary name and moved in place when complete.
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && thumb.save(&out, format.constData()))
        out.commit();
    return path;
}

void removeForbiddenNameChars(QString &name)
{
    name.removeIf([](QChar c) {
        switch (c.unicode()) {
        case ':':
        case '*':
        case '?':
        case '"':
        case '<':
        case '>':
        case '|':
            return true;
        default:
            return false;
        }
    });
}
