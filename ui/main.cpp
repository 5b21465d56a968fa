#include <QApplication>
#include <QTranslator>

#include "store/datafolder.h"
#include "store/logfile.h"
#include "store/sqlite3db.h"
#include "store/texts.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(productName());

    QTranslator translator;
    if (translator.load(QStringLiteral(":/en.qm")))
        QApplication::installTranslator(&translator);

    if (sqlite_qt_version() != 5) {
        qCritical("invalid libsqlite_qt.");
        return 1;
    }

    installLogHandler(dataFolder().absoluteFilePath(QStringLiteral("qlogs")), 10);

    // The main window is not built yet: the program starts, logs and ends.
    qDebug("%s started", qPrintable(productName()));
    return 0;
}
