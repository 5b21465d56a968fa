// companionpeer: the simulated companion app as a program of its own.
//
//   companionpeer [--scenario FILE.json] [--port N] [--record FILE.json]
//
// Listens on 127.0.0.1 (port N, or any free one), prints "control PORT" on
// its first line of output, runs the sessions the scenario describes (see
// standins/companionpeer.h) and writes what it saw to the record file after
// every session. Runs until it is stopped.

#include "standins/companionpeer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption scenarioOption("scenario", "Scenario file (JSON).", "file");
    const QCommandLineOption portOption("port", "Control port (0: any).", "port", "0");
    const QCommandLineOption recordOption("record", "Record file (JSON).", "file");
    parser.addOptions({scenarioOption, portOption, recordOption});
    parser.process(app);

    CompanionScenario scenario;
    if (parser.isSet(scenarioOption)) {
        QFile file(parser.value(scenarioOption));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        scenario = CompanionScenario::fromJson(QJsonDocument::fromJson(file.readAll()).object());
    }
    CompanionPeer peer(scenario);
    if (parser.isSet(recordOption))
        peer.setRecordFile(parser.value(recordOption));
    if (!peer.start(quint16(parser.value(portOption).toUInt()))) {
        std::fprintf(stderr, "cannot listen on port %s\n", qPrintable(parser.value(portOption)));
        return 1;
    }
    std::printf("control %u\n", unsigned(peer.controlPort()));
    std::fflush(stdout);
    return app.exec();
}
