#include "jobs/vcard.h"

#include <QTextCodec>

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

// isspace of the C library, for any byte value.
bool isSpace(unsigned char c)
{
    return std::isspace(c) != 0;
}

bool equalsIgnoringCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        if (std::toupper(static_cast<unsigned char>(*a))
            != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    }
    return *a == *b;
}

int hexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The encoding a parameter names: a bare QUOTED-PRINTABLE, BASE64, B or 8BIT,
// or one of them as the value of ENCODING; -1 when it names none.
int paramEncoding(const char *name, const char *value)
{
    const char *text = name;
    if (equalsIgnoringCase(name, "ENCODING")) {
        if (!value)
            return -1;
        text = value;
    }
    if (equalsIgnoringCase(text, "QUOTED-PRINTABLE"))
        return ContentLineParser::QuotedPrintable;
    if (equalsIgnoringCase(text, "BASE64") || equalsIgnoringCase(text, "B"))
        return ContentLineParser::Base64;
    if (equalsIgnoringCase(text, "8BIT"))
        return ContentLineParser::EightBit;
    return -1;
}

} // namespace

ContentLineParser *ContentLineParser::create()
{
    auto *p = static_cast<ContentLineParser *>(std::calloc(1, sizeof(ContentLineParser)));
    if (!p)
        return nullptr;
    p->atLineStart = 1;
    p->reset();
    return p;
}

void ContentLineParser::destroy(ContentLineParser *parser)
{
    if (!parser)
        return;
    std::free(parser->buffer);
    std::free(parser->params);
    std::free(parser);
}

const char *ContentLineParser::version()
{
    return "1.0";
}

void ContentLineParser::reset()
{
    length = 0;
    state = Name;
    if (capacity > 1024) {
        std::free(buffer);
        buffer = nullptr;
        capacity = 0;
    }
    atValueStart = 1;
    paramCount = 0;
    escaped = 0;
    quoted = 0;
    versionLine = 0;
    encoding = NoEncoding;
    qpEscape = 0;
    std::memset(pending, 0, sizeof pending);
    pendingLength = 0;
}

int ContentLineParser::appendByte(char c)
{
    if (length >= capacity) {
        // Grows by half again (at least 128 bytes), so that a long value such
        // as a photo costs a handful of reallocations, not one per 128 bytes.
        const size_t grown = length + (length / 2 > 128 ? length / 2 : 128);
        char *bigger = static_cast<char *>(std::realloc(buffer, grown));
        if (!bigger) {
            std::free(buffer);
            buffer = nullptr;
            capacity = 0;
            length = 0;
            return 0;
        }
        buffer = bigger;
        capacity = grown;
    }
    buffer[length++] = c;
    return 1;
}

int ContentLineParser::reserveParams()
{
    // One slot more than used stays free for the terminating entry.
    if (paramCount + 1 >= paramCapacity) {
        const size_t grown = paramCapacity < 8 ? 8 : paramCapacity * 2;
        Param *bigger = static_cast<Param *>(std::realloc(params, grown * sizeof(Param)));
        if (!bigger)
            return 0;
        params = bigger;
        paramCapacity = grown;
    }
    return 1;
}

int ContentLineParser::appendParam(size_t offset)
{
    if (!reserveParams())
        return 0;
    params[paramCount++] = Param {nullptr, nullptr, offset, 0};
    return 1;
}

int ContentLineParser::setParamValue(size_t offset)
{
    if (!params || paramCount == 0)
        return 0;
    params[paramCount - 1].valueOffset = offset;
    return 1;
}

