#include <QApplication>
#include <QTranslator>

#include "store/texts.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(productName());

    QTranslator translator;
    if (translator.load(QStringLiteral(":/en.qm")))
        QApplication::installTranslator(&translator);

    // The main window is not built yet: the program starts, logs and ends.
    qDebug("%s started", qPrintable(productName()));
    return 0;
}
