// Transfers 20,000 messages from a local database to the simulated companion
// app over loopback (the phone's cache starting empty, so every message is
// sent and recorded). The transfer must do two things: send the protocol
// lines, and record every message sent in the phone's cache database, so
// that a later transfer sends only what is new. Its floor is the sum of
// the floors of the two: the same protocol lines written to a socket whose
// far end discards them (without the app, the cache or the job), plus the
// same rows put into an empty database of the cache's schema by plain
// prepared inserts in one transaction (bench_writer's floor).
// Target: the transfer within 2x of that floor.
//
// Shown beside it, without a target: the transfer against the lines alone
// (recording costs several times the lines by itself, even as plain
// inserts, so no transfer that records can come near that figure), and
// recording the same messages with the writer alone (one transaction,
// committed) against the plain inserts.
//
//   bench_androidrestore [messages] [correspondents]

#include "android/androiddevice.h"
#include "android/androidrestoresmsthread.h"
#include "android/simpleprotocol.h"
#include "bench/benchapp.h"
#include "bench/rawinsertfloor.h"
#include "standins/companionpeer.h"
#include "store/datafolder.h"
#include "store/exportmessagesdb.h"
#include "store/ios6messagedb.h"
#include "store/msgutil.h"
#include "store/progressform.h"
#include "tests/support/modalanswerer.h"
#include "tests/support/phonesmsdb.h"
#include "tests/support/testenv.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSemaphore>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

constexpr double kTarget = 2.0;
constexpr int kRounds = 3;

// Takes one connection and reads until it closes, keeping nothing.
class Discarder : public QThread
{
public:
    quint16 port = 0;
    bool listening = false;

    void run() override
    {
        QTcpServer server;
        listening = server.listen(QHostAddress::LocalHost, 0);
        port = server.serverPort();
        ready.release();
        if (!listening || !server.waitForNewConnection(60000))
            return;
        QTcpSocket *s = server.nextPendingConnection();
        char buffer[1 << 16];
        while (s->state() == QAbstractSocket::ConnectedState || s->bytesAvailable() > 0) {
            if (s->bytesAvailable() == 0 && !s->waitForReadyRead(60000))
                break;
            while (s->read(buffer, sizeof buffer) > 0) { }
        }
    }
    QSemaphore ready;
};

// The lines the job writes for the list: a batch marker every 100 messages
// and one "$sms:" line per message, to a socket that discards them.
double floorRun(const MsgMessageList &list)
{
    Discarder sink;
    sink.start();
    sink.ready.acquire();
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, sink.port);
    socket.waitForConnected(10000);
    socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    QElapsedTimer t;
    t.start();
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i % AndroidRestoreSMSThread::kBatchSize == 0)
            simpleprotocol::sendCommand(&socket, QStringLiteral("$batch:"), QString(), true, -1);
        const _MsgMessage *m = list.at(i);
        const qint64 dateMs = (qint64(m->date) + kIosEpochOffset) * 1000;
        const QString argument = QStringLiteral("%1,%2,%3,%4,%5,%6")
                                         .arg(dateMs)
                                         .arg(m->is_from_me != 0 ? 1 : 0)
                                         .arg(simpleprotocol::encodeText(m->handle->id),
                                              simpleprotocol::encodeText(messageBodyText(*m)),
                                              simpleprotocol::encodeText(m->subject))
                                         .arg(0);
        simpleprotocol::sendCommand(&socket, QStringLiteral("$sms:"), argument, false, -1);
        if (i % AndroidRestoreSMSThread::kBatchSize == AndroidRestoreSMSThread::kBatchSize - 1)
            simpleprotocol::sendCommand(&socket, QStringLiteral("$end:"), QString(), true, -1);
    }
    simpleprotocol::sendCommand(&socket, QStringLiteral("$bye:"), QString(), true, -1);
    const double ms = double(t.nsecsElapsed()) / 1e6;
    socket.disconnectFromHost();
    sink.wait();
    return ms;
}

double restoreOnce(AndroidDevice &device, const MsgMessageList &list, bool *ok)
{
    removeFolderRecursively(dataFolder().absoluteFilePath(QStringLiteral("android_cache")));
    // The job ends with a box telling how many were sent.
    ModalAnswerer answerer;
    answerer.setDefaultBoxAnswer(QStringLiteral("btnOk"));
    ProgressForm form(QStringLiteral("restore"));
    AndroidRestoreSMSThread job(&device, list, &form);
    QElapsedTimer t;
    t.start();
    *ok = form.runJob(&job) && job.sentCount() == list.size();
    // The box comes after the job's end; it is not part of the transfer.
    const double ms = double(t.nsecsElapsed()) / 1e6;
    answerer.waitAnswered(1, 5000);
    return ms;
}

