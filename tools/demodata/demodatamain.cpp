// Fills a data folder with generated messages, so that the window can be
// seen full without a phone:  pel_demodata [messages] [chats]
// The data folder is the program's own (below XDG_DATA_HOME).
#include "store/datafolder.h"
#include "tests/support/demodata.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    DemoDataSpec spec;
    if (args.size() > 1)
        spec.messages = qMax(10, args.at(1).toInt());
    if (args.size() > 2)
        spec.chats = qMax(1, args.at(2).toInt());
    const QString folder = dataFolder().absolutePath();
    const int n = fillDemoDataFolder(folder, spec);
    std::printf("%d messages written below %s\n", n, qPrintable(folder));
    return 0;
}
