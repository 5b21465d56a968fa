#include "store/stylesheet.h"

#include <QFile>

QString appStyleSheet()
{
    static QString cache;
    if (!cache.isEmpty())
        return cache;
    QFile f(QStringLiteral(":style.css"));
    if (f.open(QIODevice::ReadOnly)) {
        QByteArray bytes = f.readAll();
        const qsizetype nul = bytes.indexOf('\0');
        if (nul >= 0)
            bytes.truncate(nul);
        cache = QString::fromLatin1(bytes);
    }
    return cache;
}
