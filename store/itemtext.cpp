#include "store/itemtext.h"

#include <QTextDocument>

QString itemDisplayText(const QString &text)
{
    if (text.size() <= kMaxItemTextChars)
        return text;
    qsizetype cut = kMaxItemTextChars;
    if (text.at(cut - 1).isHighSurrogate() && text.at(cut).isLowSurrogate())
        --cut;
    return text.left(cut) + QStringLiteral(" ...");
}

QString itemToolTipText(const QString &text)
{
    const QString shown = itemDisplayText(text);
    if (!Qt::mightBeRichText(shown))
        return shown;
    QString escaped = shown.toHtmlEscaped();
    escaped.replace(QLatin1Char('\n'), QLatin1String("<br/>"));
    return QStringLiteral("<p style=\"white-space:pre-wrap\">%1</p>").arg(escaped);
}
