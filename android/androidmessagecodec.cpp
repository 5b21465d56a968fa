#include "android/androidmessagecodec.h"

#include "android/simpleprotocol.h"
#include "store/datafolder.h"
#include "store/msgdataset.h"
#include "store/msgutil.h"
#include "store/sqlite3db.h"

#include <QFileInfo>

using namespace simpleprotocol;

namespace {

constexpr qsizetype kMaxNameLength = 128;
// File systems take names of up to 255 bytes; a part name stays well below,
// so that the "-2" ... of a repeated name still fits.
constexpr qsizetype kMaxNameBytes = 200;

// The longest start of text within both limits (UTF-16 units, UTF-8 bytes)
// that ends on a whole character.
QString cutToLimits(const QString &text, qsizetype maxUnits, qsizetype maxBytes)
{
    qsizetype bytes = 0;
    qsizetype i = 0;
    while (i < text.size()) {
        const bool pair = text.at(i).isHighSurrogate() && i + 1 < text.size()
                && text.at(i + 1).isLowSurrogate();
        const qsizetype units = pair ? 2 : 1;
        const qsizetype size = text.mid(i, units).toUtf8().size();
        if (i + units > maxUnits || bytes + size > maxBytes)
            break;
        bytes += size;
        i += units;
    }
    return text.left(i);
}

bool decodeStrict(QStringView text, QByteArray *out)
{
    const auto result = QByteArray::fromBase64Encoding(text.toLatin1(),
                                                       QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return false;
    *out = *result;
    return true;
}

QString shown(QStringView text)
{
    return text.size() > 40 ? text.left(40).toString() + QLatin1String("...") : text.toString();
}

} // namespace

QString decodeArgumentText(QIODevice *peer, QStringView field)
{
    QByteArray bytes;
    if (!decodeStrict(field, &bytes))
        throw LocalException(peer, QStringLiteral("invalid base64 text [%1].").arg(shown(field)));
    return QString::fromUtf8(bytes);
}

QByteArray decodeAttachmentData(QIODevice *peer, QStringView line)
{
    QByteArray bytes;
    if (!decodeStrict(line, &bytes))
        throw LocalException(peer,
                             QStringLiteral("invalid attachment data [%1].").arg(shown(line)));
    return bytes;
}

QString attachmentPartName(const QString &raw)
{
    const QByteArray bytes = raw.toLatin1();
    QString name = QString::fromUtf8(bytes);
    // Not UTF-8 after all: keep the bytes as Latin-1.
    if (name.contains(QChar::ReplacementCharacter))
        name = raw;
    QString clean;
    for (const QChar c : std::as_const(name))
        if (c.category() != QChar::Other_Control && c != QChar::Null)
            clean += c;
    clean = sanitizeFileName(clean);
    bool onlyDots = true;
    for (const QChar c : std::as_const(clean))
        onlyDots = onlyDots && c == QLatin1Char('.');
    if (clean.isEmpty() || onlyDots)
        return QStringLiteral("Unknown2");
    if (clean.size() > kMaxNameLength || clean.toUtf8().size() > kMaxNameBytes) {
        const QString suffix = cutToLimits(QFileInfo(clean).suffix(), 16, 64);
        const qsizetype dot = suffix.isEmpty() ? 0 : 1;
        clean = cutToLimits(clean, kMaxNameLength - suffix.size() - dot,
                            kMaxNameBytes - suffix.toUtf8().size() - dot)
                        .trimmed()
                + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    }
    return clean;
}

QString uniqueAttachmentName(const QString &name, QSet<QString> *used)
{
    QString candidate = name;
    const QString suffix = QFileInfo(name).completeSuffix();
    const QString base = suffix.isEmpty() ? name : name.left(name.size() - suffix.size() - 1);
    for (int n = 2; used->contains(candidate.toLower()); ++n)
        candidate = base + QLatin1Char('-') + QString::number(n)
                + (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
    used->insert(candidate.toLower());
    return candidate;
}

QString phoneListingHash(const QString &address, qint32 date, bool fromMe, const QString &text)
{
    _MsgHandle handle;
    handle.id = address;
    _MsgMessage m;
    m.handle = &handle;
    m.date = date;
    m.is_from_me = fromMe ? 1 : 0;
    m.text = text;
    return logicHash(m);
}

QString protocolLineField(const QString &text, bool commaEnds)
{
    QString clean;
    clean.reserve(text.size());
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || (commaEnds && c == QLatin1Char(',')))
            continue;
        clean += c;
    }
    return clean;
}

void ensureParentHashTable(Sqlite3DB &db)
{
    if (!db.queryThrow(Sqlite3Sql("select 1 from sqlite_master where name='parent_hash' and "
                                  "type='table'"))
                 .moveNext()) {
        db.executeThrow(Sqlite3Sql("CREATE TABLE parent_hash(child TEXT, parent TEXT, "
                                   "phone_id TEXT)"));
        db.executeThrow(Sqlite3Sql("CREATE INDEX idx_parent_hash_child on parent_hash(child)"));
        db.executeThrow(Sqlite3Sql("CREATE INDEX idx_parent_hash_parent on parent_hash(parent)"));
        return;
    }
    if (!db.tbInfo(QStringLiteral("parent_hash")).contains(QLatin1String("phone_id")))
        db.executeThrow(Sqlite3Sql("ALTER TABLE parent_hash ADD COLUMN phone_id TEXT"));
}