// What the transfer records of the list, without a phone: the writer
// alone, from opening the empty cache to its commit.
double recordOnce(const AndroidDevice &device, const MsgMessageList &list)
{
    removeFolderRecursively(dataFolder().absoluteFilePath(QStringLiteral("android_cache")));
    QElapsedTimer t;
    t.start();
    ExportMessagesDb cache(androidCacheDir(device), device.mmc);
    cache.begin();
    for (_MsgMessage *m : list)
        cache.write(m);
    cache.end();
    return double(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    bench::offscreenUnlessSet();
    TestEnv env;
    QApplication app(argc, argv);
    bench::dropDebugMessages();
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20000;
    const int people = qMax(1, argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 200);

    // The local database the messages come from.
    const QString folder = dataFolder().absoluteFilePath(QStringLiteral("local_databases/Bench"));
    {
        PhoneSmsDb db(folder, PhoneSchema::olderLocal());
        db.begin();
        QList<qint64> chats;
        QList<qint64> handles;
        for (int p = 0; p < people; ++p) {
            handles << db.addHandle(QStringLiteral("+1202555%1").arg(1000 + p));
            chats << db.addChat(handles.last());
        }
        for (int i = 0; i < count; ++i)
            db.addText(chats.at(i % people),
                       QStringLiteral("Message number %1, with some words in it.").arg(i),
                       handles.at(i % people), 600000000 + i * 60, i % 3 == 0);
        db.commit();
    }
    IOS6MessageDb source(QDir(folder), QStringLiteral("310"), true);
    MsgDataSet set;
    source.chats(set);
    source.messages(set, 0);
    MsgMessageList list = set.data()->messages.values();
    sortMessages(list);

    CompanionScenario scenario;
    scenario.defaultSmsApp = true;
    CompanionPeer peer(scenario);
    if (!peer.start()) {
        std::fprintf(stderr, "the simulated app did not start\n");
        return 1;
    }
    AndroidDevice device;
    device.viaWifi = true;
    device.host = QStringLiteral("127.0.0.1");
    device.port = peer.controlPort();
    device.imei = QStringLiteral("356938035643809");
    device.mmc = QStringLiteral("310");

    double best = 1e300;
    double floor = 1e300;
    double inserts = 1e300;
    double recording = 1e300;
    for (int r = 0; r < kRounds; ++r) {
        bool ok = false;
        best = std::min(best, restoreOnce(device, list, &ok));
        if (!ok) {
            std::fprintf(stderr, "the transfer failed\n");
            return 1;
        }
        floor = std::min(floor, floorRun(list));
        const QString insertsDb = env.makeDir(QStringLiteral("inserts%1").arg(r))
                + QStringLiteral("/sms.db");
        inserts = std::min(inserts, rawinsert::floorRun(insertsDb, set, list));
        QFile::remove(insertsDb);
        recording = std::min(recording, recordOnce(device, list));
    }
    const double both = floor + inserts;
    const double ratio = best / both;
    const bool pass = ratio <= kTarget;
    std::printf("transfer of %lld messages (%d correspondents) from a local database to an "
                "Android phone\n",
                qlonglong(list.size()), people);
    std::printf("  transfer (app, cache):   %8.1f ms  (%6.0f messages/s)\n", best,
                list.size() / (best / 1000.0));
    std::printf("  floor: lines discarded   %8.1f ms\n", floor);
    std::printf("         plain inserts     %8.1f ms\n", inserts);
    std::printf("  transfer / floor:        %8.2f  target <=%.2f %s\n", ratio, kTarget,
                pass ? "pass" : "MISSED");
    std::printf("  transfer / lines alone:  %8.2f\n", best / floor);
    std::printf("  recording by the writer: %8.1f ms  (%.2f x the plain inserts)\n", recording,
                recording / inserts);
    std::printf("RESULT androidrestore %.1fms %.1fms %.2f <=%.2f %s\n", best, both, ratio,
                kTarget, pass ? "pass" : "FAIL");
    std::printf("RESULT androidrestore.vs_lines %.1fms %.1fms %.2f - -\n", best, floor,
                best / floor);
    std::printf("RESULT androidrestore.recording %.1fms %.1fms %.2f - -\n", recording, inserts,
                recording / inserts);
    return 0;
}
