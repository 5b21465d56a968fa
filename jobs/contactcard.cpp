#include "jobs/contactcard.h"

#include "store/attachmentfile.h"
#include "store/datafolder.h"
#include "store/texts.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QPainter>
#include <QPen>
#include <QSaveFile>
#include <QStandardPaths>

using namespace contactcard;

namespace {

const QColor kBackground(219, 226, 237);
const QColor kFrame(185, 185, 187);

// The date of an ISO 8601 date or date-time ("1980-01-15", "19800115",
// "1980-01-15T00:00:00Z"); invalid when the text is none of these.
QDate birthdayDate(const QString &text)
{
    const QString t = text.trimmed();
    QDate date = QDate::fromString(t, Qt::ISODate);
    if (!date.isValid())
        date = QDateTime::fromString(t, Qt::ISODate).date();
    if (!date.isValid())
        date = QDate::fromString(t.left(8), QStringLiteral("yyyyMMdd"));
    return date;
}

QImage photoImage(const QByteArray &bytes)
{
    QImage image;
    if (!bytes.isEmpty()) {
        image = QImage::fromData(bytes, "JPEG");
        if (image.isNull())
            image = QImage::fromData(bytes, "PNG");
    }
    if (image.isNull())
        image = QImage(QStringLiteral(":res/contact.png"));
    return image;
}

// The name of an N value (family; given; additional; prefixes; suffixes),
// in reading order: "Dr. John Philip Stevenson Jr.". A component's several
// values (separated by commas) are joined by blanks.
QString nameFromStructured(const QString &value)
{
    const QStringList parts = splitVCardText(value, u';');
    QStringList words;
    for (const int index : {3, 1, 2, 0, 4}) {
        if (index >= parts.size())
            continue;
        for (const QString &piece : splitVCardText(parts.at(index), u',')) {
            const QString word = unescapeVCardText(piece).trimmed();
            if (!word.isEmpty())
                words.append(word);
        }
    }
    return words.join(u' ');
}

// A phone as shown: a vCard 4.0 "tel:" URI without its scheme.
QString phoneText(const QString &text)
{
    if (text.startsWith(QLatin1String("tel:"), Qt::CaseInsensitive))
        return text.mid(4);
    return text;
}

// The picture bytes of PHOTO: the value itself, or the content of a
// base64 "data:" URI as vCard 4.0 writes it.
QByteArray photoBytes(const QByteArray &value)
{
    if (!value.startsWith("data:"))
        return value;
    const qsizetype comma = value.indexOf(',');
    if (comma < 0 || !value.left(comma).toLower().endsWith(";base64"))
        return value;
    return QByteArray::fromBase64(value.mid(comma + 1));
}

} // namespace

ContactCard contactCardFromVCard(const VCard &card)
{
    ContactCard c;
    QString structuredName;
    for (const VCardProperty &p : card) {
        // Phones and webmail write many properties under a group
        // ("item1.EMAIL"); the group does not change what they are.
        const QString name = vCardBaseName(p.name).toUpper();
        const QString text = unescapeVCardText(vCardValueText(p));
        if (name == u"FN")
            c.name = text;
        else if (name == u"N")
            structuredName = vCardValueText(p);
        else if (name == u"TITLE")
            c.title = text;
        else if (name == u"ORG")
            c.organisation = text;
        else if (name == u"BDAY")
            c.birthday = text;
        else if (name == u"EMAIL")
            c.email = text;
        else if (name == u"ADR")
            c.address = text;
        else if (name == u"TEL")
            c.phones.append(phoneText(text));
        else if (name == u"PHOTO")
            c.photo = photoBytes(p.value);
    }
    if (c.name.trimmed().isEmpty() && !structuredName.isEmpty())
        c.name = nameFromStructured(structuredName);
    return c;
}

QList<ContactCardLine> contactCardLines(const ContactCard &card)
{
    QList<ContactCardLine> lines;
    lines.append({card.name, QString(), true, kNameFontSize, true});
    if (!card.title.isEmpty() || !card.organisation.isEmpty()) {
        QString text = card.title;
        if (!card.organisation.isEmpty())
            text += u' ' + card.organisation;
        lines.append({text.trimmed(), QString(), true, kFontSize, true});
    }
    if (!card.birthday.isEmpty()) {
        const QDate date = birthdayDate(card.birthday);
        const QString shown = date.isValid()
                ? QLocale::system().toString(date, QLocale::ShortFormat)
                : QString();
        lines.append({ids("Birthday:"), shown, false, kFontSize, true});
    }
    for (qsizetype i = 0; i < card.phones.size() && i < kMaxPhones; ++i)
        lines.append({ids("Phone:"), card.phones.at(i), true, kFontSize, true});
    if (!card.email.isEmpty())
        lines.append({ids("E-Mail:"), card.email, true, kFontSize, true});
    if (!card.address.isEmpty())
        lines.append({ids("Address:"), card.address, false, kFontSize, false});
    return lines;
}