int ContentLineParser::feed(const char *bytes, size_t size, int final)
{
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (atLineStart) {
            if (c == '\n')
                continue;
            // The CR of an empty line ended by CR LF is part of its line
            // end, not white space that continues the line before.
            if (c == '\r' && !folding)
                continue;
            if (folding) {
                atLineStart = 0;
                if (encoding == QuotedPrintable) {
                    qpEscape = 0;
                    pendingLength = 0;
                }
                // vCard 2.1 folds at white space that belongs to the value;
                // 3.0 and 4.0 insert the white space, which goes with the fold.
                if ((!foldDropsSpace && !step(' ')) || !step(c))
                    return 0;
            } else if (isSpace(c)) {
                folding = 1;
            } else if (state == Value && encoding == QuotedPrintable && qpEscape
                       && pendingLength == 0) {
                // A quoted-printable soft line break ("=" at the end of the
                // line): the value goes on with the next line as it stands.
                atLineStart = 0;
                qpEscape = 0;
                if (!step(c))
                    return 0;
            } else {
                atLineStart = 0;
                if (!step('\n') || !step(c))
                    return 0;
            }
        } else if (c == '\n') {
            atLineStart = 1;
            folding = 0;
        } else if (!step(c)) {
            return 0;
        }
    }
    if (final) {
        const int ok = step('\n');
        atLineStart = 1;
        folding = 0;
        return ok;
    }
    return 1;
}

int ContentLineParser::step(unsigned char c)
{
    switch (state) {
    case Name:
        if (c == '\n') {
            reset(); // a line without ":" is dropped
            return 1;
        }
        if (c == '\r')
            return 1;
        if (c == ':')
            return endHeader();
        if (c == ';') {
            if (!appendByte('\0'))
                return 0;
            state = ParamStart;
            return 1;
        }
        if (isSpace(c))
            return 1;
        return appendByte(char(c));
    case ParamStart:
        if (c == ':') {
            reset();
            return 0;
        }
        if (isSpace(c))
            return 1;
        if (!appendParam(length))
            return 0;
        state = ParamName;
        return appendByte(char(c));
    case ParamName:
        if (c == ';' || c == '=') {
            if (!appendByte('\0'))
                return 0;
            state = c == ';' ? ParamStart : ParamValueStart;
            return 1;
        }
        if (c == ':')
            return endHeader();
        if (isSpace(c))
            return 1;
        return appendByte(char(c));
    case ParamValueStart:
        if (c == ':' || c == ';') {
            reset();
            return 0;
        }
        if (isSpace(c))
            return 1;
        if (!setParamValue(length))
            return 0;
        state = ParamValue;
        if (c == '"') {
            quoted = 1;
            return 1;
        }
        return appendByte(char(c));
    case ParamValue:
        // Between double quotes ":", ";", "," and blanks are part of the
        // value; the quotes themselves are not. A line end closes them, so
        // that a quote left open cannot swallow the rest of the file.
        if (quoted) {
            if (c == '"' || c == '\n') {
                quoted = 0;
                return 1;
            }
            if (c == '\r')
                return 1;
            return appendByte(char(c));
        }
        if (c == '"') {
            quoted = 1;
            return 1;
        }
        if (c == ':')
            return endHeader();
        if (c == ';') {
            if (escaped) {
                escaped = 0;
                return appendByte(';');
            }
            if (!appendByte('\0'))
                return 0;
            state = ParamStart;
            return 1;
        }
        if (isSpace(c))
            return 1;
        if (c == '\\') {
            if (escaped) {
                escaped = 0;
                return appendByte('\\');
            }
            escaped = 1;
            return 1;
        }
        return appendByte(char(c));
    case Value:
        return stepValue(c);
    }
    return 0;
}

int ContentLineParser::stepValue(unsigned char c)
{
    if (c == '\n')
        return endProperty();
    if (c == '\r')
        return 1;
    if (atValueStart && isSpace(c))
        return 1;
    if (atValueStart && versionLine) {
        // The card's version decides how the lines after it unfold.
        foldDropsSpace = c != '1' && c != '2';
        versionLine = 0;
    }
    atValueStart = 0;
    if (!valueHandler)
        return 1;
    switch (encoding) {
    case QuotedPrintable:
        if (qpEscape) {
            if (pendingLength == 0) {
                pending[0] = char(c);
                pendingLength = 1;
                return 1;
            }
            // Up to two hex digits; reading stops at the first other byte.
            int value = 0;
            const int high = hexDigitValue(static_cast<unsigned char>(pending[0]));
            if (high >= 0) {
                value = high;
                const int low = hexDigitValue(c);
                if (low >= 0)
                    value = value * 16 + low;
            }
            qpEscape = 0;
            pendingLength = 0;
            pending[0] = 0;
            return appendByte(char(value));
        }
        if (c == '=') {
            qpEscape = 1;
            return 1;
        }
        return appendByte(char(c));
    case Base64:
        if (isSpace(c))
            return 1;
        // Padding after nothing, or after one digit (which carries no whole
        // byte), is dropped with that digit.
        if (c == '=' && pendingLength < 2) {
            pendingLength = 0;
            return 1;
        }
        pending[pendingLength++] = char(c);
        return pendingLength == 4 ? decodeQuartet() : 1;
    default:
        return appendByte(char(c));
    }
}

