#pragma once

#include <QString>

// Replaces one emoji given by its upper-case hexadecimal code point (E415,
// 203C, 1F604); userData is passed through unchanged.
using EmojiCallback = QString (*)(void *userData, const QString &hex);

// Finds the next match in source at or after from; returns false when there
// is none, else sets start and length.
using MatchFinder
        = bool (*)(const QString &source, qsizetype from, qsizetype *start, qsizetype *length);
// Gives the replacement of the match source.mid(start, length).
using MatchHandler = QString (*)(const QString &source, qsizetype start, qsizetype length,
                                 EmojiCallback callback, void *userData);

// The general replace loop: every match that finder reports is replaced by
// handler's result; text between matches is kept.
QString replaceMatches(const QString &source, MatchFinder finder, MatchHandler handler,
                       EmojiCallback callback, void *userData);

// Every emoji of text replaced by callback's result. Two passes: first the
// single code units of the old private-use range U+E000..U+E537 and a set of
// symbols; then, over the result, a high surrogate D83C or D83D with the
// code unit after it (whatever that unit is).
QString replaceEmoji(const QString &text, EmojiCallback callback, void *userData);

// True for the single code units that are shown as emoji pictures.
bool isSingleUnitEmoji(char16_t unit);

// "<img src=\"emoji/HEX.png\" />"; userData is not used.
QString emojiImgTag(void *userData, const QString &hex);
// "[EMOJI]" for every emoji, for plain-text outputs.
QString emojiPlaceholderText(void *userData, const QString &hex);

// Whether XML 1.0 allows the code point in a document.
bool isXmlChar(char32_t c);
// text without the code units XML 1.0 forbids: NUL and the other control
// characters but tab, LF and CR, lone surrogates, U+FFFE and U+FFFF.
QString withoutXmlForbidden(const QString &text);

// Message text to HTML: & < > escaped, CR LF and LF to "<br/>", emoji to
// pictures of the emoji folder, characters XML forbids dropped. Quotes are
// left as they are.
QString escapeMessageHtml(const QString &text);
