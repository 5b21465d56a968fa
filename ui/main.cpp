#include <QApplication>
#include <QTranslator>

#include "store/datafolder.h"
#include "store/logfile.h"
#include "store/msgdataset.h"
#include "store/sqlite3db.h"
#include "store/texts.h"
#include "ui/startup.h"

#include <cstdio>

namespace {

// Qt aborts when it finds no display; say what is needed instead.
bool hasDisplay()
{
#ifdef Q_OS_LINUX
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

} // namespace

int main(int argc, char *argv[])
{
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "Pelicorde needs a desktop session (no DISPLAY or WAYLAND_DISPLAY is set).\n"
                     "To try it without one: xvfb-run -a ./tools/run.sh\n");
        return 2;
    }

    registerRecordMetaTypes();
    QApplication app(argc, argv);
    QApplication::setApplicationName(productName());

    QTranslator translator;
    // A catalogue that does not load leaves every key text as it stands.
    (void)translator.load(QStringLiteral(":/en.qm"));
    QApplication::installTranslator(&translator);

    if (!checkDatabaseLibrary(sqlite_qt_version()))
        return 1;

    installLogHandler(dataFolder().absoluteFilePath(QStringLiteral("qlogs")), 10);
    return runMainWindow();
}