int ContentLineParser::decodeQuartet()
{
    const int d0 = base64DigitValue(static_cast<unsigned char>(pending[0]));
    const int d1 = base64DigitValue(static_cast<unsigned char>(pending[1]));
    const int d2 = base64DigitValue(static_cast<unsigned char>(pending[2]));
    const int d3 = base64DigitValue(static_cast<unsigned char>(pending[3]));
    pendingLength = 0;
    if (d0 < 0 || d1 < 0)
        return 0;
    if (!appendByte(char((d0 << 2) | (d1 >> 4))))
        return 0;
    // "=" in third place ends the quartet: what follows it carries no bits.
    if (pending[2] == '=')
        return 1;
    if (d2 < 0 || !appendByte(char(((d1 << 4) | (d2 >> 2)) & 0xFF)))
        return 0;
    if (pending[3] == '=')
        return 1;
    if (d3 < 0)
        return 0;
    return appendByte(char(((d2 << 6) | d3) & 0xFF));
}

int ContentLineParser::endHeader()
{
    if (!appendByte('\0'))
        return 0;
    // The name ends at the first NUL: before the parameters, or here.
    versionLine = equalsIgnoringCase(buffer, "VERSION");
    if (equalsIgnoringCase(buffer, "BEGIN"))
        foldDropsSpace = 0; // until the new card says its version
    if (propertyHandler) {
        if (!reserveParams())
            return 0;
        for (size_t i = 0; i < paramCount; ++i) {
            Param &p = params[i];
            p.name = buffer + p.nameOffset;
            p.value = p.valueOffset ? buffer + p.valueOffset : nullptr;
            const int found = paramEncoding(p.name, p.value);
            if (found >= 0)
                encoding = found;
        }
        // appendParam always leaves a free slot for this entry.
        params[paramCount] = Param {nullptr, nullptr, 0, 0};
        propertyHandler(user, buffer, params);
    }
    length = 0;
    state = Value;
    return 1;
}

int ContentLineParser::endProperty()
{
    if (valueHandler) {
        // A last digit alone carries no whole byte: the bytes before it are
        // the value (cut photos of some phones end so).
        if (encoding == Base64 && pendingLength == 1)
            pendingLength = 0;
        if (encoding == Base64 && pendingLength > 0) {
            while (pendingLength < 4)
                pending[pendingLength++] = '=';
            if (!decodeQuartet())
                return 0;
        }
        if (length > 0)
            valueHandler(user, buffer, length);
        valueHandler(user, nullptr, 0);
    }
    reset();
    return 1;
}

