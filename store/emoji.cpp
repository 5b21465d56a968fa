#include "store/emoji.h"

#include <algorithm>
#include <iterator>

namespace {

// The symbols outside the private-use range that are shown as pictures.
constexpr char16_t kSymbolUnits[]
        = {0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
           0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
           0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
           0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030};
static_assert(std::is_sorted(std::begin(kSymbolUnits), std::end(kSymbolUnits)));
static_assert(kSymbolUnits[0] < 0xD83C && kSymbolUnits[0] < 0xE000);

QString hexUpper(quint32 value)
{
    return QString::number(value, 16).toUpper();
}

bool findSingleUnit(const QString &source, qsizetype from, qsizetype *start, qsizetype *length)
{
    for (qsizetype i = from; i < source.size(); ++i) {
        if (isSingleUnitEmoji(source.at(i).unicode())) {
            *start = i;
            *length = 1;
            return true;
        }
    }
    return false;
}

QString replaceSingleUnit(const QString &source, qsizetype start, qsizetype, EmojiCallback callback,
                          void *userData)
{
    return callback(userData, hexUpper(source.at(start).unicode()));
}

// A high surrogate D83C or D83D followed by any one code unit.
bool findPair(const QString &source, qsizetype from, qsizetype *start, qsizetype *length)
{
    for (qsizetype i = from; i + 1 < source.size(); ++i) {
        const char16_t u = source.at(i).unicode();
        if (u == 0xD83C || u == 0xD83D) {
            *start = i;
            *length = 2;
            return true;
        }
    }
    return false;
}

QString replacePair(const QString &source, qsizetype start, qsizetype, EmojiCallback callback,
                    void *userData)
{
    // Each difference is taken modulo 65536, so a pair whose second unit is
    // no low surrogate still gives a number and both units are consumed.
    const quint32 hi = quint16(source.at(start).unicode() - 0xD800);
    const quint32 lo = quint16(source.at(start + 1).unicode() - 0xDC00);
    return callback(userData, hexUpper(hi * 1024 + lo + 0x10000));
}

} // namespace

bool isSingleUnitEmoji(char16_t unit)
{
    if (unit >= 0xE000 && unit <= 0xE537)
        return true;
    return std::binary_search(std::begin(kSymbolUnits), std::end(kSymbolUnits), unit);
}

QString replaceMatches(const QString &source, MatchFinder finder, MatchHandler handler,
                       EmojiCallback callback, void *userData)
{
    QString result;
    qsizetype pos = 0;
    qsizetype start = 0;
    qsizetype length = 0;
    while (finder(source, pos, &start, &length)) {
        result += QStringView(source).mid(pos, start - pos);
        result += handler(source, start, length, callback, userData);
        pos = start + length;
    }
    result += QStringView(source).mid(pos);
    return result;
}

QString replaceEmoji(const QString &text, EmojiCallback callback, void *userData)
{
    // Every unit either pass looks for lies at or above the first symbol
    // (the private-use range and the lead surrogates D83C, D83D included):
    // most texts hold none and come back as the two passes would give them
    // (an empty text as a null one).
    const char16_t lowest = kSymbolUnits[0];
    if (std::none_of(text.cbegin(), text.cend(),
                     [lowest](QChar c) { return c.unicode() >= lowest; }))
        return text.isEmpty() ? QString() : text;
    const QString first
            = replaceMatches(text, findSingleUnit, replaceSingleUnit, callback, userData);
    return replaceMatches(first, findPair, replacePair, callback, userData);
}

QString emojiImgTag(void *, const QString &hex)
{
    return QStringLiteral("<img src=\"emoji/%1.png\" />").arg(hex);
}

QString emojiPlaceholderText(void *, const QString &)
{
    return QStringLiteral("[EMOJI]");
}

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF)
            || (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

QString withoutXmlForbidden(const QString &text)
{
    const qsizetype n = text.size();
    qsizetype i = 0;
    // Most texts hold nothing to remove: they are returned as they are.
    for (; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(u) || !isXmlChar(u))
            break;
    }
    if (i == n)
        return text;
    QString out;
    out.reserve(n);
    out += QStringView(text).left(i);
    for (; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < n && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            out += text.at(i);
            out += text.at(++i);
            continue;
        }
        if (!QChar::isSurrogate(u) && isXmlChar(u))
            out += text.at(i);
    }
    return out;
}

QString escapeMessageHtml(const QString &text)
{
    // One walk over the message's own units, so that an emoji's broken pair
    // takes the unit the message holds there, never a character of the
    // markup written for the units before it ("&lt;", "<br/>", a picture).
    // A lead unit D83C or D83D takes whatever follows it, as replaceEmoji
    // does, but a single-unit emoji after it keeps its own picture. What is
    // left that XML cannot hold (NUL and the other control characters, lone
    // surrogates, U+FFFE, U+FFFF) is dropped, so that the page stays
    // well-formed.
    const qsizetype n = text.size();
    QString out;
    out.reserve(n + n / 8);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        if (u >= kSymbolUnits[0] && isSingleUnitEmoji(u)) {
            out += emojiImgTag(nullptr, hexUpper(u));
            continue;
        }
        if ((u == 0xD83C || u == 0xD83D) && i + 1 < n
            && !isSingleUnitEmoji(text.at(i + 1).unicode())) {
            out += replacePair(text, i, 2, emojiImgTag, nullptr);
            ++i;
            continue;
        }
        switch (u) {
        case '&':
            out += QLatin1String("&amp;");
            break;
        case '<':
            out += QLatin1String("&lt;");
            break;
        case '>':
            out += QLatin1String("&gt;");
            break;
        case '\r':
            if (i + 1 < n && text.at(i + 1) == u'\n') {
                out += QLatin1String("<br/>");
                ++i;
            } else {
                out += QChar(u);
            }
            break;
        case '\n':
            out += QLatin1String("<br/>");
            break;
        default:
            out += QChar(u);
        }
    }
    return withoutXmlForbidden(out);
}
