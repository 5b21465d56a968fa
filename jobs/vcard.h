#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cstddef>

// Streaming reader of vCard content lines: unfolds lines, splits each content
// line into name, parameters and value, and decodes quoted-printable and
// base64 values. A plain record driven by two callbacks, with no use of the
// framework; create it with create() and free it with destroy().
struct ContentLineParser
{
    // One parameter of a content line. While the header is read only the
    // offsets into the line buffer are valid (valueOffset 0: no "="); the
    // property handler sees NUL-terminated texts (value null when absent),
    // and the array it gets ends with an entry whose name is null.
    struct Param
    {
        const char *name;
        const char *value;
        size_t nameOffset;
        size_t valueOffset;
    };

    enum State { Name = 0, ParamStart, ParamName, ParamValueStart, ParamValue, Value };
    enum Encoding { NoEncoding = 0, QuotedPrintable, Base64, EightBit };

    using PropertyHandler = void (*)(void *userData, const char *name, const Param *params);
    // Called with the whole decoded value, then with (null, 0) at the end of
    // the property.
    using ValueHandler = void (*)(void *userData, const char *bytes, size_t length);

    // Null when memory runs out.
    static ContentLineParser *create();
    static void destroy(ContentLineParser *parser);
    static const char *version();

    // Forgets the current content line (the parameter array is kept).
    void reset();
    void setUserData(void *data) { user = data; }
    void *userData() const { return user; }
    void setPropertyHandler(PropertyHandler handler) { propertyHandler = handler; }
    void setValueHandler(ValueHandler handler) { valueHandler = handler; }

    // Feeds bytes; with final set, the last content line is ended too.
    // Returns 0 when a syntax or decoding error (or want of memory) stopped
    // the parse, else non-zero.
    int feed(const char *bytes, size_t size, int final);

    int appendByte(char c);
    int appendParam(size_t offset);
    int setParamValue(size_t offset);

    int atLineStart;
    int folding;
    char *buffer;
    size_t capacity;
    size_t length;
    int state;
    int atValueStart;
    Param *params;
    size_t paramCount;
    size_t paramCapacity;
    int escaped;
    int quoted; // inside a double-quoted parameter value
    int versionLine; // the current line is VERSION: its value sets foldDropsSpace
    int foldDropsSpace; // 3.0 and 4.0: a fold's white space is no part of the value
    int encoding;
    int qpEscape;
    char pending[4];
    int pendingLength;
    void *user;
    PropertyHandler propertyHandler;
    ValueHandler valueHandler;

private:
    int step(unsigned char c);
    int stepValue(unsigned char c);
    int endHeader();
    int endProperty();
    int decodeQuartet();
    int reserveParams();
};

// 0..63 for a base64 digit, -1 for anything else.
int base64DigitValue(unsigned char c);

// One property of a card: its name, parameters (name to value, an empty text
// for a parameter without value) and decoded value bytes.
struct VCardProperty
{
    QString name;
    QMap<QString, QString> parameters;
    QByteArray value;
};
using VCard = QList<VCardProperty>;

// Every card of a vCard file. A syntax error ends the parse; the cards and
// properties read before it are kept.
QList<VCard> parseVCards(const QByteArray &data);
// The value as text: decoded with the codec its CHARSET parameter names when
// one of that name is known, else in the local 8-bit encoding.
QString vCardValueText(const VCardProperty &property);
// The fields of a structured value (N, ADR, ORG): cut at every ";" that no
// backslash escapes; the last field only when it is not empty.
QStringList splitVCardValue(const VCardProperty &property);
// A property name without its group ("item1.EMAIL" gives "EMAIL").
QString vCardBaseName(const QString &name);
// A text value with its escapes read: "\n" (or "\N") a line break, "\,",
// "\;", "\:" and "\\" the character itself; other backslashes stay.
QString unescapeVCardText(const QString &text);
// text cut at every separator that no backslash escapes; the pieces keep
// their escapes.
QStringList splitVCardText(const QString &text, QChar separator);
// The properties by name; a later property replaces an earlier one of the
// same name. The pointers point into card.
QMap<QString, VCardProperty *> indexVCardProperties(VCard &card);
// The card as vCard bytes that parseVCards reads back to the same card.
QByteArray writeVCard(const VCard &card);
// Quoted-printable bytes; with a line length, soft line breaks keep the
// lines shorter than that.
QByteArray encodeQuotedPrintable(const QByteArray &bytes, int lineLength);
// Base64 of the bytes in folded lines of lineLength characters.
QByteArray foldBase64Lines(const QByteArray &bytes, int lineLength);