int base64DigitValue(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

namespace {

// What the builder callbacks work on: indexes rather than pointers, since
// appending to a list may move its items.
struct BuildContext
{
    QList<VCard> *cards;
    qsizetype card;
    qsizetype property;
};

void vCardPropertyCallback(void *userData, const char *name, const ContentLineParser::Param *params)
{
    auto *ctx = static_cast<BuildContext *>(userData);
    if (std::strcmp(name, "BEGIN") == 0) {
        ctx->cards->append(VCard());
        ctx->card = ctx->cards->size() - 1;
        ctx->property = -1;
        return;
    }
    if (std::strcmp(name, "END") == 0) {
        ctx->card = -1;
        ctx->property = -1;
        return;
    }
    if (ctx->card < 0)
        return;
    VCardProperty property;
    property.name = QString::fromLatin1(name);
    for (const ContentLineParser::Param *p = params; p && p->name; ++p) {
        const QString key = QString::fromLatin1(p->name);
        const QString value = p->value ? QString::fromLatin1(p->value) : QString();
        // A repeated parameter (TYPE=HOME;TYPE=VOICE) keeps every value, as
        // the list form TYPE=HOME,VOICE would.
        QString &kept = property.parameters[key];
        if (kept.isEmpty())
            kept = value;
        else if (!value.isEmpty())
            kept += u',' + value;
    }
    VCard &card = (*ctx->cards)[ctx->card];
    card.append(property);
    ctx->property = card.size() - 1;
}

void vCardValueCallback(void *userData, const char *bytes, size_t length)
{
    auto *ctx = static_cast<BuildContext *>(userData);
    if (length == 0 || ctx->card < 0 || ctx->property < 0)
        return;
    (*ctx->cards)[ctx->card][ctx->property].value = QByteArray(bytes, qsizetype(length));
}

enum class Part { PropertyName, ParamName, ParamValue };

// A name or parameter text as the reader takes it back: without the bytes
// that it drops (white space, NUL) or that would end the line, the header
// or the parameter; a parameter name may hold ";" or "=" only in first
// place. A parameter value is written between double quotes when it holds
// anything the reader would take otherwise (":", ";", "\\", blanks); only
// NUL, line ends and the quote itself are dropped from it.
QByteArray headerText(const QString &text, Part part)
{
    QByteArray out;
    if (part == Part::ParamValue) {
        bool quote = false;
        for (const char c : text.toLatin1()) {
            if (c == '\0' || c == '\r' || c == '\n' || c == '"')
                continue;
            quote = quote || c == ':' || c == ';' || c == '\\'
                    || isSpace(static_cast<unsigned char>(c));
            out += c;
        }
        return quote ? '"' + out + '"' : out;
    }
    for (const char c : text.toLatin1()) {
        if (c == '\0' || c == ':' || isSpace(static_cast<unsigned char>(c)))
            continue;
        switch (part) {
        case Part::PropertyName:
            if (c == ';')
                continue;
            break;
        case Part::ParamName:
            if ((c == ';' || c == '=') && !out.isEmpty())
                continue;
            break;
        case Part::ParamValue:
            break;
        }
        out += c;
    }
    return out;
}

} // namespace

QList<VCard> parseVCards(const QByteArray &data)
{
    QList<VCard> cards;
    ContentLineParser *parser = ContentLineParser::create();
    if (!parser)
        return cards;
    BuildContext ctx {&cards, -1, -1};
    parser->setUserData(&ctx);
    parser->setPropertyHandler(vCardPropertyCallback);
    parser->setValueHandler(vCardValueCallback);
    // A failed feed keeps what was read before the error.
    parser->feed(data.constData(), size_t(data.size()), 1);
    ContentLineParser::destroy(parser);
    return cards;
}

QString vCardValueText(const VCardProperty &property)
{
    const auto charset = property.parameters.constFind(QStringLiteral("CHARSET"));
    if (charset != property.parameters.constEnd()) {
        if (QTextCodec *codec = QTextCodec::codecForName(charset->toLatin1()))
            return codec->toUnicode(property.value);
    }
    return QString::fromLocal8Bit(property.value);
}

QStringList splitVCardValue(const VCardProperty &property)
{
    const QString text = vCardValueText(property);
    QStringList fields;
    QString field;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\') {
            if (i + 1 < text.size())
                field += text.at(++i);
        } else if (c == u';') {
            fields.append(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.isEmpty())
        fields.append(field);
    return fields;
}

QString vCardBaseName(const QString &name)
{
    return name.mid(name.lastIndexOf(u'.') + 1);
}

QString unescapeVCardText(const QString &text)
{
    if (!text.contains(u'\\'))
        return text;
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const QChar next = text.at(i + 1);
        if (next == u'n' || next == u'N') {
            out += u'\n';
            ++i;
        } else if (next == u',' || next == u';' || next == u':' || next == u'\\') {
            out += next;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

QStringList splitVCardText(const QString &text, QChar separator)
{
    QStringList pieces;
    QString piece;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\' && i + 1 < text.size()) {
            piece += c;
            piece += text.at(++i);
        } else if (c == separator) {
            pieces.append(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    pieces.append(piece);
    return pieces;
}

QMap<QString, VCardProperty *> indexVCardProperties(VCard &card)
{
    QMap<QString, VCardProperty *> index;
    for (VCardProperty &p : card)
        index.insert(p.name, &p);
    return index;
}

QByteArray writeVCard(const VCard &card)
{
    QByteArray out("BEGIN:VCARD\r\n");
    for (const VCardProperty &p : card) {
        const QByteArray name = headerText(p.name, Part::PropertyName);
        // BEGIN and END are the card's frame, not properties of it.
        if (name == "BEGIN" || name == "END")
            continue;
        QList<QPair<QByteArray, QByteArray>> params;
        int encoding = ContentLineParser::NoEncoding;
        for (auto it = p.parameters.constBegin(); it != p.parameters.constEnd(); ++it) {
            const QByteArray key = headerText(it.key(), Part::ParamName);
            // A parameter without a name cannot be written: ";" followed by
            // ":" ends the parse.
            if (key.isEmpty())
                continue;
            params.append({key, headerText(it.value(), Part::ParamValue)});
            const int found = paramEncoding(
                    params.last().first.constData(),
                    params.last().second.isEmpty() ? nullptr : params.last().second.constData());
            if (found >= 0)
                encoding = found;
        }
        // A value is written in the encoding its parameters declare. A plain
        // value that would not read back as it is (a line break would end the
        // line and let the rest pose as properties of its own; leading white
        // space is skipped) is written quoted-printable instead.
        QByteArray value = p.value;
        const bool plain = encoding == ContentLineParser::NoEncoding
                || encoding == ContentLineParser::EightBit;
        const bool protect = plain
                && (value.contains('\n') || value.contains('\r')
                    || (!value.isEmpty() && isSpace(static_cast<unsigned char>(value.at(0)))));
        out += name;
        for (const auto &[key, text] : params) {
            if (protect
                && paramEncoding(key.constData(), text.isEmpty() ? nullptr : text.constData())
                        == ContentLineParser::EightBit)
                continue;
            // A parameter without value is written bare: "NAME=" followed by
            // ";" or ":" would not read back.
            out += ';' + key;
            if (!text.isEmpty())
                out += '=' + text;
        }
        if (protect) {
            out += ";ENCODING=QUOTED-PRINTABLE";
            encoding = ContentLineParser::QuotedPrintable;
        }
        if (encoding == ContentLineParser::QuotedPrintable)
            value = encodeQuotedPrintable(value, 76);
        else if (encoding == ContentLineParser::Base64)
            value = foldBase64Lines(value, 76);
        out += ':' + value + "\r\n";
    }
    out += "END:VCARD\r\n";
    return out;
}

QByteArray encodeQuotedPrintable(const QByteArray &bytes, int lineLength)
{
    static const char hex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(bytes.size() * 3);
    int position = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes.at(i));
        if (c < '!' || c > '~' || c == '=') {
            out += '=';
            out += hex[c >> 4];
            out += hex[c & 15];
            position += 3;
        } else {
            out += char(c);
            position += 1;
        }
        // A soft line break ("=" at the end of the line) only between bytes:
        // one after the last byte would join the next line to the value.
        if (lineLength > 0 && position >= lineLength - 3 && i + 1 < bytes.size()) {
            out += "=\r\n";
            position = 0;
        }
    }
    return out;
}

QByteArray foldBase64Lines(const QByteArray &bytes, int lineLength)
{
    const QByteArray base64 = bytes.toBase64();
    if (lineLength <= 0)
        return base64;
    QByteArray out;
    for (qsizetype i = 0; i < base64.size(); i += lineLength) {
        if (i > 0)
            out += "\r\n ";
        out += base64.mid(i, lineLength);
    }
    return out;
}
