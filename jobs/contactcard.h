#pragma once

#include "jobs/vcard.h"

#include <QByteArray>
#include <QFont>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

class QPainter;

// What a contact card shows of the first card of a vCard file.
struct ContactCard
{
    QByteArray photo; // decoded PHOTO bytes (JPEG or PNG when usable)
    QString name; // FN
    QString title; // TITLE
    QString organisation; // ORG, whole, semicolons included
    QString birthday; // BDAY as written in the file
    QString email; // EMAIL
    QString address; // ADR, whole, semicolons included
    QStringList phones; // every TEL in file order
};

// One text line of a card: a bold italic label and an optional value drawn
// beside it, on one line or word-wrapped.
struct ContactCardLine
{
    QString label;
    QString value;
    bool singleLine = true;
    int pixelSize = 11;
    // Whether the next line starts below this one.
    bool advance = true;
};

namespace contactcard {
inline constexpr int kWidth = 200;
inline constexpr int kHeight = 90;
inline constexpr int kBorder = 1;
inline constexpr int kMargin = 5;
inline constexpr int kSpacing = 1;
inline constexpr int kFontSize = 11;
inline constexpr int kNameFontSize = kFontSize + kFontSize / 7;
inline constexpr int kPhotoSize = 47;
inline constexpr int kTextLeft = kMargin + kSpacing + kPhotoSize;
inline constexpr int kTextWidth = 190 - kTextLeft;
inline constexpr int kMaxPhones = 4;
// Largest vCard file read; anything bigger is no contact card.
inline constexpr qint64 kMaxVCardSize = 64 * 1024 * 1024;
} // namespace contactcard

// The fields of a card; property names are compared without regard to case,
// and a later property replaces an earlier one (TEL adds a phone).
ContactCard contactCardFromVCard(const VCard &card);
// The text lines of a card, top to bottom.
QList<ContactCardLine> contactCardLines(const ContactCard &card);
// The 200 x 90 picture of a card.
QImage drawContactCard(const ContactCard &card);
// Draws label (and value, when not empty) at (x, y) in a column of the given
// width; returns the height used. font is changed in place.
int drawLabelValue(QPainter &painter, QFont &font, int x, int y, int width, const QString &label,
                   const QString &value, bool singleLine);

// The per-user folder where contact-card pictures are kept.
QString contactCardFolder();
// The path of a JPEG picture of the first card of the vCard file, drawn once
// and kept (drawn again when the vCard file is newer than the picture); an
// empty text when the file cannot be read (a pipe or a link is never read),
// holds no card or the picture cannot be saved.
QString renderContactCard(const QString &vcardPath);
