#include "store/texts.h"

#include <QCoreApplication>

QString ids(const char *key)
{
    return QCoreApplication::translate(kTextContext, key);
}

QString productName()
{
    return QStringLiteral("Pelicorde");
}
