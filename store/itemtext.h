#pragma once

#include <QString>

// Texts of phones' data (message texts, contact, chat and device names) as
// the item views show them.

// The most characters a row of a list or a tooltip is given. A row shows one
// line; laying out megabytes of a message at every repaint and at every
// hover would freeze the window.
inline constexpr qsizetype kMaxItemTextChars = 2000;

// text cut to kMaxItemTextChars, with " ..." after a cut; a cut never
// splits a surrogate pair.
QString itemDisplayText(const QString &text);

// text cut as above, made fit for a tooltip: a tooltip takes text that looks
// like markup for markup (and reads the files its pictures name), so such a
// text is handed over escaped, showing as the very text it is.
QString itemToolTipText(const QString &text);