int drawLabelValue(QPainter &painter, QFont &font, int x, int y, int width, const QString &label,
                   const QString &value, bool singleLine)
{
    font.setWeight(QFont::Bold);
    font.setItalic(true);
    painter.setFont(font);
    const QRect labelRect = painter.boundingRect(QRect(x, y, width, 0),
                                                 Qt::AlignLeft | Qt::TextSingleLine, label);
    painter.drawText(labelRect, Qt::AlignLeft | Qt::TextSingleLine, label);
    if (value.isEmpty())
        return labelRect.height();

    font.setWeight(QFont::Normal);
    font.setItalic(false);
    painter.setFont(font);
    if (singleLine) {
        const QRect valueRect(QPoint(labelRect.right() + 3, labelRect.top()),
                              QPoint(labelRect.left() + width - 2, labelRect.bottom()));
        painter.save();
        painter.setClipRect(valueRect);
        painter.drawText(valueRect, Qt::AlignLeft | Qt::TextSingleLine, value);
        painter.restore();
        return labelRect.height();
    }
    const QRect valueRect = painter.boundingRect(QRect(labelRect.right() + 3, y, width, 0),
                                                 Qt::AlignLeft | Qt::TextWordWrap, value);
    painter.drawText(valueRect, Qt::AlignLeft | Qt::TextWordWrap, value);
    return valueRect.height();
}

QImage drawContactCard(const ContactCard &card)
{
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.fillRect(QRect(QPoint(0, 0), QPoint(kWidth - 1, kHeight - 1)), kBackground);

    painter.setPen(QPen(kFrame, kBorder, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRect(QPoint(kBorder / 2, kBorder / 2),
                           QPoint(kWidth - 1 - kBorder, kHeight - 1 - kBorder)));

    const QImage photo = photoImage(card.photo);
    if (!photo.isNull()) {
        painter.drawImage(
                QPoint(kMargin, kMargin),
                photo.scaled(kPhotoSize, kPhotoSize, Qt::KeepAspectRatio, Qt::FastTransformation));
    }

    painter.setPen(Qt::black);
    QFont font = QGuiApplication::font();
    int y = kMargin;
    for (const ContactCardLine &line : contactCardLines(card)) {
        font.setPixelSize(line.pixelSize);
        const int height = drawLabelValue(painter, font, kTextLeft, y, kTextWidth, line.label,
                                          line.value, line.singleLine);
        if (line.advance)
            y += height + kSpacing;
    }
    painter.end();
    return image;
}

QString contactCardFolder()
{
    const QString base = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const QString path = QDir(base).absoluteFilePath(QStringLiteral("contact-cards"));
    QDir().mkpath(path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QString renderContactCard(const QString &vcardPath)
{
    // Kept in a folder of the user's own: in the shared temporary folder a
    // predictable name could be taken by someone else's file first.
    const QString cardPath = QDir(contactCardFolder())
                                     .absoluteFilePath(md5Hex(vcardPath) + QStringLiteral(".jpg"));
    // A pipe or a link where the card should be is never read, and gets no
    // card drawn from an earlier file of that name either.
    const QFileInfo source(vcardPath);
    if ((source.exists() || source.isSymLink()) && !isAttachmentFile(vcardPath))
        return QString();
    const QFileInfo cached(cardPath);
    if (cached.exists()) {
        if (!source.exists() || source.lastModified() <= cached.lastModified())
            return cardPath;
    }

    QFile file;
    if (!openAttachmentFile(file, vcardPath) || file.size() > kMaxVCardSize)
        return QString();
    const QList<VCard> cards = parseVCards(file.read(kMaxVCardSize));
    if (cards.isEmpty())
        return QString();

    const QImage image = drawContactCard(contactCardFromVCard(cards.first()));
    if (image.isNull())
        return QString();
    // Written under a temporary name and moved in place when complete, so
    // that a reader never sees half a picture.
    QSaveFile out(cardPath);
    if (!out.open(QIODevice::WriteOnly) || !image.save(&out, "JPEG") || !out.commit())
        return QString();
    return cardPath;
}
